#include <gtest/gtest.h>

#include "UpdateTestKit.h"
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

TEST(CurlTransportTest, OptionsAreHttpsOnlyWithoutRedirectsAndCapped) {
    const auto o = CurlTransport::optionsFor(65'536, {});
    EXPECT_EQ(o.protocols, "https");
    EXPECT_EQ(o.redirectProtocols, "https");
    EXPECT_FALSE(o.followRedirects);
    EXPECT_EQ(o.maxRedirects, 0);
    EXPECT_EQ(o.maxFileSize, 65'536);
    EXPECT_TRUE(o.verifyPeer);
    EXPECT_EQ(o.verifyHost, 2);
    EXPECT_FALSE(o.cookies);
    EXPECT_FALSE(o.decodeContent);
    EXPECT_EQ(o.timeouts.resource, std::chrono::seconds(60));
    EXPECT_EQ(o.timeouts.idle, std::chrono::seconds(30));
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
