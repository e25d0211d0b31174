#include <gtest/gtest.h>

#include "quickshare/FrameCodec.h"
#include "quickshare/QuickShareError.h"
#include "support/ScriptedPeer.h"

namespace velmo {
namespace {

using test::hex;
using test::unhex;

TEST(FrameCodec, PrefixesTheBodyWithItsBigEndianLength) {
    EXPECT_EQ(hex(frame_codec::encode(unhex("aabbcc"))), "00000003aabbcc");
    EXPECT_EQ(hex(frame_codec::encode({})), "00000000");  // the writer refuses nothing
    EXPECT_EQ(hex(ByteView(frame_codec::encode(Bytes(0x010203, 0))).first(4)), "00010203");
}

TEST(FrameCodec, AcceptsLengthsFromOneToFiveMebibytes) {
    struct Case {
        const char* prefix;
        std::uint32_t length;  // 0: refused
        const char* reason;
    } cases[] = {
        {"00000001", 1, nullptr},
        {"00500000", 5242880, nullptr},
        {"00500001", 0, "bad frame length 5242881"},
        {"00000000", 0, "bad frame length 0"},
        {"ffffffff", 0, "bad frame length 4294967295"},
        {"01000000", 0, "bad frame length 16777216"},
    };
    for (const auto& c : cases) {
        if (c.length != 0) {
            EXPECT_EQ(frame_codec::bodyLength(unhex(c.prefix)), c.length) << c.prefix;
            continue;
        }
        try {
            frame_codec::bodyLength(unhex(c.prefix));
            ADD_FAILURE() << c.prefix << " was accepted";
        } catch (const QuickShareError& e) {
            EXPECT_EQ(e, QuickShareError::protocolError(c.reason));
        }
    }
}

}  // namespace
}  // namespace velmo
