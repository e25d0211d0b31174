#include "velmo/ui/X11FrameSource.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <xcb/xcb.h>

namespace velmo {

namespace {

constexpr xcb_window_t noWindow = XCB_WINDOW_NONE;
constexpr xcb_atom_t noAtom = XCB_ATOM_NONE;

template <typename Reply>
using Owned = std::unique_ptr<Reply, decltype(&std::free)>;

// The window's native id, without creating one for a window that has none yet.
xcb_window_t nativeId(const QWidget* window) {
    return window && window->isWindow() && window->testAttribute(Qt::WA_WState_Created)
               ? static_cast<xcb_window_t>(window->internalWinId())
               : noWindow;
}

}  // namespace

std::unique_ptr<X11FrameSource> X11FrameSource::forApplication() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection) return nullptr;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (!screen) return nullptr;
    std::unique_ptr<X11FrameSource> source(new X11FrameSource(connection, screen->root));
    QCoreApplication::instance()->installNativeEventFilter(source.get());
    return source;
}

X11FrameSource::X11FrameSource(xcb_connection_t* connection, std::uint32_t root)
    : connection_(connection),
      root_(root),
      extents_(atom("_NET_FRAME_EXTENTS")),
      requestExtents_(atom("_NET_REQUEST_FRAME_EXTENTS")),
      supported_(atom("_NET_SUPPORTED")) {}

X11FrameSource::~X11FrameSource() {
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
}

std::uint32_t X11FrameSource::atom(const char* name) const {
    const Owned<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(connection_, xcb_intern_atom(connection_, 0, std::strlen(name), name), nullptr),
        &std::free);
    return reply ? reply->atom : noAtom;
}

bool X11FrameSource::managerSupports(std::uint32_t wanted) const {
    if (wanted == XCB_ATOM_NONE) return false;
    const Owned<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(connection_,
                               xcb_get_property(connection_, 0, root_, supported_, XCB_ATOM_ATOM, 0, 4096), nullptr),
        &std::free);
    if (!reply || reply->type != XCB_ATOM_ATOM || reply->format != 32) return false;
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
    const int count = xcb_get_property_value_length(reply.get()) / 4;
    return std::find(atoms, atoms + count, wanted) != atoms + count;
}

std::optional<QMargins> X11FrameSource::frame(const QWidget* window) {
    const xcb_window_t id = nativeId(window);
    if (id == XCB_WINDOW_NONE || extents_ == XCB_ATOM_NONE) return std::nullopt;
    const Owned<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(connection_,
                               xcb_get_property(connection_, 0, id, extents_, XCB_ATOM_CARDINAL, 0, 4), nullptr),
        &std::free);
    if (!reply || reply->type != XCB_ATOM_CARDINAL || reply->format != 32 ||
        xcb_get_property_value_length(reply.get()) != 16)
        return std::nullopt;
    // Left, right, top, bottom in device pixels; a part of a pixel still covers the screen.
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    const double ratio = window->devicePixelRatioF();
    const auto logical = [ratio](std::uint32_t value) {
        return static_cast<int>(std::ceil(std::min<std::uint32_t>(value, 1u << 16) / ratio));
    };
    return QMargins(logical(values[0]), logical(values[2]), logical(values[1]), logical(values[3]));
}

void X11FrameSource::request(QWidget* window) {
    if (!window || !window->isWindow() || frame(window) || !managerSupports(requestExtents_)) return;
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = static_cast<xcb_window_t>(window->winId());
    message.type = requestExtents_;
    xcb_send_event(connection_, 0, root_, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(connection_);
    // The manager answers at once; one that does not leaves the fit to the frame's announcement.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (!frame(window) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

bool X11FrameSource::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t" || extents_ == XCB_ATOM_NONE) return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
    const auto* change = static_cast<const xcb_property_notify_event_t*>(message);
    if (change->atom != extents_) return false;
    if (QWidget* window = QWidget::find(change->window)) announceFrameChange(window);
    return false;
}

}  // namespace velmo
