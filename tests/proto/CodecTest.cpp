// Decoding and encoding rules every message shares: unknown data kept in order,
// closed enumerations, complete mode, UTF-8, nesting limit, oneofs, maps, equality.
#include <gtest/gtest.h>

#include <string>

#include "ProtoTestSupport.h"
#include "proto/Codec.h"
#include "proto/PackedEnumUnknowns.h"
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

// Decodes the bytes as M and encodes the result again.
template <class M>
std::string reencoded(const std::string& hexBytes) {
    return hex(encode(decode<M>(unhex(hexBytes))));
}

TEST(Codec, EmptyInputDecodesToEmptyFrame) {
    const auto frame = decode<nc::OfflineFrame>({});
    EXPECT_FALSE(frame.has_version());
    EXPECT_EQ(frame.v1().type(), nc::V1Frame::UNKNOWN_FRAME_TYPE);
    EXPECT_FALSE(frame.v1().has_connection_request());
    EXPECT_FALSE(frame.has_v1());
    EXPECT_TRUE(encode(frame).empty());
    EXPECT_TRUE(equal(frame, nc::OfflineFrame()));
}

TEST(Codec, UnknownFieldsFollowKnownOnesInArrivalOrder) {
    // Field 20 (varint), field 1, field 21 (length-delimited), field 30 (fixed32).
    EXPECT_EQ(reencoded<nc::V1Frame>("A0 01 07 08 05 AA 01 01 FF F5 01 01 02 03 04"),
              "08 05 A0 01 07 AA 01 01 FF F5 01 01 02 03 04");
    // Field 3 of a disconnection frame is unknown there.
    EXPECT_EQ(reencoded<nc::DisconnectionFrame>("18 01 10 01 08 00"), "08 00 10 01 18 01");
    // Field 1 of text metadata is not declared.
    EXPECT_EQ(reencoded<ns::TextMetadata>("0A 01 FF 12 01 74"), "12 01 74 0A 01 FF");
    EXPECT_EQ(reencoded<gcm::LoginNotificationInfo>("08 01 32 00 11 00 00 00 00 00 00 00 00"),
              "11 00 00 00 00 00 00 00 00 32 00 08 01");
    // A field-less record keeps everything it receives.
    EXPECT_EQ(reencoded<nc::BandwidthUpgradeNegotiationFrame::ClientIntroductionAck>("08 01 12 01 61"),
              "08 01 12 01 61");
}

TEST(Codec, UnknownFieldsTakePartInEquality) {
    const auto plain = decode<nc::V1Frame>(unhex("08 05"));
    const auto extra = decode<nc::V1Frame>(unhex("08 05 A0 01 07"));
    EXPECT_FALSE(equal(plain, extra));
    EXPECT_TRUE(equal(extra, decode<nc::V1Frame>(unhex("A0 01 07 08 05"))));
}

TEST(Codec, UndeclaredEnumNumbersStayUnknown) {
    const auto frame = decode<nc::V1Frame>(unhex("08 63 32 00"));
    EXPECT_FALSE(frame.has_type());
    EXPECT_EQ(frame.type(), nc::V1Frame::UNKNOWN_FRAME_TYPE);
    EXPECT_EQ(hex(encode(frame)), "32 00 08 63");

    // An undeclared number never replaces a declared one read earlier.
    const auto os = decode<nc::OsInfo>(unhex("08 04 08 05"));
    EXPECT_EQ(os.type(), nc::OsInfo::APPLE);
    EXPECT_EQ(hex(encode(os)), "08 04 08 05");

    EXPECT_FALSE(decode<nc::ConnectionResponseFrame>(unhex("18 03")).has_response());
    EXPECT_FALSE(decode<gcm::Ukey2Alert>(unhex("08 00")).has_type());
    EXPECT_FALSE(decode<gcm::Ukey2Message>(unhex("08 07")).has_message_type());
    EXPECT_FALSE(decode<nc::PresenceDevice>(unhex("30 07")).has_device_type());
    EXPECT_FALSE(decode<ns::WifiCredentialsMetadata>(unhex("18 07")).has_security_type());
    EXPECT_FALSE(decode<ns::IntroductionFrame>(unhex("40 03")).has_use_case());
    EXPECT_FALSE(decode<UpgradePathInfo>(unhex("08 0A")).has_medium());
    EXPECT_EQ(reencoded<nc::PayloadTransferFrame::PayloadHeader>("10 07 08 01"), "08 01 10 07");
}

