#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>

#include "platform/Runtime.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/QuickShareSender.h"
#include "support/MemoryStream.h"
#include "velmo/AppModelHarness.h"

namespace velmo::test {
namespace {

using Entries = std::vector<std::string>;

TEST(AppModelLifecycle, WithoutModeStartWaitsThenChoosingStartsInOrder) {
    AppModelHarness model({.sharingMode = std::nullopt});
    model->start();
    EXPECT_TRUE(model->started());
    EXPECT_TRUE(model.log.entries().empty());
    EXPECT_EQ(*model.updateChecks, 0);

    model->setSharingMode(SharingMode::quick);
    EXPECT_EQ(model.log.entries(), (Entries{"discovery.qr none", "discovery.callbacks", "discovery.ignore OWNSERVICENAME",
                                             "discovery.start", "advertiser.start Test computer", "updates.checkIfDue"}));
}

TEST(AppModelLifecycle, StartRunsOnce) {
    AppModelHarness model;
    model->start();
    auto first = model.log.entries();
    EXPECT_EQ(first.back(), "updates.checkIfDue");
    model->start();
    EXPECT_EQ(model.log.entries(), first);
}

TEST(AppModelLifecycle, ChoosingTheSameModeChangesNothing) {
    AppModelHarness model({.sharingMode = "quick"});
    model->start();
    model->stageFiles({model.file("a.txt")});
    model->startQRSend();
    ASSERT_TRUE(model->qrSend());
    model->setSharingMode(SharingMode::quick);
    EXPECT_TRUE(model->qrSend());
}

TEST(AppModelLifecycle, SwitchingModesEndsSessionsButKeepsDiscovery) {
    AppModelHarness model({.sharingMode = "quick"});
    model->start();
    model->stageFiles({model.file("a.txt")});
    model->startQRSend();
    model->setSharingMode(SharingMode::askEachTime);
    EXPECT_FALSE(model->qrSend());
    auto entries = model.log.entries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "discovery.start"), 1);
    EXPECT_EQ(model->staged().size(), 1u);  // no phone joined: the files come back
}

TEST(AppModelLifecycle, AdvertisingFollowsReceivingAndQuickSession) {
    for (const char* mode : {"quick", "askEachTime"}) {
        AppModelHarness model({.sharingMode = mode});
        model->start();
        model->setReceiveFromAndroid(false);
        EXPECT_EQ(model.log.entries().back(), "advertiser.stop");
        int starts = model.advertiser->starts;
        model->startWebReceive();
        ASSERT_TRUE(pumpUntil([&] { return model->webReceive().has_value(); }));
        bool quick = std::string(mode) == "quick";
        EXPECT_EQ(model.advertiser->starts, starts + (quick ? 1 : 0)) << mode;
        model->stopWebReceive();
        EXPECT_EQ(model.log.entries().back(), "advertiser.stop") << mode;
    }
}

TEST(AppModelLifecycle, RenamesRestartTheAdvertiserOnceAfterTheLastEdit) {
    AppModelHarness model;
    model->start();
    int starts = model.advertiser->starts;
    for (const char* name : {"A", "AB", "ABC"}) {
        model->setDeviceName(name);
        pumpFor(std::chrono::milliseconds(30));
    }
    EXPECT_EQ(model.advertiser->starts, starts);
    ASSERT_TRUE(pumpUntil([&] { return model.advertiser->starts > starts; }));
    EXPECT_EQ(model.log.entries().back(), "advertiser.start ABC");
    pumpFor(std::chrono::milliseconds(200));
    EXPECT_EQ(model.advertiser->starts, starts + 1);

    // The same name again still restarts once.
    model->setDeviceName("ABC");
    ASSERT_TRUE(pumpUntil([&] { return model.advertiser->starts == starts + 2; }));
}

TEST(AppModelLifecycle, RenameBeforeSharingRestartsNothing) {
    AppModelHarness model({.sharingMode = std::nullopt});
    model->setDeviceName("Other");
    pumpFor(std::chrono::milliseconds(200));
    EXPECT_EQ(model.advertiser->starts, 0);
}

TEST(AppModelLifecycle, AdvertiserFailureGoesToTheStatusLine) {
    AppModelHarness model;
    model.advertiser->failStart = true;
    model->start();
    EXPECT_EQ(model.status(), "Couldn't show this computer to Android phones: Address already in use");
    EXPECT_TRUE(model.log.contains("discovery.start"));
}

TEST(AppModelLifecycle, EngineErrorsReachTheStatusLineOnTheGuiThread) {
    AppModelHarness model;
    model->start();
    std::thread([&] { model.discovery->onError("Quick Share discovery failed: boom"); }).join();
    EXPECT_EQ(model.status(), "");
    ASSERT_TRUE(pumpUntil([&] { return model.status() == "Quick Share discovery failed: boom"; }));
}

TEST(AppModelLifecycle, CanShareNowRefusesWhileReplacingAndStopsNothing) {
    AppModelHarness model;
    model->start();
    *model.replacing = true;
    auto before = model.log.entries();
    EXPECT_FALSE(model->canShareNow());
    EXPECT_EQ(model.log.entries(), before);
    *model.replacing = false;
    EXPECT_TRUE(model->canShareNow());
}

TEST(AppModelLifecycle, WorkBeforeAModeIsChosenIsRefusedAndStopsEverything) {
    AppModelHarness model({.sharingMode = std::nullopt});
    model->start();
    model->stageFiles({model.file("a.txt")});
    model->startWebReceive();
    model->startQRSend();
    EXPECT_FALSE(model->hasWebServer());
    EXPECT_FALSE(model->qrSend());
    EXPECT_EQ(model->staged().size(), 1u);  // staged files stay staged
    auto entries = model.log.entries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "advertiser.stop"), 2);
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "discovery.stop"), 2);
    EXPECT_FALSE(model.log.contains("discovery.start"));
}

