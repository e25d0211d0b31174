#include "quickshare/FrameInbox.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>

#include "quickshare/QuickShareError.h"

namespace velmo {

namespace {

// Far enough to mean "never", near enough that steady_clock arithmetic cannot overflow.
constexpr auto longestWait = std::chrono::hours(24 * 365 * 100);

std::chrono::steady_clock::duration clampWait(std::chrono::steady_clock::duration timeout) {
    if (timeout < std::chrono::steady_clock::duration::zero()) return {};
    if (timeout > longestWait) return longestWait;
    return timeout;
}

}  // namespace

std::shared_ptr<FrameInbox> FrameInbox::create(asio::any_io_executor strand) {
    return std::shared_ptr<FrameInbox>(new FrameInbox(std::move(strand)));
}

FrameInbox::FrameInbox(asio::any_io_executor strand) : strand_(strand), timer_(strand) {}

void FrameInbox::pump(FrameSource source, std::function<void()> onRejected) {
    asio::co_spawn(strand_, runPump(std::move(source), std::move(onRejected)), asio::detached);
}

asio::awaitable<void> FrameInbox::runPump(FrameSource source, std::function<void()> onRejected) {
    auto self = shared_from_this();
    std::exception_ptr error;
    try {
        for (;;) {
            auto frame = co_await source();
            if (!frame) break;
            if (!push(std::move(*frame))) {
                if (onRejected) onRejected();
                co_return;
            }
        }
    } catch (...) {
        error = std::current_exception();
    }
    fail(error);
}

asio::awaitable<FrameInbox::Frame> FrameInbox::next(std::chrono::steady_clock::duration timeout) {
    auto self = shared_from_this();
    if (!buffer_.empty()) {
        Frame frame = std::move(buffer_.front());
        buffer_.pop_front();
        co_return frame;
    }
    if (failure_) std::rethrow_exception(failure_);
    if (finished_) throw QuickShareError::disconnected();
    if (busy_) throw QuickShareError::protocolError("a second wait for the same messages");

    busy_ = true;
    accepting_ = true;
    delivered_.reset();
    deliveredError_ = nullptr;
    timer_.expires_after(clampWait(timeout));
    co_await timer_.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
    // Whoever ended the wait first decides it; a timer that fired after a frame was
    // handed over changes nothing.
    busy_ = false;
    accepting_ = false;
    if (delivered_) {
        Frame frame = std::move(*delivered_);
        delivered_.reset();
        co_return frame;
    }
    if (deliveredError_) {
        auto error = std::exchange(deliveredError_, nullptr);
        std::rethrow_exception(error);
    }
    throw QuickShareError::timedOut();
}

std::optional<FrameInbox::Frame> FrameInbox::poll() {
    if (!buffer_.empty()) {
        Frame frame = std::move(buffer_.front());
        buffer_.pop_front();
        return frame;
    }
    if (failure_) std::rethrow_exception(failure_);
    return std::nullopt;
}

bool FrameInbox::push(Frame frame) {
    if (finished_) return false;
    if (accepting_) {
        delivered_ = std::move(frame);
        wake();
        return true;
    }
    if (buffer_.size() < capacity) {
        buffer_.push_back(std::move(frame));
        return true;
    }
    fail(std::make_exception_ptr(QuickShareError::protocolError("too many queued negotiation messages")));
    return false;
}

void FrameInbox::fail(std::exception_ptr error) {
    if (finished_) return;
    finished_ = true;
    failure_ = error;
    if (accepting_) {
        deliveredError_ = error ? error : std::make_exception_ptr(QuickShareError::disconnected());
        wake();
    }
}

void FrameInbox::interruptWait() {
    if (accepting_) wake();
}

void FrameInbox::wake() {
    accepting_ = false;
    timer_.cancel();
}

}  // namespace velmo
