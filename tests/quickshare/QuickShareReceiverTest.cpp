// The receive flow against a scripted phone over an in-memory stream: the well-behaved
// phone, and every way a phone can misbehave.
#include "quickshare/QuickShareReceiver.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_future.hpp>
#include <fstream>
#include <future>
#include <map>

#include "platform/Error.h"
#include "quickshare/FlowTesting.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/QuickShareReceiveAuthorization.h"
#include "quickshare/ScriptedPhone.h"
#include "support/AsyncTest.h"
#include "support/MemoryStream.h"
#include "support/ScopedUmask.h"
#include "support/TempFolder.h"
#include "transfer/ShareError.h"

namespace velmo {
namespace {

using namespace test;
namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;
using Phone = ScriptedPhone;
using File = ScriptedPhone::OfferedFile;
namespace sharing = nearby::sharing::service::proto;
using sharing::V1Frame;
using Response = sharing::ConnectionResponseFrame;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string sentence(const QuickShareError& error) { return error.what(); }

class ReceiverTest : public ::testing::Test {
protected:
    ReceiverTest() {
        shortenCommonTimeouts(timeouts);
        timeouts.introduction = 1s;
        timeouts.filePhase = 1s;
    }

    ~ReceiverTest() override {
        pair.a->close();
        pair.b->close();
        pool.join();
    }

    std::future<Paths> startReceive(CancelSignal cancel = {},
                                    std::shared_ptr<QuickShareReceiveAuthorization> authorization = nullptr) {
        auto decide = [this](QuickShareOffer offer) -> asio::awaitable<bool> {
            offers.push_back(offer);
            if (decider) co_return co_await decider(offer);
            co_return accept;
        };
        auto progress = [this](std::int64_t done, std::int64_t total) { progressCalls.emplace_back(done, total); };
        return asio::co_spawn(pool,
                              QuickShareReceiver::receive(pair.a, folder, std::move(authorization), decide,
                                                          progress, cancel, timeouts),
                              asio::use_future);
    }

    // Connects a phone as the sender and plays `script` with it.
    template <class Script>
    void asPhone(Script script) {
        runAsync(pair.b->executor(), [this, script]() -> asio::awaitable<void> {
            phone = co_await Phone::connectAsSender(pair.b);
            co_await script(*phone);
        });
    }

    // The receive's outcome: its files, or the sentence of its error.
    struct Outcome {
        Paths saved;
        std::string error;
        bool cancelled = false;
    };
    Outcome outcomeOf(std::future<Paths>& receiving) {
        if (receiving.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "the receive did not end";
            pair.a->close();
            receiving.wait();
        }
        Outcome outcome;
        try {
            outcome.saved = receiving.get();
        } catch (const Cancelled& error) {
            outcome.cancelled = true;
            outcome.error = error.what();
        } catch (const std::exception& error) {
            outcome.error = error.what();
        }
        return outcome;
    }

    // Nothing outside the download folder, no temporary file inside it.
    void expectCleanFolder() {
        for (const auto& name : namesIn(temp.path())) EXPECT_EQ(name, "Downloads");
        EXPECT_FALSE(hasTemporaryFiles(folder));
    }

