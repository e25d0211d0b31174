// Renders every view in the light and the dark appearance on a common desktop screen
// (1920×1080 at 96 DPI), the Linux layout (no AirDrop), at the sizes users meet. With
// VELMO_SNAPSHOT_DIR set the pictures are written there as PNG files for people to look at;
// they are never compared. The sheets' QR codes are checked whole and read back with zbarimg.
#include "velmo/AppModelHarness.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/DropZone.h"
#include "velmo/ui/IncomingPrompt.h"
#include "velmo/ui/MainWindow.h"
#include "velmo/ui/MenuBarWindow.h"
#include "velmo/ui/NetworkHint.h"
#include "velmo/ui/QRCodeView.h"
#include "velmo/ui/QRSendSheet.h"
#include "velmo/ui/SettingsView.h"
#include "velmo/ui/SharingConsentView.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/WebReceiveSheet.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace velmo::test {
namespace {

using namespace std::chrono_literals;

// The offscreen screen is 800×600 unless configured; the application is made after this runs.
class DesktopScreen : public ::testing::Environment {
public:
    void SetUp() override {
        if (QCoreApplication::instance() || qgetenv("QT_QPA_PLATFORM") != "offscreen") return;
        file_ = std::filesystem::temp_directory_path() / ("velmo-screen-" + std::to_string(getpid()) + ".json");
        // Beside it, for the tests of windows on small screens: a netbook's and a 2× laptop's.
        std::ofstream(file_) << R"({"screens": [{"name": "desktop", "x": 0, "y": 0, "width": 1920, "height": 1080,)"
                                R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1},)"
                                R"( {"name": "small", "x": 1920, "y": 0, "width": 1024, "height": 600,)"
                                R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1},)"
                                R"( {"name": "hidpi", "x": 2944, "y": 0, "width": 960, "height": 540,)"
                                R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 2}]})";
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + file_.c_str());
    }
    void TearDown() override {
        std::error_code ignored;
        if (!file_.empty()) std::filesystem::remove(file_, ignored);
    }

private:
    std::filesystem::path file_;
};
[[maybe_unused]] ::testing::Environment* const desktopScreen = ::testing::AddGlobalTestEnvironment(new DesktopScreen);

bool hintShown(QWidget& sheet) {
    auto* hint = sheet.findChild<NetworkHint*>();
    return hint && hint->isShown();
}

// What zbarimg reads from a picture: one line per code found.
std::string decodeQR(const QImage& image) {
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("code.png"));
    if (!image.save(file)) return "<not saved>";
    QProcess zbar;
    zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--nodbus"), QStringLiteral("-q"), QStringLiteral("--raw"), file});
    if (!zbar.waitForStarted()) return "<zbarimg missing: install zbar-tools>";
    zbar.waitForFinished();
    return QString::fromUtf8(zbar.readAllStandardOutput()).trimmed().toStdString();
}

struct Snapshots : ::testing::TestWithParam<Appearance> {
    Snapshots() : model({.sharingMode = "quick"}) {
        ensureApplication();
        model.sharing->available = false;
        setAppearanceOverride(GetParam());
        model->start();
        model->setDeviceName("Studio <Desk>");
    }
    ~Snapshots() override { setAppearanceOverride(std::nullopt); }

    QImage snap(QWidget& widget, const char* name, bool fit = true) {
        if (fit) widget.adjustSize();
        widget.show();
        pumpFor(20ms);
        const QImage image = widget.grab().toImage();
        EXPECT_FALSE(image.isNull()) << name;
        EXPECT_GT(image.width(), 100) << name;
        const QString folder = qEnvironmentVariable("VELMO_SNAPSHOT_DIR");
        if (folder.isEmpty()) return image;
        QDir().mkpath(folder);
        const QString file = QStringLiteral("%1/%2-%3.png")
                                 .arg(folder, QString::fromLatin1(name),
                                      GetParam() == Appearance::dark ? QStringLiteral("dark") : QStringLiteral("light"));
        EXPECT_TRUE(image.save(file)) << file.toStdString();
        return image;
    }

