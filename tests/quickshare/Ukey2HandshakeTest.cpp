#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>
#include <functional>

#include "platform/CryptoError.h"
#include "platform/Digest.h"
#include "platform/Runtime.h"
#include "proto/Codec.h"
#include "proto/connections.pb.h"
#include "proto/securegcm.pb.h"
#include "proto/securemessage.pb.h"
#include "quickshare/CryptoHelpers.h"
#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/Ukey2ClientHandshake.h"
#include "quickshare/Ukey2Messages.h"
#include "quickshare/Ukey2ServerHandshake.h"
#include "support/AsyncTest.h"
#include "support/DeterministicRandom.h"
#include "support/KnownAnswers.h"
#include "support/MemoryStream.h"
#include "support/ScriptedPeer.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
namespace nc = location::nearby::connections;
using securegcm::Ukey2Message;
using test::hexField;
using test::knownAnswers;
using Check = std::function<void(std::exception_ptr)>;

std::string text(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }
const nlohmann::json& kat() { return knownAnswers("ukey2"); }

Bytes ukey2Frame(Ukey2Message::Type type, const google::protobuf::Message& data) {
    Ukey2Message message;
    message.set_message_type(type);
    message.set_message_data(text(proto::encode(data)));
    return proto::encode(message);
}

Bytes offline(nc::V1Frame::FrameType type) {
    nc::OfflineFrame frame;
    frame.set_version(nc::OfflineFrame::V1);
    frame.mutable_v1()->set_type(type);
    return proto::encode(frame);
}

Bytes phoneResponse(std::optional<int> status, nc::ConnectionResponseFrame::ResponseStatus response) {
    nc::OfflineFrame frame;
    frame.set_version(nc::OfflineFrame::V1);
    frame.mutable_v1()->set_type(nc::V1Frame::CONNECTION_RESPONSE);
    auto* body = frame.mutable_v1()->mutable_connection_response();
    if (status) body->set_status(*status);
    body->set_response(response);
    body->mutable_os_info()->set_type(nc::OsInfo::ANDROID);
    return proto::encode(frame);
}

Bytes encodedKey(securemessage::PublicKeyType type, const std::string& x, const std::string& y) {
    securemessage::GenericPublicKey key;
    key.set_type(type);
    if (type == securemessage::EC_P256) {
        key.mutable_ec_p256_public_key()->set_x(x);
        key.mutable_ec_p256_public_key()->set_y(y);
    } else {
        key.mutable_rsa2048_public_key()->set_n("n");
    }
    return proto::encode(key);
}
Bytes offCurveKey() { return encodedKey(securemessage::EC_P256, std::string(32, '\1'), std::string(32, '\1')); }
Bytes rsaKey() { return encodedKey(securemessage::RSA2048, {}, {}); }

Check fails(const QuickShareError& expected) {
    return [expected](std::exception_ptr failure) {
        ASSERT_TRUE(failure) << "expected: " << expected.what();
        try {
            std::rethrow_exception(failure);
        } catch (const QuickShareError& e) {
            EXPECT_EQ(e, expected) << e.what();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "expected " << expected.what() << ", got " << e.what();
        }
    };
}

template <class E>
Check failsWith() {
    return [](std::exception_ptr failure) {
        ASSERT_TRUE(failure);
        try {
            std::rethrow_exception(failure);
        } catch (const E&) {
        } catch (const std::exception& e) {
            ADD_FAILURE() << "unexpected error: " << e.what();
        }
    };
}

class Ukey2HandshakeTest : public ::testing::Test {
protected:
    Runtime runtime{2};
    test::MemoryStreamPair pair = test::MemoryStreamPair::create(runtime.executor());
    std::shared_ptr<test::DeterministicRandom> random = std::make_shared<test::DeterministicRandom>(11);
    std::shared_ptr<QuickShareConnection> connection = QuickShareConnection::create(pair.a, {}, random);
    test::ScriptedPeer phone{pair.b};
    HandshakeTimeouts timeouts{10s};
    const EndpointInfo info{EndpointInfo::DeviceType::laptop, std::string("Desk"), std::nullopt};

