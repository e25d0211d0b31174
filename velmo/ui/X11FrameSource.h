// The frame an X11 window manager draws around a window, read from _NET_FRAME_EXTENTS: asked
// for before the window is mapped where the manager answers _NET_REQUEST_FRAME_EXTENTS, and
// announced to the window's fitters whenever the manager sets it.
#pragma once

#include "velmo/ui/WindowFitter.h"

#include <QAbstractNativeEventFilter>
#include <cstdint>

struct xcb_connection_t;

namespace velmo {

class X11FrameSource : public FrameSource, public QAbstractNativeEventFilter {
public:
    // The source for the application's X11 display; none on another platform.
    static std::unique_ptr<X11FrameSource> forApplication();
    ~X11FrameSource() override;

    std::optional<QMargins> frame(const QWidget* window) override;
    void request(QWidget* window) override;
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    X11FrameSource(xcb_connection_t* connection, std::uint32_t root);
    std::uint32_t atom(const char* name) const;
    bool managerSupports(std::uint32_t atom) const;

    xcb_connection_t* connection_;
    std::uint32_t root_;
    std::uint32_t extents_;
    std::uint32_t requestExtents_;
    std::uint32_t supported_;
};

}  // namespace velmo
