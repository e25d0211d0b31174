#include <gtest/gtest.h>

#include <functional>

#include "platform/CryptoError.h"
#include "platform/Digest.h"
#include "proto/Codec.h"
#include "proto/connections.pb.h"
#include "proto/securegcm.pb.h"
#include "proto/securemessage.pb.h"
#include "quickshare/CryptoHelpers.h"
#include "quickshare/EndpointInfo.h"
#include "transfer/PeerText.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/Ukey2Messages.h"
#include "support/DeterministicRandom.h"
#include "support/KnownAnswers.h"
#include "support/NistVectors.h"

namespace velmo {
namespace {

namespace nc = location::nearby::connections;
using securegcm::Ukey2Message;
using test::hexField;
using test::knownAnswers;
using test::vectors::fromHex;

std::string text(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

const nlohmann::json& kat() { return knownAnswers("ukey2"); }
P256PrivateKey clientKey() { return P256PrivateKey::fromScalar(hexField(kat(), "client_private_key")); }
P256PrivateKey serverKey() { return P256PrivateKey::fromScalar(hexField(kat(), "server_private_key")); }

Bytes ukey2(Ukey2Message::Type type, const google::protobuf::Message& data) {
    Ukey2Message message;
    message.set_message_type(type);
    message.set_message_data(text(proto::encode(data)));
    return proto::encode(message);
}

securegcm::Ukey2ServerInit goodServerInit() {
    securegcm::Ukey2ServerInit init;
    init.set_version(1);
    init.set_random(std::string(32, 'r'));
    init.set_handshake_cipher(securegcm::P256_SHA512);
    init.set_public_key(text(genericPublicKey(serverKey().publicKey())));
    return init;
}

securegcm::Ukey2ClientInit goodClientInit(const Bytes& commitment) {
    securegcm::Ukey2ClientInit init;
    init.set_version(1);
    init.set_random(std::string(32, 'r'));
    auto* entry = init.add_cipher_commitments();
    entry->set_handshake_cipher(securegcm::P256_SHA512);
    entry->set_commitment(text(commitment));
    init.set_next_protocol("AES_256_CBC-HMAC_SHA256");
    return init;
}

// Runs `step` and expects it to fail with exactly `expected`.
void expectError(const std::function<void()>& step, const QuickShareError& expected) {
    try {
        step();
        ADD_FAILURE() << "no error, expected: " << expected.what();
    } catch (const QuickShareError& e) {
        EXPECT_EQ(e, expected) << e.what();
    }
}

// --- Known answers ---

TEST(Ukey2Messages, ConnectionRequestMatchesTheKnownAnswer) {
    const auto& e = knownAnswers("connection_request");
    EXPECT_EQ(ukey2::connectionRequest(e.at("endpoint_id").get<std::string>(),
                                       e.at("endpoint_name").get<std::string>(),
                                       e.at("nonce").get<std::int32_t>(), hexField(e, "endpoint_info")),
              hexField(e, "offline_frame"));
}

TEST(Ukey2Messages, ConnectionResponseSaysAcceptFromLinux) {
    EXPECT_EQ(ukey2::connectionResponse(), hexField(knownAnswers("connection_response"), "offline_frame"));
    EXPECT_EQ(ukey2::connectionResponse(), fromHex("0801120c08021a080800180122020864"));
}

TEST(Ukey2Messages, ClientMessagesMatchTheKnownAnswers) {
    const auto messages = ukey2::clientMessages(clientKey().publicKey(), hexField(kat(), "client_random"));
    EXPECT_EQ(messages.clientFinished, hexField(kat(), "client_finish_message"));
    EXPECT_EQ(messages.commitment, hexField(kat(), "commitment"));
    EXPECT_EQ(sha512(messages.clientFinished), messages.commitment);
    EXPECT_EQ(messages.clientInit, hexField(kat(), "client_init_message"));
}

TEST(Ukey2Messages, ServerInitMatchesTheKnownAnswer) {
    EXPECT_EQ(ukey2::serverInit(serverKey().publicKey(), hexField(kat(), "server_random")),
              hexField(kat(), "server_init_message"));
}

TEST(Ukey2Messages, KnownMessagesReadBack) {
    EXPECT_EQ(ukey2::readServerInit(hexField(kat(), "server_init_message")), serverKey().publicKey());
    EXPECT_EQ(ukey2::readClientInit(hexField(kat(), "client_init_message")), hexField(kat(), "commitment"));
    EXPECT_EQ(ukey2::readClientFinished(hexField(kat(), "client_finish_message"), hexField(kat(), "commitment")),
              clientKey().publicKey());
}

TEST(Ukey2Messages, KeyPairComesFromTheRandomSourceSkippingScalarsOutOfRange) {
    test::DeterministicRandom random;
    random.queue(Bytes(32, 0xFF));  // above the group order
    random.queue(hexField(kat(), "client_private_key"));
    EXPECT_EQ(ukey2::newKeyPair(random).publicKey(), clientKey().publicKey());
    EXPECT_EQ(random.drawn(), 64u);
}

// --- The client reading the phone's server init ---

struct ServerInitCase {
    const char* name;
    std::function<Bytes()> frame;
    QuickShareError error;
};

TEST(Ukey2Messages, ServerInitRefusals) {
    auto init = [](auto change) {
        return [change] {
            auto message = goodServerInit();
            change(message);
            return ukey2(Ukey2Message::SERVER_INIT, message);
        };
    };
    auto alert = [](std::function<void(securegcm::Ukey2Alert&)> fill) {
        return [fill] {
            securegcm::Ukey2Alert message;
            fill(message);
            return ukey2(Ukey2Message::ALERT, message);
        };
    };
    const auto unsupported = QuickShareError::protocolError("unsupported ServerInit");
    const std::vector<ServerInitCase> cases = {
        {"version 2", init([](auto& m) { m.set_version(2); }), unsupported},
        {"no version", init([](auto& m) { m.clear_version(); }), unsupported},
        {"31-byte random", init([](auto& m) { m.set_random(std::string(31, 'r')); }), unsupported},
        {"33-byte random", init([](auto& m) { m.set_random(std::string(33, 'r')); }), unsupported},
        {"no random", init([](auto& m) { m.clear_random(); }), unsupported},
        {"curve25519", init([](auto& m) { m.set_handshake_cipher(securegcm::CURVE25519_SHA512); }), unsupported},
        {"no cipher", init([](auto& m) { m.clear_handshake_cipher(); }), unsupported},
        {"client init instead",
         [] { return ukey2(Ukey2Message::CLIENT_INIT, goodServerInit()); },
         QuickShareError::protocolError("expected ServerInit")},
        {"no type",
         [] {
             Ukey2Message m;
             m.set_message_data(text(proto::encode(goodServerInit())));
             return proto::encode(m);
         },
         QuickShareError::protocolError("expected ServerInit")},
        {"alert with text",
         alert([](auto& m) {
             m.set_type(securegcm::Ukey2Alert::BAD_VERSION);
             m.set_error_message("version 1 only");
         }),
         QuickShareError::protocolError("phone rejected the handshake (100 version 1 only)")},
        {"empty alert", alert([](auto&) {}), QuickShareError::protocolError("phone rejected the handshake (1 )")},
        {"undecodable alert",
         [] {
             Ukey2Message m;
             m.set_message_type(Ukey2Message::ALERT);
             m.set_message_data("\xff\xff");
             return proto::encode(m);
         },
         QuickShareError::protocolError("phone rejected the handshake (0 )")},
        {"alert text with control characters",
         alert([](auto& m) {
             m.set_type(securegcm::Ukey2Alert::BAD_RANDOM);
             m.set_error_message("bad\n\x1b[31mrandom");
         }),
         QuickShareError::protocolError("phone rejected the handshake (101 bad[31mrandom)")},
        {"wrong key type",
         init([](auto& m) {
             securemessage::GenericPublicKey key;
             key.set_type(securemessage::RSA2048);
             key.mutable_rsa2048_public_key()->set_n("n");
             m.set_public_key(text(proto::encode(key)));
         }),
         QuickShareError::protocolError("unsupported public key")},
        {"EC type without the EC key",
         init([](auto& m) {
             securemessage::GenericPublicKey key;
             key.set_type(securemessage::EC_P256);
             m.set_public_key(text(proto::encode(key)));
         }),
         QuickShareError::protocolError("unsupported public key")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectError([&] { ukey2::readServerInit(c.frame()); }, c.error);
    }
}

TEST(Ukey2Messages, LongAlertTextIsCut) {
    securegcm::Ukey2Alert message;
    message.set_error_message(std::string(10000, 'x'));
    try {
        ukey2::readServerInit(ukey2(Ukey2Message::ALERT, message));
        FAIL();
    } catch (const QuickShareError& e) {
        EXPECT_LT(e.detail().size(), 200u);
    }
}

TEST(Ukey2Messages, ServerInitWithAKeyOffTheCurveOrMissingIsRefused) {
    auto message = goodServerInit();
    securemessage::GenericPublicKey key;
    key.set_type(securemessage::EC_P256);
    key.mutable_ec_p256_public_key()->set_x(std::string(32, '\x01'));
    key.mutable_ec_p256_public_key()->set_y(std::string(32, '\x01'));
    message.set_public_key(text(proto::encode(key)));
    EXPECT_THROW(ukey2::readServerInit(ukey2(Ukey2Message::SERVER_INIT, message)), InvalidKeyError);
    message.clear_public_key();  // an empty record lacks its required type
    EXPECT_THROW(ukey2::readServerInit(ukey2(Ukey2Message::SERVER_INIT, message)), proto::DecodingError);
    EXPECT_THROW(ukey2::readServerInit(fromHex("ffff")), proto::DecodingError);
}

// --- The client reading the phone's connection response ---

TEST(Ukey2Messages, PhoneAcceptsWithAcceptOrStatusZero) {
    struct Case {
        const char* name;
        std::optional<int> status;
        std::optional<nc::ConnectionResponseFrame::ResponseStatus> response;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"accept", 0, nc::ConnectionResponseFrame::ACCEPT, true},
        {"accept with another status", 7, nc::ConnectionResponseFrame::ACCEPT, true},
        {"reject with a status", 1, nc::ConnectionResponseFrame::REJECT, false},
        {"reject without status", std::nullopt, nc::ConnectionResponseFrame::REJECT, true},
        {"status 0 alone", 0, std::nullopt, true},
        {"nothing", std::nullopt, std::nullopt, true},
        {"unknown response, nonzero status", 3, nc::ConnectionResponseFrame::UNKNOWN_RESPONSE_STATUS, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        nc::OfflineFrame frame;
        frame.set_version(nc::OfflineFrame::V1);
        frame.mutable_v1()->set_type(nc::V1Frame::CONNECTION_RESPONSE);
        auto* response = frame.mutable_v1()->mutable_connection_response();
        if (c.status) response->set_status(*c.status);
        if (c.response) response->set_response(*c.response);
        EXPECT_EQ(ukey2::readConnectionResponseAccepts(proto::encode(frame)), c.accepted);
        EXPECT_NO_THROW(ukey2::readConnectionResponse(proto::encode(frame)));
    }
    nc::OfflineFrame bare;
    bare.mutable_v1()->set_type(nc::V1Frame::CONNECTION_RESPONSE);
    EXPECT_TRUE(ukey2::readConnectionResponseAccepts(proto::encode(bare)));
}

TEST(Ukey2Messages, ConnectionResponseOfAnotherTypeIsRefusedInBothRoles) {
    nc::OfflineFrame keepAlive;
    keepAlive.set_version(nc::OfflineFrame::V1);
    keepAlive.mutable_v1()->set_type(nc::V1Frame::KEEP_ALIVE);
    const auto expected = QuickShareError::protocolError("expected connection response");
    expectError([&] { ukey2::readConnectionResponseAccepts(proto::encode(keepAlive)); }, expected);
    expectError([&] { ukey2::readConnectionResponse(proto::encode(keepAlive)); }, expected);
    expectError([&] { ukey2::readConnectionResponse(Bytes{}); }, expected);  // no v1 at all
}

// --- The server reading the phone's connection request ---

TEST(Ukey2Messages, PeerNameComesFromTheRecordThenTheEndpointName) {
    auto request = [](std::optional<EndpointInfo> info, std::string endpointName, Bytes raw = {}) {
        return ukey2::connectionRequest("WXYZ", endpointName, 5, info ? info->encoded() : raw);
    };
    const EndpointInfo named{EndpointInfo::DeviceType::phone, std::string("Pixel"), std::nullopt};
    const EndpointInfo emptyName{EndpointInfo::DeviceType::phone, std::string(), std::nullopt};
    const EndpointInfo unnamed{EndpointInfo::DeviceType::phone, std::nullopt, std::nullopt};
    EXPECT_EQ(ukey2::readConnectionRequest(request(named, "Other")), "Pixel");
    // The record's name counts even when empty, and then shows as any nameless phone does.
    EXPECT_EQ(ukey2::readConnectionRequest(request(emptyName, "Other")), "Android phone");
    EXPECT_EQ(ukey2::readConnectionRequest(request(unnamed, "Other")), "Other");
    EXPECT_EQ(ukey2::readConnectionRequest(request(unnamed, "")), "Android phone");
    EXPECT_EQ(ukey2::readConnectionRequest(request(std::nullopt, "Short", Bytes(5, 1))), "Short");
    EXPECT_EQ(ukey2::readConnectionRequest(request(std::nullopt, "")), "Android phone");

    // The request's own name is free text of any length: cleaned like all text from a phone
    // and capped at 255 bytes on a character boundary.
    std::string hostile = "\u202Eevil\x01\x7F\xC2\x85\u2066";
    while (hostile.size() < 5 * 1024 * 1024) hostile += "Grüße 📱 ";
    const auto cleaned = ukey2::readConnectionRequest(request(unnamed, hostile));
    EXPECT_LE(cleaned.size(), 255u);
    EXPECT_TRUE(cleaned.rfind("evilGrüße 📱 Grüße", 0) == 0);
    EXPECT_TRUE(cleaned == peerText(cleaned, 255));  // valid UTF-8, nothing left to drop
    EXPECT_EQ(ukey2::readConnectionRequest(request(unnamed, "\u202E\x1B\u200F")), "Android phone");
    // The record's name loses the same characters, so it cannot turn the prompt's text around.
    const EndpointInfo spoofing{EndpointInfo::DeviceType::phone, std::string("\u202EPixel\x1B"), std::nullopt};
    EXPECT_EQ(ukey2::readConnectionRequest(request(spoofing, "Other")), "Pixel");
    const EndpointInfo blank{EndpointInfo::DeviceType::phone, std::string("\u202E\n\a"), std::nullopt};
    EXPECT_EQ(ukey2::readConnectionRequest(request(blank, "Other")), "Android phone");
}

TEST(Ukey2Messages, ConnectionRequestOfAnotherTypeIsRefused) {
    expectError([] { ukey2::readConnectionRequest(ukey2::connectionResponse()); },
                QuickShareError::protocolError("expected connection request"));
    expectError([] { ukey2::readConnectionRequest(Bytes{}); },
                QuickShareError::protocolError("expected connection request"));
    EXPECT_THROW(ukey2::readConnectionRequest(fromHex("0a")), proto::DecodingError);
}

// --- The server reading the client init and client finished ---

TEST(Ukey2Messages, ClientInitRefusals) {
    const Bytes commitment(64, 0xC0);
    auto with = [&](auto change) {
        auto message = goodClientInit(commitment);
        change(message);
        return ukey2(Ukey2Message::CLIENT_INIT, message);
    };
    const auto unsupported = QuickShareError::protocolError("unsupported ClientInit");
    struct Case {
        const char* name;
        Bytes frame;
        QuickShareError error;
    };
    const std::vector<Case> cases = {
        {"no version", with([](auto& m) { m.clear_version(); }), unsupported},
        {"version 2", with([](auto& m) { m.set_version(2); }), unsupported},
        {"31-byte random", with([](auto& m) { m.set_random(std::string(31, 'r')); }), unsupported},
        {"no commitments", with([](auto& m) { m.clear_cipher_commitments(); }), unsupported},
        {"curve25519 only",
         with([](auto& m) { m.mutable_cipher_commitments(0)->set_handshake_cipher(securegcm::CURVE25519_SHA512); }),
         unsupported},
        {"alert instead", ukey2(Ukey2Message::ALERT, securegcm::Ukey2Alert()),
         QuickShareError::protocolError("expected ClientInit")},
        {"server init instead", ukey2(Ukey2Message::SERVER_INIT, goodServerInit()),
         QuickShareError::protocolError("expected ClientInit")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectError([&] { ukey2::readClientInit(c.frame); }, c.error);
    }
}

TEST(Ukey2Messages, ClientInitUsesTheFirstP256Commitment) {
    auto message = goodClientInit(Bytes(64, 0xAA));
    auto* other = message.mutable_cipher_commitments()->Add();
    other->set_handshake_cipher(securegcm::P256_SHA512);
    other->set_commitment(std::string(64, '\xBB'));
    message.mutable_cipher_commitments()->SwapElements(0, 1);
    message.mutable_cipher_commitments(0)->set_handshake_cipher(securegcm::CURVE25519_SHA512);
    message.set_next_protocol("anything at all");
    EXPECT_EQ(ukey2::readClientInit(ukey2(Ukey2Message::CLIENT_INIT, message)), Bytes(64, 0xAA));

    auto missing = goodClientInit({});
    missing.mutable_cipher_commitments(0)->clear_commitment();
    EXPECT_EQ(ukey2::readClientInit(ukey2(Ukey2Message::CLIENT_INIT, missing)), Bytes{});
}

TEST(Ukey2Messages, ClientFinishedMustBeTheCommittedMessage) {
    const Bytes finished = hexField(kat(), "client_finish_message");
    const Bytes commitment = hexField(kat(), "commitment");
    const auto mismatch = QuickShareError::crypto("handshake commitment mismatch");

    Bytes flipped = finished;
    flipped.back() ^= 1;
    expectError([&] { ukey2::readClientFinished(flipped, commitment); }, mismatch);
    expectError([&] { ukey2::readClientFinished(finished, Bytes{}); }, mismatch);
    expectError([&] { ukey2::readClientFinished(finished, ByteView(commitment).first(63)); }, mismatch);
    // Not decodable, yet refused for the commitment first.
    expectError([&] { ukey2::readClientFinished(fromHex("ffff"), commitment); }, mismatch);

    // A committed message of another type.
    const Bytes alert = ukey2(Ukey2Message::ALERT, securegcm::Ukey2Alert());
    expectError([&] { ukey2::readClientFinished(alert, sha512(alert)); },
                QuickShareError::protocolError("expected ClientFinished"));

    // A committed client finished whose key is of the wrong type or off the curve.
    securemessage::GenericPublicKey key;
    key.set_type(securemessage::DH2048_MODP);
    key.mutable_dh2048_public_key()->set_y("y");
    securegcm::Ukey2ClientFinished body;
    body.set_public_key(text(proto::encode(key)));
    const Bytes wrongType = ukey2(Ukey2Message::CLIENT_FINISH, body);
    expectError([&] { ukey2::readClientFinished(wrongType, sha512(wrongType)); },
                QuickShareError::protocolError("unsupported public key"));
    key.Clear();
    key.set_type(securemessage::EC_P256);
    key.mutable_ec_p256_public_key()->set_x(std::string(32, '\0'));
    key.mutable_ec_p256_public_key()->set_y(std::string(32, '\0'));
    body.set_public_key(text(proto::encode(key)));
    const Bytes offCurve = ukey2(Ukey2Message::CLIENT_FINISH, body);
    EXPECT_THROW(ukey2::readClientFinished(offCurve, sha512(offCurve)), InvalidKeyError);
}

}  // namespace
}  // namespace velmo
