// The whole road over real Avahi: discovery finds our own advertiser, a stream opened to the
// found service carries the send flow, and the receive flow behind the advertiser saves the
// files; a phone that Avahi lists on both families but that listens on one is reached by a
// discovered and by a QR send alike.
#include <gtest/gtest.h>
#include <net/if.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>

#include "avahi/AvahiTestKit.h"
#include "platform/EcKey.h"
#include "platform/Random.h"
#include "platform/Runtime.h"
#include "quickshare/Base64Url.h"
#include "quickshare/EndpointInfo.h"
#include "quickshare/QRCodeSession.h"
#include "quickshare/QuickShareAdvertiser.h"
#include "quickshare/QuickShareDiscovery.h"
#include "quickshare/QuickShareReceiver.h"
#include "quickshare/QuickShareSender.h"
#include "support/AsyncTest.h"
#include "support/TempFolder.h"
#include "transfer/NetworkStream.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string randomText(std::size_t size) {
    const Bytes bytes = randomBytes(size);
    return {bytes.begin(), bytes.end()};
}

// Our advertiser with the receive flow behind it, accepting every offer into `folder`.
struct Receiving {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<QuickShareOffer> offers;
    std::vector<fs::path> saved;
    std::vector<std::string> failures;
    int finished = 0;

    void take(std::shared_ptr<NetworkStream> stream, fs::path folder) {
        auto decide = [this](QuickShareOffer offer) -> asio::awaitable<bool> {
            record([&] { offers.push_back(std::move(offer)); });
            co_return true;
        };
        asio::co_spawn(stream->executor(),
                       QuickShareReceiver::receive(stream, std::move(folder), nullptr, decide, nullptr),
                       [this](std::exception_ptr error, std::vector<fs::path> files) {
                           record([&] {
                               if (error) {
                                   try {
                                       std::rethrow_exception(error);
                                   } catch (const std::exception& e) {
                                       failures.push_back(e.what());
                                   }
                               }
                               saved = std::move(files);
                               ++finished;
                           });
                       });
    }
    template <class F>
    void record(F f) {
        std::lock_guard guard(lock);
        f();
        changed.notify_all();
    }
    bool waitFinished(std::chrono::milliseconds limit = 20s) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, limit, [&] { return finished > 0; });
    }
};

