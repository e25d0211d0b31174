#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <set>

#include "platform/RandomSource.h"

namespace velmo {
namespace {

// Hands out fixed 64-bit words, to check how uniform() maps draws.
class FixedWords : public RandomSource {
public:
    explicit FixedWords(std::vector<std::uint64_t> words) : words_(std::move(words)) {}
    void fill(std::span<std::uint8_t> out) override {
        ASSERT_EQ(out.size(), sizeof(std::uint64_t));
        ASSERT_LT(next_, words_.size());
        std::memcpy(out.data(), &words_[next_++], sizeof(std::uint64_t));
    }
    std::size_t used() const { return next_; }

private:
    std::vector<std::uint64_t> words_;
    std::size_t next_ = 0;
};

constexpr auto maxWord = std::numeric_limits<std::uint64_t>::max();
constexpr auto maxInt = std::numeric_limits<std::int64_t>::max();

TEST(RandomSource, UniformMapsDrawsIntoTheRange) {
    struct Case {
        std::int64_t low, high;
        std::vector<std::uint64_t> words;
        std::int64_t expected;
        std::size_t draws;
    } cases[] = {
        {0, 9, {7}, 7, 1},
        {0, 9, {17}, 7, 1},
        {1, maxInt, {0}, 1, 1},
        {1, maxInt, {static_cast<std::uint64_t>(maxInt) - 2}, maxInt - 1, 1},
        // A draw in the uneven top of the word range is thrown away.
        {0, 9, {maxWord, 3}, 3, 2},
        {std::numeric_limits<std::int64_t>::min(), maxInt, {0}, std::numeric_limits<std::int64_t>::min(), 1},
        {-5, -5, {123}, -5, 1},
    };
    for (const auto& c : cases) {
        FixedWords source(c.words);
        EXPECT_EQ(source.uniform(c.low, c.high), c.expected) << c.low << ".." << c.high;
        EXPECT_EQ(source.used(), c.draws);
    }
}

TEST(RandomSource, RefusesAnEmptyRange) {
    FixedWords source({});
    EXPECT_THROW(source.uniform(2, 1), std::invalid_argument);
}

TEST(RandomSource, SystemSourceStaysInRangeAndVaries) {
    auto source = RandomSource::system();
    std::set<std::int64_t> seen;
    for (int i = 0; i < 200; ++i) {
        const auto value = source->uniform(1, maxInt);
        ASSERT_GE(value, 1);
        seen.insert(value);
    }
    EXPECT_GT(seen.size(), 190u);
    EXPECT_NE(source->bytes(16), source->bytes(16));
}

}  // namespace
}  // namespace velmo
