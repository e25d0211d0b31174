#include "InstanceClient.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <thread>

namespace velmo::test {

socklen_t InstanceClient::address(const std::string& name, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    const std::size_t size = std::min(name.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path, name.data(), size);
    return socklen_t(offsetof(sockaddr_un, sun_path) + size + (name[0] ? 1 : 0));
}

int InstanceClient::connect(const std::string& name) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un where;
    const socklen_t size = address(name, where);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&where), size) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string InstanceClient::request(const std::string& name, const std::vector<std::string>& pieces,
                                    std::chrono::milliseconds pause) {
    const int fd = connect(name);
    if (fd < 0) return "(no instance)";
    for (const auto& piece : pieces) {
        std::this_thread::sleep_for(pause);
        EXPECT_EQ(::write(fd, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
    }
    std::string reply;
    char buffer[4096];
    ssize_t n;
    // The instance closes the connection after its answer.
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return reply.substr(0, reply.find('\0'));
}

std::string InstanceClient::stagedCount(const std::string& name) {
    return request(name, {std::string("velmo-open-2\0token=\0folder=/\0\0", 30)});
}

}  // namespace velmo::test
