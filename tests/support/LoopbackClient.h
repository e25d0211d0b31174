// A blocking TCP client on 127.0.0.1 for scripting HTTP peers byte by byte.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmo::test {

class LoopbackClient {
public:
    explicit LoopbackClient(std::uint16_t port);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    // Writes all of `bytes`; false when the connection failed (never raises SIGPIPE).
    bool send(std::string_view bytes);

    // Everything until the server closes, a reset, or `timeout` without progress.
    std::string readAll(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Reads until `marker` has arrived (or the connection ends); returns what was read.
    std::string readUntil(std::string_view marker, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // True when the server closed the connection (end of input or reset) within `timeout`.
    bool closedWithin(std::chrono::milliseconds timeout);

    void shutdownWrite();
    void close();

private:
    int fd_ = -1;
};

// Status code of an HTTP response ("HTTP/1.1 200 ..."), or 0.
int statusOf(const std::string& response);

// The body after the head of an HTTP response.
std::string bodyOf(const std::string& response);

}  // namespace velmo::test
