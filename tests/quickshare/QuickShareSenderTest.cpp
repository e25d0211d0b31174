// The send flow against a scripted receiving phone over an in-memory stream: the phone that
// accepts, and every way it can refuse, stall or misbehave.
#include "quickshare/QuickShareSender.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <asio/co_spawn.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_future.hpp>
#include <fstream>
#include <future>
#include <mutex>

#include "platform/Error.h"
#include "quickshare/FlowTesting.h"
#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/ScriptedPhone.h"
#include "support/AsyncTest.h"
#include "support/MemoryStream.h"
#include "support/TempFolder.h"

namespace velmo {
namespace {

using namespace test;
namespace fs = std::filesystem;
using Phone = ScriptedPhone;
using Status = QuickShareSender::Status;
namespace sharing = nearby::sharing::service::proto;
using sharing::V1Frame;
using Response = sharing::ConnectionResponseFrame;

std::string sentence(const std::exception& error) { return error.what(); }

class SenderTest : public ::testing::Test {
protected:
    SenderTest() {
        timeouts.streamStart = 2s;
        timeouts.handshake = 2s;
        timeouts.pairedKeyEncryption = 1s;
        timeouts.pairedKeyResult = 1s;
        timeouts.response = 1s;
        timeouts.lastWord = 300ms;
        timeouts.cancelGrace = 300ms;
        timeouts.connection.writeDeadline = 2s;
    }
    ~SenderTest() override {
        pair.a->close();
        pair.b->close();
        pool.join();
    }

    fs::path file(const std::string& name, std::size_t size, char fill = 'x') {
        const auto path = temp / name;
        std::ofstream(path, std::ios::binary) << std::string(size, fill);
        return path;
    }

    std::future<void> startSend(std::vector<fs::path> files, CancelSignal cancel = {},
                                QuickShareSender::ConfirmPeer confirm = nullptr,
                                std::optional<QRCodeSession> qr = std::nullopt) {
        auto status = [this](const Status& value) {
            std::lock_guard guard(lock);
            statuses.push_back(value);
        };
        auto progress = [this](std::int64_t sent, std::int64_t total) {
            std::lock_guard guard(lock);
            progressCalls.emplace_back(sent, total);
        };
        return asio::co_spawn(pool,
                              QuickShareSender::send(std::move(files), pair.a, "Desk", std::move(qr),
                                                     std::move(confirm), status, progress, cancel, timeouts),
                              asio::use_future);
    }

    // A send of `files` over its own `streams`, without status reports.
    std::future<void> sendOver(const MemoryStreamPair& streams, std::vector<fs::path> files,
                               QuickShareSender::ConfirmPeer confirm = nullptr,
                               QuickShareSender::Progress progress = nullptr, CancelSignal cancel = {}) {
        return asio::co_spawn(pool,
                              QuickShareSender::send(std::move(files), streams.a, "Desk", std::nullopt,
                                                     std::move(confirm), nullptr, std::move(progress), cancel,
                                                     timeouts),
                              asio::use_future);
    }

    // Accepts the handshake as the receiving phone and plays `script`.
    template <class Script>
    void asPhone(Script script) {
        runAsync(pair.b->executor(), [this, script]() -> asio::awaitable<void> {
            phone = co_await Phone::acceptAsReceiver(pair.b, phoneTimeouts);
            co_await script(*phone);
        });
    }

