#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <avahi-common/address.h>

#include <asio/execution.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "avahi/AvahiRecorder.h"
#include "avahi/AvahiTestKit.h"
#include "platform/AvahiBrowser.h"
#include "platform/Runtime.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
using test::findService;

const std::string kType = "_velmobrowse._tcp";

// Stops the first thread that posts an event until the test opens it: Avahi's thread then sits
// inside its callback, holding Avahi's lock, for as long as the test likes.
class Gate {
public:
    void pass() {
        std::unique_lock guard(lock_);
        if (used_) return;
        used_ = true;
        changed_.notify_all();
        changed_.wait(guard, [&] { return open_; });
    }
    bool waitReached(std::chrono::milliseconds limit) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, limit, [&] { return used_; });
    }
    void open() {
        std::lock_guard guard(lock_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool used_ = false;
    bool open_ = false;
};

// An executor that posts to `inner`, each post passing `gate` first.
struct GatedExecutor {
    asio::any_io_executor inner;
    std::shared_ptr<Gate> gate;

    asio::execution_context& query(asio::execution::context_t) const noexcept {
        return asio::query(inner, asio::execution::context);
    }
    static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept {
        return asio::execution::blocking.never;
    }
    GatedExecutor require(asio::execution::blocking_t::never_t) const { return *this; }
    template <class F>
    void execute(F&& f) const {
        gate->pass();
        asio::post(inner, std::forward<F>(f));
    }
    friend bool operator==(const GatedExecutor& a, const GatedExecutor& b) noexcept {
        return a.inner == b.inner && a.gate == b.gate;
    }
};

// Whether thread `tid` of this process becomes blocked on a futex (a mutex) within `limit`.
bool blockedOnAMutex(pid_t tid, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    const std::string futex = std::to_string(SYS_futex);
    do {
        std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
        std::string call;
        if (in >> call && call == futex) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

class AvahiBrowserTest : public ::testing::Test {
protected:
    Runtime runtime{2};
    asio::any_io_executor strand = asio::make_strand(runtime.executor());
    test::AvahiRecorder recorder;
    std::optional<AvahiBrowser> browser;

    void browse(std::size_t maxResults = 256, std::chrono::milliseconds settle = AvahiBrowser::defaultSettle) {
        test::onExecutor(strand,
                         [&] { browser.emplace(strand, kType, maxResults, recorder.browserEvents(), settle); });
    }
    void TearDown() override {
        test::onExecutor(strand, [&] { browser.reset(); });
    }
    bool waitFor(const std::string& name, std::chrono::milliseconds limit = 10s) {
        return recorder.waitUntil([&] { return findService(recorder.results, name) != nullptr; }, limit);
    }
    std::optional<AvahiResolvedService> current(const std::string& name) {
        return recorder.read([&]() -> std::optional<AvahiResolvedService> {
            auto* found = findService(recorder.results, name);
            return found ? std::optional(*found) : std::nullopt;
        });
    }
};

TEST_F(AvahiBrowserTest, ResolvesAddressPortInterfaceAndTxtInRecordOrder) {
    test::PublishedService phone("Browse Phone", kType, 6001, {"n=first", "N=second", "bare", "empty="});
    ASSERT_TRUE(phone.established()) << phone.output();
    browse();
    // The daemon also announces its own services on the veth link; take the loopback one.
    const int lo = int(if_nametoindex("lo"));
    ASSERT_TRUE(recorder.waitUntil([&] {
        for (const auto& s : recorder.results)
            if (s.name == "Browse Phone" && s.interfaceIndex == lo) return true;
        return false;
    }));
    auto seen = recorder.read([&] {
        for (const auto& s : recorder.results)
            if (s.name == "Browse Phone" && s.interfaceIndex == lo) return s;
        return AvahiResolvedService{};
    });
    EXPECT_EQ(seen.type, kType);
    EXPECT_EQ(seen.domain, "local");
    ASSERT_EQ(seen.addresses.size(), 1u);
    EXPECT_EQ(seen.addresses[0].port, 6001);
    EXPECT_EQ(seen.addresses[0].address, "127.0.0.1");
    EXPECT_FALSE(seen.addresses[0].ipv6);
    // DNS-SD: keys ignore case and the first of a repeated key counts.
    EXPECT_EQ(seen.txt.value("n"), toBytes("first"));
    EXPECT_EQ(seen.txt.value("N"), toBytes("first"));
    EXPECT_EQ(seen.txt.value("bare"), std::nullopt);
    EXPECT_EQ(seen.txt.value("empty"), Bytes{});
    EXPECT_EQ(seen.txt.value("absent"), std::nullopt);
    ASSERT_EQ(seen.txt.entries.size(), 4u);
    EXPECT_EQ(seen.txt.entries[1].key, "N");
    EXPECT_FALSE(seen.txt.entries[2].value.has_value());
}

TEST_F(AvahiBrowserTest, PeerServiceIsListedOncePerInterfaceWithBothAddressesIPv4First) {
    test::PublishedService phone("Browse Remote", kType, 6002, {"n=remote"}, /*peer=*/true);
    ASSERT_TRUE(phone.established()) << phone.output();
    browse();
    ASSERT_TRUE(waitFor("Browse Remote", 15s));
    // The peer answers over IPv4 and IPv6 on the veth link: one entry holds both.
    ASSERT_TRUE(recorder.waitUntil([&] {
        auto* s = findService(recorder.results, "Browse Remote");
        return s && s->addresses.size() == 2;
    }));
    const auto both = current("Browse Remote");
    ASSERT_EQ(both->addresses.size(), 2u);
    EXPECT_EQ(both->addresses[0].address, "169.254.77.2");
    EXPECT_FALSE(both->addresses[0].ipv6);
    EXPECT_EQ(both->addresses[1].address, test::peerLinkAddress(true));
    EXPECT_TRUE(both->addresses[1].ipv6);
    EXPECT_EQ(both->addresses[1].port, 6002);
    int count = 0;
    recorder.read([&] {
        for (const auto& s : recorder.results) count += s.name == "Browse Remote";
        return 0;
    });
    EXPECT_EQ(count, 1);
    EXPECT_EQ(current("Browse Remote")->interfaceIndex, int(if_nametoindex("veth0")));
}

TEST_F(AvahiBrowserTest, ServiceAnnouncedOverOneProtocolWaitsForTheOtherBeforeItIsListed) {
    browse(256, 3s);
    const int veth = int(if_nametoindex("veth0"));
    test::ChangingService v4("Browse Late", kType, 6009, {"n=x"}, AVAHI_PROTO_INET);
    ASSERT_TRUE(v4.waitEstablished());
    // Its IPv4 address resolves meanwhile: listing it now would leave out the IPv6 one.
    std::this_thread::sleep_for(1s);
    test::ChangingService v6("Browse Late", kType, 6009, {"n=x"}, AVAHI_PROTO_INET6);
    ASSERT_TRUE(v6.waitEstablished());
    const auto firstListing = [&] {
        for (const auto& s : recorder.firstListings)
            if (s.name == "Browse Late" && s.interfaceIndex == veth) return s;
        return AvahiResolvedService{};
    };
    ASSERT_TRUE(recorder.waitUntil([&] { return !firstListing().name.empty(); }));
    const auto first = recorder.read(firstListing);
    ASSERT_EQ(first.addresses.size(), 2u);
    EXPECT_EQ(first.addresses[0].address, "169.254.77.1");
    EXPECT_TRUE(first.addresses[1].ipv6);
}

TEST_F(AvahiBrowserTest, ASettleTimerFallingDueWhileTheBrowserIsDestroyedRunsBeforeAnythingIsFreed) {
    const std::string type = "_velmostop._tcp";
    const auto settle = 20ms;
    test::ChangingService v4("Browse Stop", type, 6010, {"n=x"}, AVAHI_PROTO_INET);
    ASSERT_TRUE(v4.waitEstablished());
    auto gate = std::make_shared<Gate>();
    std::optional<AvahiBrowser> gated;
    gated.emplace(GatedExecutor{runtime.executor(), gate}, type, 256, recorder.browserEvents(), settle);
    // Its first result resolved and started settling; the report that follows waits at the gate.
    ASSERT_TRUE(gate->waitReached(10s));
    const auto reached = std::chrono::steady_clock::now();
    std::atomic<pid_t> destroyer{0};
    std::thread destroying([&] {
        destroyer = gettid();
        gated.reset();
    });
    while (!destroyer) std::this_thread::yield();
    // The destructor waits for Avahi's lock and the settle timer falls due meanwhile: once the
    // gate opens, Avahi's thread runs that timer before it sees the stop.
    EXPECT_TRUE(blockedOnAMutex(destroyer, 10s));
    std::this_thread::sleep_until(reached + settle + 100ms);
    gate->open();
    destroying.join();
    EXPECT_EQ(recorder.read([&] { return recorder.reports; }), 0);
}

TEST_F(AvahiBrowserTest, WithdrawnServiceLeavesTheList) {
    browse();
    {
        test::PublishedService phone("Browse Gone", kType, 6003, {"n=x"});
        ASSERT_TRUE(phone.established());
        ASSERT_TRUE(waitFor("Browse Gone"));
    }
    EXPECT_TRUE(recorder.waitUntil([&] { return findService(recorder.results, "Browse Gone") == nullptr; }));
}

TEST_F(AvahiBrowserTest, TxtChangeOfAListedServiceIsReported) {
    test::ChangingService phone("Browse Change", kType, 6004, {"n=before"});
    ASSERT_TRUE(phone.waitEstablished());
    browse();
    ASSERT_TRUE(waitFor("Browse Change"));
    EXPECT_EQ(current("Browse Change")->txt.value("n"), toBytes("before"));

    phone.updateTxt({"n=after"});
    EXPECT_TRUE(recorder.waitUntil([&] {
        auto* s = findService(recorder.results, "Browse Change");
        return s && s->txt.value("n") == toBytes("after");
    }));
}

TEST_F(AvahiBrowserTest, FollowsAtMostTheGivenNumberOfResults) {
    test::PublishedService a("Browse Cap A", kType, 6005, {"n=a"});
    test::PublishedService b("Browse Cap B", kType, 6006, {"n=b"});
    test::PublishedService c("Browse Cap C", kType, 6007, {"n=c"});
    ASSERT_TRUE(a.established() && b.established() && c.established());
    browse(2);
    ASSERT_TRUE(recorder.waitUntil([&] { return recorder.results.size() == 2; }));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(recorder.read([&] { return recorder.results.size(); }), 2u);
}

TEST_F(AvahiBrowserTest, ListIsClearedWhileTheDaemonRestartsAndFilledAgain) {
    test::PublishedService phone("Browse Restart", kType, 6008, {"n=x"}, /*peer=*/true);
    ASSERT_TRUE(phone.established());
    browse();
    ASSERT_TRUE(waitFor("Browse Restart", 15s));
    const int emptiedBefore = recorder.read([&] { return recorder.emptyReports; });

    test::restartDaemon();

    // The peer can answer the new daemon before this test looks, so count emptied lists
    // rather than expect one now. A restarted daemon probes and announces again before it
    // answers queries; on a loaded machine that takes a while.
    ASSERT_TRUE(recorder.waitUntil([&] { return recorder.emptyReports > emptiedBefore; }, 30s));
    EXPECT_TRUE(waitFor("Browse Restart", 40s));
    EXPECT_TRUE(recorder.read([&] { return recorder.failures.empty(); }));
}

TEST(AvahiBrowserNoDaemonTest, AbsentDaemonIsAClearError) {
    EXPECT_EXIT(
        {
            setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velmo-bus", 1);
            Runtime runtime{1};
            try {
                AvahiBrowser browser(runtime.executor(), kType, 8, {});
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