    // Runs `handshake` against the phone's script; returns its failure, if any.
    template <class Handshake>
    std::exception_ptr against(Handshake handshake) {
        auto played = asio::co_spawn(pair.b->executor(), phone.play(), asio::use_future);
        std::exception_ptr failure;
        try {
            test::runAsync(runtime.executor(), handshake);
        } catch (...) {
            failure = std::current_exception();
        }
        EXPECT_TRUE(played.get()) << "the phone's script did not play out";
        return failure;
    }

    std::exception_ptr runClient(std::string* pin = nullptr) {
        return against([this, pin]() -> asio::awaitable<void> {
            auto result = co_await clientHandshakeWithTimeout(connection, info, "Desk", timeouts);
            if (pin) *pin = result;
        });
    }

    std::exception_ptr runServer(ServerHandshakeResult* out = nullptr) {
        return against([this, out]() -> asio::awaitable<void> {
            auto result = co_await serverHandshakeWithTimeout(connection, timeouts);
            if (out) *out = result;
        });
    }
};

// --- Known answers: fixed keys and randoms give the exact messages, keys and PIN ---

TEST_F(Ukey2HandshakeTest, ClientReproducesTheKnownHandshake) {
    random->queueUniform(1234567890);  // the nonce
    random->queue(hexField(kat(), "client_private_key"));
    random->queue(hexField(kat(), "client_random"));
    phone.expectAnyFrame("connection request")
        .expectFrame(hexField(kat(), "client_init_message"), "client init")
        .sendFrame(hexField(kat(), "server_init_message"))
        .expectFrame(hexField(kat(), "client_finish_message"), "client finished")
        .expectFrame(hexField(knownAnswers("connection_response"), "offline_frame"), "our response")
        .sendFrame(phoneResponse(0, nc::ConnectionResponseFrame::ACCEPT));

    std::string pin;
    ASSERT_FALSE(runClient(&pin));
    EXPECT_EQ(pin, kat().at("pin").get<std::string>());
    const SessionKeys& keys = connection->keys();
    EXPECT_EQ(keys.authString, hexField(kat(), "auth_string"));
    EXPECT_EQ(keys.encryptKey, hexField(kat(), "client_to_server_encrypt_key"));
    EXPECT_EQ(keys.sendHmacKey, hexField(kat(), "client_to_server_hmac_key"));
    EXPECT_EQ(keys.decryptKey, hexField(kat(), "server_to_client_encrypt_key"));
    EXPECT_EQ(keys.receiveHmacKey, hexField(kat(), "server_to_client_hmac_key"));
    EXPECT_FALSE(pair.a->isClosed());

    const auto request = proto::decode<nc::OfflineFrame>(phone.received().at(0));
    EXPECT_EQ(request.version(), nc::OfflineFrame::V1);
    EXPECT_EQ(request.v1().type(), nc::V1Frame::CONNECTION_REQUEST);
    const auto& fields = request.v1().connection_request();
    EXPECT_EQ(fields.endpoint_id().size(), 4u);
    EXPECT_EQ(fields.endpoint_name(), "Desk");
    EXPECT_EQ(fields.nonce(), 1234567890);
    ASSERT_EQ(fields.mediums_size(), 1);
    EXPECT_EQ(fields.mediums(0), nc::ConnectionRequestFrame::WIFI_LAN);
    const auto& record = fields.endpoint_info();
    EXPECT_EQ(EndpointInfo::parse(ByteView(reinterpret_cast<const std::uint8_t*>(record.data()), record.size())), info);
}