TEST(Codec, OsTypeNumbersAreCutToThirtyTwoBits) {
    // 2^32 + 5 reads as 5; the ten-byte -1 is no case and stays unknown.
    EXPECT_EQ(decode<ns::PairedKeyResultFrame>(unhex("10 85 80 80 80 10")).os_type(), nps::MACOS);
    const auto minusOne = decode<ns::PairedKeyResultFrame>(unhex("10 FF FF FF FF FF FF FF FF FF 01"));
    EXPECT_FALSE(minusOne.has_os_type());
    EXPECT_EQ(hex(encode(minusOne)), "10 FF FF FF FF FF FF FF FF FF 01");
}

TEST(Codec, UndeclaredNumbersInRepeatedEnums) {
    // Unpacked: the element goes to the unknown fields as it came.
    const auto request = decode<nc::ConnectionRequestFrame>(unhex("28 14 28 05"));
    ASSERT_EQ(request.mediums_size(), 1);
    EXPECT_EQ(request.mediums(0), nc::ConnectionRequestFrame::WIFI_LAN);
    EXPECT_EQ(hex(encode(request)), "28 05 28 14");

    // The undeclared numbers of one packed run stay together as one packed unknown field,
    // after the known fields; the run's members go to the list.
    const auto path = decode<UpgradePathInfo::UpgradePathRequest>(unhex("0A 02 05 0A"));
    ASSERT_EQ(path.mediums_size(), 1);
    EXPECT_EQ(path.mediums(0), UpgradePathInfo::WIFI_LAN);
    EXPECT_EQ(path.unknown_fields().field(0).length_delimited(), "\x0A");
    EXPECT_EQ(hex(encode(path)), "0A 01 05 0A 01 0A");
    EXPECT_TRUE(equal(decode<UpgradePathInfo::UpgradePathRequest>(encode(path)), path));
    EXPECT_EQ(reencoded<UpgradePathInfo::UpgradePathRequest>("08 05 08 0A"), "0A 01 05 08 0A");
    // One packed field per run, each in arrival order, beside the unpacked ones.
    EXPECT_EQ(reencoded<UpgradePathInfo::UpgradePathRequest>("0A 04 0F 05 8A 01 08 10 0A 02 0A 03"),
              "0A 02 05 03 0A 03 0F 8A 01 08 10 0A 01 0A");

    const auto retry = decode<nc::BandwidthUpgradeRetryFrame>(unhex("0A 02 05 01"));
    ASSERT_EQ(retry.supported_medium_size(), 1);
    EXPECT_EQ(hex(encode(retry)), "08 05 0A 01 01");
    // The same inside a frame, and inside a singular message read in two pieces.
    EXPECT_EQ(reencoded<nc::V1Frame>("08 0C 6A 04 0A 02 05 01"), "08 0C 6A 05 08 05 0A 01 01");
    EXPECT_EQ(reencoded<nc::V1Frame>("6A 03 0A 01 01 6A 04 0A 02 02 0F"), "6A 08 08 02 0A 01 01 0A 01 0F");
    // A oneof member replaced by another, then read afresh, keeps only its new run.
    EXPECT_EQ(reencoded<nc::ConnectionRequestFrame>("6A 04 42 02 05 63 62 00 6A 04 42 02 14 02"),
              "6A 06 42 01 02 42 01 14");
    EXPECT_EQ(reencoded<nc::BandwidthUpgradeRetryFrame>("08 01"), "08 01");

    // More unknown fields than any sender writes stay as protobuf keeps them, one varint
    // field per number, so a hostile message costs no more than reading it.
    Bytes many{0x0A, 0x81, 0x20};  // one run of 4,097 undeclared numbers
    many.resize(many.size() + 4097, 0x0A);
    const auto flood = decode<UpgradePathInfo::UpgradePathRequest>(many);
    EXPECT_EQ(flood.unknown_fields().field_count(), 4097);
    const Bytes unpacked = encode(flood);
    EXPECT_EQ(unpacked.size(), 2u * 4097);
    EXPECT_EQ(encode(decode<UpgradePathInfo::UpgradePathRequest>(unpacked)), unpacked);
}

