#include <gtest/gtest.h>
#include <net/if.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "avahi/AvahiTestKit.h"
#include "platform/EcKey.h"
#include "platform/Runtime.h"
#include "quickshare/Base64Url.h"
#include "quickshare/EndpointInfo.h"
#include "quickshare/QRCodeSession.h"
#include "quickshare/QuickShareAdvertiser.h"
#include "quickshare/QuickShareDiscovery.h"
#include "support/AsyncTest.h"
#include "transfer/NetworkStream.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
using Type = EndpointInfo::DeviceType;

const std::string kType = QuickShareDiscovery::serviceType;

std::string txtOf(Type type, std::optional<std::string> name, std::optional<Bytes> qr = std::nullopt) {
    return "n=" + base64UrlEncode(EndpointInfo(type, std::move(name), std::move(qr)).encoded());
}

// The sandbox's daemon also announces local services on its veth link to the peer, so each
// local service is listed once per interface; the tests look at the loopback ones.
std::vector<QuickSharePhone> onLoopback(const std::vector<QuickSharePhone>& phones) {
    std::vector<QuickSharePhone> out;
    for (const auto& phone : phones)
        if (phone.endpoints.at(0).interfaceIndex == int(if_nametoindex("lo"))) out.push_back(phone);
    return out;
}

std::vector<std::string> namesOf(const std::vector<QuickSharePhone>& phones) {
    std::vector<std::string> names;
    for (const auto& phone : onLoopback(phones)) names.push_back(phone.name);
    return names;
}

// What discovery's callbacks delivered.
struct Seen {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<QuickSharePhone> phones;
    int lists = 0;
    std::vector<QuickSharePhone> matches;
    std::vector<std::string> errors;
    std::vector<std::string> order;  // "phones:NAME;NAME;" / "match", in arrival order

    template <class F>
    void record(F f) {
        std::lock_guard guard(lock);
        f();
        changed.notify_all();
    }
    template <class F>
    auto read(F f) {
        std::lock_guard guard(lock);
        return f();
    }
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, limit, condition);
    }
    bool hasPhone(const std::string& name) {
        for (const auto& p : phones)
            if (p.name == name) return true;
        return false;
    }
};

class QuickShareDiscoveryTest : public ::testing::Test {
protected:
    Runtime runtime{2};
    Seen seen;
    std::unique_ptr<QuickShareDiscovery> discovery;

    void make(bool mobileOnly, std::size_t maxServices = QuickShareDiscovery::defaultMaxServices) {
        discovery = std::make_unique<QuickShareDiscovery>(mobileOnly, runtime.executor(), maxServices);
        discovery->onPhones = [this](std::vector<QuickSharePhone> list) {
            seen.record([&] {
                seen.phones = std::move(list);
                ++seen.lists;
                std::string entry = "phones:";
                for (const auto& phone : seen.phones) entry += phone.name + ";";
                seen.order.push_back(entry);
            });
        };
        discovery->onQRMatch = [this](QuickSharePhone phone) {
            seen.record([&] {
                seen.matches.push_back(std::move(phone));
                seen.order.push_back("match");
            });
        };
        discovery->onError = [this](std::string text) { seen.record([&] { seen.errors.push_back(text); }); };
    }
    void TearDown() override { discovery.reset(); }

    // Waits until the list holds exactly `names`, in this order.
    bool listIs(const std::vector<std::string>& names, std::chrono::milliseconds limit = 10s) {
        return seen.waitUntil([&] { return namesOf(seen.phones) == names; }, limit);
    }
};

// Publishes one service per device type, with well-formed and broken TXT records.
struct Neighbourhood {
    std::vector<std::unique_ptr<test::PublishedService>> services;
    Neighbourhood() {
        add("dev-phone", {txtOf(Type::phone, "Phone")});
        add("dev-tablet", {txtOf(Type::tablet, "Tablet")});
        add("dev-foldable", {txtOf(Type::foldable, "Foldable")});
        add("dev-laptop", {txtOf(Type::laptop, "Laptop")});
        add("dev-car", {txtOf(Type::car, "Car")});
        add("dev-xr", {txtOf(Type::xr, "Xr")});
        add("dev-unknown", {txtOf(Type::unknown, "Unknown")});
        add("dev-unnamed", {txtOf(Type::phone, std::nullopt)});
        // Names are shown cleaned: no control, line-break or direction-changing characters.
        add("dev-spoofing", {txtOf(Type::phone, "Ev\u202Eil\nPay\a")});
        add("dev-blank", {txtOf(Type::phone, "\u202E\n\x1B")});
        add("dev-no-n", {"x=1"});
        add("dev-bad-base64", {"n=***"});
        add("dev-short-record", {"n=" + base64UrlEncode(Bytes(16, 0x22))});
        add("dev-n-without-value", {"n"});
        EXPECT_TRUE(established());
    }
    void add(const std::string& name, std::vector<std::string> txt) {
        services.push_back(std::make_unique<test::PublishedService>(name, kType, 7000, std::move(txt), false,
                                                                    /*wait=*/false));
    }
    bool established() {
        for (auto& service : services)
            if (!service->waitEstablished()) return false;
        return true;
    }
};

