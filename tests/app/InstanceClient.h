// What a test says to the running Velmo over its local socket, as a later launch would.
#pragma once
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <string>
#include <vector>

namespace velmo::test {

struct InstanceClient {
    // A socket file's path, or an abstract name when it starts with NUL; answers its length.
    static socklen_t address(const std::string& name, sockaddr_un& address);
    // A connection, or -1.
    static int connect(const std::string& name);
    // A hand-over request in the given pieces, each written on its own, `pause` apart; the
    // reply's first field, or "(no instance)".
    static std::string request(const std::string& name, const std::vector<std::string>& pieces,
                               std::chrono::milliseconds pause = {});
    // What a launch without files learns from the running instance: how many files it holds staged.
    static std::string stagedCount(const std::string& name);
};

}  // namespace velmo::test
