// Later launches of the real velmo hand their files to the running one and exit.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "AppProcess.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;

const std::filesystem::path velmoBinary = VELMO_BINARY;

int connectTo(const std::filesystem::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What a launch without files learns from the running instance: the files it holds staged.
std::vector<std::string> stagedFiles(const std::filesystem::path& socket) {
    const int fd = connectTo(socket);
    if (fd < 0) return {"(no instance)"};
    const std::string request("velmo-open-1\0token=\0\0", 21);
    EXPECT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    std::string reply;
    char buffer[4096];
    ssize_t n;
    // The instance closes the connection after its answer.
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    std::vector<std::string> files;
    for (std::size_t start = 0, end; (end = reply.find('\0', start)) != std::string::npos && end > start; start = end + 1)
        files.push_back(reply.substr(start, end - start));
    return files;
}

TEST(SingleInstanceIntegrationTest, ALaterLaunchHandsItsFilesToTheRunningVelmoAndExits) {
    test::TempFolder temp;
    test::isolateDesktop(temp);
    const auto socket = temp / "run/com.halvester.velmo.socket";
    temp.write("photo.jpg", "jpeg");

    // A crash left its socket behind; it must not keep the next Velmo from starting.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(stale);

    // A Velmo killed mid-receive left its part file in the download folder.
    const auto stalePart = temp / "home/Downloads/.velmo-6F25E1C0-0D3B-4C4E-9A43-2B8A6C1D5E7F.part";
    std::filesystem::create_directories(stalePart.parent_path());
    std::ofstream(stalePart) << "half a file";

    test::AppProcess first(velmoBinary, {{}, {}, true});
    ASSERT_EQ(first.awaitReadiness(20s), "com.halvester.velmo\n");
    EXPECT_FALSE(std::filesystem::exists(stalePart));
    EXPECT_TRUE(stagedFiles(socket).empty());

    // Relative names are taken from the later launch's folder; names of nothing are dropped.
    test::AppProcess second(velmoBinary, {{"photo.jpg", "missing.jpg"}, temp.path(), false});
    EXPECT_EQ(second.awaitExit(20s), 0);
    EXPECT_EQ(stagedFiles(socket), std::vector<std::string>{(temp / "photo.jpg").string()});

    // A launch without files just brings the window forward.
    test::AppProcess third(velmoBinary, {{}, {}, false});
    EXPECT_EQ(third.awaitExit(20s), 0);
    EXPECT_EQ(first.awaitExit(0ms), std::nullopt) << "the first Velmo keeps running";

    std::string version;
    EXPECT_EQ(test::runTool(velmoBinary, {"--version"}, &version), 0);
    EXPECT_EQ(version.rfind("Velmo ", 0), 0u) << version;
}

}  // namespace
}  // namespace velmo
