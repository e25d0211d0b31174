// Our sender to our receiver over loopback TCP: the whole road of a transfer, declines,
// cancellation on either side and a phone that vanishes mid-file; and over a link of the
// test's own network namespaces, a phone that drops off the network.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>
#include <atomic>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "platform/Error.h"
#include "quickshare/FlowTesting.h"
#include "quickshare/PrivateLink.h"
#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/QuickShareReceiveAuthorization.h"
#include "quickshare/QuickShareReceiver.h"
#include "quickshare/QuickShareSender.h"
#include "quickshare/ScriptedPhone.h"
#include "quickshare/SharingFlow.h"
#include "support/AsyncTest.h"
#include "support/TempFolder.h"
#include "transfer/NetworkStream.h"
#include "transfer/ShareError.h"

namespace velmo {
namespace {

using namespace test;
namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;
using Status = QuickShareSender::Status;
using nearby::sharing::service::proto::V1Frame;

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

// The phone's end of a real connection whose socket stays open until the test closes it, as
// a phone's does while its writer still runs after it read our goodbye.
class LateClosingStream : public ByteStream {
public:
    explicit LateClosingStream(std::shared_ptr<NetworkStream> inner) : inner_(std::move(inner)) {}
    asio::any_io_executor executor() const override { return inner_->executor(); }
    asio::awaitable<Bytes> readExactly(std::size_t n) override { return inner_->readExactly(n); }
    asio::awaitable<void> write(ByteView bytes) override { return inner_->write(bytes); }
    void close() override {}

private:
    std::shared_ptr<NetworkStream> inner_;
};

// What a phone that keeps writing after the computer cancelled met.
struct PhoneHeard {
    bool cancel = false;
    std::string end;           // how its frames ended
    std::string writeFailure;  // the first write that failed
    std::chrono::steady_clock::time_point closed;  // when it closed its socket
};

asio::awaitable<void> listen(std::shared_ptr<ScriptedPhone> phone, std::shared_ptr<PhoneHeard> heard) {
    heard->cancel = SharingFlow::typeOf(co_await phone->next(10s)) == V1Frame::CANCEL;
    try {
        co_await phone->next(10s);
    } catch (const std::exception& e) {
        heard->end = e.what();
    }
}

// Chunk after chunk; a phone takes a while to act on a cancel, so it writes on for 300 ms
// after reading it, then stops and closes.
asio::awaitable<void> keepWriting(std::shared_ptr<ScriptedPhone> phone, std::shared_ptr<NetworkStream> socket,
                                  std::shared_ptr<PhoneHeard> heard) {
    const Bytes chunk(QuickShareConnection::fileChunkSize, 'w');
    std::optional<std::chrono::steady_clock::time_point> stopAt;
    for (std::int64_t offset = 0; offset < std::int64_t{1} << 31; offset += std::ssize(chunk)) {
        if (!stopAt && heard->cancel) stopAt = std::chrono::steady_clock::now() + 300ms;
        if (stopAt && std::chrono::steady_clock::now() > *stopAt) break;
        try {
            co_await phone->sendChunk(1, std::int64_t{1} << 32, offset, chunk, false);
        } catch (const std::exception& e) {
            heard->writeFailure = e.what();
            break;
        }
    }
    heard->closed = std::chrono::steady_clock::now();
    socket->close();
}

// Cancelling (as Cancel, Quit and the quit signals do) while the phone still pours its file
// in: the phone reads our CANCEL and disconnection, and its writes meanwhile are taken, not
// reset, until it stops by itself a while later. The receive ends only once the phone has
// closed, so a process that exits right after it resets nothing either. The same when the
// receive session is revoked, a cancellation the flow meets as a failure.
TEST_F(LoopbackTest, CancelReachesAPhoneThatKeepsWriting) {
    receiverTimeouts.cancelGrace = 3s;
    for (bool revoked : {false, true}) {
        SCOPED_TRACE(revoked);
        auto phoneSocket = NetworkStream::outgoing({acceptor.local_endpoint()}, pool.get_executor());
        CancelSignal cancel;
        auto session = std::make_shared<QuickShareReceiveAuthorization>();
        auto heard = std::make_shared<PhoneHeard>();
        std::chrono::steady_clock::time_point receiveEnded;
        auto cancelLate = [cancel, session, revoked](std::int64_t done, std::int64_t) mutable {
            if (done < 2'000'000) return;
            if (revoked) session->revoke();
            else cancel.cancel();
        };
        auto run = [&]() -> asio::awaitable<Paths> {
            auto socket = co_await acceptor.async_accept(asio::use_awaitable);
            receiverStream = NetworkStream::accepted(std::move(socket), pool.get_executor());
            try {
                co_return co_await QuickShareReceiver::receive(receiverStream, inbox, session, answering(true),
                                                               cancelLate, cancel, receiverTimeouts);
            } catch (...) {
                receiveEnded = std::chrono::steady_clock::now();
                throw;
            }
        };
        auto receiving = asio::co_spawn(pool, std::move(run), asio::use_future);
        runAsync(phoneSocket->executor(), [&]() -> asio::awaitable<void> {
            co_await phoneSocket->start(5s);
            auto phone = co_await ScriptedPhone::connectAsSender(std::make_shared<LateClosingStream>(phoneSocket));
            co_await phone->expect(V1Frame::PAIRED_KEY_ENCRYPTION);
            co_await phone->sendPairedKeys();
            co_await phone->expect(V1Frame::PAIRED_KEY_RESULT);
            const std::vector<ScriptedPhone::OfferedFile> offered{{"big.bin", 1, std::int64_t{1} << 32}};
            co_await phone->sendIntroduction(offered);
            co_await phone->expect(V1Frame::RESPONSE);
            using namespace asio::experimental::awaitable_operators;
            co_await (listen(phone, heard) && keepWriting(phone, phoneSocket, heard));
        });
        ASSERT_EQ(receiving.wait_for(5s), std::future_status::ready);
        EXPECT_THROW(receiving.get(), Cancelled);
        EXPECT_TRUE(heard->cancel);
        EXPECT_EQ(heard->end, QuickShareError::disconnected().what());
        EXPECT_EQ(heard->writeFailure, "");
        EXPECT_GE(receiveEnded, heard->closed);
        EXPECT_FALSE(hasTemporaryFiles(inbox));
    }
}

// A phone that drops off the network mid-file: our keep-alives go unacknowledged, and within
// the injected limit the receiver ends saying the phone stopped responding, leaving no part
// file. A phone that only pauses (its kernel still acknowledging) is not cut.
TEST_F(LoopbackTest, PhoneDroppingOffTheNetworkEndsTheTransferSoon) {
    PrivateLink link;
    if (!link.up()) GTEST_SKIP() << "needs root and network namespaces";
    constexpr auto limit = 1000ms;
    receiverTimeouts.connection.keepAlive = senderTimeouts.connection.keepAlive = 200ms;
    receiverTimeouts.filePhase = 120s;
    for (bool dropsOff : {false, true}) {
        SCOPED_TRACE(dropsOff);
        TempFolder other;
        inbox = other.path() / "Downloads";
        auto listener = link.inside<asio::ip::tcp::acceptor>('c', [this] {
            return asio::ip::tcp::acceptor(pool, {asio::ip::make_address("10.213.0.1"), 0});
        });
        const auto port = listener.local_endpoint().port();
        auto phoneSocket = link.inside<asio::ip::tcp::socket>('p', [this, port] {
            asio::ip::tcp::socket socket(pool);
            socket.connect({asio::ip::make_address("10.213.0.1"), port});
            return socket;
        });
        receiverStream = NetworkStream::accepted(listener.accept(), pool.get_executor());
        senderStream = NetworkStream::accepted(std::move(phoneSocket), pool.get_executor());
        receiverStream->setUnacknowledgedLimit(limit);
        senderStream->setUnacknowledgedLimit(limit);

        std::atomic<bool> dropped = false;
        std::chrono::steady_clock::time_point dropTime;
        auto receiving = asio::co_spawn(
            pool,
            QuickShareReceiver::receive(receiverStream, inbox, nullptr,
                                        [](QuickShareOffer) -> asio::awaitable<bool> { co_return true; },
                                        [&](std::int64_t done, std::int64_t) {
                                            if (!dropsOff || done < 3'000'000 || dropped) return;
                                            link.takePhoneOff();
                                            dropTime = std::chrono::steady_clock::now();
                                            dropped = true;
                                        },
                                        {}, receiverTimeouts),
            asio::use_future);
        const auto path = file("big.bin", std::string(dropsOff ? 100'000'000 : 3'000'000, 'n'));
        bool paused = false;
        auto sending = asio::co_spawn(pool,
                                      QuickShareSender::send({path}, senderStream, "Pixel", std::nullopt, nullptr,
                                                             nullptr,
                                                             [&](std::int64_t sent, std::int64_t) {
                                                                 // Longer than the limit, but the link stands.
                                                                 if (dropsOff || sent < 1'000'000 || paused) return;
                                                                 paused = true;
                                                                 std::this_thread::sleep_for(2 * limit);
                                                             },
                                                             {}, senderTimeouts),
                                      asio::use_future);
        const auto receiveError = errorOf(receiving);
        const auto ended = std::chrono::steady_clock::now();
        if (!dropsOff) {
            EXPECT_EQ(receiveError, "");
            EXPECT_EQ(errorOf(sending), "");
            EXPECT_EQ(namesIn(inbox), (std::vector<std::string>{"big.bin"}));
            continue;
        }
        // However the kernel reports it (time-out, or the address no longer answering), and to
        // whichever of the reads and writes. The phone's side, its writes stalled, may end first
        // by its own write limit.
        EXPECT_EQ(receiveError, ShareError::connectionTimedOut().what());
        EXPECT_NE(errorOf(sending), "");
        ASSERT_TRUE(dropped);
        EXPECT_LT(ended - dropTime, 10 * limit);
        EXPECT_FALSE(hasTemporaryFiles(inbox));
        EXPECT_TRUE(namesIn(inbox).empty());
    }
}

// The same during a send: the computer dials the phone, which drops off the network mid-file,
// and the send ends saying the phone stopped responding within the injected limit.
TEST_F(LoopbackTest, PhoneDroppingOffDuringASendEndsItSoon) {
    PrivateLink link;
    if (!link.up()) GTEST_SKIP() << "needs root and network namespaces";
    constexpr auto limit = 1000ms;
    const auto phone = asio::ip::make_address("10.213.0.2");
    auto listener = link.inside<asio::ip::tcp::acceptor>('p', [this, phone] {
        return asio::ip::tcp::acceptor(pool, {phone, 0});
    });
    // The computer's side runs on a thread in its namespace, where its socket is opened.
    asio::io_context computer;
    auto work = asio::make_work_guard(computer);
    auto computerThread = link.threadInside('c', [&computer] { computer.run(); });
    auto stream = NetworkStream::outgoing({{phone, listener.local_endpoint().port()}}, computer.get_executor());
    stream->setUnacknowledgedLimit(limit);
    std::atomic<bool> dropped = false;
    std::chrono::steady_clock::time_point dropTime;
    auto dropOff = [&](std::int64_t sent, std::int64_t) {
        if (sent < 3'000'000 || dropped) return;
        link.takePhoneOff();
        dropTime = std::chrono::steady_clock::now();
        dropped = true;
    };
    const auto path = file("big.bin", std::string(100'000'000, 'n'));
    auto sending = asio::co_spawn(computer,
                                  QuickShareSender::send({path}, stream, "Desk", std::nullopt, nullptr, nullptr,
                                                         dropOff, {}, senderTimeouts),
                                  asio::use_future);
    receiverStream = NetworkStream::accepted(listener.accept(), pool.get_executor());
    receiverStream->setUnacknowledgedLimit(limit);  // the phone's goodbye waits no longer either
    auto receiving = asio::co_spawn(pool,
                                    QuickShareReceiver::receive(receiverStream, inbox, nullptr, answering(true),
                                                                nullptr, {}, receiverTimeouts),
                                    asio::use_future);
    EXPECT_EQ(errorOf(sending), ShareError::connectionTimedOut().what());
    EXPECT_TRUE(dropped);
    EXPECT_LT(std::chrono::steady_clock::now() - dropTime, 10 * limit);
    work.reset();
    computer.stop();
    computerThread.join();
}

}  // namespace
}  // namespace velmo
