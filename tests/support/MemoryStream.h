// An in-memory ByteStream pair for tests: what one end writes, the other reads. Each end
// runs on its own strand and can be told to fail, delay or stall its writes.
#pragma once
#include <asio/any_io_executor.hpp>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "transfer/ByteStream.h"

namespace velmo::test {

class MemoryPipe;

class MemoryStream : public ByteStream, public std::enable_shared_from_this<MemoryStream> {
public:
    asio::any_io_executor executor() const override { return strand_; }
    asio::awaitable<Bytes> readExactly(std::size_t n) override;
    asio::awaitable<void> write(ByteView bytes) override;
    void close() override;

    // --- Test controls (any thread) ---

    // The write call with this index (0-based, counting every call) throws `error` and
    // writes nothing.
    void failWrite(std::size_t index, std::exception_ptr error);
    // Every later write call throws `error` and writes nothing.
    void failWritesFrom(std::size_t index, std::exception_ptr error);
    // Each write waits this long before its bytes reach the pipe.
    void setWriteDelay(std::chrono::steady_clock::duration delay);
    // This end's reads fail with `error` once they have consumed `bytes` more bytes (a read
    // that would pass that mark takes what is left of the budget and then fails).
    void failReadsAfter(std::size_t bytes, std::exception_ptr error);
    // Runs on the closing thread at the first close(), before anything is shut.
    void onClose(std::function<void()> hook);

    // Every write call's bytes, in order (failed calls record nothing).
    std::vector<Bytes> writes() const;
    std::size_t writeCalls() const;
    std::size_t closeCalls() const;
    bool isClosed() const;

private:
    friend struct MemoryStreamPair;
    MemoryStream(asio::any_io_executor strand, std::shared_ptr<MemoryPipe> in,
                 std::shared_ptr<MemoryPipe> out);

    asio::any_io_executor strand_;
    std::shared_ptr<MemoryPipe> in_;   // what the peer wrote, read here
    std::shared_ptr<MemoryPipe> out_;  // what is written here, read by the peer

    mutable std::mutex lock_;
    std::size_t writeCalls_ = 0;
    std::size_t closeCalls_ = 0;
    std::vector<Bytes> writes_;
    std::vector<std::pair<std::size_t, std::exception_ptr>> failingWrites_;
    std::size_t failFrom_ = SIZE_MAX;
    std::exception_ptr failFromError_;
    std::chrono::steady_clock::duration writeDelay_{};
    std::function<void()> onClose_;
};

struct MemoryStreamPair {
    std::shared_ptr<MemoryStream> a;
    std::shared_ptr<MemoryStream> b;

    // `capacity` bounds the bytes in flight in each direction: a writer waits while the
    // peer's unread bytes would exceed it, as a full TCP window makes it wait. Each end gets
    // its own strand on `executor`.
    static MemoryStreamPair create(asio::any_io_executor executor,
                                   std::size_t capacity = SIZE_MAX);
};

}  // namespace velmo::test
