#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>

#include <QPushButton>
#include <fstream>
#include <map>
#include <thread>

#include "platform/Runtime.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/QuickShareSender.h"
#include "support/LoopbackStreams.h"
#include "support/ScratchDisk.h"
#include "transfer/FileError.h"
#include "transfer/ShareError.h"
#include "velmo/AppModelHarness.h"
#include "velmo/ui/TransferRow.h"

namespace velmo::test {
namespace {

using Kind = TransferItem::State::Kind;
using State = TransferItem::State;

std::vector<bool> decisions(AppModelHarness& model) {
    std::lock_guard guard(model.receive->lock);
    return model.receive->decisions;
}

struct ReceiveFixture : ::testing::Test {
    explicit ReceiveFixture(const char* mode = "askEachTime") : model({.sharingMode = mode}) { model->start(); }
    AppModelHarness model;
};

using AppModelReceive = ReceiveFixture;

TEST_F(AppModelReceive, AskedOfferAcceptedSavesIntoTheRow) {
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    EXPECT_EQ(model.prompt->presented, 1);
    const auto& row = model.row();
    EXPECT_EQ(row.direction, TransferItem::Direction::receiving);
    EXPECT_EQ(row.peer, "Pixel");
    EXPECT_EQ(row.code, "1234");
    EXPECT_EQ(row.summary, "photo.jpg");
    EXPECT_EQ(row.total, 10);
    EXPECT_EQ(row.state.kind(), Kind::awaitingAccept);
    EXPECT_EQ(model->incomingCount(), 1);

    // Another photo.jpg was there: the row names the file as it was saved.
    model.receive->saved = {"/downloads/photo (1).jpg"};
    model->answerIncoming(true);
    EXPECT_EQ(model.prompt->dismissed, 1);
    ASSERT_TRUE(pumpUntil([&] { return model.row().state.kind() == Kind::done; }));
    EXPECT_EQ(model.row().summary, "photo (1).jpg");
    EXPECT_EQ(model.row().savedURLs, model.receive->saved);
    EXPECT_EQ(model.row().done, 10);
    EXPECT_EQ(model->incomingCount(), 0);
    EXPECT_FALSE(model->hasCanceler(model.row().id));
}

TEST_F(AppModelReceive, DeclinedOfferEndsDeclined) {
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    model->answerIncoming(false);
    ASSERT_TRUE(pumpUntil([&] { return model.row().state.kind() == Kind::declined; }));
    EXPECT_EQ(decisions(model), std::vector<bool>{false});
}

// An offer that comes while another is asked waits its turn, its phone waiting too. The next
// prompt goes to the host asked least recently, so a host that offers again and again is asked
// at most once more before another. A phone that leaves, or a row cancelled, leaves the queue.
TEST_F(AppModelReceive, OffersWaitTheirTurnLeastRecentlyAskedHostFirst) {
    std::map<std::string, std::pair<std::shared_ptr<FakeStream>, Uuid>> phones;  // a1 and a2 share a host
    const auto offer = [&](const std::string& name) {
        auto stream = model.advertiser->connect("10.0.0." + std::to_string(name[0] - 'a' + 1));
        ASSERT_TRUE(pumpUntil([&] { return model->transfers().size() == phones.size() + 1 && model.row().code; }));
        phones[name] = {stream, model.row().id};
    };
    const auto state = [&](const std::string& name) {
        for (const auto& row : model->transfers())
            if (row.id == phones[name].second) return row.state;
        return State::connecting();
    };
    const auto asked = [&](const std::string& name) {
        return pumpUntil([&] { return model->incoming() && model->incoming()->id == phones[name].second; });
    };
    for (const char* name : {"a1", "a2", "b", "c"}) offer(name);
    EXPECT_TRUE(asked("a1"));
    EXPECT_EQ(state("b"), State::awaitingAccept());
    model->answerIncoming(true);
    EXPECT_TRUE(asked("b"));  // before a2, which came first but from a host just asked
    phones["c"].first->gone = true;
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 2; }));
    EXPECT_EQ(state("c"), State::failed("The phone cancelled."));
    phones["b"].first->silent = true;  // while its own prompt is up
    EXPECT_TRUE(asked("a2"));
    EXPECT_EQ(state("b"), State::failed("The phone stopped responding."));
    offer("d");
    model->cancelTransfer(phones["d"].second);
    model->answerIncoming(false);
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 0; }));
    EXPECT_EQ(state("d"), State::failed("Cancelled"));
    EXPECT_EQ(state("a2"), State::declined());
    EXPECT_EQ(model.prompt->presented, 3);
}