// The regrouping follows the bytes only where protobuf's unknown fields line up with them
// to the end; fields it cannot account for are left as protobuf keeps them.
TEST(Codec, RegroupingLeavesFieldsThatDoNotLineUpAlone) {
    struct Case {
        std::string parsed;  // what protobuf read
        std::string bytes;   // what the regrouping is told it read
    };
    for (const auto& c : std::vector<Case>{{"08 0A 08 0A", "0A 01 0A"},           // a number too many
                                           {"08 0A", "0A 01 0A 0A 01 0A"}}) {   // a run too many
        const Bytes parsed = unhex(c.parsed);
        UpgradePathInfo::UpgradePathRequest path;
        ASSERT_TRUE(path.ParseFromArray(parsed.data(), static_cast<int>(parsed.size())));
        PackedEnumUnknowns::gather(path, unhex(c.bytes));
        EXPECT_EQ(hex(encode(path)), c.parsed) << c.bytes;
    }
}

TEST(Codec, PackedAndUnpackedListsReadAlike) {
    EXPECT_EQ(reencoded<nc::BandwidthUpgradeRetryFrame>("0A 02 05 02"), "08 05 08 02");
    EXPECT_EQ(reencoded<nc::ConnectionRequestFrame>("2A 02 05 02"), "28 05 28 02");
    EXPECT_EQ(reencoded<nc::AvailableChannels>("08 01 08 06"), "0A 02 01 06");
    EXPECT_EQ(reencoded<ns::IntroductionFrame>("4A 02 01 02"), "48 01 48 02");
    EXPECT_EQ(reencoded<ns::AppMetadata>("18 05 1A 01 07 18 09"), "1A 03 05 07 09");
    EXPECT_EQ(reencoded<gcm::GcmDeviceInfo>("22 00 DA 19 02 03 03"), "22 00 D8 19 03 D8 19 03");
}

TEST(Codec, MismatchedWireTypesStayUnknown) {
    const auto introduction =
        decode<nc::BandwidthUpgradeNegotiationFrame::ClientIntroduction>(unhex("08 05"));
    EXPECT_FALSE(introduction.has_endpoint_id());
    EXPECT_EQ(hex(encode(introduction)), "08 05");

    EXPECT_FALSE(decode<nc::BandwidthUpgradeNegotiationFrame>(unhex("0A 00")).has_event_type());
    EXPECT_EQ(reencoded<nc::BandwidthUpgradeNegotiationFrame>("0A 00"), "0A 00");

    const auto d2d = decode<gcm::DeviceToDeviceMessage>(unhex("12 01 00 0A 00"));
    EXPECT_FALSE(d2d.has_sequence_number());
    EXPECT_EQ(hex(encode(d2d)), "0A 00 12 01 00");

    // A message field sent as a varint does not become present.
    EXPECT_FALSE(decode<nc::OfflineFrame>(unhex("10 01")).has_v1());
}

TEST(Codec, RepeatedFieldsMergeOrReplace) {
    // Scalars: the last occurrence wins.
    EXPECT_EQ(decode<nc::PairedKeyEncryptionFrame>(unhex("0A 01 AA 0A 01 BB")).signed_data(), "\xBB");
    EXPECT_FALSE(decode<nc::DisconnectionFrame>(unhex("08 01 08 00")).request_safe_to_disconnect());
    EXPECT_TRUE(decode<nc::DisconnectionFrame>(unhex("08 01 08 00")).has_request_safe_to_disconnect());
    // Message fields: occurrences are merged, later scalars winning.
    const auto frame = decode<nc::OfflineFrame>(unhex("12 02 08 05 12 02 32 00 12 02 08 06"));
    EXPECT_EQ(frame.v1().type(), nc::V1Frame::DISCONNECTION);
    EXPECT_TRUE(frame.v1().has_keep_alive());
}

