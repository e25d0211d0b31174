#include "velmo/ui/WindowFitter.h"

#include "velmo/ui/KeyboardScroll.h"
#include "velmo/ui/TopShrink.h"
#include "velmo/ui/ViewHelpers.h"
#include "velmo/ui/X11FrameSource.h"

#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScreen>
#include <QScrollBar>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <utility>

namespace velmo {

namespace {

QScrollArea* fittedScroll(QWidget* window) {
    return window->findChild<QScrollArea*>(QStringLiteral("fittedScroll"), Qt::FindDirectChildrenOnly);
}

QWidget* footerWidget(QWidget* window) {
    return window->findChild<QWidget*>(QStringLiteral("fittedFooter"), Qt::FindDirectChildrenOnly);
}

QWidget* topWidget(QWidget* window) {
    return window->findChild<QWidget*>(QStringLiteral("fittedTop"), Qt::FindDirectChildrenOnly);
}

class ColumnScroll : public QScrollArea {
public:
    using QScrollArea::QScrollArea;

protected:
    // Qt shows a widget put into a shown column a turn later; laid out without it first, the
    // column would shrink for a moment and lose the user's scroll position.
    bool event(QEvent* event) override {
        if (event->type() == QEvent::LayoutRequest && widget()) showNewChildren(widget());
        return QScrollArea::event(event);
    }
};

class NoFrameSource : public FrameSource {
public:
    std::optional<QMargins> frame(const QWidget*) override { return std::nullopt; }
    void request(QWidget*) override {}
};

std::unique_ptr<FrameSource>& installedFrameSource() {
    static std::unique_ptr<FrameSource> source;
    return source;
}

FrameSource& frameSource() {
    auto& source = installedFrameSource();
    if (!source) source = X11FrameSource::forApplication();
    if (!source) source = std::make_unique<NoFrameSource>();
    return *source;
}

const QEvent::Type frameChange = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

void setFrameSource(std::unique_ptr<FrameSource> source) { installedFrameSource() = std::move(source); }

void announceFrameChange(QWidget* window) {
    // Posted, so that the toolkit has taken the desktop's news in before the fit reads it.
    QCoreApplication::postEvent(window, new QEvent(frameChange));
}

QRect availableArea(const QWidget* window) {
    const QWidget* placed = window;
    if (!placed->isVisible() && placed->parentWidget()) placed = placed->parentWidget()->window();
    // A hidden window on its own opens where it has been moved to.
    const QScreen* screen = placed->isVisible() || placed->parentWidget()
                                ? nullptr
                                : QGuiApplication::screenAt(placed->geometry().topLeft());
    if (!screen) screen = placed->screen();
    return screen ? screen->availableGeometry() : QRect();
}

QMargins windowFrame(const QWidget* window) {
    const QWidget* top = window->window();
    if (const auto told = frameSource().frame(top)) return *told;
    const QWindow* handle = top->windowHandle();
    return handle && window->isVisible() ? handle->frameMargins() : QMargins();
}

int roomHeight(const QWidget* window) {
    const QMargins frame = windowFrame(window);
    return std::max(availableArea(window).height() - frame.top() - frame.bottom(), 0);
}

void keepOnScreen(QWidget* window) {
    const QRect area = availableArea(window);
    if (area.isEmpty()) return;
    const QRect frame = window->geometry().marginsAdded(windowFrame(window));
    QPoint shift;
    // Right and bottom edges first, so a window larger than the area keeps its top-left in view.
    if (frame.right() > area.right()) shift.rx() = area.right() - frame.right();
    if (frame.left() + shift.x() < area.left()) shift.rx() = area.left() - frame.left();
    if (frame.bottom() > area.bottom()) shift.ry() = area.bottom() - frame.bottom();
    if (frame.top() + shift.y() < area.top()) shift.ry() = area.top() - frame.top();
    if (!shift.isNull()) window->move(window->pos() + shift);
}

int contentHeight(QLayout* layout, int width) {
    layout->activate();
    // The minimum height ignores how far text wraps; the height for the width does not.
    const int needed = layout->hasHeightForWidth() ? layout->totalHeightForWidth(width) : layout->totalSizeHint().height();
    return std::max(needed, layout->totalMinimumSize().height());
}

QScrollArea* columnScroll(QWidget* parent) {
    auto* scroll = new ColumnScroll(parent);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidgetResizable(true);
    scroll->setFocusPolicy(Qt::NoFocus);
    new KeyboardScroll(scroll);
    return scroll;
}

QVBoxLayout* fittedColumn(QWidget* window, int width, int padding, int spacing, bool footer) {
    window->setFixedWidth(width);
    window->setProperty("fittedWidth", width);
    auto* frame = new QVBoxLayout(window);
    frame->setContentsMargins(0, 0, 0, 0);
    frame->setSpacing(0);
    QScrollArea* scroll = columnScroll(window);
    scroll->setObjectName(QStringLiteral("fittedScroll"));
    scroll->viewport()->setAutoFillBackground(false);
    auto* content = new QWidget(scroll);
    content->setAutoFillBackground(false);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(padding, padding, padding, padding);
    column->setSpacing(spacing);
    scroll->setWidget(content);
    frame->addWidget(scroll);
    auto* fitter = new WindowFitter(window, [window] { fitToContent(window); });
    fitter->watch(content);
    if (footer) {
        auto* row = new QWidget(window);
        row->setObjectName(QStringLiteral("fittedFooter"));
        auto* footerLayout = new QHBoxLayout(row);
        // The padding between column and footer belongs to the footer, so that it stays when the
        // column scrolls and parts the cut edge from the footer.
        column->setContentsMargins(padding, padding, padding, 0);
        footerLayout->setContentsMargins(padding, padding, padding, padding);
        frame->addWidget(row);
        fitter->watch(row);
    }
    return column;
}

QVBoxLayout* fittedColumnLayout(QWidget* window) {
    QScrollArea* scroll = fittedScroll(window);
    return scroll && scroll->widget() ? static_cast<QVBoxLayout*>(scroll->widget()->layout()) : nullptr;
}

QHBoxLayout* fittedFooter(QWidget* window) {
    QWidget* row = footerWidget(window);
    return row ? static_cast<QHBoxLayout*>(row->layout()) : nullptr;
}

QVBoxLayout* fittedTop(QWidget* window) {
    if (QWidget* top = topWidget(window)) return static_cast<QVBoxLayout*>(top->layout());
    QScrollArea* scroll = fittedScroll(window);
    auto* column = static_cast<QVBoxLayout*>(scroll->widget()->layout());
    const QMargins padding = column->contentsMargins();
    auto* top = new QWidget(window);
    top->setObjectName(QStringLiteral("fittedTop"));
    top->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* layout = new QVBoxLayout(top);
    layout->setContentsMargins(padding.left(), padding.top(), padding.right(), 0);
    layout->setSpacing(column->spacing());
    // Short of room, the column gives way before the part above: that stays whole.
    scroll->setMinimumHeight(1);
    // The column's top padding now parts it from the part above.
    column->setContentsMargins(padding.left(), column->spacing(), padding.right(), padding.bottom());
    static_cast<QVBoxLayout*>(window->layout())->insertWidget(0, top);
    for (QObject* child : window->children())
        if (auto* fitter = dynamic_cast<WindowFitter*>(child)) fitter->watch(top);
    return layout;
}

void fitToContent(QWidget* window) {
    QScrollArea* scroll = fittedScroll(window);
    if (!scroll || !scroll->widget() || !scroll->widget()->layout()) return;
    const QMargins outer = window->layout()->contentsMargins();
    QWidget* footer = footerWidget(window);
    QWidget* above = topWidget(window);
    showNewChildren(scroll->widget());
    if (footer) showNewChildren(footer);
    if (above) showNewChildren(above);
    // A view inside a window of its own shares the room with what the window puts around it.
    QWidget* top = window->window();
    const QMargins frame = windowFrame(window);
    const QRect area = availableArea(window);
    int room = roomHeight(window);
    int roomWidth = std::max(area.width() - frame.left() - frame.right(), 0);
    if (top != window && top->layout()) {
        const QMargins around = top->layout()->contentsMargins();
        room = std::max(room - around.top() - around.bottom(), 0);
        roomWidth = std::max(roomWidth - around.left() - around.right(), 0);
    }
    // On a screen narrower than the column, the column narrows to it, down to what its content
    // needs: a window wider than the screen would hide its ends and the footer's buttons.
    int least = scroll->widget()->minimumSizeHint().width();
    if (footer) least = std::max(least, footer->minimumSizeHint().width());
    if (above) least = std::max(least, above->minimumSizeHint().width());
    least += outer.left() + outer.right();
    int base = window->property("fittedWidth").toInt();
    if (!area.isEmpty()) base = std::min(base, std::max(roomWidth, least));
    const int width = base - outer.left() - outer.right();
    // At a fractional scale the window's edges are rounded to device pixels, and the height it
    // is given can come out a point short of the one asked for: a point to spare keeps the
    // column from scrolling for it.
    const qreal ratio = window->devicePixelRatioF();
    const int spare = ratio == std::floor(ratio) ? 0 : 1;
    if (TopShrink* shrink = TopShrink::of(window)) shrink->fit(width, room - spare - outer.top() - outer.bottom());
    int needed = contentHeight(scroll->widget()->layout(), width) + outer.top() + outer.bottom() + spare;
    if (footer) needed += contentHeight(footer->layout(), width);
    if (above) needed += contentHeight(above->layout(), width);
    window->setFixedHeight(std::min(needed, room));
    // A column of fixed width keeps it whole beside the scroll bar.
    const int beside = scroll->widget()->minimumSizeHint().width() + scroll->verticalScrollBar()->sizeHint().width() +
                       outer.left() + outer.right();
    window->setFixedWidth(needed > room ? std::max(base, beside) : base);
    // A view fitted inside a window of its own moves that window, once it has taken the new size.
    if (top != window && top->layout()) top->layout()->activate();
    if (window->isVisible()) keepOnScreen(top);
}

void openCentred(QWidget* window, QWidget* fitted, QScreen* screen) {
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    // A hidden window is fitted to the screen it has been moved to.
    window->setScreen(screen);
    window->move(area.topLeft());
    frameSource().request(window);
    fitToContent(fitted);
    if (window->layout()) window->layout()->activate();
    const QMargins frame = windowFrame(window);
    QRect outer(QPoint(), window->size().grownBy(frame));
    outer.moveCenter(area.center());
    outer.moveTopLeft(QPoint(std::max(outer.left(), area.left()), std::max(outer.top(), area.top())));
    // The client area's place: the window manager draws the frame around it.
    window->setGeometry(QRect(outer.topLeft() + QPoint(frame.left(), frame.top()), window->size()));
}

void watchWindowOf(QWidget* widget, QPointer<QWidget>& watched, QObject* filter) {
    QWidget* window = widget->window();
    if (window == widget || window == watched) return;
    if (watched) watched->removeEventFilter(filter);
    watched = window;
    window->installEventFilter(filter);
}

WindowFitter::WindowFitter(QWidget* window, std::function<void()> fit)
    : QObject(window), window_(window), fit_(std::move(fit)) {
    window->installEventFilter(this);
}

void WindowFitter::watch(QWidget* widget) { widget->installEventFilter(this); }

void WindowFitter::request() {
    if (pending_) return;
    pending_ = true;
    QMetaObject::invokeMethod(this, [this] { settle(); }, Qt::QueuedConnection);
}

void WindowFitter::settle() {
    // While the window manager takes a window in, the place it reports passes through the
    // frame's corner: a window just shown is fitted once it is on the screen.
    const QWindow* handle = window_->window()->windowHandle();
    if (window_->isVisible() && handle && !exposed_) {
        exposed_ = handle->isExposed();
        if (!exposed_) {
            pending_ = false;
            awaitingExposure_ = true;
            return;
        }
    }
    // Under a pressed mouse button the window keeps its size and place, so a click that
    // began on a button ends on it; the fit follows the release.
    if (window_->isVisible() && QGuiApplication::mouseButtons() != Qt::NoButton) {
        QTimer::singleShot(std::chrono::milliseconds(30), this, [this] { settle(); });
        return;
    }
    pending_ = false;
    frame_ = windowFrame(window_);
    fit_();
    if (std::exchange(recentre_, false) && window_->isWindow() && window_->isVisible() && window_->parentWidget()) {
        QRect placed = window_->frameGeometry();
        placed.moveCenter(window_->parentWidget()->window()->frameGeometry().center());
        window_->move(placed.topLeft());
        keepOnScreen(window_);
    }
}

void WindowFitter::followScreen(QScreen* screen) {
    // A screen made smaller (a resolution change, a panel added) would leave the window's
    // answers below its edge.
    disconnect(areaChange_);
    if (screen)
        areaChange_ = connect(screen, &QScreen::availableGeometryChanged, this, [this] {
            recentre_ = true;
            request();
        });
    request();
}

bool WindowFitter::eventFilter(QObject* watched, QEvent* event) {
    if (watched == handle_) {
        if (event->type() == QEvent::Expose && handle_->isExposed()) {
            exposed_ = true;
            if (std::exchange(awaitingExposure_, false)) request();
        }
    } else if (watched != window_ && watched != top_) {
        if (event->type() == QEvent::LayoutRequest) request();
    } else if (event->type() == QEvent::Show) {
        // A view fitted inside a window of its own learns of the desktop's frame from that window.
        if (watched == window_) watchWindowOf(window_, top_, this);
        exposed_ = false;
        if (QWindow* handle = window_->window()->windowHandle(); handle && handle != handle_) {
            if (handle_) handle_->removeEventFilter(this);
            handle_ = handle;
            handle->installEventFilter(this);
            disconnect(screenChange_);
            screenChange_ = connect(handle, &QWindow::screenChanged, this, &WindowFitter::followScreen);
            followScreen(handle->screen());
        }
        request();
    } else if (event->type() == frameChange) {
        request();
    } else if (event->type() == QEvent::Move || event->type() == QEvent::Resize) {
        // The desktop adds its frame after the window is shown; a window the user merely
        // moves stays where it was put.
        if (windowFrame(window_) != frame_) request();
    }
    return false;
}

}  // namespace velmo
