#include "quickshare/SecureChannel.h"

#include <cstring>
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

// Pointer and length, so protobuf copies with memcpy rather than byte by byte.
const char* chars(ByteView bytes) { return reinterpret_cast<const char*>(bytes.data()); }

ByteView asBytes(const std::string& text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// `message` encoded into `out` from `offset` on.
void encodeInto(const google::protobuf::Message& message, Bytes& out, std::size_t offset) {
    Bytes encoded = proto::encode(message);
    if (offset == 0) {
        out = std::move(encoded);
        return;
    }
    out.resize(offset + encoded.size());
    if (!encoded.empty()) std::memcpy(out.data() + offset, encoded.data(), encoded.size());
}

// Decodes into a message kept between calls, so its byte fields keep their storage.
template <class M>
void decodeReusing(M& message, ByteView bytes) {
    proto::detail::decodeInto(message, bytes);
}

QuickShareError counterExhausted() {
    return QuickShareError::protocolError("too many messages on one connection");
}

}  // namespace

struct SecureChannel::Scratch {
    Bytes frameBytes;
    securegcm::DeviceToDeviceMessage inner;
    Bytes innerBytes;
    securemessage::HeaderAndBody headerAndBody;
    Bytes signedBytes;
    securemessage::SecureMessage message;
    Bytes metadataBytes;
    // Reading side.
    securemessage::SecureMessage received;
    securemessage::HeaderAndBody receivedHeaderAndBody;
    securegcm::DeviceToDeviceMessage receivedInner;
};

SecureChannel::SecureChannel(SessionKeys keys, std::int32_t sendSequence,
                             std::int32_t receiveSequence)
    : keys_(std::move(keys)),
      sendSequence_(sendSequence),
      receiveSequence_(receiveSequence),
      scratch_(std::make_unique<Scratch>()) {
    securegcm::GcmMetadata metadata;
    metadata.set_type(securegcm::DEVICE_TO_DEVICE_MESSAGE);
    metadata.set_version(1);
    scratch_->metadataBytes = proto::encode(metadata);
}

SecureChannel::~SecureChannel() = default;
SecureChannel::SecureChannel(SecureChannel&&) noexcept = default;
SecureChannel& SecureChannel::operator=(SecureChannel&&) noexcept = default;

Bytes SecureChannel::seal(const nc::OfflineFrame& frame, RandomSource& random) {
    Bytes out;
    sealInto(frame, random, out, 0);
    return out;
}

void SecureChannel::sealInto(const nc::OfflineFrame& frame, RandomSource& random, Bytes& out,
                             std::size_t offset) {
    if (sendSequence_ == std::numeric_limits<std::int32_t>::max()) throw counterExhausted();
    const std::int32_t sequence = ++sendSequence_;
    Scratch& s = *scratch_;

    encodeInto(frame, s.frameBytes, 0);
    s.inner.set_sequence_number(sequence);
    s.inner.set_message(chars(s.frameBytes), s.frameBytes.size());
    encodeInto(s.inner, s.innerBytes, 0);

    std::uint8_t iv[ivLength];
    random.fill(iv);
    const Bytes ciphertext = aesCbc(true, keys_.encryptKey, ByteView(iv, ivLength), s.innerBytes);

    auto* header = s.headerAndBody.mutable_header();
    header->set_signature_scheme(securemessage::HMAC_SHA256);
    header->set_encryption_scheme(securemessage::AES_256_CBC);
    header->set_iv(reinterpret_cast<const char*>(iv), ivLength);
    header->set_public_metadata(chars(s.metadataBytes), s.metadataBytes.size());
    s.headerAndBody.set_body(chars(ciphertext), ciphertext.size());
    encodeInto(s.headerAndBody, s.signedBytes, 0);

    const Bytes signature = hmacSha256(keys_.sendHmacKey, s.signedBytes);
    s.message.set_header_and_body(chars(s.signedBytes), s.signedBytes.size());
    s.message.set_signature(chars(signature), signature.size());
    encodeInto(s.message, out, offset);
}

nc::OfflineFrame SecureChannel::open(ByteView secureMessage) {
    nc::OfflineFrame frame;
    openInto(secureMessage, frame);
    return frame;
}

void SecureChannel::openInto(ByteView secureMessage, nc::OfflineFrame& frame) {
    Scratch& s = *scratch_;
    decodeReusing(s.received, secureMessage);
    if (!hmacSha256Verify(keys_.receiveHmacKey, asBytes(s.received.header_and_body()),
                          asBytes(s.received.signature()))) {
        throw QuickShareError::crypto("bad signature from phone");
    }
    decodeReusing(s.receivedHeaderAndBody, asBytes(s.received.header_and_body()));
    const auto& header = s.receivedHeaderAndBody.header();
    const auto& body = s.receivedHeaderAndBody.body();
    if (header.signature_scheme() != securemessage::HMAC_SHA256 ||
        header.encryption_scheme() != securemessage::AES_256_CBC ||
        header.iv().size() != ivLength || body.empty() || body.size() % 16 != 0) {
        throw QuickShareError::protocolError("invalid encrypted message header");
    }
    const Bytes plaintext = aesCbc(false, keys_.decryptKey, asBytes(header.iv()), asBytes(body));
    decodeReusing(s.receivedInner, plaintext);
    if (receiveSequence_ == std::numeric_limits<std::int32_t>::max()) throw counterExhausted();
    const std::int32_t expected = ++receiveSequence_;
    if (s.receivedInner.sequence_number() != expected) {
        throw QuickShareError::protocolError("out-of-order message");
    }
    decodeReusing(frame, asBytes(s.receivedInner.message()));
}

}  // namespace velmo
