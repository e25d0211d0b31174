#include "quickshare/SourceFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "transfer/FileError.h"

namespace velmo {

namespace {

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

SourceFile::Snapshot SourceFile::Snapshot::of(const struct stat& info) {
    return Snapshot{FileIdentity::of(info), static_cast<std::int64_t>(info.st_size), info.st_mtim, info.st_ctim};
}

bool SourceFile::Snapshot::matches(const struct stat& info) const {
    return FileIdentity::of(info) == file && static_cast<std::int64_t>(info.st_size) == size &&
           sameTime(info.st_mtim, modified) && sameTime(info.st_ctim, changed);
}

SourceFile::SourceFile(std::filesystem::path path, const Snapshot& staged) : path_(std::move(path)), staged_(staged) {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd_ < 0) throw FileError::reading(path_, errno);
    try {
        const auto info = describe();
        if (!S_ISREG(info.st_mode)) throw FileError::notRegular(path_);
        // The same file cut short says so; anything else, a file put in its place included,
        // is a change.
        if (FileIdentity::of(info) == staged_.file && info.st_size < staged_.size)
            throw FileError::shrank(path_);
        if (!staged_.matches(info)) throw FileError::changed(path_);
    } catch (...) {
        ::close(fd_);
        throw;
    }
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint: larger read-ahead
}

SourceFile::~SourceFile() { ::close(fd_); }

struct stat SourceFile::describe() const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) throw FileError::reading(path_, errno);
    return info;
}

std::size_t SourceFile::read(std::uint8_t* buffer, std::size_t wanted) {
    std::size_t done = 0;
    while (done < wanted) {
        const ssize_t n = ::read(fd_, buffer + done, wanted - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileError::reading(path_, errno);
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void SourceFile::checkUnchanged() const {
    if (!staged_.matches(describe())) throw FileError::changed(path_);
}

}  // namespace velmo
