#include <gtest/gtest.h>

#include "platform/EcKey.h"
#include "quickshare/CryptoHelpers.h"
#include "quickshare/KeySchedule.h"
#include "support/KnownAnswers.h"
#include "support/ScriptedPeer.h"

namespace velmo {
namespace {

using test::hex;
using test::hexField;
using test::knownAnswers;

class KeyScheduleTest : public ::testing::Test {
protected:
    const nlohmann::json& kat = knownAnswers("ukey2");
    KeySchedule schedule = KeySchedule::derive(hexField(kat, "shared_secret"),
                                               hexField(kat, "client_init_message"),
                                               hexField(kat, "server_init_message"));
    std::string expect(const char* key) { return kat.at(key).get<std::string>(); }
};

TEST_F(KeyScheduleTest, SharedSecretOfTheKnownKeys) {
    const auto client = P256PrivateKey::fromScalar(hexField(kat, "client_private_key"));
    const auto server = P256PrivateKey::fromScalar(hexField(kat, "server_private_key"));
    EXPECT_EQ(hex(client.sharedSecret(server.publicKey())), expect("shared_secret"));
    EXPECT_EQ(hex(server.sharedSecret(client.publicKey())), expect("shared_secret"));
}

TEST_F(KeyScheduleTest, EveryStepMatchesTheKnownAnswers) {
    EXPECT_EQ(hex(schedule.dhs), expect("dhs"));
    EXPECT_EQ(hex(schedule.authString), expect("auth_string"));
    EXPECT_EQ(hex(schedule.nextProtocolSecret), expect("next_protocol_secret"));
    EXPECT_EQ(schedule.pin, expect("pin"));
    EXPECT_EQ(hex(schedule.clientKey), expect("d2d_client_key"));
    EXPECT_EQ(hex(schedule.serverKey), expect("d2d_server_key"));
}

TEST_F(KeyScheduleTest, TrafficKeysOfBothRoles) {
    const SessionKeys client = schedule.sessionKeys(true);
    const SessionKeys server = schedule.sessionKeys(false);
    EXPECT_EQ(hex(client.encryptKey), expect("client_to_server_encrypt_key"));
    EXPECT_EQ(hex(client.sendHmacKey), expect("client_to_server_hmac_key"));
    EXPECT_EQ(hex(client.decryptKey), expect("server_to_client_encrypt_key"));
    EXPECT_EQ(hex(client.receiveHmacKey), expect("server_to_client_hmac_key"));
    // The server's keys are the client's, mirrored.
    EXPECT_EQ(server.encryptKey, client.decryptKey);
    EXPECT_EQ(server.sendHmacKey, client.receiveHmacKey);
    EXPECT_EQ(server.decryptKey, client.encryptKey);
    EXPECT_EQ(server.receiveHmacKey, client.sendHmacKey);
    EXPECT_EQ(server.pin, client.pin);
    EXPECT_EQ(server.authString, client.authString);
    EXPECT_EQ(client.pin, pinCode(client.authString));
}

TEST_F(KeyScheduleTest, EveryInputByteCounts) {
    Bytes clientInit = hexField(kat, "client_init_message");
    clientInit.back() ^= 1;
    const auto other = KeySchedule::derive(hexField(kat, "shared_secret"), clientInit,
                                           hexField(kat, "server_init_message"));
    EXPECT_NE(other.authString, schedule.authString);
    EXPECT_NE(other.clientKey, schedule.clientKey);
}

}  // namespace
}  // namespace velmo
