#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/use_future.hpp>
#include <asio/write.hpp>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "avahi/AvahiTestKit.h"
#include "support/AsyncTest.h"
#include "platform/Runtime.h"
#include "quickshare/Base64Url.h"
#include "quickshare/EndpointInfo.h"
#include "quickshare/QuickShareAdvertiser.h"
#include "transfer/NetworkStream.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
using test::BrowsedService;

const std::string kType = QuickShareAdvertiser::serviceType;

const BrowsedService* named(const std::vector<BrowsedService>& services, const std::string& name) {
    for (const auto& s : services)
        if (s.name == name && s.interface == "lo") return &s;
    return nullptr;
}

std::optional<EndpointInfo> infoOfTxt(const std::vector<std::string>& txt) {
    for (const auto& entry : txt)
        if (entry.rfind("n=", 0) == 0)
            if (auto bytes = base64UrlDecode(entry.substr(2))) return EndpointInfo::parse(*bytes);
    return std::nullopt;
}

// What the advertiser's callbacks delivered.
struct Seen {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::shared_ptr<NetworkStream>> connections;
    std::vector<std::string> errors;
    std::vector<std::string> renames;

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
};

class QuickShareAdvertiserTest : public ::testing::Test {
protected:
    Runtime runtime{2};
    Seen seen;
    std::unique_ptr<QuickShareAdvertiser> advertiser = std::make_unique<QuickShareAdvertiser>(runtime.executor());

    void SetUp() override {
        advertiser->onConnection = [this](std::shared_ptr<NetworkStream> stream) {
            seen.record([&] { seen.connections.push_back(std::move(stream)); });
        };
        advertiser->onError = [this](std::string text) { seen.record([&] { seen.errors.push_back(text); }); };
        advertiser->onServiceNameChange = [this](std::string name) {
            seen.record([&] { seen.renames.push_back(name); });
        };
    }
    void TearDown() override { advertiser.reset(); }

    // A plain client connection to the advertiser's port on loopback.
    asio::ip::tcp::socket connect() {
        asio::ip::tcp::socket socket(runtime.context());
        socket.connect({asio::ip::make_address("127.0.0.1"), *advertiser->port()});
        return socket;
    }
};

TEST(QuickShareAdvertiserNameTest, ServiceNameEncodesTheEndpointId) {
    const std::string name = QuickShareAdvertiser::makeServiceName("AB12");
    EXPECT_EQ(name.size(), 14u);
    EXPECT_EQ(base64UrlDecode(name), (Bytes{0x23, 'A', 'B', '1', '2', 0xFC, 0x9F, 0x5E, 0x00, 0x00}));

    Runtime runtime{1};
    QuickShareAdvertiser advertiser(runtime.executor());
    const std::string drawn = advertiser.serviceName();
    ASSERT_EQ(drawn.size(), 14u);
    EXPECT_EQ(drawn.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    auto raw = base64UrlDecode(drawn);
    ASSERT_TRUE(raw);
    ASSERT_EQ(raw->size(), 10u);
    for (int i = 1; i <= 4; ++i) EXPECT_TRUE(std::isupper((*raw)[i]) || std::isdigit((*raw)[i])) << i;
}

TEST(QuickShareAdvertiserNameTest, TxtValueCarriesALaptopWithItsNameCutToFitOneTxtString) {
    struct Case {
        std::string deviceName;
        std::string expectedName;
    };
    const std::string e = "\xC3\xA9";  // é, two bytes
    std::string many;
    for (int i = 0; i < 100; ++i) many += e;
    const Case cases[] = {
        {"Velmo Laptop", "Velmo Laptop"},
        {"", ""},
        {std::string(300, 'x'), std::string(171, 'x')},
        {std::string(171, 'y'), std::string(171, 'y')},
        {many, many.substr(0, 170)},  // 171 would split a character
        {"a" + many, "a" + many.substr(0, 170)},
    };
    for (const auto& c : cases) {
        const std::string value = QuickShareAdvertiser::txtValue(c.deviceName);
        EXPECT_LE(2 + value.size(), 255u) << c.deviceName.size();
        EXPECT_EQ(value.find('='), std::string::npos);
        auto bytes = base64UrlDecode(value);
        ASSERT_TRUE(bytes);
        auto info = EndpointInfo::parse(*bytes);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->deviceType, EndpointInfo::DeviceType::laptop);
        EXPECT_EQ(info->name, c.expectedName);
        EXPECT_FALSE(info->qrRecord);
    }
    EXPECT_NE(QuickShareAdvertiser::txtValue("Same"), QuickShareAdvertiser::txtValue("Same"));
}

