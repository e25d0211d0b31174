// Our sender to our receiver over loopback TCP: the whole road of a transfer, declines,
// cancellation on either side and a phone that vanishes mid-file.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>
#include <fstream>
#include <future>
#include <mutex>
#include <random>

#include "platform/Error.h"
#include "quickshare/FlowTesting.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/QuickShareReceiver.h"
#include "quickshare/QuickShareSender.h"
#include "support/TempFolder.h"
#include "transfer/NetworkStream.h"

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
    std::future<Paths> receiveOne(QuickShareReceiver::Decide decide, CancelSignal cancel = {}) {
        auto progress = [this](std::int64_t done, std::int64_t total) {
            std::lock_guard guard(lock);
            received.emplace_back(done, total);
        };
        auto run = [this, decide, progress, cancel]() -> asio::awaitable<Paths> {
            auto socket = co_await acceptor.async_accept(asio::use_awaitable);
            receiverStream = NetworkStream::accepted(std::move(socket), pool.get_executor());
            co_return co_await QuickShareReceiver::receive(receiverStream, inbox, nullptr, decide, progress,
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
        try {
            future.get();
        } catch (const Cancelled&) {
            return "cancelled";
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
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

TEST_F(LoopbackTest, PhoneVanishingMidFileKeepsOnlyFinishedFiles) {
    const auto path = file("big.bin", std::string(20 * 1000 * 1000, 'v'));
    auto receiving = receiveOne(answering(true));
    auto sending = sendAll({file("first.txt", "1"), path}, {}, nullptr, [this](std::int64_t sent, std::int64_t) {
        if (sent > 3 * 1000 * 1000) senderStream->close();  // the phone drops off the network
    });
    EXPECT_NE(errorOf(sending), "");
    EXPECT_NE(errorOf(receiving), "");
    EXPECT_EQ(namesIn(inbox), (std::vector<std::string>{"first.txt"}));
}

}  // namespace
}  // namespace velmo
