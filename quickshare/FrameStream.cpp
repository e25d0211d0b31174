#include "quickshare/FrameStream.h"

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <stdexcept>

namespace velmo {

FrameStream::FrameStream(asio::any_io_executor strand) : timer_(std::move(strand)) {}

asio::awaitable<std::optional<FrameStream::Frame>> FrameStream::next() {
    if (reading_) throw std::logic_error("FrameStream::next: a second reader");
    reading_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{reading_};
    for (;;) {
        if (!buffer_.empty()) {
            Frame frame = std::move(buffer_.front());
            buffer_.pop_front();
            co_return frame;
        }
        if (finished_) {
            if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
            co_return std::nullopt;
        }
        if (stopped_) co_return std::nullopt;
        timer_.expires_at(asio::steady_timer::time_point::max());
        std::error_code ignored;
        co_await timer_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
}

void FrameStream::stopListening() {
    stopped_ = true;
    buffer_.clear();
    wake();
}

FrameStream::Push FrameStream::push(Frame frame) {
    if (stopped_) return Push::stopped;
    if (finished_) return Push::stopped;
    if (buffer_.size() >= capacity) return Push::full;
    buffer_.push_back(std::move(frame));
    wake();
    return Push::queued;
}

void FrameStream::finish(std::exception_ptr error) {
    if (finished_) return;
    finished_ = true;
    failure_ = std::move(error);
    wake();
}

void FrameStream::wake() { timer_.cancel(); }

}  // namespace velmo
