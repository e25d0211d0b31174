#include <gtest/gtest.h>

#include "quickshare/PayloadAssembler.h"
#include "quickshare/QuickShareError.h"

namespace velmo {
namespace {

const auto oversized = QuickShareError::protocolError("too many or oversized pending messages");
const auto badChunk = QuickShareError::protocolError("invalid or oversized message chunk");
const auto incomplete = QuickShareError::protocolError("incomplete message");

QuickShareError failureOf(const std::function<void()>& step) {
    try {
        step();
    } catch (const QuickShareError& e) {
        return e;
    }
    ADD_FAILURE() << "no error";
    return QuickShareError::protocolError("<none>");
}

TEST(PayloadAssembler, WholeBodyThenEmptyLastChunk) {
    PayloadAssembler assembler;
    const Bytes body{1, 2, 3};
    EXPECT_FALSE(assembler.add(7, 3, 0, body, false));
    EXPECT_EQ(assembler.buffered(), 3u);
    EXPECT_EQ(assembler.add(7, 3, 3, {}, true), body);
    EXPECT_EQ(assembler.pending(), 0u);
    EXPECT_EQ(assembler.buffered(), 0u);
}

TEST(PayloadAssembler, ManyChunksAndInterleavedPayloads) {
    PayloadAssembler assembler;
    EXPECT_FALSE(assembler.add(1, 4, 0, Bytes{1}, false));
    EXPECT_FALSE(assembler.add(2, 2, 0, Bytes{9}, false));
    EXPECT_FALSE(assembler.add(1, 4, 1, Bytes{2, 3}, false));
    EXPECT_EQ(assembler.add(2, 2, 1, Bytes{8}, true), (Bytes{9, 8}));
    EXPECT_EQ(assembler.add(1, 4, 3, Bytes{4}, true), (Bytes{1, 2, 3, 4}));
}

TEST(PayloadAssembler, EmptyPayload) {
    PayloadAssembler assembler;
    EXPECT_EQ(assembler.add(5, 0, 0, {}, true), Bytes{});
}

TEST(PayloadAssembler, SizeLimit) {
    PayloadAssembler assembler;
    const Bytes mebibyte(1024 * 1024, 0xAB);
    EXPECT_FALSE(assembler.add(1, 1048576, 0, mebibyte, false));
    EXPECT_EQ(assembler.add(1, 1048576, 1048576, {}, true), mebibyte);
    EXPECT_EQ(failureOf([&] { assembler.add(2, 1048577, 0, {}, false); }), oversized);
    EXPECT_EQ(failureOf([&] { assembler.add(3, -1, 0, {}, false); }), oversized);
    EXPECT_EQ(failureOf([&] { assembler.add(4, INT64_MIN, 0, {}, false); }), oversized);
}

TEST(PayloadAssembler, SixteenPendingPayloadsAtMost) {
    PayloadAssembler assembler;
    for (std::int64_t id = 1; id <= 16; ++id) EXPECT_FALSE(assembler.add(id, 2, 0, Bytes{1}, false));
    // The sixteen still take chunks ...
    EXPECT_EQ(assembler.add(16, 2, 1, Bytes{2}, true), (Bytes{1, 2}));
    EXPECT_FALSE(assembler.add(17, 2, 0, Bytes{1}, false));
    // ... but a seventeenth id is refused.
    EXPECT_EQ(failureOf([&] { assembler.add(18, 2, 0, Bytes{1}, false); }), oversized);
}

TEST(PayloadAssembler, ChunksMustContinueTheirPayloadExactly) {
    struct Case {
        const char* name;
        std::int64_t total, offset;
        Bytes body;
    } cases[] = {
        {"other total", 5, 2, {3}},
        {"offset skips ahead", 4, 3, {3}},
        {"offset repeats", 4, 1, {3}},
        {"negative offset", 4, -1, {3}},
        {"past the total", 4, 2, {3, 4, 5}},
    };
    for (const auto& c : cases) {
        PayloadAssembler assembler;
        ASSERT_FALSE(assembler.add(1, 4, 0, Bytes{1, 2}, false));
        EXPECT_EQ(failureOf([&] { assembler.add(1, c.total, c.offset, c.body, false); }), badChunk)
            << c.name;
    }
}

TEST(PayloadAssembler, AtMostOneMebibyteHeldAcrossPayloads) {
    PayloadAssembler assembler;
    const Bytes half(512 * 1024, 1);
    EXPECT_FALSE(assembler.add(1, 1048576, 0, half, false));
    EXPECT_FALSE(assembler.add(2, 1048576, 0, half, false));
    EXPECT_EQ(assembler.buffered(), 1048576u);
    EXPECT_EQ(failureOf([&] { assembler.add(3, 1, 0, Bytes{1}, false); }), badChunk);
}

TEST(PayloadAssembler, LastChunkOfAShortPayload) {
    PayloadAssembler assembler;
    EXPECT_EQ(failureOf([&] { assembler.add(1, 3, 0, Bytes{1}, true); }), incomplete);
}

TEST(PayloadAssembler, ClearForgetsEverything) {
    PayloadAssembler assembler;
    assembler.add(1, 3, 0, Bytes{1}, false);
    assembler.clear();
    EXPECT_EQ(assembler.pending(), 0u);
    EXPECT_EQ(assembler.buffered(), 0u);
    EXPECT_EQ(assembler.add(1, 1, 0, Bytes{5}, true), Bytes{5});
}

}  // namespace
}  // namespace velmo
