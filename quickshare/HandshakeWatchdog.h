// Closes a connection whose handshake takes too long.
#pragma once
#include <asio/any_io_executor.hpp>
#include <chrono>
#include <functional>
#include <memory>

namespace velmo {

// The time limit of a handshake, in either role.
struct HandshakeTimeouts {
    // The whole handshake, from the first frame to the last connection response.
    std::chrono::steady_clock::duration handshake = std::chrono::seconds(30);
};

class HandshakeWatchdog {
public:
    // Arms the watchdog: when `limit` passes on the steady clock while the handshake is
    // still unfinished, `onTimeout` runs once on `executor`. `executor` must be the strand
    // the handshake runs on, and finish() must be called from it.
    HandshakeWatchdog(asio::any_io_executor executor, std::chrono::steady_clock::duration limit,
                      std::function<void()> onTimeout);
    // Finishes the handshake if nobody did.
    ~HandshakeWatchdog();
    HandshakeWatchdog(const HandshakeWatchdog&) = delete;
    HandshakeWatchdog& operator=(const HandshakeWatchdog&) = delete;

    // Marks the handshake finished and disarms the watchdog. From here on it never acts,
    // even when its time ran out and its wake-up is already queued. Returns fired().
    bool finish();

    // True once the watchdog has acted.
    bool fired() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace velmo
