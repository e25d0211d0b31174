// quickshare-harness over real Avahi: `advertise` seen by `discover`, a file sent to the
// advertised port received by the advertise flow, and `discover --qr` matching a phone that
// advertises the record derived from the printed URL, as a phone that scanned it does.
#include <gtest/gtest.h>
#include <net/if.h>

#include <fstream>
#include <set>
#include <thread>
#include <nlohmann/json.hpp>

#include "avahi/AvahiTestKit.h"
#include "platform/Hkdf.h"
#include "quickshare/Base64Url.h"
#include "quickshare/EndpointInfo.h"
#include "quickshare/QRCodeSession.h"
#include "quickshare/QuickShareDiscovery.h"
#include "support/TempFolder.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

const std::string kHarness = VELMO_QUICKSHARE_HARNESS;

// The JSON lines of the harness's output, in order; anything else is skipped.
std::vector<Json> eventsIn(const std::string& output) {
    std::vector<Json> events;
    std::size_t start = 0;
    while (start < output.size()) {
        const auto end = output.find('\n', start);
        if (end == std::string::npos) break;  // a line still being written
        const auto line = output.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line.front() != '{') continue;
        const auto event = Json::parse(line, nullptr, false);
        if (!event.is_discarded()) events.push_back(event);
    }
    return events;
}

std::optional<Json> firstEvent(const std::string& output, const std::string& kind) {
    for (const auto& event : eventsIn(output))
        if (event.value("event", "") == kind) return event;
    return std::nullopt;
}

// Reads the harness's output until an event of `kind` satisfying `condition` arrives.
std::optional<Json> waitForEvent(test::Subprocess& process, const std::string& kind,
                                 const std::function<bool(const Json&)>& condition = [](const Json&) { return true; },
                                 std::chrono::milliseconds limit = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        for (const auto& event : eventsIn(process.output()))
            if (event.value("event", "") == kind && condition(event)) return event;
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        process.waitFor("\n\n", 100ms);  // never in the output: just reads for a while
        std::this_thread::sleep_for(10ms);  // the harness may have ended: no busy loop then
    }
}

std::string contentOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(QuickShareHarnessTest, AdvertiseIsSeenByDiscoverAndReceivesWhatIsSentToIt) {
    test::TempFolder inbox;
    test::TempFolder outbox;
    outbox.write("note ü.txt", "from the harness\n");

    test::Subprocess advertiser({kHarness, "advertise", "--name", "Harness Desk", "--dir", inbox.path().string(),
                                 "--accept", "yes"});
    const auto advertising = waitForEvent(advertiser, "advertising");
    ASSERT_TRUE(advertising) << advertiser.output();
    const std::string serviceName = advertising->at("serviceName");
    const int port = advertising->at("port");
    EXPECT_EQ(serviceName.size(), 14u);

    test::Subprocess discover({kHarness, "discover"});
    const int lo = int(if_nametoindex("lo"));
    const auto listed = waitForEvent(discover, "phones", [&](const Json& event) {
        for (const auto& phone : event.at("phones"))
            if (phone.at("id") == serviceName && phone.at("interface") == lo) return true;
        return false;
    });
    ASSERT_TRUE(listed) << discover.output();
    for (const auto& phone : listed->at("phones")) {
        if (phone.at("id") != serviceName || phone.at("interface") != lo) continue;
        EXPECT_EQ(phone.at("name"), "Harness Desk");
        EXPECT_EQ(phone.at("deviceType"), "laptop");
        EXPECT_EQ(phone.at("endpoints"), Json::parse(R"([{"address": "127.0.0.1", "port": )" +
                                                     std::to_string(port) + "}]"));
    }
    EXPECT_EQ(discover.stop(), 0);

    const auto sent = test::runCommand({kHarness, "send", "--to", "127.0.0.1:" + std::to_string(port), "--name",
                                        "Harness Sender", (outbox / "note ü.txt").string()});
    EXPECT_TRUE(firstEvent(sent, "sent")) << sent;
    const auto received = waitForEvent(advertiser, "received");
    ASSERT_TRUE(received) << advertiser.output();
    const auto offer = firstEvent(advertiser.output(), "offer");
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer->at("sender"), "Harness Sender");
    EXPECT_EQ(offer->at("files").at(0).at("name"), "note ü.txt");
    EXPECT_EQ(contentOf(inbox / "note ü.txt"), "from the harness\n");
    EXPECT_EQ(advertiser.stop(), 0);
    EXPECT_FALSE(firstEvent(advertiser.output(), "error")) << advertiser.output();
}

