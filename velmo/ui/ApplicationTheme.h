// Keeps the theme where a window's palette does not reach: scroll bars, wherever Qt makes them,
// are drawn by the theme's scroll-bar style, and tooltips, whose palette Qt keeps apart from
// every window's (and sets again from the desktop's on a theme change), take the theme's card
// and text colours, again after every light/dark, palette or theme switch of the desktop.
#pragma once

#include <QObject>

class QPalette;

namespace velmo {

class ScrollBarStyle;

class ApplicationTheme : public QObject {
public:
    // Once per application; later calls do nothing.
    static void install();
    // The tooltip palette for the current appearance.
    static QPalette toolTipPalette();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit ApplicationTheme(QObject* application);
    void style(QObject* widget);
    // After the current round of events: the desktop and Qt have set theirs by then.
    void followLater();
    ScrollBarStyle* scrollBars_;
    bool pending_ = false;
};

}  // namespace velmo
