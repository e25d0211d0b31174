// The in-memory stream pair that the engine's tests run on must behave like a TCP stream.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/Runtime.h"
#include "support/AsyncTest.h"
#include "support/MemoryStream.h"
#include "support/ScriptedPeer.h"
#include "transfer/ShareError.h"

namespace velmo::test {
namespace {

class MemoryStreamTest : public ::testing::Test {
protected:
    Runtime runtime{2};
    MemoryStreamPair pair = MemoryStreamPair::create(runtime.executor());
};

TEST_F(MemoryStreamTest, ReadsExactLengthsAcrossSplitWrites) {
    runAsync(pair.a->executor(), [&]() -> asio::awaitable<void> {
        co_await pair.a->write(unhex("0102"));
        co_await pair.a->write(unhex("030405"));
    });
    auto got = runAsync(pair.b->executor(), [&]() -> asio::awaitable<std::pair<Bytes, Bytes>> {
        Bytes first = co_await pair.b->readExactly(4);
        Bytes second = co_await pair.b->readExactly(1);
        co_return std::pair{first, second};
    });
    EXPECT_EQ(hex(got.first), "01020304");
    EXPECT_EQ(hex(got.second), "05");
    EXPECT_EQ(pair.a->writes().size(), 2u);
}

TEST_F(MemoryStreamTest, AReadWaitsForTheWriter) {
    auto future = asio::co_spawn(pair.b->executor(), pair.b->readExactly(3), asio::use_future);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    runAsync(pair.a->executor(),
             [&]() -> asio::awaitable<void> { co_await pair.a->write(unhex("aabbcc")); });
    EXPECT_EQ(hex(future.get()), "aabbcc");
}

TEST_F(MemoryStreamTest, CloseLetsThePeerReadWhatWasWrittenThenEnds) {
    runAsync(pair.a->executor(),
             [&]() -> asio::awaitable<void> { co_await pair.a->write(unhex("0102")); });
    pair.a->close();
    EXPECT_EQ(hex(runAsync(pair.b->executor(), [&] { return pair.b->readExactly(2); })), "0102");
    EXPECT_THROW(runAsync(pair.b->executor(), [&] { return pair.b->readExactly(1); }), ShareError);
}

TEST_F(MemoryStreamTest, ShortReadAtTheEndIsConnectionClosed) {
    runAsync(pair.a->executor(),
             [&]() -> asio::awaitable<void> { co_await pair.a->write(unhex("0102")); });
    pair.a->close();
    try {
        runAsync(pair.b->executor(), [&] { return pair.b->readExactly(4); });
        FAIL() << "short read succeeded";
    } catch (const ShareError& e) {
        EXPECT_EQ(e, ShareError::connectionClosed());
    }
}

TEST_F(MemoryStreamTest, CloseFailsAPendingReadOfTheSameEnd) {
    auto future = asio::co_spawn(pair.a->executor(), pair.a->readExactly(1), asio::use_future);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::thread([&] { pair.a->close(); }).join();
    EXPECT_THROW(future.get(), ShareError);
    EXPECT_EQ(pair.a->closeCalls(), 1u);
}

TEST_F(MemoryStreamTest, InjectedWriteFailureWritesNothing) {
    pair.a->failWrite(1, std::make_exception_ptr(std::runtime_error("boom")));
    runAsync(pair.a->executor(), [&]() -> asio::awaitable<void> {
        co_await pair.a->write(unhex("01"));
        EXPECT_THROW(co_await pair.a->write(unhex("02")), std::runtime_error);
        co_await pair.a->write(unhex("03"));
    });
    EXPECT_EQ(hex(runAsync(pair.b->executor(), [&] { return pair.b->readExactly(2); })), "0103");
    EXPECT_EQ(pair.a->writeCalls(), 3u);
}

TEST_F(MemoryStreamTest, InjectedReadFailureAfterABudget) {
    pair.b->failReadsAfter(2, std::make_exception_ptr(std::runtime_error("reset")));
    runAsync(pair.a->executor(),
             [&]() -> asio::awaitable<void> { co_await pair.a->write(unhex("01020304")); });
    EXPECT_EQ(hex(runAsync(pair.b->executor(), [&] { return pair.b->readExactly(2); })), "0102");
    EXPECT_THROW(runAsync(pair.b->executor(), [&] { return pair.b->readExactly(1); }),
                 std::runtime_error);
}

TEST_F(MemoryStreamTest, AFullPipeStallsTheWriterUntilThePeerReads) {
    auto small = MemoryStreamPair::create(runtime.executor(), 4);
    const Bytes data = unhex("0102030405060708");
    auto future = asio::co_spawn(small.a->executor(), small.a->write(data), asio::use_future);
    EXPECT_EQ(future.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    EXPECT_EQ(hex(runAsync(small.b->executor(), [&] { return small.b->readExactly(8); })),
              "0102030405060708");
    future.get();
}

TEST_F(MemoryStreamTest, AStalledWriteFailsWhenClosed) {
    auto small = MemoryStreamPair::create(runtime.executor(), 2);
    const Bytes data = unhex("010203");
    auto future = asio::co_spawn(small.a->executor(), small.a->write(data), asio::use_future);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    small.a->close();
    EXPECT_THROW(future.get(), ShareError);
}

TEST_F(MemoryStreamTest, ScriptedPeerSendsAndExpectsExactFrames) {
    ScriptedPeer peer(pair.b);
    peer.sendFrame(unhex("aa")).expectFrame(unhex("bbcc")).expectEnd();
    auto played = asio::co_spawn(pair.b->executor(), peer.play(), asio::use_future);
    runAsync(pair.a->executor(), [&]() -> asio::awaitable<void> {
        Bytes frame = co_await pair.a->readExactly(5);
        EXPECT_EQ(hex(frame), "00000001aa");
        co_await pair.a->write(lengthPrefixed(unhex("bbcc")));
        pair.a->close();
    });
    EXPECT_TRUE(played.get());
}

}  // namespace
}  // namespace velmo::test
