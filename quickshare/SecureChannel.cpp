#include "quickshare/SecureChannel.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "platform/Hmac.h"
#include "proto/Codec.h"
#include "proto/WireFormat.h"
#include "proto/connections.pb.h"
#include "proto/securegcm.pb.h"
#include "proto/securemessage.pb.h"
#include "quickshare/CryptoHelpers.h"
#include "quickshare/QuickShareError.h"

namespace velmo {
namespace {

namespace nc = location::nearby::connections;

constexpr std::size_t ivLength = 16;
constexpr std::size_t aesBlock = 16;

ByteView asBytes(const std::string& text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// The three wrappers around a frame hold only a few small fields besides one large bytes
// field, so they are written here directly around the frame, the ciphertext and the
// signature, with the bytes protobuf's deterministic encoding gives them (fields in number
// order). The frame's bytes are encrypted straight into the outgoing buffer, instead of
// passing through four nested messages.
using proto::wire::fieldHeadSize;
using proto::wire::putFieldHead;
using proto::wire::putVarint;
using proto::wire::tag;
using proto::wire::varintSize;
constexpr std::uint8_t varintField = proto::wire::varintType;

// Field numbers of the wrappers.
constexpr int innerMessageField = 1;        // DeviceToDeviceMessage.message
constexpr int innerSequenceField = 2;       // DeviceToDeviceMessage.sequence_number
constexpr int headerField = 1;              // HeaderAndBody.header
constexpr int bodyField = 2;                // HeaderAndBody.body
constexpr int headerAndBodyField = 1;       // SecureMessage.header_and_body
constexpr int signatureField = 2;           // SecureMessage.signature

// Decodes into a message kept between calls, so its byte fields keep their storage.
template <class M>
void decodeReusing(M& message, ByteView bytes) {
    proto::decodeInto(message, bytes);
}

QuickShareError counterExhausted() {
    return QuickShareError::protocolError("too many messages on one connection");
}

}  // namespace

struct SecureChannel::Scratch {
    Bytes frameBytes;
    securemessage::Header header;
    Bytes headerBytes;
    Bytes metadataBytes;
    // Reading side.
    Bytes decrypted;
    securemessage::SecureMessage received;
    securemessage::HeaderAndBody receivedHeaderAndBody;
    securemessage::Header receivedHeader;
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
    Scratch& s = *scratch_;
    proto::encodeInto(frame, s.frameBytes);
    const ByteView piece(s.frameBytes);
    sealInto(std::span<const ByteView>(&piece, 1), random, out, offset);
}

void SecureChannel::sealInto(std::span<const ByteView> frame, RandomSource& random, Bytes& out,
                             std::size_t offset) {
    if (frame.size() > maxFramePieces) throw std::invalid_argument("too many frame pieces");
    if (sendSequence_ == std::numeric_limits<std::int32_t>::max()) throw counterExhausted();
    const std::int32_t sequence = ++sendSequence_;
    Scratch& s = *scratch_;

    // DeviceToDeviceMessage { message = frame, sequence_number }. The number is an int32,
    // so a negative one is sign-extended to ten bytes as protobuf does.
    std::size_t frameSize = 0;
    for (const auto& piece : frame) frameSize += piece.size();
    std::uint8_t head[16];
    const std::size_t headSize = static_cast<std::size_t>(putFieldHead(head, innerMessageField, frameSize) - head);
    std::uint8_t tail[16];
    tail[0] = tag(innerSequenceField, varintField);
    const auto sequenceWire = static_cast<std::uint64_t>(static_cast<std::int64_t>(sequence));
    const std::size_t tailSize = static_cast<std::size_t>(putVarint(tail + 1, sequenceWire) - tail);
    const std::size_t plainSize = headSize + frameSize + tailSize;
    std::array<ByteView, maxFramePieces + 2> plaintext;
    std::size_t pieces = 0;
    plaintext[pieces++] = ByteView(head, headSize);
    for (const auto& piece : frame) plaintext[pieces++] = piece;
    plaintext[pieces++] = ByteView(tail, tailSize);

    std::uint8_t iv[ivLength];
    random.fill(iv);
    s.header.set_signature_scheme(securemessage::HMAC_SHA256);
    s.header.set_encryption_scheme(securemessage::AES_256_CBC);
    s.header.set_iv(reinterpret_cast<const char*>(iv), ivLength);
    s.header.set_public_metadata(reinterpret_cast<const char*>(s.metadataBytes.data()), s.metadataBytes.size());
    proto::encodeInto(s.header, s.headerBytes);

    // PKCS#7 always adds 1 to 16 bytes.
    const std::size_t cipherSize = (plainSize / aesBlock + 1) * aesBlock;
    const std::size_t signedSize =
        fieldHeadSize(s.headerBytes.size()) + s.headerBytes.size() + fieldHeadSize(cipherSize) + cipherSize;
    const std::size_t messageSize = fieldHeadSize(signedSize) + signedSize + fieldHeadSize(hmacSha256Size) + hmacSha256Size;
    out.resize(offset + messageSize);

    // SecureMessage { header_and_body = HeaderAndBody { header, body = ciphertext }, signature }
    std::uint8_t* at = putFieldHead(out.data() + offset, headerAndBodyField, signedSize);
    std::uint8_t* const signedAt = at;
    at = putFieldHead(at, headerField, s.headerBytes.size());
    at = std::copy(s.headerBytes.begin(), s.headerBytes.end(), at);
    at = putFieldHead(at, bodyField, cipherSize);
    const std::size_t written =
        aesCbcEncryptInto(keys_.encryptKey, ByteView(iv, ivLength), std::span<const ByteView>(plaintext.data(), pieces),
                          std::span<std::uint8_t>(at, out.data() + out.size()));
    if (written != cipherSize) throw QuickShareError::crypto("AES-CBC failed (unexpected length)");
    at += cipherSize;
    const Bytes signature = hmacSha256(keys_.sendHmacKey, ByteView(signedAt, signedSize));
    at = putFieldHead(at, signatureField, signature.size());
    std::copy(signature.begin(), signature.end(), at);
}

nc::OfflineFrame SecureChannel::open(ByteView secureMessage) {
    nc::OfflineFrame frame;
    openInto(secureMessage, frame);
    return frame;
}

namespace {

// Two length-delimited fields, numbered `first` then `second`, and nothing else: the layout
// every writer gives the wrappers. Anything else is left to protobuf.
bool splitPair(ByteView message, int first, int second, ByteView& a, ByteView& b) {
    const auto x = proto::wire::takeLengthDelimited(message, first);
    if (!x) return false;
    const auto y = proto::wire::takeLengthDelimited(message, second);
    if (!y || !message.empty()) return false;
    a = *x;
    b = *y;
    return true;
}

// DeviceToDeviceMessage { message, sequence_number } in that layout, nothing else.
bool splitInner(ByteView message, ByteView& frame, std::int32_t& sequence) {
    const auto inner = proto::wire::takeLengthDelimited(message, innerMessageField);
    if (!inner) return false;
    const auto number = proto::wire::takeVarintField(message, innerSequenceField);
    if (!number || !message.empty()) return false;
    frame = *inner;
    sequence = static_cast<std::int32_t>(static_cast<std::uint32_t>(*number));  // int32 keeps the low bits
    return true;
}

}  // namespace

void SecureChannel::openInto(ByteView secureMessage, nc::OfflineFrame& frame) {
    // The wrappers are read in place when they have the usual layout, so a file chunk is not
    // copied out of each one in turn; any other layout goes through protobuf and means the same.
    Scratch& s = *scratch_;
    ByteView signedBytes, signature;
    if (!splitPair(secureMessage, headerAndBodyField, signatureField, signedBytes, signature)) {
        decodeReusing(s.received, secureMessage);
        signedBytes = asBytes(s.received.header_and_body());
        signature = asBytes(s.received.signature());
    }
    if (!hmacSha256Verify(keys_.receiveHmacKey, signedBytes, signature)) {
        throw QuickShareError::crypto("bad signature from phone");
    }
    ByteView headerBytes, body;
    const securemessage::Header* header = &s.receivedHeader;
    if (splitPair(signedBytes, headerField, bodyField, headerBytes, body)) {
        decodeReusing(s.receivedHeader, headerBytes);
    } else {
        decodeReusing(s.receivedHeaderAndBody, signedBytes);
        header = &s.receivedHeaderAndBody.header();
        body = asBytes(s.receivedHeaderAndBody.body());
    }
    if (header->signature_scheme() != securemessage::HMAC_SHA256 ||
        header->encryption_scheme() != securemessage::AES_256_CBC || header->iv().size() != ivLength ||
        body.empty() || body.size() % 16 != 0) {
        throw QuickShareError::protocolError("invalid encrypted message header");
    }
    // Room for the padding the decryption strips again; the buffer is kept for the next one.
    if (s.decrypted.size() < body.size() + aesBlock) s.decrypted.resize(body.size() + aesBlock);
    const std::size_t plainSize = aesCbcInto(false, keys_.decryptKey, asBytes(header->iv()), body, s.decrypted);
    const ByteView plaintext = ByteView(s.decrypted).first(plainSize);
    ByteView frameBytes;
    std::int32_t sequence = 0;
    if (!splitInner(plaintext, frameBytes, sequence)) {
        decodeReusing(s.receivedInner, plaintext);
        frameBytes = asBytes(s.receivedInner.message());
        sequence = s.receivedInner.sequence_number();
    }
    if (receiveSequence_ == std::numeric_limits<std::int32_t>::max()) throw counterExhausted();
    const std::int32_t expected = ++receiveSequence_;
    if (sequence != expected) {
        throw QuickShareError::protocolError("out-of-order message");
    }
    decodeReusing(frame, frameBytes);
}

}  // namespace velmo
