#include <gtest/gtest.h>

#include <limits>

#include "SecurePeer.h"
#include "platform/Hmac.h"
#include "proto/Codec.h"
#include "proto/WireFormat.h"
#include "proto/securegcm.pb.h"
#include "proto/securemessage.pb.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/CryptoHelpers.h"
#include "quickshare/SecureChannel.h"
#include "support/DeterministicRandom.h"
#include "support/KnownAnswers.h"
#include "support/ScriptedPeer.h"

namespace velmo {
namespace {

using namespace velmo::test;

std::string asString(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }
ByteView asBytes(const std::string& text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

class SecureChannelTest : public ::testing::Test {
protected:
    const nlohmann::json& kat = knownAnswers("secure_message");
    nc::OfflineFrame keepAlive = proto::decode<nc::OfflineFrame>(hexField(kat, "offline_frame"));
    SecureChannel client{knownClientKeys()};
    SecureChannel server{knownServerKeys()};
    DeterministicRandom random;

    // A secure message built by hand from its parts, signed with the client's key, so one
    // part at a time can be wrong.
    struct Parts {
        std::optional<securemessage::SigScheme> signature = securemessage::HMAC_SHA256;
        std::optional<securemessage::EncScheme> encryption = securemessage::AES_256_CBC;
        std::optional<Bytes> iv = Bytes(16, 0x42);
        std::optional<std::int32_t> sequence = 1;
        std::optional<Bytes> body;  // replaces the ciphertext when set
        Bytes hmacKey = knownClientKeys().sendHmacKey;
    };
    Bytes build(const Parts& parts) {
        securegcm::DeviceToDeviceMessage inner;
        inner.set_message(asString(proto::encode(keepAlive)));
        if (parts.sequence) inner.set_sequence_number(*parts.sequence);
        // Encrypted under a good IV; the header may then name another.
        const Bytes iv = parts.iv && parts.iv->size() == 16 ? *parts.iv : Bytes(16, 0);
        Bytes ciphertext = parts.body.value_or(
            aesCbc(true, knownClientKeys().encryptKey, iv, proto::encode(inner)));
        securemessage::HeaderAndBody headerAndBody;
        auto* header = headerAndBody.mutable_header();
        if (parts.signature) header->set_signature_scheme(*parts.signature);
        if (parts.encryption) header->set_encryption_scheme(*parts.encryption);
        if (parts.iv) header->set_iv(asString(*parts.iv));
        headerAndBody.set_body(asString(ciphertext));
        // Partial on purpose: a header without a scheme must reach the decoder.
        std::string signedBytes;
        headerAndBody.SerializePartialToString(&signedBytes);
        securemessage::SecureMessage message;
        message.set_header_and_body(signedBytes);
        message.set_signature(asString(hmacSha256(parts.hmacKey, asBytes(signedBytes))));
        return proto::encode(message);
    }

    // What opening `message` on the server side throws, as its sentence.
    std::string failureOf(const Bytes& message) {
        try {
            server.open(message);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "<opened>";
    }
};

TEST_F(SecureChannelTest, SealsTheKnownAnswerInBothDirections) {
    for (const char* direction : {"client_to_server", "server_to_client"}) {
        SecureChannel sender(std::string(direction) == "client_to_server" ? knownClientKeys()
                                                                          : knownServerKeys());
        random.queue(hexField(kat, "iv"));
        const Bytes sealed = sender.seal(keepAlive, random);
        const auto& expected = kat.at(direction);
        EXPECT_EQ(hex(sealed), expected.at("secure_message").get<std::string>()) << direction;
        EXPECT_EQ(sender.sendSequence(), 1);
        EXPECT_EQ(hex(sender.keys().encryptKey), expected.at("encrypt_key").get<std::string>());
        EXPECT_EQ(hex(sender.keys().sendHmacKey), expected.at("hmac_key").get<std::string>());
        // The parts, for a readable failure when the whole differs.
        const auto message = proto::decode<securemessage::SecureMessage>(sealed);
        EXPECT_EQ(hex(asBytes(message.header_and_body())),
                  expected.at("header_and_body").get<std::string>());
        EXPECT_EQ(hex(asBytes(message.signature())), expected.at("signature").get<std::string>());
    }
}

TEST_F(SecureChannelTest, OpensTheKnownAnswerInBothDirections) {
    const auto opened = server.open(hexField(kat.at("client_to_server"), "secure_message"));
    EXPECT_EQ(hex(proto::encode(opened)), kat.at("offline_frame").get<std::string>());
    const auto back = client.open(hexField(kat.at("server_to_client"), "secure_message"));
    EXPECT_EQ(hex(proto::encode(back)), kat.at("offline_frame").get<std::string>());
    EXPECT_EQ(server.receiveSequence(), 1);
}

TEST_F(SecureChannelTest, NumbersRunFromOneInBothDirections) {
    for (int i = 1; i <= 3; ++i) {
        const Bytes sealed = client.seal(keepAlive, random);
        EXPECT_NO_THROW(server.open(sealed));
        EXPECT_EQ(server.receiveSequence(), i);
    }
}

TEST_F(SecureChannelTest, ReplayedOrSkippedNumbersAreRefused) {
    const Bytes first = client.seal(keepAlive, random);
    server.open(first);
    EXPECT_EQ(failureOf(first), "Quick Share error: out-of-order message");

    SecureChannel fresh{knownServerKeys()};
    client.seal(keepAlive, random);  // number 2 never arrives
    const Bytes third = client.seal(keepAlive, random);
    try {
        fresh.open(third);
        ADD_FAILURE() << "skipped number accepted";
    } catch (const QuickShareError& e) {
        EXPECT_EQ(e, QuickShareError::protocolError("out-of-order message"));
    }
    // The counter stays advanced after a refusal.
    EXPECT_EQ(fresh.receiveSequence(), 1);
}

TEST_F(SecureChannelTest, AMissingNumberCountsAsZero) {
    Parts parts;
    parts.sequence.reset();
    EXPECT_EQ(failureOf(build(parts)), "Quick Share error: out-of-order message");
}

TEST_F(SecureChannelTest, AnyFlippedSignedByteFailsTheSignatureFirst) {
    const Bytes sealed = client.seal(keepAlive, random);
    const auto message = proto::decode<securemessage::SecureMessage>(sealed);
    for (std::size_t i = 0; i < message.signature().size(); i += 7) {
        auto bad = message;
        (*bad.mutable_signature())[i] ^= 0x01;
        EXPECT_EQ(failureOf(proto::encode(bad)), "Encryption error: bad signature from phone") << i;
    }
    for (std::size_t i = 0; i < message.header_and_body().size(); i += 5) {
        auto bad = message;
        (*bad.mutable_header_and_body())[i] ^= 0x80;
        EXPECT_EQ(failureOf(proto::encode(bad)), "Encryption error: bad signature from phone") << i;
    }
    // Nothing was counted for the refused messages.
    EXPECT_EQ(server.receiveSequence(), 0);
}

TEST_F(SecureChannelTest, SignedWithAnotherKeyIsRefusedBeforeTheHeaderIsRead) {
    Parts parts;
    parts.hmacKey = knownServerKeys().sendHmacKey;
    parts.encryption = securemessage::NONE;  // would be a header error if it were looked at
    EXPECT_EQ(failureOf(build(parts)), "Encryption error: bad signature from phone");
}

TEST_F(SecureChannelTest, HeaderChecks) {
    const std::string header = "Quick Share error: invalid encrypted message header";
    struct Case {
        const char* name;
        std::function<void(Parts&)> change;
        std::string expected;
    } cases[] = {
        {"well formed", [](Parts&) {}, "<opened>"},
        {"encryption NONE", [](Parts& p) { p.encryption = securemessage::NONE; }, header},
        {"signature ECDSA", [](Parts& p) { p.signature = securemessage::ECDSA_P256_SHA256; }, header},
        {"IV of 15", [](Parts& p) { p.iv = Bytes(15, 1); }, header},
        {"IV of 17", [](Parts& p) { p.iv = Bytes(17, 1); }, header},
        {"no IV", [](Parts& p) { p.iv.reset(); }, header},
        {"empty body", [](Parts& p) { p.body = Bytes{}; }, header},
        {"body of 17", [](Parts& p) { p.body = Bytes(17, 1); }, header},
        {"bad padding", [](Parts& p) { p.body = Bytes(16, 0); }, "Encryption error: AES-CBC failed ("},
    };
    for (const auto& c : cases) {
        Parts parts;
        c.change(parts);
        SecureChannel fresh{knownServerKeys()};
        std::string got;
        try {
            fresh.open(build(parts));
            got = "<opened>";
        } catch (const std::exception& e) {
            got = e.what();
        }
        EXPECT_EQ(got.substr(0, c.expected.size()), c.expected) << c.name;
    }
}

TEST_F(SecureChannelTest, MissingRequiredFieldsAreDecodingErrors) {
    Parts noScheme;
    noScheme.signature.reset();
    EXPECT_THROW(server.open(build(noScheme)), proto::DecodingError);

    securemessage::SecureMessage unsigned_;
    unsigned_.set_header_and_body("x");
    std::string bytes;
    unsigned_.SerializePartialToString(&bytes);
    EXPECT_THROW(server.open(asBytes(bytes)), proto::DecodingError);
    EXPECT_THROW(server.open(unhex("ff")), proto::DecodingError);
}

// Fields written by hand, so the wrappers can be laid out as no writer of ours does.
Bytes field(int number, ByteView value) {
    Bytes out(proto::wire::fieldHeadSize(value.size()));
    proto::wire::putFieldHead(out.data(), number, value.size());
    out.insert(out.end(), value.begin(), value.end());
    return out;
}
Bytes varint(int number, std::uint64_t value) {
    Bytes out(proto::wire::varintFieldSize(value));
    proto::wire::putVarintField(out.data(), number, value);
    return out;
}
Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST_F(SecureChannelTest, AnyLayoutOfTheWrappersMeansWhatProtobufReadsInIt) {
    const Bytes frame = proto::encode(keepAlive);
    const Bytes otherFrame = proto::encode(nc::OfflineFrame{});
    const Bytes iv(16, 0x24);
    const Bytes unknown = varint(9, 5);
    struct Layout {
        const char* name;
        Bytes inner;                                        // the plaintext
        std::function<Bytes(const Bytes& header, const Bytes& body)> headerAndBody;
        std::function<Bytes(const Bytes& signedBytes, const Bytes& signature)> message;
        bool opens;
    };
    const auto usualInner = join({field(1, frame), varint(2, 1)});
    const auto usualBody = [](const Bytes& h, const Bytes& b) { return join({field(1, h), field(2, b)}); };
    const auto usualMessage = [](const Bytes& s, const Bytes& g) { return join({field(1, s), field(2, g)}); };
    const Layout layouts[] = {
        {"usual", usualInner, usualBody, usualMessage, true},
        {"number first", join({varint(2, 1), field(1, frame)}), usualBody, usualMessage, true},
        {"number in two bytes", join({field(1, frame), Bytes{0x10, 0x81, 0x00}}), usualBody, usualMessage, true},
        {"last frame counts", join({field(1, otherFrame), field(1, frame), varint(2, 1)}), usualBody, usualMessage, true},
        {"unknown inner field", join({usualInner, unknown}), usualBody, usualMessage, true},
        {"number missing", field(1, frame), usualBody, usualMessage, false},
        {"body first", usualInner, [](const Bytes& h, const Bytes& b) { return join({field(2, b), field(1, h)}); },
         usualMessage, true},
        {"unknown field after the body", usualInner,
         [&](const Bytes& h, const Bytes& b) { return join({field(1, h), field(2, b), unknown}); }, usualMessage, true},
        {"signature first", usualInner, usualBody,
         [](const Bytes& s, const Bytes& g) { return join({field(2, g), field(1, s)}); }, true},
        {"signed part given twice, last counts", usualInner, usualBody,
         [](const Bytes& s, const Bytes& g) { return join({field(1, Bytes{1, 2, 3}), field(1, s), field(2, g)}); }, true},
        {"unknown field at the end", usualInner, usualBody,
         [&](const Bytes& s, const Bytes& g) { return join({field(1, s), field(2, g), unknown}); }, true},
        {"a byte too many", usualInner, usualBody,
         [](const Bytes& s, const Bytes& g) { return join({field(1, s), field(2, g), Bytes{0xff}}); }, false},
        {"signature cut short", usualInner, usualBody,
         [](const Bytes& s, const Bytes& g) {
             Bytes out = join({field(1, s), field(2, g)});
             out.pop_back();
             return out;
         },
         false},
    };
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.name);
        securemessage::Header header;
        header.set_signature_scheme(securemessage::HMAC_SHA256);
        header.set_encryption_scheme(securemessage::AES_256_CBC);
        header.set_iv(asString(iv));
        const Bytes body = aesCbc(true, knownClientKeys().encryptKey, iv, layout.inner);
        const Bytes signedBytes = layout.headerAndBody(proto::encode(header), body);
        const Bytes message = layout.message(signedBytes, hmacSha256(knownClientKeys().sendHmacKey, signedBytes));
        SecureChannel fresh{knownServerKeys()};
        if (layout.opens) {
            nc::OfflineFrame opened;
            ASSERT_NO_THROW(fresh.openInto(message, opened));
            EXPECT_TRUE(proto::equal(opened, keepAlive));
        } else {
            EXPECT_ANY_THROW(fresh.open(message));
        }
    }
}

TEST_F(SecureChannelTest, CutOrBentMessagesAreRefusedWithoutReadingPastTheirEnd) {
    // Run under the sanitizers this catches any read beyond the given bytes.
    const Bytes sealed = client.seal(keepAlive, random);
    for (std::size_t length = 0; length < sealed.size(); ++length) {
        const Bytes cut(sealed.begin(), sealed.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_ANY_THROW(server.open(cut)) << length;
    }
    for (std::size_t at = 0; at < 12; ++at) {
        for (const std::uint8_t value : {0x00, 0x7f, 0x80, 0xff}) {
            Bytes bent = sealed;
            if (bent[at] == value) continue;
            bent[at] = value;
            EXPECT_ANY_THROW(server.open(bent)) << at << " " << int(value);
        }
    }
    EXPECT_EQ(server.receiveSequence(), 0);
}

TEST_F(SecureChannelTest, CountersNeverWrap) {
    constexpr auto last = std::numeric_limits<std::int32_t>::max();
    SecureChannel sender(knownClientKeys(), last - 1, 0);
    SecureChannel receiver(knownServerKeys(), 0, last - 1);
    EXPECT_NO_THROW(receiver.open(sender.seal(keepAlive, random)));
    EXPECT_EQ(sender.sendSequence(), last);
    const auto exhausted = QuickShareError::protocolError("too many messages on one connection");
    for (int i = 0; i < 2; ++i) {
        try {
            sender.seal(keepAlive, random);
            ADD_FAILURE() << "sealed past the last number";
        } catch (const QuickShareError& e) {
            EXPECT_EQ(e, exhausted);
        }
    }
    EXPECT_EQ(sender.sendSequence(), last);
    // A receiver at the last number accepts nothing more.
    SecureChannel other(knownClientKeys(), 5, 0);
    try {
        receiver.open(other.seal(keepAlive, random));
        ADD_FAILURE() << "opened past the last number";
    } catch (const QuickShareError& e) {
        EXPECT_EQ(e, exhausted);
    }
}

}  // namespace
}  // namespace velmo