    asio::thread_pool pool{2};
    MemoryStreamPair pair = MemoryStreamPair::create(pool.get_executor());
    TempFolder temp;
    fs::path folder = temp.path() / "Downloads";
    QuickShareReceiver::Timeouts timeouts;
    bool accept = true;
    std::function<asio::awaitable<bool>(QuickShareOffer)> decider;
    std::vector<QuickShareOffer> offers;
    std::vector<std::pair<std::int64_t, std::int64_t>> progressCalls;
    std::shared_ptr<Phone> phone;
};

// The phone's part up to the offer: paired-key frames both ways, then the introduction.
asio::awaitable<void> introduce(Phone& phone, const std::vector<File>& files) {
    co_await phone.expect(V1Frame::PAIRED_KEY_ENCRYPTION);
    co_await phone.sendPairedKeys();
    co_await phone.expect(V1Frame::PAIRED_KEY_RESULT);
    co_await phone.sendIntroduction(files);
}

asio::awaitable<void> expectResponse(Phone& phone, Response::Status status) {
    auto frame = co_await phone.expect(V1Frame::RESPONSE);
    EXPECT_EQ(frame.v1().connection_response().status(), status);
}

// The computer says goodbye: CANCEL, then the connection ends.
asio::awaitable<void> expectCancelAndEnd(Phone& phone) {
    co_await phone.expect(V1Frame::CANCEL);
    EXPECT_TRUE(co_await phone.expectEnd());
}

TEST_F(ReceiverTest, AcceptedOfferIsSavedAndEndsWithADisconnection) {
    ScopedUmask mask(022);
    decider = [](QuickShareOffer) -> asio::awaitable<bool> {
        co_await sleepFor(100ms);  // the user takes a moment, the phone waiting in silence
        co_return true;
    };
    auto receiving = startReceive();
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        const std::vector<File> offered{{"../Photo.jpg", 11, 5}, {"empty", 22, 0}, {"notes:1.txt", 33, 2500}};
        co_await introduce(phone, offered);
        co_await expectResponse(phone, Response::ACCEPT);
        co_await phone.sendFile(11, bytesOf("hello"));
        const Bytes none;
        co_await phone.sendFile(22, none);
        co_await phone.sendFile(33, Bytes(2500, 'n'), 1000);
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    auto outcome = outcomeOf(receiving);
    EXPECT_EQ(outcome.error, "");
    EXPECT_EQ(outcome.saved, (Paths{folder / "Photo.jpg", folder / "empty", folder / "notes_1.txt"}));
    EXPECT_EQ(contentOf(folder / "Photo.jpg"), "hello");
    EXPECT_EQ(contentOf(folder / "notes_1.txt"), std::string(2500, 'n'));
    EXPECT_EQ(permissionsOf((folder / "Photo.jpg").c_str()), 0644u);  // like any other download
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0], (QuickShareOffer{"Pixel 8", phone->pin(),
                                          {{"Photo.jpg", 5}, {"empty", 0}, {"notes_1.txt", 2500}}}));
    EXPECT_EQ(offers[0].pin.size(), 4u);
    ASSERT_FALSE(progressCalls.empty());
    using Call = std::pair<std::int64_t, std::int64_t>;
    EXPECT_EQ(progressCalls.front(), Call(0, 2505));
    EXPECT_EQ(progressCalls.back(), Call(2505, 2505));
    expectCleanFolder();
}

TEST_F(ReceiverTest, DeclinedOfferGetsRejectAndCreatesNothing) {
    accept = false;
    auto receiving = startReceive();
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        const std::vector<File> offered{{"a.txt", 1, 3}};
        co_await introduce(phone, offered);
        co_await expectResponse(phone, Response::REJECT);
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    auto outcome = outcomeOf(receiving);
    EXPECT_EQ(outcome.error, "");
    EXPECT_TRUE(outcome.saved.empty());
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(ReceiverTest, IntroductionWithoutFilesIsUnsupported) {
    auto receiving = startReceive();
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        const std::vector<File> offered{};
        co_await introduce(phone, offered);
        co_await expectResponse(phone, Response::UNSUPPORTED_ATTACHMENT_TYPE);
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    EXPECT_EQ(outcomeOf(receiving).error, sentence(QuickShareError::unsupported()));
    EXPECT_TRUE(offers.empty());
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(ReceiverTest, BadFileListsAreRefusedWithoutAnAnswer) {
    const auto max = std::numeric_limits<std::int64_t>::max();
    std::vector<File> many;
    for (int i = 1; i <= 129; ++i) many.push_back({"f" + std::to_string(i), i, 1});
    const std::string tooMany = sentence(QuickShareError::tooManyFiles());
    const std::string invalid = sentence(QuickShareError::protocolError("invalid file metadata"));
    struct Case {
        const char* label;
        std::vector<File> files;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"129 files", many, tooMany},
        {"negative size", {{"a", 1, -5}}, invalid},
        {"sizes overflow", {{"a", 1, max}, {"b", 2, 2}}, invalid},
        {"duplicate payload id", {{"a", 1, 1}, {"b", 1, 1}}, invalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto streams = MemoryStreamPair::create(pool.get_executor());
        auto receiving = asio::co_spawn(
            pool,
            QuickShareReceiver::receive(streams.a, folder, nullptr,
                                        [](QuickShareOffer) -> asio::awaitable<bool> { co_return true; },
                                        nullptr, {}, timeouts),
            asio::use_future);
        runAsync(streams.b->executor(), [&]() -> asio::awaitable<void> {
            auto phone = co_await Phone::connectAsSender(streams.b);
            co_await introduce(*phone, c.files);
            EXPECT_TRUE(co_await phone->expectEnd());
        });
        std::string error;
        try {
            receiving.get();
        } catch (const std::exception& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error);
        EXPECT_FALSE(fs::exists(folder));
    }
}

TEST_F(ReceiverTest, OfferOfOneHundredTwentyEightFilesIsAsked) {
    accept = false;
    std::vector<File> files;
    for (int i = 1; i <= 128; ++i) files.push_back({"f" + std::to_string(i), i, i});
    auto receiving = startReceive();
    asPhone([files](Phone& phone) -> asio::awaitable<void> {
        co_await introduce(phone, files);
        co_await expectResponse(phone, Response::REJECT);
    });
    EXPECT_EQ(outcomeOf(receiving).error, "");
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].files.size(), 128u);
    EXPECT_EQ(offers[0].totalSize(), 128 * 129 / 2);
}