TEST_F(QuickShareDiscoveryTest, MobileDevicesOnlyListsPhonesTabletsAndFoldablesSortedByName) {
    Neighbourhood around;
    make(true);
    discovery->start();
    const std::vector<std::string> listed{"Android phone", "EvilPay", "Foldable", "Phone", "Tablet"};
    ASSERT_TRUE(listIs(listed)) << ::testing::PrintToString(namesOf(seen.phones));
    // Later browse results never add the others.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(seen.read([&] { return namesOf(seen.phones); }), listed);
    const auto phone = seen.read([&] { return onLoopback(seen.phones)[3]; });
    EXPECT_EQ(phone.id, "dev-phone");
    EXPECT_EQ(phone.info.deviceType, Type::phone);
    ASSERT_EQ(phone.endpoints.size(), 1u);
    EXPECT_EQ(phone.endpoints[0].port, 7000);
    EXPECT_EQ(phone.endpoints[0].address, "127.0.0.1");
    EXPECT_EQ(phone.endpoints[0].interfaceIndex, int(if_nametoindex("lo")));
    EXPECT_TRUE(seen.read([&] { return seen.matches.empty() && seen.errors.empty(); }));
}

TEST_F(QuickShareDiscoveryTest, AllDeviceTypesWithNamesWhenNotMobileOnly) {
    Neighbourhood around;
    make(false);
    discovery->start();
    EXPECT_TRUE(listIs({"Android phone", "Car", "EvilPay", "Foldable", "Laptop", "Phone", "Tablet", "Unknown", "Xr"}))
        << ::testing::PrintToString(namesOf(seen.phones));
}

TEST_F(QuickShareDiscoveryTest, CapitalsSortFirstAndThePaddedTxtDecodesToo) {
    const std::string padded = txtOf(Type::phone, "a");
    std::string withPadding = padded;
    while ((withPadding.size() - 2) % 4 != 0) withPadding += '=';
    test::PublishedService b("sort-b", kType, 7001, {txtOf(Type::phone, "b")});
    test::PublishedService bigA("sort-A", kType, 7001, {txtOf(Type::phone, "A")});
    test::PublishedService a("sort-small-a", kType, 7001, {withPadding});
    make(true);
    discovery->start();
    EXPECT_TRUE(listIs({"A", "a", "b"})) << ::testing::PrintToString(namesOf(seen.phones));
}

TEST_F(QuickShareDiscoveryTest, IgnoredNamesAreNeverReportedEvenWhenTheyMatchTheQRSession) {
    QRCodeSession session(P256PrivateKey::generate());
    test::PublishedService self("self-name", kType, 7002, {txtOf(Type::phone, "Self", session.advertisingToken())});
    test::PublishedService other("other-name", kType, 7002, {txtOf(Type::phone, "Other")});
    make(true);
    discovery->ignore({"self-name"});
    discovery->setQRSession(session);
    discovery->start();
    ASSERT_TRUE(listIs({"Other"}));
    discovery->ignore({});
    EXPECT_TRUE(listIs({"Other", "Self"}));
    EXPECT_TRUE(seen.waitUntil([&] { return !seen.matches.empty() && seen.matches.back().id == "self-name"; }));
}

