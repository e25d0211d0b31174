// Renders every view in the light and the dark appearance. With VELMO_SNAPSHOT_DIR set the
// pictures are written there as PNG files for people to look at; they are never compared.
#include "velmo/AppModelHarness.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/IncomingPrompt.h"
#include "velmo/ui/MainWindow.h"
#include "velmo/ui/MenuBarWindow.h"
#include "velmo/ui/QRSendSheet.h"
#include "velmo/ui/SettingsView.h"
#include "velmo/ui/SharingConsentView.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/WebReceiveSheet.h"

#include <QDir>
#include <QImage>
#include <gtest/gtest.h>
#include <thread>

namespace velmo::test {
namespace {

using namespace std::chrono_literals;

struct Snapshots : ::testing::TestWithParam<Appearance> {
    Snapshots() : model({.sharingMode = "quick"}) {
        ensureApplication();
        setAppearanceOverride(GetParam());
        model->start();
        model->setDeviceName("Studio <Desk>");
    }
    ~Snapshots() override { setAppearanceOverride(std::nullopt); }

    void snap(QWidget& widget, const char* name, bool fit = true) {
        if (fit) widget.adjustSize();
        widget.show();
        pumpFor(20ms);
        const QImage image = widget.grab().toImage();
        EXPECT_FALSE(image.isNull()) << name;
        EXPECT_GT(image.width(), 100) << name;
        const QString folder = qEnvironmentVariable("VELMO_SNAPSHOT_DIR");
        if (folder.isEmpty()) return;
        QDir().mkpath(folder);
        const QString file = QStringLiteral("%1/%2-%3.png")
                                 .arg(folder, QString::fromLatin1(name),
                                      GetParam() == Appearance::dark ? QStringLiteral("dark") : QStringLiteral("light"));
        EXPECT_TRUE(image.save(file)) << file.toStdString();
    }

    void discover(int count) {
        std::vector<QuickSharePhone> phones;
        const char* names[] = {"Pixel 9 Pro", "Galaxy S25", "Ana’s phone"};
        for (int i = 0; i < count; ++i) phones.push_back(model.phone("p" + std::to_string(i), names[i % 3]));
        std::thread([&] { model.discovery->onPhones(phones); }).join();
        pumpUntil([&] { return model->quickSharePhones().size() == static_cast<std::size_t>(count); });
    }

    AppModelHarness model;
};

TEST_P(Snapshots, Consent) {
    SharingConsentView view(*model);
    snap(view, "consent");
}

TEST_P(Snapshots, MainWindowEmptyAndBusy) {
    {
        ContentView empty(*model);
        empty.resize(480, 700);
        snap(empty, "main-empty", false);
    }
    model->stageFiles({model.file("holiday-photo.jpg", 2'400'000), model.file("notes.pdf", 80'000),
                       model.file("song.mp3", 5'100'000), model.file("archive.zip", 12'000'000),
                       model.file("README", 900)});
    discover(3);
    model.receive->holdBeforeOffer = false;
    model.advertiser->connect();
    pumpUntil([&] { return model->incoming().has_value(); });
    model->reportError("This Wi-Fi may block devices from reaching each other.");
    ContentView busy(*model);
    busy.resize(480, 1100);
    snap(busy, "main-busy", false);
    IncomingPromptView prompt(*model);
    snap(prompt, "incoming-prompt");
    model->answerIncoming(false);
    pumpUntil([&] { return !model.row().state.isActive(); });
    ContentView declined(*model);
    declined.resize(480, 1100);
    snap(declined, "main-declined", false);
}

TEST_P(Snapshots, SettingsAndMenu) {
    SettingsView settings(*model);
    snap(settings, "settings");
    discover(2);
    MenuBarView menu(*model, [] {}, [] {});
    snap(menu, "menu");
    LockedMenu locked([] {}, [] {});
    snap(locked, "menu-locked");
}

TEST_P(Snapshots, Sheets) {
    model->stageFiles({model.file("holiday-photo.jpg", 2'400'000), model.file("notes.pdf", 80'000)});
    model->startQRSend();
    {
        QRSendSheet sheet(*model, nullptr, 5ms);
        pumpFor(30ms);
        snap(sheet, "qr-send");
    }
    auto phone = model.phone("p1", "Pixel 9 Pro", true);
    std::thread([&] { model.discovery->onQRMatch(phone); }).join();
    pumpUntil([&] { return model->qrSend() && !model->qrSend()->recipients.empty(); });
    {
        QRSendSheet sheet(*model);
        snap(sheet, "qr-send-recipient");
    }
    model->cancelQRSend();
    model->startWebReceive();
    pumpUntil([&] { return model->webReceive().has_value(); });
    WebReceiveSheet web(*model);
    snap(web, "web-receive");
}

INSTANTIATE_TEST_SUITE_P(Appearances, Snapshots, ::testing::Values(Appearance::light, Appearance::dark),
                         [](const auto& info) { return info.param == Appearance::dark ? "dark" : "light"; });

}  // namespace
}  // namespace velmo::test
