// Windows whose height follows their content and that never leave the screen: a column that
// scrolls once the content is taller than the screen allows, an optional footer under it that
// always stays in view, and the window moved back onto the screen as it grows.
#pragma once

#include <QMargins>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <functional>
#include <memory>
#include <optional>

class QHBoxLayout;
class QLayout;
class QScreen;
class QScrollArea;
class QVBoxLayout;
class QWidget;
class QWindow;

namespace velmo {

// What the desktop tells of the frame it draws around a top-level window. The one in use asks
// an X11 window manager; tests put one of their own in its place.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // The frame around `window` once the desktop has told it, before or after it is shown.
    virtual std::optional<QMargins> frame(const QWidget* window) = 0;
    // Asks the desktop, before `window` is first shown, for the frame it will draw around it.
    virtual void request(QWidget* window) = 0;
};
// Puts `source` in place of the one in use (none: the desktop's own again).
void setFrameSource(std::unique_ptr<FrameSource> source);
// Tells the fitters of `window` that the desktop has told a new frame for it.
void announceFrameChange(QWidget* window);

// The area a window may cover on its screen; before it is shown, on its parent's screen.
QRect availableArea(const QWidget* window);
// The frame the desktop draws around a window: none for popups, and none before it is shown
// unless the desktop told it on request.
QMargins windowFrame(const QWidget* window);
// The height a window's client area may take on its screen, frame excluded.
int roomHeight(const QWidget* window);
// Moves a window so that it and its frame lie within its screen's available area.
void keepOnScreen(QWidget* window);
// The height a layout needs at a width, wrapped text included.
int contentHeight(QLayout* layout, int width);

// A scroll area for a column of fixed width: no frame, no horizontal scroll bar, and no tab
// stop of its own, which would show nothing: Tab goes from control to control, each scrolled
// into view, and the keys that scroll work wherever the focus is in its window.
QScrollArea* columnScroll(QWidget* parent);

// Gives `window` a fixed width, a column padded by `padding` with `spacing` between its items
// that scrolls when the screen is too short, and, with `footer`, a row under the column that
// always stays in view. Returns the column; the window then keeps fitting itself.
QVBoxLayout* fittedColumn(QWidget* window, int width, int padding, int spacing, bool footer);
// The column of a window made by fittedColumn.
QVBoxLayout* fittedColumnLayout(QWidget* window);
// The footer row of a window made by fittedColumn with a footer.
QHBoxLayout* fittedFooter(QWidget* window);
// A part of such a window above its column that never scrolls, made on first use with the
// column's padding and spacing: what must stay in view on a short screen.
QVBoxLayout* fittedTop(QWidget* window);
// Sizes such a window to its content now, capped by the screen, and keeps it on the screen.
void fitToContent(QWidget* window);
// Before `window` is first shown: fits `fitted` (a view made by fittedColumn inside it) to
// `screen` with the frame the desktop will draw, and centres the window, frame included, in
// the screen's available area, so that it opens there whatever the window manager would choose.
void openCentred(QWidget* window, QWidget* fitted, QScreen* screen);

// Moves `filter` onto the window that `widget` lies in now (when that is not `widget` itself)
// from the window it watched before, kept in `watched`.
void watchWindowOf(QWidget* widget, QPointer<QWidget>& watched, QObject* filter);

// Runs `fit` once layout changes have settled in the watched widgets, when the window is
// shown, when the desktop's frame around it becomes known or changes, and when its screen's
// available area changes or it moves to another screen; never between the window being shown
// and its reaching the screen. A sheet (a window with a parent) whose screen's area changed is
// centred on its parent's window again, as it opened, wherever the smaller area had pushed it.
class WindowFitter : public QObject {
public:
    WindowFitter(QWidget* window, std::function<void()> fit);
    void watch(QWidget* widget);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void request();
    void settle();
    void followScreen(QScreen* screen);
    QWidget* window_;
    QPointer<QWidget> top_;
    QPointer<QWindow> handle_;
    QMetaObject::Connection screenChange_;
    QMetaObject::Connection areaChange_;
    std::function<void()> fit_;
    QMargins frame_;
    bool pending_ = false;
    bool exposed_ = false;
    bool awaitingExposure_ = false;
    bool recentre_ = false;
};

}  // namespace velmo