    // Shows a sheet as it opens (it sizes itself) and checks that its QR code is whole: the
    // tile at full size, inside the sheet, nothing drawn over it, and readable.
    void snapSheet(QDialog& sheet, const char* name, const std::string& url) {
        sheet.show();
        pumpFor(30ms);
        const QImage image = snap(sheet, name, false);
        auto* code = sheet.findChild<QRCodeView*>();
        ASSERT_NE(code, nullptr) << name;
        EXPECT_EQ(code->size(), QSize(232, 232)) << name;
        const QRect onSheet(code->mapTo(&sheet, QPoint(0, 0)), code->size());
        EXPECT_TRUE(sheet.rect().contains(onSheet)) << name << ": the code lies outside the sheet";
        for (QWidget* other : sheet.findChildren<QWidget*>()) {
            if (!other->isVisible() || other == code || other->isAncestorOf(code) || code->isAncestorOf(other)) continue;
            const QRect rect(other->mapTo(&sheet, QPoint(0, 0)), other->size());
            EXPECT_FALSE(rect.intersects(onSheet)) << name << ": " << other->metaObject()->className() << " over the code";
        }
        EXPECT_EQ(decodeQR(image), url) << name;
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
        empty.resize(480, 720);
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
    busy.resize(480, 720);
    snap(busy, "main-busy", false);
    // Text sized like the layout leaves the staged files' card inside the window.
    auto* zone = busy.findChild<DropZone*>();
    ASSERT_NE(zone, nullptr);
    EXPECT_LE(zone->mapTo(&busy, QPoint(zone->width(), 0)).x(), busy.width() - 24);
    IncomingPromptView prompt(*model);
    snap(prompt, "incoming-prompt");
    model->answerIncoming(false);
    pumpUntil([&] { return !model.row().state.isActive(); });
    ContentView declined(*model);
    declined.resize(480, 720);
    snap(declined, "main-declined", false);
}

TEST_P(Snapshots, SettingsAndMenu) {
    SettingsView settings(*model);
    snap(settings, "settings");
    discover(2);
    MenuBarView menu(*model, [] {}, [] {});
    snap(menu, "menu");
    EXPECT_EQ(menu.width(), 372) << "the tray window grew with its content";
    for (auto* name : menu.findChildren<ElidedLabel*>(QStringLiteral("targetName")))
        EXPECT_EQ(name->text(), name->fullText()) << "a phone name that fits is cut";
    LockedMenu locked([] {}, [] {});
    snap(locked, "menu-locked");
}

TEST_P(Snapshots, SheetsShowTheirCodeWhole) {
    model->stageFiles({model.file("holiday-photo.jpg", 2'400'000), model.file("notes.pdf", 80'000)});
    model->startQRSend();
    const std::string sendURL = model->qrSend()->session.url();
    {
        QRSendSheet sheet(*model, nullptr, 1h);
        snapSheet(sheet, "qr-send", sendURL);
        // The hint waiting to show adds no space: the steps keep one spacing to what follows.
        const auto steps = sheet.findChildren<StepRow*>();
        auto* below = sheet.findChild<QLabel*>(QStringLiteral("openCodeLine"));
        ASSERT_FALSE(steps.empty());
        ASSERT_NE(below, nullptr);
        EXPECT_EQ(below->mapTo(&sheet, QPoint(0, 0)).y() - steps.back()->mapTo(&sheet, QPoint(0, steps.back()->height())).y(),
                  24);
    }
    {
        QRSendSheet sheet(*model, nullptr, 5ms);
        sheet.show();
        ASSERT_TRUE(pumpUntil([&] { return hintShown(sheet); }));
        snapSheet(sheet, "qr-send-hint", sendURL);
    }
    auto phone = model.phone("p1", "Pixel 9 Pro", true);
    std::thread([&] { model.discovery->onQRMatch(phone); }).join();
    pumpUntil([&] { return model->qrSend() && !model->qrSend()->recipients.empty(); });
    {
        QRSendSheet sheet(*model);
        snapSheet(sheet, "qr-send-recipient", sendURL);
    }
    model->cancelQRSend();
    model->startWebReceive();
    pumpUntil([&] { return model->webReceive().has_value(); });
    const std::string receiveURL = model->webReceive()->url;
    {
        WebReceiveSheet web(*model, nullptr, 1h);
        snapSheet(web, "web-receive", receiveURL);
    }
    WebReceiveSheet web(*model, nullptr, 5ms);
    web.show();
    ASSERT_TRUE(pumpUntil([&] { return hintShown(web); }));
    snapSheet(web, "web-receive-hint", receiveURL);
}

INSTANTIATE_TEST_SUITE_P(Appearances, Snapshots, ::testing::Values(Appearance::light, Appearance::dark),
                         [](const auto& info) { return info.param == Appearance::dark ? "dark" : "light"; });

}  // namespace
}  // namespace velmo::test
