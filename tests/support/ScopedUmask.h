// Sets the process's file mode creation mask for the life of a test and restores it.
#pragma once
#include <sys/stat.h>

namespace velmo::test {

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t previous_;
};

// The permission bits of `path`.
inline mode_t permissionsOf(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0 ? (info.st_mode & 07777) : 0;
}

}  // namespace velmo::test
