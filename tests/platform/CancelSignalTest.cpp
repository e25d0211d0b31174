#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/CancelSignal.h"
#include "platform/Error.h"

namespace velmo {
namespace {

TEST(CancelSignal, ThrowsCancelledOnlyOnceSet) {
    CancelSignal signal;
    EXPECT_FALSE(signal.isCancelled());
    EXPECT_NO_THROW(signal.throwIfCancelled());
    signal.cancel();
    EXPECT_TRUE(signal.isCancelled());
    EXPECT_THROW(signal.throwIfCancelled(), Cancelled);
}

TEST(CancelSignal, CopiesShareOneSignal) {
    CancelSignal signal;
    CancelSignal copy = signal;
    copy.cancel();
    EXPECT_TRUE(signal.isCancelled());
}

TEST(CancelSignal, CallbacksRunOnceOnTheFirstCancel) {
    CancelSignal signal;
    int calls = 0;
    auto registration = signal.onCancel([&] { ++calls; });
    signal.cancel();
    signal.cancel();
    EXPECT_EQ(calls, 1);
}

TEST(CancelSignal, LateRegistrationRunsAtOnce) {
    CancelSignal signal;
    signal.cancel();
    bool ran = false;
    auto registration = signal.onCancel([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(CancelSignal, DroppedRegistrationIsNotCalled) {
    CancelSignal signal;
    bool ran = false;
    { auto registration = signal.onCancel([&] { ran = true; }); }
    signal.cancel();
    EXPECT_FALSE(ran);
}

TEST(CancelSignal, CancelFromAnotherThreadWakesAWaiter) {
    CancelSignal signal;
    std::atomic<bool> told{false};
    auto registration = signal.onCancel([&] { told = true; });
    std::thread canceller([signal]() mutable { signal.cancel(); });
    canceller.join();
    EXPECT_TRUE(told);
    EXPECT_THROW(signal.throwIfCancelled(), Cancelled);
}

TEST(CancelSignal, DroppingARegistrationWaitsForItsRunningCallback) {
    // A flow that stops listening must not be destroyed under a callback still running.
    for (int round = 0; round < 50; ++round) {
        CancelSignal signal;
        std::atomic<bool> inside{false};
        std::atomic<bool> finished{false};
        auto registration = std::make_unique<CancelSignal::Registration>(signal.onCancel([&] {
            inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            finished = true;
        }));
        std::thread canceller([signal]() mutable { signal.cancel(); });
        while (!inside) std::this_thread::yield();
        registration.reset();
        EXPECT_TRUE(finished);
        canceller.join();
    }
}

}  // namespace
}  // namespace velmo
