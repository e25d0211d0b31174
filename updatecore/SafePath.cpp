#include "updatecore/SafePath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "updatecore/UpdateInstallError.h"

namespace velmo {

void UniqueFd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::filesystem::path safePath(const std::filesystem::path& path) {
    using Kind = UpdateInstallError::Kind;
    const std::string& text = path.native();
    if (!path.is_absolute() || text.find('\0') != std::string::npos) throw UpdateInstallError(Kind::unsafePath);
    const auto normal = path.lexically_normal();
    std::filesystem::path prefix = "/";
    for (const auto& part : normal.relative_path()) {
        if (part.empty()) continue;
        prefix /= part;
        struct stat st{};
        if (::lstat(prefix.c_str(), &st) != 0) throw UpdateInstallError(Kind::invalidBundle);
        if (S_ISLNK(st.st_mode)) throw UpdateInstallError(Kind::unsafePath);
    }
    // A trailing separator leaves an empty last element; drop it so the name is the last part.
    auto result = normal;
    if (!result.has_filename() && result.has_parent_path() && result != "/") result = result.parent_path();
    return result;
}

UniqueFd openDirectoryNoSymlinks(const std::filesystem::path& path) {
    if (!path.is_absolute()) {
        errno = EINVAL;
        return {};
    }
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd >= 0) return UniqueFd(static_cast<int>(fd));
    if (errno != ENOSYS && errno != EPERM) return {};

    // Older kernels (or a filter that blocks openat2): walk one component at a time.
    UniqueFd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!current) return {};
    for (const auto& part : path.lexically_normal().relative_path()) {
        if (part.empty()) continue;
        if (part == "..") {
            errno = EINVAL;
            return {};
        }
        UniqueFd next(::openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) return {};
        current = std::move(next);
    }
    return current;
}

}  // namespace velmo