TEST(QuickShareRoadTest, DiscoveredAdvertiserReceivesTheSentFilesByteIdentical) {
    Runtime runtime{2};
    test::TempFolder outbox;
    test::TempFolder inbox;
    const std::vector<std::pair<std::string, std::string>> files{
        {"empty.txt", ""},
        {"small.bin", randomText(3000)},
        {"Größe – 写真 ünïcødé.txt", "non-ASCII name\n"},
        {"several-chunks.bin", randomText(QuickShareSender::chunkSize * 2 + 17)},
    };
    std::vector<fs::path> paths;
    for (const auto& [name, content] : files) {
        outbox.write(name, content);
        paths.push_back(outbox / name);
    }

    Receiving receiving;
    QuickShareAdvertiser advertiser(runtime.executor());
    advertiser.onConnection = [&](std::shared_ptr<NetworkStream> stream) {
        receiving.take(std::move(stream), inbox.path());
    };
    std::promise<std::string> advertiserError;
    advertiser.onError = [&](std::string text) { advertiserError.set_value(text); };
    advertiser.start("Road Desk");

    // Our advertiser is a laptop, so discovery must list more than mobile devices.
    QuickShareDiscovery discovery(false, runtime.executor());
    std::promise<QuickSharePhone> found;
    std::once_flag once;
    const std::string ours = advertiser.serviceName();
    discovery.onPhones = [&](std::vector<QuickSharePhone> phones) {
        for (auto& phone : phones)
            if (phone.id == ours && phone.endpoints.at(0).interfaceIndex == int(if_nametoindex("lo")))
                std::call_once(once, [&] { found.set_value(phone); });
    };
    discovery.start();
    auto phoneFuture = found.get_future();
    ASSERT_EQ(phoneFuture.wait_for(15s), std::future_status::ready);
    const QuickSharePhone phone = phoneFuture.get();
    EXPECT_EQ(phone.name, "Road Desk");
    ASSERT_EQ(phone.endpoints.size(), 1u);
    EXPECT_EQ(phone.endpoints[0].address, "127.0.0.1");
    EXPECT_EQ(phone.endpoints[0].port, *advertiser.port());

    std::string senderPin;
    std::int64_t lastSent = -1;
    auto stream = phone.openStream(runtime.executor());
    test::runAsync(stream->executor(), [&]() -> asio::awaitable<void> {
        co_await QuickShareSender::send(
            paths, stream, "Road Sender", std::nullopt, nullptr,
            [&](const QuickShareSender::Status& status) {
                if (status.kind() == QuickShareSender::Status::Kind::waitingForAccept) senderPin = status.pin();
            },
            [&](std::int64_t sent, std::int64_t) { lastSent = sent; });
    });

    ASSERT_TRUE(receiving.waitFinished());
    std::lock_guard guard(receiving.lock);
    ASSERT_TRUE(receiving.failures.empty()) << receiving.failures.front();
    ASSERT_EQ(receiving.offers.size(), 1u);
    const auto& offer = receiving.offers.front();
    EXPECT_EQ(offer.senderName, "Road Sender");
    EXPECT_FALSE(offer.pin.empty());
    EXPECT_EQ(offer.pin, senderPin);
    ASSERT_EQ(offer.files.size(), files.size());
    ASSERT_EQ(receiving.saved.size(), files.size());
    std::int64_t total = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(offer.files[i].name, files[i].first);
        EXPECT_EQ(receiving.saved[i], inbox / files[i].first);
        EXPECT_EQ(contentOf(receiving.saved[i]), files[i].second) << files[i].first;
        total += std::int64_t(files[i].second.size());
    }
    EXPECT_EQ(lastSent, total);
    // Nothing else was written: no temporary file left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(inbox.path()), fs::directory_iterator()), std::ptrdiff_t(files.size()));
    EXPECT_NE(advertiserError.get_future().wait_for(0s), std::future_status::ready);
}

// A phone on the sandbox's peer that listens on one family only, accepting one transfer into
// its own folder.
struct OneFamilyPhone {
    test::TempFolder inbox;
    Receiving receiving;
    asio::strand<asio::any_io_executor> strand;
    asio::ip::tcp::acceptor acceptor;
    std::unique_ptr<test::PublishedService> service;

    OneFamilyPhone(const asio::any_io_executor& executor, bool ipv6, const std::string& id, const std::string& txt,
                   const std::string& host)
        : strand(asio::make_strand(executor)), acceptor(test::listenInPeer(strand, ipv6)) {
        auto serve = [this]() -> asio::awaitable<void> {
            auto socket = co_await acceptor.async_accept(asio::use_awaitable);
            receiving.take(NetworkStream::accepted(std::move(socket), strand.get_inner_executor()), inbox.path());
        };
        asio::co_spawn(strand, std::move(serve), asio::detached);
        service = std::make_unique<test::PublishedService>(id, QuickShareDiscovery::serviceType,
                                                           acceptor.local_endpoint().port(), std::vector{txt},
                                                           /*peer=*/true, /*wait=*/true, host);
    }
    ~OneFamilyPhone() {
        test::onExecutor(strand, [this] { acceptor.close(); });
    }
};

// Avahi lists the phones on both families while they listen on one. The family they listen on
// is published last, so Avahi's first answer is the address that refuses: the first listing
// and the first QR match must already hold both addresses, IPv4 first, whichever came first.
class QuickShareRoadOneFamilyTest : public ::testing::TestWithParam<bool> {};