TEST_F(ReceiverTest, HostileNamesStayInsideTheFolderAndNeverReplaceAFile) {
    fs::create_directories(folder);
    std::ofstream(folder / "passwd") << "keep me";
    const std::vector<std::string> names = {"../../outside.txt", "/etc/passwd", "..", ".", "...hidden",
                                            "a/b/c.txt", std::string("nul\0byte", 8), "line\nbreak",
                                            std::string(400, 'x') + ".txt", "", "invoice\u202Efdp.sh"};
    std::vector<File> files;
    for (std::size_t i = 0; i < names.size(); ++i) {
        files.push_back({names[i], static_cast<std::int64_t>(i + 1), 1});
    }
    auto receiving = startReceive();
    asPhone([files](Phone& phone) -> asio::awaitable<void> {
        co_await introduce(phone, files);
        co_await expectResponse(phone, Response::ACCEPT);
        for (const auto& file : files) co_await phone.sendFile(file.payloadId, bytesOf("z"));
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    auto outcome = outcomeOf(receiving);
    EXPECT_EQ(outcome.error, "");
    ASSERT_EQ(outcome.saved.size(), names.size());
    for (const auto& path : outcome.saved) {
        EXPECT_EQ(path.parent_path(), folder) << path;
        EXPECT_LE(path.filename().string().size(), 255u) << path;
        EXPECT_FALSE(path.filename().string().starts_with(".")) << path;
        EXPECT_EQ(contentOf(path), "z") << path;
    }
    EXPECT_EQ(contentOf(folder / "passwd"), "keep me");
    EXPECT_TRUE(fs::exists(folder / "passwd (1)"));
    // Offered and saved without the override that would show it as "invoicehs.pdf".
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].files.back().name, "invoice_fdp.sh");
    EXPECT_EQ(outcome.saved.back().filename(), "invoice_fdp.sh");
    expectCleanFolder();
}

TEST_F(ReceiverTest, SkipsOtherFramesWhileWaitingAndRestartsTheLimit) {
    timeouts.introduction = 300ms;
    auto receiving = startReceive();
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        co_await phone.expect(V1Frame::PAIRED_KEY_ENCRYPTION);
        co_await phone.sendPairedKeys();
        co_await phone.expect(V1Frame::PAIRED_KEY_RESULT);
        // Longer in all than the limit, but never silent for that long.
        for (int i = 0; i < 6; ++i) {
            co_await sleepFor(100ms);
            co_await phone.sendType(V1Frame::PROGRESS_UPDATE);
        }
        const std::vector<File> offered{{"a", 1, 1}};
        co_await phone.sendIntroduction(offered);
        co_await expectResponse(phone, Response::ACCEPT);
        co_await phone.sendFile(1, bytesOf("a"));
    });
    EXPECT_EQ(outcomeOf(receiving).error, "");
}

