#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "platform/Random.h"
#include "platform/SystemRandom.h"
#include "quickshare/EndpointInfo.h"
#include "quickshare/QuickShareError.h"
#include "support/KnownAnswers.h"
#include "support/NistVectors.h"
#include "transfer/PeerText.h"

namespace velmo {
namespace {

// A shown phone name holds whatever a record can carry.
static_assert(peerNameLimit == EndpointInfo::maxNameBytes);

using DeviceType = EndpointInfo::DeviceType;
using test::hexField;
using test::vectors::fromHex;

// A record from its first byte, 16 fixed random bytes and the rest.
Bytes record(std::uint8_t first, const Bytes& rest = {}) {
    Bytes out(17 + rest.size(), 0xAB);
    out[0] = first;
    std::copy(rest.begin(), rest.end(), out.begin() + 17);
    return out;
}

// Our encoding with its random bytes replaced, so it can be compared byte for byte.
Bytes encodedWithRandom(const EndpointInfo& info, const Bytes& random) {
    Bytes out = info.encoded();
    std::copy(random.begin(), random.end(), out.begin() + 1);
    return out;
}

EndpointInfo fromKnownAnswer(const nlohmann::json& e) {
    EndpointInfo info;
    info.deviceType = *EndpointInfo::deviceTypeFromRaw(e.at("device_type").get<std::uint8_t>());
    if (!e.at("name").is_null()) info.name = e.at("name").get<std::string>();
    if (!e.at("qr_record").is_null()) info.qrRecord = hexField(e, "qr_record");
    return info;
}

TEST(EndpointInfo, EncodesAndParsesTheKnownRecords) {
    const auto& records = test::knownAnswers("endpoint_info").at("records");
    ASSERT_EQ(records.size(), 5u);
    for (const auto& e : records) {
        const EndpointInfo info = fromKnownAnswer(e);
        const Bytes expected = hexField(e, "encoded");
        EXPECT_EQ(encodedWithRandom(info, hexField(e, "random_bytes")), expected) << e.at("case");
        const auto parsed = EndpointInfo::parse(expected);
        ASSERT_TRUE(parsed.has_value()) << e.at("case");
        if (info.name && info.name->size() > 255) {
            EXPECT_EQ(parsed->name, info.name->substr(0, 255));
        } else {
            EXPECT_EQ(*parsed, info) << e.at("case");
        }
    }
}

TEST(EndpointInfo, EveryEncodingDrawsNewRandomBytesOnly) {
    const EndpointInfo info{DeviceType::laptop, "Desk", std::nullopt};
    const Bytes a = info.encoded();
    const Bytes b = info.encoded();
    ASSERT_EQ(a.size(), b.size());
    EXPECT_NE(Bytes(a.begin() + 1, a.begin() + 17), Bytes(b.begin() + 1, b.begin() + 17));
    EXPECT_EQ(a[0], b[0]);
    EXPECT_EQ(Bytes(a.begin() + 17, a.end()), Bytes(b.begin() + 17, b.end()));
}

TEST(EndpointInfo, HeaderByteCarriesNamePresenceAndDeviceType) {
    const Bytes unnamed = EndpointInfo{DeviceType::laptop}.encoded();
    ASSERT_EQ(unnamed.size(), 17u);
    EXPECT_EQ(unnamed[0], 0x36);
    EXPECT_EQ((EndpointInfo{DeviceType::phone, ""}.encoded()[0]), 0x22);
    EXPECT_EQ((EndpointInfo{DeviceType::xr, "x"}.encoded()[0]), 0x2C);
}

TEST(EndpointInfo, LongAsciiNamesAreCutAt255Bytes) {
    const EndpointInfo info{DeviceType::laptop, std::string(300, 'a')};
    const Bytes encoded = info.encoded();
    ASSERT_EQ(encoded.size(), 17u + 1 + 255);
    EXPECT_EQ(encoded[0], 0x26);
    EXPECT_EQ(encoded[17], 0xFF);
    EXPECT_EQ(Bytes(encoded.begin() + 18, encoded.end()), Bytes(255, 'a'));
}

TEST(EndpointInfo, LongNamesAreCutOnACharacterBoundary) {
    // 254 ASCII bytes and then a 2-byte "é": the 255th byte would be its first half.
    const std::string name = std::string(254, 'a') + "\xC3\xA9" + "tail";
    const Bytes encoded = EndpointInfo{DeviceType::laptop, name}.encoded();
    EXPECT_EQ(encoded[17], 254);
    const auto parsed = EndpointInfo::parse(encoded);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->name, std::string(254, 'a'));

    // 4-byte characters: 63 of them fit (252 bytes), the 64th would straddle 255.
    std::string emoji;
    for (int i = 0; i < 100; ++i) emoji += "\xF0\x9F\x98\x80";
    const auto parsedEmoji = EndpointInfo::parse(EndpointInfo{DeviceType::phone, emoji}.encoded());
    ASSERT_TRUE(parsedEmoji);
    EXPECT_EQ(parsedEmoji->name, emoji.substr(0, 252));
}

TEST(EndpointInfo, NamesCutInsideACharacterParseWithAReplacementCharacter) {
    Bytes rest{0x03, 'a', 'b', 0xC3};
    const auto parsed = EndpointInfo::parse(record(0x26, rest));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->name, "ab\xEF\xBF\xBD");
    EXPECT_EQ(EndpointInfo::parse(record(0x26, {0x02, 0xFF, 'x'}))->name, "\xEF\xBF\xBDx");
}

