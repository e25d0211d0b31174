#include <gtest/gtest.h>

#include <asio/strand.hpp>
#include <cstdlib>
#include <optional>

#include "avahi/AvahiRecorder.h"
#include "avahi/AvahiTestKit.h"
#include "platform/AvahiPublisher.h"
#include "platform/Runtime.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
using test::BrowsedService;

const std::string kType = "_velmotest._tcp";

bool hasName(const std::vector<BrowsedService>& services, const std::string& name) {
    for (const auto& s : services)
        if (s.name == name) return true;
    return false;
}

class AvahiPublisherTest : public ::testing::Test {
protected:
    Runtime runtime{2};
    asio::any_io_executor strand = asio::make_strand(runtime.executor());
    test::AvahiRecorder recorder;
    std::optional<AvahiPublisher> publisher;

    void publish(std::string name, std::uint16_t port, std::vector<std::pair<std::string, Bytes>> txt) {
        test::onExecutor(strand, [&] {
            publisher.emplace(strand, AvahiServiceSpec{std::move(name), kType, port, std::move(txt)},
                              recorder.publisherEvents());
        });
    }
    void withdraw() {
        test::onExecutor(strand, [&] { publisher.reset(); });
    }
    void TearDown() override { withdraw(); }
};

TEST_F(AvahiPublisherTest, PublishesNamePortAndTxtOnLoopbackAndToThePeer) {
    publish("Velmo Publish", 4242, {{"n", toBytes("abc-_")}, {"flag", {}}});

    auto local = test::browseUntil(kType, [](auto& s) { return hasName(s, "Velmo Publish"); });
    ASSERT_TRUE(local);
    const auto& seen = local->front();
    EXPECT_EQ(seen.port, 4242);
    EXPECT_EQ(seen.txt, (std::vector<std::string>{"n=abc-_", "flag="}));

    // Over the veth pair the peer's daemon learns it by multicast DNS.
    auto remote = test::browseUntil(
        kType, [](auto& s) { return hasName(s, "Velmo Publish"); }, 15s, /*peer=*/true);
    ASSERT_TRUE(remote);
    bool viaVeth = false;
    for (const auto& s : *remote) viaVeth |= s.protocol == "IPv4" && s.address == "169.254.77.1";
    EXPECT_TRUE(viaVeth);
    EXPECT_EQ(recorder.read([&] { return recorder.failures.size(); }), 0u);
}

TEST_F(AvahiPublisherTest, DestroyingWithdrawsTheService) {
    publish("Velmo Withdraw", 4243, {{"n", toBytes("x")}});
    ASSERT_TRUE(test::browseUntil(kType, [](auto& s) { return hasName(s, "Velmo Withdraw"); }));
    withdraw();
    EXPECT_TRUE(test::browseUntil(kType, [](auto& s) { return !hasName(s, "Velmo Withdraw"); }));
}

TEST_F(AvahiPublisherTest, NameTakenOnThisDaemonIsReportedAndNeverRenamed) {
    test::PublishedService other("Velmo Taken", kType, 5000, {"n=other"});
    ASSERT_TRUE(other.established()) << other.output();

    publish("Velmo Taken", 4244, {{"n", toBytes("mine")}});
    ASSERT_TRUE(recorder.waitUntil([&] { return recorder.collisions == 1; }));

    auto services = test::browseOnce(kType);
    for (const auto& s : services) {
        EXPECT_NE(s.name, "Velmo Taken #2");
        if (s.name == "Velmo Taken") {
            EXPECT_EQ(s.port, 5000);
        }
    }
    EXPECT_TRUE(recorder.read([&] { return recorder.failures.empty(); }));
}

TEST_F(AvahiPublisherTest, NameTakenOnTheNetworkIsReported) {
    test::PublishedService remote("Velmo Remote", kType, 5001, {"n=remote"}, /*peer=*/true);
    ASSERT_TRUE(remote.established()) << remote.output();
    // Our daemon has heard of the peer's service before we claim the same name.
    ASSERT_TRUE(test::browseUntil(kType, [](auto& s) { return hasName(s, "Velmo Remote"); }));

    publish("Velmo Remote", 4245, {{"n", toBytes("mine")}});
    EXPECT_TRUE(recorder.waitUntil([&] { return recorder.collisions == 1; }, 15s));
}

TEST_F(AvahiPublisherTest, PublishesAgainAfterTheDaemonRestarts) {
    publish("Velmo Restart", 4246, {{"n", toBytes("again")}});
    ASSERT_TRUE(test::browseUntil(kType, [](auto& s) { return hasName(s, "Velmo Restart"); }));

    test::restartDaemon();

    auto back = test::browseUntil(kType, [](auto& s) { return hasName(s, "Velmo Restart"); });
    ASSERT_TRUE(back);
    EXPECT_EQ(back->front().txt, std::vector<std::string>{"n=again"});
    EXPECT_TRUE(recorder.read([&] { return recorder.failures.empty() && recorder.collisions == 0; }));
}

TEST(AvahiPublisherNoDaemonTest, AbsentDaemonIsAClearError) {
    EXPECT_EXIT(
        {
            // A bus nobody listens on: as on a machine without avahi-daemon.
            setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velmo-bus", 1);
            Runtime runtime{1};
            try {
                AvahiPublisher publisher(runtime.executor(), {"Velmo", kType, 1, {}}, {});
            } catch (const AvahiError& error) {
                std::fprintf(stderr, "%s\n", error.what());
                std::exit(3);
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(3), "avahi-daemon is not running\\.");
}

}  // namespace
}  // namespace velmo