TEST_F(ReceiverTest, FloodOfSmallFramesIsRefused) {
    auto receiving = startReceive();
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        co_await phone.expect(V1Frame::PAIRED_KEY_ENCRYPTION);
        co_await phone.sendPairedKeys();
        co_await phone.expect(V1Frame::PAIRED_KEY_RESULT);
        try {
            for (int i = 0; i < 2000; ++i) co_await phone.sendType(V1Frame::PROGRESS_UPDATE);
        } catch (const std::exception&) {
            // The computer hung up on the flood.
        }
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    // Whichever queue fills first, the inbox's or the connection's, ends the transfer.
    const auto error = outcomeOf(receiving).error;
    EXPECT_TRUE(error == sentence(QuickShareError::protocolError("too many queued negotiation messages")) ||
                error == sentence(QuickShareError::protocolError("too many queued messages")))
        << error;
    EXPECT_FALSE(fs::exists(folder));
}

// While the user decides, up to 8 frames nobody asked for are let be; a ninth ends the
// question and the transfer at once.
TEST_F(ReceiverTest, FloodWhileTheUserDecidesEndsTheTransfer) {
    decider = [](QuickShareOffer) -> asio::awaitable<bool> {
        co_await sleepFor(500ms);
        co_return true;
    };
    for (int frames : {8, 9}) {
        SCOPED_TRACE(frames);
        pair.b->close();
        pair = MemoryStreamPair::create(pool.get_executor());
        auto receiving = startReceive();
        asPhone([frames](Phone& phone) -> asio::awaitable<void> {
            const std::vector<File> offered{{"a", 1, 1}};
            co_await introduce(phone, offered);
            for (int i = 0; i < frames; ++i) {
                co_await sleepFor(20ms);  // each seen before the next, so none waits in a queue
                co_await phone.sendType(V1Frame::PROGRESS_UPDATE);
            }
            if (frames == 8) {
                co_await expectResponse(phone, Response::ACCEPT);
                co_await phone.sendFile(1, bytesOf("a"));
            }
            EXPECT_TRUE(co_await phone.expectEnd());
        });
        auto outcome = outcomeOf(receiving);
        if (frames == 8) {
            EXPECT_EQ(outcome.error, "");
            continue;
        }
        // In the inbox or, when the frames come faster than the inbox is fed, in the
        // connection's queue before it.
        EXPECT_TRUE(outcome.error == sentence(QuickShareError::protocolError("too many queued negotiation messages")) ||
                    outcome.error == sentence(QuickShareError::protocolError("too many queued messages")))
            << outcome.error;
        EXPECT_FALSE(hasTemporaryFiles(folder));
    }
}

TEST_F(ReceiverTest, PhoneCancelsDuringNegotiation) {
    auto receiving = startReceive();
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        co_await phone.expect(V1Frame::PAIRED_KEY_ENCRYPTION);
        co_await phone.sendType(V1Frame::PAIRED_KEY_ENCRYPTION);
        co_await phone.expect(V1Frame::PAIRED_KEY_RESULT);
        co_await phone.sendType(V1Frame::CANCEL);
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    EXPECT_EQ(outcomeOf(receiving).error, sentence(QuickShareError::cancelledByPhone()));
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(ReceiverTest, SilenceIsATimeOutAtEveryStep) {
    for (int step = 0; step < 3; ++step) {
        SCOPED_TRACE(step);
        TempFolder other;
        auto streams = MemoryStreamPair::create(pool.get_executor());
        auto limits = timeouts;
        limits.pairedKeyEncryption = limits.introduction = limits.filePhase = 200ms;
        auto receiving = asio::co_spawn(
            pool,
            QuickShareReceiver::receive(streams.a, other.path(), nullptr,
                                        [](QuickShareOffer) -> asio::awaitable<bool> { co_return true; },
                                        nullptr, {}, limits),
            asio::use_future);
        runAsync(streams.b->executor(), [&]() -> asio::awaitable<void> {
            auto phone = co_await Phone::connectAsSender(streams.b);
            co_await phone->expect(V1Frame::PAIRED_KEY_ENCRYPTION);
            if (step >= 1) {
                co_await phone->sendPairedKeys();
                co_await phone->expect(V1Frame::PAIRED_KEY_RESULT);
            }
            if (step >= 2) {
                const std::vector<File> offered{{"a", 1, 10}};
                co_await phone->sendIntroduction(offered);
                co_await expectResponse(*phone, Response::ACCEPT);
                co_await phone->sendChunk(1, 10, 0, bytesOf("12345"), false);
            }
            EXPECT_TRUE(co_await phone->expectEnd());
        });
        std::string error;
        try {
            receiving.get();
        } catch (const std::exception& e) {
            error = e.what();
        }
        EXPECT_EQ(error, sentence(QuickShareError::timedOut()));
        EXPECT_FALSE(hasTemporaryFiles(other.path()));
    }
}

TEST_F(ReceiverTest, SteadyChunksKeepALongFilePhaseAlive) {
    timeouts.filePhase = 150ms;
    auto receiving = startReceive();
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        const std::vector<File> offered{{"slow.bin", 1, 10}};
        co_await introduce(phone, offered);
        co_await expectResponse(phone, Response::ACCEPT);
        for (int i = 0; i < 10; ++i) {
            co_await sleepFor(60ms);  // 600 ms in all, four times the limit
            const Bytes digit(1, static_cast<std::uint8_t>('0' + i));
            co_await phone.sendChunk(1, 10, i, digit, false);
        }
        const Bytes none;
        co_await phone.sendChunk(1, 10, 10, none, true);
    });
    auto outcome = outcomeOf(receiving);
    EXPECT_EQ(outcome.error, "");
    EXPECT_EQ(contentOf(folder / "slow.bin"), "0123456789");
}

