#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "UpdateTestKit.h"
#include "platform/Digest.h"
#include "support/TempFolder.h"
#include "updatecore/UpdateFeed.h"
#include "updatecore/UpdateText.h"

namespace velmo {
namespace {

using Kind = UpdateError::Kind;
using test::bytesOf;

const std::string feedURL = "https://updates.example/updates/live-x86_64/feed.json";
const std::string archiveURL = "https://updates.example/updates/live-x86_64/Velmo-8.zip";

// Serves fixed bodies with status 200, or other statuses without a body, and records what was asked.
class MemoryTransport : public HttpTransport {
public:
    std::map<std::string, std::string> bodies;
    std::map<std::string, int> statuses;
    std::vector<std::string> asked;

    Outcome get(const std::string& url, const std::string& accept, std::int64_t, HttpSink& sink,
                const std::atomic<bool>&) override {
        asked.push_back(url + " " + accept);
        if (const auto status = statuses.find(url); status != statuses.end())
            return sink.onHead(HttpResponseHead{url, true, status->second, 0}) ? Outcome::completed : Outcome::stopped;
        const auto found = bodies.find(url);
        if (found == bodies.end()) return Outcome::failed;
        HttpResponseHead head{url, true, 200, static_cast<std::int64_t>(found->second.size())};
        if (!sink.onHead(head)) return Outcome::stopped;
        if (!sink.onBody(bytesOf(found->second))) return Outcome::stopped;
        return Outcome::completed;
    }
};

std::string payload(const std::string& version = "1.2", std::int64_t build = 8,
                    const std::string& channel = "live-x86_64", const std::string& archive = "Velmo-8.zip",
                    const std::string& sha = std::string(64, 'a'), std::int64_t bytes = 100) {
    return R"({"version":")" + version + R"(","build":)" + std::to_string(build) + R"(,"channel":")" + channel +
           R"(","archive":")" + archive + R"(","sha256":")" + sha + R"(","bytes":)" + std::to_string(bytes) + "}";
}

class UpdateFeedTest : public ::testing::Test {
protected:
    test::Ed25519TestKey key;
    std::shared_ptr<MemoryTransport> transport = std::make_shared<MemoryTransport>();
    test::TempFolder temp;
    std::atomic<bool> cancel{false};

    UpdateFeed feed(std::int64_t currentBuild = 7, const std::string& url = feedURL) {
        return UpdateFeed(key.publicKey(), url, "live-x86_64", currentBuild, transport, temp.path());
    }
    void serveFeed(const std::string& body) { transport->bodies[feedURL] = body; }
    void servePayload(const std::string& p) { serveFeed(test::signedEnvelope(key, p)); }

    Kind failure(const UpdateFeed& f) {
        try {
            f.check(cancel);
        } catch (const UpdateError& e) {
            return e.kind();
        }
        ADD_FAILURE() << "check succeeded";
        return Kind::unavailable;
    }
};

TEST_F(UpdateFeedTest, NewerSignedReleaseIsReturnedWithLowerCaseDigest) {
    servePayload(payload(" 1.2 ", 8, "live-x86_64", "Velmo-8.zip", std::string(64, 'A')));
    const auto release = feed().check(cancel);
    ASSERT_TRUE(release);
    EXPECT_EQ(release->version, " 1.2 ");
    EXPECT_EQ(release->build, 8);
    EXPECT_EQ(release->sha256, std::string(64, 'a'));
    EXPECT_EQ(release->sourceURL, feedURL);
    EXPECT_EQ(release->signer, key.publicKey());
    EXPECT_EQ(transport->asked, std::vector<std::string>{feedURL + " application/json"});
}

TEST_F(UpdateFeedTest, SameOrOlderBuildIsNoRelease) {
    servePayload(payload());
    EXPECT_FALSE(feed(8).check(cancel));
    EXPECT_FALSE(feed(9).check(cancel));
}

