#include "velmo/LockFile.h"

#include "platform/FileIdentity.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace velmo {

LockFile LockFile::take(int folder, const std::string& name, bool wait) {
    for (;;) {
        const int fd = ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        struct stat opened {};
        if (fd < 0 || ::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_uid != ::getuid()) {
            const int error = fd < 0 ? errno : EPERM;
            if (fd >= 0) ::close(fd);
            return {unmade, -1, error};
        }
        int locked;
        while ((locked = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
        }
        if (locked != 0) {
            const int error = errno;
            ::close(fd);
            return {error == EWOULDBLOCK ? busy : unlockable, -1, error};
        }
        // A file removed (uninstall takes its lock and removes it) or replaced between our open
        // and our lock locks nothing a later launch sees: the name must still lead to it.
        if (namesFile(folder, name.c_str(), fd)) return {held, fd, 0};
        ::close(fd);
    }
}

bool LockFile::heldElsewhere(int folder, const std::string& name) {
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

}  // namespace velmo