TEST_F(Ukey2HandshakeTest, ServerReproducesTheKnownHandshake) {
    random->queue(hexField(kat(), "server_private_key"));
    random->queue(hexField(kat(), "server_random"));
    phone.sendFrame(hexField(knownAnswers("connection_request"), "offline_frame"))
        .sendFrame(hexField(kat(), "client_init_message"))
        .expectFrame(hexField(kat(), "server_init_message"), "server init")
        .sendFrame(hexField(kat(), "client_finish_message"))
        .sendFrame(phoneResponse(0, nc::ConnectionResponseFrame::ACCEPT))
        .expectFrame(hexField(knownAnswers("connection_response"), "offline_frame"), "our response");

    ServerHandshakeResult result;
    ASSERT_FALSE(runServer(&result));
    EXPECT_EQ(result.peerName, knownAnswers("connection_request").at("endpoint_name").get<std::string>());
    EXPECT_EQ(result.pin, kat().at("pin").get<std::string>());
    const SessionKeys& keys = connection->keys();
    EXPECT_EQ(keys.authString, hexField(kat(), "auth_string"));
    EXPECT_EQ(keys.encryptKey, hexField(kat(), "server_to_client_encrypt_key"));
    EXPECT_EQ(keys.sendHmacKey, hexField(kat(), "server_to_client_hmac_key"));
    EXPECT_EQ(keys.decryptKey, hexField(kat(), "client_to_server_encrypt_key"));
    EXPECT_EQ(keys.receiveHmacKey, hexField(kat(), "client_to_server_hmac_key"));
    EXPECT_FALSE(pair.a->isClosed());
}

// --- Our two roles against each other ---

TEST_F(Ukey2HandshakeTest, ClientAndServerAgreeOnKeysAndPin) {
    auto other = QuickShareConnection::create(pair.b);
    auto server = asio::co_spawn(
        pair.b->executor(), [&] { return serverHandshakeWithTimeout(other, timeouts); }, asio::use_future);
    const std::string pin = test::runAsync(
        runtime.executor(), [&] { return clientHandshakeWithTimeout(connection, info, "Ignored", timeouts); });
    const ServerHandshakeResult result = server.get();
    EXPECT_EQ(result.pin, pin);
    EXPECT_EQ(result.peerName, "Desk");  // the record's name wins over the endpoint name
    EXPECT_EQ(connection->keys().encryptKey, other->keys().decryptKey);
    EXPECT_EQ(connection->keys().sendHmacKey, other->keys().receiveHmacKey);
    EXPECT_EQ(connection->keys().decryptKey, other->keys().encryptKey);
    EXPECT_EQ(connection->keys().receiveHmacKey, other->keys().sendHmacKey);
    EXPECT_EQ(connection->authString(), other->authString());
    EXPECT_NE(connection->keys().encryptKey, connection->keys().decryptKey);
}

// --- The client facing a misbehaving phone ---

struct Refusal {
    const char* name;
    std::function<void(test::ScriptedPeer&)> script;
    Check check;
};

Bytes serverInitWith(const std::function<void(securegcm::Ukey2ServerInit&)>& change) {
    securegcm::Ukey2ServerInit init;
    init.set_version(1);
    init.set_random(std::string(32, 's'));
    init.set_handshake_cipher(securegcm::P256_SHA512);
    init.set_public_key(text(genericPublicKey(P256PrivateKey::generate().publicKey())));
    change(init);
    return ukey2Frame(Ukey2Message::SERVER_INIT, init);
}