TEST_F(UpdateFeedTest, RefusedFeeds) {
    test::Ed25519TestKey otherKey;
    const std::string good = payload();
    const std::string goodPayload = UpdateText::encodeBase64(bytesOf(good));
    const std::string goodSignature = UpdateText::encodeBase64(key.sign(bytesOf(good)));
    const std::string respaced = payload() + " ";
    struct Case {
        const char* name;
        std::string body;
        Kind expected;
    } cases[] = {
        {"not JSON", "{", Kind::invalidFeed},
        {"array", "[]", Kind::invalidFeed},
        {"extra key", R"({"payload":")" + goodPayload + R"(","signature":")" + goodSignature + R"(","x":1})",
         Kind::invalidFeed},
        {"missing key", R"({"payload":")" + goodPayload + R"("})", Kind::invalidFeed},
        {"payload not a string", R"({"payload":1,"signature":")" + goodSignature + R"("})", Kind::invalidFeed},
        {"payload with a line break",
         R"({"payload":")" + goodPayload.substr(0, 8) + "\\n" + goodPayload.substr(8) + R"(","signature":")" +
             goodSignature + R"("})",
         Kind::invalidFeed},
        {"short signature", R"({"payload":")" + goodPayload + R"(","signature":"AAAA"})", Kind::invalidFeed},
        {"wrong key", test::signedEnvelope(otherKey, good), Kind::invalidSignature},
        {"re-encoded payload",
         R"({"payload":")" + UpdateText::encodeBase64(bytesOf(respaced)) + R"(","signature":")" + goodSignature +
             R"("})",
         Kind::invalidSignature},
        {"payload extra key", test::signedEnvelope(key, payload().substr(0, good.size() - 1) + R"(,"x":1})"),
         Kind::invalidFeed},
        {"build as text", test::signedEnvelope(key, R"({"version":"1","build":"8","channel":"live-x86_64","archive":"a.zip","sha256":")" + std::string(64, 'a') + R"(","bytes":1})"), Kind::invalidFeed},
        {"build fractional", test::signedEnvelope(key, R"({"version":"1","build":8.5,"channel":"live-x86_64","archive":"a.zip","sha256":")" + std::string(64, 'a') + R"(","bytes":1})"), Kind::invalidFeed},
        {"blank version", test::signedEnvelope(key, payload("   ")), Kind::invalidFeed},
        {"control in version", test::signedEnvelope(key, payload("1\\u0007")), Kind::invalidFeed},
        {"format char in version", test::signedEnvelope(key, payload("1\\u200e")), Kind::invalidFeed},
        {"long version", test::signedEnvelope(key, payload(std::string(65, '1'))), Kind::invalidFeed},
        {"build zero", test::signedEnvelope(key, payload("1", 0)), Kind::invalidFeed},
        {"bytes zero", test::signedEnvelope(key, payload("1", 8, "live-x86_64", "a.zip", std::string(64, 'a'), 0)),
         Kind::invalidFeed},
        {"bad digest", test::signedEnvelope(key, payload("1", 8, "live-x86_64", "a.zip", std::string(64, 'g'))),
         Kind::invalidFeed},
        {"short digest", test::signedEnvelope(key, payload("1", 8, "live-x86_64", "a.zip", std::string(63, 'a'))),
         Kind::invalidFeed},
        {"too large before channel",
         test::signedEnvelope(key, payload("1", 8, "other", "a.zip", std::string(64, 'a'), 8'388'609)), Kind::tooLarge},
        {"other channel, old build", test::signedEnvelope(key, payload("1", 2, "live-arm64")), Kind::channelMismatch},
        {"bad archive, old build", test::signedEnvelope(key, payload("1", 7, "live-x86_64", "_a.zip")),
         Kind::invalidArchive},
    };
    for (const auto& c : cases) {
        serveFeed(c.body);
        EXPECT_EQ(failure(feed()), c.expected) << c.name;
    }
}

