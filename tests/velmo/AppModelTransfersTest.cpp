#include <gtest/gtest.h>


#include "velmo/AppModelHarness.h"

namespace velmo::test {
namespace {

using State = TransferItem::State;

Uuid addUpload(AppModelHarness& model, const std::string& name, std::int64_t size = 10) {
    Uuid upload = Uuid::random();
    model->handleWebReceiveEvent(WebReceiveServer::Started{upload, name, size, "Phone browser"});
    return upload;
}

TEST(AppModelTransfers, NewRowsGoOnTop) {
    AppModelHarness model;
    addUpload(model, "first");
    addUpload(model, "second");
    EXPECT_EQ(model.row(0).summary, "second");
    EXPECT_EQ(model.row(1).summary, "first");
}

TEST(AppModelTransfers, UpdatersIgnoreUnknownIds) {
    AppModelHarness model;
    addUpload(model, "a");
    int spy = 0;
    QObject::connect(model.model.get(), &AppModel::transfersChanged, [&] { ++spy; });
    Uuid unknown = Uuid::random();
    model->setTransferProgress(unknown, 1, 2);
    model->setTransferState(unknown, State::done());
    model->failTransfer(unknown, "x");
    model->cancelTransfer(unknown);
    EXPECT_EQ(spy, 0);
    EXPECT_EQ(model.row().state, State::transferring());
}

TEST(AppModelTransfers, ActiveOnlyUpdatersLeaveFinalRows) {
    struct Case {
        State start;
        State afterDecline;
        State afterFail;
    };
    const std::vector<Case> cases = {
        {State::connecting(), State::declined(), State::failed("boom")},
        {State::awaitingAccept(), State::declined(), State::failed("boom")},
        {State::transferring(), State::declined(), State::failed("boom")},
        {State::done(), State::done(), State::done()},
        {State::declined(), State::declined(), State::declined()},
        {State::failed("old"), State::failed("old"), State::failed("old")},
    };
    AppModelHarness model;
    addUpload(model, "a");
    Uuid id = model.row().id;
    for (const auto& c : cases) {
        model->setTransferState(id, c.start);
        model->markTransferDeclined(id);
        EXPECT_EQ(model.row().state, c.afterDecline);
        model->setTransferState(id, c.start);
        model->failTransferIfActive(id, "boom");
        EXPECT_EQ(model.row().state, c.afterFail);
    }
}

TEST(AppModelTransfers, CancelMarksActiveRowsCancelledAndKeepsFinishedOutcomes) {
    AppModelHarness model;
    addUpload(model, "a");
    Uuid id = model.row().id;
    model->cancelTransfer(id);
    EXPECT_EQ(model.row().state, State::failed("Cancelled"));

    model->markTransferReceived(id, {"/tmp/a"});
    model->cancelTransfer(id);
    EXPECT_EQ(model.row().state, State::done());
    EXPECT_EQ(model.row().savedURLs.size(), 1u);
}

TEST(AppModelTransfers, ClearFinishedKeepsActiveRowsInOrder) {
    AppModelHarness model;
    addUpload(model, "a");
    addUpload(model, "b");
    addUpload(model, "c");
    addUpload(model, "d");
    model->setTransferState(model.row(0).id, State::done());
    model->setTransferState(model.row(2).id, State::failed("x"));
    model->clearFinished();
    ASSERT_EQ(model->transfers().size(), 2u);
    EXPECT_EQ(model.row(0).summary, "c");
    EXPECT_EQ(model.row(1).summary, "a");

    int spy = 0;
    QObject::connect(model.model.get(), &AppModel::transfersChanged, [&] { ++spy; });
    model->clearFinished();
    EXPECT_EQ(model->transfers().size(), 2u);
    EXPECT_EQ(spy, 0);
}

// However many rows end, only the newest 500 finished ones stay, and the receive sheet forgets
// the others; a running row stays however old.
TEST(AppModelTransfers, OnlyTheNewestFinishedRowsStay) {
    AppModelHarness model;
    model->start();
    model->startWebReceive();
    ASSERT_TRUE(pumpUntil([&] { return model->webReceive().has_value(); }));
    addUpload(model, "running");
    for (int i = 0; i <= 500; ++i)
        model->handleWebReceiveEvent(WebReceiveServer::Failed{addUpload(model, std::to_string(i)), "x"});
    addUpload(model, "new");
    ASSERT_EQ(model->transfers().size(), 502u);
    EXPECT_EQ(model->transfers().back().summary, "running");
    EXPECT_EQ(model.row(500).summary, "1");
    EXPECT_EQ(model->webReceive()->transferIDs.size(), 502u);
}

TEST(AppModelTransfers, ProgressAfterClearIsIgnored) {
    AppModelHarness model;
    Uuid upload = addUpload(model, "a");
    model->setTransferState(model.row().id, State::done());
    model->clearFinished();
    model->handleWebReceiveEvent(WebReceiveServer::Progress{upload, 5});
    EXPECT_TRUE(model->transfers().empty());
}

TEST(ModelRecords, FractionAndStates) {
    struct Case {
        std::int64_t done, total;
        State state;
        double fraction;
    };
    const std::vector<Case> cases = {
        {0, 0, State::done(), 1.0},        {0, 0, State::transferring(), 0.0}, {0, 0, State::failed("x"), 0.0},
        {5, 10, State::transferring(), 0.5}, {15, 10, State::done(), 1.5},
    };
    for (const auto& c : cases) {
        TransferItem item;
        item.done = c.done;
        item.total = c.total;
        item.state = c.state;
        EXPECT_DOUBLE_EQ(item.fraction(), c.fraction);
    }
    EXPECT_NE(State::failed("a"), State::failed("b"));
    EXPECT_EQ(State::failed("a"), State::failed("a"));
    Uuid one = Uuid::random();
    EXPECT_NE(QRSend::Recipient::Phase::verify("1", one), QRSend::Recipient::Phase::verify("1", Uuid::random()));
    EXPECT_EQ(QRSend::Recipient::Phase::verify("1", one), QRSend::Recipient::Phase::verify("1", one));
}

TEST(ModelRecords, ActiveRecipients) {
    QRSend send{Uuid::random(), QRCodeSession(P256PrivateKey::generate()), {}, {}};
    EXPECT_FALSE(send.hasActiveRecipients());
    send.recipients.push_back({"a", "A", QRSend::Recipient::Phase::done(), 1});
    send.recipients.push_back({"b", "B", QRSend::Recipient::Phase::failed("x"), 0});
    EXPECT_FALSE(send.hasActiveRecipients());
    send.recipients.push_back({"c", "C", QRSend::Recipient::Phase::verify("1", Uuid::random()), 0});
    EXPECT_TRUE(send.hasActiveRecipients());
}

TEST(ModelRecords, SharingModeTitles) {
    EXPECT_EQ(title(SharingMode::quick), "Allow quick sharing");
    EXPECT_EQ(title(SharingMode::askEachTime), "Ask each time");
    EXPECT_EQ(rawValue(SharingMode::askEachTime), "askEachTime");
}

}  // namespace
}  // namespace velmo::test