TEST_F(ReceiverTest, BadChunksEndTheTransferAndLeaveOnlyFinishedFiles) {
    const std::string badChunk = sentence(QuickShareError::protocolError("invalid file chunk offset or length"));
    struct Case {
        const char* label;
        std::function<asio::awaitable<void>(Phone&)> chunks;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"unknown payload id",
         [](Phone& phone) -> asio::awaitable<void> { co_await phone.sendChunk(99, 3, 0, bytesOf("abc"), false); },
         sentence(QuickShareError::protocolError("unknown file payload"))},
        {"past the announced size",
         [](Phone& phone) -> asio::awaitable<void> { co_await phone.sendChunk(2, 3, 0, bytesOf("abcd"), false); },
         badChunk},
        {"gap",
         [](Phone& phone) -> asio::awaitable<void> { co_await phone.sendChunk(2, 3, 1, bytesOf("b"), false); },
         badChunk},
        {"last chunk too early",
         [](Phone& phone) -> asio::awaitable<void> { co_await phone.sendChunk(2, 3, 0, bytesOf("ab"), true); },
         sentence(QuickShareError::arrivedIncomplete("b.txt"))},
        {"negative offset",
         [](Phone& phone) -> asio::awaitable<void> { co_await phone.sendChunk(2, 3, -1, bytesOf("a"), false); },
         badChunk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder other;
        auto streams = MemoryStreamPair::create(pool.get_executor());
        auto receiving = asio::co_spawn(
            pool,
            QuickShareReceiver::receive(streams.a, other.path(), nullptr,
                                        [](QuickShareOffer) -> asio::awaitable<bool> { co_return true; },
                                        nullptr, {}, timeouts),
            asio::use_future);
        runAsync(streams.b->executor(), [&]() -> asio::awaitable<void> {
            auto phone = co_await Phone::connectAsSender(streams.b);
            const std::vector<File> offered{{"a.txt", 1, 2}, {"b.txt", 2, 3}};
            co_await introduce(*phone, offered);
            co_await expectResponse(*phone, Response::ACCEPT);
            co_await phone->sendFile(1, bytesOf("ok"));
            const Bytes none;
            co_await phone->sendChunk(1, 2, 2, none, true);  // a repeat for a saved file is ignored
            co_await c.chunks(*phone);
            co_await expectCancelAndEnd(*phone);  // the files were accepted: the phone hears why not
        });
        std::string error;
        try {
            receiving.get();
        } catch (const std::exception& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(namesIn(other.path()), (std::vector<std::string>{"a.txt"}));
        EXPECT_EQ(contentOf(other.path() / "a.txt"), "ok");
    }
}

TEST_F(ReceiverTest, FileChunksBeforeAcceptanceAreRefused) {
    {
        auto receiving = startReceive();
        asPhone([](Phone& phone) -> asio::awaitable<void> {
            co_await phone.expect(V1Frame::PAIRED_KEY_ENCRYPTION);
            co_await phone.sendChunk(1, 3, 0, bytesOf("abc"), true);
            EXPECT_TRUE(co_await phone.expectEnd());
        });
        EXPECT_EQ(outcomeOf(receiving).error,
                  sentence(QuickShareError::protocolError("file payload before acceptance")));
        EXPECT_FALSE(fs::exists(folder));
    }
}

TEST_F(ReceiverTest, FileChunksWhileTheUserDecidesEndTheTransfer) {
    decider = [](QuickShareOffer) -> asio::awaitable<bool> {
        co_await sleepFor(200ms);
        co_return true;
    };
    auto receiving = startReceive();
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        const std::vector<File> offered{{"a.txt", 1, 3}};
        co_await introduce(phone, offered);
        co_await phone.sendChunk(1, 3, 0, bytesOf("abc"), true);
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    EXPECT_EQ(outcomeOf(receiving).error, sentence(QuickShareError::protocolError("file payload before acceptance")));
    expectCleanFolder();
}

// A phone that leaves or cancels while the user looks at its offer ends the receive at once
// with its own sentence, so the question goes with it rather than waiting for an answer.
TEST_F(ReceiverTest, PhoneLeavingWhileTheUserDecidesEndsTheQuestion) {
    enum Way { disconnects, closes, cancels };
    const std::map<Way, std::string> sentences = {
        {disconnects, sentence(QuickShareError::disconnected())},
        {closes, ShareError::connectionClosed().what()},
        {cancels, sentence(QuickShareError::cancelledByPhone())},
    };
    for (const auto& [way, expected] : sentences) {
        SCOPED_TRACE(static_cast<int>(way));
        TempFolder other;
        auto streams = MemoryStreamPair::create(pool.get_executor());
        auto user = std::make_shared<asio::steady_timer>(pool, std::chrono::hours(1));  // never answers
        auto receiving = asio::co_spawn(
            pool,
            QuickShareReceiver::receive(streams.a, other.path(), nullptr,
                                        [user](QuickShareOffer) -> asio::awaitable<bool> {
                                            std::error_code ignored;
                                            co_await user->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
                                            co_return true;
                                        },
                                        nullptr, {}, timeouts),
            asio::use_future);
        runAsync(streams.b->executor(), [&, way = way]() -> asio::awaitable<void> {
            auto phone = co_await Phone::connectAsSender(streams.b);
            const std::vector<File> offered{{"a.txt", 1, 3}};
            co_await introduce(*phone, offered);
            co_await sleepFor(50ms);
            if (way == disconnects) co_await phone->disconnect();
            if (way == closes) streams.b->close();
            if (way == cancels) co_await phone->sendType(V1Frame::CANCEL);
        });
        const bool ended = receiving.wait_for(3s) == std::future_status::ready;
        asio::post(pool, [user] { user->cancel(); });
        EXPECT_TRUE(ended) << "the receive waited for the user's answer";
        std::string error;
        try {
            receiving.get();
        } catch (const std::exception& e) {
            error = e.what();
        }
        EXPECT_EQ(error, expected);
        EXPECT_TRUE(namesIn(other.path()).empty());
    }
}

TEST_F(ReceiverTest, PhoneCancellingMidwayKeepsTheFinishedFiles) {
    auto receiving = startReceive();
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        const std::vector<File> offered{{"one", 1, 2}, {"two", 2, 4}, {"three", 3, 1}};
        co_await introduce(phone, offered);
        co_await expectResponse(phone, Response::ACCEPT);
        co_await phone.sendFile(1, bytesOf("11"));
        co_await phone.sendChunk(2, 4, 0, bytesOf("22"), false);
        co_await phone.sendType(V1Frame::CANCEL);
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    EXPECT_EQ(outcomeOf(receiving).error, sentence(QuickShareError::cancelledByPhone()));
    EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"one"}));
}

