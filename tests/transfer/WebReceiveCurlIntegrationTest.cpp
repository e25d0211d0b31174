// The web receive server against the real curl client, on 127.0.0.1.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include "WebReceiveTestServer.h"

namespace velmo {
namespace {

namespace fs = std::filesystem;
constexpr std::int64_t GiB = 1024LL * 1024 * 1024;

struct CurlResult {
    int exitCode = -1;
    int status = 0;          // HTTP status of the final answer
    std::string body;        // the final answer's body
    std::string trace;       // curl's verbose output
};

class Curl : public ::testing::Test {
protected:
    void SetUp() override {
        s.start();
        base = "http://127.0.0.1:" + std::to_string(s.port);
        std::ofstream(scratch / "small.txt") << "hello curl";
    }

    // curl with `arguments` (already quoted for the shell) against `path`.
    CurlResult curl(const std::string& arguments, const std::string& path) {
        const auto bodyFile = scratch / "body";
        const auto traceFile = scratch / "trace";
        const std::string command = "curl -sS -v --max-time 60 -o '" + bodyFile.string() + "' -w '%{http_code}' " +
                                    arguments + " '" + base + path + "' 2>'" + traceFile.string() + "'";
        CurlResult result;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) return result;
        char buffer[64] = {};
        const auto n = std::fread(buffer, 1, sizeof buffer - 1, pipe);
        result.status = std::atoi(std::string(buffer, n).c_str());
        const int status = ::pclose(pipe);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream body(bodyFile, std::ios::binary);
        result.body.assign(std::istreambuf_iterator<char>(body), {});
        std::ifstream trace(traceFile);
        result.trace.assign(std::istreambuf_iterator<char>(trace), {});
        return result;
    }

    std::string upload() const { return "/upload?t=" + s.token(); }

    // A file of `size` bytes in the scratch folder.
    std::string bigFile(std::size_t size) {
        const auto path = scratch / ("big-" + std::to_string(size));
        std::ofstream out(path, std::ios::binary);
        const std::string block(1 << 20, 'q');
        for (std::size_t done = 0; done < size; done += block.size()) out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - done)));
        return path.string();
    }

    test::WebReceiveTestServer s;
    test::TempFolder scratch;
    std::string base;
};

TEST_F(Curl, UploadStoresFile) {
    const auto r = curl("-H 'X-File-Name: caf%C3%A9 menu.txt' --data-binary @'" + (scratch / "small.txt").string() + "'", upload());
    EXPECT_EQ(r.exitCode, 0) << r.trace;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(nlohmann::json::parse(r.body)["name"], "caf\xC3\xA9 menu.txt");
    std::ifstream stored(s.temp / "caf\xC3\xA9 menu.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stored), {}), "hello curl");
}

TEST_F(Curl, PageAndRefusals) {
    const auto page = curl("", "/?t=" + s.token());
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body, "<html>page</html>");
    EXPECT_NE(page.trace.find("< Content-Security-Policy: frame-ancestors 'none'; base-uri 'none'; connect-src 'self'"),
              std::string::npos);
    EXPECT_EQ(curl("", "/?t=nope").status, 403);
    EXPECT_EQ(curl("", "/missing?t=" + s.token()).status, 404);
    EXPECT_EQ(curl("-H 'X-File-Name: %ZZ' --data-binary x", upload()).status, 400);
}

TEST_F(Curl, ChunkedWithContentLengthIs400) {
    const auto r = curl("-H 'X-File-Name: c.txt' -H 'Transfer-Encoding: chunked' -H 'Content-Length: 10' --data-binary @'" +
                            (scratch / "small.txt").string() + "'",
                        upload());
    EXPECT_EQ(r.status, 400) << r.trace;
    EXPECT_EQ(r.body, R"({"ok":false,"error":"bad request"})");
    EXPECT_TRUE(s.files().empty());
}

TEST_F(Curl, BudgetRefusalIs413) {
    ASSERT_TRUE(s.budget->reserve({10 * GiB, 10 * GiB}));
    const auto r = curl("-H 'X-File-Name: a' --data-binary @'" + (scratch / "small.txt").string() + "'", upload());
    EXPECT_EQ(r.status, 413);
    EXPECT_EQ(r.body, R"({"ok":false,"error":"Session limit reached. Open a new receive code."})");
}

TEST_F(Curl, ExpectContinueIsAnswered) {
    const auto file = bigFile(3 * 1024 * 1024);
    const auto with = curl("-H 'X-File-Name: e.bin' -H 'Expect: 100-continue' --data-binary @'" + file + "'", upload());
    EXPECT_EQ(with.status, 200);
    EXPECT_NE(with.trace.find("< HTTP/1.1 100 Continue"), std::string::npos) << with.trace;
    const auto without = curl("-H 'X-File-Name: e.bin' -H 'Expect:' --data-binary @'" + file + "'", upload());
    EXPECT_EQ(without.status, 200);
    EXPECT_EQ(without.trace.find("100 Continue"), std::string::npos);
    EXPECT_EQ(fs::file_size(s.temp / "e (1).bin"), 3u * 1024 * 1024);
}

TEST_F(Curl, EarlyAnswersArriveWhileTheBodyIsStillSent) {
    const auto file = bigFile(64 * 1024 * 1024);
    const auto forbidden = curl("-H 'X-File-Name: a' -H 'Expect:' --data-binary @'" + file + "'", "/upload?t=wrong");
    EXPECT_EQ(forbidden.exitCode, 0) << forbidden.trace.substr(0, 2000);
    EXPECT_EQ(forbidden.status, 403);
    ASSERT_TRUE(s.budget->reserve({10 * GiB, 10 * GiB}));
    const auto limit = curl("-H 'X-File-Name: a' -H 'Expect:' --data-binary @'" + file + "'", upload());
    EXPECT_EQ(limit.exitCode, 0) << limit.trace.substr(0, 2000);
    EXPECT_EQ(limit.status, 413);
    EXPECT_TRUE(s.files().empty());
}

}  // namespace
}  // namespace velmo