TEST_F(AppModelReceive, UnansweredPromptIsDeclinedAfterItsTimeOut) {
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    pumpFor(std::chrono::milliseconds(100));
    EXPECT_TRUE(model->incoming().has_value());  // not before the time-out
    ASSERT_TRUE(pumpUntil([&] { return !model->incoming() && model->incomingCount() == 0; }));
    EXPECT_EQ(model.row().state, State::failed("Not answered"));
    EXPECT_EQ(model.prompt->dismissed, 1);
    EXPECT_EQ(decisions(model), std::vector<bool>{false});
}

TEST_F(AppModelReceive, SwitchingReceivingOffDeclinesThePendingOffers) {
    for (std::size_t i = 1; i <= 2; ++i) {
        model.advertiser->connect();
        ASSERT_TRUE(pumpUntil([&] { return model->transfers().size() == i && model.row().code; }));
    }
    model->setReceiveFromAndroid(false);
    EXPECT_FALSE(model->incoming().has_value());
    ASSERT_TRUE(pumpUntil([&] { return decisions(model).size() == 2; }));
    EXPECT_EQ(decisions(model), (std::vector<bool>{false, false}));
    for (const auto& row : model->transfers()) EXPECT_EQ(row.state, State::failed("Cancelled"));
}

TEST_F(AppModelReceive, CancellingTheRowClosesThePromptAndTheStream) {
    auto stream = model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    model->cancelTransfer(model.row().id);
    EXPECT_FALSE(model->incoming().has_value());
    EXPECT_TRUE(stream->isClosed());
    EXPECT_EQ(model.row().state, TransferItem::State::failed("Cancelled"));
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 0; }));
    EXPECT_EQ(model.row().state, TransferItem::State::failed("Cancelled"));
}

// Four places at most. A new connection takes the place of the oldest one that has made no
// offer yet, which then ends without a row; an offer being asked or a transfer running keeps
// its place, older or not, and when all four hold one the newcomer is closed without a row.
TEST_F(AppModelReceive, OnlyConnectionsWithoutAnOfferMakeRoom) {
    model.receive->holdAfterAccept = true;
    std::vector<std::shared_ptr<FakeStream>> offered;
    for (int i = 0; i < 4; ++i) {
        offered.push_back(model.advertiser->connect());
        ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
        if (i < 3) model->answerIncoming(true);  // three run, the fourth's prompt stays up
    }
    ASSERT_TRUE(pumpUntil([&] { return model.row(1).state.kind() == Kind::transferring; }));
    model.receive->holdBeforeOffer = true;
    auto fifth = model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return fifth->isClosed(); }));
    EXPECT_EQ(model->transfers().size(), 4u);
    EXPECT_TRUE(model->incoming().has_value());

    // One ends: a silent connection takes its place, and the next silent one takes it over.
    model->cancelTransfer(model.row(3).id);
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 3; }));
    auto first = model.advertiser->connect("10.0.0.9");
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 4 && model.receive->started == 5; }));
    auto second = model.advertiser->connect("10.0.0.9");
    ASSERT_TRUE(pumpUntil([&] { return first->isClosed(); }));
    ASSERT_TRUE(pumpUntil([&] { return model.receive->started == 6; }));
    EXPECT_FALSE(second->isClosed());
    for (std::size_t i = 1; i < offered.size(); ++i) EXPECT_FALSE(offered[i]->isClosed()) << i;
    EXPECT_TRUE(model->incoming().has_value());
    EXPECT_EQ(model->incomingCount(), 4);
    ASSERT_TRUE(pumpUntil([&] { return model.receive->ended == 2 && model->transfers().size() == 5; }))
        << "the connection that made room left its row";
    EXPECT_EQ(model.row(0).summary, "Incoming\u2026");
    EXPECT_EQ(model.row(1).summary, "photo.jpg");
    for (const auto& row : model->transfers())
        if (row.state.isActive()) model->cancelTransfer(row.id);
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 0; }));
}