TEST_F(ReceiverTest, PhoneVanishingMidFileLeavesNoTemporaryFile) {
    auto receiving = startReceive();
    asPhone([this](Phone& phone) -> asio::awaitable<void> {
        const std::vector<File> offered{{"one", 1, 2}, {"two", 2, 4}};
        co_await introduce(phone, offered);
        co_await expectResponse(phone, Response::ACCEPT);
        co_await phone.sendFile(1, bytesOf("11"));
        co_await phone.sendChunk(2, 4, 0, bytesOf("22"), false);
        pair.b->close();
    });
    auto outcome = outcomeOf(receiving);
    EXPECT_NE(outcome.error, "");
    EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"one"}));
}

// Cancelling the computer's side at each phase: the phone hears CANCEL and a disconnection
// (once the secure channel stands), the receive ends with Cancelled, nothing unfinished stays.
TEST_F(ReceiverTest, CancelledAtEachPhase) {
    enum Phase { handshake, negotiation, decision, files };
    // The phone reads every goodbye frame here; a short grace would only race a loaded machine.
    timeouts.cancelGrace = 3s;
    for (Phase phase : {handshake, negotiation, decision, files}) {
        SCOPED_TRACE(static_cast<int>(phase));
        TempFolder other;
        auto streams = MemoryStreamPair::create(pool.get_executor());
        CancelSignal cancel;
        auto receiving = asio::co_spawn(
            pool,
            QuickShareReceiver::receive(
                streams.a, other.path(), nullptr,
                [cancel, phase](QuickShareOffer) mutable -> asio::awaitable<bool> {
                    if (phase == decision) {
                        cancel.cancel();
                        co_await sleepFor(1s);  // the user has not answered yet
                    }
                    co_return true;
                },
                nullptr, cancel, timeouts),
            asio::use_future);
        runAsync(streams.b->executor(), [&]() -> asio::awaitable<void> {
            if (phase == handshake) {
                co_await sleepFor(50ms);
                cancel.cancel();
                co_return;
            }
            auto phone = co_await Phone::connectAsSender(streams.b);
            co_await phone->expect(V1Frame::PAIRED_KEY_ENCRYPTION);
            if (phase == negotiation) {
                cancel.cancel();
                co_await expectCancelAndEnd(*phone);
                co_return;
            }
            co_await phone->sendPairedKeys();
            co_await phone->expect(V1Frame::PAIRED_KEY_RESULT);
            const std::vector<File> offered{{"a", 1, 4}};
            co_await phone->sendIntroduction(offered);
            if (phase == files) {
                co_await expectResponse(*phone, Response::ACCEPT);
                co_await phone->sendChunk(1, 4, 0, bytesOf("ab"), false);
                co_await sleepFor(50ms);
                cancel.cancel();
            }
            co_await expectCancelAndEnd(*phone);
        });
        if (receiving.wait_for(5s) != std::future_status::ready) {
            ADD_FAILURE() << "the cancelled receive did not end";
            streams.a->close();
        }
        EXPECT_THROW(receiving.get(), Cancelled);
        EXPECT_FALSE(hasTemporaryFiles(other.path()));
        EXPECT_TRUE(streams.a->isClosed());
    }
}

