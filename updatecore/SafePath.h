// Resolving and opening the installer's paths without following symbolic links.
#pragma once
#include <filesystem>

namespace velmo {

// An owned file descriptor, closed on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

private:
    int fd_ = -1;
};

// The absolute, lexically normalised form of `path`, after checking that no component of it
// is a symbolic link. Throws UpdateInstallError: unsafePath for a link (or a relative path or
// NUL byte), invalidBundle for a component that cannot be examined.
std::filesystem::path safePath(const std::filesystem::path& path);

// Opens the directory at the absolute `path` read-only, refusing a symbolic link in any
// component (openat2 where the kernel has it, one component at a time otherwise).
// Returns an empty handle with errno set on failure.
UniqueFd openDirectoryNoSymlinks(const std::filesystem::path& path);

}  // namespace velmo
