// Which file a name leads to. A file keeps its identity while it is renamed or written to; a
// file put in its place, even one of the same name, size and times, has another. Whether a name
// still leads to a file already open tells a file removed or replaced between an open and what
// follows it (a lock, a rename) from the one at that name.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>

namespace velmo {

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    static FileIdentity of(const struct stat& info) {
        return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    }
    // What `name` in the folder `dir` (AT_FDCWD: a path) is, not following a link; nothing,
    // with errno set, when it cannot be looked at.
    static std::optional<FileIdentity> at(int dir, const char* name) {
        struct stat info {};
        if (::fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
        return of(info);
    }
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

inline bool sameFile(const struct stat& a, const struct stat& b) { return FileIdentity::of(a) == FileIdentity::of(b); }

// Whether `name` in the folder `dir` (AT_FDCWD: a path), not following a link, is the open file `fd`.
inline bool namesFile(int dir, const char* name, int fd) {
    struct stat opened {};
    return ::fstat(fd, &opened) == 0 && FileIdentity::at(dir, name) == FileIdentity::of(opened);
}

}  // namespace velmo