// A host holds at most two places, whatever its connections do: a third takes the place of its
// own oldest silent one, else it is closed. With all four taken, a newcomer takes its own host's
// oldest silent place, failing that one of a host holding several; the one place of another
// host stays. A place whose offer the engine has read is kept, though the question has not
// reached this thread yet. An IPv4 peer seen over IPv6 is the same host.
TEST_F(AppModelReceive, ANewcomerTakesASilentPlaceOfItsOwnHostFirst) {
    struct Connection {
        std::string host;
        bool offers = false;
    };
    struct Case {
        std::vector<Connection> connections;  // in this order; the last is the newcomer
        std::string ended;                    // 'x': that connection was cut at once
    };
    const std::string a = "10.0.0.1", b = "10.0.0.2", c = "10.0.0.3", d = "10.0.0.4", e = "10.0.0.5";
    const std::vector<Case> cases = {
        {{{b}, {a}, {a}, {c}, {a}}, "-x---"},
        {{{b}, {a}, {c}, {d}, {"::ffff:10.0.0.1"}}, "-x---"},
        {{{c}, {b}, {b}, {d}, {a}}, "-x---"},
        {{{b}, {c}, {d}, {e}, {a}}, "----x"},
        {{{b}, {b}, {a}, {c}, {a}}, "--x--"},
        {{{a, true}, {a}, {a}}, "-x-"},
        {{{a, true}, {a, true}, {a, true}, {a, true}, {b}}, "--xx-"},
        {{{a, true}, {b, true}, {c, true}, {d, true}, {e}}, "----x"},
    };
    model.receive->holdAsk = true;
    for (const auto& test : cases) {
        std::vector<std::shared_ptr<FakeStream>> streams;
        for (const auto& connection : test.connections) {
            const int started = model.receive->started, read = model.receive->offersRead;
            model.receive->holdBeforeOffer = !connection.offers;
            streams.push_back(model.advertiser->connect(connection.host));
            ASSERT_TRUE(pumpUntil([&] {
                return streams.back()->isClosed() ||
                       (model.receive->started > started && (!connection.offers || model.receive->offersRead > read));
            }));
        }
        for (std::size_t i = 0; i < streams.size(); ++i)
            EXPECT_EQ(streams[i]->aborted.load(), test.ended[i] == 'x') << test.ended << " " << i;
        for (const auto& row : model->transfers()) model->cancelTransfer(row.id);
        model.receive->holdAsk = false;
        ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 0; }));
        model.receive->holdAsk = true;
    }
    model.receive->holdAsk = false;
}

TEST_F(AppModelReceive, ReceivingOffRefusesConnections) {
    model->setReceiveFromAndroid(false);
    // The listener taken before switching off is still there in the fake: the model refuses.
    model.advertiser->listener = [this](std::shared_ptr<ByteStream> s) { model->handleIncomingConnection(s, std::nullopt); };
    auto stream = model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return stream->isClosed(); }));
    EXPECT_TRUE(model->transfers().empty());
}

TEST_F(AppModelReceive, SummaryCountsSeveralFiles) {
    model.receive->offer.files = {{"a", 1}, {"b", 2}, {"c", 3}};
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    EXPECT_EQ(model.row().summary, "3 files");
    EXPECT_EQ(model.row().total, 6);
    model->answerIncoming(false);
}

struct ErrorCase {
    std::exception_ptr error;
    std::string text;  // empty: the row ends done
    std::vector<std::filesystem::path> savedBefore = {};  // of one more offered file
    bool allSaved = false;  // every offered file was saved before the error
    bool beforeAsking = false;  // the engine refused the offer it read
};

