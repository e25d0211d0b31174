// A handshake in either role, run under its watchdog.
#pragma once
#include <asio/awaitable.hpp>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>

#include "quickshare/HandshakeWatchdog.h"
#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"

namespace velmo {

// Runs `handshake` on `connection`'s strand. When `limit` passes first the connection is
// closed and the handshake fails with QuickShareError::timedOut, whatever its last step saw;
// on any other failure the connection is closed and the failure passes on.
template <class T>
asio::awaitable<T> watchedHandshake(std::shared_ptr<QuickShareConnection> connection,
                                    std::chrono::steady_clock::duration limit, asio::awaitable<T> handshake) {
    HandshakeWatchdog watchdog(connection->executor(), limit, [raw = connection.get()] { raw->close(); });
    std::exception_ptr failure;
    std::optional<T> result;
    try {
        result.emplace(co_await std::move(handshake));
    } catch (...) {
        failure = std::current_exception();
    }
    const bool timedOut = watchdog.finish();
    if (timedOut || failure) {
        connection->close();
        if (timedOut) throw QuickShareError::timedOut();
        std::rethrow_exception(failure);
    }
    co_return std::move(*result);
}

}  // namespace velmo