TEST(AppModelLifecycle, UpdateCheckOnActivationOnlyOnceSharing) {
    AppModelHarness model({.sharingMode = std::nullopt});
    model->didBecomeActive();
    model->start();
    model->didBecomeActive();
    EXPECT_EQ(*model.updateChecks, 0);
    model->setSharingMode(SharingMode::askEachTime);
    model->didBecomeActive();
    EXPECT_EQ(*model.updateChecks, 2);
}

TEST(AppModelLifecycle, ReadyForUpdateOnlyWhenIdle) {
    AppModelHarness model;
    model->start();
    EXPECT_TRUE(model->isReadyForUpdate());
    model->stageFiles({model.file("a.txt")});
    EXPECT_FALSE(model->isReadyForUpdate());
    model->removeStaged(model.temp / "a.txt");
    EXPECT_TRUE(model->isReadyForUpdate());
    model->handleWebReceiveEvent(WebReceiveServer::Started{Uuid::random(), "x", 1, "Phone"});
    EXPECT_FALSE(model->isReadyForUpdate());  // a transferring row
    model->cancelTransfer(model.row().id);
    EXPECT_TRUE(model->isReadyForUpdate());
}

// Quitting during an accepted receive: the phone hears the cancel (it is not just cut off), the
// part file goes, and nothing new is taken while the flow says goodbye.
TEST(AppModelLifecycle, QuittingCancelsRunningTransfersAndTellsThePhone) {
    AppModelHarness model({.sharingMode = "askEachTime", .realEngine = true});
    model->start();
    TempFolder phoneFolder;
    const auto video = phoneFolder / "video.mp4";
    phoneFolder.write("video.mp4", "");
    std::filesystem::resize_file(video, 8 << 20);
    auto pair = MemoryStreamPair::create(Runtime::shared().executor(), 64 << 10);
    pair.a->setWriteDelay(std::chrono::milliseconds(20));  // a slow phone, still sending at the quit
    std::thread([&] { model.advertiser->listener(pair.b); }).join();
    auto sent = asio::co_spawn(
        Runtime::shared().executor(),
        QuickShareSender::send({video}, pair.a, "Pixel", std::nullopt, nullptr, [](const QuickShareSender::Status&) {},
                               [](std::int64_t, std::int64_t) {}),
        asio::use_future);
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }, std::chrono::seconds(10)));
    model->answerIncoming(true);
    ASSERT_TRUE(pumpUntil([&] { return model.row().done > 0; }, std::chrono::seconds(10)));
    const auto partFiles = [&] {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(model.temp.path()))
            count += entry.path().extension() == ".part";
        return count;
    };
    EXPECT_EQ(partFiles(), 1);

    bool settled = false;
    model->quit(std::chrono::seconds(5), [&] { settled = true; });
    EXPECT_FALSE(settled);
    EXPECT_FALSE(model->canShareNow());
    ASSERT_TRUE(pumpUntil([&] { return settled; }, std::chrono::seconds(10)));
    EXPECT_EQ(model.row().state, TransferItem::State::failed("Cancelled"));
    EXPECT_EQ(partFiles(), 0);
    ASSERT_EQ(sent.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    try {
        sent.get();
        ADD_FAILURE() << "the send ended as delivered";
    } catch (const QuickShareError& error) {
        EXPECT_EQ(error.kind(), QuickShareError::Kind::cancelledByPhone) << error.what();
    } catch (const std::exception& error) {
        ADD_FAILURE() << "the phone was cut off: " << error.what();
    }

    // With nothing running, quitting settles at once.
    AppModelHarness idle;
    idle->start();
    bool idleSettled = false;
    idle->quit(std::chrono::seconds(5), [&] { idleSettled = true; });
    EXPECT_TRUE(idleSettled);
}

// Quitting with two receives running waits until both have ended, not only the first.
TEST(AppModelLifecycle, QuitWaitsForEveryRunningTransfer) {
    AppModelHarness model;
    model->start();
    model.receive->holdAfterAccept = true;
    for (int i = 0; i < 2; ++i) {
        model.advertiser->connect();
        ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
        model->answerIncoming(true);
    }
    ASSERT_TRUE(pumpUntil([&] { return model.row(1).state == TransferItem::State::transferring(); }));
    const std::vector<Uuid> ids = {model.row(0).id, model.row(1).id};
    bool settled = false;
    bool stillRunning = true;
    model->quit(std::chrono::seconds(5), [&] {
        settled = true;
        stillRunning = model->hasCanceler(ids[0]) || model->hasCanceler(ids[1]);
    });
    ASSERT_TRUE(pumpUntil([&] { return settled; }));
    EXPECT_FALSE(stillRunning);
    EXPECT_EQ(model.receive->ended, 2);
}

TEST(AppModelLifecycle, EqualAssignmentsNotifyNobody) {
    AppModelHarness model;
    int receive = 0;
    QObject::connect(model.model.get(), &AppModel::receiveFromAndroidChanged, [&] { ++receive; });
    int name = 0;
    QObject::connect(model.model.get(), &AppModel::deviceNameChanged, [&] { ++name; });
    model->setReceiveFromAndroid(true);
    model->setDeviceName("Test computer");
    EXPECT_EQ(receive, 0);
    EXPECT_EQ(name, 0);
    model->setReceiveFromAndroid(false);
    EXPECT_EQ(receive, 1);
}

}  // namespace
}  // namespace velmo::test