TEST_F(QuickShareAdvertiserTest, AvahiBrowseSeesTheServiceNamePortAndEndpointInfo) {
    EXPECT_FALSE(advertiser->port());
    advertiser->start("Velmo Laptop");
    ASSERT_TRUE(advertiser->port());
    const std::string name = advertiser->serviceName();

    auto services = test::browseUntil(kType, [&](auto& s) { return named(s, name) != nullptr; });
    ASSERT_TRUE(services);
    const BrowsedService* ours = named(*services, name);
    EXPECT_EQ(ours->port, *advertiser->port());
    EXPECT_EQ(ours->address, "127.0.0.1");
    ASSERT_EQ(ours->txt.size(), 1u);
    auto info = infoOfTxt(ours->txt);
    ASSERT_TRUE(info);
    EXPECT_EQ(*info, EndpointInfo(EndpointInfo::DeviceType::laptop, "Velmo Laptop"));
}

TEST_F(QuickShareAdvertiserTest, LongDeviceNameStillAdvertises) {
    advertiser->start(std::string(400, 'L'));
    const std::string name = advertiser->serviceName();
    auto services = test::browseUntil(kType, [&](auto& s) { return named(s, name) != nullptr; });
    ASSERT_TRUE(services);
    auto info = infoOfTxt(named(*services, name)->txt);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->name, std::string(171, 'L'));
    EXPECT_TRUE(seen.errors.empty());
}

TEST_F(QuickShareAdvertiserTest, RestartKeepsTheNameAndPublishesFreshTxt) {
    advertiser->start("Desk");
    const std::string name = advertiser->serviceName();
    auto first = test::browseUntil(kType, [&](auto& s) { return named(s, name) != nullptr; });
    ASSERT_TRUE(first);
    const auto firstTxt = named(*first, name)->txt;

    advertiser->start("Desk");
    EXPECT_EQ(advertiser->serviceName(), name);
    auto second = test::browseUntil(kType, [&](auto& s) {
        auto* ours = named(s, name);
        return ours && ours->txt != firstTxt && ours->port == *advertiser->port();
    });
    ASSERT_TRUE(second);
    EXPECT_EQ(infoOfTxt(named(*second, name)->txt)->name, "Desk");
}

TEST_F(QuickShareAdvertiserTest, HandsEachAcceptedConnectionOverUnstarted) {
    advertiser->start("Desk");
    auto client = connect();
    ASSERT_TRUE(seen.waitUntil([&] { return seen.connections.size() == 1; }));
    auto stream = seen.connections.front();

    // The stream is the receive flow's to start; it then carries bytes both ways.
    auto done = asio::co_spawn(
        stream->executor(),
        [stream]() -> asio::awaitable<Bytes> {
            co_await stream->start(2s);
            static const Bytes hello = toBytes("hello");
            co_await stream->write(hello);
            co_return co_await stream->readExactly(3);
        },
        asio::use_future);
    char buffer[5];
    asio::read(client, asio::buffer(buffer));
    EXPECT_EQ(std::string(buffer, 5), "hello");
    asio::write(client, asio::buffer("abc", 3));
    EXPECT_EQ(done.get(), toBytes("abc"));
    stream->close();
}

