// The protobuf records of the protocol's known answers decode and encode back to
// the very same bytes, and the engine's frames built field by field match them.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "ProtoTestSupport.h"
#include "proto/Codec.h"
#include "proto/connections.pb.h"
#include "proto/securegcm.pb.h"
#include "proto/securemessage.pb.h"

namespace velmo::proto {
namespace {

namespace nc = location::nearby::connections;
namespace gcm = securegcm;
namespace sm = securemessage;
using nlohmann::json;

const json& knownAnswers() {
    static const json answers = [] {
        std::ifstream in(VELMO_TESTDATA_DIR "/quickshare-kat.json");
        if (!in) throw std::runtime_error("cannot read quickshare-kat.json");
        return json::parse(in);
    }();
    return answers;
}

Bytes bytesAt(const json& record, const char* key) { return unhex(record.at(key).get<std::string>()); }

std::string textAt(const json& record, const char* key) {
    const Bytes bytes = bytesAt(record, key);
    return std::string(bytes.begin(), bytes.end());
}

// Decodes as M, checks that encoding gives the same bytes, returns the value.
template <class M>
M roundTrip(const Bytes& bytes, const std::string& what) {
    SCOPED_TRACE(what);
    M message = decode<M>(bytes);
    EXPECT_EQ(hex(encode(message)), hex(bytes));
    return message;
}

TEST(KnownAnswers, ConnectionRequest) {
    const json& request = knownAnswers().at("connection_request");
    roundTrip<nc::OfflineFrame>(bytesAt(request, "offline_frame"), "offline_frame");

    nc::OfflineFrame built;
    built.set_version(nc::OfflineFrame::V1);
    built.mutable_v1()->set_type(nc::V1Frame::CONNECTION_REQUEST);
    auto* frame = built.mutable_v1()->mutable_connection_request();
    frame->set_endpoint_id(request.at("endpoint_id").get<std::string>());
    frame->set_endpoint_name(request.at("endpoint_name").get<std::string>());
    frame->set_endpoint_info(textAt(request, "endpoint_info"));
    frame->set_nonce(request.at("nonce").get<std::int32_t>());
    ASSERT_EQ(request.at("mediums"), json::array({"WIFI_LAN"}));
    frame->add_mediums(nc::ConnectionRequestFrame::WIFI_LAN);
    EXPECT_EQ(hex(encode(built)), hex(bytesAt(request, "offline_frame")));
}

TEST(KnownAnswers, ConnectionResponse) {
    const json& response = knownAnswers().at("connection_response");
    roundTrip<nc::OfflineFrame>(bytesAt(response, "offline_frame"), "offline_frame");

    nc::OfflineFrame built;
    built.set_version(nc::OfflineFrame::V1);
    built.mutable_v1()->set_type(nc::V1Frame::CONNECTION_RESPONSE);
    auto* frame = built.mutable_v1()->mutable_connection_response();
    frame->set_status(response.at("status").get<int>());
    ASSERT_EQ(response.at("response"), "ACCEPT");
    frame->set_response(nc::ConnectionResponseFrame::ACCEPT);
    const auto os = enumFromNumber<nc::OsInfo::OsType>(response.at("os_type_number").get<int>());
    ASSERT_TRUE(os);
    frame->mutable_os_info()->set_type(*os);
    EXPECT_EQ(hex(encode(built)), hex(bytesAt(response, "offline_frame")));
}

TEST(KnownAnswers, HandshakeMessages) {
    const json& ukey2 = knownAnswers().at("ukey2");
    roundTrip<sm::GenericPublicKey>(bytesAt(ukey2, "client_public_key"), "client_public_key");
    roundTrip<sm::GenericPublicKey>(bytesAt(ukey2, "server_public_key"), "server_public_key");

    const auto init = roundTrip<gcm::Ukey2Message>(bytesAt(ukey2, "client_init_message"), "client_init_message");
    EXPECT_EQ(init.message_type(), gcm::Ukey2Message::CLIENT_INIT);
    const auto clientInit = roundTrip<gcm::Ukey2ClientInit>(toBytes(init.message_data()), "client init");
    EXPECT_EQ(clientInit.version(), 1);
    EXPECT_EQ(clientInit.random(), textAt(ukey2, "client_random"));
    EXPECT_EQ(clientInit.next_protocol(), ukey2.at("next_protocol").get<std::string>());
    ASSERT_EQ(clientInit.cipher_commitments_size(), 1);
    EXPECT_EQ(clientInit.cipher_commitments(0).handshake_cipher(), gcm::P256_SHA512);
    EXPECT_EQ(clientInit.cipher_commitments(0).commitment(), textAt(ukey2, "commitment"));

    const auto answer = roundTrip<gcm::Ukey2Message>(bytesAt(ukey2, "server_init_message"), "server_init_message");
    EXPECT_EQ(answer.message_type(), gcm::Ukey2Message::SERVER_INIT);
    const auto serverInit = roundTrip<gcm::Ukey2ServerInit>(toBytes(answer.message_data()), "server init");
    EXPECT_EQ(serverInit.random(), textAt(ukey2, "server_random"));
    EXPECT_EQ(serverInit.handshake_cipher(), gcm::P256_SHA512);
    EXPECT_EQ(serverInit.public_key(), textAt(ukey2, "server_public_key"));

    const auto finish = roundTrip<gcm::Ukey2Message>(bytesAt(ukey2, "client_finish_message"), "client_finish_message");
    EXPECT_EQ(finish.message_type(), gcm::Ukey2Message::CLIENT_FINISH);
    const auto finished = roundTrip<gcm::Ukey2ClientFinished>(toBytes(finish.message_data()), "client finished");
    EXPECT_EQ(finished.public_key(), textAt(ukey2, "client_public_key"));
}

TEST(KnownAnswers, PublicKeyRecords) {
    const json& coordinates = knownAnswers().at("coordinates");
    for (const char* group : {"encode", "decode"}) {
        for (const json& record : coordinates.at(group)) {
            const auto key = roundTrip<sm::GenericPublicKey>(bytesAt(record, "generic_public_key"),
                                                             record.at("case").get<std::string>());
            EXPECT_EQ(key.type(), sm::EC_P256);
            EXPECT_EQ(key.ec_p256_public_key().x(), textAt(record, "x_wire"));
            EXPECT_EQ(key.ec_p256_public_key().y(), textAt(record, "y_wire"));
        }
    }
}

TEST(KnownAnswers, SecureMessages) {
    const json& secure = knownAnswers().at("secure_message");
    roundTrip<nc::OfflineFrame>(bytesAt(secure, "offline_frame"), "offline_frame");
    roundTrip<gcm::GcmMetadata>(bytesAt(secure, "public_metadata"), "public_metadata");

    sm::Header engineHeader;
    engineHeader.set_signature_scheme(sm::HMAC_SHA256);
    engineHeader.set_encryption_scheme(sm::AES_256_CBC);
    engineHeader.set_iv(textAt(secure, "iv"));
    gcm::GcmMetadata metadata;
    metadata.set_type(gcm::DEVICE_TO_DEVICE_MESSAGE);
    metadata.set_version(1);
    const Bytes metadataBytes = encode(metadata);
    engineHeader.set_public_metadata(std::string(metadataBytes.begin(), metadataBytes.end()));

    for (const char* direction : {"client_to_server", "server_to_client"}) {
        SCOPED_TRACE(direction);
        const json& record = secure.at(direction);
        const auto d2d = roundTrip<gcm::DeviceToDeviceMessage>(bytesAt(record, "device_to_device_message"), "d2d");
        EXPECT_EQ(d2d.sequence_number(), secure.at("sequence_number").get<int>());
        EXPECT_EQ(d2d.message(), textAt(secure, "offline_frame"));

        roundTrip<sm::Header>(bytesAt(record, "header"), "header");
        EXPECT_EQ(hex(encode(engineHeader)), hex(bytesAt(record, "header")));
        const auto headerAndBody = roundTrip<sm::HeaderAndBody>(bytesAt(record, "header_and_body"), "header_and_body");
        EXPECT_EQ(headerAndBody.body(), textAt(record, "body"));
        EXPECT_TRUE(equal(headerAndBody.header(), engineHeader));

        const auto message = roundTrip<sm::SecureMessage>(bytesAt(record, "secure_message"), "secure_message");
        EXPECT_EQ(message.header_and_body(), textAt(record, "header_and_body"));
        EXPECT_EQ(message.signature(), textAt(record, "signature"));
    }
}

}  // namespace
}  // namespace velmo::proto
