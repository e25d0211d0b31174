// The send flow against a scripted receiving phone over an in-memory stream: describing the
// files, the negotiation, the phone's answer and the user's code comparison, and cancelling.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <asio/experimental/concurrent_channel.hpp>

#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/SenderTest.h"

namespace velmo::test {
namespace {

TEST_F(SenderTest, NothingToSendOrUnsendableFilesLeaveTheStreamUntouched) {
    EXPECT_EQ(outcomeOf(*std::make_unique<std::future<void>>(startSend({}))), "");
    fs::create_directories(temp / "Album");
    ASSERT_EQ(::mkfifo((temp / "pipe").c_str(), 0600), 0);
    const auto ok = file("ok.txt", 3);
    struct Case {
        const char* label;
        fs::path path;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"folder", temp / "Album", sentence(QuickShareError::protocolError("Album is a folder"))},
        {"folder with a slash", fs::path((temp / "Album").string() + "/"),
         sentence(QuickShareError::protocolError("Album is a folder"))},
        {"fifo", temp / "pipe", "\u2068pipe\u2069 is not a regular file."},
        {"deleted after staging", temp / "tmpgone.txt", "\u2068tmpgone.txt\u2069 is no longer there."},
        {"under a file", ok / "inside.txt", "\u2068inside.txt\u2069 is no longer there."},
    };
    for (const auto& c : cases) {
        auto sending = startSend({ok, c.path});
        EXPECT_EQ(outcomeOf(sending), c.error) << c.label;
    }
    EXPECT_TRUE(statuses.empty());
    EXPECT_EQ(pair.a->writeCalls(), 0u);
    EXPECT_EQ(pair.a->closeCalls(), 0u);
}

// The phone's answer decides, also while the user still compares the codes: then it ends the
// send at once, and the user's late answer changes nothing.
TEST_F(SenderTest, ThePhonesAnswerDecides) {
    enum Act { respond, noStatus, cancelFrame, leave };
    struct Case {
        Act act;
        Response::Status status;
        std::string error;
    };
    const std::vector<Case> cases = {
        {respond, Response::REJECT, sentence(QuickShareError::declined())},
        {respond, Response::UNKNOWN, sentence(QuickShareError::declined())},
        {noStatus, Response::UNKNOWN, sentence(QuickShareError::declined())},
        {respond, Response::NOT_ENOUGH_SPACE, sentence(QuickShareError::notEnoughSpace())},
        {respond, Response::UNSUPPORTED_ATTACHMENT_TYPE, sentence(QuickShareError::unsupported())},
        {respond, Response::TIMED_OUT, sentence(QuickShareError::timedOut())},
        {cancelFrame, Response::UNKNOWN, sentence(QuickShareError::cancelledByPhone())},
        // A phone that leaves instead of answering counts as nobody answering.
        {leave, Response::UNKNOWN, sentence(QuickShareError::timedOut())},
    };
    using UserAnswer = asio::experimental::concurrent_channel<void(asio::error_code, bool)>;
    const auto path = file("a.txt", 3);
    for (bool asking : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << "act " << c.act << ", status " << c.status << ", asking " << asking);
            auto user = std::make_shared<UserAnswer>(pool.get_executor(), 1);
            auto answered = std::make_shared<std::atomic<bool>>(false);
            QuickShareSender::ConfirmPeer confirm;
            if (asking) {
                confirm = [user, answered](std::string) -> asio::awaitable<bool> {
                    const bool matches = co_await user->async_receive(asio::use_awaitable);
                    *answered = true;
                    co_return matches;
                };
            }
            auto streams = MemoryStreamPair::create(pool.get_executor());
            auto sending = sendOver(streams, {path}, confirm);
            runAsync(streams.b->executor(), [&]() -> asio::awaitable<void> {
                auto phone = co_await Phone::acceptAsReceiver(streams.b);
                co_await phone->expectIntroduction();
                if (c.act == respond) co_await phone->sendResponse(c.status);
                if (c.act == noStatus) co_await phone->sendType(V1Frame::RESPONSE);
                if (c.act == cancelFrame) co_await phone->sendType(V1Frame::CANCEL);
                if (c.act == leave) co_return co_await phone->disconnect();
                EXPECT_TRUE(co_await phone->expectEnd());  // closed without a frame of ours
                EXPECT_TRUE(phone->files().empty());
            });
            EXPECT_EQ(sending.wait_for(3s), std::future_status::ready) << "the send waited for the user";
            EXPECT_FALSE(*answered);
            user->try_send(asio::error_code{}, true);
            EXPECT_EQ(outcomeOf(sending), c.error);
            EXPECT_TRUE(!asking || eventually([&] { return answered->load(); }));  // the late answer went nowhere
        }
    }
}

