// The whole road over real Avahi: discovery finds our own advertiser, a stream opened to the
// found service carries the send flow, and the receive flow behind the advertiser saves the
// files.
#include <gtest/gtest.h>
#include <net/if.h>

#include <asio/co_spawn.hpp>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>

#include "platform/Random.h"
#include "platform/Runtime.h"
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
            if (phone.id == ours && phone.endpoint.interfaceIndex == int(if_nametoindex("lo")))
                std::call_once(once, [&] { found.set_value(phone); });
    };
    discovery.start();
    auto phoneFuture = found.get_future();
    ASSERT_EQ(phoneFuture.wait_for(15s), std::future_status::ready);
    const QuickSharePhone phone = phoneFuture.get();
    EXPECT_EQ(phone.name, "Road Desk");
    EXPECT_EQ(phone.endpoint.address, "127.0.0.1");
    EXPECT_EQ(phone.endpoint.port, *advertiser.port());

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

}  // namespace
}  // namespace velmo
