#include "quickshare/ChunkReadAhead.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <array>
#include <exception>
#include <mutex>
#include <optional>

namespace velmo {

// Shared with the reading thread, which only touches the buffer it was given and posts its
// result back to the strand.
struct ChunkReadAhead::State {
    struct Result {
        std::size_t got = 0;
        std::exception_ptr error;
    };

    State(asio::any_io_executor strand, std::size_t chunkSize)
        : strand(strand), wakeup(strand), buffers{Bytes(chunkSize), Bytes(chunkSize)} {}

    asio::any_io_executor strand;
    asio::steady_timer wakeup;
    std::array<Bytes, 2> buffers;
    // Strand side.
    std::shared_ptr<const Read> read;
    std::uint64_t source = 0;  // tells a late result of an earlier source from the current one
    std::int64_t remaining = 0;
    int current = 0;
    bool reading = false;
    std::array<std::optional<Result>, 2> results;
    // Set before the owner waits for the reading thread: nothing is posted after it.
    std::mutex postLock;
    bool abandoned = false;
};

ChunkReadAhead::ChunkReadAhead(asio::any_io_executor strand, std::size_t chunkSize)
    : state_(std::make_shared<State>(strand, chunkSize)) {}

ChunkReadAhead::~ChunkReadAhead() {
    {
        std::lock_guard guard(state_->postLock);
        state_->abandoned = true;
    }
    reader_.join();
}

void ChunkReadAhead::start(Read read, std::int64_t size) {
    State& s = *state_;
    ++s.source;
    s.read = std::make_shared<const Read>(std::move(read));
    s.remaining = size;
    s.current = 0;
    s.results = {};
    s.reading = false;
    if (size > 0) issue(0);
}

void ChunkReadAhead::issue(int slot) {
    State& s = *state_;
    const auto wanted = static_cast<std::size_t>(
        std::min<std::int64_t>(s.remaining, static_cast<std::int64_t>(s.buffers[slot].size())));
    s.reading = true;
    asio::post(reader_, [state = state_, read = s.read, source = s.source, slot, wanted,
                         buffer = s.buffers[slot].data()] {
        State::Result result;
        try {
            result.got = (*read)(buffer, wanted);
        } catch (...) {
            result.error = std::current_exception();
        }
        std::lock_guard guard(state->postLock);
        if (state->abandoned) return;
        asio::post(state->strand, [state, source, slot, result] {
            if (source != state->source) return;
            state->reading = false;
            state->results[slot] = result;
            state->wakeup.cancel();
        });
    });
}

asio::awaitable<ByteView> ChunkReadAhead::next() {
    auto state = state_;  // the awaiting frame keeps the buffers
    State& s = *state;
    const int slot = s.current;
    if (!s.results[slot] && !s.reading) co_return ByteView{};
    while (!s.results[slot]) {
        s.wakeup.expires_at(asio::steady_timer::time_point::max());
        co_await s.wakeup.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
    }
    const State::Result result = *s.results[slot];
    s.results[slot].reset();
    if (result.error) std::rethrow_exception(result.error);
    const std::size_t asked =
        static_cast<std::size_t>(std::min<std::int64_t>(s.remaining, static_cast<std::int64_t>(s.buffers[slot].size())));
    s.remaining -= static_cast<std::int64_t>(result.got);
    s.current = 1 - slot;
    // A short read ends the source; otherwise the other buffer is filled while this one is used.
    if (result.got < asked) s.remaining = 0;
    if (s.remaining > 0) issue(s.current);
    co_return ByteView(s.buffers[slot].data(), result.got);
}

}  // namespace velmo
