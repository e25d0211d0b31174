// A drop-down whose value changes only when the user picks an entry from its opened list.
// Closed, a plain QComboBox steps to the next entry on the arrows, Home, End, letters and every
// wheel notch, and reports that as a choice: a gesture meant to scroll the window would change
// a setting. Here Space, F4 and Alt+Up/Down (or a click) open the list, Return or a click picks,
// Escape closes the list alone, and every other key and the wheel go on to the window around
// it, which scrolls.
#pragma once

#include <QComboBox>

namespace velmo {

class ListPicker : public QComboBox {
    Q_OBJECT
public:
    explicit ListPicker(QWidget* parent = nullptr);
    void hidePopup() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    bool closingList_ = false;
};

}  // namespace velmo
