// Which connections the web receive server takes, and which make room for them. The first
// case runs in a process of its own under CTest: it lowers the descriptor limit of this process.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "WebReceiveTestServer.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
using test::LoopbackClient;
using test::WebReceiveTestServer;
using test::statusOf;
using Server = WebReceiveServer;

constexpr std::int64_t GiB = 1024LL * 1024 * 1024;
const std::string limitReached = R"({"ok":false,"error":"Session limit reached. Open a new receive code."})";

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

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

// Connections that have not shown the token in a whole head never keep a phone out: when all
// eight places are taken, the oldest of them makes room; refused ones still draining hold none.
// Eight uploads under way hold theirs: a ninth connection is closed without a reply, and a
// tenth is served once one of them has ended.
TEST(WebReceiveServer, ConnectionLimit) {
    auto timeouts = test::fastTimeouts();
    timeouts.drain = 5s;
    WebReceiveTestServer s(timeouts);
    s.start();
    std::vector<std::unique_ptr<LoopbackClient>> idle;
    for (int i = 0; i < 11; ++i) {
        idle.push_back(std::make_unique<LoopbackClient>(s.port));
        if (i % 3 == 1) idle.back()->send("GET /");  // a head in progress
        if (i % 3 != 2) continue;
        // Refused, but still sending its body while the server drains it.
        idle.back()->send("POST /upload?t=wrong HTTP/1.1\r\nContent-Length: 9999999\r\n\r\n");
        EXPECT_EQ(statusOf(idle.back()->readUntil("again.")), 403);
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(statusOf(s.upload("phone.txt", "from the phone")), 200);
    EXPECT_TRUE(idle.front()->closedWithin(1s)) << "the oldest idle connection made room";
    EXPECT_EQ(readFile(s.temp / "phone.txt"), "from the phone");

    std::vector<std::unique_ptr<LoopbackClient>> uploads;
    for (int i = 0; i < 8; ++i) {
        uploads.push_back(std::make_unique<LoopbackClient>(s.port));
        uploads.back()->send("POST /upload?t=" + s.token() + " HTTP/1.1\r\nX-File-Name: u" + std::to_string(i) +
                             "\r\nContent-Length: 2\r\n\r\nx");
    }
    const auto started = [&] {
        const auto events = s.events->snapshot();
        return std::count_if(events.begin(), events.end(),
                             [](const auto& e) { return std::holds_alternative<Server::Started>(e); });
    };
    for (int attempt = 0; attempt < 250 && started() < 9; ++attempt) std::this_thread::sleep_for(20ms);
    ASSERT_EQ(started(), 9);
    LoopbackClient ninth(s.port);
    EXPECT_EQ(ninth.readAll(), "");
    uploads.front()->send("y");
    EXPECT_EQ(statusOf(uploads.front()->readAll()), 200);
    int status = 0;
    for (int attempt = 0; attempt < 50 && status != 200; ++attempt) {
        std::this_thread::sleep_for(20ms);
        status = statusOf(s.request("GET /?t=" + s.token() + " HTTP/1.1\r\n\r\n"));
    }
    EXPECT_EQ(status, 200);
}

// Connections whose requests have been answered hold no place while they close, so a phone's
// next request neither waits for them nor makes one of them, or itself, be cut. Only as many
// again may be closing: past that, the oldest of them is closed at once.
TEST(WebReceiveServer, AnsweredConnectionsHoldNoPlace) {
    auto timeouts = test::fastTimeouts();
    timeouts.drain = 10s;
    WebReceiveTestServer s(timeouts);
    s.start();
    ASSERT_TRUE(s.budget->reserve({10 * GiB, 10 * GiB}));
    LoopbackClient phone(s.port);  // its request still to come
    std::vector<std::unique_ptr<LoopbackClient>> refused;
    for (int i = 0; i < 15; ++i) {
        refused.push_back(std::make_unique<LoopbackClient>(s.port));
        refused.back()->send("POST /upload?t=" + s.token() + " HTTP/1.1\r\nX-File-Name: a\r\nContent-Length: 9999\r\n\r\n");
        EXPECT_EQ(statusOf(refused.back()->readUntil(limitReached)), 413);
    }
    // A closed connection answers what is sent to it with a reset; a draining one reads it.
    const auto cut = [](LoopbackClient& client) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (!client.send("more body")) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    };
    EXPECT_FALSE(cut(*refused.front()));
    LoopbackClient next(s.port);
    next.send("GET /?t=" + s.token() + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(statusOf(next.readAll()), 200);
    EXPECT_TRUE(cut(*refused.front())) << "more than eight connections kept closing";
    EXPECT_FALSE(cut(*refused[1]));
    phone.send("GET /?t=" + s.token() + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(statusOf(phone.readAll()), 200) << "the phone's connection was cut to make room";
}

}  // namespace
}  // namespace velmo
