#include <gtest/gtest.h>

#include "platform/CryptoError.h"
#include "proto/Codec.h"
#include "proto/securemessage.pb.h"
#include "quickshare/CryptoHelpers.h"
#include "quickshare/QuickShareError.h"
#include "support/KnownAnswers.h"
#include "support/NistVectors.h"

namespace velmo {
namespace {

using test::hexField;
using test::knownAnswers;
using test::vectors::fromHex;

TEST(PinCode, MatchesTheKnownAnswers) {
    const auto& entries = knownAnswers("pin");
    ASSERT_GE(entries.size(), 8u);
    for (const auto& e : entries) {
        EXPECT_EQ(pinCode(hexField(e, "auth_string")), e.at("pin").get<std::string>()) << e.at("auth_string");
    }
}

TEST(PinCode, HandlesNegativeRunningValuesAndEmptyInput) {
    EXPECT_EQ(pinCode(fromHex("01ff")), "0030");  // a floored remainder would give 9943
    EXPECT_EQ(pinCode({}), "0000");
    for (int i = 0; i < 200; ++i) {
        const std::string pin = pinCode(Bytes(32, static_cast<std::uint8_t>(i * 37)));
        ASSERT_EQ(pin.size(), 4u);
        EXPECT_LE(std::stoi(pin), 9972);
    }
}

TEST(WireCoordinate, AddsASignByteOnlyWhenTheTopBitIsSet) {
    Bytes low(32, 0x11);
    low[0] = 0x7f;
    EXPECT_EQ(wireCoordinate(low), low);
    Bytes high(32, 0x11);
    high[0] = 0x80;
    const Bytes wire = wireCoordinate(high);
    ASSERT_EQ(wire.size(), 33u);
    EXPECT_EQ(wire[0], 0x00);
    Bytes leadingZero(32, 0x11);
    leadingZero[0] = 0x00;
    EXPECT_EQ(wireCoordinate(leadingZero), leadingZero);  // leading zeros are kept
}

TEST(CoordinateFromWire, StripsLeadingZerosAndPadsToThirtyTwo) {
    const Bytes x = fromHex("dad0b65394221cf9b051e1feca5787d098dfe637fc90b9ef945d0c3772581180");
    Bytes padded{0x00, 0x00, 0x00};
    padded.insert(padded.end(), x.begin(), x.end());
    EXPECT_EQ(coordinateFromWire(padded), x);
    Bytes shortened = x;  // a 31-byte coordinate gains its zero back
    shortened[0] = 0x00;
    EXPECT_EQ(coordinateFromWire(ByteView(x).subspan(1)), shortened);
    EXPECT_EQ(coordinateFromWire({}), Bytes(32, 0));
    Bytes tooLong(33, 0x01);
    try {
        coordinateFromWire(tooLong);
        FAIL();
    } catch (const QuickShareError& e) {
        EXPECT_EQ(e, QuickShareError::protocolError("bad EC coordinate"));
        EXPECT_STREQ(e.what(), "Quick Share error: bad EC coordinate");
    }
}

TEST(GenericPublicKey, EncodesTheKnownKeysExactly) {
    for (const auto& e : knownAnswers("coordinates").at("encode")) {
        const auto key = P256PrivateKey::fromScalar(hexField(e, "private_key")).publicKey();
        Bytes raw = hexField(e, "x");
        const Bytes y = hexField(e, "y");
        raw.insert(raw.end(), y.begin(), y.end());
        ASSERT_EQ(key.raw(), raw) << e.at("case");
        EXPECT_EQ(wireCoordinate(hexField(e, "x")), hexField(e, "x_wire")) << e.at("case");
        EXPECT_EQ(wireCoordinate(y), hexField(e, "y_wire")) << e.at("case");
        const Bytes encoded = genericPublicKey(key);
        EXPECT_EQ(encoded, hexField(e, "generic_public_key")) << e.at("case");
        // 08 01 12 L ...: the point record is 68 to 70 bytes.
        ASSERT_GE(encoded.size(), 4u);
        EXPECT_EQ(encoded.size(), 4u + encoded[3]);
        EXPECT_GE(encoded[3], 68);
        EXPECT_LE(encoded[3], 70);
        EXPECT_EQ(p256PublicKey(encoded), key) << e.at("case");
    }
}

TEST(GenericPublicKey, DecodesOtherWireFormsAndRefusesBadOnes) {
    for (const auto& e : knownAnswers("coordinates").at("decode")) {
        const Bytes record = hexField(e, "generic_public_key");
        const std::string label = e.at("case");
        if (e.contains("error")) {
            const std::string error = e.at("error");
            if (error == "bad EC coordinate") {
                try {
                    p256PublicKey(record);
                    ADD_FAILURE() << label;
                } catch (const QuickShareError& q) {
                    EXPECT_EQ(q, QuickShareError::protocolError("bad EC coordinate")) << label;
                }
            } else {
                EXPECT_THROW(p256PublicKey(record), InvalidKeyError) << label;
            }
            continue;
        }
        Bytes raw = hexField(e, "x");
        const Bytes y = hexField(e, "y");
        raw.insert(raw.end(), y.begin(), y.end());
        EXPECT_EQ(p256PublicKey(record).raw(), raw) << label;
    }
}

TEST(GenericPublicKey, RoundTripsFreshKeys) {
    for (int i = 0; i < 20; ++i) {
        const auto key = P256PrivateKey::generate().publicKey();
        EXPECT_EQ(p256PublicKey(genericPublicKey(key)), key);
    }
}

TEST(GenericPublicKey, RefusesOtherKindsOfKey) {
    const auto key = P256PrivateKey::generate().publicKey();
    auto unsupported = [](const securemessage::GenericPublicKey& record) {
        try {
            p256PublicKey(proto::encode(record));
        } catch (const QuickShareError& e) {
            return e == QuickShareError::protocolError("unsupported public key");
        }
        return false;
    };
    auto record = proto::decode<securemessage::GenericPublicKey>(genericPublicKey(key));

    auto rsa = record;
    rsa.set_type(securemessage::RSA2048);
    EXPECT_TRUE(unsupported(rsa));
    auto dh = record;
    dh.set_type(securemessage::DH2048_MODP);
    EXPECT_TRUE(unsupported(dh));
    auto withoutPoint = record;
    withoutPoint.clear_ec_p256_public_key();
    EXPECT_TRUE(unsupported(withoutPoint));
}

TEST(GenericPublicKey, UndecodableRecordsAreDecodingErrors) {
    EXPECT_THROW(p256PublicKey(fromHex("ff")), proto::DecodingError);
    EXPECT_THROW(p256PublicKey({}), proto::DecodingError);  // type is required
    // A point record without y.
    EXPECT_THROW(p256PublicKey(fromHex("080112030a0101")), proto::DecodingError);
}

TEST(AesCbcHelper, EmptyInputIsOneBlockAndComesBack) {
    const Bytes key(32, 3);
    const Bytes iv(16, 4);
    const Bytes cipher = aesCbc(true, key, iv, {});
    EXPECT_EQ(cipher.size(), 16u);
    EXPECT_TRUE(aesCbc(false, key, iv, cipher).empty());
    const Bytes message = toBytes("a device-to-device message");
    EXPECT_EQ(aesCbc(false, key, iv, aesCbc(true, key, iv, message)), message);
}

TEST(AesCbcHelper, FailuresCarryTheStatusInTheText) {
    const Bytes key(32, 3);
    const Bytes iv(16, 4);
    auto failure = [](const std::function<void()>& f) -> std::string {
        try {
            f();
        } catch (const QuickShareError& e) {
            EXPECT_EQ(e.kind(), QuickShareError::Kind::crypto);
            return e.what();
        }
        return "no error";
    };
    const std::string badKey = failure([&] { aesCbc(true, Bytes(31, 0), iv, {}); });
    EXPECT_EQ(badKey.rfind("Encryption error: AES-CBC failed (", 0), 0u) << badKey;
    EXPECT_EQ(badKey.back(), ')');
    const std::string badIv = failure([&] { aesCbc(false, key, Bytes(15, 0), Bytes(16, 0)); });
    EXPECT_EQ(badIv.rfind("Encryption error: AES-CBC failed (", 0), 0u) << badIv;

    // Plaintext whose last block ends in 0x00 decrypts to bad padding.
    Bytes cipher = aesCbc(true, key, iv, Bytes(16, 0));
    cipher.resize(16);
    const std::string badPadding = failure([&] { aesCbc(false, key, iv, cipher); });
    EXPECT_EQ(badPadding.rfind("Encryption error: AES-CBC failed (", 0), 0u) << badPadding;
    // The status is a number between the parentheses.
    const auto open = badPadding.find('(');
    EXPECT_NO_THROW(std::stoi(badPadding.substr(open + 1)));
}

}  // namespace
}  // namespace velmo
