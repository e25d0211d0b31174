#include "transfer/PartFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include "transfer/FileError.h"
#include "transfer/FileNaming.h"

namespace velmo {

namespace {

constexpr std::string_view prefix = ".velmo-";
constexpr std::string_view suffix = ".part";

// ".velmo-" + an upper-case canonical UUID + ".part", and nothing else.
bool isPartName(std::string_view name) {
    constexpr std::size_t uuidLength = 36;
    if (name.size() != prefix.size() + uuidLength + suffix.size() || !name.starts_with(prefix) ||
        !name.ends_with(suffix))
        return false;
    const auto uuid = name.substr(prefix.size(), uuidLength);
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        const char c = uuid[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

// The process's file mode creation mask.
mode_t currentUmask() {
    // Read, not set and restored: umask() changes it for every thread at once.
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Umask:", 0) != 0) continue;
        try {
            return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8) & 0777);
        } catch (const std::exception&) {
            break;
        }
    }
    return 077;  // unknown: stay private
}

}  // namespace

std::filesystem::path PartFile::pathFor(const std::filesystem::path& folder, const Uuid& id) {
    return folder / (std::string(prefix) + id.toString() + std::string(suffix));
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
    const uid_t user = ::geteuid();
    while (const dirent* entry = ::readdir(entries)) {
        if (!isPartName(entry->d_name)) continue;
        struct stat info {};
        if (::fstatat(dir, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(info.st_mode) || info.st_uid != user) continue;
        if (::unlinkat(dir, entry->d_name, 0) == 0) ++removed;
    }
    ::closedir(entries);
    return removed;
}

PartFile PartFile::create(const std::filesystem::path& folder, const Uuid& id) {
    auto path = pathFor(folder, id);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "create " + path.string());
    return PartFile(std::move(path), fd);
}

PartFile::PartFile(PartFile&& other) noexcept
    : path_(std::move(other.path_)), fd_(other.fd_), placed_(other.placed_) {
    other.fd_ = -1;
    other.placed_ = true;  // the moved-from object owns nothing to discard
}

PartFile::~PartFile() {
    if (!placed_) discard();
}

void PartFile::write(ByteView bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            const int error = errno;
            if (error == EINTR) continue;
            throw FileError::saving(path_.parent_path(), error);
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
        if (error != EINTR) throw FileError::saving(path_.parent_path(), error);
    }
}

std::filesystem::path PartFile::moveTo(const std::filesystem::path& wanted) {
    // Only a finished file leaves the private mode it was written under. A file system that
    // refuses the change keeps it private rather than losing the file.
    if (fd_ >= 0) (void)::fchmod(fd_, 0666 & ~currentUmask());
    close();
    try {
        auto final = FileNaming::moveNoReplace(path_, wanted);
        placed_ = true;
        return final;
    } catch (const std::system_error& e) {
        throw FileError::saving(path_.parent_path(), e.code());
    }
}

void PartFile::discard() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!placed_) {
        ::unlink(path_.c_str());
        placed_ = true;
    }
}

}  // namespace velmo