TEST_F(UpdateFeedTest, PayloadSizeLimitIsInclusive) {
    const std::string base = payload();
    // Pad with spaces inside the object (still valid JSON) to reach the exact size.
    auto padded = [&](std::size_t size) { return base.substr(0, base.size() - 1) + std::string(size - base.size(), ' ') + "}"; };
    servePayload(padded(32'768));
    EXPECT_TRUE(feed().check(cancel));
    servePayload(padded(32'769));
    EXPECT_EQ(failure(feed()), Kind::invalidFeed);
}

TEST_F(UpdateFeedTest, ArchiveSizeLimitIsInclusive) {
    servePayload(payload("1", 8, "live-x86_64", "a.zip", std::string(64, 'a'), 8'388'608));
    EXPECT_TRUE(feed().check(cancel));
}

TEST_F(UpdateFeedTest, ArchiveNames) {
    const std::pair<std::string, bool> names[] = {
        {"Velmo-1.2_x86.ZIP", true}, {"_a.zip", false}, {".a.zip", false}, {".zip", false},
        {"a..zip", false},           {"a b.zip", false}, {"a/b.zip", false}, {"a.tar", false},
        {std::string(124, 'a') + ".zip", true}, {std::string(125, 'a') + ".zip", false},
        {"\xc3\xa9.zip", false},
    };
    for (const auto& [name, ok] : names) {
        servePayload(payload("1", 8, "live-x86_64", name));
        if (ok) EXPECT_NO_THROW(feed().check(cancel)) << name;
        else EXPECT_EQ(failure(feed()), Kind::invalidArchive) << name;
    }
}

TEST_F(UpdateFeedTest, BadConfigurationFailsBeforeAnyRequest) {
    const std::string urls[] = {
        "http://updates.example/updates/live-x86_64/feed.json",
        "https://updates.example/updates/live-x86_64/feed.json?x=1",
        "https://updates.example/updates/live-x86_64/feed.json#f",
        "https://user@updates.example/updates/live-x86_64/feed.json",
        "https://updates.example/updates/live-x86_64/",
        "not a url",
    };
    UpdateRelease release;
    for (const auto& url : urls) {
        EXPECT_EQ(failure(feed(7, url)), Kind::invalidConfiguration) << url;
        try {
            feed(7, url).download(release, cancel);
            ADD_FAILURE() << url;
        } catch (const UpdateError& e) {
            EXPECT_EQ(e.kind(), Kind::invalidConfiguration);
        }
    }
    EXPECT_EQ(failure(UpdateFeed(Bytes(31), feedURL, "live-x86_64", 7, transport, temp.path())),
              Kind::invalidConfiguration);
    EXPECT_EQ(failure(UpdateFeed(key.publicKey(), feedURL, "", 7, transport, temp.path())), Kind::invalidConfiguration);
    EXPECT_EQ(failure(feed(-1)), Kind::invalidConfiguration);
    EXPECT_TRUE(transport->asked.empty());
}

class UpdateDownloadTest : public UpdateFeedTest {
protected:
    std::string archive = "zip archive bytes";

    UpdateRelease release() {
        servePayload(payload("1.2", 8, "live-x86_64", "Velmo-8.zip", toHex(sha256(bytesOf(archive))),
                             static_cast<std::int64_t>(archive.size())));
        return *feed().check(cancel);
    }
    Kind downloadFailure(const UpdateFeed& f, const UpdateRelease& r) {
        try {
            f.download(r, cancel);
        } catch (const UpdateError& e) {
            return e.kind();
        }
        ADD_FAILURE() << "download succeeded";
        return Kind::unavailable;
    }
    bool tempIsEmpty() { return std::filesystem::is_empty(temp.path()); }
};

TEST_F(UpdateDownloadTest, VerifiedArchiveLandsInPrivateFolder) {
    const auto r = release();
    transport->bodies[archiveURL] = archive;
    const auto path = feed().download(r, cancel);
    EXPECT_EQ(path.filename(), "Velmo-8.zip");
    EXPECT_EQ(path.parent_path().parent_path(), temp.path());
    EXPECT_EQ(path.parent_path().filename().string().rfind("Velmo-Update-", 0), 0u);
    EXPECT_EQ(std::filesystem::status(path.parent_path()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(std::filesystem::file_size(path), archive.size());
    EXPECT_EQ(transport->asked.back(), archiveURL + " application/zip");
}

TEST_F(UpdateDownloadTest, MismatchedArchiveLeavesNoFolder) {
    const auto r = release();
    for (const std::string& served : {archive.substr(1), std::string(archive.size(), 'x')}) {
        transport->bodies[archiveURL] = served;
        EXPECT_EQ(downloadFailure(feed(), r), Kind::integrityMismatch);
        EXPECT_TRUE(tempIsEmpty());
    }
}

TEST_F(UpdateDownloadTest, ForeignOrStaleReleasesAreRefused) {
    const auto r = release();
    test::Ed25519TestKey otherKey;
    auto foreign = r;
    foreign.signer = otherKey.publicKey();
    EXPECT_EQ(downloadFailure(feed(), foreign), Kind::untrustedRelease);
    auto otherURL = r;
    otherURL.sourceURL = "https://updates.example/updates/live-arm64/feed.json";
    EXPECT_EQ(downloadFailure(feed(), otherURL), Kind::untrustedRelease);
    auto otherChannel = r;
    otherChannel.channel = "live-arm64";
    EXPECT_EQ(downloadFailure(feed(), otherChannel), Kind::untrustedRelease);
    EXPECT_EQ(downloadFailure(feed(8), r), Kind::staleRelease);
}

// A feed published before its archive was uploaded: the server answers, the update is just not
// there yet. Other statuses keep the sentence of a server that could not be reached.
TEST_F(UpdateDownloadTest, ArchiveNotOnTheServerYetSaysSo) {
    const auto r = release();
    for (const auto& [status, sentence] : std::vector<std::pair<int, std::string>>{
             {404, "The update is not available yet. Try again later."},
             {500, "The update server could not be reached. Try again later."}}) {
        transport->statuses[archiveURL] = status;
        try {
            feed().download(r, cancel);
            ADD_FAILURE() << "download succeeded";
        } catch (const UpdateError& e) {
            EXPECT_EQ(e, UpdateError::http(status));
            EXPECT_EQ(e.what(), sentence);
        }
        EXPECT_TRUE(tempIsEmpty());
    }
}

TEST_F(UpdateDownloadTest, UnwritableTemporaryFolderIsStagingFailure) {
    const auto r = release();
    transport->bodies[archiveURL] = archive;
    temp.write("file", "x");
    UpdateFeed f(key.publicKey(), feedURL, "live-x86_64", 7, transport, temp / "file");
    EXPECT_EQ(downloadFailure(f, r), Kind::stagingFailed);
}

TEST(UpdateErrorTest, SentencesAndEquality) {
    EXPECT_STREQ(UpdateError(Kind::integrityMismatch).what(),
                 "The downloaded update did not match its signed information.");
    EXPECT_EQ(UpdateError::http(404), UpdateError::http(404));
    EXPECT_FALSE(UpdateError::http(404) == UpdateError::http(500));
    EXPECT_FALSE(UpdateError(Kind::redirected) == UpdateError(Kind::insecureURL));
}

TEST(UpdateTextTest, StrictBase64AndDecimals) {
    EXPECT_EQ(UpdateText::decodeBase64("aGk="), bytesOf("hi"));
    EXPECT_EQ(UpdateText::decodeBase64(""), Bytes{});
    for (const char* bad : {"aGk", "aGk=\n", "a Gk=", "aG=k", "=aGk", "aGk*"}) EXPECT_FALSE(UpdateText::decodeBase64(bad)) << bad;
    EXPECT_EQ(UpdateText::parseDecimal("+7"), 7);
    EXPECT_EQ(UpdateText::parseDecimal("-3"), -3);
    EXPECT_EQ(UpdateText::parseDecimal("9223372036854775807"), INT64_MAX);
    for (const char* bad : {"", "+", "12a", " 1", "9223372036854775808", "0x1"}) EXPECT_FALSE(UpdateText::parseDecimal(bad)) << bad;
}

}  // namespace
}  // namespace velmo
