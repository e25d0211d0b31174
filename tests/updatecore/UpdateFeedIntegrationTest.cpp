#include <gtest/gtest.h>

#include "UpdateTestKit.h"
#include "platform/Digest.h"
#include "support/TempFolder.h"
#include "updatecore/UpdateFeed.h"
#include "updatecore/UpdateText.h"

namespace velmo {
namespace {

using test::LoopbackHttpServer;

TEST(UpdateFeedLoopbackTest, CheckAndDownloadOverLoopback) {
    LoopbackHttpServer server;
    test::Ed25519TestKey key;
    test::TempFolder temp;
    const std::string archive(70'000, 'z');
    const std::string payload = R"({"version":"2.0","build":9,"channel":"live-x86_64","archive":"Velmo-9.zip","sha256":")" +
                                toHex(sha256(test::bytesOf(archive))) + R"(","bytes":70000})";
    server.respond("/updates/live-x86_64/feed.json", LoopbackHttpServer::response(200, test::signedEnvelope(key, payload)));
    server.respond("/updates/live-x86_64/Velmo-9.zip", LoopbackHttpServer::response(200, archive, false));

    const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/updates/live-x86_64/feed.json";
    UpdateFeed feed(key.publicKey(), url, "live-x86_64", 8, std::make_shared<test::LoopbackTransport>(), temp.path());
    std::atomic<bool> cancel{false};
    const auto release = feed.check(cancel);
    ASSERT_TRUE(release);
    const auto path = feed.download(*release, cancel);
    EXPECT_EQ(std::filesystem::file_size(path), archive.size());
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].find("Accept: application/json"), std::string::npos);
    EXPECT_NE(requests[1].find("GET /updates/live-x86_64/Velmo-9.zip"), std::string::npos);
    EXPECT_NE(requests[1].find("Accept: application/zip"), std::string::npos);
}

}  // namespace
}  // namespace velmo
