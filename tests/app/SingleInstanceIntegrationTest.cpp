// Later launches of the real velmo hand their files to the running one and exit.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <thread>

#include "AppProcess.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;


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

// Where Velmo meets later launches of the same account: its folder in the account's home.
std::filesystem::path rendezvous(const test::TempFolder& temp) { return test::accountHome(temp) / ".local/state/velmo-instance"; }

// The socket of the running instance (named after the computer), once it listens.
std::filesystem::path instanceSocket(const test::TempFolder& temp) {
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(rendezvous(temp), missing))
        if (entry.path().extension() == ".socket") return entry.path();
    return rendezvous(temp) / "no.socket";
}

std::string readAll(int fd) {
    std::string reply;
    char buffer[4096];
    ssize_t n;
    // The instance closes the connection after its answer.
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
    return reply.substr(0, reply.find('\0'));
}

// A hand-over request in the given pieces, each written on its own, `pause` apart.
std::string request(const std::filesystem::path& socket, const std::vector<std::string>& pieces,
                    std::chrono::milliseconds pause = 0ms) {
    const int fd = connectTo(socket);
    if (fd < 0) return "(no instance)";
    for (const auto& piece : pieces) {
        std::this_thread::sleep_for(pause);
        EXPECT_EQ(::write(fd, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
    }
    const auto reply = readAll(fd);
    ::close(fd);
    return reply;
}

// What a launch without files learns from the running instance: how many files it holds staged.
std::string stagedCount(const std::filesystem::path& socket) {
    return request(socket, {std::string("velmo-open-2\0token=\0folder=/\0\0", 30)});
}

// No display, no runtime folder and a home of another profile: a launch from ssh or after su.
void leaveTheDesktop(const test::TempFolder& temp) {
    for (const char* variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"}) ::unsetenv(variable);
    std::filesystem::create_directories(temp / "profile");
    ::setenv("HOME", (temp / "profile").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (temp / "profile").c_str(), 1);
    // Qt would make its stand-in runtime folder here.
    std::filesystem::create_directories(temp / "tmp");
    ::setenv("TMPDIR", (temp / "tmp").c_str(), 1);
}

TEST(SingleInstanceIntegrationTest, ALaterLaunchHandsItsFilesToTheRunningVelmoAndExits) {
    test::TempFolder temp;
    test::isolateDesktop(temp);
    temp.write("photo.jpg", "jpeg");
    // A name that is not UTF-8 still names its file.
    temp.write("b\xff.txt", "bytes");

    // A crash left its socket behind; it must not keep the next Velmo from starting.
    {
        test::AppProcess crashed(test::velmoBinary, {{}, {}, true});
        ASSERT_EQ(crashed.awaitReadiness(20s), "com.halvester.velmo\n");
    }
    const auto socket = instanceSocket(temp);
    ASSERT_TRUE(std::filesystem::exists(socket));

    // Sharing is set up, so the window lists the staged files as a user sees it.
    std::filesystem::create_directories(temp / "home/.config/Velmo");
    std::ofstream(temp / "home/.config/Velmo/Velmo.ini")
        << "[General]\nsharingConsentMode=askEachTime\nreceiveFromAndroid=false\n";

    // A Velmo killed mid-receive left its part file in the download folder.
    const auto stalePart = temp / "home/Downloads/.velmo-6F25E1C0-0D3B-4C4E-9A43-2B8A6C1D5E7F.part";
    std::filesystem::create_directories(stalePart.parent_path());
    std::ofstream(stalePart) << "half a file";

    test::AppProcess first(test::velmoBinary, {{"b\xff.txt"}, temp.path(), true});
    ASSERT_EQ(first.awaitReadiness(20s), "com.halvester.velmo\n");
    EXPECT_FALSE(std::filesystem::exists(stalePart));
    EXPECT_EQ(stagedCount(socket), "1");

    // Relative names are taken from the later launch's folder; names of nothing are dropped.
    test::AppProcess second(test::velmoBinary, {{"photo.jpg", "missing.jpg", "./b\xff.txt"}, temp.path(), false});
    EXPECT_EQ(second.awaitExit(20s), 0);
    EXPECT_EQ(stagedCount(socket), "2");

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
    test::AppProcess fourth(test::velmoBinary, {names, {}, false});
    EXPECT_EQ(fourth.awaitExit(20s), 0);
    EXPECT_EQ(stagedCount(socket), "12002");

    // A launch without files just brings the window forward.
    test::AppProcess third(test::velmoBinary, {{}, {}, false});
    EXPECT_EQ(third.awaitExit(20s), 0);
    EXPECT_EQ(first.awaitExit(0ms), std::nullopt) << "the first Velmo keeps running";

    std::string version;
    EXPECT_EQ(test::runTool(test::velmoBinary, {"--version"}, &version), 0);
    EXPECT_EQ(version.rfind("Velmo ", 0), 0u) << version;

    // A mistyped option is answered like --help: without a display, which there is none of.
    for (const char* variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) ::unsetenv(variable);
    test::AppProcess bogus(test::velmoBinary, {{"--bogus"}, {}, false, true});
    EXPECT_EQ(bogus.awaitExit(20s), 2);
    EXPECT_NE(bogus.output().find("Usage: "), std::string::npos) << bogus.output();
}

// The Velmo a desktop session started (with its XDG_RUNTIME_DIR) is found by a launch without
// a runtime folder, a display or the same HOME, as from ssh or after su: that launch hands its
// file over before it needs a display, and leaves no stand-in runtime folder or warning behind.
// With no Velmo running, such a launch says why it cannot start.
TEST(SingleInstanceIntegrationTest, ALaunchWithoutADesktopHandsOverToTheRunningVelmo) {
    test::TempFolder temp;
    test::isolateDesktop(temp);
    temp.write("photo.jpg", "jpeg");
    auto first = std::make_unique<test::AppProcess>(test::velmoBinary, test::AppProcess::Options{{}, {}, true});
    ASSERT_EQ(first->awaitReadiness(20s), "com.halvester.velmo\n");

    leaveTheDesktop(temp);
    test::AppProcess second(test::velmoBinary, {{(temp / "photo.jpg").string()}, {}, false, true});
    EXPECT_EQ(second.awaitExit(20s), 0) << second.output();
    EXPECT_EQ(second.output(), "");
    EXPECT_TRUE(std::filesystem::is_empty(temp / "tmp"));
    EXPECT_EQ(stagedCount(instanceSocket(temp)), "1");
    test::AppProcess bare(test::velmoBinary, {{}, {}, false, true});
    EXPECT_EQ(bare.awaitExit(20s), 0) << bare.output();

    first.reset();
    test::AppProcess alone(test::velmoBinary, {{(temp / "photo.jpg").string()}, {}, false, true});
    const auto status = alone.awaitExit(20s);
    EXPECT_TRUE(status == 1 || status == 2) << alone.output();
    EXPECT_NE(alone.output().find("no display"), std::string::npos) << alone.output();
    ::unsetenv("TMPDIR");  // its folder goes with the test
}

// The folder where launches meet must be this user's alone: one that others can enter, one
// that is a link, or one owned by someone else is not used (no socket is put there and, without
// the lock, no part file is swept), and Velmo says so.
TEST(SingleInstanceIntegrationTest, OnlyAPrivateFolderOfTheUserIsWhereLaunchesMeet) {
    test::TempFolder temp;
    test::isolateDesktop(temp);
    const auto folder = rendezvous(temp);
    const auto stalePart = temp / "home/Downloads/.velmo-6F25E1C0-0D3B-4C4E-9A43-2B8A6C1D5E7F.part";
    std::filesystem::create_directories(stalePart.parent_path());
    std::ofstream(stalePart) << "half a file";
    const test::TempFolder elsewhere;
    ::chmod(elsewhere.path().c_str(), 0700);
    struct Case {
        const char* label;
        std::function<bool()> make;  // false: this case cannot be made here
        std::filesystem::path looked;  // where a socket must not appear
    };
    const std::vector<Case> cases = {
        {"open to others", [&] { return std::filesystem::create_directories(folder) && ::chmod(folder.c_str(), 0755) == 0; }, folder},
        {"a link", [&] { std::filesystem::create_directories(folder.parent_path()); std::filesystem::create_directory_symlink(elsewhere.path(), folder); return true; }, elsewhere.path()},
        {"another user's", [&] { return std::filesystem::create_directories(folder) && ::chmod(folder.c_str(), 0700) == 0 && ::chown(folder.c_str(), 65534, 65534) == 0; }, folder},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove_all(folder);
        if (!c.make()) {
            std::cout << "[ SKIPPED  ] " << c.label << ": only root gives a folder away\n";
            continue;
        }
        test::AppProcess velmo(test::velmoBinary, {{}, {}, true, true});
        ASSERT_EQ(velmo.awaitReadiness(20s), "com.halvester.velmo\n");
        EXPECT_NE(velmo.output("cannot use", 5s).find("cannot use"), std::string::npos) << velmo.output();
        for (const auto& entry : std::filesystem::directory_iterator(c.looked))
            EXPECT_NE(entry.path().extension(), ".socket") << entry.path();
        EXPECT_TRUE(std::filesystem::exists(stalePart)) << "swept without the lock";
    }
}

// The hand-over reads a request in as many pieces as it comes, the closing NULs split between
// two reads included, and closes a request that grows past any launch's size instead of
// holding it; the instance goes on answering.
TEST(SingleInstanceIntegrationTest, TheHandOverReadsSplitRequestsAndCapsLongOnes) {
    test::TempFolder temp;
    test::isolateDesktop(temp);
    test::AppProcess first(test::velmoBinary, {{}, {}, true});
    ASSERT_EQ(first.awaitReadiness(20s), "com.halvester.velmo\n");
    const auto socket = instanceSocket(temp);
    EXPECT_EQ(request(socket, {std::string("velmo-open-2\0token=\0folder=/\0", 29), std::string(1, '\0')}, 300ms),
              "0");

    const int fd = connectTo(socket);
    ASSERT_GE(fd, 0);
    const timeval patience{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    const std::string block(1 << 20, 'x');
    std::size_t accepted = 0;
    for (int i = 0; i < 32; ++i) {
        const ssize_t n = ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
        accepted += static_cast<std::size_t>(n);
    }
    ::close(fd);
    EXPECT_LT(accepted, std::size_t(9) << 20) << "the instance kept reading an endless request";
    EXPECT_EQ(stagedCount(socket), "0");
}

}  // namespace
}  // namespace velmo
