#include "support/MemoryStream.h"

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>
#include <deque>

#include "transfer/ShareError.h"

namespace velmo::test {

// One direction of the pair. The reader and the writer each wait on a timer bound to their
// own strand; the other side wakes them by posting a cancel onto that strand.
class MemoryPipe : public std::enable_shared_from_this<MemoryPipe> {
public:
    MemoryPipe(asio::any_io_executor writerStrand, asio::any_io_executor readerStrand,
               std::size_t capacity)
        : writerStrand_(writerStrand),
          readerStrand_(readerStrand),
          writerTimer_(writerStrand),
          readerTimer_(readerStrand),
          capacity_(capacity) {}

    asio::awaitable<Bytes> read(std::size_t n) {
        auto self = shared_from_this();
        Bytes out;
        for (;;) {
            {
                std::lock_guard guard(lock_);
                if (readerClosed_) throw ShareError::connectionClosed();
                // Like a socket read, take what is there and wait for the rest.
                std::size_t take = std::min(n - out.size(), buffer_.size());
                if (readFailure_) take = std::min(take, readBudget_);
                out.insert(out.end(), buffer_.begin(),
                           buffer_.begin() + static_cast<std::ptrdiff_t>(take));
                buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(take));
                if (readFailure_) readBudget_ -= take;
                if (take > 0) wake(writerStrand_, writerTimer_);
                if (out.size() == n) co_return out;
                if (readFailure_ && readBudget_ == 0) std::rethrow_exception(readFailure_);
                if (writerClosed_) throw ShareError::connectionClosed();
            }
            co_await waitOn(readerTimer_);
        }
    }

    asio::awaitable<void> write(ByteView bytes) {
        auto self = shared_from_this();
        std::size_t done = 0;
        for (;;) {
            {
                std::lock_guard guard(lock_);
                if (writerClosed_ || readerClosed_) throw ShareError::connectionClosed();
                const std::size_t room =
                    capacity_ > buffer_.size() ? capacity_ - buffer_.size() : 0;
                const std::size_t take = std::min(room, bytes.size() - done);
                buffer_.insert(buffer_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(done),
                               bytes.begin() + static_cast<std::ptrdiff_t>(done + take));
                done += take;
                if (take > 0) wake(readerStrand_, readerTimer_);
                if (done == bytes.size()) co_return;
            }
            co_await waitOn(writerTimer_);
        }
    }

    void closeWriting() {
        std::lock_guard guard(lock_);
        writerClosed_ = true;
        wake(readerStrand_, readerTimer_);
        wake(writerStrand_, writerTimer_);
    }

    void closeReading() {
        std::lock_guard guard(lock_);
        readerClosed_ = true;
        wake(readerStrand_, readerTimer_);
        wake(writerStrand_, writerTimer_);
    }

    void failReadsAfter(std::size_t bytes, std::exception_ptr error) {
        std::lock_guard guard(lock_);
        readBudget_ = bytes;
        readFailure_ = std::move(error);
        wake(readerStrand_, readerTimer_);
    }

private:
    static asio::awaitable<void> waitOn(asio::steady_timer& timer) {
        timer.expires_at(asio::steady_timer::time_point::max());
        std::error_code ignored;
        co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }

    void wake(asio::any_io_executor strand, asio::steady_timer& timer) {
        asio::post(strand, [self = shared_from_this(), &timer] { timer.cancel(); });
    }

    asio::any_io_executor writerStrand_;
    asio::any_io_executor readerStrand_;
    asio::steady_timer writerTimer_;  // touched only on the writer's strand
    asio::steady_timer readerTimer_;  // touched only on the reader's strand
    const std::size_t capacity_;

    std::mutex lock_;
    std::deque<std::uint8_t> buffer_;
    bool writerClosed_ = false;
    bool readerClosed_ = false;
    std::size_t readBudget_ = 0;
    std::exception_ptr readFailure_;
};

MemoryStream::MemoryStream(asio::any_io_executor strand, std::shared_ptr<MemoryPipe> in,
                           std::shared_ptr<MemoryPipe> out)
    : strand_(std::move(strand)), in_(std::move(in)), out_(std::move(out)) {}

asio::awaitable<Bytes> MemoryStream::readExactly(std::size_t n) {
    auto self = shared_from_this();
    co_return co_await in_->read(n);
}

asio::awaitable<void> MemoryStream::write(ByteView bytes) {
    auto self = shared_from_this();
    std::exception_ptr failure;
    std::chrono::steady_clock::duration delay{};
    {
        std::lock_guard guard(lock_);
        const std::size_t index = writeCalls_++;
        for (const auto& [failing, error] : failingWrites_) {
            if (failing == index) failure = error;
        }
        if (!failure && index >= failFrom_) failure = failFromError_;
        if (!failure) writes_.emplace_back(bytes.begin(), bytes.end());
        delay = writeDelay_;
    }
    if (failure) std::rethrow_exception(failure);
    if (delay > std::chrono::steady_clock::duration::zero()) {
        asio::steady_timer timer(strand_, delay);
        co_await timer.async_wait(asio::use_awaitable);
    }
    co_await out_->write(bytes);
}

void MemoryStream::close() {
    std::function<void()> hook;
    {
        std::lock_guard guard(lock_);
        if (closeCalls_++ == 0) hook = std::move(onClose_);
    }
    if (hook) hook();
    out_->closeWriting();
    in_->closeReading();
}

void MemoryStream::failWrite(std::size_t index, std::exception_ptr error) {
    std::lock_guard guard(lock_);
    failingWrites_.emplace_back(index, std::move(error));
}

void MemoryStream::failWritesFrom(std::size_t index, std::exception_ptr error) {
    std::lock_guard guard(lock_);
    failFrom_ = index;
    failFromError_ = std::move(error);
}

void MemoryStream::setWriteDelay(std::chrono::steady_clock::duration delay) {
    std::lock_guard guard(lock_);
    writeDelay_ = delay;
}

void MemoryStream::failReadsAfter(std::size_t bytes, std::exception_ptr error) {
    in_->failReadsAfter(bytes, std::move(error));
}

void MemoryStream::onClose(std::function<void()> hook) {
    std::lock_guard guard(lock_);
    onClose_ = std::move(hook);
}

std::vector<Bytes> MemoryStream::writes() const {
    std::lock_guard guard(lock_);
    return writes_;
}

std::size_t MemoryStream::writeCalls() const {
    std::lock_guard guard(lock_);
    return writeCalls_;
}

std::size_t MemoryStream::closeCalls() const {
    std::lock_guard guard(lock_);
    return closeCalls_;
}

bool MemoryStream::isClosed() const { return closeCalls() > 0; }

MemoryStreamPair MemoryStreamPair::create(asio::any_io_executor executor, std::size_t capacity) {
    auto strandA = asio::make_strand(executor);
    auto strandB = asio::make_strand(executor);
    auto aToB = std::make_shared<MemoryPipe>(strandA, strandB, capacity);
    auto bToA = std::make_shared<MemoryPipe>(strandB, strandA, capacity);
    MemoryStreamPair pair;
    pair.a = std::shared_ptr<MemoryStream>(new MemoryStream(strandA, bToA, aToB));
    pair.b = std::shared_ptr<MemoryStream>(new MemoryStream(strandB, aToB, bToA));
    return pair;
}

}  // namespace velmo::test
