#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "UpdateTestKit.h"
#include "support/TempFolder.h"
#include "updatecore/BoundedUpdateRequest.h"
#include "updatecore/CurlTransport.h"
#include "updatecore/UpdateError.h"

namespace velmo {
namespace {

using Kind = UpdateError::Kind;
using test::LoopbackHttpServer;

class BoundedUpdateRequestTest : public ::testing::Test {
protected:
    LoopbackHttpServer server;
    test::LoopbackTransport transport;
    std::atomic<bool> cancel{false};

    std::string url(const std::string& path) { return "https://127.0.0.1:" + std::to_string(server.port()) + path; }

    UpdateError failure(const std::string& path, std::int64_t limit = 16) {
        try {
            BoundedUpdateRequest(url(path), limit).run(transport, "application/json", cancel);
        } catch (const UpdateError& e) {
            return e;
        }
        ADD_FAILURE() << "request succeeded";
        return UpdateError(Kind::unavailable);
    }
};

TEST_F(BoundedUpdateRequestTest, BodyOfExactlyTheLimitIsReturnedWithAcceptHeader) {
    server.respond("/feed.json", LoopbackHttpServer::response(200, std::string(16, 'x'), false));
    const Bytes body = BoundedUpdateRequest(url("/feed.json"), 16).run(transport, "application/json", cancel);
    EXPECT_EQ(test::textOf(body), std::string(16, 'x'));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_NE(server.requests()[0].find("Accept: application/json\r\n"), std::string::npos);
}

TEST_F(BoundedUpdateRequestTest, Refusals) {
    server.respond("/big", LoopbackHttpServer::response(200, std::string(17, 'x'), false));
    server.respond("/announced", LoopbackHttpServer::response(200, std::string(17, 'x')));
    server.respond("/moved", LoopbackHttpServer::response(301, "", true, "Location: /elsewhere\r\n"));
    server.respond("/broken", LoopbackHttpServer::response(500, "oops"));
    struct Case {
        const char* path;
        UpdateError expected;
    } cases[] = {
        {"/big", UpdateError(Kind::tooLarge)},
        {"/announced", UpdateError(Kind::tooLarge)},
        {"/moved", UpdateError(Kind::redirected)},
        {"/missing", UpdateError::http(404)},
        {"/broken", UpdateError::http(500)},
    };
    for (const auto& c : cases) EXPECT_EQ(failure(c.path), c.expected) << c.path;
    for (const auto& request : server.requests()) EXPECT_EQ(request.find("/elsewhere"), std::string::npos);
}

TEST_F(BoundedUpdateRequestTest, CancelledBeforeStartSendsNothing) {
    cancel = true;
    EXPECT_EQ(failure("/feed.json"), UpdateError(Kind::cancelled));
    EXPECT_EQ(server.connections(), 0);
}

// A transport that answers for another address than the one asked.
class WrongAddressTransport : public HttpTransport {
public:
    Outcome get(const std::string& url, const std::string&, std::int64_t, HttpSink& sink,
                const std::atomic<bool>&) override {
        sink.onHead({url + "x", true, 200, 1});
        return Outcome::stopped;
    }
};

TEST(BoundedUpdateRequestLogicTest, ResponseForAnotherAddressIsInsecure) {
    WrongAddressTransport transport;
    std::atomic<bool> cancel{false};
    try {
        BoundedUpdateRequest("https://a.example/f.json", 10).run(transport, "application/json", cancel);
        FAIL();
    } catch (const UpdateError& e) {
        EXPECT_EQ(e.kind(), Kind::insecureURL);
    }
}

TEST(CurlTransportTest, OptionsAreHttpsOnlyWithoutRedirects) {
    const auto o = CurlTransport::optionsFor({});
    EXPECT_EQ(o.protocols, "https");
    EXPECT_EQ(o.redirectProtocols, "https");
    EXPECT_FALSE(o.followRedirects);
    EXPECT_EQ(o.maxRedirects, 0);
    EXPECT_TRUE(o.verifyPeer);
    EXPECT_EQ(o.verifyHost, 2);
    EXPECT_FALSE(o.cookies);
    EXPECT_FALSE(o.decodeContent);
    EXPECT_EQ(o.timeouts.resource, std::chrono::seconds(60));
    EXPECT_EQ(o.timeouts.idle, std::chrono::seconds(30));
}

// An HTTP CONNECT proxy on loopback that tunnels only to 127.0.0.1, one connection at a time,
// and records the requests it was sent.
class ConnectProxy {
public:
    ConnectProxy() : listener_(test::loopbackListener(port_)), thread_([this] { serve(); }) {}
    ~ConnectProxy() {
        stopping_ = true;
        thread_.join();
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }
    std::vector<std::string> requests() const {
        std::lock_guard guard(lock_);
        return requests_;
    }

private:
    void serve() {
        while (!stopping_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            std::string head;
            char buffer[16'384];
            while (head.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = ::read(client, buffer, sizeof buffer);
                if (n <= 0) break;
                head.append(buffer, static_cast<std::size_t>(n));
            }
            {
                std::lock_guard guard(lock_);
                requests_.push_back(head);
            }
            const std::string prefix = "CONNECT 127.0.0.1:";
            const int upstream = head.rfind(prefix, 0) == 0
                                     ? test::loopbackConnection(static_cast<std::uint16_t>(std::atoi(head.c_str() + prefix.size())))
                                     : -1;
            const std::string reply = upstream >= 0 ? "HTTP/1.1 200 Connection established\r\nProxy-Agent: test\r\n\r\n"
                                                    : "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
            ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            if (upstream >= 0) relay(client, upstream);
            if (upstream >= 0) ::close(upstream);
            ::close(client);
        }
    }

    void relay(int a, int b) {
        char buffer[16'384];
        while (!stopping_) {
            pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!p[i].revents) continue;
                const ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
                if (n <= 0 || ::send(p[1 - i].fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) return;
            }
        }
    }

    std::uint16_t port_ = 0;
    int listener_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex lock_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// Sets an environment variable (or removes it) for one scope.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedVariable() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Through libcurl against a loopback HTTPS server whose certificate a test authority signed:
// directly and through an https_proxy.
TEST(CurlTransportTest, RepliesOverTlsDirectlyAndThroughAProxy) {
    test::TempFolder temp;
    test::TestAuthority authority(temp.path());
    LoopbackHttpServer server(&authority);
    const std::string huge = "Content-Length: 1000000000\r\n";
    server.respond("/feed.json", LoopbackHttpServer::response(200, std::string(16, 'x')));
    server.respond("/announced", "HTTP/1.1 200 X\r\nConnection: close\r\n" + huge + "\r\nxx");
    server.respond("/gone", "HTTP/1.1 404 X\r\nConnection: close\r\n" + huge + "\r\nxx");
    server.respond("/moved", "HTTP/1.1 302 X\r\nConnection: close\r\nLocation: /feed.json\r\n" + huge + "\r\nxx");
    const std::string base = "https://127.0.0.1:" + std::to_string(server.port());
    std::atomic<bool> cancel{false};
    const CurlTransport::Timeouts timeouts{std::chrono::seconds(5), std::chrono::seconds(5), std::chrono::seconds(10)};
    CurlTransport curl(timeouts, authority.caFile());
    auto error = [](const UpdateError& e) {
        return "error " + std::to_string(static_cast<int>(e.kind())) + " " + std::to_string(e.status());
    };
    auto outcome = [&](HttpTransport& transport, const std::string& path) -> std::string {
        try {
            return test::textOf(BoundedUpdateRequest(base + path, 16).run(transport, "application/json", cancel));
        } catch (const UpdateError& e) {
            return error(e);
        }
    };
    const std::pair<const char*, std::string> cases[] = {
        {"/feed.json", std::string(16, 'x')},
        {"/announced", error(UpdateError(Kind::tooLarge))},
        {"/gone", error(UpdateError::http(404))},
        {"/moved", error(UpdateError(Kind::redirected))},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(outcome(curl, path), expected) << path;

    // The server answered, then the body broke off: not a server that could not be reached.
    server.respond("/cut", "HTTP/1.1 200 X\r\nConnection: close\r\nContent-Length: 10\r\n\r\nxx");
    try {
        BoundedUpdateRequest(base + "/cut", 16).run(curl, "application/json", cancel);
        ADD_FAILURE() << "a cut body was taken";
    } catch (const UpdateError& e) {
        EXPECT_EQ(e, UpdateError(Kind::unavailable));
        EXPECT_STREQ(e.what(), "The connection to the update server was interrupted during the download. Try again later.");
    }

    // Verification stays on: without the test authority the server is not trusted.
    CurlTransport systemTrust(timeouts);
    EXPECT_EQ(outcome(systemTrust, "/feed.json"), error(UpdateError(Kind::unavailable)));

    ConnectProxy proxy;
    const std::string proxyAddress = "http://127.0.0.1:" + std::to_string(proxy.port());
    ScopedVariable https("https_proxy", proxyAddress.c_str()), upper("HTTPS_PROXY", nullptr),
        all("all_proxy", nullptr), none("no_proxy", nullptr), noneUpper("NO_PROXY", nullptr);
    for (const auto& [path, expected] : cases) EXPECT_EQ(outcome(curl, path), expected) << "proxied " << path;
    const auto tunnels = proxy.requests();
    ASSERT_EQ(tunnels.size(), std::size(cases));
    for (const auto& t : tunnels) EXPECT_EQ(t.rfind("CONNECT 127.0.0.1:" + std::to_string(server.port()) + " ", 0), 0u);
}

TEST(CurlTransportTest, PlainHttpIsNeverRequestedAndTlsFailureIsUnavailable) {
    LoopbackHttpServer server;
    server.respond("/feed.json", LoopbackHttpServer::response(200, "{}"));
    CurlTransport curl(CurlTransport::Timeouts{std::chrono::milliseconds(500), std::chrono::milliseconds(1000),
                                               std::chrono::milliseconds(1000)});
    std::atomic<bool> cancel{false};
    const std::string port = std::to_string(server.port());
    auto kindOf = [&](const std::string& url) {
        try {
            BoundedUpdateRequest(url, 100).run(curl, "application/json", cancel);
        } catch (const UpdateError& e) {
            return e.kind();
        }
        return Kind::invalidFeed;
    };
    EXPECT_EQ(kindOf("http://127.0.0.1:" + port + "/feed.json"), Kind::unavailable);
    EXPECT_EQ(server.connections(), 0);
    // A plain server behind an https address fails the TLS handshake.
    EXPECT_EQ(kindOf("https://127.0.0.1:" + port + "/feed.json"), Kind::unavailable);
    for (const auto& r : server.requests()) EXPECT_EQ(r.find("GET /feed.json"), std::string::npos);
}

TEST(CurlTransportTest, UnreachableHostIsUnavailable) {
    // Bind then close to find a loopback port nobody listens on.
    int port;
    {
        LoopbackHttpServer s;
        port = s.port();
    }
    CurlTransport curl;
    std::atomic<bool> cancel{false};
    try {
        BoundedUpdateRequest("https://127.0.0.1:" + std::to_string(port) + "/f.json", 10).run(curl, "application/json", cancel);
        FAIL();
    } catch (const UpdateError& e) {
        EXPECT_EQ(e.kind(), Kind::unavailable);
    }
}

}  // namespace
}  // namespace velmo
