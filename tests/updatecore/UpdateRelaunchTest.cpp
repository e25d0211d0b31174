#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "support/TempFolder.h"
#include "updatecore/SafePath.h"
#include "updatecore/UpdateRecovery.h"
#include "updatecore/UpdateRelaunch.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;

std::filesystem::path script(const test::TempFolder& temp, const std::string& name, const std::string& body) {
    const auto path = temp / name;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0755);
    return path;
}

TEST(UpdateRelaunchTest, OnlyACopyThatReportsItselfCounts) {
    test::TempFolder temp;
    // A socket opened without close-on-exec, as Asio opens them: the new copy must not hold it.
    const int opened = ::socket(AF_INET, SOCK_STREAM, 0);
    const int inheritable = ::fcntl(opened, F_DUPFD, 20);
    ::close(opened);
    ASSERT_GE(inheritable, 20);
    struct Case {
        const char* name;
        std::string body;
        bool started;
    } cases[] = {
        {"ready", "printf 'com.halvester.velmo\\n' >&3\nexec sleep 1\n", true},
        {"inherited socket", "[ -e /proc/$$/fd/" + std::to_string(inheritable) +
                                 " ] && exit 0\nprintf 'com.halvester.velmo\\n' >&3\nexec sleep 1\n",
         true},
        {"exits at once", "exit 0\n", false},
        {"wrong identity", "printf 'com.example\\n' >&3\nexec sleep 1\n", false},
        {"silent", "exec sleep 5\n", false},
    };
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(relaunchUpdatedCopy(script(temp, c.name, c.body), 300ms), c.started) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s) << c.name;
    }
    EXPECT_FALSE(relaunchUpdatedCopy(temp / "missing", 100ms));
    ::close(inheritable);
}

TEST(UpdateRelaunchTest, ReadinessIsSignalledOnlyWhenAsked) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::unsetenv(updateReadinessVariable);
    signalUpdateReadiness();  // an ordinary launch: nothing happens
    ::setenv(updateReadinessVariable, std::to_string(fds[1]).c_str(), 1);
    signalUpdateReadiness();
    EXPECT_EQ(::getenv(updateReadinessVariable), nullptr);
    char buffer[64] = {};
    const auto n = ::read(fds[0], buffer, sizeof buffer - 1);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0), "com.halvester.velmo\n");
    ::close(fds[0]);
}

TEST(UpdateRelaunchTest, ANewCopyWhoseInstallerHasGoneConfirmsAndGoesOn) {
    test::TempFolder temp;
    const auto staging = temp / ".Velmo-update-1";
    std::filesystem::create_directories(staging);
    std::ofstream(staging / UpdateRecovery::recordName) << R"({"target":"Velmo.app","build":8,"download":""})";
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        ::setenv(updateReadinessVariable, std::to_string(fds[1]).c_str(), 1);
        ::setenv(UpdateRecovery::stagingVariable, staging.c_str(), 1);
        signalUpdateReadiness();
        ::_exit(0);
    }
    ::close(fds[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ended by signal " << WTERMSIG(status);
    EXPECT_FALSE(std::filesystem::exists(staging / UpdateRecovery::recordName)) << "the update is confirmed";
}

TEST(SafePathTest, LinksAnywhereAreRefused) {
    test::TempFolder temp;
    std::filesystem::create_directories(temp / "real" / "inner");
    std::filesystem::create_directory_symlink(temp / "real", temp / "link");
    EXPECT_TRUE(openDirectoryNoSymlinks(temp / "real" / "inner"));
    EXPECT_FALSE(openDirectoryNoSymlinks(temp / "link" / "inner"));
    EXPECT_FALSE(openDirectoryNoSymlinks("relative"));
    EXPECT_EQ(safePath(temp / "real" / "." / "inner" / ".."), temp / "real");
}

}  // namespace
}  // namespace velmo
