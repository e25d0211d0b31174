#include <gtest/gtest.h>

#include "transfer/ShareError.h"

namespace velmo {
namespace {

TEST(ShareError, Sentences) {
    struct Case {
        ShareError error;
        const char* sentence;
    };
    const Case cases[] = {
        {ShareError::protocolViolation("bad frame"), "Protocol error: bad frame"},
        {ShareError::protocolViolation(""), "Protocol error: "},
        {ShareError::protocolViolation("ends with a full stop."), "Protocol error: ends with a full stop."},
        {ShareError::connectionClosed(), "The connection was closed."},
        {ShareError::unreachable(),
         "Couldn't reach the phone on this Wi-Fi. Guest networks often stop devices from talking "
         "to each other: join the main Wi-Fi."},
    };
    for (const auto& c : cases) EXPECT_STREQ(c.error.what(), c.sentence);
}

TEST(ShareError, IsAnErrorOfTheEngine) {
    try {
        throw ShareError::connectionClosed();
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), "The connection was closed.");
    }
}

TEST(ShareError, EqualityComparesCaseAndReason) {
    EXPECT_EQ(ShareError::unreachable(), ShareError::unreachable());
    EXPECT_EQ(ShareError::connectionClosed(), ShareError::connectionClosed());
    EXPECT_EQ(ShareError::protocolViolation("x"), ShareError::protocolViolation("x"));
    EXPECT_NE(ShareError::protocolViolation("x"), ShareError::protocolViolation("y"));
    EXPECT_NE(ShareError::protocolViolation(""), ShareError::connectionClosed());
    EXPECT_NE(ShareError::connectionClosed(), ShareError::unreachable());
    EXPECT_EQ(ShareError::protocolViolation("why").reason(), "why");
    EXPECT_EQ(ShareError::protocolViolation("why").kind(), ShareError::Kind::protocolViolation);
}

}  // namespace
}  // namespace velmo
