#include <gtest/gtest.h>

#include "quickshare/Base64Url.h"
#include "support/KnownAnswers.h"

namespace velmo {
namespace {

TEST(Base64Url, EncodesTheAdvertisedServiceKnownAnswers) {
    const auto& service = test::knownAnswers("endpoint_info").at("advertised_service");
    EXPECT_EQ(base64UrlEncode(test::hexField(service, "service_name_bytes")), service.at("service_name"));
    EXPECT_EQ(base64UrlEncode(test::hexField(service, "endpoint_info")), service.at("txt_value"));
    EXPECT_EQ(base64UrlDecode(service.at("txt_value").get<std::string>()), test::hexField(service, "endpoint_info"));
}

TEST(Base64Url, UsesTheUrlAlphabetWithoutPadding) {
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {{}, ""},
        {{0xfb}, "-w"},
        {{0xfb, 0xff}, "-_8"},
        {{0xfb, 0xff, 0xbf}, "-_-_"},
        {toBytes("Velmo"), "VmVsbW8"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(base64UrlEncode(bytes), text);
        EXPECT_EQ(base64UrlDecode(text), bytes) << text;
    }
}

TEST(Base64Url, DecodingAcceptsPaddingAndTheStandardAlphabet) {
    EXPECT_EQ(base64UrlDecode("-w=="), (Bytes{0xfb}));
    EXPECT_EQ(base64UrlDecode("+/8"), (Bytes{0xfb, 0xff}));
}

TEST(Base64Url, DecodingRefusesOtherCharactersAndImpossibleLengths) {
    for (const char* text : {"A", "ABCDE", "AB CD", "AB.C", "AB\nC", "ä"}) {
        EXPECT_FALSE(base64UrlDecode(text).has_value()) << text;
    }
}

}  // namespace
}  // namespace velmo
