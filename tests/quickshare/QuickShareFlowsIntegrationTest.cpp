// Our sender to our receiver over loopback TCP: the whole road of a transfer, declines,
// cancellation on either side and a phone that vanishes mid-file.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <random>

#include "platform/Error.h"
#include "quickshare/FlowTesting.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/QuickShareReceiveAuthorization.h"
#include "quickshare/QuickShareReceiver.h"
#include "quickshare/QuickShareSender.h"
#include "support/TempFolder.h"
#include "transfer/NetworkStream.h"
#include "transfer/ShareError.h"

namespace velmo {
namespace {

using namespace test;
namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;
using Status = QuickShareSender::Status;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class LoopbackTest : public ::testing::Test {
protected:
    LoopbackTest() {
        receiverTimeouts.handshake = receiverTimeouts.introduction = 5s;
        receiverTimeouts.filePhase = 5s;
        receiverTimeouts.cancelGrace = 2s;
        senderTimeouts.handshake = senderTimeouts.response = 5s;
        senderTimeouts.lastWord = 500ms;
        senderTimeouts.cancelGrace = 2s;
        fs::create_directories(outbox);
    }
    ~LoopbackTest() override {
        if (receiverStream) receiverStream->close();
        if (senderStream) senderStream->close();
        acceptor.close();
        pool.join();
    }

    fs::path file(const std::string& name, const std::string& content) {
        std::ofstream(outbox / name, std::ios::binary) << content;
        return outbox / name;
    }

    // Accepts one connection on 127.0.0.1 and receives on it.
    std::future<Paths> receiveOne(QuickShareReceiver::Decide decide, CancelSignal cancel = {},
                                  std::shared_ptr<QuickShareReceiveAuthorization> authorization = nullptr) {
        auto progress = [this](std::int64_t done, std::int64_t total) {
            std::lock_guard guard(lock);
            received.emplace_back(done, total);
            if (onReceived) onReceived(done);
        };
        auto run = [this, decide, progress, cancel, authorization]() -> asio::awaitable<Paths> {
            auto socket = co_await acceptor.async_accept(asio::use_awaitable);
            receiverStream = NetworkStream::accepted(std::move(socket), pool.get_executor());
            co_return co_await QuickShareReceiver::receive(receiverStream, inbox, authorization, decide, progress,
                                                           cancel, receiverTimeouts);
        };
        return asio::co_spawn(pool, std::move(run), asio::use_future);
    }

    std::future<void> sendAll(std::vector<fs::path> files, CancelSignal cancel = {},
                              QuickShareSender::ConfirmPeer confirm = nullptr,
                              QuickShareSender::Progress progress = nullptr) {
        senderStream = NetworkStream::outgoing({acceptor.local_endpoint()}, pool.get_executor());
        auto status = [this](const Status& value) {
            std::lock_guard guard(lock);
            statuses.push_back(value);
        };
        return asio::co_spawn(pool,
                              QuickShareSender::send(std::move(files), senderStream, "Büro-PC", std::nullopt,
                                                     std::move(confirm), status, std::move(progress), cancel,
                                                     senderTimeouts),
                              asio::use_future);
    }

    template <class T>
    static std::string errorOf(std::future<T>& future) {
        if (future.wait_for(30s) != std::future_status::ready) {
            ADD_FAILURE() << "the transfer did not end";
            return "hung";
        }
        return outcomeText(future);
    }

    asio::thread_pool pool{3};
    asio::ip::tcp::acceptor acceptor{pool, {asio::ip::make_address("127.0.0.1"), 0}};
    std::shared_ptr<NetworkStream> receiverStream;
    std::shared_ptr<NetworkStream> senderStream;
    TempFolder temp;
    fs::path outbox = temp / "outbox";
    fs::path inbox = temp / "Downloads";
    QuickShareReceiver::Timeouts receiverTimeouts;
    QuickShareSender::Timeouts senderTimeouts;
    CancelSignal senderCancel;
    std::mutex lock;
    std::vector<Status> statuses;
    std::vector<std::pair<std::int64_t, std::int64_t>> received;
    std::function<void(std::int64_t done)> onReceived;  // the receiver's progress, under `lock`
};

QuickShareReceiver::Decide answering(bool accept, std::vector<QuickShareOffer>* offers = nullptr) {
    return [accept, offers](QuickShareOffer offer) -> asio::awaitable<bool> {
        if (offers) offers->push_back(offer);
        co_return accept;
    };
}

// Sets `cancel` (the other side's signal) while the user looks at the offer, then accepts.
QuickShareReceiver::Decide cancellingWhileAsked(CancelSignal cancel) {
    return [cancel](QuickShareOffer) mutable -> asio::awaitable<bool> {
        cancel.cancel();
        co_await sleepFor(300ms);
        co_return true;
    };
}

TEST_F(LoopbackTest, SeveralFilesArriveWholeUnderTheirNames) {
    std::string big(50 * 1000 * 1000, '\0');
    std::mt19937 random(7);
    for (auto& byte : big) byte = static_cast<char>(random());
    const std::vector<fs::path> files = {file("empty.txt", ""), file("big.bin", big),
                                         file("Grüße aus Köln.txt", "hallo"), file("写真 📷.jpg", "jpeg")};
    std::vector<QuickShareOffer> offers;
    std::string comparedPin;
    auto receiving = receiveOne(answering(true, &offers));
    auto sending = sendAll(files, {}, [&comparedPin](std::string pin) -> asio::awaitable<bool> {
        comparedPin = pin;
        co_return true;
    });
    EXPECT_EQ(errorOf(sending), "");
    ASSERT_EQ(receiving.wait_for(30s), std::future_status::ready);
    const auto saved = receiving.get();
    ASSERT_EQ(saved.size(), 4u);
    EXPECT_EQ(saved[0], inbox / "empty.txt");
    EXPECT_EQ(saved[2], inbox / "Grüße aus Köln.txt");
    EXPECT_EQ(saved[3], inbox / "写真 📷.jpg");
    EXPECT_EQ(contentOf(saved[0]), "");
    EXPECT_TRUE(contentOf(saved[1]) == big);
    EXPECT_EQ(contentOf(saved[2]), "hallo");
    EXPECT_EQ(contentOf(saved[3]), "jpeg");
    EXPECT_FALSE(hasTemporaryFiles(inbox));

    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].senderName, "Büro-PC");
    EXPECT_EQ(offers[0].pin, comparedPin);
    EXPECT_EQ(offers[0].totalSize(), static_cast<std::int64_t>(big.size()) + 9);
    EXPECT_EQ(statuses, (std::vector<Status>{Status::connecting(), Status::waitingForAccept(comparedPin),
                                             Status::sending()}));
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back().first, offers[0].totalSize());
}