TEST(Codec, OneofMembersReplaceEachOtherAndMerge) {
    const auto request = decode<nc::ConnectionRequestFrame>(unhex("62 00 6A 00"));
    EXPECT_EQ(request.device_case(), nc::ConnectionRequestFrame::kPresenceDevice);
    EXPECT_EQ(hex(encode(request)), "6A 00");

    const auto merged = decode<nc::ConnectionRequestFrame>(unhex("6A 03 0A 01 61 6A 03 2A 01 62"));
    EXPECT_EQ(merged.presence_device().endpoint_id(), "a");
    EXPECT_EQ(merged.presence_device().device_name(), "b");

    EXPECT_EQ(decode<ns::BindingFrame>(unhex("0A 00 12 00")).content_case(), ns::BindingFrame::kBindingResponse);
    const auto binding = decode<ns::BindingFrame>(unhex("0A 06 0A 01 61 1A 01 31 0A 06 0A 01 62 1A 01 32"));
    ASSERT_EQ(binding.content_case(), ns::BindingFrame::kBindingRequest);
    EXPECT_EQ(binding.binding_request().binding_id(), "b");
    ASSERT_EQ(binding.binding_request().cert_ids_size(), 2);
    EXPECT_EQ(binding.binding_request().cert_ids(0), "1");
    EXPECT_EQ(binding.binding_request().cert_ids(1), "2");

    ns::BindingFrame replaced = binding;
    replaced.mutable_binding_response()->set_status(ns::BindingResponse::SUCCESS);
    EXPECT_FALSE(replaced.has_binding_request());
    EXPECT_FALSE(replaced.binding_request().has_binding_id());
    EXPECT_EQ(hex(encode(replaced)), "12 02 08 01");
}

TEST(Codec, Int64KeyedMaps) {
    // Two entries with key 1: the later value wins.
    const auto response = decode<ns::ConnectionResponseFrame>(unhex("12 06 08 01 12 02 08 01 12 06 08 01 12 02 08 02"));
    ASSERT_EQ(response.attachment_details_size(), 1);
    EXPECT_EQ(response.attachment_details().at(1).type(), ns::AttachmentDetails::TEXT);

    // Insertion order does not matter for bytes, equality or hash.
    ns::FileAttachmentDetails a, b;
    (*a.mutable_attachment_hash_payloads())[7].add_payload_details()->set_id(1);
    (*a.mutable_attachment_hash_payloads())[-1];
    (*b.mutable_attachment_hash_payloads())[-1];
    (*b.mutable_attachment_hash_payloads())[7].add_payload_details()->set_id(1);
    EXPECT_EQ(hex(encode(a)), hex(encode(b)));
    EXPECT_TRUE(equal(a, b));
    EXPECT_EQ(hash(a), hash(b));
    // Entries arriving in any order decode to the same map.
    EXPECT_TRUE(equal(decode<ns::FileAttachmentDetails>(unhex("12 06 08 07 12 02 0A 00 12 02 08 02")),
                      decode<ns::FileAttachmentDetails>(unhex("12 02 08 02 12 06 08 07 12 02 0A 00"))));
}