TEST_F(ReceiverTest, RevokedAuthorizationCancelsBeforePreparing) {
    auto authorization = std::make_shared<QuickShareReceiveAuthorization>();
    decider = [authorization](QuickShareOffer) -> asio::awaitable<bool> {
        authorization->revoke();
        co_return true;
    };
    auto receiving = startReceive({}, authorization);
    asPhone([](Phone& phone) -> asio::awaitable<void> {
        const std::vector<File> offered{{"a", 1, 4}};
        co_await introduce(phone, offered);
        co_await expectCancelAndEnd(phone);
    });
    EXPECT_TRUE(outcomeOf(receiving).cancelled);
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(ReceiverTest, RevokedAuthorizationStopsTheFilePhase) {
    auto authorization = std::make_shared<QuickShareReceiveAuthorization>();
    auto receiving = startReceive({}, authorization);
    asPhone([authorization](Phone& phone) -> asio::awaitable<void> {
        const std::vector<File> offered{{"one", 1, 1}, {"two", 2, 4}};
        co_await introduce(phone, offered);
        co_await expectResponse(phone, Response::ACCEPT);
        co_await phone.sendFile(1, bytesOf("1"));
        co_await phone.sendChunk(2, 4, 0, bytesOf("22"), false);
        co_await sleepFor(50ms);
        authorization->revoke();
        co_await phone.sendChunk(2, 4, 2, bytesOf("22"), false);
        co_await expectCancelAndEnd(phone);
    });
    EXPECT_TRUE(outcomeOf(receiving).cancelled);
    EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"one"}));
}

}  // namespace
}  // namespace velmo
