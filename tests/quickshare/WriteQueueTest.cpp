#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/Runtime.h"
#include "quickshare/WriteQueue.h"
#include "support/AsyncTest.h"
#include "support/MemoryStream.h"
#include "support/ScriptedPeer.h"
#include "transfer/ShareError.h"

namespace velmo {
namespace {

using namespace velmo::test;
using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;

class WriteQueueTest : public ::testing::Test {
protected:
    Runtime runtime{2};
    MemoryStreamPair pair = MemoryStreamPair::create(runtime.executor());

    // Runs three writers at once; returns each one's outcome ("ok" or the error text).
    std::vector<std::string> writeThree(WriteQueue& queue) {
        return runAsync(pair.a->executor(), [&]() -> asio::awaitable<std::vector<std::string>> {
            std::vector<std::string> outcomes(3);
            auto writer = [&](int i) -> asio::awaitable<void> {
                try {
                    co_await queue.write(Bytes(3, static_cast<std::uint8_t>(i + 1)));
                    outcomes[static_cast<std::size_t>(i)] = "ok";
                } catch (const std::exception& e) {
                    outcomes[static_cast<std::size_t>(i)] = e.what();
                }
            };
            co_await (writer(0) && writer(1) && writer(2));
            co_return outcomes;
        });
    }
};

TEST_F(WriteQueueTest, ConcurrentWritersGoOutWholeAndInOrder) {
    pair.a->setWriteDelay(2ms);  // so the later writers queue up behind the first
    auto queue = WriteQueue::create(pair.a, 0s);
    EXPECT_EQ(writeThree(*queue), (std::vector<std::string>{"ok", "ok", "ok"}));
    const auto writes = pair.a->writes();
    ASSERT_EQ(writes.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(writes[i], Bytes(3, static_cast<std::uint8_t>(i + 1)));
    EXPECT_FALSE(queue->draining());
    EXPECT_EQ(queue->queued(), 0u);
}

TEST_F(WriteQueueTest, AFailedWriteDoesNotStopTheQueue) {
    pair.a->failWrite(1, std::make_exception_ptr(std::runtime_error("broken pipe")));
    auto queue = WriteQueue::create(pair.a, 0s);
    EXPECT_EQ(writeThree(*queue), (std::vector<std::string>{"ok", "broken pipe", "ok"}));
    EXPECT_FALSE(queue->draining());
    EXPECT_EQ(hex(runAsync(pair.b->executor(), [&] { return pair.b->readExactly(6); })),
              "010101030303");
}

TEST_F(WriteQueueTest, OneDrainAtATime) {
    // A window smaller than the frame holds the write until the other end reads.
    auto stalled = MemoryStreamPair::create(runtime.executor(), 8);
    auto queue = WriteQueue::create(stalled.a, 0s);
    auto future = asio::co_spawn(stalled.a->executor(), queue->write(Bytes(64, 1)), asio::use_future);
    ASSERT_TRUE(eventually([&] { return stalled.a->writeCalls() == 1; }));
    auto drainingWhileBusy = runAsync(stalled.a->executor(), [&]() -> asio::awaitable<bool> {
        co_return queue->draining();
    });
    EXPECT_TRUE(drainingWhileBusy);
    runAsync(stalled.b->executor(), [&]() -> asio::awaitable<void> { co_await stalled.b->readExactly(64); });
    future.get();
    EXPECT_TRUE(eventually([&] {
        return !runAsync(stalled.a->executor(), [&]() -> asio::awaitable<bool> { co_return queue->draining(); });
    }));
}

TEST_F(WriteQueueTest, AWriteDeadlineClosesTheStream) {
    // The phone reads nothing and its window is full.
    auto stalled = MemoryStreamPair::create(runtime.executor(), 8);
    auto queue = WriteQueue::create(stalled.a, 30ms);
    auto outcome = runAsync(stalled.a->executor(), [&]() -> asio::awaitable<std::string> {
        try {
            co_await queue->write(Bytes(64, 7));
            co_return "ok";
        } catch (const ShareError& e) {
            co_return e == ShareError::connectionClosed() ? "closed" : e.what();
        }
    });
    EXPECT_EQ(outcome, "closed");
    EXPECT_TRUE(stalled.a->isClosed());
}

TEST_F(WriteQueueTest, AWriteInTimeIsLeftAlone) {
    auto queue = WriteQueue::create(pair.a, 200ms);
    runAsync(pair.a->executor(), [&]() -> asio::awaitable<void> {
        for (int i = 0; i < 5; ++i) co_await queue->write(Bytes(2, 1));
    });
    std::this_thread::sleep_for(250ms);
    EXPECT_FALSE(pair.a->isClosed());
}

}  // namespace
}  // namespace velmo
