#include <gtest/gtest.h>

#include "velmo/AppModelHarness.h"

namespace velmo::test {
namespace {

using State = TransferItem::State;

TEST(AppModelAirDrop, UnavailableServiceSaysSoAndAddsNoRow) {
    AppModelHarness model;
    model->start();
    model.sharing->available = false;
    EXPECT_FALSE(model->isAirDropAvailable());
    model->sendViaAirDrop({model.file("a.txt")});
    EXPECT_EQ(model.status(), "AirDrop isn't available on this computer. Turn on Wi-Fi and Bluetooth.");
    EXPECT_TRUE(model->transfers().empty());
}

TEST(AppModelAirDrop, StandardServiceIsUnavailableOnLinux) {
    UnavailableSharingService service;
    EXPECT_FALSE(service.isAvailable());
}

TEST(AppModelAirDrop, RowSummaryAndOutcomes) {
    struct Case {
        int files;
        bool completed;
        bool userCancelled;
        std::string summary;
        State state;
    };
    const std::vector<Case> cases = {
        {1, true, false, "a0.txt", State::done()},
        {2, false, true, "2 files", State::failed("Cancelled")},
        {1, false, false, "a0.txt", State::failed("The device went away.")},
    };
    for (const auto& c : cases) {
        AppModelHarness model;
        model->start();
        AppModel::Files files;
        for (int i = 0; i < c.files; ++i) files.push_back(model.file("a" + std::to_string(i) + ".txt"));
        model->sendViaAirDrop(files);
        ASSERT_EQ(model->transfers().size(), 1u);
        EXPECT_EQ(model.row().peer, "AirDrop");
        EXPECT_EQ(model.row().summary, c.summary);
        EXPECT_EQ(model.row().state, State::awaitingAccept());
        EXPECT_EQ(model.sharing->performed, files);
        if (c.completed)
            model.sharing->delegate->didShareItems();
        else
            model.sharing->delegate->didFailToShareItems(c.userCancelled, "The device went away.");
        EXPECT_EQ(model.row().state, c.state);
    }
}

TEST(AppModelAirDrop, OpenQRSendGainsARecipient) {
    AppModelHarness model({.sharingMode = "quick"});
    model->start();
    model->stageFiles({model.file("a.txt")});
    model->startQRSend();
    model->sendViaAirDrop({model.file("b.txt")});
    ASSERT_EQ(model->qrSend()->recipients.size(), 1u);
    const auto& recipient = model->qrSend()->recipients[0];
    EXPECT_EQ(recipient.name, "Phone via AirDrop");
    EXPECT_EQ(recipient.id.rfind("airdrop-", 0), 0u);
    EXPECT_EQ(recipient.phase, QRSend::Recipient::Phase::connecting());
    model.sharing->delegate->didShareItems();
    EXPECT_EQ(model->qrSend()->recipients[0].phase, QRSend::Recipient::Phase::done());
}

}  // namespace
}  // namespace velmo::test
