// Exact bytes of the frames the engine writes and of records phones send: each
// case builds a message, encodes it to the stated bytes and decodes them back
// to an equal message. A wrong field number, type or packed flag shows here.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ProtoTestSupport.h"
#include "proto/Codec.h"
#include "proto/connections.pb.h"
#include "proto/securegcm.pb.h"
#include "proto/securemessage.pb.h"
#include "proto/sharing.pb.h"

namespace velmo::proto {
namespace {

namespace nc = location::nearby::connections;
namespace gcm = securegcm;
namespace sm = securemessage;
namespace ns = nearby::sharing::service::proto;
namespace nps = location::nearby::proto::sharing;
using UpgradePathInfo = nc::BandwidthUpgradeNegotiationFrame::UpgradePathInfo;

struct WireCase {
    std::string name;
    std::string hex;
    std::function<Bytes()> encodeBuilt;
    std::function<bool(ByteView)> decodesToBuilt;
};

std::ostream& operator<<(std::ostream& out, const WireCase& c) { return out << c.name; }

template <class M>
WireCase wire(std::string name, std::string hex, std::function<void(M&)> fill) {
    return {std::move(name), std::move(hex),
            [fill] {
                M message;
                fill(message);
                return encode(message);
            },
            [fill](ByteView bytes) {
                M message;
                fill(message);
                return equal(decode<M>(bytes), message);
            }};
}

constexpr const char* kMinusOne = "FF FF FF FF FF FF FF FF FF 01";

std::string withMinusOne(const std::string& before, const std::string& after = "") {
    return before + " " + kMinusOne + (after.empty() ? "" : " " + after);
}

std::vector<WireCase> connectionCases() {
    return {
        wire<nc::OfflineFrame>("EngineKeepAlive", "08 01 12 06 08 05 32 02 08 00",
                               [](auto& f) {
                                   f.set_version(nc::OfflineFrame::V1);
                                   f.mutable_v1()->set_type(nc::V1Frame::KEEP_ALIVE);
                                   f.mutable_v1()->mutable_keep_alive()->set_ack(false);
                               }),
        wire<nc::OfflineFrame>("KeepAliveWithEmptySubFrame", "08 01 12 04 08 05 32 00",
                               [](auto& f) {
                                   f.set_version(nc::OfflineFrame::V1);
                                   f.mutable_v1()->set_type(nc::V1Frame::KEEP_ALIVE);
                                   f.mutable_v1()->mutable_keep_alive();
                               }),
        wire<nc::OfflineFrame>("EngineDisconnection", "08 01 12 02 08 06",
                               [](auto& f) {
                                   f.set_version(nc::OfflineFrame::V1);
                                   f.mutable_v1()->set_type(nc::V1Frame::DISCONNECTION);
                               }),
        wire<nc::V1Frame>("SubFramesInFieldOrder", "08 03 12 00 22 00",
                          [](auto& f) {
                              f.set_type(nc::V1Frame::PAYLOAD_TRANSFER);
                              f.mutable_payload_transfer();
                              f.mutable_connection_request();
                          }),
        wire<nc::V1Frame>("LastSubFrameIsField13", "08 0C 6A 00",
                          [](auto& f) {
                              f.set_type(nc::V1Frame::BANDWIDTH_UPGRADE_RETRY);
                              f.mutable_bandwidth_upgrade_retry();
                          }),
        wire<nc::ConnectionRequestFrame>("RequestMediumsBetweenNonceAndInfo", "20 01 28 05 32 01 07",
                                         [](auto& r) {
                                             r.set_nonce(1);
                                             r.add_mediums(nc::ConnectionRequestFrame::WIFI_LAN);
                                             r.set_endpoint_info(std::string("\x07"));
                                         }),
        wire<nc::ConnectionRequestFrame>("RequestTrailingFields", "62 00 70 01 7A 00",
                                         [](auto& r) {
                                             r.mutable_connections_device();
                                             r.set_connection_mode(nc::ConnectionRequestFrame::INSTANT);
                                             r.mutable_location_hint();
                                         }),
        wire<nc::ConnectionResponseFrame>("ResponseAsApple", "08 00 18 01 22 02 08 04",
                                          [](auto& r) {
                                              r.set_status(0);
                                              r.set_response(nc::ConnectionResponseFrame::ACCEPT);
                                              r.mutable_os_info()->set_type(nc::OsInfo::APPLE);
                                          }),
        wire<nc::OfflineFrame>("ResponseAsLinux", "08 01 12 0C 08 02 1A 08 08 00 18 01 22 02 08 64",
                               [](auto& f) {
                                   f.set_version(nc::OfflineFrame::V1);
                                   auto* v1 = f.mutable_v1();
                                   v1->set_type(nc::V1Frame::CONNECTION_RESPONSE);
                                   auto* r = v1->mutable_connection_response();
                                   r->set_status(0);
                                   r->set_response(nc::ConnectionResponseFrame::ACCEPT);
                                   r->mutable_os_info()->set_type(nc::OsInfo::LINUX);
                               }),
        wire<nc::ConnectionResponseFrame>("ResponseLastField", "52 01 61",
                                          [](auto& r) { r.set_wifi_direct_device_name("a"); }),
        wire<nc::PayloadTransferFrame::PayloadChunk>("PayloadChunk", "08 01 10 05 1A 03 61 62 63",
                                                     [](auto& c) {
                                                         c.set_flags(1);
                                                         c.set_offset(5);
                                                         c.set_body("abc");
                                                     }),
        wire<nc::PayloadTransferFrame::PayloadChunk>("NegativeOffset", withMinusOne("10"),
                                                     [](auto& c) { c.set_offset(-1); }),
        wire<nc::PayloadTransferFrame>("EmptyPayloadHeader", "12 00",
                                       [](auto& f) { f.mutable_payload_header(); }),
        wire<nc::PayloadTransferFrame>("DataFrame", "08 01 12 06 08 09 10 01 18 03 1A 00",
                                       [](auto& f) {
                                           f.set_packet_type(nc::PayloadTransferFrame::DATA);
                                           auto* h = f.mutable_payload_header();
                                           h->set_id(9);
                                           h->set_type(nc::PayloadTransferFrame::PayloadHeader::BYTES);
                                           h->set_total_size(3);
                                           f.mutable_payload_chunk();
                                       }),
        wire<nc::PayloadTransferFrame>("ControlCancel", "08 02 22 02 08 02",
                                       [](auto& f) {
                                           f.set_packet_type(nc::PayloadTransferFrame::CONTROL);
                                           f.mutable_control_message()->set_event(
                                               nc::PayloadTransferFrame::ControlMessage::PAYLOAD_CANCELED);
                                       }),
        wire<nc::ServiceAddress>("ServiceAddress", "0A 04 C0 A8 01 02 10 88 27",
                                 [](auto& a) {
                                     a.set_ip_address(std::string("\xC0\xA8\x01\x02", 4));
                                     a.set_port(5000);
                                 }),
        wire<nc::BandwidthUpgradeNegotiationFrame>("EmptyClientIntroductionAck", "22 00",
                                                   [](auto& f) { f.mutable_client_introduction_ack(); }),
        wire<nc::BandwidthUpgradeNegotiationFrame>("NegotiationAllFields", "08 07 12 00 1A 00 22 00 2A 00",
                                                   [](auto& f) {
                                                       f.set_event_type(
                                                           nc::BandwidthUpgradeNegotiationFrame::UPGRADE_PATH_REQUEST);
                                                       f.mutable_upgrade_path_info();
                                                       f.mutable_client_introduction();
                                                       f.mutable_client_introduction_ack();
                                                       f.mutable_safe_to_close_prior_channel();
                                                   }),
        wire<nc::BandwidthUpgradeNegotiationFrame::ClientIntroduction>(
            "ClientIntroduction", "0A 01 61 10 00 1A 01 62",
            [](auto& c) {
                c.set_endpoint_id("a");
                c.set_supports_disabling_encryption(false);
                c.set_last_endpoint_id("b");
            }),
        wire<nc::BandwidthUpgradeNegotiationFrame::SafeToClosePriorChannel>(
            "NegativeStaFrequency", withMinusOne("08"), [](auto& s) { s.set_sta_frequency(-1); }),
        wire<UpgradePathInfo::UpgradePathRequest>("PackedMediums", "0A 02 05 03",
                                                  [](auto& r) {
                                                      r.add_mediums(UpgradePathInfo::WIFI_LAN);
                                                      r.add_mediums(UpgradePathInfo::WIFI_HOTSPOT);
                                                  }),
        wire<UpgradePathInfo::UpgradePathRequest>("PackedWifiAwareR4", "0A 01 0E 12 00",
                                                  [](auto& r) {
                                                      r.add_mediums(UpgradePathInfo::WIFI_AWARE_R4);
                                                      r.mutable_medium_meta_data();
                                                  }),
        wire<UpgradePathInfo::WifiHotspotCredentials>("HotspotGatewayBeforeFrequency", "22 01 67 28 01 32 00 32 00",
                                                      [](auto& c) {
                                                          c.set_gateway("g");
                                                          c.set_frequency(1);
                                                          c.add_address_candidates();
                                                          c.add_address_candidates();
                                                      }),
        wire<UpgradePathInfo::WifiDirectCredentials>("DirectFrequencyBeforeGateway", "20 01 2A 01 67 32 00 4A 01 64",
                                                     [](auto& c) {
                                                         c.set_gateway("g");
                                                         c.set_frequency(1);
                                                         c.set_ip_v6_address("");
                                                         c.set_device_name("d");
                                                     }),
        wire<UpgradePathInfo::WifiLanSocket>("LanSocket", "0A 00 10 02 1A 00",
                                             [](auto& s) {
                                                 s.set_ip_address("");
                                                 s.set_wifi_port(2);
                                                 s.add_address_candidates();
                                             }),
        wire<UpgradePathInfo::WifiAwareR4Credentials>("AwareR4", "2A 00 30 01 38 02",
                                                      [](auto& c) {
                                                          c.set_ipv6_address("");
                                                          c.set_port(1);
                                                          c.set_pairing_flags(2);
                                                      }),
        wire<UpgradePathInfo>("UpgradePathInfoFields", "08 0E 38 00 42 00 48 01 52 00 5A 00 62 00",
                              [](auto& p) {
                                  p.set_medium(UpgradePathInfo::WIFI_AWARE_R4);
                                  p.set_supports_disabling_encryption(false);
                                  p.mutable_web_rtc_credentials();
                                  p.set_supports_client_introduction_ack(true);
                                  p.mutable_upgrade_path_request();
                                  p.mutable_awdl_credentials();
                                  p.mutable_wifi_aware_r4_credentials();
                              }),
        wire<nc::KeepAliveFrame>("KeepAliveAckFalse", "08 00", [](auto& k) { k.set_ack(false); }),
        wire<nc::KeepAliveFrame>("LargestSeqNum", "10 FF FF FF FF 0F", [](auto& k) { k.set_seq_num(4294967295u); }),
        wire<nc::DisconnectionFrame>("Disconnection", "08 00 10 01",
                                     [](auto& d) {
                                         d.set_request_safe_to_disconnect(false);
                                         d.set_ack_safe_to_disconnect(true);
                                     }),
        wire<nc::PairedKeyEncryptionFrame>("EmptySignedData", "0A 00", [](auto& f) { f.set_signed_data(""); }),
        wire<nc::AuthenticationMessageFrame>("AuthMessage", "0A 03 01 02 03",
                                             [](auto& f) { f.set_auth_message(std::string("\x01\x02\x03")); }),
        wire<nc::AuthenticationResultFrame>("NegativeResult", withMinusOne("08"), [](auto& f) { f.set_result(-1); }),
        wire<nc::BandwidthUpgradeRetryFrame>("RetryMediumsUnpacked", "08 05 08 02 10 01",
                                             [](auto& f) {
                                                 f.add_supported_medium(nc::BandwidthUpgradeRetryFrame::WIFI_LAN);
                                                 f.add_supported_medium(nc::BandwidthUpgradeRetryFrame::BLUETOOTH);
                                                 f.set_is_request(true);
                                             }),
        wire<nc::AutoResumeFrame>("AutoResume", withMinusOne("08 02 10", "18 03 20 04"),
                                  [](auto& f) {
                                      f.set_event_type(nc::AutoResumeFrame::PAYLOAD_RESUME_TRANSFER_ACK);
                                      f.set_pending_payload_id(-1);
                                      f.set_next_payload_chunk_index(3);
                                      f.set_version(4);
                                  }),
        wire<nc::AutoResumeFrame>("AutoResumeDefaultEventPresent", "08 00",
                                  [](auto& f) { f.set_event_type(nc::AutoResumeFrame::UNKNOWN_AUTO_RESUME_EVENT_TYPE); }),
        wire<nc::AutoReconnectFrame>("AutoReconnect", "0A 04 41 42 43 44 10 02 1A 00",
                                     [](auto& f) {
                                         f.set_endpoint_id("ABCD");
                                         f.set_event_type(nc::AutoReconnectFrame::CLIENT_INTRODUCTION_ACK);
                                         f.set_last_endpoint_id("");
                                     }),
        wire<nc::AvailableChannels>("ChannelsPacked", "0A 03 01 06 0B",
                                    [](auto& c) {
                                        for (int ch : {1, 6, 11}) c.add_channels(ch);
                                    }),
        wire<nc::WifiHotspotStaUsableChannels>("OtherChannelListPacked", "0A 02 24 28",
                                               [](auto& c) {
                                                   c.add_channels(36);
                                                   c.add_channels(40);
                                               }),
        wire<nc::MediumMetadata>("AuthTypesPacked", "6A 02 02 01",
                                 [](auto& m) {
                                     m.add_supported_wifi_direct_auth_types(nc::MediumMetadata::WIFI_DIRECT_WITH_PIN);
                                     m.add_supported_wifi_direct_auth_types(nc::MediumMetadata::WIFI_DIRECT_WITH_PASSWORD);
                                 }),
        wire<nc::MediumMetadata>("ApFrequencyFirst", "30 BC 28 6A 02 02 01",
                                 [](auto& m) {
                                     m.set_ap_frequency(5180);
                                     m.add_supported_wifi_direct_auth_types(nc::MediumMetadata::WIFI_DIRECT_WITH_PIN);
                                     m.add_supported_wifi_direct_auth_types(nc::MediumMetadata::WIFI_DIRECT_WITH_PASSWORD);
                                 }),
        wire<nc::MediumMetadata>("MetadataRecords", "08 01 20 00 3A 00 42 00 4A 00 52 00 5A 00 62 00",
                                 [](auto& m) {
                                     m.set_supports_5_ghz(true);
                                     m.set_supports_6_ghz(false);
                                     m.mutable_available_channels();
                                     m.mutable_wifi_direct_cli_usable_channels();
                                     m.mutable_wifi_lan_usable_channels();
                                     m.mutable_wifi_aware_usable_channels();
                                     m.mutable_wifi_hotspot_sta_usable_channels();
                                     m.mutable_medium_role();
                                 }),
        wire<nc::MediumRole>("RoleFlags", "08 01 40 00",
                             [](auto& r) {
                                 r.set_support_wifi_direct_group_owner(true);
                                 r.set_support_awdl_subscriber(false);
                             }),
        wire<nc::PresenceDevice>("PresenceDeviceId", withMinusOne("20"), [](auto& d) { d.set_device_id(-1); }),
        wire<nc::PresenceDevice>("PresenceDeviceLists", "30 04 42 01 05 4A 01 07 52 02 01 02",
                                 [](auto& d) {
                                     d.set_device_type(nc::PresenceDevice::LAPTOP);
                                     d.add_discovery_medium(nc::ConnectionRequestFrame::WIFI_LAN);
                                     d.add_actions(7);
                                     d.add_identity_type(1);
                                     d.add_identity_type(2);
                                 }),
        wire<nc::ConnectionsDevice>("ConnectionsDevice", "0A 01 61 10 01 1A 00 22 00",
                                    [](auto& d) {
                                        d.set_endpoint_id("a");
                                        d.set_endpoint_type(nc::CONNECTIONS_ENDPOINT);
                                        d.set_connectivity_info_list("");
                                        d.set_endpoint_info("");
                                    }),
        wire<nc::LocationHint>("LocationHint", "0A 02 55 53 10 02",
                               [](auto& h) {
                                   h.set_location("US");
                                   h.set_format(nc::LocationStandard::ISO_3166_1_ALPHA_2);
                               }),
        wire<nc::OsInfo>("OsApple", "08 04", [](auto& o) { o.set_type(nc::OsInfo::APPLE); }),
        wire<nc::OsInfo>("OsLinux", "08 64", [](auto& o) { o.set_type(nc::OsInfo::LINUX); }),
    };
}

std::vector<WireCase> secureChannelCases() {
    const std::string iv = "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F";
    return {
        wire<gcm::Ukey2Message>("Ukey2Envelope", "08 02 12 03 AA BB CC",
                                [](auto& m) {
                                    m.set_message_type(gcm::Ukey2Message::CLIENT_INIT);
                                    m.set_message_data(std::string("\xAA\xBB\xCC"));
                                }),
        wire<gcm::Ukey2Alert>("Alert", "08 66 12 01 78",
                              [](auto& a) {
                                  a.set_type(gcm::Ukey2Alert::BAD_HANDSHAKE_CIPHER);
                                  a.set_error_message("x");
                              }),
        wire<gcm::Ukey2ClientInit>("ClientInit", "08 01 12 00 1A 05 08 64 12 01 63 22 01 70",
                                   [](auto& c) {
                                       c.set_version(1);
                                       c.set_random("");
                                       auto* commitment = c.add_cipher_commitments();
                                       commitment->set_handshake_cipher(gcm::P256_SHA512);
                                       commitment->set_commitment("c");
                                       c.set_next_protocol("p");
                                   }),
        wire<gcm::Ukey2ServerInit>("ServerInit", "08 01 12 00 18 C8 01 22 01 6B",
                                   [](auto& s) {
                                       s.set_version(1);
                                       s.set_random("");
                                       s.set_handshake_cipher(gcm::CURVE25519_SHA512);
                                       s.set_public_key("k");
                                   }),
        wire<gcm::Ukey2ClientFinished>("ClientFinished", "0A 01 6B", [](auto& f) { f.set_public_key("k"); }),
        wire<gcm::DeviceToDeviceMessage>("DeviceToDevice", "0A 02 AB CD 10 01",
                                         [](auto& m) {
                                             m.set_message(std::string("\xAB\xCD"));
                                             m.set_sequence_number(1);
                                         }),
        wire<gcm::DeviceToDeviceMessage>("NegativeSequenceNotZigzag", withMinusOne("10"),
                                         [](auto& m) { m.set_sequence_number(-1); }),
        wire<gcm::InitiatorHello>("InitiatorHello", "0A 02 08 03 10 01",
                                  [](auto& h) {
                                      h.mutable_public_dh_key()->set_type(sm::DH2048_MODP);
                                      h.set_protocol_version(1);
                                  }),
        wire<gcm::SpakeHandshakeMessage>("Spake", "08 01 12 06 08 01 12 00 1A 00 1A 01 68 22 00",
                                         [](auto& s) {
                                             s.set_flow_number(1);
                                             auto* point = s.mutable_ec_point();
                                             point->set_curve(gcm::ED_25519);
                                             point->set_x("");
                                             point->set_y("");
                                             s.set_hash_value("h");
                                             s.set_payload("");
                                         }),
        wire<sm::Header>("EngineHeader", "08 01 10 02 2A 10 " + iv + " 32 04 08 0D 10 01",
                         [](auto& h) {
                             h.set_signature_scheme(sm::HMAC_SHA256);
                             h.set_encryption_scheme(sm::AES_256_CBC);
                             std::string bytes;
                             for (char i = 0; i < 16; ++i) bytes.push_back(i);
                             h.set_iv(bytes);
                             h.set_public_metadata(std::string("\x08\x0D\x10\x01"));
                         }),
        wire<sm::Header>("HeaderSchemesOnly", "08 02 10 01",
                         [](auto& h) {
                             h.set_signature_scheme(sm::ECDSA_P256_SHA256);
                             h.set_encryption_scheme(sm::NONE);
                         }),
        wire<sm::Header>("HeaderOtherFields", "08 03 10 02 1A 00 22 01 64 38 00",
                         [](auto& h) {
                             h.set_signature_scheme(sm::RSA2048_SHA256);
                             h.set_encryption_scheme(sm::AES_256_CBC);
                             h.set_verification_key_id("");
                             h.set_decryption_key_id("d");
                             h.set_associated_data_length(0);
                         }),
        wire<sm::HeaderAndBody>("HeaderAndBody", "0A 04 08 01 10 02 12 01 62",
                                [](auto& hb) {
                                    hb.mutable_header()->set_signature_scheme(sm::HMAC_SHA256);
                                    hb.mutable_header()->set_encryption_scheme(sm::AES_256_CBC);
                                    hb.set_body("b");
                                }),
        wire<sm::HeaderAndBodyInternal>("HeaderAndBodyInternal", "0A 01 68 12 00",
                                        [](auto& hb) {
                                            hb.set_header("h");
                                            hb.set_body("");
                                        }),
        wire<sm::SecureMessage>("SecureMessage", "0A 01 61 12 01 73",
                                [](auto& m) {
                                    m.set_header_and_body("a");
                                    m.set_signature("s");
                                }),
        wire<sm::GenericPublicKey>("GenericPublicKeyRecords", "08 02 12 04 0A 00 12 00 1A 04 0A 00 10 03 22 02 0A 00",
                                   [](auto& k) {
                                       k.set_type(sm::RSA2048);
                                       k.mutable_ec_p256_public_key()->set_x("");
                                       k.mutable_ec_p256_public_key()->set_y("");
                                       k.mutable_rsa2048_public_key()->set_n("");
                                       k.mutable_rsa2048_public_key()->set_e(3);
                                       k.mutable_dh2048_public_key()->set_y("");
                                   }),
        wire<gcm::GcmMetadata>("EngineMetadata", "08 0D 10 01",
                               [](auto& m) {
                                   m.set_type(gcm::DEVICE_TO_DEVICE_MESSAGE);
                                   m.set_version(1);
                               }),
        wire<gcm::GcmMetadata>("MetadataTypeOnly", "08 65", [](auto& m) { m.set_type(gcm::LOGIN_NOTIFICATION); }),
        wire<gcm::Tickle>("TickleFixed64", "09 01 00 00 00 00 00 00 00", [](auto& t) { t.set_expiry_time(1); }),
        wire<gcm::LoginNotificationInfo>("LoginNotification", "11 02 00 00 00 00 00 00 00 1A 00 22 00 2A 00 32 01 65",
                                         [](auto& l) {
                                             l.set_creation_time(2);
                                             l.set_email("");
                                             l.set_host("");
                                             l.set_source("");
                                             l.set_event_type("e");
                                         }),
        wire<gcm::GcmDeviceInfo>("DeviceInfoMinimal", "22 00", [](auto& d) { d.set_user_public_key(""); }),
        wire<gcm::GcmDeviceInfo>("DeviceInfoHighNumbers",
                                 "09 01 00 00 00 00 00 00 00 22 00 B0 01 7B C0 01 02 80 02 05 F2 12 00 "
                                 "D0 19 00 D8 19 03 D8 19 03 E0 19 08 C2 3E 00 CA 3E 01 74",
                                 [](auto& d) {
                                     d.set_android_device_id(1);
                                     d.set_user_public_key("");
                                     d.set_device_display_diagonal_mils(123);
                                     d.set_device_type(gcm::OSX);
                                     d.set_device_authzen_version(2);
                                     d.set_bluetooth_mac_address("");
                                     d.set_is_screenlock_state_flaky(false);
                                     d.add_supported_software_features(gcm::EASY_UNLOCK_HOST);
                                     d.add_supported_software_features(gcm::EASY_UNLOCK_HOST);
                                     d.add_enabled_software_features(gcm::SMS_CONNECT_CLIENT);
                                     d.set_enrollment_session_id("");
                                     d.set_oauth_token("t");
                                 }),
    };
}

std::vector<WireCase> sharingCases() {
    return {
        wire<ns::Frame>("SharingCancel", "08 01 12 02 08 06",
                        [](auto& f) {
                            f.set_version(ns::Frame::V1);
                            f.mutable_v1()->set_type(ns::V1Frame::CANCEL);
                        }),
        wire<ns::V1Frame>("SharingBodiesInOrder", "08 08 12 00 1A 00 22 00 2A 00 32 00 3A 00 42 00",
                          [](auto& f) {
                              f.set_type(ns::V1Frame::BINDINGS);
                              f.mutable_introduction();
                              f.mutable_connection_response();
                              f.mutable_paired_key_encryption();
                              f.mutable_paired_key_result();
                              f.mutable_certificate_info();
                              f.mutable_progress_update();
                              f.mutable_bindings();
                          }),
        wire<ns::ProgressUpdateFrame>("FloatProgress", "0D 00 00 00 3F 10 01",
                                      [](auto& p) {
                                          p.set_progress(0.5f);
                                          p.set_start_transfer(true);
                                      }),
        wire<ns::IntroductionFrame>("PreviewIdsUnpacked", "48 01 48 02",
                                    [](auto& i) {
                                        i.add_preview_payload_ids(1);
                                        i.add_preview_payload_ids(2);
                                    }),
        wire<ns::IntroductionFrame>("IntroductionFields", "0A 00 12 00 1A 00 22 00 2A 00 30 01 3A 00 40 0A 52 00 58 00 60 01",
                                    [](auto& i) {
                                        i.add_file_metadata();
                                        i.add_text_metadata();
                                        i.set_required_package("");
                                        i.add_wifi_credentials_metadata();
                                        i.add_app_metadata();
                                        i.set_start_transfer(true);
                                        i.add_stream_metadata();
                                        i.set_use_case(ns::IntroductionFrame::FILE_SYNC);
                                        i.set_transfer_id("");
                                        i.set_continuation(false);
                                        i.set_expect_more(true);
                                    }),
        wire<ns::FileMetadata>("FileMetadata", "0A 01 61 10 01 18 07 20 00 2A 00 30 02 3A 00 40 03 48 01",
                               [](auto& m) {
                                   m.set_name("a");
                                   m.set_type(ns::FileMetadata::IMAGE);
                                   m.set_payload_id(7);
                                   m.set_size(0);
                                   m.set_mime_type("");
                                   m.set_id(2);
                                   m.set_parent_folder("");
                                   m.set_attachment_hash(3);
                                   m.set_is_sensitive_content(true);
                               }),
        wire<ns::ConnectionResponseFrame>("SharingResponse", "08 03 1A 00",
                                          [](auto& r) {
                                              r.set_status(ns::ConnectionResponseFrame::NOT_ENOUGH_SPACE);
                                              r.add_stream_metadata();
                                          }),
        wire<ns::PairedKeyEncryptionFrame>("PairedKeyEncryption", "0A 00 12 01 73 1A 00 22 00 28 01",
                                           [](auto& f) {
                                               f.set_signed_data("");
                                               f.set_secret_id_hash("s");
                                               f.set_optional_signed_data("");
                                               f.set_qr_code_handshake_data("");
                                               f.set_supports_provisioning(true);
                                           }),
        wire<ns::PairedKeyResultFrame>("PairedKeyResult", "08 04 10 00",
                                       [](auto& f) {
                                           f.set_status(ns::PairedKeyResultFrame::SHOULD_PROVISION);
                                           f.set_os_type(nps::UNKNOWN_OS_TYPE);
                                       }),
        wire<ns::TextMetadata>("TextMetadataStartsAtTwo", "12 01 74 18 02 20 01 28 02 30 03 38 00 42 00",
                               [](auto& t) {
                                   t.set_text_title("t");
                                   t.set_type(ns::TextMetadata::URL);
                                   t.set_payload_id(1);
                                   t.set_size(2);
                                   t.set_id(3);
                                   t.set_is_sensitive_text(false);
                                   t.set_untrusted_preview_url("");
                               }),
        wire<ns::WifiCredentialsMetadata>("WifiCredentialsMetadata", "12 01 6E 18 04 20 01 28 02",
                                          [](auto& w) {
                                              w.set_ssid("n");
                                              w.set_security_type(ns::WifiCredentialsMetadata::SAE);
                                              w.set_payload_id(1);
                                              w.set_id(2);
                                          }),
        wire<ns::AppMetadata>("AppMetadataPacked", "0A 00 10 01 1A 03 05 AC 02 20 02 2A 01 61 2A 01 62 32 01 09 3A 00",
                              [](auto& a) {
                                  a.set_app_name("");
                                  a.set_size(1);
                                  a.add_payload_id(5);
                                  a.add_payload_id(300);
                                  a.set_id(2);
                                  a.add_file_name("a");
                                  a.add_file_name("b");
                                  a.add_file_size(9);
                                  a.set_package_name("");
                              }),
        wire<ns::StreamMetadata>("StreamMetadata", "0A 01 64 12 00 18 01 22 00",
                                 [](auto& s) {
                                     s.set_description("d");
                                     s.set_package_name("");
                                     s.set_payload_id(1);
                                     s.set_attributed_app_name("");
                                 }),
        wire<ns::AttachmentDetails>("AttachmentDetails", "08 05 12 00",
                                    [](auto& a) {
                                        a.set_type(ns::AttachmentDetails::STREAM);
                                        a.mutable_file_attachment_details();
                                    }),
        // Map entries are written sorted by key, each with key and value.
        wire<ns::FileAttachmentDetails>("Int64KeyedMap", withMinusOne("08 01 12 0D 08", "12 00 12 04 08 07 12 00"),
                                        [](auto& f) {
                                            f.set_receiver_existing_file_size(1);
                                            (*f.mutable_attachment_hash_payloads())[7];
                                            (*f.mutable_attachment_hash_payloads())[-1];
                                        }),
        wire<ns::PayloadsDetails>("PayloadsDetails", "0A 06 08 01 10 02 18 03 0A 00",
                                  [](auto& p) {
                                      auto* d = p.add_payload_details();
                                      d->set_id(1);
                                      d->set_creation_timestamp_millis(2);
                                      d->set_size(3);
                                      p.add_payload_details();
                                  }),
        wire<ns::CertificateInfoFrame>("Certificates", "0A 00 0A 00",
                                       [](auto& c) {
                                           c.add_public_certificate();
                                           c.add_public_certificate();
                                       }),
        wire<ns::PublicCertificate>("PublicCertificate", withMinusOne("0A 00 12 00 1A 00 20", "28 01 32 00 3A 00"),
                                    [](auto& c) {
                                        c.set_secret_id("");
                                        c.set_authenticity_key("");
                                        c.set_public_key("");
                                        c.set_start_time(-1);
                                        c.set_end_time(1);
                                        c.set_encrypted_metadata_bytes("");
                                        c.set_metadata_encryption_key_tag("");
                                    }),
        wire<ns::BindingFrame>("EmptyBindingRequest", "0A 00", [](auto& b) { b.mutable_binding_request(); }),
        wire<ns::BindingRequest>("BindingRequest", "0A 01 69 10 01 1A 00 1A 01 63",
                                 [](auto& r) {
                                     r.set_binding_id("i");
                                     r.set_type(ns::BindingRequest::FILESYNC);
                                     r.add_cert_ids("");
                                     r.add_cert_ids("c");
                                 }),
        wire<ns::BindingResponse>("BindingResponseTimestamp", "08 03 12 05 08 01 10 E8 07 1A 00",
                                  [](auto& r) {
                                      r.set_status(ns::BindingResponse::DECLINED);
                                      r.mutable_join_binding_time()->set_seconds(1);
                                      r.mutable_join_binding_time()->set_nanos(1000);
                                      r.add_cert_ids("");
                                  }),
        wire<ns::WifiCredentials>("WifiCredentials", "0A 01 70 10 01",
                                  [](auto& w) {
                                      w.set_password("p");
                                      w.set_hidden_ssid(true);
                                  }),
        wire<ns::StreamDetails>("StreamDetails", "0A 01 66",
                                [](auto& s) { s.set_input_stream_parcel_file_descriptor_bytes("f"); }),
    };
}

class WireFormat : public testing::TestWithParam<WireCase> {};

TEST_P(WireFormat, EncodesToExactBytesAndBack) {
    const WireCase& c = GetParam();
    EXPECT_EQ(hex(c.encodeBuilt()), hex(unhex(c.hex)));
    EXPECT_TRUE(c.decodesToBuilt(unhex(c.hex)));
}

std::string caseName(const testing::TestParamInfo<WireCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Connections, WireFormat, testing::ValuesIn(connectionCases()), caseName);
INSTANTIATE_TEST_SUITE_P(SecureChannel, WireFormat, testing::ValuesIn(secureChannelCases()), caseName);
INSTANTIATE_TEST_SUITE_P(Sharing, WireFormat, testing::ValuesIn(sharingCases()), caseName);

}  // namespace
}  // namespace velmo::proto
