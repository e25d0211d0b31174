#include "AppProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "updatecore/UpdateRelaunch.h"

extern char** environ;

namespace velmo::test {
namespace {

constexpr int childReadinessFd = 3;

// Reads what is there until `fd` closes or the deadline passes; stops early at `until`.
std::string drain(int fd, std::chrono::milliseconds timeout, char until = '\0') {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string out;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
        if (until && out.find(until) != std::string::npos) break;
    }
    return out;
}

}  // namespace

AppProcess::AppProcess(const std::filesystem::path& executable, Options options) {
    int out[2];
    int ready[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || (options.readiness && ::pipe2(ready, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (options.errorsToOutput) posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    if (options.readiness) posix_spawn_file_actions_adddup2(&actions, ready[1], childReadinessFd);
    if (!options.folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.folder.c_str());

    std::vector<std::string> environment;
    const std::string variable = std::string(updateReadinessVariable) + "=";
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const auto name = entry.substr(0, entry.find('='));
        if (entry.rfind(variable, 0) != 0 && !options.environment.count(name)) environment.push_back(entry);
    }
    for (const auto& [name, value] : options.environment)
        if (value) environment.push_back(name + "=" + *value);
    if (options.readiness) environment.push_back(variable + std::to_string(childReadinessFd));
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{executable.string()};
    args.insert(args.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    const int spawned = ::posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    output_ = out[0];
    if (options.readiness) {
        ::close(ready[1]);
        readiness_ = ready[0];
    }
    if (spawned != 0) throw std::runtime_error("cannot start " + executable.string());
}

bool AppProcess::signal(int number) const { return pid_ > 0 && ::kill(pid_, number) == 0; }

AppProcess::~AppProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (readiness_ >= 0) ::close(readiness_);
    if (output_ >= 0) ::close(output_);
}

std::string AppProcess::awaitReadiness(std::chrono::milliseconds timeout) {
    return drain(readiness_, timeout, '\n');
}

std::optional<int> AppProcess::awaitExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        captured_ += drain(output_, std::chrono::milliseconds(20));
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            captured_ += drain(output_, std::chrono::milliseconds(200));
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    }
}

std::string AppProcess::output(const std::string& marker, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!marker.empty() && captured_.find(marker) == std::string::npos && std::chrono::steady_clock::now() < deadline)
        captured_ += drain(output_, std::chrono::milliseconds(20));
    return captured_;
}

int runTool(const std::filesystem::path& executable, const std::vector<std::string>& arguments, std::string* output) {
    AppProcess tool(executable, {arguments, {}, false});
    const auto status = tool.awaitExit(std::chrono::seconds(60));
    if (output) *output = tool.output();
    return status.value_or(-1);
}

int runInSource(std::vector<std::string> command, std::string* output) {
    command.insert(command.begin(), {"-c", "cd \"$0\" && exec \"$@\" 2>&1", sourceFolder.string()});
    return runTool("/bin/sh", command, output);
}

namespace {

void writeProcFile(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) ::close(fd);
    if (!written) throw std::runtime_error(std::string("cannot write ") + path);
}

// A mount namespace of this thread (and so of the processes it starts) whose account home is
// `home`. Root makes one directly; another user makes it inside a user namespace of its own.
void privateAccountHome(const std::filesystem::path& home) {
    const passwd* user = ::getpwuid(::getuid());
    if (!user || !user->pw_dir) throw std::runtime_error("no account home");
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWNS) != 0) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            throw std::runtime_error("cannot make a private mount namespace to keep the test's Velmo apart");
        writeProcFile("/proc/self/setgroups", "deny");
        writeProcFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
        writeProcFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        throw std::runtime_error("cannot make the mounts private");
    // An earlier test of this process may have put a home there whose folder has gone since.
    ::umount2(user->pw_dir, MNT_DETACH);
    if (::mount(home.c_str(), user->pw_dir, nullptr, MS_BIND, nullptr) != 0)
        throw std::runtime_error(std::string("cannot mount a home over ") + user->pw_dir);
}

// The variables isolateDesktop changed, as they were before, put back at the end of the test.
class EnvironmentRestorer : public ::testing::EmptyTestEventListener {
public:
    static void save(const char* name) {
        static EnvironmentRestorer* restorer = [] {
            auto* listener = new EnvironmentRestorer;
            ::testing::UnitTest::GetInstance()->listeners().Append(listener);  // which owns it
            return listener;
        }();
        if (restorer->saved_.count(name)) return;
        const char* value = std::getenv(name);
        restorer->saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }

    void OnTestEnd(const ::testing::TestInfo&) override {
        for (const auto& [name, value] : saved_) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
        saved_.clear();
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

void setVariable(const char* name, const std::string& value) {
    EnvironmentRestorer::save(name);
    ::setenv(name, value.c_str(), 1);
}

}  // namespace

std::filesystem::path accountHome(const TempFolder& root) { return root / "account"; }

void isolateDesktop(const TempFolder& root) {
    const auto folder = [&](const char* name) {
        const auto path = root / name;
        std::filesystem::create_directories(path);
        ::chmod(path.c_str(), 0700);
        return path.string();
    };
    setVariable("HOME", folder("home"));
    setVariable("XDG_CONFIG_HOME", folder("home/.config"));
    setVariable("XDG_DATA_HOME", folder("home/.local/share"));
    setVariable("XDG_CACHE_HOME", folder("home/.cache"));
    setVariable("XDG_RUNTIME_DIR", folder("run"));
    // Velmo sweeps its user's update downloads from the temporary folder: keep other tests' apart.
    setVariable("TMPDIR", folder("tmp"));
    setVariable("QT_QPA_PLATFORM", "offscreen");
    setVariable("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (root / "no-bus").string());
    setVariable("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (root / "no-bus").string());
    EnvironmentRestorer::save("XDG_ACTIVATION_TOKEN");
    ::unsetenv("XDG_ACTIVATION_TOKEN");
    privateAccountHome(folder("account"));
}

std::vector<std::string> entryNames(const std::filesystem::path& folder) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) out.push_back(entry.path().filename().string());
    return out;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::filesystem::path makeReleaseBuild(const std::filesystem::path& folder, bool icons) {
    std::filesystem::create_directories(folder / "velmo");
    std::filesystem::create_directories(folder / "tools");
    std::filesystem::create_symlink(velmoBinary, folder / "velmo/velmo");
    std::filesystem::create_symlink(releaseTool, folder / "tools/velmo-release");
    if (icons) std::filesystem::create_directory_symlink(iconFolder, folder / "icons");
    return folder;
}

void UpdatingAppTest::SetUp() {
#ifdef VELMO_SANITIZED
    GTEST_SKIP() << "a sanitized velmo is larger than an update may be";
#endif
    isolateDesktop(temp);
    ASSERT_EQ(runTool("/usr/bin/strip", {"--strip-all", "-o", executable, velmoBinary}), 0);
    // The key's folder does not exist yet, as on a first release machine.
    ASSERT_EQ(runTool(releaseTool, {"keygen", key}), 0);
}

int UpdatingAppTest::makeBundle(const std::filesystem::path& from, const std::string& version, int build,
                                const std::filesystem::path& bundle, bool icons, std::string* output) {
    std::vector<std::string> arguments{"bundle", "--executable", from, "--version", version, "--build",
                                       std::to_string(build), "--channel", channel, "--key", key};
    if (icons) arguments.insert(arguments.end(), {"--icons", iconFolder});
    arguments.push_back(bundle);
    return runTool(releaseTool, arguments, output);
}

}  // namespace velmo::test