TEST_F(QuickShareDiscoveryTest, QRMatchThroughTheTxtRecordNamesTheUnnamedAndKeepsUnknownTypes) {
    QRCodeSession session(P256PrivateKey::generate());
    test::PublishedService unnamed("qr-unnamed", kType, 7003, {txtOf(Type::unknown, std::nullopt, session.advertisingToken())});
    test::PublishedService laptop("qr-laptop", kType, 7003, {txtOf(Type::laptop, "QR Laptop", session.advertisingToken())});
    test::PublishedService plain("qr-plain", kType, 7003, {txtOf(Type::phone, "Plain")});
    make(true);
    discovery->start();
    ASSERT_TRUE(listIs({"Plain"}));
    EXPECT_TRUE(seen.read([&] { return seen.matches.empty(); }));

    // Already visible: matched at once, the match before the list.
    seen.record([&] { seen.order.clear(); });
    discovery->setQRSession(session);
    ASSERT_TRUE(listIs({"Android phone", "Plain"}));
    ASSERT_TRUE(seen.waitUntil([&] { return !seen.matches.empty(); }));
    const auto match = seen.read([&] { return seen.matches.front(); });
    EXPECT_EQ(match.id, "qr-unnamed");
    EXPECT_EQ(match.name, "Android phone");
    // The first list that shows it comes right after its match.
    const auto order = seen.read([&] { return seen.order; });
    const auto list = std::find_if(order.begin(), order.end(),
                                   [](const std::string& e) { return e.find("Android phone;") != std::string::npos; });
    ASSERT_NE(list, order.end());
    ASSERT_NE(list, order.begin());
    EXPECT_EQ(*(list - 1), "match");

    // A laptop is left out even with a matching record; clearing the session unlists the unknown.
    discovery->setQRSession(std::nullopt);
    EXPECT_TRUE(listIs({"Plain"}));
}

TEST_F(QuickShareDiscoveryTest, TxtChangeOfAListedPhoneBringsItsQRMatch) {
    QRCodeSession session(P256PrivateKey::generate());
    test::ChangingService phone("qr-change", kType, 7004, {txtOf(Type::phone, "Pixel")});
    ASSERT_TRUE(phone.waitEstablished());
    make(true);
    discovery->setQRSession(session);
    discovery->start();
    ASSERT_TRUE(listIs({"Pixel"}));
    EXPECT_TRUE(seen.read([&] { return seen.matches.empty(); }));

    // The phone scanned the code: it now advertises the session's token.
    phone.updateTxt({txtOf(Type::phone, "Pixel", session.advertisingToken())});
    ASSERT_TRUE(seen.waitUntil([&] { return !seen.matches.empty(); }));
    const auto match = seen.read([&] { return seen.matches.front(); });
    EXPECT_EQ(match.id, "qr-change");
    EXPECT_EQ(match.name, "Pixel");
    EXPECT_EQ(match.info.qrRecord, session.advertisingToken());
}

TEST_F(QuickShareDiscoveryTest, EmptyListWhenTheLastPhoneLeaves) {
    make(true);
    discovery->start();
    {
        test::PublishedService phone("leaving", kType, 7005, {txtOf(Type::phone, "Leaving")});
        ASSERT_TRUE(listIs({"Leaving"}));
    }
    EXPECT_TRUE(seen.waitUntil([&] { return seen.phones.empty() && seen.lists >= 2; }));
}

TEST_F(QuickShareDiscoveryTest, StopReportsNothingMoreAndStartBrowsesAfreshWithTheSameSettings) {
    test::PublishedService self("restart-self", kType, 7006, {txtOf(Type::phone, "Self")});
    test::PublishedService phone("restart-phone", kType, 7006, {txtOf(Type::phone, "Phone")});
    make(true);
    discovery->ignore({"restart-self"});
    discovery->start();
    discovery->start();  // already browsing: nothing changes
    ASSERT_TRUE(listIs({"Phone"}));

    discovery->stop();
    discovery->stop();
    const int lists = seen.read([&] { return seen.lists; });
    test::PublishedService later("restart-later", kType, 7006, {txtOf(Type::phone, "Later")});
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(seen.read([&] { return seen.lists; }), lists);

    discovery->start();
    EXPECT_TRUE(listIs({"Later", "Phone"}));
}

TEST_F(QuickShareDiscoveryTest, FollowsAtMostTheGivenNumberOfServices) {
    test::PublishedService a("cap-a", kType, 7007, {txtOf(Type::phone, "A")});
    test::PublishedService b("cap-b", kType, 7007, {txtOf(Type::phone, "B")});
    test::PublishedService c("cap-c", kType, 7007, {txtOf(Type::phone, "C")});
    make(true, 2);
    discovery->start();
    ASSERT_TRUE(seen.waitUntil([&] { return seen.phones.size() == 2; }));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(seen.read([&] { return seen.phones.size(); }), 2u);
}

