// The read-ahead hands out a source's chunks in order while the next one is read on its
// own thread, ends at the announced size or where the source ends, and passes errors on.
#include <gtest/gtest.h>

#include <asio/strand.hpp>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/Runtime.h"
#include "quickshare/ChunkReadAhead.h"
#include "support/AsyncTest.h"

namespace velmo {
namespace {

using test::runAsync;

// A source of `length` bytes where byte i is (i * 7) mod 256; counts its reads.
struct PatternSource {
    std::int64_t length;
    std::int64_t at = 0;
    std::atomic<int> reads{0};
    std::size_t read(std::uint8_t* buffer, std::size_t wanted) {
        ++reads;
        std::size_t n = 0;
        for (; n < wanted && at < length; ++n, ++at) buffer[n] = static_cast<std::uint8_t>(at * 7);
        return n;
    }
};

class ChunkReadAheadTest : public ::testing::Test {
protected:
    Runtime runtime{2};
    asio::any_io_executor strand = asio::make_strand(runtime.executor());

    // Every chunk of a source of `length` bytes announced as `size`, joined, and the chunk sizes.
    std::pair<Bytes, std::vector<std::size_t>> readAll(std::int64_t length, std::int64_t size, std::size_t chunk) {
        PatternSource source{length};
        return runAsync(strand, [&]() -> asio::awaitable<std::pair<Bytes, std::vector<std::size_t>>> {
            ChunkReadAhead reader(strand, chunk);
            reader.start([&](std::uint8_t* b, std::size_t n) { return source.read(b, n); }, size);
            Bytes all;
            std::vector<std::size_t> sizes;
            for (;;) {
                const ByteView piece = co_await reader.next();
                if (piece.empty()) break;
                all.insert(all.end(), piece.begin(), piece.end());
                sizes.push_back(piece.size());
            }
            co_return std::pair{all, sizes};
        });
    }
};

TEST_F(ChunkReadAheadTest, ChunksComeInOrderAndStopAtTheAnnouncedSizeOrTheSourcesEnd) {
    struct Case {
        std::int64_t length, size;
        std::size_t chunk;
        std::vector<std::size_t> sizes;
    };
    const Case cases[] = {
        {0, 0, 4, {}},
        {10, 10, 4, {4, 4, 2}},
        {12, 12, 4, {4, 4, 4}},
        {20, 9, 4, {4, 4, 1}},  // a source that grew is cut at the announced size
        {6, 12, 4, {4, 2}},     // one that shrank ends early
        {3000, 3000, 1000, {1000, 1000, 1000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + " of " + std::to_string(c.size));
        const auto [all, sizes] = readAll(c.length, c.size, c.chunk);
        EXPECT_EQ(sizes, c.sizes);
        ASSERT_EQ(all.size(), static_cast<std::size_t>(std::min(c.length, c.size)));
        for (std::size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], static_cast<std::uint8_t>(i * 7)) << i;
    }
}

TEST_F(ChunkReadAheadTest, AReadErrorReachesTheCallerInItsTurn) {
    int calls = 0;
    const auto outcome = runAsync(strand, [&]() -> asio::awaitable<std::string> {
        ChunkReadAhead reader(strand, 4);
        reader.start([&](std::uint8_t* b, std::size_t n) -> std::size_t {
            if (++calls == 2) throw std::runtime_error("disk gone");
            std::fill(b, b + n, 1);
            return n;
        }, 100);
        const ByteView first = co_await reader.next();
        EXPECT_EQ(first.size(), 4u);
        try {
            co_await reader.next();
        } catch (const std::runtime_error& e) {
            co_return e.what();
        }
        co_return "no error";
    });
    EXPECT_EQ(outcome, "disk gone");
}

TEST_F(ChunkReadAheadTest, TheNextSourceIgnoresAReadLeftOverFromTheLast) {
    const auto bytes = runAsync(strand, [&]() -> asio::awaitable<Bytes> {
        ChunkReadAhead reader(strand, 4);
        reader.start([](std::uint8_t* b, std::size_t n) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::fill(b, b + n, 0xAA);
            return n;
        }, 100);
        co_await reader.next();  // a second read of the first source is now under way
        reader.start([](std::uint8_t* b, std::size_t n) {
            std::fill(b, b + n, 0xBB);
            return n;
        }, 6);
        Bytes all;
        for (ByteView piece = co_await reader.next(); !piece.empty(); piece = co_await reader.next())
            all.insert(all.end(), piece.begin(), piece.end());
        co_return all;
    });
    EXPECT_EQ(bytes, Bytes(6, 0xBB));
}

TEST_F(ChunkReadAheadTest, DestroyedWhileAReadIsUnderWayWaitsForItAndPostsNothingLater) {
    std::atomic<bool> readFinished{false};
    runAsync(strand, [&]() -> asio::awaitable<void> {
        ChunkReadAhead reader(strand, 4);
        reader.start([&](std::uint8_t* b, std::size_t n) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            std::fill(b, b + n, 1);
            readFinished = true;
            return n;
        }, 100);
        co_return;
    });
    EXPECT_TRUE(readFinished);
}

}  // namespace
}  // namespace velmo
