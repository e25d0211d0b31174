// The sharing frames a connection has received, handed to one consumer in arrival order.
// Holds at most 8 undelivered frames; ends normally or with exactly one error. Every
// operation runs on the connection's strand.
#pragma once
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <deque>
#include <exception>
#include <optional>

#include "proto/sharing.pb.h"

namespace velmo {

class FrameStream {
public:
    using Frame = nearby::sharing::service::proto::Frame;
    static constexpr std::size_t capacity = 8;

    explicit FrameStream(asio::any_io_executor strand);

    // --- Consumer side ---

    // The next frame, or nothing once the stream ended normally. Throws the error that ended
    // it, once; after that it reports the end. One call at a time.
    asio::awaitable<std::optional<Frame>> next();

    // The consumer is done: later frames are refused and the connection closes.
    void stopListening();

    // --- Producer side (the connection) ---

    enum class Push { queued, full, stopped };
    Push push(Frame frame);

    // Ends the stream: normally when `error` is null, else with `error`. Only the first end
    // counts.
    void finish(std::exception_ptr error);

    bool finished() const { return finished_; }
    std::size_t waiting() const { return buffer_.size(); }

private:
    void wake();

    asio::steady_timer timer_;  // the consumer waits on it; the producer cancels it
    std::deque<Frame> buffer_;
    std::exception_ptr failure_;
    bool finished_ = false;
    bool stopped_ = false;
    bool reading_ = false;
};

}  // namespace velmo
