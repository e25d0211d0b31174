#include "quickshare/QuickShareReceiveAuthorization.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "quickshare/QuickShareOffer.h"

namespace velmo {
namespace {

TEST(QuickShareReceiveAuthorization, RunsWorkWhileActiveAndRefusesAfterRevoke) {
    QuickShareReceiveAuthorization authorization;
    EXPECT_TRUE(authorization.isActive());
    EXPECT_EQ(authorization.guarded([] { return 7; }), 7);

    authorization.revoke();
    EXPECT_FALSE(authorization.isActive());
    bool ran = false;
    EXPECT_THROW(authorization.guarded([&] { ran = true; }), Cancelled);
    EXPECT_FALSE(ran);
    authorization.revoke();  // revoking again changes nothing
    EXPECT_FALSE(authorization.isActive());
}

TEST(QuickShareReceiveAuthorization, WorkErrorsPassThroughAndReleaseTheLock) {
    QuickShareReceiveAuthorization authorization;
    EXPECT_THROW(authorization.guarded([]() -> int { throw std::runtime_error("disk"); }),
                 std::runtime_error);
    EXPECT_EQ(authorization.guarded([] { return 1; }), 1);
}

TEST(QuickShareReceiveAuthorization, RevokeWaitsForTheWriteInProgress) {
    QuickShareReceiveAuthorization authorization;
    std::atomic<bool> inside{false};
    std::atomic<bool> finished{false};
    std::thread writer([&] {
        authorization.guarded([&] {
            inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            finished = true;
        });
    });
    while (!inside) std::this_thread::yield();
    authorization.revoke();
    EXPECT_TRUE(finished);  // revoke() returned only after the write ended
    writer.join();
    EXPECT_THROW(authorization.guarded([] {}), Cancelled);
}

TEST(QuickShareOffer, TotalSizeSumsTheFilesAndComparesByValue) {
    QuickShareOffer offer{"Pixel", "1234", {{"a.jpg", 10}, {"b.txt", 20}}};
    EXPECT_EQ(offer.totalSize(), 30);
    EXPECT_EQ(QuickShareOffer{}.totalSize(), 0);
    EXPECT_EQ(offer, (QuickShareOffer{"Pixel", "1234", {{"a.jpg", 10}, {"b.txt", 20}}}));
    EXPECT_NE(offer, (QuickShareOffer{"Pixel", "1234", {{"b.txt", 20}, {"a.jpg", 10}}}));
    EXPECT_NE(offer, (QuickShareOffer{"Pixel", "4321", {{"a.jpg", 10}, {"b.txt", 20}}}));

    // Never wraps around, even for sizes the receiver would have refused.
    const auto max = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ((QuickShareOffer{"", "", {{"a", max}, {"b", 1}}}.totalSize()), max);
    EXPECT_EQ((QuickShareOffer{"", "", {{"a", max}, {"b", 0}}}.totalSize()), max);
}

}  // namespace
}  // namespace velmo