TEST_F(LoopbackTest, DeclinedOfferReachesTheSender) {
    auto receiving = receiveOne(answering(false));
    auto sending = sendAll({file("a.txt", "abc")});
    EXPECT_EQ(errorOf(sending), QuickShareError::declined().what());
    ASSERT_EQ(receiving.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(receiving.get().empty());
    EXPECT_FALSE(fs::exists(inbox));
}

TEST_F(LoopbackTest, SenderCancellingMidFileIsSeenAsThePhoneCancelling) {
    const auto path = file("big.bin", std::string(20 * 1000 * 1000, 'b'));
    auto receiving = receiveOne(answering(true));
    CancelSignal cancel;
    auto sending = sendAll({file("small.txt", "done"), path}, cancel, nullptr,
                           [cancel](std::int64_t sent, std::int64_t) mutable {
                               if (sent > 5 * 1000 * 1000) cancel.cancel();
                           });
    EXPECT_EQ(errorOf(sending), "cancelled");
    EXPECT_EQ(errorOf(receiving), QuickShareError::cancelledByPhone().what());
    EXPECT_EQ(namesIn(inbox), (std::vector<std::string>{"small.txt"}));
}

TEST_F(LoopbackTest, SenderCancellingWhileTheUserDecides) {
    auto& cancel = senderCancel;
    auto receiving = receiveOne(cancellingWhileAsked(cancel));
    auto sending = sendAll({file("a.txt", "abc")}, cancel);
    EXPECT_EQ(errorOf(sending), "cancelled");
    // The phone's CANCEL and disconnection arrive before the user answers.
    const auto error = errorOf(receiving);
    EXPECT_TRUE(error == QuickShareError::disconnected().what() ||
                error == QuickShareError::cancelledByPhone().what())
        << error;
    EXPECT_FALSE(hasTemporaryFiles(inbox));
}

TEST_F(LoopbackTest, ReceiverCancellingAtEachPhase) {
    for (bool duringFiles : {false, true}) {
        SCOPED_TRACE(duringFiles);
        TempFolder other;
        inbox = other.path() / "Downloads";
        CancelSignal cancel;
        auto receiving = receiveOne(
            [cancel, duringFiles](QuickShareOffer) mutable -> asio::awaitable<bool> {
                if (!duringFiles) cancel.cancel();
                co_return true;
            },
            cancel);
        auto path = file("big.bin", std::string(20 * 1000 * 1000, 'c'));
        auto sending = sendAll({path}, {}, nullptr, [cancel, duringFiles](std::int64_t sent, std::int64_t) mutable {
            if (duringFiles && sent > 2 * 1000 * 1000) cancel.cancel();
        });
        EXPECT_EQ(errorOf(receiving), "cancelled");
        EXPECT_NE(errorOf(sending), "");
        EXPECT_FALSE(hasTemporaryFiles(inbox));
        EXPECT_TRUE(namesIn(inbox).empty());
    }
}

// Either side dropping off the network mid-file: both see the one sentence for a
// connection that went away, whatever the socket reported, and finished files stay.
TEST_F(LoopbackTest, PhoneVanishingMidFileKeepsOnlyFinishedFiles) {
    for (bool receiverVanishes : {false, true}) {
        SCOPED_TRACE(receiverVanishes);
        TempFolder other;
        inbox = other.path() / "Downloads";
        const auto path = file("big.bin", std::string(20 * 1000 * 1000, 'v'));
        onReceived = [this, receiverVanishes](std::int64_t done) {
            if (receiverVanishes && done > 3 * 1000 * 1000) receiverStream->close();
        };
        auto receiving = receiveOne(answering(true));
        auto sending = sendAll({file("first.txt", "1"), path}, {}, nullptr,
                               [this, receiverVanishes](std::int64_t sent, std::int64_t) {
                                   if (!receiverVanishes && sent > 3 * 1000 * 1000) senderStream->close();
                               });
        const std::string closed = ShareError::connectionClosed().what();
        EXPECT_EQ(errorOf(sending), closed);
        EXPECT_EQ(errorOf(receiving), closed);
        EXPECT_EQ(namesIn(inbox), (std::vector<std::string>{"first.txt"}));
    }
}

// The receiver gives up after two of three chunks: by the user's cancel, a revoked session or
// a failed last write. The sender reports the files sent exactly when the receiver kept them.
TEST_F(LoopbackTest, ReceiverGivingUpNearTheEndFailsTheSend) {
    enum Way { userCancel, revoked, lastWriteFails };
    constexpr auto chunk = static_cast<std::int64_t>(QuickShareSender::chunkSize);
    const auto path = file("three.bin", std::string(3 * chunk, 't'));
    for (Way way : {userCancel, revoked, lastWriteFails}) {
        SCOPED_TRACE(static_cast<int>(way));
        TempFolder other;
        inbox = other.path() / "Downloads";
        CancelSignal cancel;
        auto authorization = std::make_shared<QuickShareReceiveAuthorization>();
        onReceived = [way, cancel, authorization](std::int64_t done) mutable {
            if (done < 2 * chunk) return;
            if (way == userCancel) cancel.cancel();
            if (way == revoked) authorization->revoke();
        };
        std::optional<FileSizeLimit> limit;
        if (way == lastWriteFails) limit.emplace(2 * chunk + 1);
        auto receiving = receiveOne(answering(true), cancel, authorization);
        auto sending = sendAll({path});
        const auto senderError = errorOf(sending);
        if (receiving.wait_for(30s) != std::future_status::ready) FAIL() << "the receive did not end";
        bool kept = false;
        try {
            kept = !receiving.get().empty();
        } catch (...) {
        }
        if (way != userCancel) {
            EXPECT_FALSE(kept);  // a user's cancel may come after the last chunk
        }
        EXPECT_EQ(senderError, kept ? "" : QuickShareError::cancelledByPhone().what());
        EXPECT_EQ(namesIn(inbox).size(), kept ? 1u : 0u);
    }
}

}  // namespace
}  // namespace velmo
