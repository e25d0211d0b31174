#include "platform/Uuid.h"

#include <gtest/gtest.h>

#include <set>

namespace velmo {
namespace {

TEST(Uuid, CanonicalUpperCaseVersion4) {
    const auto text = Uuid::random().toString();
    ASSERT_EQ(text.size(), 36u);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(text[i], '-');
        } else {
            EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(text[i])) || (text[i] >= 'A' && text[i] <= 'F'))
                << text;
        }
    }
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos);
}

TEST(Uuid, Distinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) seen.insert(Uuid::random().toString());
    EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace velmo