TEST_F(QuickShareAdvertiserTest, ConnectionIsClosedWhenNobodyTakesConnections) {
    advertiser->onConnection = nullptr;
    advertiser->start("Desk");
    auto client = connect();
    char byte;
    std::error_code error;
    asio::read(client, asio::buffer(&byte, 1), error);
    EXPECT_TRUE(error == asio::error::eof || error == asio::error::connection_reset) << error.message();
}

TEST_F(QuickShareAdvertiserTest, ReplacingOnConnectionAfterStartWaitsForTheNextStart) {
    advertiser->start("Desk");
    std::atomic<int> late{0};
    advertiser->onConnection = [&](std::shared_ptr<NetworkStream> stream) {
        ++late;
        stream->close();
    };
    auto first = connect();
    ASSERT_TRUE(seen.waitUntil([&] { return seen.connections.size() == 1; }));
    EXPECT_EQ(late.load(), 0);

    advertiser->start("Desk");
    auto second = connect();
    EXPECT_TRUE(test::eventually([&] { return late.load() == 1; }));
    EXPECT_EQ(seen.read([&] { return seen.connections.size(); }), 1u);
}

TEST_F(QuickShareAdvertiserTest, StopWithdrawsAndStopsListening) {
    advertiser->stop();  // before any start: nothing happens
    advertiser->start("Desk");
    const std::string name = advertiser->serviceName();
    const std::uint16_t port = *advertiser->port();
    ASSERT_TRUE(test::browseUntil(kType, [&](auto& s) { return named(s, name) != nullptr; }));

    advertiser->stop();
    advertiser->stop();
    EXPECT_FALSE(advertiser->port());
    EXPECT_TRUE(test::browseUntil(kType, [&](auto& s) { return named(s, name) == nullptr; }));
    asio::ip::tcp::socket socket(runtime.context());
    std::error_code error;
    socket.connect({asio::ip::make_address("127.0.0.1"), port}, error);
    EXPECT_EQ(error, asio::error::connection_refused);
}

TEST_F(QuickShareAdvertiserTest, TakenNameIsReplacedByAFreshEndpointIdNeverByAvahisAlternative) {
    const std::string taken = advertiser->serviceName();
    test::PublishedService other(taken, kType, 5999, {"n=other"});
    ASSERT_TRUE(other.established()) << other.output();

    advertiser->start("Desk");
    ASSERT_TRUE(seen.waitUntil([&] { return seen.renames.size() == 1; }));
    const std::string fresh = seen.read([&] { return seen.renames.front(); });
    EXPECT_NE(fresh, taken);
    EXPECT_EQ(advertiser->serviceName(), fresh);
    auto raw = base64UrlDecode(fresh);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->size(), 10u);

    auto services = test::browseUntil(kType, [&](auto& s) { return named(s, fresh) != nullptr; });
    ASSERT_TRUE(services);
    EXPECT_EQ(named(*services, fresh)->port, *advertiser->port());
    EXPECT_EQ(named(*services, taken)->port, 5999);
    for (const auto& s : *services) EXPECT_EQ(s.name.find('#'), std::string::npos) << s.name;
    EXPECT_TRUE(seen.read([&] { return seen.errors.empty(); }));
}

TEST(QuickShareAdvertiserNoDaemonTest, AbsentDaemonIsReportedAndTriedAgainOnTheNextStart) {
    EXPECT_EXIT(
        {
            setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velmo-bus", 1);
            Runtime runtime{2};
            Seen seen;
            {
                QuickShareAdvertiser advertiser(runtime.executor());
                advertiser.onError = [&](std::string text) { seen.record([&] { seen.errors.push_back(text); }); };
                advertiser.start("Desk");
                if (!advertiser.port()) std::exit(4);
                if (!seen.waitUntil([&] { return seen.errors.size() == 1; })) std::exit(5);
                advertiser.start("Desk");
                if (!seen.waitUntil([&] { return seen.errors.size() == 2; })) std::exit(6);
            }
            std::fprintf(stderr, "%s\n", seen.errors[1].c_str());
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "Couldn't show this computer to Android phones: avahi-daemon is not running\\.");
}

}  // namespace
}  // namespace velmo