TEST_P(QuickShareRoadOneFamilyTest, DiscoveredAndQRSendsReachAPhoneListeningOnOneFamilyOnly) {
    const bool listensOnIPv6 = GetParam();
    static std::atomic<int> runs{0};
    const std::string tag = std::string(listensOnIPv6 ? "v6" : "v4") + "-" + std::to_string(::getpid()) + "-" +
                            std::to_string(runs++);
    const std::string host = "road-" + tag + ".local";
    Runtime runtime{2};
    test::TempFolder outbox;
    outbox.write("hello.txt", "one family\n");
    QRCodeSession session(P256PrivateKey::generate());
    const auto txt = [](const std::string& name, std::optional<Bytes> qr) {
        return "n=" + base64UrlEncode(EndpointInfo(EndpointInfo::DeviceType::phone, name, std::move(qr)).encoded());
    };
    OneFamilyPhone plain(runtime.executor(), listensOnIPv6, "road-plain-" + tag, txt("Plain", std::nullopt), host);
    OneFamilyPhone scanner(runtime.executor(), listensOnIPv6, "road-qr-" + tag,
                           txt("Scanner", session.advertisingToken()), host);
    const auto refusing = test::PublishedService::hostAddress(host, test::peerLinkAddress(!listensOnIPv6), true);
    ASSERT_TRUE(plain.service->established() && scanner.service->established() && refusing->established());

    std::mutex lock;
    std::condition_variable changed;
    std::optional<QuickSharePhone> listed;
    std::optional<QuickSharePhone> matched;
    QuickShareDiscovery discovery(true, runtime.executor());
    discovery.onPhones = [&](std::vector<QuickSharePhone> phones) {
        std::lock_guard guard(lock);
        for (auto& phone : phones)
            if (phone.id == "road-plain-" + tag && !listed) listed = phone;
        changed.notify_all();
    };
    discovery.onQRMatch = [&](QuickSharePhone phone) {
        std::lock_guard guard(lock);
        if (!matched) matched = phone;
        changed.notify_all();
    };
    discovery.setQRSession(session);
    discovery.start();
    std::this_thread::sleep_for(1s);  // the refusing family resolves alone meanwhile
    const auto listening = test::PublishedService::hostAddress(host, test::peerLinkAddress(listensOnIPv6), true);
    ASSERT_TRUE(listening->established());
    {
        std::unique_lock guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, 15s, [&] { return listed && matched; }));
    }

    const std::vector<std::string> both{test::peerLinkAddress(false), test::peerLinkAddress(true)};
    for (const auto* phone : {&*listed, &*matched}) {
        std::vector<std::string> addresses;
        for (const auto& endpoint : phone->endpoints) addresses.push_back(endpoint.address);
        EXPECT_EQ(addresses, both) << phone->id;
    }
    EXPECT_EQ(matched->id, "road-qr-" + tag);
    EXPECT_EQ(matched->name, "Scanner");

    // A discovered send and a QR send, as the application makes them.
    const std::vector<std::pair<const QuickSharePhone*, std::optional<QRCodeSession>>> sends{
        {&*listed, std::nullopt}, {&*matched, session}};
    for (const auto& send : sends) {
        const QuickSharePhone& phone = *send.first;
        auto stream = phone.openStream(runtime.executor());
        std::vector<fs::path> files{outbox / "hello.txt"};
        std::optional<QRCodeSession> qr = send.second;
        std::string sender = "Road Sender";
        EXPECT_NO_THROW(test::runAsync(stream->executor(), [&]() -> asio::awaitable<void> {
            co_await QuickShareSender::send(files, stream, sender, qr, nullptr, nullptr, nullptr);
        })) << phone.id;
        stream->close();
    }
    for (auto* phone : {&plain, &scanner}) {
        ASSERT_TRUE(phone->receiving.waitFinished());
        std::lock_guard guard(phone->receiving.lock);
        EXPECT_TRUE(phone->receiving.failures.empty()) << phone->receiving.failures.front();
        EXPECT_EQ(contentOf(phone->inbox / "hello.txt"), "one family\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Families, QuickShareRoadOneFamilyTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "IPv6Only" : "IPv4Only"; });

}  // namespace
}  // namespace velmo
