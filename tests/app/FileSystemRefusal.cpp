// Preloaded into a Velmo under test, this makes a folder behave as file systems that hold no
// socket files (SMB without Unix extensions, several FUSE mounts) or refuse locks, and can hold
// back a process's first lock to open a race for a test:
//   VELMO_REFUSE_SOCKETS_UNDER=<folder>  bind of a socket file under it fails with EPERM
//   VELMO_REFUSE_LOCKS_UNDER=<folder>    flock of a file under it fails with ENOLCK
//   VELMO_DELAY_FIRST_LOCK_MS=<ms>       the process's first flock waits that long first
#include <dlfcn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

bool under(const char* variable, const std::string& path) {
    const char* folder = std::getenv(variable);
    if (!folder || !*folder || path.empty()) return false;
    const std::string prefix = folder;
    return path.compare(0, prefix.size(), prefix) == 0 && (path.size() == prefix.size() || path[prefix.size()] == '/');
}

std::string resolved(const std::string& path) {
    char out[PATH_MAX];
    return ::realpath(path.c_str(), out) ? std::string(out) : std::string();
}

}  // namespace

extern "C" int bind(int fd, const sockaddr* address, socklen_t size) {
    static const auto real = reinterpret_cast<int (*)(int, const sockaddr*, socklen_t)>(::dlsym(RTLD_NEXT, "bind"));
    if (address && address->sa_family == AF_UNIX && size > offsetof(sockaddr_un, sun_path)) {
        const auto* local = reinterpret_cast<const sockaddr_un*>(address);
        const std::string path(local->sun_path, ::strnlen(local->sun_path, size - offsetof(sockaddr_un, sun_path)));
        const auto slash = path.rfind('/');
        if (!path.empty() && path[0] != '\0' && slash != std::string::npos &&
            under("VELMO_REFUSE_SOCKETS_UNDER", resolved(slash == 0 ? "/" : path.substr(0, slash)))) {
            errno = EPERM;
            return -1;
        }
    }
    return real(fd, address, size);
}

extern "C" int flock(int fd, int operation) {
    static const auto real = reinterpret_cast<int (*)(int, int)>(::dlsym(RTLD_NEXT, "flock"));
    static std::atomic<bool> first{true};
    if (const char* delay = std::getenv("VELMO_DELAY_FIRST_LOCK_MS"); delay && first.exchange(false))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay)));
    if (under("VELMO_REFUSE_LOCKS_UNDER", resolved("/proc/self/fd/" + std::to_string(fd)))) {
        errno = ENOLCK;
        return -1;
    }
    return real(fd, operation);
}
