// A file being sent, held to what it was when the send described it: a file replaced,
// rewritten, grown or shrunk since then fails the send instead of reaching the phone as a
// mixture of two files.
#pragma once
#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "platform/FileIdentity.h"

struct XXH3_state_s;

namespace velmo {

class SourceFile {
public:
    // What a file was when it was described: which file, how long, and when its bytes and its
    // inode last changed.
    struct Snapshot {
        FileIdentity file;
        std::int64_t size = 0;
        struct timespec modified {};
        struct timespec changed {};

        static Snapshot of(const struct stat& info);
        // The same file, length and modification time: what is left to tell a write whose
        // time was put back (touch -d, cp -p, rsync -t --inplace) is the change time.
        bool sameOnRecord(const struct stat& info) const;
    };

    // Opens `path` for reading. Throws FileError when it cannot be read, is not a regular
    // file, or is no longer the file `staged` describes.
    SourceFile(std::filesystem::path path, const Snapshot& staged);
    ~SourceFile();
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    // Up to `wanted` bytes into `buffer`; fewer only at the end of the file. Once the last
    // byte is read, checks the file as checkUnchanged() does. Called by one thread at a time.
    std::size_t read(std::uint8_t* buffer, std::size_t wanted);

    // Throws FileError when the file changed since it was described: called once its bytes
    // were read, before the phone is told it is complete. The change time also moves for
    // metadata alone (access time, extended attributes, mode), so when nothing else moved the
    // file is read again and fails only when its bytes are not those that were sent.
    void checkUnchanged();

private:
    struct stat describe() const;
    bool holdsWhatWasSent() const;

    std::filesystem::path path_;
    Snapshot staged_;
    int fd_ = -1;
    // A digest of the bytes read so far, which are the bytes sent.
    std::unique_ptr<XXH3_state_s, void (*)(XXH3_state_s*)> sent_;
    std::int64_t read_ = 0;
    std::atomic<bool> checked_ = false;
};

}  // namespace velmo