TEST(EndpointInfo, QrRecordsLongerThanTheLengthByteAreRefused) {
    EndpointInfo info{DeviceType::phone, std::nullopt, Bytes(255, 7)};
    const Bytes encoded = info.encoded();
    EXPECT_EQ(encoded.size(), 17u + 2 + 255);
    EXPECT_EQ(EndpointInfo::parse(encoded)->qrRecord, Bytes(255, 7));

    info.qrRecord = Bytes(256, 7);
    try {
        info.encoded();
        FAIL();
    } catch (const QuickShareError& e) {
        EXPECT_EQ(e.kind(), QuickShareError::Kind::protocolError);
    }
}

TEST(EndpointInfo, ParsingFollowsTheRecordLayout) {
    struct Case {
        const char* what;
        Bytes bytes;
        std::optional<EndpointInfo> expected;
    };
    const std::vector<Case> cases = {
        {"16 bytes", Bytes(16, 0x36), std::nullopt},
        {"17 bytes, no name", record(0x36), EndpointInfo{DeviceType::laptop}},
        {"17 bytes, name announced", record(0x26), std::nullopt},
        {"name runs past the end", record(0x26, {10, 'a', 'b', 'c', 'd', 'e'}), std::nullopt},
        {"empty name", record(0x22, {0x00}), EndpointInfo{DeviceType::phone, ""}},
        {"device type 7 is unknown", record(0x3E), EndpointInfo{DeviceType::unknown}},
        {"bits 7 to 5 and bit 0 are ignored", record(0xF7), EndpointInfo{DeviceType::laptop}},
        {"QR entry after other entries", record(0x32, fromHex("0201aa0102bbcc")),
         EndpointInfo{DeviceType::phone, std::nullopt, fromHex("bbcc")}},
        {"cut-short entry ignored", record(0x22, fromHex("01410105aabbcc")), EndpointInfo{DeviceType::phone, "A"}},
        {"earlier finds kept before a cut-short entry", record(0x32, fromHex("0101aa0105aa")),
         EndpointInfo{DeviceType::phone, std::nullopt, fromHex("aa")}},
        {"later QR entry wins", record(0x32, fromHex("0101aa0102bbcc")),
         EndpointInfo{DeviceType::phone, std::nullopt, fromHex("bbcc")}},
        {"one leftover byte", record(0x32, fromHex("0101aa01")), EndpointInfo{DeviceType::phone, std::nullopt, fromHex("aa")}},
        {"empty QR entry", record(0x32, fromHex("0100")), EndpointInfo{DeviceType::phone, std::nullopt, Bytes{}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EndpointInfo::parse(c.bytes), c.expected) << c.what;
    }
}

TEST(EndpointInfo, ArbitraryBytesNeverBreakTheParser) {
    for (int i = 0; i < 3000; ++i) {
        const Bytes bytes = randomBytes(systemRandomBelow(300));
        const auto parsed = EndpointInfo::parse(bytes);
        if (bytes.size() < 17) {
            EXPECT_FALSE(parsed);
        }
        if (parsed && parsed->qrRecord) {
            EXPECT_LE(parsed->qrRecord->size(), 255u);
        }
    }
}

TEST(EndpointInfo, EqualityTellsAbsentFromEmpty) {
    EXPECT_EQ((EndpointInfo{DeviceType::phone, "a"}), (EndpointInfo{DeviceType::phone, "a"}));
    EXPECT_NE((EndpointInfo{DeviceType::phone, ""}), (EndpointInfo{DeviceType::phone}));
    EXPECT_NE((EndpointInfo{DeviceType::phone, std::nullopt, Bytes{}}), (EndpointInfo{DeviceType::phone}));
    EXPECT_NE((EndpointInfo{DeviceType::phone}), (EndpointInfo{DeviceType::tablet}));
}

TEST(EndpointInfo, DeviceTypesFromRawValues) {
    for (std::uint8_t raw = 0; raw <= 6; ++raw) {
        EXPECT_EQ(static_cast<std::uint8_t>(*EndpointInfo::deviceTypeFromRaw(raw)), raw);
    }
    EXPECT_FALSE(EndpointInfo::deviceTypeFromRaw(7));
    EXPECT_FALSE(EndpointInfo::deviceTypeFromRaw(255));
}

TEST(EndpointInfo, EndpointIdsAreFourCharactersOfTheAlphabet) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::set<char> seen;
    for (int i = 0; i < 500; ++i) {
        const std::string id = EndpointInfo::makeEndpointID();
        ASSERT_EQ(id.size(), 4u);
        for (char c : id) {
            EXPECT_NE(alphabet.find(c), std::string::npos) << id;
            seen.insert(c);
        }
    }
    EXPECT_EQ(seen.size(), alphabet.size());
}

}  // namespace
}  // namespace velmo