TEST_F(AppModelReceive, FailuresBecomeRowTexts) {
    const std::vector<ErrorCase> cases = {
        {std::make_exception_ptr(QuickShareError::timedOut()), "The phone stopped responding."},
        {std::make_exception_ptr(QuickShareError::unsupported()),
         "Only files can be sent to this computer (not text or links)."},
        {std::make_exception_ptr(QuickShareError::disconnected()), "The phone disconnected."},
        {std::make_exception_ptr(QuickShareError::protocolError("invalid or oversized message chunk")),
         "The phone sent something Velmo couldn't read, so the transfer stopped."},
        {std::make_exception_ptr(QuickShareError::crypto("bad signature")),
         "The connection to the phone couldn't be secured, so the transfer stopped."},
        {std::make_exception_ptr(ShareError::connectionClosed()), "The connection was closed."},
        {std::make_exception_ptr(ShareError::connectionTimedOut()), "The phone stopped responding."},
        {std::make_exception_ptr(Cancelled()), "Cancelled"},
        // Refused as it was read, the offer keeps its row, with its reason (its own sentence).
        {std::make_exception_ptr(QuickShareError::unsupported()),
         "Only files can be sent to this computer (not text or links).", {}, false, true},
        {std::make_exception_ptr(QuickShareError::tooManyFiles()),
         "The phone offered more than 128 files at once. Send them in smaller groups.", {}, false, true},
        // Files kept before the failure are told, and shown.
        {std::make_exception_ptr(FileError::saving("/home/u/dl", ENOSPC)),
         "1 of 2 files saved. There isn't enough free space in \u2068dl\u2069.",
         {"/home/u/dl/a-first.txt"}},
        {std::make_exception_ptr(QuickShareError::cancelledByPhone()),
         "2 of 3 files saved. The transfer was cancelled on the phone.",
         {"/home/u/dl/a.txt", "/home/u/dl/b (1).txt"}},
        // Only the goodbye failed: nothing is missing.
        {std::make_exception_ptr(ShareError::connectionClosed()), "", {"/home/u/dl/a.txt", "/home/u/dl/b.txt"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        model.receive->errorAfterAccept = c.error;
        model.receive->errorBeforeOffer = c.beforeAsking ? c.error : nullptr;
        model.receive->savedBeforeError = c.savedBefore;
        model.receive->offer.files = {{"photo.jpg", 10}};
        if (!c.savedBefore.empty())
            model.receive->offer.files.resize(c.savedBefore.size() + (c.allSaved ? 0 : 1), {"b.txt", 1});
        const int ended = model.receive->ended;
        model.advertiser->connect();
        if (!c.beforeAsking) {
            ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
            model->answerIncoming(true);
        }
        ASSERT_TRUE(pumpUntil([&] { return model.receive->ended > ended && model->incomingCount() == 0; }));
        EXPECT_EQ(model.row().state,
                  c.text.empty() ? TransferItem::State::done() : TransferItem::State::failed(c.text));
        EXPECT_EQ(model.row().savedURLs, c.savedBefore);
    }
}

// The engine's own receive into a small disk: of two files, the first (saved under a free name)
// is kept when the second does not fit, and the row tells so and shows it.
TEST(AppModelReceiveLoopback, RowsTellWhatWasSaved) {
    ScratchDisk disk("size=64k");
    if (!disk.mounted()) GTEST_SKIP() << "needs a tmpfs";
    AppModelHarness model({.sharingMode = "askEachTime", .realEngine = true}, [&](QSettings& store) {
        store.setValue("downloadFolder", QString::fromStdString(disk.path().string()));
    });
    model->start();
    std::filesystem::create_directories(disk.path());
    TempFolder phone;
    phone.write("a-first.txt", "first");
    phone.write("b-big.bin", std::string(200'000, 'b'));
    std::ofstream(disk / "a-first.txt") << "there before";

    auto streams = LoopbackStreams::open(Runtime::shared().executor());
    auto listener = model.advertiser->listener;
    ASSERT_TRUE(listener);
    std::thread([&] { listener(streams.accepted); }).join();
    auto sent = asio::co_spawn(Runtime::shared().executor(),
                               QuickShareSender::send({phone / "a-first.txt", phone / "b-big.bin"}, streams.outgoing,
                                                      "Pixel", std::nullopt, nullptr,
                                                      [](const QuickShareSender::Status&) {},
                                                      [](std::int64_t, std::int64_t) {}),
                               asio::use_future);
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }, std::chrono::seconds(10)));
    model->answerIncoming(true);
    ASSERT_TRUE(pumpUntil([&] { return !model.row().state.isActive(); }, std::chrono::seconds(10)));
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 0; }));
    EXPECT_EQ(model.row().state, TransferItem::State::failed("1 of 2 files saved. There isn't enough free space in \u2068" +
                                                             disk.path().filename().string() + "\u2069."));
    EXPECT_EQ(model.row().summary, "2 files");
    EXPECT_EQ(model.row().savedURLs, std::vector<std::filesystem::path>{disk / "a-first (1).txt"});
    EXPECT_TRUE(std::filesystem::exists(disk / "a-first (1).txt"));
    TransferRow row(*model, model.row());
    bool show = false;
    for (auto* button : row.findChildren<QPushButton*>()) show |= button->text() == QStringLiteral("Show");
    EXPECT_TRUE(show);
    EXPECT_EQ(sent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

struct QuickReceive : ReceiveFixture {
    QuickReceive() : ReceiveFixture("quick") {
        model->startWebReceive();
        EXPECT_TRUE(pumpUntil([&] { return model->webReceive().has_value(); }));
    }
};

TEST_F(QuickReceive, OfferInsideTheSessionIsAcceptedWithoutAsking) {
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return !model->transfers().empty() && model.row().state.kind() == Kind::done; }));
    EXPECT_EQ(model.prompt->presented, 0);
    EXPECT_EQ(decisions(model), std::vector<bool>{true});
    std::lock_guard guard(model.receive->lock);
    EXPECT_EQ(model.receive->lastAuthorization, model->webReceive()->quickShareSession.authorization);
    EXPECT_EQ(model->webReceive()->quickShareSession.budget->remainingFiles(), 255);
}

