#include "quickshare/SecureChannel.h"

#include <limits>

#include "platform/Hmac.h"
#include "proto/Codec.h"
#include "proto/connections.pb.h"
#include "proto/securegcm.pb.h"
#include "proto/securemessage.pb.h"
#include "quickshare/CryptoHelpers.h"
#include "quickshare/QuickShareError.h"

namespace velmo {
namespace {

namespace nc = location::nearby::connections;

constexpr std::size_t ivLength = 16;

std::string asString(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

ByteView asBytes(const std::string& text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

QuickShareError counterExhausted() {
    return QuickShareError::protocolError("too many messages on one connection");
}

}  // namespace

SecureChannel::SecureChannel(SessionKeys keys, std::int32_t sendSequence,
                             std::int32_t receiveSequence)
    : keys_(std::move(keys)), sendSequence_(sendSequence), receiveSequence_(receiveSequence) {}

Bytes SecureChannel::seal(const nc::OfflineFrame& frame, RandomSource& random) {
    if (sendSequence_ == std::numeric_limits<std::int32_t>::max()) throw counterExhausted();
    const std::int32_t sequence = ++sendSequence_;

    securegcm::DeviceToDeviceMessage inner;
    inner.set_sequence_number(sequence);
    {
        Bytes encoded = proto::encode(frame);
        inner.set_message(asString(encoded));
    }
    const Bytes iv = random.bytes(ivLength);
    const Bytes ciphertext = aesCbc(true, keys_.encryptKey, iv, proto::encode(inner));

    securegcm::GcmMetadata metadata;
    metadata.set_type(securegcm::DEVICE_TO_DEVICE_MESSAGE);
    metadata.set_version(1);

    securemessage::HeaderAndBody headerAndBody;
    auto* header = headerAndBody.mutable_header();
    header->set_signature_scheme(securemessage::HMAC_SHA256);
    header->set_encryption_scheme(securemessage::AES_256_CBC);
    header->set_iv(asString(iv));
    header->set_public_metadata(asString(proto::encode(metadata)));
    headerAndBody.set_body(asString(ciphertext));
    const Bytes signedBytes = proto::encode(headerAndBody);

    securemessage::SecureMessage message;
    message.set_signature(asString(hmacSha256(keys_.sendHmacKey, signedBytes)));
    message.set_header_and_body(asString(signedBytes));
    return proto::encode(message);
}

nc::OfflineFrame SecureChannel::open(ByteView secureMessage) {
    const auto message = proto::decode<securemessage::SecureMessage>(secureMessage);
    if (!hmacSha256Verify(keys_.receiveHmacKey, asBytes(message.header_and_body()),
                          asBytes(message.signature()))) {
        throw QuickShareError::crypto("bad signature from phone");
    }
    const auto headerAndBody =
        proto::decode<securemessage::HeaderAndBody>(asBytes(message.header_and_body()));
    const auto& header = headerAndBody.header();
    const auto& body = headerAndBody.body();
    if (header.signature_scheme() != securemessage::HMAC_SHA256 ||
        header.encryption_scheme() != securemessage::AES_256_CBC ||
        header.iv().size() != ivLength || body.empty() || body.size() % 16 != 0) {
        throw QuickShareError::protocolError("invalid encrypted message header");
    }
    const Bytes plaintext = aesCbc(false, keys_.decryptKey, asBytes(header.iv()), asBytes(body));
    const auto inner = proto::decode<securegcm::DeviceToDeviceMessage>(plaintext);
    if (receiveSequence_ == std::numeric_limits<std::int32_t>::max()) throw counterExhausted();
    const std::int32_t expected = ++receiveSequence_;
    if (inner.sequence_number() != expected) {
        throw QuickShareError::protocolError("out-of-order message");
    }
    return proto::decode<nc::OfflineFrame>(asBytes(inner.message()));
}

}  // namespace velmo
