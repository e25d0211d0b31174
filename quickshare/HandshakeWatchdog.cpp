#include "quickshare/HandshakeWatchdog.h"

#include <asio/bind_executor.hpp>
#include <asio/steady_timer.hpp>

namespace velmo {

struct HandshakeWatchdog::State {
    explicit State(asio::any_io_executor executor) : timer(executor) {}
    asio::steady_timer timer;
    std::function<void()> onTimeout;
    bool finished = false;
    bool fired = false;
};

HandshakeWatchdog::HandshakeWatchdog(asio::any_io_executor executor,
                                     std::chrono::steady_clock::duration limit,
                                     std::function<void()> onTimeout)
    : state_(std::make_shared<State>(executor)) {
    state_->onTimeout = std::move(onTimeout);
    state_->timer.expires_after(limit);
    state_->timer.async_wait(asio::bind_executor(executor, [state = state_](std::error_code ec) {
        // A wake-up already queued when the handshake finished must not close a connection
        // that is now in use: only an unfinished handshake is timed out.
        if (ec || state->finished) return;
        state->fired = true;
        auto onTimeout = std::move(state->onTimeout);
        if (onTimeout) onTimeout();
    }));
}

HandshakeWatchdog::~HandshakeWatchdog() { finish(); }

bool HandshakeWatchdog::finish() {
    if (!state_->finished) {
        state_->finished = true;
        state_->timer.cancel();
        state_->onTimeout = nullptr;
    }
    return state_->fired;
}

bool HandshakeWatchdog::fired() const { return state_->fired; }

}  // namespace velmo
