#include <gtest/gtest.h>

#include "platform/AesGcm.h"
#include "platform/Hkdf.h"
#include "platform/Random.h"
#include "quickshare/QRCodeSession.h"
#include "support/KnownAnswers.h"

namespace velmo {
namespace {

using DeviceType = EndpointInfo::DeviceType;
using test::hexField;

const nlohmann::json& qr() { return test::knownAnswers("qr"); }

QRCodeSession knownSession() { return QRCodeSession(P256PrivateKey::fromScalar(hexField(qr(), "private_key"))); }

EndpointInfo phoneWith(std::optional<Bytes> record, std::optional<std::string> name = std::nullopt) {
    return EndpointInfo{DeviceType::phone, std::move(name), std::move(record)};
}

Bytes sealed(const QRCodeSession& session, const std::string& name, const Bytes& associatedData) {
    const Bytes nameKey = hkdfSha256(session.keyData(), {}, toBytes("encryptionKey"), 16);
    const Bytes nonce(12, 0x5A);
    Bytes record = nonce;
    const Bytes box = aesGcmSeal(nameKey, nonce, toBytes(name), associatedData);
    record.insert(record.end(), box.begin(), box.end());
    return record;
}

TEST(QRCodeSession, ReproducesTheKnownSession) {
    const QRCodeSession session = knownSession();
    const Bytes publicKey = hexField(qr(), "public_key");
    EXPECT_EQ(session.signingKey().publicKey().raw(), Bytes(publicKey.begin() + 1, publicKey.end()));
    EXPECT_EQ(session.keyData(), hexField(qr(), "key_data"));
    EXPECT_EQ(session.url(), qr().at("url").get<std::string>());
    EXPECT_EQ(session.advertisingToken(), hexField(qr(), "advertising_token"));
    EXPECT_EQ(hkdfSha256(session.keyData(), {}, toBytes("encryptionKey"), 16), hexField(qr(), "name_key"));
}

TEST(QRCodeSession, MatchesTheKnownPhoneRecords) {
    const QRCodeSession session = knownSession();
    const auto& records = qr().at("records");
    ASSERT_EQ(records.size(), 4u);
    for (const auto& e : records) {
        const auto info = EndpointInfo::parse(hexField(e, "endpoint_info"));
        ASSERT_TRUE(info) << e.at("case");
        EXPECT_EQ(info->qrRecord, hexField(e, "qr_record")) << e.at("case");
        const std::optional<std::string> expected =
            e.at("match").is_null() ? std::nullopt : std::optional(e.at("match").get<std::string>());
        EXPECT_EQ(session.match(*info), expected) << e.at("case");
    }
}

TEST(QRCodeSession, KeyDataAndUrlHaveTheirFixedShape) {
    for (int i = 0; i < 10; ++i) {
        const QRCodeSession session(P256PrivateKey::generate());
        const Bytes& data = session.keyData();
        ASSERT_EQ(data.size(), 35u);
        EXPECT_EQ(data[0], 0);
        EXPECT_EQ(data[1], 0);
        EXPECT_TRUE(data[2] == 2 || data[2] == 3);
        const std::string url = session.url();
        const std::string prefix = "https://quickshare.google/qrcode#key=";
        ASSERT_EQ(url.rfind(prefix, 0), 0u);
        const std::string key = url.substr(prefix.size());
        EXPECT_EQ(key.size(), 47u);
        EXPECT_EQ(key.find_first_of("+/=?"), std::string::npos) << key;
        EXPECT_EQ(url.find('?'), std::string::npos);
    }
}

TEST(QRCodeSession, SameKeySameSessionOtherKeyOtherSession) {
    const auto key = P256PrivateKey::generate();
    const QRCodeSession a(key);
    const QRCodeSession b(key);
    const QRCodeSession c(P256PrivateKey::generate());
    EXPECT_EQ(a.keyData(), b.keyData());
    EXPECT_EQ(a.advertisingToken(), b.advertisingToken());
    EXPECT_NE(a.keyData(), c.keyData());
    EXPECT_NE(a.advertisingToken(), c.advertisingToken());
    // The name keys differ too: a name sealed for one session opens only there.
    const auto record = sealed(a, "Pixel", a.advertisingToken());
    EXPECT_EQ(b.match(phoneWith(record)), "Pixel");
    EXPECT_EQ(c.match(phoneWith(record)), std::nullopt);
}

TEST(QRCodeSession, TheAdvertisingTokenMatchesUnderTheAdvertisedName) {
    const QRCodeSession session(P256PrivateKey::generate());
    EXPECT_EQ(session.match(phoneWith(session.advertisingToken())), "Android phone");
    EXPECT_EQ(session.match(phoneWith(session.advertisingToken(), "Pixel 8")), "Pixel 8");
    EXPECT_EQ(session.match(phoneWith(session.advertisingToken(), "")), "");
}

TEST(QRCodeSession, SealedNamesMatchOnlyWithTheTokenAsAssociatedData) {
    const QRCodeSession session(P256PrivateKey::generate());
    const Bytes good = sealed(session, "P", session.advertisingToken());
    ASSERT_EQ(good.size(), 29u);
    EXPECT_EQ(session.match(phoneWith(good, "ignored")), "P");

    EXPECT_EQ(session.match(phoneWith(sealed(session, "", session.advertisingToken()))), std::nullopt);  // 28 bytes
    EXPECT_EQ(session.match(phoneWith(sealed(session, "Pixel", {}))), std::nullopt);
    EXPECT_EQ(session.match(phoneWith(sealed(session, "Pixel", toBytes("other")))), std::nullopt);
    Bytes altered = sealed(session, "Pixel", session.advertisingToken());
    altered.back() ^= 1;
    EXPECT_EQ(session.match(phoneWith(altered)), std::nullopt);
}

TEST(QRCodeSession, SealedNamesAreReadAsLossyUtf8) {
    const QRCodeSession session(P256PrivateKey::generate());
    const std::string invalid = "Ph\xFFone";
    EXPECT_EQ(session.match(phoneWith(sealed(session, invalid, session.advertisingToken()))), "Ph\xEF\xBF\xBDone");
}

TEST(QRCodeSession, RecordsWithoutAQrEntryNeverMatch) {
    const QRCodeSession session(P256PrivateKey::generate());
    EXPECT_EQ(session.match(phoneWith(std::nullopt, "Pixel")), std::nullopt);
    EXPECT_EQ(session.match(phoneWith(Bytes{})), std::nullopt);
    EXPECT_EQ(session.match(phoneWith(Bytes(200, 0))), std::nullopt);
    for (std::size_t n = 0; n < 80; ++n) EXPECT_EQ(session.match(phoneWith(randomBytes(n))), std::nullopt) << n;
    Bytes nearToken = session.advertisingToken();
    nearToken[0] ^= 1;
    EXPECT_EQ(session.match(phoneWith(nearToken)), std::nullopt);
}

}  // namespace
}  // namespace velmo
