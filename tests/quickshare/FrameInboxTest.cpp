#include "quickshare/FrameInbox.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include "quickshare/FlowTesting.h"
#include "quickshare/QuickShareError.h"

namespace velmo {
namespace {

using namespace test;

// What a wait gave: the frame's marker, or the error's sentence.
struct Outcome {
    std::optional<float> marker;
    std::string error;
};

asio::awaitable<Outcome> waitFor(std::shared_ptr<FrameInbox> inbox,
                                 std::chrono::steady_clock::duration timeout) {
    try {
        auto frame = co_await inbox->next(timeout);
        co_return Outcome{markerOf(frame), {}};
    } catch (const std::exception& error) {
        co_return Outcome{std::nullopt, error.what()};
    }
}

const std::string timedOut = QuickShareError::timedOut().what();
const std::string disconnected = QuickShareError::disconnected().what();
const std::string overflow =
    QuickShareError::protocolError("too many queued negotiation messages").what();

// A frame source that yields `count` marked frames (1, 2, ...), then ends or throws.
struct ScriptedSource {
    int count = 0;
    std::exception_ptr endWith;
    std::shared_ptr<int> reads = std::make_shared<int>(0);

    FrameInbox::FrameSource source() {
        return [count = count, endWith = endWith, reads = reads]()
                   -> asio::awaitable<std::optional<FrameInbox::Frame>> {
            const int n = ++*reads;
            if (n <= count) co_return markedFrame(static_cast<float>(n));
            if (endWith) std::rethrow_exception(endWith);
            co_return std::nullopt;
        };
    }
};

TEST(FrameInbox, HandsOutBufferedFramesInArrivalOrderWithoutWaiting) {
    asio::io_context context;
    auto inbox = FrameInbox::create(context.get_executor());
    for (int i = 1; i <= 3; ++i) EXPECT_TRUE(inbox->push(markedFrame(static_cast<float>(i))));
    runAlone(context, [&]() -> asio::awaitable<void> {
        for (int i = 1; i <= 3; ++i) {
            auto outcome = co_await waitFor(inbox, 0ms);
            EXPECT_EQ(outcome.marker, static_cast<float>(i));
        }
    });
}

TEST(FrameInbox, NinthUnrequestedFrameEndsTheInboxAfterTheBufferedOnes) {
    asio::io_context context;
    auto inbox = FrameInbox::create(context.get_executor());
    ScriptedSource script{.count = 20, .endWith = nullptr};
    int rejected = 0;
    inbox->pump(script.source(), [&] { ++rejected; });
    runAlone(context, [&]() -> asio::awaitable<void> { co_return; });
    EXPECT_EQ(rejected, 1);
    EXPECT_EQ(*script.reads, 9);  // nothing read after the refused frame
    EXPECT_TRUE(inbox->finished());
    runAlone(context, [&]() -> asio::awaitable<void> {
        for (int i = 1; i <= 8; ++i) {
            auto outcome = co_await waitFor(inbox, 1h);
            EXPECT_EQ(outcome.marker, static_cast<float>(i));
        }
        auto last = co_await waitFor(inbox, 1h);
        EXPECT_EQ(last.error, overflow);
        EXPECT_FALSE(inbox->push(markedFrame(99)));
    });
}

TEST(FrameInbox, TimeOutLeavesTheInboxOpen) {
    asio::io_context context;
    auto inbox = FrameInbox::create(context.get_executor());
    runAlone(context, [&]() -> asio::awaitable<void> {
        auto first = co_await waitFor(inbox, 20ms);
        EXPECT_EQ(first.error, timedOut);
        EXPECT_TRUE(inbox->push(markedFrame(5)));
        EXPECT_EQ(inbox->buffered(), 1u);
        auto second = co_await waitFor(inbox, 20ms);
        EXPECT_EQ(second.marker, 5.0f);
    });
}

TEST(FrameInbox, FrameArrivingDuringAWaitGoesStraightToTheWaiter) {
    asio::io_context context;
    auto inbox = FrameInbox::create(context.get_executor());
    const bool idle = runAlone(context, [&]() -> asio::awaitable<void> {
        asio::co_spawn(context, [&]() -> asio::awaitable<void> {
            co_await sleepFor(10ms);
            EXPECT_TRUE(inbox->push(markedFrame(1)));
            EXPECT_EQ(inbox->buffered(), 0u);
        }, asio::detached);
        auto outcome = co_await waitFor(inbox, 1h);
        EXPECT_EQ(outcome.marker, 1.0f);
        // The hour-long limit of the first wait does not touch the next one.
        auto next = co_await waitFor(inbox, 20ms);
        EXPECT_EQ(next.error, timedOut);
    });
    EXPECT_TRUE(idle) << "a wait's timer outlived its wait";
}

TEST(FrameInbox, NormalEndWakesTheWaiterAndFollowsTheBufferedFrames) {
    {
        asio::io_context context;
        auto inbox = FrameInbox::create(context.get_executor());
        runAlone(context, [&]() -> asio::awaitable<void> {
            asio::co_spawn(context, [&]() -> asio::awaitable<void> {
                co_await sleepFor(10ms);
                inbox->fail(nullptr);
            }, asio::detached);
            EXPECT_EQ((co_await waitFor(inbox, 1h)).error, disconnected);
            EXPECT_EQ((co_await waitFor(inbox, 1h)).error, disconnected);
        });
    }
    {
        asio::io_context context;
        auto inbox = FrameInbox::create(context.get_executor());
        ScriptedSource script{.count = 2, .endWith = nullptr};
        inbox->pump(script.source(), [] {});
        runAlone(context, [&]() -> asio::awaitable<void> {
            EXPECT_EQ((co_await waitFor(inbox, 1h)).marker, 1.0f);
            EXPECT_EQ((co_await waitFor(inbox, 1h)).marker, 2.0f);
            EXPECT_EQ((co_await waitFor(inbox, 1h)).error, disconnected);
        });
    }
}

TEST(FrameInbox, StreamErrorReachesThePendingWaitAndEveryLaterOne) {
    asio::io_context context;
    auto inbox = FrameInbox::create(context.get_executor());
    ScriptedSource script{.count = 0,
                          .endWith = std::make_exception_ptr(QuickShareError::cancelledByPhone())};
    const std::string cancelled = QuickShareError::cancelledByPhone().what();
    runAlone(context, [&]() -> asio::awaitable<void> {
        asio::co_spawn(context, [&]() -> asio::awaitable<void> {
            co_await sleepFor(10ms);
            inbox->pump(script.source(), [] {});
        }, asio::detached);
        EXPECT_EQ((co_await waitFor(inbox, 1h)).error, cancelled);
        EXPECT_EQ((co_await waitFor(inbox, 1h)).error, cancelled);
    });
}

TEST(FrameInbox, SecondConcurrentWaitIsRefusedAndTheFirstStillAnswered) {
    asio::io_context context;
    auto inbox = FrameInbox::create(context.get_executor());
    runAlone(context, [&]() -> asio::awaitable<void> {
        std::optional<Outcome> first;
        asio::co_spawn(context, [&]() -> asio::awaitable<void> {
            first = co_await waitFor(inbox, 1h);
        }, asio::detached);
        co_await sleepFor(5ms);
        auto second = co_await waitFor(inbox, 1h);
        EXPECT_NE(second.error.find("Quick Share error: "), std::string::npos) << second.error;
        EXPECT_FALSE(first);
        inbox->push(markedFrame(3));
        co_await sleepFor(5ms);
        EXPECT_TRUE(first);
        if (first) {
            EXPECT_EQ(first->marker, 3.0f);
        }
    });
}

TEST(FrameInbox, FloodOfFramesLeavesNoSleepingTimers) {
    asio::io_context context;
    auto inbox = FrameInbox::create(context.get_executor());
    constexpr int frames = 20000;
    const bool idle = runAlone(context, [&]() -> asio::awaitable<void> {
        asio::co_spawn(context, [&]() -> asio::awaitable<void> {
            for (int i = 1; i <= frames; ++i) {
                inbox->push(markedFrame(static_cast<float>(i)));
                co_await asio::post(context, asio::use_awaitable);
            }
        }, asio::detached);
        for (int i = 1; i <= frames; ++i) {
            auto outcome = co_await waitFor(inbox, 1h);
            if (outcome.marker != static_cast<float>(i)) {
                ADD_FAILURE() << "frame " << i << ": " << outcome.error;
                co_return;
            }
        }
    }, 60s);
    EXPECT_TRUE(idle) << "hour-long timers were left sleeping";
}

TEST(FrameInbox, HugeLimitsAreClampedInsteadOfOverflowing) {
    asio::io_context context;
    auto inbox = FrameInbox::create(context.get_executor());
    runAlone(context, [&]() -> asio::awaitable<void> {
        asio::co_spawn(context, [&]() -> asio::awaitable<void> {
            co_await sleepFor(5ms);
            inbox->push(markedFrame(1));
        }, asio::detached);
        auto outcome = co_await waitFor(inbox, std::chrono::steady_clock::duration::max());
        EXPECT_EQ(outcome.marker, 1.0f);
        EXPECT_EQ((co_await waitFor(inbox, std::chrono::steady_clock::duration::min())).error, timedOut);
    });
}

}  // namespace
}  // namespace velmo
