#include <gtest/gtest.h>

#include "quickshare/QuickShareError.h"
#include "transfer/FileError.h"
#include "transfer/ShareError.h"
#include "velmo/AppModelHarness.h"

namespace velmo::test {
namespace {

using State = TransferItem::State;
using Phase = QRSend::Recipient::Phase;

struct SendFixture {
    explicit SendFixture(const char* mode) : model({.sharingMode = mode}) {
        model->start();
        file = model.file("a.txt", 6);
    }
    // Opens a QR send of the file and lets `count` phones match it.
    void openQR(int count = 1) {
        model->stageFiles({file});
        model->startQRSend();
        for (int i = 0; i < count; ++i) {
            auto phone = model.phone("phone" + std::to_string(i), "Phone " + std::to_string(i), true);
            std::thread([&] { model.discovery->onQRMatch(phone); }).join();
        }
    }
    std::vector<bool> answers() {
        std::lock_guard guard(model.sendScript->lock);
        return model.sendScript->answers;
    }
    std::vector<bool> qrGiven() {
        std::lock_guard guard(model.sendScript->lock);
        return model.sendScript->qrGiven;
    }
    AppModelHarness model;
    std::filesystem::path file;
};

TEST(AppModelSend, QuickQRSendProvesWithTheKeyAndAsksNothing) {
    SendFixture f("quick");
    f.openQR();
    ASSERT_TRUE(pumpUntil([&] { return !f.model->transfers().empty() && f.model.row().state == State::done(); }));
    EXPECT_EQ(f.qrGiven(), std::vector<bool>{true});
    EXPECT_EQ(f.answers(), std::vector<bool>{true});
    EXPECT_EQ(f.model->peerCheckCount(), 0u);
    const auto& recipient = f.model->qrSend()->recipients.at(0);
    EXPECT_EQ(recipient.phase, Phase::done());
    EXPECT_EQ(recipient.fraction, 1.0);
    EXPECT_EQ(f.model.row().summary, "a.txt");
    EXPECT_EQ(f.model.row().total, 6);
    EXPECT_EQ(f.model.row().code, "5678");
}

TEST(AppModelSend, AskEachTimeQRSendAsksTheCodeQuestion) {
    SendFixture f("askEachTime");
    f.openQR();
    ASSERT_TRUE(pumpUntil([&] { return f.model->peerCheckCount() == 1; }));
    EXPECT_EQ(f.qrGiven(), std::vector<bool>{false});
    const auto& row = f.model.row();
    EXPECT_TRUE(row.needsPeerCheck);
    EXPECT_EQ(row.state, State::awaitingAccept());
    EXPECT_EQ(f.model->qrSend()->recipients.at(0).phase, Phase::verify("5678", row.id));

    f.model->answerPeerCheck(row.id, true);
    EXPECT_FALSE(f.model.row().needsPeerCheck);
    ASSERT_TRUE(pumpUntil([&] { return f.model.row().state == State::done(); }));
    EXPECT_EQ(f.answers(), std::vector<bool>{true});
}

TEST(AppModelSend, UnansweredCodeComparisonCountsAsMismatch) {
    SendFixture f("askEachTime");
    f.openQR();
    ASSERT_TRUE(pumpUntil([&] { return f.model->peerCheckCount() == 1; }));
    Uuid id = f.model.row().id;
    pumpFor(std::chrono::milliseconds(100));
    EXPECT_EQ(f.model->peerCheckCount(), 1u);  // not before the time-out
    ASSERT_TRUE(pumpUntil([&] { return f.model.row().state == State::failed("Cancelled"); }));
    EXPECT_EQ(f.answers(), std::vector<bool>{false});
    EXPECT_EQ(f.model->qrSend()->recipients.at(0).phase, Phase::failed("Cancelled"));
    // "Codes match" after the time-out does nothing.
    f.model->answerPeerCheck(id, true);
    EXPECT_EQ(f.model.row().state, State::failed("Cancelled"));
}

TEST(AppModelSend, SamePhoneMatchedTwiceIsSentOnce) {
    SendFixture f("quick");
    f.openQR();
    auto phone = f.model.phone("phone0", "Phone 0", true);
    std::thread([&] { f.model.discovery->onQRMatch(phone); }).join();
    ASSERT_TRUE(pumpUntil([&] { return !f.model->transfers().empty() && !f.model.row().state.isActive(); }));
    pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(f.model->qrSend()->recipients.size(), 1u);
    EXPECT_EQ(f.model.sendScript->started, 1);
}

TEST(AppModelSend, ThirtyThirdPhoneIsIgnored) {
    SendFixture f("quick");
    f.openQR(33);
    ASSERT_TRUE(pumpUntil([&] { return f.model->qrSend()->recipients.size() == 32; }));
    pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(f.model->qrSend()->recipients.size(), 32u);
    ASSERT_TRUE(pumpUntil([&] { return f.model.sendScript->started == 32; }));
}

TEST(AppModelSend, UnmatchedPhoneIsNoRecipient) {
    SendFixture f("quick");
    f.openQR(0);
    auto stranger = f.model.phone("other", "Other", false);
    std::thread([&] { f.model.discovery->onQRMatch(stranger); }).join();
    pumpFor(std::chrono::milliseconds(50));
    EXPECT_TRUE(f.model->qrSend()->recipients.empty());
}

TEST(AppModelSend, EndingTheQRSendBeforeAnyPhoneGivesTheFilesBack) {
    SendFixture f("quick");
    f.openQR(0);
    EXPECT_TRUE(f.model->staged().empty());
    auto other = f.model.file("b.txt");
    f.model->stageFiles({other});
    f.model->cancelQRSend();
    EXPECT_EQ(f.model->staged(), AppModel::Files{f.file});
    EXPECT_EQ(f.model.log.entries().back(), "discovery.qr none");
}

TEST(AppModelSend, StartingWithNothingStagedOpensTheChooser) {
    SendFixture f("quick");
    f.model->startQRSend();
    EXPECT_EQ(*f.model.chooserCalls, 1);
    EXPECT_FALSE(f.model->qrSend());
    *f.model.chooserResult = {f.file};
    f.model->startQRSend();
    ASSERT_TRUE(f.model->qrSend());
    EXPECT_EQ(f.model->qrSend()->files, AppModel::Files{f.file});
    EXPECT_TRUE(f.model->staged().empty());
}

TEST(AppModelSend, EndingTheQRSendCancelsRunningSends) {
    SendFixture f("quick");
    f.model.sendScript->holdAfterConfirm = true;
    f.openQR();
    ASSERT_TRUE(pumpUntil([&] { return f.model.opened->size() == 1 && !f.answers().empty(); }));
    f.model->cancelQRSend();
    EXPECT_TRUE(f.model.opened->at(0)->isClosed());
    ASSERT_TRUE(pumpUntil([&] { return !f.model.row().state.isActive(); }));
    EXPECT_EQ(f.model.row().state, State::failed("Cancelled"));
    EXPECT_TRUE(f.model->staged().empty());  // a phone had joined
}

TEST(AppModelSend, DirectSendAlwaysComparesCodesAndLeavesTheQRSendAlone) {
    SendFixture f("quick");
    f.openQR(0);
    auto phone = f.model.phone("direct", "Direct phone");
    auto other = f.model.file("b.txt");
    f.model->send({other}, phone);
    ASSERT_TRUE(pumpUntil([&] { return f.model->peerCheckCount() == 1; }));
    EXPECT_EQ(f.qrGiven(), std::vector<bool>{false});
    EXPECT_TRUE(f.model->qrSend()->recipients.empty());
    f.model->cancelTransfer(f.model.row().id);
    EXPECT_EQ(f.model.row().state, State::failed("Cancelled"));
    ASSERT_TRUE(pumpUntil([&] { return f.answers().size() == 1; }));
    EXPECT_EQ(f.answers(), std::vector<bool>{false});
}

TEST(AppModelSend, SendToAllPhonesRunsOneSendPerPhone) {
    SendFixture f("askEachTime");
    std::vector<QuickSharePhone> phones = {f.model.phone("1", "One"), f.model.phone("2", "Two"),
                                           f.model.phone("3", "Three")};
    std::thread([&] { f.model.discovery->onPhones(phones); }).join();
    ASSERT_TRUE(pumpUntil([&] { return f.model->quickSharePhones().size() == 3; }));
    f.model->stageFiles({f.file, f.model.file("b.txt")});
    f.model->sendToAllPhones();
    EXPECT_EQ(f.model->transfers().size(), 3u);
    EXPECT_EQ(f.model.row().summary, "2 files");
    ASSERT_TRUE(pumpUntil([&] { return f.model->peerCheckCount() == 3; }));
    for (const auto& row : f.model->transfers()) f.model->answerPeerCheck(row.id, true);
    ASSERT_TRUE(pumpUntil([&] {
        for (const auto& row : f.model->transfers())
            if (row.state != State::done()) return false;
        return true;
    }));
}

TEST(AppModelSend, SendToAllKeepsTheFilesWhenNoPhoneIsLeft) {
    SendFixture f("askEachTime");
    const auto discover = [&](std::vector<QuickSharePhone> phones) {
        const auto count = phones.size();
        std::thread([&] { f.model.discovery->onPhones(std::move(phones)); }).join();
        ASSERT_TRUE(pumpUntil([&] { return f.model->quickSharePhones().size() == count; }));
    };
    // No phone listed: the staged files stay, and no chooser opens.
    f.model->stageFiles({f.file});
    f.model->sendToAllPhones();
    EXPECT_EQ(f.model->staged(), AppModel::Files{f.file});
    EXPECT_EQ(*f.model.chooserCalls, 0);

    // The phones go while the chooser is open: the chosen files stay staged.
    f.model->removeStaged(f.file);
    discover({f.model.phone("1", "One"), f.model.phone("2", "Two")});
    *f.model.chooserResult = {f.file};
    *f.model.whileChoosing = [&] { discover({}); };
    f.model->sendToAllPhones();
    EXPECT_EQ(*f.model.chooserCalls, 1);
    EXPECT_EQ(f.model->staged(), AppModel::Files{f.file});
    EXPECT_TRUE(f.model->transfers().empty());
}

TEST(AppModelSend, OutcomesReachRowAndRecipient) {
    const std::string unreadable = "The phone sent something Velmo couldn't read, so the transfer stopped.";
    struct Case {
        std::exception_ptr error;
        State row;
        Phase recipient;
    };
    const std::vector<Case> cases = {
        {std::make_exception_ptr(QuickShareError::declined()), State::declined(),
         Phase::failed("\u2068Phone 0\u2069 declined the files.")},
        {std::make_exception_ptr(QuickShareError::timedOut()), State::failed("Nobody tapped Accept on the phone in time."),
         Phase::failed("Nobody tapped Accept on the phone in time.")},
        {std::make_exception_ptr(Cancelled()), State::failed("Cancelled"), Phase::failed("Cancelled")},
        // Network failures name the phone instead of giving the system's text.
        {std::make_exception_ptr(std::system_error(std::make_error_code(std::errc::connection_refused))),
         State::failed("Couldn't reach \u2068Phone 0\u2069."), Phase::failed("Couldn't reach \u2068Phone 0\u2069.")},
        // A connection lost on the way reads as the transport's sentence, as the README says.
        {std::make_exception_ptr(std::system_error(std::make_error_code(std::errc::timed_out))),
         State::failed("The connection was closed."), Phase::failed("The connection was closed.")},
        {std::make_exception_ptr(ShareError::connectionClosed()), State::failed("The connection was closed."),
         Phase::failed("The connection was closed.")},
        // The engine's own wording goes to the log, the row has a sentence.
        {std::make_exception_ptr(QuickShareError::protocolError("too many or oversized pending messages")),
         State::failed(unreadable), Phase::failed(unreadable)},
        // A local file's failure is its own sentence, with no protocol prefix.
        {std::make_exception_ptr(FileError::shrank("/tmp/shrink.bin")),
         State::failed("\u2068shrink.bin\u2069 got shorter while it was sent."),
         Phase::failed("\u2068shrink.bin\u2069 got shorter while it was sent.")},
    };
    for (const auto& c : cases) {
        SendFixture f("quick");
        f.model.sendScript->errorAfterConfirm = c.error;
        f.openQR();
        ASSERT_TRUE(pumpUntil([&] { return !f.model->transfers().empty() && !f.model.row().state.isActive(); }));
        EXPECT_EQ(f.model.row().state, c.row);
        EXPECT_EQ(f.model->qrSend()->recipients.at(0).phase, c.recipient);
        EXPECT_FALSE(f.model->hasCanceler(f.model.row().id));
    }
}

TEST(AppModelSend, UnusablePhoneAddressFailsOnlyThatSend) {
    SendFixture f("askEachTime");
    *f.model.streamForPhone = []() -> std::shared_ptr<ByteStream> { throw std::invalid_argument("Bad address."); };
    f.model->send({f.file}, f.model.phone("p", "Pixel"));
    ASSERT_EQ(f.model->transfers().size(), 1u);
    EXPECT_EQ(f.model.row().state, State::failed("Bad address."));
    EXPECT_FALSE(f.model->hasCanceler(f.model.row().id));
    // The row shows a file's name as every view does: no override reverses its end.
    f.model->send({f.model.file("invoice\u202Efdp.sh")}, f.model.phone("q", "Other"));
    EXPECT_EQ(f.model.row().summary, "invoice_fdp.sh");
}

}  // namespace
}  // namespace velmo::test
