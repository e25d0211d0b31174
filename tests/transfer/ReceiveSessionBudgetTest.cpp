#include "transfer/ReceiveSessionBudget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>

namespace velmo {
namespace {

constexpr std::int64_t GiB = 1024LL * 1024 * 1024;
constexpr std::int64_t maxInt = std::numeric_limits<std::int64_t>::max();

struct RefusedCase {
    const char* label;
    std::vector<std::int64_t> sizes;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.label; }

class BudgetRefuses : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(BudgetRefuses, AndStaysUntouched) {
    ReceiveSessionBudget budget;
    EXPECT_FALSE(budget.reserve(GetParam().sizes));
    EXPECT_EQ(budget.remainingBytes(), 20 * GiB);
    EXPECT_EQ(budget.remainingFiles(), 256);
}

INSTANTIATE_TEST_SUITE_P(
    ReceiveSessionBudget, BudgetRefuses,
    ::testing::Values(RefusedCase{"empty", {}},
                      RefusedCase{"overMaxFile", {10 * GiB + 1}},
                      RefusedCase{"negative", {5, -1}},
                      RefusedCase{"minimum", {std::numeric_limits<std::int64_t>::min()}},
                      RefusedCase{"oneOverCeiling", {1, 2, 11 * GiB}},
                      RefusedCase{"threeMaxFiles", {10 * GiB, 10 * GiB, 1}},
                      RefusedCase{"tooManyFiles", std::vector<std::int64_t>(257, 0)},
                      RefusedCase{"manyMaxFiles", std::vector<std::int64_t>(256, 10 * GiB)},
                      RefusedCase{"largestInt", {maxInt, 1}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ReceiveSessionBudget, MaxFileAllowedOnce) {
    ReceiveSessionBudget budget;
    EXPECT_TRUE(budget.reserve({ReceiveSessionBudget::maxFileBytes}));
    EXPECT_TRUE(budget.reserve({10 * GiB}));
    EXPECT_EQ(budget.remainingBytes(), 0);
    EXPECT_FALSE(budget.reserve({1}));
    EXPECT_TRUE(budget.reserve({0}));  // empty files still fit while files remain
    EXPECT_EQ(budget.remainingFiles(), 253);
}

TEST(ReceiveSessionBudget, FileAllowance) {
    ReceiveSessionBudget budget;
    for (int i = 0; i < 256; ++i) ASSERT_TRUE(budget.reserve({0})) << i;
    EXPECT_FALSE(budget.reserve({0}));
    EXPECT_EQ(budget.remainingBytes(), 20 * GiB);
}

TEST(ReceiveSessionBudget, WholeListAtOnce) {
    ReceiveSessionBudget budget;
    EXPECT_TRUE(budget.reserve(std::vector<std::int64_t>(256, 1)));
    EXPECT_EQ(budget.remainingFiles(), 0);
    EXPECT_EQ(budget.remainingBytes(), 20 * GiB - 256);
}

TEST(ReceiveSessionBudget, ConcurrentReservationsNeverOverspend) {
    ReceiveSessionBudget budget;
    std::atomic<int> granted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                if (budget.reserve({GiB / 2, 1})) granted.fetch_add(1);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(granted.load(), 39);  // 40 half-GiB files would need 40 extra bytes
    EXPECT_EQ(budget.remainingFiles(), 256 - 2 * 39);
    EXPECT_EQ(budget.remainingBytes(), 20 * GiB - 39 * (GiB / 2 + 1));
}

}  // namespace
}  // namespace velmo
