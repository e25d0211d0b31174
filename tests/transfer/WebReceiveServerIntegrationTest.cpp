#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <thread>

#include "WebReceiveTestServer.h"
#include "support/ScopedUmask.h"
#include "transfer/ShareError.h"

namespace velmo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::LoopbackClient;
using test::WebReceiveTestServer;
using test::bodyOf;
using test::hasPartFile;
using test::kinds;
using test::statusOf;
using Server = WebReceiveServer;

const std::string fixedHeaders =
    "Cache-Control: no-store\r\nReferrer-Policy: no-referrer\r\nX-Content-Type-Options: nosniff\r\n"
    "Content-Security-Policy: frame-ancestors 'none'; base-uri 'none'; connect-src 'self'\r\n"
    "Connection: close\r\n\r\n";
const std::string expired = "This link has expired. Scan the code on the computer again.";
const std::string badRequest = R"({"ok":false,"error":"bad request"})";
const std::string limitReached = R"({"ok":false,"error":"Session limit reached. Open a new receive code."})";
constexpr std::int64_t GiB = 1024LL * 1024 * 1024;

std::string exactResponse(const std::string& statusLine, const std::string& type, const std::string& body) {
    return "HTTP/1.1 " + statusLine + "\r\nContent-Type: " + type + "\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n" + fixedHeaders + body;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// --- routing ---------------------------------------------------------------------------

TEST(WebReceiveServer, TokenIsCheckedOnEveryPath) {
    WebReceiveTestServer s;
    s.start();
    std::string wrong = s.token();
    wrong.back() = wrong.back() == '0' ? '1' : '0';
    const auto forbidden = exactResponse("403 Forbidden", "text/plain; charset=utf-8", expired);
    for (const std::string method : {"GET", "POST"}) {
        for (const std::string path : {"/", "/index.html", "/upload", "/nope"}) {
            for (const std::string& query : std::vector<std::string>{"", "?t=", "?t=" + wrong, "?T=" + s.token(), "?t=" + s.token() + "x"}) {
                EXPECT_EQ(s.request(method + " " + path + query + " HTTP/1.1\r\n\r\n"), forbidden)
                    << method << path << query;
            }
        }
    }
    EXPECT_TRUE(s.events->snapshot().empty());
}

TEST(WebReceiveServer, Routing) {
    WebReceiveTestServer s(test::fastTimeouts(), "<html>\xE2\x82\xAC</html>");
    s.start();
    const auto q = "?t=" + s.token();
    const auto page = exactResponse("200 OK", "text/html; charset=utf-8", "<html>\xE2\x82\xAC</html>");
    const auto notFound = exactResponse("404 Not Found", "text/plain; charset=utf-8", "Not found");
    EXPECT_EQ(s.request("GET /" + q + " HTTP/1.1\r\n\r\n"), page);
    EXPECT_EQ(s.request("GET /index.html" + q + " HTTP/1.1\r\nHost: a\r\n\r\n"), page);
    EXPECT_EQ(s.request("GET /index.html" + q + "\r\n\r\n"), page);  // no version
    EXPECT_EQ(s.request("GET http://phone.local:99/index.html" + q + " HTTP/1.1\r\n\r\n"), page);
    EXPECT_EQ(s.request("GET /%69ndex.html" + q + " HTTP/1.1\r\n\r\n"), page);
    EXPECT_EQ(s.request("GET /upload" + q + " HTTP/1.1\r\n\r\n"), notFound);
    EXPECT_EQ(s.request("HEAD /" + q + " HTTP/1.1\r\n\r\n"), notFound);
    EXPECT_EQ(s.request("get /" + q + " HTTP/1.1\r\n\r\n"), notFound);
    EXPECT_EQ(s.request("GET /index.html/" + q + " HTTP/1.1\r\n\r\n"), notFound);
    EXPECT_EQ(s.request("PUT /upload" + q + " HTTP/1.1\r\n\r\n"), notFound);
}

TEST(WebReceiveServer, UnreadableHeadsAreDroppedWithoutAnswer) {
    WebReceiveTestServer s;
    s.start();
    const auto q = "?t=" + s.token();
    for (const std::string& raw : std::vector<std::string>{"GARBAGE\r\n\r\n", "\r\n\r\n", "GET /%ZZ" + q + " HTTP/1.1\r\n\r\n",
                                  "GET /\xC3\xA9" + q + " HTTP/1.1\r\n\r\n"}) {
        EXPECT_EQ(s.request(raw), "") << raw;
    }
}

// A head of `size` bytes, the blank line that ends it included.
std::string headOfSize(std::size_t size, const std::string& query) {
    std::string head = "GET /" + query + " HTTP/1.1\r\nX-Pad: ";
    head += std::string(size - 4 - head.size(), 'a');
    return head + "\r\n\r\n";
}

TEST(WebReceiveServer, HeadSizeBoundary) {
    WebReceiveTestServer s;
    s.start();
    const auto q = "?t=" + s.token();
    const auto tooLarge = exactResponse("431 Request Header Fields Too Large", "text/plain; charset=utf-8",
                                        "Request header fields too large");
    EXPECT_EQ(statusOf(s.request(headOfSize(16384, q))), 200);
    EXPECT_EQ(s.request(headOfSize(16385, q)), tooLarge);
    EXPECT_EQ(s.request(headOfSize(16388, q)), tooLarge);
    EXPECT_EQ(s.request(headOfSize(20000, q)), tooLarge);
    // 16,384 bytes without the terminator: refused even though it would follow.
    LoopbackClient client(s.port);
    std::string partial = headOfSize(16386, q).substr(0, 16384);
    client.send(partial);
    EXPECT_EQ(client.readAll(), tooLarge);
}

// --- uploads ---------------------------------------------------------------------------

TEST(WebReceiveServer, UploadStoresFileAndReportsInOrder) {
    test::ScopedUmask mask(022);
    WebReceiveTestServer s;
    s.start();
    const auto response = s.upload("%E2%82%AC.txt", "hello",
                                   "User-Agent: Mozilla/5.0 (Linux; Android 13; XY-1000 Build/ABC.123)\r\n");
    ASSERT_EQ(statusOf(response), 200) << response;
    EXPECT_NE(response.find("Content-Type: application/json\r\n"), std::string::npos);
    const auto reply = nlohmann::json::parse(bodyOf(response));
    EXPECT_EQ(reply, (nlohmann::json{{"ok", true}, {"name", "\xE2\x82\xAC.txt"}}));
    EXPECT_EQ(readFile(s.temp / "\xE2\x82\xAC.txt"), "hello");
    EXPECT_EQ(test::permissionsOf((s.temp / "\xE2\x82\xAC.txt").c_str()), 0644u);
    ASSERT_TRUE(s.events->waitForCount(3));
    const auto events = s.events->snapshot();
    ASSERT_EQ(kinds(events), "started progress finished");
    const auto& started = std::get<Server::Started>(events[0]);
    EXPECT_EQ(started.name, "\xE2\x82\xAC.txt");
    EXPECT_EQ(started.size, 5);
    EXPECT_EQ(started.device, "XY-1000");
    EXPECT_EQ(std::get<Server::Progress>(events[1]).id, started.id);
    EXPECT_EQ(std::get<Server::Progress>(events[1]).done, 5);
    EXPECT_EQ(std::get<Server::Finished>(events[2]).url, s.temp / "\xE2\x82\xAC.txt");
    EXPECT_EQ(s.budget->remainingBytes(), 20 * GiB - 5);
    EXPECT_EQ(s.budget->remainingFiles(), 255);
}

TEST(WebReceiveServer, SameNameTwiceGetsTwoFiles) {
    WebReceiveTestServer s;
    s.start();
    EXPECT_EQ(nlohmann::json::parse(bodyOf(s.upload("a.txt", "one")))["name"], "a.txt");
    EXPECT_EQ(nlohmann::json::parse(bodyOf(s.upload("a.txt", "two")))["name"], "a (1).txt");
    EXPECT_EQ(readFile(s.temp / "a.txt"), "one");
    EXPECT_EQ(readFile(s.temp / "a (1).txt"), "two");
}

TEST(WebReceiveServer, BadRequestsAnswer400WithoutEvents) {
    WebReceiveTestServer s;
    s.start();
    const auto bad = exactResponse("400 Bad Request", "application/json", badRequest);
    const std::string start = "POST /upload?t=" + s.token() + " HTTP/1.1\r\n";
    for (const std::string headers : {
             "X-File-Name: a\r\n",
             "X-File-Name: a\r\nContent-Length: -1\r\n",
             "X-File-Name: a\r\nContent-Length: 12a\r\n",
             "X-File-Name: a\r\nContent-Length:\r\n",
             "X-File-Name: a\r\nContent-Length: 0x5\r\n",
             // Digits only: a sign is no part of a length.
             "X-File-Name: a\r\nContent-Length: +5\r\n",
             "X-File-Name: a\r\nContent-Length: -0\r\n",
             "Content-Length: 0\r\n",
             "X-File-Name: %ZZ\r\nContent-Length: 0\r\n",
             "X-File-Name: %FF.txt\r\nContent-Length: 0\r\n",
             "X-File-Name: a%2\r\nContent-Length: 0\r\n",
             "X-File-Name: a\r\nTransfer-Encoding: chunked\r\n",
             "X-File-Name: a\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n",
             // Where the body ends is in doubt.
             "X-File-Name: a\r\nContent-Length: 0\r\ncontent-length: 5\r\n",
             "X-File-Name: a\r\nContent-Length: 5\r\nContent-Length: 5\r\nContent-Length: 0\r\n"}) {
        LoopbackClient client(s.port);
        client.send(start + headers + "\r\n");
        client.shutdownWrite();  // the body that may be awaited never comes
        EXPECT_EQ(client.readAll(), bad) << headers;
    }
    EXPECT_TRUE(s.events->snapshot().empty());
    EXPECT_EQ(s.budget->remainingFiles(), 256);
    EXPECT_TRUE(s.files().empty());
}

TEST(WebReceiveServer, ChunkedBodyIsNeverStored) {
    WebReceiveTestServer s;
    s.start();
    const auto response = s.request("POST /upload?t=" + s.token() +
                                    " HTTP/1.1\r\nX-File-Name: c.txt\r\nContent-Length: 12\r\n"
                                    "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n");
    EXPECT_EQ(statusOf(response), 400);
    EXPECT_TRUE(s.files().empty());
}

TEST(WebReceiveServer, ContentLengthForms) {
    WebReceiveTestServer s;
    s.start();
    const std::string start = "POST /upload?t=" + s.token() + " HTTP/1.1\r\n";
    // The same length twice is still one length.
    EXPECT_EQ(statusOf(s.request(start + "X-File-Name: twice\r\nContent-Length: 5\r\ncontent-length: 5\r\n\r\nhello")),
              200);
    EXPECT_EQ(readFile(s.temp / "twice"), "hello");
    EXPECT_EQ(statusOf(s.request(start + "X-File-Name: zero\r\nContent-Length: 0\r\n\r\n")), 200);
    EXPECT_TRUE(fs::exists(s.temp / "zero"));
    EXPECT_EQ(fs::file_size(s.temp / "zero"), 0u);
    ASSERT_TRUE(s.events->waitForCount(5));
    EXPECT_EQ(kinds(s.events->snapshot()), "started progress finished started finished");
}

TEST(WebReceiveServer, EmptyFileWithTrailingBytesReportsZeroProgress) {
    WebReceiveTestServer s;
    s.start();
    const auto response = s.request("POST /upload?t=" + s.token() +
                                    " HTTP/1.1\r\nX-File-Name: e\r\nContent-Length: 0\r\n\r\nextra");
    EXPECT_EQ(statusOf(response), 200);
    EXPECT_EQ(fs::file_size(s.temp / "e"), 0u);
    ASSERT_TRUE(s.events->waitForCount(3));
    const auto events = s.events->snapshot();
    EXPECT_EQ(kinds(events), "started progress finished");
    EXPECT_EQ(std::get<Server::Progress>(events[1]).done, 0);
}

TEST(WebReceiveServer, BodyBeyondLengthIsDroppedAndAnsweredAtOnce) {
    WebReceiveTestServer s;
    s.start();
    LoopbackClient client(s.port);
    client.send("POST /upload?t=" + s.token() + " HTTP/1.1\r\nX-File-Name: b\r\nContent-Length: 4\r\n\r\nab");
    client.send("cdEXTRA");  // the client keeps its side open
    EXPECT_EQ(statusOf(client.readAll()), 200);
    EXPECT_EQ(readFile(s.temp / "b"), "abcd");
}

TEST(WebReceiveServer, BudgetRefusalAnswers413AndKeepsAllowance) {
    WebReceiveTestServer s;
    s.start();
    const auto limit = exactResponse("413 Content Too Large", "application/json", limitReached);
    const std::string start = "POST /upload?t=" + s.token() + " HTTP/1.1\r\nX-File-Name: big\r\n";
    EXPECT_EQ(s.request(start + "Content-Length: 10737418241\r\n\r\n"), limit);
    ASSERT_TRUE(s.budget->reserve({10 * GiB, 10 * GiB - 10}));
    EXPECT_EQ(s.request(start + "Content-Length: 11\r\n\r\n"), limit);
    EXPECT_EQ(s.budget->remainingBytes(), 10);
    EXPECT_EQ(statusOf(s.upload("fits", "0123456789")), 200);
    EXPECT_EQ(s.budget->remainingBytes(), 0);
    EXPECT_EQ(kinds(s.events->snapshot()).find("failed"), std::string::npos);
}

TEST(WebReceiveServer, HostileNamesStayInTheFolder) {
    test::TempFolder outer;
    const auto folder = outer / "inbox";
    fs::create_directory(folder);
    outer.write("x", "outside");
    std::ofstream(folder / "passwd") << "existing";
    WebReceiveTestServer s(folder, test::fastTimeouts());
    s.start();
    struct Case {
        std::string header;
        std::string stored;
    };
    std::string emoji;
    for (int i = 0; i < 200; ++i) emoji += "%F0%9F%98%80";
    for (const auto& c : std::vector<Case>{{"..%2Fx", "x"},
                                           {"../x", "x (1)"},
                                           {"%2F", "_"},
                                           {"%00", "_ (1)"},
                                           {"..", "File"},
                                           {".hidden", "hidden"},
                                           {"..%2F..%2Fetc%2Fpasswd", "passwd (1)"},
                                           {"%2Fetc%2Fpasswd", "passwd (2)"},
                                           {"a%3Ab", "a_b"},
                                           {std::string(300, 'n'), std::string(200, 'n')},
                                           {emoji, ""}}) {
        const auto response = s.upload(c.header, "data");
        ASSERT_EQ(statusOf(response), 200) << c.header;
        const std::string name = nlohmann::json::parse(bodyOf(response))["name"];
        if (!c.stored.empty()) {
            EXPECT_EQ(name, c.stored) << c.header;
        }
        EXPECT_LE(name.size(), 240u);
        EXPECT_EQ(readFile(folder / name), "data");
    }
    EXPECT_EQ(readFile(outer / "x"), "outside");
    EXPECT_EQ(readFile(folder / "passwd"), "existing");
    const auto outside = std::distance(fs::directory_iterator(outer.path()), fs::directory_iterator());
    EXPECT_EQ(outside, 2);  // "x" and the inbox
    EXPECT_FALSE(hasPartFile(folder));
}

TEST(WebReceiveServer, EightParallelUploadsOfOneName) {
    WebReceiveTestServer s;
    s.start();
    std::vector<std::thread> clients;
    std::vector<std::string> names(8);
    for (int i = 0; i < 8; ++i) {
        clients.emplace_back([&, i] {
            names[i] = nlohmann::json::parse(bodyOf(s.upload("same.bin", std::string(100'000, char('a' + i)))))["name"];
        });
    }
    for (auto& c : clients) c.join();
    std::set<std::string> distinct(names.begin(), names.end());
    EXPECT_EQ(distinct.size(), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(readFile(s.temp / names[i]), std::string(100'000, char('a' + i)));
}

TEST(WebReceiveServer, ProgressStepsAndFinalValue) {
    WebReceiveTestServer s;
    s.start();
    const std::string body(1'000'000, 'p');
    EXPECT_EQ(statusOf(s.upload("big", body)), 200);
    const auto events = s.events->snapshot();
    std::int64_t previous = 0;
    for (std::size_t i = 1; i + 1 < events.size(); ++i) {
        const auto done = std::get<Server::Progress>(events[i]).done;
        if (i + 2 < events.size()) {
            EXPECT_GE(done - previous, 262'144);
        }
        previous = done;
    }
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(std::get<Server::Progress>(events[events.size() - 2]).done, 1'000'000);
    EXPECT_TRUE(std::holds_alternative<Server::Finished>(events.back()));
}

TEST(WebReceiveServer, ExpectContinue) {
    WebReceiveTestServer s;
    s.start();
    LoopbackClient client(s.port);
    client.send("POST /upload?t=" + s.token() +
                " HTTP/1.1\r\nX-File-Name: e.txt\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\n");
    EXPECT_EQ(client.readUntil("\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    client.send("abc");
    EXPECT_EQ(statusOf(client.readAll()), 200);
    EXPECT_EQ(readFile(s.temp / "e.txt"), "abc");

    // A refused upload gets its final answer, never the interim one.
    LoopbackClient refused(s.port);
    refused.send("POST /upload?t=" + s.token() +
                 " HTTP/1.1\r\nX-File-Name: e.txt\r\nContent-Length: 20000000000\r\nExpect: 100-continue\r\n\r\n");
    EXPECT_EQ(statusOf(refused.readAll()), 413);
}

// Sends a head announcing a large body, then all of the body, while the answer may come
// early. The server must go on reading what is sent, so every send succeeds.
std::string earlyAnswer(std::uint16_t port, const std::string& head, std::size_t bodySize) {
    LoopbackClient client(port);
    client.send(head);
    bool allSent = true;
    std::thread writer([&] {
        const std::string chunk(65536, 'z');
        for (std::size_t sent = 0; sent < bodySize && allSent; sent += chunk.size()) allSent = client.send(chunk);
    });
    const auto response = client.readAll();
    writer.join();
    EXPECT_TRUE(allSent) << "the server reset the connection while the body was still sent";
    return response;
}

TEST(WebReceiveServer, EarlyAnswersReachClientsStillSending) {
    WebReceiveTestServer s;
    s.start();
    const std::size_t size = 16 * 1024 * 1024;
    const auto length = "Content-Length: " + std::to_string(size) + "\r\n";
    EXPECT_EQ(statusOf(earlyAnswer(s.port, "POST /upload?t=wrong HTTP/1.1\r\nX-File-Name: a\r\n" + length + "\r\n", size)), 403);
    EXPECT_EQ(statusOf(earlyAnswer(s.port, "POST /upload?t=" + s.token() + " HTTP/1.1\r\nX-File-Name: %ZZ\r\n" + length + "\r\n", size)), 400);
    EXPECT_EQ(statusOf(earlyAnswer(s.port, "POST /nowhere?t=" + s.token() + " HTTP/1.1\r\n" + length + "\r\n", size)), 404);
    s.budget->reserve({10 * GiB, 10 * GiB});
    EXPECT_EQ(statusOf(earlyAnswer(s.port, "POST /upload?t=" + s.token() + " HTTP/1.1\r\nX-File-Name: a\r\n" + length + "\r\n", size)), 413);
}

// --- connections and timers ------------------------------------------------------------

TEST(WebReceiveServer, SilentClientIsCutByIdleTimer) {
    auto timeouts = test::fastTimeouts();
    timeouts.idle = 150ms;
    WebReceiveTestServer s(timeouts);
    s.start();
    LoopbackClient silent(s.port);
    EXPECT_TRUE(silent.closedWithin(5s));
    LoopbackClient partial(s.port);
    partial.send("GET / HTTP/1.1\r\n");
    EXPECT_EQ(partial.readAll(), "");
}

TEST(WebReceiveServer, TricklingHeadIsCutByHeadDeadline) {
    auto timeouts = test::fastTimeouts();
    timeouts.idle = 500ms;
    timeouts.head = 300ms;
    WebReceiveTestServer s(timeouts);
    s.start();
    LoopbackClient client(s.port);
    const std::string head = "GET /?t=" + s.token() + " HTTP/1.1\r\nX-Slow: " + std::string(200, 's');
    bool cut = false;
    const auto started = std::chrono::steady_clock::now();
    for (const char c : head) {
        if (!client.send(std::string(1, c)) || client.closedWithin(20ms)) {
            cut = true;
            break;
        }
    }
    EXPECT_TRUE(cut);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
}

TEST(WebReceiveServer, StopIsFinal) {
    WebReceiveTestServer s;
    const auto port = s.start();
    s.server->stop();
    s.server->stop();
    EXPECT_THROW(asio::co_spawn(Runtime::shared().executor(), s.server->start(), asio::use_future).get(), ShareError);
    std::this_thread::sleep_for(50ms);
    EXPECT_THROW(LoopbackClient{port}, std::runtime_error);
}

TEST(WebReceiveServer, SecondStartFails) {
    WebReceiveTestServer s;
    s.start();
    try {
        asio::co_spawn(Runtime::shared().executor(), s.server->start(), asio::use_future).get();
        FAIL();
    } catch (const ShareError& e) {
        EXPECT_EQ(e.kind(), ShareError::Kind::connectionClosed);
    }
    EXPECT_EQ(statusOf(s.request("GET /?t=" + s.token() + " HTTP/1.1\r\n\r\n")), 200);
}

TEST(WebReceiveServer, UnheldBindAddressFailsWithPlatformError) {
    auto budget = std::make_shared<ReceiveSessionBudget>();
    Server server("", "/tmp", Server::makeToken(), "192.0.2.1", budget);
    try {
        asio::co_spawn(Runtime::shared().executor(), server.start(), asio::use_future).get();
        FAIL();
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), static_cast<int>(std::errc::address_not_available));
    }
}

TEST(WebReceiveServer, SetFolderAppliesToLaterUploads) {
    WebReceiveTestServer s;
    s.start();
    test::TempFolder other;
    s.server->setFolder(other / "new");
    EXPECT_EQ(statusOf(s.upload("n.txt", "new")), 200);
    EXPECT_EQ(readFile(other / "new" / "n.txt"), "new");
}

TEST(WebReceiveServer, TokensAreFreshHex) {
    const auto a = Server::makeToken();
    const auto b = Server::makeToken();
    EXPECT_NE(a, b);
    for (const auto& t : {a, b}) {
        ASSERT_EQ(t.size(), 32u);
        EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos);
    }
}

}  // namespace
}  // namespace velmo