std::vector<Refusal> clientRefusals() {
    // The phone answers our client init with `answer`; nothing more may be written.
    auto answered = [](Bytes answer) {
        return [answer](test::ScriptedPeer& phone) {
            phone.expectAnyFrame("connection request").expectAnyFrame("client init").sendFrame(answer).expectEnd();
        };
    };
    // A good server init, then the phone's connection response `response`.
    auto responded = [](Bytes response) {
        return [response](test::ScriptedPeer& phone) {
            phone.expectAnyFrame("connection request")
                .expectAnyFrame("client init")
                .sendFrame(serverInitWith([](auto&) {}))
                .expectAnyFrame("client finished")
                .expectFrame(ukey2::connectionResponse(), "our response")
                .sendFrame(response)
                .expectEnd();
        };
    };
    securegcm::Ukey2Alert badVersion;
    badVersion.set_type(securegcm::Ukey2Alert::BAD_VERSION);
    badVersion.set_error_message("too new");
    Ukey2Message garbledAlert;
    garbledAlert.set_message_type(Ukey2Message::ALERT);
    garbledAlert.set_message_data("\x0a\xff");
    const auto unsupported = QuickShareError::protocolError("unsupported ServerInit");
    const Bytes oversized = serverInitWith([](auto& m) { m.set_random(std::string(40000, 's')); });
    return {
        {"version 2", answered(serverInitWith([](auto& m) { m.set_version(2); })), fails(unsupported)},
        {"31-byte random", answered(serverInitWith([](auto& m) { m.set_random(std::string(31, 's')); })), fails(unsupported)},
        {"curve25519", answered(serverInitWith([](auto& m) { m.set_handshake_cipher(securegcm::CURVE25519_SHA512); })),
         fails(unsupported)},
        {"key off the curve", answered(serverInitWith([](auto& m) { m.set_public_key(text(offCurveKey())); })),
         failsWith<InvalidKeyError>()},
        {"RSA key", answered(serverInitWith([](auto& m) { m.set_public_key(text(rsaKey())); })),
         fails(QuickShareError::protocolError("unsupported public key"))},
        {"alert with a body", answered(ukey2Frame(Ukey2Message::ALERT, badVersion)),
         fails(QuickShareError::protocolError("phone rejected the handshake (100 too new)"))},
        {"alert without a decodable body", answered(proto::encode(garbledAlert)),
         fails(QuickShareError::protocolError("phone rejected the handshake (0 )"))},
        {"client finished instead", answered(ukey2Frame(Ukey2Message::CLIENT_FINISH, securegcm::Ukey2ClientFinished())),
         fails(QuickShareError::protocolError("expected ServerInit"))},
        {"not a message", answered(Bytes{0xff, 0xff}), failsWith<proto::DecodingError>()},
        {"server init over the cap of frames before the secure channel", answered(oversized),
         fails(QuickShareError::protocolError("bad frame length " + std::to_string(oversized.size())))},
        {"reject with a status", responded(phoneResponse(3, nc::ConnectionResponseFrame::REJECT)),
         fails(QuickShareError::declined())},
        {"keep-alive instead of a response", responded(offline(nc::V1Frame::KEEP_ALIVE)),
         fails(QuickShareError::protocolError("expected connection response"))},
    };
}

// Each refusal's script against a fresh connection running `handshake`: it fails, and closes.
template <class Handshake>
void expectRefused(const std::vector<Refusal>& refusals, Handshake handshake) {
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        Runtime local(2);
        auto streams = test::MemoryStreamPair::create(local.executor());
        auto ours = QuickShareConnection::create(streams.a);
        test::ScriptedPeer script(streams.b);
        refusal.script(script);
        auto played = asio::co_spawn(streams.b->executor(), script.play(), asio::use_future);
        std::exception_ptr failure;
        try {
            test::runAsync(local.executor(), [&] { return handshake(ours); });
        } catch (...) {
            failure = std::current_exception();
        }
        refusal.check(failure);
        EXPECT_TRUE(played.get());
        EXPECT_TRUE(streams.a->isClosed());
    }
}

TEST_F(Ukey2HandshakeTest, ClientRefusesEachMisbehaviourAndCloses) {
    expectRefused(clientRefusals(), [&](auto client) { return clientHandshakeWithTimeout(client, info, "Desk", timeouts); });
}

TEST_F(Ukey2HandshakeTest, ClientCountsARejectWithoutStatusAsAccepted) {
    phone.expectAnyFrame("connection request")
        .expectAnyFrame("client init")
        .sendFrame(serverInitWith([](auto&) {}))
        .expectAnyFrame("client finished")
        .expectAnyFrame("our response")
        .sendFrame(phoneResponse(std::nullopt, nc::ConnectionResponseFrame::REJECT));
    std::string pin;
    EXPECT_FALSE(runClient(&pin));
    EXPECT_EQ(pin.size(), 4u);
    EXPECT_FALSE(pair.a->isClosed());
}

TEST_F(Ukey2HandshakeTest, ClientTimesOutWhenThePhoneGoesSilent) {
    timeouts.handshake = 50ms;
    phone.expectAnyFrame("connection request").expectAnyFrame("client init").expectEnd();
    auto failure = runClient();
    fails(QuickShareError::timedOut())(failure);
    EXPECT_TRUE(pair.a->isClosed());
}

