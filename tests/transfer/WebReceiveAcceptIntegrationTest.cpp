// Runs in a process of its own under CTest: it lowers the descriptor limit of this process.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "WebReceiveTestServer.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;

TEST(WebReceiveAccept, SurvivesTooManyOpenFiles) {
    test::WebReceiveTestServer s;
    s.start();
    test::LoopbackClient warmup(s.port);  // the runtime is fully up before the limit drops
    warmup.send("GET /?t=" + s.token() + " HTTP/1.1\r\n\r\n");
    ASSERT_EQ(test::statusOf(warmup.readAll()), 200);

    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit lowered = original;
    lowered.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);

    // The client's descriptor exists before the table is full; it connects afterwards, so
    // the server's accept is the call that finds no descriptor left.
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::dup(STDERR_FILENO)) >= 0;) fillers.push_back(fd);
    ASSERT_EQ(errno, EMFILE);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(s.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string request = "GET /?t=" + s.token() + " HTTP/1.1\r\n\r\n";
    ASSERT_EQ(::send(client, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::this_thread::sleep_for(200ms);  // the server's accepts fail meanwhile

    for (int i = 0; i < 8; ++i) {
        ::close(fillers.back());
        fillers.pop_back();
    }
    std::string response;
    char buffer[4096];
    timeval timeout{10, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    for (ssize_t n; (n = ::recv(client, buffer, sizeof buffer, 0)) > 0;) response.append(buffer, static_cast<std::size_t>(n));
    ::close(client);
    EXPECT_EQ(test::statusOf(response), 200);
    for (const int fd : fillers) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &original);

    test::LoopbackClient after(s.port);
    after.send("GET /?t=" + s.token() + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(test::statusOf(after.readAll()), 200);
}

}  // namespace
}  // namespace velmo
