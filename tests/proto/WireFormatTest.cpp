// Exact bytes of the frames the engine writes and of the edge cases phones may send.
#include <gtest/gtest.h>

#include "proto/Codec.h"
#include "proto/connections.pb.h"
#include "ProtoTestSupport.h"

namespace velmo::proto {
namespace {

namespace nc = location::nearby::connections;

TEST(WireFormat, EngineKeepAliveFrame) {
    nc::OfflineFrame frame;
    frame.set_version(nc::OfflineFrame::V1);
    frame.mutable_v1()->set_type(nc::V1Frame::KEEP_ALIVE);
    frame.mutable_v1()->mutable_keep_alive()->set_ack(false);
    EXPECT_EQ(hex(encode(frame)), "08 01 12 06 08 05 32 02 08 00");
    EXPECT_TRUE(equal(decode<nc::OfflineFrame>(encode(frame)), frame));
}

}  // namespace
}  // namespace velmo::proto