TEST_F(QuickShareDiscoveryTest, PhoneOnThePeerIsListedWithItsLinkAddress) {
    test::PublishedService remote("peer-phone", kType, 7008, {txtOf(Type::phone, "Peer Phone")}, /*peer=*/true);
    ASSERT_TRUE(remote.established()) << remote.output();
    make(true);
    discovery->start();
    // Listed once, with its IPv4 and IPv6 answers, IPv4 first, both scoped to the link. The
    // daemon may still list an earlier case's phone for a moment after its publisher ended, also
    // right after this one is listed: the phone is taken from the list it was seen in.
    QuickSharePhone phone;
    int listings = 0;
    ASSERT_TRUE(seen.waitUntil(
        [&] {
            listings = 0;
            for (const auto& p : seen.phones)
                if (p.id == "peer-phone") {
                    phone = p;
                    ++listings;
                }
            return listings > 0;
        },
        15s));
    EXPECT_EQ(listings, 1);
    EXPECT_EQ(phone.name, "Peer Phone");
    ASSERT_EQ(phone.endpoints.size(), 2u);
    EXPECT_EQ(phone.endpoints[0].address, "169.254.77.2");
    EXPECT_EQ(phone.endpoints[1].address, test::peerLinkAddress(true));
    for (const auto& endpoint : phone.endpoints) {
        EXPECT_EQ(endpoint.port, 7008);
        EXPECT_EQ(endpoint.interfaceIndex, int(if_nametoindex("veth0")));
    }
}

TEST_F(QuickShareDiscoveryTest, FindsOurAdvertiserAndOpensAStreamToIt) {
    QuickShareAdvertiser advertiser(runtime.executor());
    std::mutex lock;
    std::vector<std::shared_ptr<NetworkStream>> accepted;
    advertiser.onConnection = [&](std::shared_ptr<NetworkStream> stream) {
        std::lock_guard guard(lock);
        accepted.push_back(std::move(stream));
    };
    advertiser.start("Velmo Desk");

    make(false);
    discovery->start();
    ASSERT_TRUE(seen.waitUntil([&] {
        for (const auto& p : seen.phones)
            if (p.id == advertiser.serviceName() && p.endpoints.at(0).interfaceIndex == int(if_nametoindex("lo")))
                return true;
        return false;
    }));
    QuickSharePhone found = seen.read([&] {
        for (const auto& p : seen.phones)
            if (p.id == advertiser.serviceName() && p.endpoints.at(0).interfaceIndex == int(if_nametoindex("lo")))
                return p;
        return QuickSharePhone{};
    });
    EXPECT_EQ(found.name, "Velmo Desk");
    EXPECT_EQ(found.info.deviceType, Type::laptop);
    EXPECT_EQ(found.endpoints.at(0).port, *advertiser.port());

    auto stream = found.openStream(runtime.executor());
    test::runAsync(stream->executor(), [stream]() -> asio::awaitable<void> { co_await stream->start(2s); });
    EXPECT_TRUE(test::eventually([&] {
        std::lock_guard guard(lock);
        return accepted.size() == 1;
    }));
    stream->close();
    std::lock_guard guard(lock);
    for (auto& s : accepted) s->close();
}

TEST(QuickShareDiscoveryNoDaemonTest, AbsentDaemonIsReportedOnceAndStopThenStartTriesAgain) {
    EXPECT_EXIT(
        {
            setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velmo-bus", 1);
            Runtime runtime{2};
            Seen seen;
            {
                QuickShareDiscovery discovery(true, runtime.executor());
                discovery.onError = [&](std::string text) { seen.record([&] { seen.errors.push_back(text); }); };
                discovery.start();
                if (!seen.waitUntil([&] { return seen.errors.size() == 1; })) std::exit(4);
                discovery.start();  // a failed browser stays until stop()
                std::this_thread::sleep_for(200ms);
                if (seen.read([&] { return seen.errors.size(); }) != 1) std::exit(5);
                discovery.stop();
                discovery.start();
                if (!seen.waitUntil([&] { return seen.errors.size() == 2; })) std::exit(6);
            }
            std::fprintf(stderr, "%s\n", seen.errors[1].c_str());
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "Quick Share discovery failed: avahi-daemon is not running\\.");
}

}  // namespace
}  // namespace velmo
