// Reads a source one chunk ahead on a thread of its own, so reading the next chunk of a
// file overlaps encrypting and sending the current one, and a slow disk never holds the
// runtime's threads.
#pragma once
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Bytes.h"

namespace velmo {

class ChunkReadAhead {
public:
    // Fills up to `wanted` bytes of `buffer` and returns how many; fewer only at the end of
    // the source. Runs on the reading thread.
    using Read = std::function<std::size_t(std::uint8_t* buffer, std::size_t wanted)>;

    // Every call on `strand`.
    ChunkReadAhead(asio::any_io_executor strand, std::size_t chunkSize);
    // Waits for a read in progress.
    ~ChunkReadAhead();
    ChunkReadAhead(const ChunkReadAhead&) = delete;
    ChunkReadAhead& operator=(const ChunkReadAhead&) = delete;

    // Starts reading the first `size` bytes of a source, replacing the one before.
    void start(Read read, std::int64_t size);

    // The next chunk of at most the chunk size: empty once `size` bytes were read, or when
    // the source ended early. Valid until the next call. Throws what `read` threw.
    asio::awaitable<ByteView> next();

private:
    struct State;
    void issue(int slot);

    std::shared_ptr<State> state_;
    asio::thread_pool reader_{1};
};

}  // namespace velmo
