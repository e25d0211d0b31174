// The hand-written head of a chunk frame, followed by the body, must be byte for byte the
// frame protobuf encodes, whatever the sizes of the varints inside it.
#include <gtest/gtest.h>

#include <limits>

#include "SecurePeer.h"
#include "proto/Codec.h"
#include "proto/connections.pb.h"
#include "quickshare/PayloadChunkHead.h"

namespace velmo {
namespace {

namespace nc = location::nearby::connections;
using Header = nc::PayloadTransferFrame::PayloadHeader;

struct Chunk {
    std::int64_t id;
    int type;
    std::int64_t total;
    std::int64_t offset;
    std::size_t bodySize;
    bool last;
};

Bytes protobufFrame(const Chunk& c, const std::string& body) {
    auto frame = test::payloadFrame(c.id, static_cast<Header::PayloadType>(c.type), c.total, c.offset,
                                    ByteView(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()), c.last);
    frame.mutable_v1()->mutable_payload_transfer()->mutable_payload_header()->set_is_sensitive(false);
    return proto::encode(frame);
}

TEST(PayloadChunkHeadTest, HeadThenBodyIsTheFrameProtobufWrites) {
    constexpr auto maxInt64 = std::numeric_limits<std::int64_t>::max();
    const Chunk chunks[] = {
        {1, Header::FILE, 0, 0, 0, true},
        {-1, Header::FILE, 5, 5, 0, true},  // ten-byte varints for negative numbers
        {0x5EC0DE, Header::FILE, std::int64_t{1} << 30, 524288, 524288, false},
        {maxInt64, Header::BYTES, maxInt64, maxInt64 - 1, 1, false},
        {127, Header::BYTES, 127, 0, 127, false},
        {128, Header::BYTES, 16384, 128, 128, true},
        {300, Header::STREAM, 16383, 16383, 16383, false},
        {42, Header::FILE, 5 << 20, 0, 5 << 20, false},  // the largest frame a reader takes
        {7, Header::UNKNOWN_PAYLOAD_TYPE, 1, 0, 1, false},
    };
    for (const auto& c : chunks) {
        SCOPED_TRACE("id " + std::to_string(c.id) + ", body " + std::to_string(c.bodySize));
        std::string body(c.bodySize, '\0');
        for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 31 + 5);
        const PayloadChunkHead head(c.id, c.type, c.total, c.offset, c.bodySize, c.last);
        Bytes ours(head.bytes().begin(), head.bytes().end());
        ours.insert(ours.end(), body.begin(), body.end());
        EXPECT_EQ(ours, protobufFrame(c, body));
    }
}

}  // namespace
}  // namespace velmo
