#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <future>
#include <thread>

#include "quickshare/HandshakeWatchdog.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;

// Runs `body`, then `check`, on a strand of an io_context served by two threads, so the
// timer's wake-up can be dispatched to the strand while `body` still holds it; `check` runs
// after any wake-up queued meanwhile.
template <class Body, class Check>
void onStrand(Body body, Check check) {
    asio::io_context context;
    auto guard = asio::make_work_guard(context);
    std::thread a([&] { context.run(); });
    std::thread b([&] { context.run(); });
    auto strand = asio::make_strand(context);
    std::promise<void> done;
    asio::post(strand, [&] {
        body(asio::any_io_executor(strand));
        asio::post(strand, [&] {
            check();
            done.set_value();
        });
    });
    done.get_future().get();
    guard.reset();
    context.stop();
    a.join();
    b.join();
}

TEST(HandshakeWatchdog, FiresOnceWhenTheHandshakeIsUnfinished) {
    asio::io_context context;
    auto strand = asio::make_strand(context);
    int calls = 0;
    HandshakeWatchdog watchdog(strand, 5ms, [&] { ++calls; });
    context.run_for(200ms);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(watchdog.fired());
    EXPECT_TRUE(watchdog.finish());
}

TEST(HandshakeWatchdog, FinishedInTimeNeverFires) {
    asio::io_context context;
    auto strand = asio::make_strand(context);
    int calls = 0;
    {
        HandshakeWatchdog watchdog(strand, 5ms, [&] { ++calls; });
        EXPECT_FALSE(watchdog.finish());
    }
    context.run_for(50ms);
    EXPECT_EQ(calls, 0);
}

TEST(HandshakeWatchdog, DestroyedWatchdogNeverFires) {
    asio::io_context context;
    auto strand = asio::make_strand(context);
    int calls = 0;
    { HandshakeWatchdog watchdog(strand, 1ms, [&] { ++calls; }); }
    context.run_for(50ms);
    EXPECT_EQ(calls, 0);
}

// The handshake finishes while the timer's wake-up is already queued on the strand:
// the connection must stay open.
TEST(HandshakeWatchdog, WakeUpQueuedBehindTheFinishedHandshakeDoesNothing) {
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> calls = 0;
        std::unique_ptr<HandshakeWatchdog> watchdog;
        onStrand(
            [&](asio::any_io_executor strand) {
                watchdog = std::make_unique<HandshakeWatchdog>(strand, 1ms, [&] { ++calls; });
                // Hold the strand past the deadline, as a last read completing late would.
                std::this_thread::sleep_for(15ms);
                EXPECT_FALSE(watchdog->finish());
            },
            [&] {
                EXPECT_EQ(calls.load(), 0);
                EXPECT_FALSE(watchdog->fired());
                watchdog.reset();
            });
    }
}

}  // namespace
}  // namespace velmo
