#include "updatecore/UpdateRelaunch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "updatecore/SafePath.h"
#include "updatecore/UpdateBundle.h"
#include "updatecore/UpdateRecovery.h"

extern char** environ;

namespace velmo {
namespace {

constexpr int childReadinessFd = 3;

// Reads the readiness line until it is complete, the pipe closes or the deadline passes.
std::string readLine(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string line;
    while (line.find('\n') == std::string::npos && line.size() < 256) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    return line;
}

}  // namespace

bool relaunchUpdatedCopy(const std::filesystem::path& executable, std::chrono::milliseconds timeout,
                         const std::filesystem::path& staging) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    // Keep the write end off the child's target number so dup2 always clears close-on-exec.
    UniqueFd high(::fcntl(writeEnd.get(), F_DUPFD_CLOEXEC, 10));
    writeEnd.reset();
    if (!high) return false;

    // The installer's own variables are replaced by this update's.
    const auto named = [](const char* entry, std::string_view name) {
        return std::strncmp(entry, name.data(), name.size()) == 0 && entry[name.size()] == '=';
    };
    std::vector<std::string> environment;
    for (char** e = environ; e && *e; ++e)
        if (!named(*e, updateReadinessVariable) && !named(*e, UpdateRecovery::stagingVariable)) environment.emplace_back(*e);
    environment.emplace_back(updateReadinessVariable);
    environment.back().append("=").append(std::to_string(childReadinessFd));
    if (!staging.empty()) {
        environment.emplace_back(UpdateRecovery::stagingVariable);
        environment.back().append("=").append(staging.string());
    }
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = executable.string();
    char* argv[] = {program.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    // Sockets opened without close-on-exec (Asio's) must not outlive this process in the new
    // copy, so everything above the readiness pipe is closed.
    const bool prepared = posix_spawn_file_actions_adddup2(&actions, high.get(), childReadinessFd) == 0 &&
                          posix_spawn_file_actions_addclosefrom_np(&actions, childReadinessFd + 1) == 0 &&
                          posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
                          posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK) == 0;
    pid_t pid = -1;
    const int spawned =
        prepared ? ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, envp.data()) : -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    high.reset();
    if (spawned != 0) return false;

    const std::string line = readLine(readEnd.get(), timeout);
    int status = 0;
    const bool running = ::waitpid(pid, &status, WNOHANG) == 0;
    std::string expected(UpdateBundle::identifier);
    expected.push_back('\n');
    if (pid != ::getpid() && running && line == expected) return true;
    if (running) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    return false;
}

void signalUpdateReadiness() {
    if (const char* staging = std::getenv(UpdateRecovery::stagingVariable)) {
        const std::filesystem::path folder = staging;
        ::unsetenv(UpdateRecovery::stagingVariable);
        UpdateRecovery::confirm(folder);
    }
    const char* value = std::getenv(updateReadinessVariable);
    if (!value) return;
    const int fd = std::atoi(value);
    ::unsetenv(updateReadinessVariable);
    if (fd < 3 || ::fcntl(fd, F_GETFD) < 0) return;
    std::string line(UpdateBundle::identifier);
    line.push_back('\n');
    // An installer that has gone must not take this copy with it through SIGPIPE.
    sigset_t pipe, previous;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    if (::write(fd, line.data(), line.size()) < 0 && errno == EPIPE) {
        const timespec none{};
        ::sigtimedwait(&pipe, nullptr, &none);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(fd);
}

}  // namespace velmo
