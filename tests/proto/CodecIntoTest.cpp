// Encoding into kept buffers gives encode()'s bytes and checks; decodeInto replaces.
#include <gtest/gtest.h>

#include <string>

#include "proto/Codec.h"
#include "proto/connections.pb.h"
#include "proto/securemessage.pb.h"
#include "proto/sharing.pb.h"

namespace velmo::proto {
namespace {

namespace nc = location::nearby::connections;
namespace sm = securemessage;
namespace ns = nearby::sharing::service::proto;

nc::OfflineFrame chunk(std::size_t size) {
    nc::OfflineFrame frame;
    frame.set_version(nc::OfflineFrame::V1);
    frame.mutable_v1()->set_type(nc::V1Frame::PAYLOAD_TRANSFER);
    frame.mutable_v1()->mutable_payload_transfer()->mutable_payload_chunk()->set_body(std::string(size, 'x'));
    return frame;
}

TEST(CodecInto, SameBytesAsEncodeAtAnyOffsetKeepingWhatPrecedes) {
    Bytes bytes;
    std::string text;
    for (const std::size_t size : {300000, 0, 5, 70000}) {
        SCOPED_TRACE(size);
        const auto frame = chunk(size);
        const Bytes expected = encode(frame);
        encodeInto(frame, text);
        EXPECT_EQ(Bytes(text.begin(), text.end()), expected);
        for (const std::size_t offset : {0, 4}) {
            bytes.assign(offset, 0xab);
            bytes.resize(offset + 9, 0xcd);  // stale bytes past the offset are replaced
            encodeInto(frame, bytes, offset);
            EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(offset)),
                      Bytes(offset, 0xab));
            EXPECT_EQ(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset), bytes.end()), expected);
        }
    }
    // An offset past the end leaves room to fill in later.
    Bytes shortBuffer;
    encodeInto(chunk(3), shortBuffer, 4);
    EXPECT_EQ(shortBuffer.size(), 4 + encode(chunk(3)).size());
}

TEST(CodecInto, RefusesWhatEncodeRefusesAndLeavesThePrefix) {
    sm::SecureMessage missing;  // required fields unset
    ns::Frame badText;
    badText.set_version(ns::Frame::V1);
    badText.mutable_v1()->set_type(ns::V1Frame::INTRODUCTION);
    badText.mutable_v1()->mutable_introduction()->add_file_metadata()->set_name(std::string("\xff\xfe", 2));
    for (const google::protobuf::Message* message :
         std::initializer_list<const google::protobuf::Message*>{&missing, &badText}) {
        SCOPED_TRACE(message->GetTypeName());
        EXPECT_THROW(encode(*message), EncodingError);
        std::string text = "kept";
        EXPECT_THROW(encodeInto(*message, text), EncodingError);
        Bytes bytes{1, 2, 3, 4};
        EXPECT_THROW(encodeInto(*message, bytes, 4), EncodingError);
        EXPECT_EQ(bytes, (Bytes{1, 2, 3, 4}));
    }
}

TEST(CodecInto, DecodeIntoReplacesAndEmptiesOnFailure) {
    nc::OfflineFrame frame = chunk(10);
    decodeInto(frame, encode(chunk(4)));
    EXPECT_TRUE(equal(frame, chunk(4)));
    const Bytes malformed{0x0a};  // a length-delimited tag with no length
    EXPECT_THROW(decodeInto(frame, malformed), DecodingError);
    EXPECT_TRUE(equal(frame, nc::OfflineFrame()));
}

}  // namespace
}  // namespace velmo