TEST_F(Ukey2HandshakeTest, ClientLimitCoversTheWaitForThePhonesResponse) {
    timeouts.handshake = 100ms;
    phone.expectAnyFrame("connection request")
        .expectAnyFrame("client init")
        .sendFrame(serverInitWith([](auto&) {}))
        .expectAnyFrame("client finished")
        .expectAnyFrame("our response")
        .expectEnd();
    fails(QuickShareError::timedOut())(runClient());
    EXPECT_TRUE(pair.a->isClosed());
}

// --- The server facing a misbehaving phone ---

struct PhoneMessages {
    PhoneMessages() : key(P256PrivateKey::generate()) {
        const auto messages = ukey2::clientMessages(key.publicKey(), Bytes(32, 'c'));
        clientInit = messages.clientInit;
        clientFinished = messages.clientFinished;
    }
    // A client init that commits to `finished`, changed by `change`.
    static Bytes initCommittingTo(const Bytes& finished,
                                  const std::function<void(securegcm::Ukey2ClientInit&)>& change = {}) {
        securegcm::Ukey2ClientInit init;
        init.set_version(1);
        init.set_random(std::string(32, 'c'));
        auto* entry = init.add_cipher_commitments();
        entry->set_handshake_cipher(securegcm::P256_SHA512);
        entry->set_commitment(text(sha512(finished)));
        init.set_next_protocol("AES_256_CBC-HMAC_SHA256");
        if (change) change(init);
        return ukey2Frame(Ukey2Message::CLIENT_INIT, init);
    }
    static Bytes finishedWithKey(const Bytes& encodedKey) {
        securegcm::Ukey2ClientFinished finished;
        finished.set_public_key(text(encodedKey));
        return ukey2Frame(Ukey2Message::CLIENT_FINISH, finished);
    }
    P256PrivateKey key;
    Bytes clientInit;
    Bytes clientFinished;
};

Bytes request() { return ukey2::connectionRequest("ABCD", "Phone", 9, {}); }

