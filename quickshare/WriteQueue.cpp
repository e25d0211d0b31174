#include "quickshare/WriteQueue.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "transfer/ShareError.h"

namespace velmo {

// Where the drain leaves the outcome of one frame for its writer.
struct WriteQueue::Waiter {
    explicit Waiter(const asio::any_io_executor& strand) : timer(strand) {}
    asio::steady_timer timer;
    bool done = false;
    std::exception_ptr error;
};

std::shared_ptr<WriteQueue> WriteQueue::create(std::shared_ptr<ByteStream> stream,
                                               std::chrono::steady_clock::duration deadline) {
    return std::shared_ptr<WriteQueue>(new WriteQueue(std::move(stream), deadline));
}

WriteQueue::WriteQueue(std::shared_ptr<ByteStream> stream,
                       std::chrono::steady_clock::duration deadline)
    : stream_(std::move(stream)), deadline_(deadline), deadlineTimer_(stream_->executor()) {}

asio::awaitable<void> WriteQueue::write(Bytes frame) {
    auto self = shared_from_this();
    auto waiter = std::make_shared<Waiter>(stream_->executor());
    pending_.push_back({std::move(frame), waiter});
    if (!draining_) {
        draining_ = true;
        asio::co_spawn(stream_->executor(), [self] { return self->drain(); }, asio::detached);
    }
    while (!waiter->done) {
        waiter->timer.expires_at(asio::steady_timer::time_point::max());
        std::error_code ignored;
        co_await waiter->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    if (waiter->error) std::rethrow_exception(waiter->error);
}

asio::awaitable<void> WriteQueue::drain() {
    while (!pending_.empty()) {
        Entry entry = std::move(pending_.front());
        pending_.pop_front();
        armDeadline();
        try {
            co_await stream_->write(entry.frame);
        } catch (...) {
            entry.waiter->error = std::current_exception();
        }
        writeInProgress_ = false;
        deadlineTimer_.cancel();
        if (deadlinePassed_) {
            // The stream was closed under this write: say so plainly, whatever the
            // transport reported.
            deadlinePassed_ = false;
            entry.waiter->error = std::make_exception_ptr(ShareError::connectionClosed());
        }
        entry.waiter->done = true;
        entry.waiter->timer.cancel();
        if (entry.frame.capacity() > spare_.capacity()) spare_ = std::move(entry.frame);
    }
    draining_ = false;
}

void WriteQueue::armDeadline() {
    writeInProgress_ = true;
    if (deadline_ <= std::chrono::steady_clock::duration::zero()) return;
    const std::uint64_t number = ++writeNumber_;
    // Far enough to mean "never", near enough that the clock arithmetic cannot overflow.
    deadlineTimer_.expires_after(std::min<std::chrono::steady_clock::duration>(
        deadline_, std::chrono::hours(24 * 365 * 100)));
    deadlineTimer_.async_wait([self = weak_from_this(), number](std::error_code error) {
        auto queue = self.lock();
        if (error || !queue) return;
        // A deadline whose write already ended, or a newer write's timer, must not close.
        if (!queue->writeInProgress_ || queue->writeNumber_ != number) return;
        queue->deadlinePassed_ = true;
        queue->stream_->close();
    });
}

}  // namespace velmo
