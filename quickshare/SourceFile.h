// A file being sent, held to what it was when the send described it: a file replaced,
// rewritten, grown or shrunk since then fails the send instead of reaching the phone as a
// mixture of two files.
#pragma once
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "platform/FileIdentity.h"

namespace velmo {

class SourceFile {
public:
    // What a file was when it was described: which file, how long, and when its bytes and its
    // inode last changed. The change time follows every write and no user can set it back, so
    // a write whose modification time was put back (touch -r, cp -p, rsync -t --inplace) shows.
    struct Snapshot {
        FileIdentity file;
        std::int64_t size = 0;
        struct timespec modified {};
        struct timespec changed {};

        static Snapshot of(const struct stat& info);
        bool matches(const struct stat& info) const;
    };

    // Opens `path` for reading. Throws FileError when it cannot be read, is not a regular
    // file, or is no longer the file `staged` describes.
    SourceFile(std::filesystem::path path, const Snapshot& staged);
    ~SourceFile();
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    // Up to `wanted` bytes into `buffer`; fewer only at the end of the file. Any thread.
    std::size_t read(std::uint8_t* buffer, std::size_t wanted);

    // Throws FileError when the file changed since it was described: called once its bytes
    // were read, before the phone is told it is complete.
    void checkUnchanged() const;

private:
    struct stat describe() const;

    std::filesystem::path path_;
    Snapshot staged_;
    int fd_ = -1;
};

}  // namespace velmo
