// Later launches of the real velmo hand their files to the running one and exit.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "AppProcess.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;

const std::filesystem::path velmoBinary = VELMO_BINARY;

sockaddr_un unixAddress(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

int connectTo(const std::filesystem::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto address = unixAddress(path);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What a launch without files learns from the running instance: how many files it holds staged.
std::string stagedCount(const std::filesystem::path& socket) {
    const int fd = connectTo(socket);
    if (fd < 0) return "(no instance)";
    // The closing empty field is the array's own terminating NUL.
    const char request[] = "velmo-open-2\0token=\0folder=/\0";
    EXPECT_EQ(::write(fd, request, sizeof request), static_cast<ssize_t>(sizeof request));
    std::string reply;
    char buffer[4096];
    ssize_t n;
    // The instance closes the connection after its answer.
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return reply.substr(0, reply.find('\0'));
}

TEST(SingleInstanceIntegrationTest, ALaterLaunchHandsItsFilesToTheRunningVelmoAndExits) {
    test::TempFolder temp;
    test::isolateDesktop(temp);
    const auto socket = temp / "run/com.halvester.velmo.socket";
    temp.write("photo.jpg", "jpeg");

    // A crash left its socket behind; it must not keep the next Velmo from starting.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto address = unixAddress(socket);
    ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(stale);

    // Sharing is set up, so the window lists the staged files as a user sees it.
    std::filesystem::create_directories(temp / "home/.config/Velmo");
    std::ofstream(temp / "home/.config/Velmo/Velmo.ini")
        << "[General]\nsharingConsentMode=askEachTime\nreceiveFromAndroid=false\n";

    // A Velmo killed mid-receive left its part file in the download folder.
    const auto stalePart = temp / "home/Downloads/.velmo-6F25E1C0-0D3B-4C4E-9A43-2B8A6C1D5E7F.part";
    std::filesystem::create_directories(stalePart.parent_path());
    std::ofstream(stalePart) << "half a file";

    test::AppProcess first(velmoBinary, {{}, {}, true});
    ASSERT_EQ(first.awaitReadiness(20s), "com.halvester.velmo\n");
    EXPECT_FALSE(std::filesystem::exists(stalePart));
    EXPECT_EQ(stagedCount(socket), "0");

    // Relative names are taken from the later launch's folder; names of nothing are dropped.
    test::AppProcess second(velmoBinary, {{"photo.jpg", "missing.jpg"}, temp.path(), false});
    EXPECT_EQ(second.awaitExit(20s), 0);
    EXPECT_EQ(stagedCount(socket), "1");

    // As many files as a file manager passes at once, by long absolute names: more than a
    // mebibyte to hand over. The reply stays short however many files are staged. (In memory
    // where there is a memory file system: a disk takes seconds to make 12,000 files.)
    const test::TempFolder memory(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "");
    const auto many = memory / std::string(80, 'f');
    std::filesystem::create_directory(many);
    std::vector<std::string> names;
    for (int i = 0; i < 12'000; ++i) {
        names.push_back((many / (std::to_string(i) + ".txt")).string());
        std::ofstream{names.back()};
    }
    test::AppProcess fourth(velmoBinary, {names, {}, false});
    EXPECT_EQ(fourth.awaitExit(20s), 0);
    EXPECT_EQ(stagedCount(socket), "12001");

    // A launch without files just brings the window forward.
    test::AppProcess third(velmoBinary, {{}, {}, false});
    EXPECT_EQ(third.awaitExit(20s), 0);
    EXPECT_EQ(first.awaitExit(0ms), std::nullopt) << "the first Velmo keeps running";

    std::string version;
    EXPECT_EQ(test::runTool(velmoBinary, {"--version"}, &version), 0);
    EXPECT_EQ(version.rfind("Velmo ", 0), 0u) << version;

    // A mistyped option is answered like --help: without a display, which there is none of.
    for (const char* variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) ::unsetenv(variable);
    test::AppProcess bogus(velmoBinary, {{"--bogus"}, {}, false, true});
    EXPECT_EQ(bogus.awaitExit(20s), 2);
    EXPECT_NE(bogus.output().find("Usage: "), std::string::npos) << bogus.output();
}

// A launch from a terminal without XDG_RUNTIME_DIR meets the Velmo that the desktop session
// started in /run/user/<uid>. The test gives itself a /run of its own to do so.
TEST(SingleInstanceIntegrationTest, ALaunchWithoutARuntimeFolderStillFindsTheRunningVelmo) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a private mount namespace";
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755"), 0);
    const std::filesystem::path session = "/run/user/" + std::to_string(::getuid());
    std::filesystem::create_directories(session);
    ::chmod(session.c_str(), 0700);

    test::TempFolder temp;
    test::isolateDesktop(temp);
    temp.write("photo.jpg", "jpeg");
    ::setenv("XDG_RUNTIME_DIR", session.c_str(), 1);
    test::AppProcess first(velmoBinary, {{}, {}, true});
    ASSERT_EQ(first.awaitReadiness(20s), "com.halvester.velmo\n");

    ::unsetenv("XDG_RUNTIME_DIR");
    test::AppProcess second(velmoBinary, {{(temp / "photo.jpg").string()}, {}, false});
    EXPECT_EQ(second.awaitExit(20s), 0);
    EXPECT_EQ(stagedCount(session / "com.halvester.velmo.socket"), "1");
}

}  // namespace
}  // namespace velmo