    // The send's outcome: "" on success, else its error's sentence.
    std::string outcomeOf(std::future<void>& sending) {
        if (sending.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "the send did not end";
            pair.a->close();
            sending.wait();
        }
        try {
            sending.get();
        } catch (const Cancelled&) {
            return "cancelled";
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    }

    asio::thread_pool pool{2};
    MemoryStreamPair pair = MemoryStreamPair::create(pool.get_executor());
    TempFolder temp;
    QuickShareSender::Timeouts timeouts;
    ConnectionTimeouts phoneTimeouts;
    std::shared_ptr<Phone> phone;
    std::mutex lock;
    std::vector<Status> statuses;
    std::vector<std::pair<std::int64_t, std::int64_t>> progressCalls;
};

TEST_F(SenderTest, SendsEveryFileInChunksAfterThePhoneAccepts) {
    const std::vector<fs::path> files = {file("empty.txt", 0), file("exact.jpg", QuickShareSender::chunkSize, 'e'),
                                         file("big.bin", 2 * QuickShareSender::chunkSize + 1, 'b'),
                                         file("Grüße 日本.pdf", 10, 'u')};
    auto sending = startSend(files);
    sharing::IntroductionFrame introduction;
    asPhone([&introduction](Phone& phone) -> asio::awaitable<void> {
        introduction = co_await phone.negotiateAsReceiver(Response::ACCEPT);
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    EXPECT_EQ(outcomeOf(sending), "");

    ASSERT_EQ(introduction.file_metadata_size(), 4);
    const auto& metas = introduction.file_metadata();
    EXPECT_EQ(metas[0].name(), "empty.txt");
    EXPECT_EQ(metas[0].type(), sharing::FileMetadata::DOCUMENT);
    EXPECT_EQ(metas[0].mime_type(), "text/plain");
    EXPECT_EQ(metas[1].type(), sharing::FileMetadata::IMAGE);
    EXPECT_EQ(metas[1].mime_type(), "image/jpeg");
    EXPECT_EQ(metas[2].type(), sharing::FileMetadata::UNKNOWN);
    EXPECT_EQ(metas[2].mime_type(), "application/octet-stream");
    EXPECT_EQ(metas[3].name(), "Grüße 日本.pdf");
    EXPECT_EQ(metas[3].type(), sharing::FileMetadata::DOCUMENT);
    std::set<std::int64_t> ids;
    for (const auto& meta : metas) {
        EXPECT_GT(meta.payload_id(), 0);
        EXPECT_GT(meta.id(), 0);
        ids.insert(meta.payload_id());
        ids.insert(meta.id());
        EXPECT_FALSE(meta.has_parent_folder());
    }
    EXPECT_EQ(ids.size(), 8u);

    const auto& received = phone->files();
    const std::vector<std::pair<std::size_t, int>> expected = {
        {0, 1}, {QuickShareSender::chunkSize, 2}, {2 * QuickShareSender::chunkSize + 1, 4}, {10, 2}};
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(received.count(metas[i].payload_id())) << i;
        const auto& got = received.at(metas[i].payload_id());
        EXPECT_EQ(got.body.size(), expected[i].first) << i;
        EXPECT_EQ(got.chunks, expected[i].second) << i;
        EXPECT_TRUE(got.last && got.inOrder) << i;
    }
    EXPECT_EQ(received.at(metas[2].payload_id()).body, Bytes(2 * QuickShareSender::chunkSize + 1, 'b'));

    EXPECT_EQ(statuses, (std::vector<Status>{Status::connecting(), Status::waitingForAccept(phone->pin()),
                                             Status::sending()}));
    const std::int64_t total = 3 * QuickShareSender::chunkSize + 11;
    using Call = std::pair<std::int64_t, std::int64_t>;
    EXPECT_EQ(progressCalls, (std::vector<Call>{{0, total},
                                                {QuickShareSender::chunkSize, total},
                                                {2 * QuickShareSender::chunkSize, total},
                                                {3 * QuickShareSender::chunkSize, total},
                                                {3 * QuickShareSender::chunkSize + 1, total},
                                                {total, total}}));
    EXPECT_EQ(phone->peerName(), "Desk");
}

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
        {"fifo", temp / "pipe", sentence(QuickShareError::protocolError("pipe is not a regular file"))},
        {"deleted after staging", temp / "tmpgone.txt", "tmpgone.txt is no longer there."},
        {"under a file", ok / "inside.txt", "inside.txt is no longer there."},
    };
    for (const auto& c : cases) {
        auto sending = startSend({ok, c.path});
        EXPECT_EQ(outcomeOf(sending), c.error) << c.label;
    }
    EXPECT_TRUE(statuses.empty());
    EXPECT_EQ(pair.a->writeCalls(), 0u);
    EXPECT_EQ(pair.a->closeCalls(), 0u);
}

TEST_F(SenderTest, ThePhonesAnswerDecides) {
    struct Case {
        Response::Status status;
        std::string error;
    };
    const std::vector<Case> cases = {
        {Response::REJECT, sentence(QuickShareError::declined())},
        {Response::UNKNOWN, sentence(QuickShareError::declined())},
        {Response::NOT_ENOUGH_SPACE, sentence(QuickShareError::notEnoughSpace())},
        {Response::UNSUPPORTED_ATTACHMENT_TYPE, sentence(QuickShareError::unsupported())},
        {Response::TIMED_OUT, sentence(QuickShareError::timedOut())},
    };
    const auto path = file("a.txt", 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        auto streams = MemoryStreamPair::create(pool.get_executor());
        auto sending = sendOver(streams, {path});
        runAsync(streams.b->executor(), [&]() -> asio::awaitable<void> {
            auto phone = co_await Phone::acceptAsReceiver(streams.b);
            co_await phone->negotiateAsReceiver(c.status);
            EXPECT_TRUE(co_await phone->expectEnd());
            EXPECT_TRUE(phone->files().empty());
        });
        EXPECT_EQ(outcomeOf(sending), c.error);
    }
}

TEST_F(SenderTest, AResponseWithoutStatusIsADecline) {
    auto sending = startSend({file("a.txt", 3)});
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        co_await phone.expectIntroduction();
        co_await phone.sendType(V1Frame::RESPONSE);
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    EXPECT_EQ(outcomeOf(sending), sentence(QuickShareError::declined()));
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

TEST_F(SenderTest, PhoneLeavingInsteadOfAnsweringCountsAsNoAnswer) {
    auto sending = startSend({file("a.txt", 3)});
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        co_await phone.expectIntroduction();
        co_await phone.disconnect();
    });
    EXPECT_EQ(outcomeOf(sending), sentence(QuickShareError::timedOut()));
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

TEST_F(SenderTest, NeverSendsMoreThanAnnouncedAndFailsWhenAFileShrinks) {
    {
        const auto path = file("grows.txt", 4, 'g');
        auto confirm = [path](std::string) -> asio::awaitable<bool> {
            std::ofstream(path, std::ios::app) << "more";
            co_return true;
        };
        auto sending = startSend({path}, {}, confirm);
        asPhone([](Phone& phone) -> asio::awaitable<void> {
            co_await phone.negotiateAsReceiver(Response::ACCEPT);
            EXPECT_TRUE(co_await phone.expectEnd());
        });
        EXPECT_EQ(outcomeOf(sending), "");
        ASSERT_EQ(phone->files().size(), 1u);
        EXPECT_EQ(phone->files().begin()->second.body, Bytes(4, 'g'));
    }
    {
        const auto path = file("shrinks.txt", 10, 's');
        auto confirm = [path](std::string) -> asio::awaitable<bool> {
            fs::resize_file(path, 3);
            co_return true;
        };
        auto streams = MemoryStreamPair::create(pool.get_executor());
        auto sending = sendOver(streams, {path}, confirm);
        runAsync(streams.b->executor(), [&]() -> asio::awaitable<void> {
            auto phone = co_await Phone::acceptAsReceiver(streams.b);
            co_await phone->negotiateAsReceiver(Response::ACCEPT);
            EXPECT_TRUE(co_await phone->expectEnd());
            EXPECT_EQ(phone->files().size(), 1u);
            for (const auto& [id, received] : phone->files()) EXPECT_FALSE(received.last);  // never complete
        });
        EXPECT_EQ(outcomeOf(sending), sentence(QuickShareError::protocolError("shrinks.txt got shorter while it was sent")));
    }
}

// A send succeeds only when the phone kept the files: its CANCEL or payload cancel during
// the chunks or in the last wait fails the send, while a goodbye, a plain close or silence
// after the last chunk does not.
TEST_F(SenderTest, WhatThePhoneSaysDuringAndAfterTheFiles) {
    enum Act { cancelFrame, payloadCancel, disconnection, plainClose };
    // The phone acts after the last chunk, or else after the first one and reads on.
    struct Case { const char* label; bool afterLast; Act act; std::string outcome; };
    const auto cancelled = sentence(QuickShareError::cancelledByPhone());
    const std::vector<Case> cases = {
        {"CANCEL mid-transfer", false, cancelFrame, cancelled},
        {"payload cancel mid-transfer", false, payloadCancel, cancelled},
        {"CANCEL after the last chunk", true, cancelFrame, cancelled},
        {"payload cancel after the last chunk", true, payloadCancel, cancelled},
        {"disconnection after the last chunk", true, disconnection, ""},
        {"plain close after the last chunk", true, plainClose, ""},
    };
    timeouts.lastWord = 5s;  // the phone's word always comes well within it
    const auto path = file("six.bin", 6 * QuickShareSender::chunkSize, 's');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto streams = MemoryStreamPair::create(pool.get_executor(), 256 * 1024);
        auto sending = sendOver(streams, {path});
        bool completed = false;
        runAsync(streams.b->executor(), [&]() -> asio::awaitable<void> {
            auto phone = co_await Phone::acceptAsReceiver(streams.b);
            co_await phone->negotiateAsReceiver(Response::ACCEPT);
            phone->afterChunk = [c, self = phone.get()](std::int64_t id, bool last) -> asio::awaitable<void> {
                if (c.afterLast ? !last : self->files().at(id).chunks != 1) co_return;
                if (c.act == cancelFrame) co_await self->sendType(V1Frame::CANCEL);
                if (c.act == payloadCancel) co_await self->sendPayloadCancel(id);
                if (c.act == disconnection) co_await self->disconnect();
                if (c.act == plainClose) self->close();
            };
            co_await phone->expectEnd(10s);
            completed = phone->files().begin()->second.last;
        });
        EXPECT_EQ(outcomeOf(sending), c.outcome);
        // A cancel that came mid-transfer stopped the chunks before the file was complete.
        EXPECT_EQ(completed, c.afterLast);
        streams.b->close();
    }
}

// A phone that accepts and then stops reading cannot hold the send for ever.
TEST_F(SenderTest, PhoneThatStopsReadingFailsTheSend) {
    timeouts.connection.writeDeadline = 300ms;
    auto streams = MemoryStreamPair::create(pool.get_executor(), 256 * 1024);
    const auto path = file("big.bin", 8 * QuickShareSender::chunkSize);
    auto sending = sendOver(streams, {path});
    runAsync(streams.b->executor(), [&]() -> asio::awaitable<void> {
        auto phone = co_await Phone::acceptAsReceiver(streams.b);
        co_await phone->negotiateAsReceiver(Response::ACCEPT);
        // Stop reading: the phone's connection never touches its stream again.
        phone->connection().setFileSink([](std::int64_t, std::int64_t, ByteView, bool) -> asio::awaitable<void> {
            co_await sleepFor(3s);
        });
    });
    ASSERT_EQ(sending.wait_for(5s), std::future_status::ready);
    EXPECT_ANY_THROW(sending.get());
    streams.b->close();
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
}  // namespace velmo
