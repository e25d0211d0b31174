#include <gtest/gtest.h>

#include "quickshare/QuickShareError.h"
#include "transfer/ShareError.h"
#include "velmo/AppModelHarness.h"

namespace velmo::test {
namespace {

using Kind = TransferItem::State::Kind;

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

    model->answerIncoming(true);
    EXPECT_EQ(model.prompt->dismissed, 1);
    ASSERT_TRUE(pumpUntil([&] { return model.row().state.kind() == Kind::done; }));
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

TEST_F(AppModelReceive, SecondOfferWhilePromptIsPendingIsDeclinedAtOnce) {
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return decisions(model).size() == 1; }));
    EXPECT_EQ(decisions(model), std::vector<bool>{false});
    ASSERT_TRUE(pumpUntil([&] { return model.row(0).state.kind() == Kind::declined; }));
    EXPECT_EQ(model.row(1).state.kind(), Kind::awaitingAccept);  // the first still waits
    EXPECT_EQ(model.prompt->presented, 1);
}

TEST_F(AppModelReceive, UnansweredPromptIsDeclinedAfterItsTimeOut) {
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    pumpFor(std::chrono::milliseconds(100));
    EXPECT_TRUE(model->incoming().has_value());  // not before the time-out
    ASSERT_TRUE(pumpUntil([&] { return model.row().state.kind() == Kind::declined; }));
    EXPECT_FALSE(model->incoming().has_value());
    EXPECT_EQ(model.prompt->dismissed, 1);
    EXPECT_EQ(decisions(model), std::vector<bool>{false});
}

TEST_F(AppModelReceive, SwitchingReceivingOffDeclinesThePendingOffer) {
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    model->setReceiveFromAndroid(false);
    EXPECT_FALSE(model->incoming().has_value());
    ASSERT_TRUE(pumpUntil([&] { return decisions(model).size() == 1; }));
    EXPECT_EQ(decisions(model), std::vector<bool>{false});
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

TEST_F(AppModelReceive, FifthConnectionIsClosedWithoutARow) {
    model.receive->holdBeforeOffer = true;
    for (int i = 0; i < 4; ++i) model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 4; }));
    auto fifth = model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return fifth->isClosed(); }));
    EXPECT_EQ(model->transfers().size(), 4u);

    model->cancelTransfer(model.row(0).id);
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 3; }));
    auto sixth = model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 4; }));
    EXPECT_FALSE(sixth->isClosed());
    EXPECT_EQ(model->transfers().size(), 5u);
    for (const auto& row : model->transfers())
        if (row.state.isActive()) model->cancelTransfer(row.id);
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 0; }));
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
    std::string text;
};

TEST_F(AppModelReceive, FailuresBecomeRowTexts) {
    const std::vector<ErrorCase> cases = {
        {std::make_exception_ptr(QuickShareError::timedOut()), "The phone stopped responding."},
        {std::make_exception_ptr(QuickShareError::unsupported()),
         "Only files can be sent to this computer (not text or links)."},
        {std::make_exception_ptr(QuickShareError::disconnected()), "The phone disconnected."},
        {std::make_exception_ptr(ShareError::connectionClosed()), "The connection was closed."},
        {std::make_exception_ptr(Cancelled()), "Cancelled"},
    };
    for (const auto& c : cases) {
        model.receive->errorAfterAccept = c.error;
        model.advertiser->connect();
        ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
        model->answerIncoming(true);
        ASSERT_TRUE(pumpUntil([&] { return !model.row().state.isActive(); }));
        EXPECT_EQ(model.row().state, TransferItem::State::failed(c.text));
    }
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