TEST(QuickShareHarnessTest, AdvertiseDeclinesWhenToldTo) {
    test::TempFolder inbox;
    test::TempFolder outbox;
    outbox.write("unwanted.txt", "no thanks\n");
    test::Subprocess advertiser({kHarness, "advertise", "--name", "Declining Desk", "--dir", inbox.path().string(),
                                 "--accept", "no"});
    const auto advertising = waitForEvent(advertiser, "advertising");
    ASSERT_TRUE(advertising) << advertiser.output();
    const int port = advertising->at("port");
    const auto sent = test::runCommand(
        {kHarness, "send", "--to", "127.0.0.1:" + std::to_string(port), (outbox / "unwanted.txt").string()});
    EXPECT_TRUE(firstEvent(sent, "failed")) << sent;
    EXPECT_TRUE(waitForEvent(advertiser, "declined")) << advertiser.output();
    EXPECT_TRUE(std::filesystem::is_empty(inbox.path()));
    EXPECT_EQ(advertiser.stop(), 0);
}

TEST(QuickShareHarnessTest, DiscoverWithQrPrintsTheUrlAndThePhoneThatScannedIt) {
    test::Subprocess discover({kHarness, "discover", "--qr", "--mobile-only"});
    const auto qr = waitForEvent(discover, "qr");
    ASSERT_TRUE(qr) << discover.output();
    const std::string url = qr->at("url");
    const std::string prefix = QRCodeSession::urlPrefix;
    ASSERT_EQ(url.rfind(prefix, 0), 0u) << url;
    const auto keyData = base64UrlDecode(url.substr(prefix.size()));
    ASSERT_TRUE(keyData);
    ASSERT_EQ(keyData->size(), 35u);

    // What a phone that scanned the code advertises: the record derived from the key in the URL.
    const Bytes token = hkdfSha256(*keyData, {}, toBytes("advertisingContext"), 16);
    // Its name as a hostile phone writes it: the harness prints it cleaned.
    const auto txt = [](std::optional<Bytes> record) {
        return "n=" + base64UrlEncode(
                          EndpointInfo(EndpointInfo::DeviceType::phone, "Scan\u202Ener\n\a", std::move(record)).encoded());
    };
    test::PublishedService other("harness-other", QuickShareDiscovery::serviceType, 7200, {txt(Bytes(16, 0x55))});
    test::PublishedService scanner("harness-scanner", QuickShareDiscovery::serviceType, 7200, {txt(token)});

    const auto match = waitForEvent(discover, "match");
    ASSERT_TRUE(match) << discover.output();
    EXPECT_EQ(match->at("phone").at("id"), "harness-scanner");
    EXPECT_EQ(match->at("phone").at("name"), "Scanner");
    EXPECT_EQ(match->at("phone").at("endpoints").at(0).at("port"), 7200);
    // Both phones are listed; only the one with the session's record matched.
    EXPECT_TRUE(waitForEvent(discover, "phones", [](const Json& event) {
        std::set<std::string> ids;
        for (const auto& phone : event.at("phones")) ids.insert(phone.at("id"));
        return ids.count("harness-other") && ids.count("harness-scanner");
    })) << discover.output();
    for (const auto& event : eventsIn(discover.output())) {
        if (event.value("event", "") == "match") {
            EXPECT_EQ(event.at("phone").at("id"), "harness-scanner");
        }
    }
    EXPECT_EQ(discover.stop(), 0);
}

}  // namespace
}  // namespace velmo
