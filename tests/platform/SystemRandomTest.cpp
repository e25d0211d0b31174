#include <gtest/gtest.h>

#include <limits>
#include <set>

#include "platform/SystemRandom.h"

namespace velmo {
namespace {

TEST(SystemRandom, DrawsStayInTheirRange) {
    for (int i = 0; i < 2000; ++i) {
        EXPECT_LT(systemRandomBelow(36), 36u);
        const auto v = systemRandomInRange(1, (std::uint64_t{1} << 63) - 1);
        EXPECT_GE(v, 1u);
        EXPECT_LE(v, (std::uint64_t{1} << 63) - 1);
    }
    EXPECT_EQ(systemRandomBelow(1), 0u);
    EXPECT_EQ(systemRandomInRange(5, 5), 5u);
    systemRandomInRange(0, std::numeric_limits<std::uint64_t>::max());
}

TEST(SystemRandom, EverySmallValueComesUp) {
    std::set<std::uint64_t> seen;
    for (int i = 0; i < 2000 && seen.size() < 36; ++i) seen.insert(systemRandomBelow(36));
    EXPECT_EQ(seen.size(), 36u);
}

TEST(SystemRandom, RefusesEmptyRanges) {
    EXPECT_THROW(systemRandomBelow(0), std::invalid_argument);
    EXPECT_THROW(systemRandomInRange(2, 1), std::invalid_argument);
}

}  // namespace
}  // namespace velmo
