// Buffers the phone's sharing frames between the connection's reader and a flow that
// asks for them one at a time, each wait with its own time limit.
#pragma once
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include "proto/sharing.pb.h"

namespace velmo {

class FrameInbox : public std::enable_shared_from_this<FrameInbox> {
public:
    using Frame = nearby::sharing::service::proto::Frame;
    // Yields the connection's next frame, std::nullopt at a normal end, or throws the
    // error that ended the stream.
    using FrameSource = std::function<asio::awaitable<std::optional<Frame>>()>;

    static constexpr std::size_t capacity = 8;

    // `strand` is the transfer's strand; every operation must be called on it.
    static std::shared_ptr<FrameInbox> create(asio::any_io_executor strand);

    // Feeds the inbox from `source` in a task of its own until the source ends. When a frame
    // is refused (buffer full), runs `onRejected` (the flows close their connection) and stops.
    void pump(FrameSource source, std::function<void()> onRejected);

    // The oldest buffered frame, or the next to arrive within `timeout`. Throws
    // QuickShareError::timedOut when none comes in time, the error that ended the inbox, or
    // QuickShareError::disconnected after a normal end. Only one wait at a time: a second
    // concurrent wait is refused with a protocol error and the first one keeps waiting.
    asio::awaitable<Frame> next(std::chrono::steady_clock::duration timeout);

    // The oldest buffered frame without waiting; nothing when none is buffered. Once the
    // buffer is empty, throws the error that ended the inbox, if any.
    std::optional<Frame> poll();

    // Delivers or buffers one frame; false when refused (ended inbox or a full buffer).
    bool push(Frame frame);

    // Ends the inbox: with `error`, or normally when it is null.
    void fail(std::exception_ptr error);

    // Ends the wait in progress at once, as if its time had run out; frames that come later
    // stay buffered for the next wait. Does nothing when nobody waits.
    void interruptWait();

    bool finished() const { return finished_; }
    std::size_t buffered() const { return buffer_.size(); }

private:
    explicit FrameInbox(asio::any_io_executor strand);
    asio::awaitable<void> runPump(FrameSource source, std::function<void()> onRejected);
    void wake();

    asio::any_io_executor strand_;
    asio::steady_timer timer_;  // the one timer of the inbox; cancelled to wake the waiter
    std::deque<Frame> buffer_;
    std::exception_ptr failure_;
    bool finished_ = false;
    bool busy_ = false;       // a next() is in progress, until its caller resumes
    bool accepting_ = false;  // that next() still takes a frame or an error directly
    std::optional<Frame> delivered_;
    std::exception_ptr deliveredError_;
};

}  // namespace velmo
