#include "transfer/HttpRequestHead.h"

#include <gtest/gtest.h>

#include "transfer/HttpResponse.h"

namespace velmo {
namespace {

using State = HttpRequestHead::Scan::State;

std::optional<HttpRequest> parseText(const std::string& text) {
    const Bytes bytes = toBytes(text);
    const auto scan = HttpRequestHead::scan(bytes);
    if (scan.state != State::complete) return std::nullopt;
    return HttpRequestHead::parse(bytes, scan.end);
}

// A head of `size` bytes, the blank line that ends it included.
std::string headOfSize(std::size_t size) {
    std::string head = "GET / HTTP/1.1\r\nX-Pad: ";
    head += std::string(size - 4 - head.size(), 'a');
    return head + "\r\n\r\n";
}

TEST(HttpRequestHead, SizeLimitCountsTheBlankLine) {
    EXPECT_EQ(HttpRequestHead::scan(toBytes(headOfSize(16384))).state, State::complete);
    EXPECT_EQ(HttpRequestHead::scan(toBytes(headOfSize(16384))).end, 16380u);
    EXPECT_EQ(HttpRequestHead::scan(toBytes(headOfSize(16385))).state, State::tooLarge);
    EXPECT_EQ(HttpRequestHead::scan(toBytes(headOfSize(16388))).state, State::tooLarge);
}

TEST(HttpRequestHead, FullBufferWithoutTerminatorIsTooLarge) {
    std::string partial = headOfSize(16386);
    partial.resize(16384);  // "...\r\n" with the second CR LF still to come
    EXPECT_EQ(HttpRequestHead::scan(toBytes(partial)).state, State::tooLarge);
    partial.resize(16383);
    EXPECT_EQ(HttpRequestHead::scan(toBytes(partial)).state, State::incomplete);
}

TEST(HttpRequestHead, IncrementalScanFindsSplitTerminator) {
    const Bytes bytes = toBytes("GET / HTTP/1.1\r\n\r\n");
    const auto scan = HttpRequestHead::scan(bytes, bytes.size() - 2);
    EXPECT_EQ(scan.state, State::complete);
    EXPECT_EQ(scan.end, 14u);
}

TEST(HttpRequestHead, RequestLine) {
    auto r = parseText("POST  /upload?t=abc   HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->method, "POST");
    EXPECT_EQ(r->path, "/upload");
    EXPECT_EQ(r->query.at("t"), "abc");
    r = parseText("get /x\r\n\r\n");  // no version, method kept as sent
    ASSERT_TRUE(r);
    EXPECT_EQ(r->method, "get");
    EXPECT_FALSE(parseText("GET\r\n\r\n"));
    EXPECT_FALSE(parseText("\r\n\r\n"));
    r = parseText("GET\t/ HTTP/1.1\r\n\r\n");  // only spaces separate
    ASSERT_TRUE(r);
    EXPECT_EQ(r->method, "GET\t/");
}

TEST(HttpRequestHead, Headers) {
    const auto r = parseText(
        "GET / HTTP/1.1\r\nX-A: one\r\nx-a:  two \t\r\nHost: h:8080:x\r\nNoColon\r\nSpaced : v\r\n"
        "Bad\xFF: \xC3\r\n\r\nBODY");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->headers.at("x-a"), "two");
    EXPECT_EQ(r->headers.at("host"), "h:8080:x");
    EXPECT_EQ(r->headers.count("nocolon"), 0u);
    EXPECT_EQ(r->headers.count("spaced"), 0u);
    EXPECT_EQ(r->headers.at("spaced "), "v");
    EXPECT_EQ(r->headers.at("bad\xEF\xBF\xBD"), "\xEF\xBF\xBD");
    EXPECT_EQ(toString(r->leftover), "BODY");
}

TEST(HttpRequestHead, LoneLineEndsAreNotLineBreaks) {
    const auto r = parseText("GET / HTTP/1.1\r\nA: 1\nB: 2\r\n\r\n");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->headers.at("a"), "1\nB: 2");
}

struct TargetCase {
    const char* label;
    std::string target;
    bool accepted;
    std::string path;
    std::map<std::string, std::string> query;
};

void PrintTo(const TargetCase& c, std::ostream* os) { *os << c.label; }

class Target : public ::testing::TestWithParam<TargetCase> {};

TEST_P(Target, Table) {
    const auto& c = GetParam();
    const auto t = HttpRequestHead::parseTarget(c.target);
    ASSERT_EQ(t.has_value(), c.accepted);
    if (!t) return;
    EXPECT_EQ(t->path, c.path);
    EXPECT_EQ(t->query, c.query);
}

INSTANTIATE_TEST_SUITE_P(
    HttpRequestHead, Target,
    ::testing::Values(
        TargetCase{"origin", "/index.html?t=abc", true, "/index.html", {{"t", "abc"}}},
        TargetCase{"absolute", "http://192.168.1.2:8080/index.html?t=abc", true, "/index.html", {{"t", "abc"}}},
        TargetCase{"absoluteNoPath", "http://host?t=1", true, "", {{"t", "1"}}},
        TargetCase{"escapedLetter", "/%75pload?t=x", true, "/upload", {{"t", "x"}}},
        TargetCase{"firstWins", "/?t=a&t=b", true, "/", {{"t", "a"}}},
        TargetCase{"noEquals", "/?flag&t=", true, "/", {{"flag", ""}, {"t", ""}}},
        TargetCase{"escapedQuery", "/?t%3D=%3D%26+", true, "/", {{"t=", "=&+"}}},
        TargetCase{"fragment", "/a#b?t=1", true, "/a", {}},
        TargetCase{"emptyQuery", "/?", true, "/", {}},
        TargetCase{"relative", "upload?t=1", true, "upload", {{"t", "1"}}},
        TargetCase{"asterisk", "*", true, "*", {}},
        TargetCase{"badEscape", "/%ZZ", false, "", {}},
        TargetCase{"truncatedEscape", "/a%4", false, "", {}},
        TargetCase{"badEscapeInQuery", "/?t=%G1", false, "", {}},
        TargetCase{"nonAscii", "/\xC3\xA9", false, "", {}},
        TargetCase{"control", std::string("/a\x01"), false, "", {}},
        TargetCase{"angle", "/<script>", false, "", {}},
        TargetCase{"backslash", "/a\\b", false, "", {}}),
    [](const auto& info) { return std::string(info.param.label); });

// --- responses -------------------------------------------------------------------------

std::string response(int status, std::string_view type, std::string_view body) {
    return toString(HttpResponse::format(status, type, toBytes(body)));
}

const std::string fixedHeaders =
    "Cache-Control: no-store\r\nReferrer-Policy: no-referrer\r\nX-Content-Type-Options: nosniff\r\n"
    "Content-Security-Policy: frame-ancestors 'none'; base-uri 'none'; connect-src 'self'\r\n"
    "Connection: close\r\n\r\n";

TEST(HttpResponse, ExactBytes) {
    struct Case {
        int status;
        std::string statusLine;
    };
    for (const auto& c : std::vector<Case>{{200, "HTTP/1.1 200 OK"},
                                           {400, "HTTP/1.1 400 Bad Request"},
                                           {403, "HTTP/1.1 403 Forbidden"},
                                           {404, "HTTP/1.1 404 Not Found"},
                                           {409, "HTTP/1.1 409 Conflict"},
                                           {413, "HTTP/1.1 413 Content Too Large"},
                                           {500, "HTTP/1.1 500 Internal Server Error"},
                                           {418, "HTTP/1.1 418 Error"}}) {
        EXPECT_EQ(response(c.status, "text/plain; charset=utf-8", "Not found"),
                  c.statusLine + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 9\r\n" +
                      fixedHeaders + "Not found");
    }
}

TEST(HttpResponse, EmptyBodyAndUtf8Length) {
    EXPECT_EQ(response(200, "application/json", ""),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 0\r\n" + fixedHeaders);
    EXPECT_NE(response(200, "text/html; charset=utf-8", "\xE2\x82\xAC").find("Content-Length: 3\r\n"),
              std::string::npos);
}

}  // namespace
}  // namespace velmo
