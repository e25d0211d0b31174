#include "transfer/PartFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/FileIdentity.h"
#include "platform/Uuid.h"
#include "transfer/FileError.h"
#include "transfer/FileNaming.h"

namespace velmo {

namespace {

constexpr std::string_view prefix = ".velmo-";
constexpr std::string_view suffix = ".part";
// Beside a part file while its last-resort move holds a placeholder: the placeholder's name.
constexpr std::string_view claimSuffix = ".claim";
constexpr std::size_t uuidLength = 36;

// ".velmo-" + an upper-case canonical UUID + `ending`, and nothing else.
bool isOurName(std::string_view name, std::string_view ending) {
    if (name.size() != prefix.size() + uuidLength + ending.size() || !name.starts_with(prefix) ||
        !name.ends_with(ending))
        return false;
    return Uuid::isCanonical(name.substr(prefix.size(), uuidLength));
}

std::string claimName(std::string_view partName) {
    return std::string(partName.substr(0, partName.size() - suffix.size())) + std::string(claimSuffix);
}

// A regular file of this user at `name` in `dir`, opened without following a link.
int openOurs(int dir, const char* name, struct stat& info) {
    const int fd = ::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Removes the claim `claim` and the placeholder it names when that is still an empty file of
// ours: what a move cut short between claiming its final name and renaming onto it leaves.
std::size_t undoClaim(int dir, const std::string& claim) {
    struct stat info {};
    const int fd = openOurs(dir, claim.c_str(), info);
    if (fd < 0) return 0;
    std::string name(256, '\0');
    const ssize_t n = info.st_size < 256 ? ::read(fd, name.data(), name.size()) : -1;
    ::close(fd);
    std::size_t removed = 0;
    name.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    struct stat placeholder {};
    if (!name.empty() && name != "." && name != ".." && name.find_first_of(std::string_view("/\0", 2)) == std::string::npos &&
        ::fstatat(dir, name.c_str(), &placeholder, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(placeholder.st_mode) &&
        placeholder.st_uid == ::geteuid() && placeholder.st_size == 0 && ::unlinkat(dir, name.c_str(), 0) == 0)
        ++removed;
    ::unlinkat(dir, claim.c_str(), 0);
    return removed;
}

// Removes the part file `name` unless a live writer holds its lock; with it, any placeholder
// its move had claimed. The lock is taken before the removal and dropped after it, so a
// writer that was about to lock a file just made finds it gone and makes it again.
std::size_t removeIfStale(int dir, const char* name) {
    struct stat info {};
    const int fd = openOurs(dir, name, info);
    if (fd < 0) return 0;
    std::size_t removed = 0;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && namesFile(dir, name, fd)) {
        removed += undoClaim(dir, claimName(name));
        if (::unlinkat(dir, name, 0) == 0) ++removed;
    }
    ::close(fd);
    return removed;
}

std::string partName(const Uuid& id) { return std::string(prefix) + id.toString() + std::string(suffix); }

}  // namespace

mode_t PartFile::newFileMode(int dir, const char* statusPath) {
    // Read, not set and restored: umask() changes it for every thread at once.
    std::ifstream status(statusPath);
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Umask:", 0) != 0) continue;
        try {
            return static_cast<mode_t>(0666 & ~std::stoul(line.substr(6), nullptr, 8));
        } catch (const std::exception&) {
            break;
        }
    }
    // Without /proc, an unnamed file made in the folder shows it, and goes with its descriptor.
    const int probe = ::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    struct stat info {};
    const bool known = probe >= 0 && ::fstat(probe, &info) == 0;
    if (probe >= 0) ::close(probe);
    return known ? info.st_mode & 0777 : 0600;  // unknown: stay private
}

std::shared_ptr<const PartFile::Folder> PartFile::Folder::open(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + path.string());
    return std::shared_ptr<const Folder>(new Folder(path, fd));
}

PartFile::Folder::~Folder() { ::close(fd_); }

std::filesystem::path PartFile::Folder::now() const {
    // Only for showing: without /proc the folder is named as it was opened.
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd_), error);
    if (error || !path.is_absolute() || path.native().ends_with(" (deleted)")) return shown_;
    return path;
}

std::filesystem::path PartFile::pathFor(const std::filesystem::path& folder, const Uuid& id) {
    return folder / partName(id);
}