TEST_F(QuickReceive, OfferInsideTheSessionIgnoresTheReceiveSwitch) {
    model->setReceiveFromAndroid(false);
    EXPECT_GT(model.advertiser->starts, 0);
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return decisions(model).size() == 1; }));
    EXPECT_EQ(decisions(model), std::vector<bool>{true});
}

TEST_F(QuickReceive, OfferOverTheBudgetIsRefusedWithTheLimitText) {
    model.receive->offer.files = {{"huge.iso", ReceiveSessionBudget::maxFileBytes + 1}};
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return decisions(model).size() == 1; }));
    EXPECT_EQ(decisions(model), std::vector<bool>{false});
    const std::string limit =
        "Receive limit reached. Open a new receive code (up to 10 GB per file and 20 GB or 256 files per session).";
    EXPECT_EQ(model.status(), limit);
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 0; }));
    EXPECT_EQ(model.row().state, TransferItem::State::failed(limit));
    EXPECT_EQ(model.prompt->presented, 0);
}

// A connection that made room, or ended, before its offer leaves no row, in the list or the sheet.
TEST_F(QuickReceive, ConnectionsWithoutAnOfferLeaveNoRow) {
    model.receive->holdBeforeOffer = true;
    // Four places, one of them taken over by the last of the host that made two.
    for (const char* host : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.4"}) model.advertiser->connect(host);
    const auto running = [&](int n) {
        return model.receive->started - model.receive->ended == n && model->incomingCount() == n &&
               model->transfers().size() == static_cast<std::size_t>(n);
    };
    ASSERT_TRUE(pumpUntil([&] { return running(4); }));
    EXPECT_EQ(model->webReceive()->transferIDs.size(), 4u);
    model.receive->holdBeforeOffer = false;
    model.receive->errorBeforeOffer = std::make_exception_ptr(ShareError::connectionClosed());
    model.advertiser->connect("10.0.0.4");
    ASSERT_TRUE(pumpUntil([&] { return running(3); }));
    EXPECT_EQ(model->webReceive()->transferIDs.size(), 3u);
    EXPECT_EQ(model->transfers().size(), 3u);
    for (const auto& row : model->transfers()) model->cancelTransfer(row.id);
}

TEST_F(QuickReceive, StoppingTheSessionCancelsItsWaitingReceive) {
    model.receive->holdBeforeOffer = true;
    auto stream = model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 1; }));
    model->stopWebReceive();
    EXPECT_TRUE(stream->isClosed());
    EXPECT_EQ(model.row().state, TransferItem::State::failed("Cancelled"));
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 0; }));
    EXPECT_EQ(model.row().state, TransferItem::State::failed("Cancelled"));
}

}  // namespace
}  // namespace velmo::test
