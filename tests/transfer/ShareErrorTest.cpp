#include <gtest/gtest.h>

#include <cerrno>

#include "transfer/FileError.h"
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

// A file's failure names the folder or file the user knows, by its last component and shown as
// names are: a control or direction-changing character in it cannot disguise the sentence.
TEST(FileError, SentencesNameTheFolderOrFileAsShown) {
    struct Case {
        FileError error;
        const char* sentence;
    };
    const std::string folder = "/nowhere/Down\u202Eloads\n";
    const Case cases[] = {
        {FileError::saving(folder, ENOSPC), "There isn't enough free space in \u2068Down_loads_\u2069."},
        {FileError::saving(folder + "/", EACCES), "Velmo isn't allowed to save files in \u2068Down_loads_\u2069."},
        {FileError::creatingFolder(folder, std::make_error_code(std::errc::file_exists)), "Velmo can't create the folder \u2068Down_loads_\u2069."},
        {FileError::reading("/tmp/\x1b[31mg.bin", ENOENT), "\u2068_[31mg.bin\u2069 is no longer there."},
        {FileError::changed("/tmp/g\u2028.bin"), "\u2068g_.bin\u2069 changed while it was sent."},
    };
    for (const auto& c : cases) EXPECT_STREQ(c.error.what(), c.sentence);
}

}  // namespace
}  // namespace velmo
