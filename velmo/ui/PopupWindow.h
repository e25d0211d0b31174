// A popup window inside a one-pixel edge in the theme's line colour, so that it stands apart
// from the window under it, light or dark. Its layout keeps its content inside the edge.
#pragma once

#include <QWidget>

namespace velmo {

class PopupWindow : public QWidget {
    Q_OBJECT
public:
    // A desktop puts a popup over every window, floating ones too. `underFloating` makes it a
    // plain frameless window instead, which floating windows (the offer's prompt) stay above; it
    // closes as a popup does, when another window takes over or on Escape.
    explicit PopupWindow(QWidget* parent = nullptr, bool underFloating = false);
    static constexpr int edge = 1;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
};

}  // namespace velmo