TEST(Codec, Timestamp) {
    const auto response = decode<ns::BindingResponse>(unhex("12 0A 08 80 E2 CF AA 06 10 C0 84 3D"));
    EXPECT_EQ(response.join_binding_time().seconds(), 1'700'000'000);
    EXPECT_EQ(response.join_binding_time().nanos(), 1'000'000);
    EXPECT_EQ(hex(encode(response)), "12 0A 08 80 E2 CF AA 06 10 C0 84 3D");
    // Unknown fields of the nested timestamp survive too.
    EXPECT_EQ(reencoded<ns::BindingResponse>("12 04 18 01 08 01"), "12 04 08 01 18 01");
}

TEST(Codec, PresentDefaultsDifferFromAbsent) {
    ns::FileMetadata absent, zero;
    zero.set_size(0);
    EXPECT_FALSE(equal(absent, zero));
    EXPECT_EQ(hex(encode(zero)), "20 00");
    zero.clear_size();
    EXPECT_TRUE(equal(absent, zero));

    nc::OsInfo unknown;
    unknown.set_type(nc::OsInfo::UNKNOWN_OS_TYPE);
    EXPECT_FALSE(equal(unknown, nc::OsInfo()));
}

TEST(Codec, EqualityNeedsTheSameType) {
    EXPECT_FALSE(equal(gcm::InitiatorHello(), gcm::ResponderHello()));
    EXPECT_FALSE(equal(nc::PairedKeyEncryptionFrame(), nc::AuthenticationMessageFrame()));
    EXPECT_NE(hash(gcm::InitiatorHello()), hash(gcm::ResponderHello()));
    EXPECT_TRUE(equal(nc::OfflineFrame(), nc::OfflineFrame()));
}

TEST(Codec, CopiesAreIndependent) {
    const auto original = decode<nc::V1Frame>(unhex("08 05"));
    nc::V1Frame copy = original;
    copy.set_type(nc::V1Frame::DISCONNECTION);
    EXPECT_EQ(original.type(), nc::V1Frame::KEEP_ALIVE);
    EXPECT_FALSE(equal(original, copy));
}

TEST(Codec, AbsentFieldsReadFirstDeclaredCase) {
    EXPECT_EQ(gcm::Ukey2Alert().type(), gcm::Ukey2Alert::BAD_MESSAGE);
    EXPECT_EQ(sm::HeaderAndBody().header().signature_scheme(), sm::HMAC_SHA256);
    EXPECT_EQ(sm::HeaderAndBody().header().encryption_scheme(), sm::NONE);
    EXPECT_EQ(sm::GenericPublicKey().type(), sm::EC_P256);
    EXPECT_EQ(gcm::EcPoint().curve(), gcm::ED_25519);
    EXPECT_EQ(gcm::GcmMetadata().type(), gcm::ENROLLMENT);
}

TEST(Codec, MalformedInputIsOneError) {
    for (const char* input : {
             "08",                 // truncated varint
             "0A 05 01",           // length past the end
             "0C",                 // end of a group that never started
             "0E 00",              // wire type 6
             "00",                 // field number 0
             "08 FF FF FF FF FF FF FF FF FF FF 01",  // varint of eleven bytes
             "A3 01 08 01",        // group without its end
         }) {
        SCOPED_TRACE(input);
        EXPECT_THROW(decode<nc::OfflineFrame>(unhex(input)), DecodingError);
    }
}

TEST(Codec, RequiredFieldsAreCheckedAtEveryDepth) {
    for (auto [name, check] : std::initializer_list<std::pair<const char*, void (*)()>>{
             {"SecureMessage without signature", [] { decode<sm::SecureMessage>(unhex("0A 00")); }},
             {"header without encryption scheme", [] { decode<sm::HeaderAndBody>(unhex("0A 02 08 01 12 00")); }},
             {"header and body without header", [] { decode<sm::HeaderAndBody>(unhex("12 00")); }},
             {"key record without y", [] { decode<sm::GenericPublicKey>(unhex("08 01 12 02 0A 00")); }},
             {"key record without type", [] { decode<sm::GenericPublicKey>(unhex("12 04 0A 00 12 00")); }},
             {"RSA key without modulus", [] { decode<sm::GenericPublicKey>(unhex("08 02 1A 02 10 03")); }},
             {"hello holding incomplete key", [] { decode<gcm::InitiatorHello>(unhex("0A 00")); }},
             {"point without curve", [] { decode<gcm::SpakeHandshakeMessage>(unhex("12 04 12 00 1A 00")); }},
             {"point with undeclared curve", [] { decode<gcm::EcPoint>(unhex("08 02 12 00 1A 00")); }},
             {"metadata with undeclared type", [] { decode<gcm::GcmMetadata>(unhex("08 09")); }},
             {"scheme with undeclared number", [] { decode<sm::Header>(unhex("08 04 10 02")); }},
             {"device info without key", [] { decode<gcm::GcmDeviceInfo>(unhex("3A 00")); }},
         }) {
        SCOPED_TRACE(name);
        EXPECT_THROW(check(), DecodingError);
    }
    EXPECT_NO_THROW(decode<gcm::SpakeHandshakeMessage>(unhex("08 01")));
    EXPECT_NO_THROW(decode<sm::GenericPublicKey>(unhex("08 01")));
    EXPECT_NO_THROW(decode<sm::SimpleRsaPublicKey>(unhex("0A 00")));
}

TEST(Codec, IncompleteMessagesAreNotEncoded) {
    gcm::GcmMetadata versionOnly;
    versionOnly.set_version(1);
    EXPECT_THROW(encode(versionOnly), EncodingError);

    gcm::SpakeHandshakeMessage spake;
    spake.mutable_ec_point()->set_x("x");
    spake.mutable_ec_point()->set_y("y");
    EXPECT_THROW(encode(spake), EncodingError);
    spake.clear_ec_point();
    EXPECT_NO_THROW(encode(spake));

    EXPECT_THROW(encode(gcm::GcmDeviceInfo()), EncodingError);
    EXPECT_THROW(encode(sm::SimpleRsaPublicKey()), EncodingError);
    // Equality and hashing work on incomplete values too.
    EXPECT_TRUE(equal(versionOnly, versionOnly));
}

TEST(Codec, TextMustBeUtf8AtAnyDepth) {
    for (auto [name, check] : std::initializer_list<std::pair<const char*, void (*)()>>{
             {"endpoint name", [] { decode<nc::ConnectionRequestFrame>(unhex("12 02 C3 28")); }},
             {"nested in the envelope", [] { decode<nc::OfflineFrame>(unhex("12 05 12 03 0A 01 FF")); }},
             {"repeated text", [] { decode<ns::AppMetadata>(unhex("2A 01 61 2A 01 FF")); }},
             {"repeated message", [] { decode<ns::IntroductionFrame>(unhex("0A 00 0A 03 0A 01 80")); }},
             {"overlong slash", [] { decode<gcm::Ukey2Alert>(unhex("12 02 C0 AF")); }},
             {"surrogate", [] { decode<gcm::Ukey2Alert>(unhex("12 03 ED A0 80")); }},
             {"above U+10FFFF", [] { decode<gcm::Ukey2Alert>(unhex("12 04 F4 90 80 80")); }},
             {"oneof member", [] { decode<nc::ConnectionRequestFrame>(unhex("62 03 0A 01 FE")); }},
             {"credential record", [] {
                  decode<nc::BandwidthUpgradeNegotiationFrame>(unhex("12 05 12 03 0A 01 FF"));
              }},
         }) {
        SCOPED_TRACE(name);
        EXPECT_THROW(check(), DecodingError);
    }
    // Bytes fields and unknown fields may hold anything.
    EXPECT_NO_THROW(decode<nc::PairedKeyEncryptionFrame>(unhex("0A 01 FF")));
    EXPECT_NO_THROW(decode<nc::KeepAliveFrame>(unhex("1A 01 FF")));
    EXPECT_EQ(decode<gcm::Ukey2Alert>(unhex("12 09 5A 6F C3 AB 20 F0 9F 93 B1")).error_message(),
              "Zo\xC3\xAB \xF0\x9F\x93\xB1");

    ns::FileMetadata file;
    file.set_name("\xFF.jpg");
    EXPECT_THROW(encode(file), EncodingError);
}

Bytes nestedGroups(int depth) {
    Bytes bytes;
    for (int i = 0; i < depth; ++i) bytes.insert(bytes.end(), {0xA3, 0x01});  // start group, field 20
    for (int i = 0; i < depth; ++i) bytes.insert(bytes.end(), {0xA4, 0x01});  // end group, field 20
    return bytes;
}

TEST(Codec, NestingLimit) {
    const Bytes deepest = nestedGroups(kNestingLimit);
    const auto frame = decode<nc::KeepAliveFrame>(deepest);
    EXPECT_EQ(encode(frame), deepest);
    EXPECT_THROW(decode<nc::KeepAliveFrame>(nestedGroups(kNestingLimit + 1)), DecodingError);
    EXPECT_THROW(decode<nc::KeepAliveFrame>(nestedGroups(100'000)), DecodingError);
}

TEST(Codec, DecodingErrorsReadAsSentences) {
    try {
        decode<sm::SecureMessage>(unhex("0A 00"));
        FAIL();
    } catch (const Error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "The received securemessage.SecureMessage message lacks required fields: signature.");
    }
}

}  // namespace
}  // namespace velmo::proto