std::vector<Refusal> serverRefusals() {
    const PhoneMessages good;
    // Request and client init; the server must refuse before writing anything.
    auto refusedInit = [](Bytes init) {
        return [init](test::ScriptedPeer& phone) { phone.sendFrame(request()).sendFrame(init).expectEnd(); };
    };
    // Request, `init`, our server init, then `finished`.
    auto refusedFinish = [](Bytes init, Bytes finished) {
        return [init, finished](test::ScriptedPeer& phone) {
            phone.sendFrame(request()).sendFrame(init).expectAnyFrame("server init").sendFrame(finished).expectEnd();
        };
    };
    const auto unsupported = QuickShareError::protocolError("unsupported ClientInit");
    const auto mismatch = QuickShareError::crypto("handshake commitment mismatch");
    const Bytes alert = ukey2Frame(Ukey2Message::ALERT, securegcm::Ukey2Alert());
    const Bytes offCurveFinish = PhoneMessages::finishedWithKey(offCurveKey());
    const Bytes rsaFinish = PhoneMessages::finishedWithKey(rsaKey());
    const Bytes other = PhoneMessages().clientFinished;
    // Read before anything is authenticated: 32,769 bytes are refused from the length alone.
    const Bytes overCap = ukey2::connectionRequest("ABCD", std::string(32741, 'n'), 9, {});
    return {
        {"keep-alive instead of a request",
         [](test::ScriptedPeer& phone) { phone.sendFrame(offline(nc::V1Frame::KEEP_ALIVE)).expectEnd(); },
         fails(QuickShareError::protocolError("expected connection request"))},
        {"request just over the cap of frames before the secure channel",
         [overCap](test::ScriptedPeer& phone) { phone.sendFrame(overCap).expectEnd(); },
         fails(QuickShareError::protocolError("bad frame length 32769"))},
        {"wrong version",
         refusedInit(PhoneMessages::initCommittingTo(good.clientFinished, [](auto& m) { m.set_version(2); })),
         fails(unsupported)},
        {"no version",
         refusedInit(PhoneMessages::initCommittingTo(good.clientFinished, [](auto& m) { m.clear_version(); })),
         fails(unsupported)},
        {"random of 33 bytes",
         refusedInit(PhoneMessages::initCommittingTo(good.clientFinished,
                                                     [](auto& m) { m.set_random(std::string(33, 'c')); })),
         fails(unsupported)},
        {"curve25519 only",
         refusedInit(PhoneMessages::initCommittingTo(good.clientFinished, [](auto& m) {
             m.mutable_cipher_commitments(0)->set_handshake_cipher(securegcm::CURVE25519_SHA512);
         })),
         fails(unsupported)},
        {"alert instead of a client init", refusedInit(alert), fails(QuickShareError::protocolError("expected ClientInit"))},
        {"finish that is not the committed one", refusedFinish(good.clientInit, other), fails(mismatch)},
        {"missing commitment",
         refusedFinish(PhoneMessages::initCommittingTo(
                           good.clientFinished,
                           [](auto& m) { m.mutable_cipher_commitments(0)->clear_commitment(); }),
                       good.clientFinished),
         fails(mismatch)},
        {"committed message of another type", refusedFinish(PhoneMessages::initCommittingTo(alert), alert),
         fails(QuickShareError::protocolError("expected ClientFinished"))},
        {"key off the curve", refusedFinish(PhoneMessages::initCommittingTo(offCurveFinish), offCurveFinish),
         failsWith<InvalidKeyError>()},
        {"RSA key", refusedFinish(PhoneMessages::initCommittingTo(rsaFinish), rsaFinish),
         fails(QuickShareError::protocolError("unsupported public key"))},
        {"keep-alive instead of a response",
         [good](test::ScriptedPeer& phone) {
             phone.sendFrame(request())
                 .sendFrame(good.clientInit)
                 .expectAnyFrame("server init")
                 .sendFrame(good.clientFinished)
                 .sendFrame(offline(nc::V1Frame::KEEP_ALIVE))
                 .expectEnd();
         },
         fails(QuickShareError::protocolError("expected connection response"))},
        {"silence after the request", [](test::ScriptedPeer& phone) { phone.sendFrame(request()).expectEnd(); },
         fails(QuickShareError::timedOut())},
        {"silence before the response",
         [good](test::ScriptedPeer& phone) {
             phone.sendFrame(request())
                 .sendFrame(good.clientInit)
                 .expectAnyFrame("server init")
                 .sendFrame(good.clientFinished)
                 .expectEnd();
         },
         fails(QuickShareError::timedOut())},
    };
}

TEST_F(Ukey2HandshakeTest, ServerRefusesEachMisbehaviourAndCloses) {
    expectRefused(serverRefusals(), [](auto server) { return serverHandshakeWithTimeout(server, {200ms}); });
}

TEST_F(Ukey2HandshakeTest, ServerCompletesWhateverThePhonesResponseSays) {
    const PhoneMessages messages;
    phone.sendFrame(ukey2::connectionRequest("ABCD", "", 1, {}))
        .sendFrame(messages.clientInit)
        .expectAnyFrame("server init")
        .sendFrame(messages.clientFinished)
        .sendFrame(phoneResponse(2, nc::ConnectionResponseFrame::REJECT))
        .expectFrame(ukey2::connectionResponse(), "our response");
    ServerHandshakeResult result;
    ASSERT_FALSE(runServer(&result));
    EXPECT_EQ(result.peerName, "Android phone");
    EXPECT_EQ(result.pin.size(), 4u);
    EXPECT_FALSE(pair.a->isClosed());
}

TEST_F(Ukey2HandshakeTest, HandshakeFinishedInTimeStaysOpenPastItsLimit) {
    timeouts.handshake = 300ms;
    const PhoneMessages messages;
    phone.sendFrame(request())
        .sendFrame(messages.clientInit)
        .expectAnyFrame("server init")
        .sendFrame(messages.clientFinished)
        .sendFrame(phoneResponse(0, nc::ConnectionResponseFrame::ACCEPT))
        .expectAnyFrame("our response");
    ASSERT_FALSE(runServer());
    std::this_thread::sleep_for(400ms);
    EXPECT_FALSE(pair.a->isClosed());
}

}  // namespace
}  // namespace velmo
