// The secure messages the channel writes directly must be, byte for byte, the nested
// messages protobuf itself would encode, whatever the sizes of the varints inside them.
#include <gtest/gtest.h>

#include <limits>

#include "SecurePeer.h"
#include "proto/Codec.h"
#include "proto/connections.pb.h"
#include "proto/securegcm.pb.h"
#include "proto/securemessage.pb.h"
#include "quickshare/CryptoHelpers.h"
#include "quickshare/PayloadChunkHead.h"
#include "quickshare/SecureChannel.h"
#include "platform/Hmac.h"
#include "support/DeterministicRandom.h"
#include "support/KnownAnswers.h"

namespace velmo {
namespace {

namespace nc = location::nearby::connections;
using namespace velmo::test;

std::string asString(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

nc::OfflineFrame chunkFrame(std::size_t bodySize) {
    Bytes body(bodySize);
    for (std::size_t i = 0; i < bodySize; ++i) body[i] = static_cast<std::uint8_t>(i * 131 + 7);
    auto frame = payloadFrame(77, nc::PayloadTransferFrame::PayloadHeader::FILE, 1 << 30, 4096, body, false);
    frame.mutable_v1()->mutable_payload_transfer()->mutable_payload_header()->set_is_sensitive(false);
    return frame;
}

// The secure message built the slow way, through every nested message.
Bytes reference(const SessionKeys& keys, const nc::OfflineFrame& frame, std::int32_t sequence, ByteView iv) {
    securegcm::DeviceToDeviceMessage inner;
    inner.set_message(asString(proto::encode(frame)));
    inner.set_sequence_number(sequence);
    securegcm::GcmMetadata metadata;
    metadata.set_type(securegcm::DEVICE_TO_DEVICE_MESSAGE);
    metadata.set_version(1);
    securemessage::HeaderAndBody headerAndBody;
    auto* header = headerAndBody.mutable_header();
    header->set_signature_scheme(securemessage::HMAC_SHA256);
    header->set_encryption_scheme(securemessage::AES_256_CBC);
    header->set_iv(asString(iv));
    header->set_public_metadata(asString(proto::encode(metadata)));
    headerAndBody.set_body(asString(aesCbc(true, keys.encryptKey, iv, proto::encode(inner))));
    const Bytes signedBytes = proto::encode(headerAndBody);
    securemessage::SecureMessage message;
    message.set_header_and_body(asString(signedBytes));
    message.set_signature(asString(hmacSha256(keys.sendHmacKey, signedBytes)));
    return proto::encode(message);
}

TEST(SecureChannelLayoutTest, SealedBytesMatchTheNestedEncodingAndOpenAgain) {
    // Body sizes around varint and block boundaries; numbers of one to ten varint bytes.
    const std::size_t sizes[] = {0, 1, 15, 16, 90, 127, 128, 16383, 16384, 524288, 2097152};
    const std::int32_t starts[] = {0, 126, 127, 16383, std::numeric_limits<std::int32_t>::max() - 1, -5};
    const Bytes iv(16, 0x3c);
    for (const std::size_t size : sizes) {
        for (const std::int32_t start : starts) {
            SCOPED_TRACE("body " + std::to_string(size) + ", after number " + std::to_string(start));
            const nc::OfflineFrame frame = chunkFrame(size);
            SecureChannel sender(knownClientKeys(), start, 0);
            SecureChannel receiver(knownServerKeys(), 0, start);
            DeterministicRandom random;
            random.queue(iv);
            Bytes out = {0xde, 0xad, 0xbe, 0xef, 0x99};
            sender.sealInto(frame, random, out, 4);
            const Bytes expected = reference(knownClientKeys(), frame, start + 1, iv);
            ASSERT_EQ(out.size(), 4 + expected.size());
            EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0xde, 0xad, 0xbe, 0xef}));
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin() + 4));
            nc::OfflineFrame opened;
            receiver.openInto(ByteView(out).subspan(4), opened);
            EXPECT_TRUE(proto::equal(opened, frame));
        }
    }
}

TEST(SecureChannelLayoutTest, ReusedBuffersGiveTheSameBytesForSmallerFrames) {
    const Bytes iv(16, 0x11);
    SecureChannel reusing(knownClientKeys());
    SecureChannel receiver(knownServerKeys());
    Bytes out;
    std::int32_t sequence = 0;
    for (const std::size_t size : {600000, 10, 300000, 0}) {
        SCOPED_TRACE(size);
        const nc::OfflineFrame frame = chunkFrame(size);
        DeterministicRandom random;
        random.queue(iv);
        reusing.sealInto(frame, random, out, 0);
        EXPECT_EQ(out, reference(knownClientKeys(), frame, ++sequence, iv));
        nc::OfflineFrame opened;
        receiver.openInto(out, opened);
        EXPECT_TRUE(proto::equal(opened, frame));
    }
}

TEST(SecureChannelLayoutTest, AChunkSealedFromHeadAndBodyEqualsTheWholeFrameSealed) {
    const Bytes iv(16, 0x4d);
    for (const std::size_t size : {0, 1, 15, 16, 127, 128, 524288}) {
        SCOPED_TRACE(size);
        const nc::OfflineFrame frame = chunkFrame(size);
        const auto& chunk = frame.v1().payload_transfer().payload_chunk();
        const PayloadChunkHead head(77, nc::PayloadTransferFrame::PayloadHeader::FILE, 1 << 30, 4096, size, false);
        const ByteView body(reinterpret_cast<const std::uint8_t*>(chunk.body().data()), chunk.body().size());
        const ByteView pieces[] = {head.bytes(), body};
        SecureChannel sender(knownClientKeys());
        DeterministicRandom random;
        random.queue(iv);
        Bytes out;
        sender.sealInto(pieces, random, out, 0);
        EXPECT_EQ(out, reference(knownClientKeys(), frame, 1, iv));
    }
}

}  // namespace
}  // namespace velmo