TEST_F(SenderTest, PhoneThatNeverAnswersTimesOutAndOtherFramesRestartTheWait) {
    timeouts.response = 300ms;
    auto sending = startSend({file("a.txt", 3)});
    const auto started = std::chrono::steady_clock::now();
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        co_await phone.expectIntroduction();
        for (int i = 0; i < 4; ++i) {
            co_await sleepFor(150ms);
            co_await phone.sendType(V1Frame::PROGRESS_UPDATE);
        }
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    EXPECT_EQ(outcomeOf(sending), sentence(QuickShareError::timedOut()));
    // Four skipped frames kept it waiting past a single limit.
    EXPECT_GE(std::chrono::steady_clock::now() - started, 600ms);
}

TEST_F(SenderTest, PhoneAnsweringTwiceStillGetsTheFilesOnce) {
    const auto path = file("a.txt", 5, 'a');
    auto sending = startSend({path});
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        co_await phone.negotiateAsReceiver(Response::ACCEPT);
        co_await phone.sendResponse(Response::ACCEPT);
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    EXPECT_EQ(outcomeOf(sending), "");
    ASSERT_EQ(phone->files().size(), 1u);
    EXPECT_EQ(phone->files().begin()->second.body, Bytes(5, 'a'));
}

TEST_F(SenderTest, WrongFramesDuringThePairedKeyExchange) {
    auto sending = startSend({file("a.txt", 3)});
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        co_await phone.expect(V1Frame::PAIRED_KEY_ENCRYPTION);
        co_await phone.sendType(V1Frame::PROGRESS_UPDATE);
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    EXPECT_EQ(outcomeOf(sending), sentence(QuickShareError::protocolError("expected paired key encryption")));
}

TEST_F(SenderTest, PhoneCancellingBeforeItsResultEndsWithoutOurCancel) {
    auto sending = startSend({file("a.txt", 3)});
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        co_await phone.expect(V1Frame::PAIRED_KEY_ENCRYPTION);
        co_await phone.sendType(V1Frame::PAIRED_KEY_ENCRYPTION);
        co_await phone.expect(V1Frame::PAIRED_KEY_RESULT);
        co_await phone.sendType(V1Frame::CANCEL);
        EXPECT_TRUE(co_await phone.expectEnd());  // no CANCEL of our own
    });
    EXPECT_EQ(outcomeOf(sending), sentence(QuickShareError::cancelledByPhone()));
}

TEST_F(SenderTest, MismatchedPinCancelsAndTellsThePhone) {
    std::string asked;
    auto confirm = [&asked](std::string pin) -> asio::awaitable<bool> {
        asked = pin;
        co_return false;
    };
    auto sending = startSend({file("a.txt", 3)}, {}, confirm);
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        co_await phone.expectIntroduction();
        co_await phone.expect(V1Frame::CANCEL);
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    EXPECT_EQ(outcomeOf(sending), "cancelled");
    EXPECT_EQ(asked, phone->pin());
}

