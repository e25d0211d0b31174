// A popup window inside a one-pixel edge in the theme's line colour, so that it stands apart
// from the window under it, light or dark. Its layout keeps its content inside the edge.
#pragma once

#include <QWidget>

namespace velmo {

class PopupWindow : public QWidget {
    Q_OBJECT
public:
    explicit PopupWindow(QWidget* parent = nullptr);
    static constexpr int edge = 1;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace velmo
