// Whether a name still leads to a file already open: a file removed or replaced between an
// open and what follows it (a lock, a rename) must not be taken for the one at that name.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>

namespace velmo {

inline bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether `name` in the folder `dir` (AT_FDCWD: a path), not following a link, is the open file `fd`.
inline bool namesFile(int dir, const char* name, int fd) {
    struct stat opened {}, named {};
    return ::fstat(fd, &opened) == 0 && ::fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(opened, named);
}

}  // namespace velmo