TEST_F(SenderTest, QrSessionSignsTheHandshake) {
    QRCodeSession session(P256PrivateKey::generate());
    const auto publicKey = session.signingKey().publicKey();
    auto sending = startSend({file("a.txt", 3)}, {}, nullptr, session);
    asPhone([publicKey](Phone& phone) -> asio::awaitable<void> {
        auto frame = co_await phone.expect(V1Frame::PAIRED_KEY_ENCRYPTION);
        const auto& data = frame.v1().paired_key_encryption().qr_code_handshake_data();
        EXPECT_EQ(data.size(), 64u);
        EXPECT_TRUE(publicKey.verify(phone.connection().authString(), ByteView(reinterpret_cast<const std::uint8_t*>(data.data()), data.size())));
        EXPECT_EQ(frame.v1().paired_key_encryption().secret_id_hash().size(), 6u);
        EXPECT_EQ(frame.v1().paired_key_encryption().signed_data().size(), 72u);
        co_await phone.sendPairedKeys();
        co_await phone.expect(V1Frame::PAIRED_KEY_RESULT);
        co_await phone.expect(V1Frame::INTRODUCTION);
        co_await phone.sendResponse(Response::REJECT);
    });
    EXPECT_EQ(outcomeOf(sending), sentence(QuickShareError::declined()));
}

// Cancelling the send at each phase: the phone hears CANCEL and a disconnection once the
// secure channel stands, and the send ends with Cancelled.
TEST_F(SenderTest, CancelledAtEachPhase) {
    enum Phase { handshake, pairedKeys, waitingForAnswer, confirming, sendingFiles };
    // The phone reads every goodbye frame here; a short grace would only race a loaded machine.
    timeouts.cancelGrace = 3s;
    const auto path = file("big.bin", 8 * QuickShareSender::chunkSize);
    for (Phase phase : {handshake, pairedKeys, waitingForAnswer, confirming, sendingFiles}) {
        SCOPED_TRACE(static_cast<int>(phase));
        auto streams = MemoryStreamPair::create(pool.get_executor(), 256 * 1024);
        CancelSignal cancel;
        QuickShareSender::ConfirmPeer confirm;
        if (phase == confirming) {
            confirm = [cancel](std::string) mutable -> asio::awaitable<bool> {
                cancel.cancel();
                co_await sleepFor(1s);  // the user has not answered yet
                co_return true;
            };
        }
        // Cancelled once the first chunk went out: the phone drains the stream as it comes, so
        // a cancel from the phone's side could land after the last chunk, where it no longer
        // counts.
        QuickShareSender::Progress progress;
        if (phase == sendingFiles) {
            progress = [cancel](std::int64_t sent, std::int64_t) mutable {
                if (sent > 0) cancel.cancel();
            };
        }
        auto sending = sendOver(streams, {path}, confirm, progress, cancel);
        runAsync(streams.b->executor(), [&]() -> asio::awaitable<void> {
            if (phase == handshake) {
                co_await sleepFor(50ms);
                cancel.cancel();
                co_return;
            }
            auto phone = co_await Phone::acceptAsReceiver(streams.b);
            co_await phone->expect(V1Frame::PAIRED_KEY_ENCRYPTION);
            if (phase != pairedKeys) {
                co_await phone->sendPairedKeys();
                co_await phone->expect(V1Frame::PAIRED_KEY_RESULT);
                co_await phone->expect(V1Frame::INTRODUCTION);
            }
            if (phase == sendingFiles) co_await phone->sendResponse(Response::ACCEPT);
            if (phase != confirming && phase != sendingFiles) cancel.cancel();
            // Frames may still be in flight: wait for the CANCEL among them.
            for (;;) {
                auto frame = co_await phone->next();
                if (frame.v1().type() == V1Frame::CANCEL) break;
            }
            EXPECT_TRUE(co_await phone->expectEnd());
        });
        ASSERT_EQ(sending.wait_for(5s), std::future_status::ready);
        EXPECT_THROW(sending.get(), Cancelled);
        EXPECT_TRUE(streams.a->isClosed());
    }
}

}  // namespace
}  // namespace velmo::test