std::filesystem::path PartFile::claimFor(const std::filesystem::path& part) {
    return part.parent_path() / claimName(part.filename().native());
}

void PartFile::createFolder(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) throw FileError::creatingFolder(folder, error);
}

std::size_t PartFile::removeStale(const std::filesystem::path& folder) {
    // The folder is taken as the user set it (a linked download folder is where files
    // arrive); inside it every step goes through its descriptor and follows no link, so an
    // entry swapped for a link is at worst the link that gets removed.
    DIR* entries = ::opendir(folder.c_str());
    if (!entries) return 0;
    const int dir = ::dirfd(entries);
    std::size_t removed = 0;
    std::vector<std::string> claims;
    while (const dirent* entry = ::readdir(entries)) {
        if (isOurName(entry->d_name, suffix)) removed += removeIfStale(dir, entry->d_name);
        else if (isOurName(entry->d_name, claimSuffix)) claims.emplace_back(entry->d_name);
    }
    // A claim without its part file outlived a move that finished: its name is the file's now.
    for (const auto& claim : claims) {
        const auto part = claim.substr(0, claim.size() - claimSuffix.size()) + std::string(suffix);
        struct stat info {};
        if (::fstatat(dir, part.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT &&
            ::fstatat(dir, claim.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
            info.st_uid == ::geteuid())
            ::unlinkat(dir, claim.c_str(), 0);
    }
    ::closedir(entries);
    return removed;
}

PartFile PartFile::create(const std::filesystem::path& folder, const Uuid& id,
                          void (*beforeLock)(int dir, const char* name)) {
    return create(Folder::open(folder), id, beforeLock);
}

PartFile PartFile::create(std::shared_ptr<const Folder> folder, const Uuid& id,
                          void (*beforeLock)(int dir, const char* name)) {
    auto name = partName(id);
    const int dir = folder->fd();
    for (;;) {
        const int fd = ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            throw std::system_error(errno, std::generic_category(), "create " + (folder->shown() / name).string());
        }
        if (beforeLock) beforeLock(dir, name.c_str());
        // A file system without locks leaves the file unlocked, and a sweep there removes nothing.
        int locked;
        while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        // Another Velmo's sweep may have taken the file between its creation and the lock.
        if (locked != 0 || namesFile(dir, name.c_str(), fd))
            return PartFile(std::move(folder), std::move(name), fd, locked == 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1);
        ::close(fd);
    }
}

PartFile::PartFile(PartFile&& other) noexcept
    : folder_(other.folder_), name_(std::move(other.name_)), fd_(other.fd_), lock_(other.lock_), placed_(other.placed_) {
    other.fd_ = -1;
    other.lock_ = -1;
    other.placed_ = true;  // the moved-from object owns nothing to discard
}

PartFile::~PartFile() {
    if (!placed_) discard();
    unlock();
}

void PartFile::unlock() noexcept {
    if (lock_ >= 0) ::close(lock_);
    lock_ = -1;
}

void PartFile::write(ByteView bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            const int error = errno;
            if (error == EINTR) continue;
            throw FileError::saving(folder_->shown(), error);
        }
        done += static_cast<std::size_t>(n);
    }
}

void PartFile::close() {
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        const int error = errno;
        if (error != EINTR) throw FileError::saving(folder_->shown(), error);
    }
}

std::filesystem::path PartFile::moveTo(const std::string& name, const FileNaming::MoveCalls& calls) {
    // Only a finished file leaves the private mode it was written under. A file system that
    // refuses the change keeps it private rather than losing the file.
    if (fd_ >= 0) (void)::fchmod(fd_, newFileMode(folder_->fd()));
    close();
    try {
        // Closed, the file is still locked through the second descriptor: another Velmo's
        // sweep now would take a finished download for a killed one's leftover.
        auto final = FileNaming::moveNoReplace(folder_->fd(), name_, name, claimName(name_), calls);
        placed_ = true;
        unlock();
        return folder_->now() / final.filename();
    } catch (const std::system_error& e) {
        throw FileError::saving(folder_->shown(), e.code());
    }
}

void PartFile::discard() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!placed_) {
        ::unlinkat(folder_->fd(), name_.c_str(), 0);
        placed_ = true;
    }
    unlock();  // only once the file is gone, so no sweep meets it unlocked
}

}  // namespace velmo
