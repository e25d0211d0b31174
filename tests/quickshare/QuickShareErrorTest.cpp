#include <gtest/gtest.h>

#include "quickshare/QuickShareError.h"

namespace velmo {
namespace {

using Kind = QuickShareError::Kind;

TEST(QuickShareError, EveryCaseHasItsSentence) {
    const std::vector<std::pair<QuickShareError, std::string>> cases = {
        {QuickShareError::crypto("bad signature from phone"), "Encryption error: bad signature from phone"},
        {QuickShareError::protocolError("out-of-order message"), "Quick Share error: out-of-order message"},
        {QuickShareError::declined(), "The phone declined the files."},
        {QuickShareError::notEnoughSpace(), "The phone doesn't have enough free space."},
        {QuickShareError::unsupported(), "The phone can't receive this kind of file."},
        {QuickShareError::timedOut(), "Nobody tapped Accept on the phone in time."},
        {QuickShareError::cancelledByPhone(), "The transfer was cancelled on the phone."},
        {QuickShareError::disconnected(), "The phone disconnected."},
        // Protocol errors a user meets in a row read as sentences, not as a terse reason.
        {QuickShareError::tooManyFiles(), "The phone offered more than 128 files at once. Send them in smaller groups."},
        {QuickShareError::arrivedIncomplete("truncated.bin"), "truncated.bin arrived incomplete, so it wasn't kept."},
    };
    for (const auto& [error, sentence] : cases) {
        EXPECT_EQ(std::string(error.what()), sentence);
        const Error& base = error;  // shown through the common base
        EXPECT_EQ(std::string(base.what()), sentence);
    }
}

TEST(QuickShareError, PayloadIsAppendedUnchanged) {
    EXPECT_STREQ(QuickShareError::crypto("").what(), "Encryption error: ");
    EXPECT_STREQ(QuickShareError::protocolError("").what(), "Quick Share error: ");
    EXPECT_STREQ(QuickShareError::protocolError("\"quoted\".").what(), "Quick Share error: \"quoted\".");
    EXPECT_EQ(QuickShareError::crypto("AES-CBC failed (-4304)").detail(), "AES-CBC failed (-4304)");
    EXPECT_TRUE(QuickShareError::timedOut().detail().empty());
}

TEST(QuickShareError, EqualityComparesCaseAndText) {
    EXPECT_EQ(QuickShareError::timedOut(), QuickShareError::timedOut());
    EXPECT_NE(QuickShareError::timedOut(), QuickShareError::disconnected());
    EXPECT_NE(QuickShareError::crypto("x"), QuickShareError::protocolError("x"));
    EXPECT_EQ(QuickShareError::protocolError("x"), QuickShareError::protocolError("x"));
    EXPECT_NE(QuickShareError::protocolError("x"), QuickShareError::protocolError("y"));
    EXPECT_EQ(QuickShareError::declined().kind(), Kind::declined);
}

}  // namespace
}  // namespace velmo
