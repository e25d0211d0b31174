#include "quickshare/SourceFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <vector>

#include "transfer/FileError.h"

namespace velmo {

namespace {

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

XXH3_state_t* newDigest() {
    XXH3_state_t* state = XXH3_createState();
    if (state == nullptr) throw std::bad_alloc();
    XXH3_128bits_reset(state);
    return state;
}

void freeDigest(XXH3_state_t* state) { XXH3_freeState(state); }

}  // namespace

SourceFile::Snapshot SourceFile::Snapshot::of(const struct stat& info) {
    return Snapshot{FileIdentity::of(info), static_cast<std::int64_t>(info.st_size), info.st_mtim, info.st_ctim};
}

bool SourceFile::Snapshot::sameOnRecord(const struct stat& info) const {
    return FileIdentity::of(info) == file && static_cast<std::int64_t>(info.st_size) == size &&
           sameTime(info.st_mtim, modified);
}

SourceFile::SourceFile(std::filesystem::path path, const Snapshot& staged)
    : path_(std::move(path)), staged_(staged), sent_(newDigest(), freeDigest) {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd_ < 0) throw FileError::reading(path_, errno);
    try {
        const auto info = describe();
        if (!S_ISREG(info.st_mode)) throw FileError::notRegular(path_);
        // The same file cut short says so; anything else, a file put in its place included,
        // is a change.
        if (FileIdentity::of(info) == staged_.file && info.st_size < staged_.size)
            throw FileError::shrank(path_);
        // The change time is left to the check after the last byte: it moves for metadata
        // too, and only the bytes read from here on can be compared.
        if (!staged_.sameOnRecord(info)) throw FileError::changed(path_);
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
    XXH3_128bits_update(sent_.get(), buffer, done);
    read_ += static_cast<std::int64_t>(done);
    // Here, on the reading thread: reading the file again may take a while.
    if (done > 0 && read_ == staged_.size) checkUnchanged();
    return done;
}

void SourceFile::checkUnchanged() {
    if (checked_) return;
    const auto info = describe();
    if (!staged_.sameOnRecord(info)) throw FileError::changed(path_);
    if (!sameTime(info.st_ctim, staged_.changed) && !holdsWhatWasSent()) throw FileError::changed(path_);
    checked_ = true;
}

bool SourceFile::holdsWhatWasSent() const {
    auto again = std::unique_ptr<XXH3_state_t, void (*)(XXH3_state_t*)>(newDigest(), freeDigest);
    std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
    std::int64_t offset = 0;
    while (offset < staged_.size) {
        const auto wanted = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(buffer.size()), staged_.size - offset));
        const ssize_t n = ::pread(fd_, buffer.data(), wanted, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw FileError::reading(path_, errno);
        if (n == 0) return false;
        XXH3_128bits_update(again.get(), buffer.data(), static_cast<std::size_t>(n));
        offset += n;
    }
    return offset == staged_.size &&
           XXH128_isEqual(XXH3_128bits_digest(again.get()), XXH3_128bits_digest(sent_.get()));
}

}  // namespace velmo
