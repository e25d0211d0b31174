#include "transfer/UploadHeaders.h"

#include <gtest/gtest.h>

#include "transfer/HttpText.h"

namespace velmo {
namespace {

TEST(UploadHeaders, ContentLength) {
    struct Case {
        std::string value;
        std::optional<std::int64_t> expected;
    };
    for (const auto& c : std::vector<Case>{{"0", 0},
                                           {"12", 12},
                                           {"007", 7},
                                           {"9223372036854775807", INT64_MAX},
                                           {"9223372036854775808", std::nullopt},
                                           {"-1", std::nullopt},
                                           {"12a", std::nullopt},
                                           {"", std::nullopt},
                                           {"+", std::nullopt},
                                           {"+12", std::nullopt},
                                           {"-0", std::nullopt},
                                           {"1 2", std::nullopt},
                                           {"0x10", std::nullopt},
                                           {"99999999999999999999999", std::nullopt}}) {
        EXPECT_EQ(UploadHeaders::contentLength(c.value), c.expected) << c.value;
    }
    EXPECT_EQ(HttpText::parseInt64("-9223372036854775808"), INT64_MIN);
}

TEST(UploadHeaders, FileName) {
    struct Case {
        std::string value;
        std::optional<std::string> expected;
    };
    for (const auto& c : std::vector<Case>{{"%E2%82%AC.txt", "\xE2\x82\xAC.txt"},
                                           {"a+b%20c.txt", "a+b c.txt"},
                                           {"..%2Fx", "../x"},
                                           {"%00", std::string(1, '\0')},
                                           {"%ZZ", std::nullopt},
                                           {"a%2", std::nullopt},
                                           {"%", std::nullopt},
                                           {"%FF.txt", std::nullopt},
                                           {"%C3", std::nullopt},
                                           {"%ED%A0%80", std::nullopt},
                                           {"", ""}}) {
        EXPECT_EQ(UploadHeaders::fileName(c.value), c.expected) << c.value;
    }
}

TEST(UploadHeaders, DeviceName) {
    struct Case {
        std::string userAgent;
        std::string expected;
    };
    const std::string chrome = "Mozilla/5.0 (Linux; Android 13; XY-1000 Build/ABC.123) AppleWebKit/537.36";
    for (const auto& c : std::vector<Case>{
             {chrome, "XY-1000"},
             {"Mozilla/5.0 (Linux; Android 10; K) AppleWebKit/537.36", "Android phone"},
             {"Mozilla/5.0 (Linux; Android 14; Pixel 8 Pro) Chrome", "Pixel 8 Pro"},
             {"Mozilla/5.0 (Linux; U; Android 4.4.2; en-us; GT-I9505 Build/KOT49H)", "en-us"},
             {"Mozilla/5.0 (iPhone; CPU iPhone OS 17_0 like Mac OS X)", "Android phone"},
             {"Android x; Android 12.1; SM-G990B; wv)", "SM-G990B"},
             {"Android 13;  \t Build/X)", "Build/X"},
             {"Android 13; Build/X)", "Build/X"},
             {"Android 13; A Build/X)", "A"},
             {"Android 13;", "Android phone"},
             {"android 13; lower)", "Android phone"},
             // Cleaned as a phone's name: an override would reverse the rest of the row.
             {"Android 13; Evil\u202Egnp.exe)", "Evilgnp.exe"},
             {"Android 13; \u2028\u200b)", "Android phone"},
             {"", "Android phone"}}) {
        EXPECT_EQ(UploadHeaders::deviceName(c.userAgent), c.expected) << c.userAgent;
    }
}

TEST(HttpText, ConstantTimeEqual) {
    EXPECT_TRUE(HttpText::constantTimeEqual("abc", "abc"));
    EXPECT_FALSE(HttpText::constantTimeEqual("abc", "abd"));
    EXPECT_FALSE(HttpText::constantTimeEqual("abc", "abcd"));
    EXPECT_TRUE(HttpText::constantTimeEqual("", ""));
}

}  // namespace
}  // namespace velmo
