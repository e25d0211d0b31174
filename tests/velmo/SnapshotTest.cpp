// Renders every view in the light and the dark appearance on a common desktop screen
// (1920×1080 at 96 DPI), the Linux layout (no AirDrop), at the sizes users meet. With
// VELMO_SNAPSHOT_DIR set the pictures are written there as PNG files for people to look at;
// they are never compared. The sheets' QR codes are checked whole and read back with zbarimg.
#include "velmo/AppModelHarness.h"
#include "velmo/CodeReader.h"
#include "quickshare/QuickShareError.h"
#include "updatecore/UpdateText.h"
#include "velmo/model/SoftwareUpdates.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/DropZone.h"
#include "velmo/ui/IncomingPrompt.h"
#include "velmo/ui/MainWindow.h"
#include "velmo/ui/MenuBarWindow.h"
#include "velmo/ui/NetworkHint.h"
#include "velmo/ui/QRCodeView.h"
#include "velmo/ui/QRSendSheet.h"
#include "velmo/ui/SettingsView.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/WebReceiveSheet.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <filesystem>
#include <fstream>
#include <future>
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
        // Beside it, for windows on small screens: a netbook's, a 2× netbook's and a 2× laptop's; and a
        // large one at 1.5×.
        std::ofstream(file_) << R"({"screens": [{"name": "desktop", "x": 0, "y": 0, "width": 1920, "height": 1080,)"
                                R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1},)"
                                R"( {"name": "small", "x": 1920, "y": 0, "width": 1024, "height": 600,)"
                                R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1},)"
                                R"( {"name": "compact", "x": 3904, "y": 0, "width": 512, "height": 300, "dpr": 2},)"
                                R"( {"name": "hidpi", "x": 2944, "y": 0, "width": 960, "height": 540, "dpr": 2},)"
                                R"( {"name": "wide", "x": 0, "y": 2000, "width": 1280, "height": 720, "dpr": 1.5}]})";
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

// Finds release 2.0 once let go, so that the interface can be seen while a check runs.
struct HeldUpdateCheck : UpdateActions {
    std::optional<UpdateRelease> check(const UpdateFeed&, const std::atomic<bool>&) override {
        released.wait_for(10s);
        UpdateRelease release;
        release.version = "2.0";
        release.build = 9;
        return release;
    }
    std::promise<void> letGo;
    std::shared_future<void> released = letGo.get_future().share();
};

// No offer or code comparison times out while the pictures are taken.
HarnessOptions patientUser() {
    HarnessOptions options;
    options.sharingMode = "quick";
    options.timeouts.prompt = 1h;
    options.timeouts.peerCheck = 1h;
    return options;
}

struct Snapshots : ::testing::TestWithParam<Appearance> {
    Snapshots() : model(patientUser()) {
        ensureApplication();
        model.sharing->available = false;
        setAppearanceOverride(GetParam());
        model->start();
        model->setDeviceName("Studio <Desk>");
    }
    ~Snapshots() override { setAppearanceOverride(std::nullopt); }

    QImage save(const QImage& image, const char* name) {
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

    // `settle`: lists of transfers follow the model a moment later.
    QImage snap(QWidget& widget, const char* name, bool fit = true, std::chrono::milliseconds settle = 20ms) {
        if (fit) widget.adjustSize();
        widget.show();
        pumpFor(settle);
        return save(widget.grab().toImage(), name);
    }

    static QScrollArea* columnOf(MainWindow& window) {
        return window.content()->findChild<QScrollArea*>(QString(), Qt::FindDirectChildrenOnly);
    }
    // The tray's window as its icon opens it, in the top right corner.
    void snapTray(const char* name, SoftwareUpdates* updates = nullptr) {
        MenuBarWindow tray(*model, [] {}, [] {}, updates);
        tray.showPopup(QPoint(1900, 0));
        snap(*tray.popup(), name, false, 40ms);
    }

    // The settings as the gear opens them: the popover window, fitted to its content and edged.
    void snapSettings(const char* name, SoftwareUpdates* updates = nullptr) {
        QWidget anchor;
        anchor.setGeometry(1400, 100, 40, 40);
        anchor.show();
        QWidget* popover = showSettingsPopover(*model, &anchor, updates);
        snap(*popover, name, false);
        popover->close();
    }

    // The main window made tall enough for its whole column, as on a taller screen: the rows
    // below the usual lower edge are in the picture too.
    QImage snapWhole(MainWindow& window, const char* name) {
        window.show();
        pumpFor(40ms);
        QScrollArea* scroll = columnOf(window);
        QWidget* column = scroll->widget();
        const auto whole = [&] { return std::max({720, column->sizeHint().height(), column->heightForWidth(480)}); };
        // On a busy machine rows and layouts settle later: follow the column until it fits.
        pumpUntil([&] {
            if (window.height() != whole()) window.resize(480, whole());
            return window.height() == whole() && !scroll->verticalScrollBar()->isVisible();
        }, 2s);
        EXPECT_FALSE(scroll->verticalScrollBar()->isVisible()) << name << ": part of the column is out of sight";
        return save(window.grab().toImage(), name);
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

    const TransferItem* rowOf(const Uuid& id) {
        for (const auto& item : model->transfers())
            if (item.id == id) return &item;
        return nullptr;
    }
    void waitUntilFinished(const Uuid& id) {
        EXPECT_TRUE(pumpUntil([&] { return rowOf(id) && !rowOf(id)->state.isActive(); }));
    }
    // A phone connects; with `offer` it offers files and the model asks the user, without it
    // the phone says nothing yet. Returns the new row.
    Uuid phoneConnects(std::optional<QuickShareOffer> offer) {
        model.receive->holdBeforeOffer = !offer;
        if (offer) model.receive->offer = *offer;
        const auto before = model->transfers().size();
        model.advertiser->connect();
        EXPECT_TRUE(pumpUntil([&] { return offer ? model->incoming().has_value() : model->transfers().size() > before; }));
        return model.row().id;
    }
    // Sends to a phone until the model asks to compare the code; returns the new row.
    Uuid sendUntilCodeCheck(const std::string& phone, const std::vector<std::filesystem::path>& files) {
        model->send(files, model.phone(phone, phone));
        EXPECT_TRUE(pumpUntil([&] { return !model->transfers().empty() && model->hasPeerCheck(model.row().id); }));
        return model.row().id;
    }

    std::unique_ptr<SoftwareUpdates> updateController(std::shared_ptr<UpdateActions> actions) {
        SoftwareUpdates::Dependencies d;
        d.settings = settings.get();
        d.info = {{"CFBundleShortVersionString", "1.0"},
                  {"CFBundleVersion", "8"},
                  {"VelmoUpdateChannel", "live-x86_64"},
                  {"VelmoUpdatePublicKey", UpdateText::encodeBase64(Bytes(32, 7))}};
        d.bundle = model.temp / "Velmo.app";
        d.isReadyForUpdate = [this] { return model->isReadyForUpdate(); };
        d.hasSharingMode = [this] { return model->isSharingAllowed(); };
        d.presenter = std::make_shared<SilentUpdatePresenter>();
        d.actions = std::move(actions);
        return std::make_unique<SoftwareUpdates>(std::move(d));
    }

    AppModelHarness model;
    std::unique_ptr<QSettings> settings =
        std::make_unique<QSettings>(QString::fromStdString((model.temp / "Updates.conf").string()), QSettings::IniFormat);
};

TEST_P(Snapshots, Consent) {
    AppModelHarness undecided({.sharingMode = std::nullopt});
    MainWindow window(*undecided, nullptr, 1h);
    snap(window, "consent", false);
}

TEST_P(Snapshots, MainWindowEmptyAndBusy) {
    {
        MainWindow empty(*model, nullptr, 1h);
        snap(empty, "main-empty", false);
    }
    model->stageFiles({model.file("holiday-photo.jpg", 2'400'000), model.file("notes.pdf", 80'000),
                       model.file("song.mp3", 5'100'000), model.file("archive.zip", 12'000'000),
                       model.file("README", 900)});
    discover(3);
    phoneConnects(model.receive->offer);
    model->reportError("This Wi-Fi may block devices from reaching each other.");
    MainWindow busy(*model, nullptr, 1h);
    snap(busy, "main-busy", false);
    EXPECT_EQ(busy.size(), QSize(480, 720));
    // The column scrolls, and its scroll bar is drawn in the window's colours, as on the desktop.
    QScrollBar* bar = columnOf(busy)->verticalScrollBar();
    ASSERT_TRUE(bar->isVisible());
    const QImage track = bar->grab().toImage().scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    EXPECT_EQ(QColor(track.pixel(0, 0)).lightness() < 128, GetParam() == Appearance::dark);
    // Text sized like the layout leaves the staged files' card inside the window.
    auto* zone = busy.findChild<DropZone*>();
    ASSERT_NE(zone, nullptr);
    EXPECT_LE(zone->mapTo(&busy, QPoint(zone->width(), 0)).x(), busy.width() - 24);
    // The panel the application floats the question in; then seven files from a sender whose name
    // is too long for a line, also on a 2× laptop, where the list scrolls and the code stays in view.
    for (const std::string sender : {"", "Ana Beatriz’s Galaxy S25 Ultra (work phone, second SIM)"}) {
        // In its first second, then as it takes answers.
        IncomingPromptPresenter prompt(sender.empty() ? IncomingPromptPresenter::defaultAnswerDelay : 0ms);
        if (!sender.empty()) {
            model.receive->offer = {sender, "4581", std::vector<QuickShareOffer::File>(7, {"IMG_0042.jpg", 1'200'000})};
            phoneConnects(model.receive->offer);
            IncomingPromptPanel panel(*model, IncomingPromptPresenter::defaultAnswerDelay);
            for (QScreen* screen : QGuiApplication::screens())
                if (screen->devicePixelRatio() == 2) panel.setScreen(screen);
            panel.move(panel.screen()->geometry().topLeft());
            snap(panel, "incoming-prompt-many-2x", false, 40ms);
        }
        prompt.present(*model);
        ASSERT_NE(prompt.panel(), nullptr);
        snap(*prompt.panel(), sender.empty() ? "incoming-prompt" : "incoming-prompt-long-name", false);
        prompt.dismiss();
        model->answerIncoming(false);
        waitUntilFinished(model.row().id);
    }
    MainWindow declined(*model, nullptr, 1h);
    snapWhole(declined, "main-declined");
}

// Every state of a row, receiving and sending, and uploads from a browser, each list whole.
TEST_P(Snapshots, TransferRows) {
    MainWindow window(*model, nullptr, 1h);
    const auto photo = model.file("holiday-photo.jpg", 2'400'000);
    QuickShareOffer offer{"Pixel 9 Pro", "1234", {{"holiday-photo.jpg", 2'400'000}, {"notes.pdf", 80'000}}};
    phoneConnects(offer);
    model->answerIncoming(false);
    waitUntilFinished(model.row().id);
    model.receive->errorAfterAccept = std::make_exception_ptr(QuickShareError::cancelledByPhone());
    phoneConnects(offer);
    model->answerIncoming(true);
    waitUntilFinished(model.row().id);
    model.receive->errorAfterAccept = nullptr;
    model.receive->saved = {photo, model.file("notes.pdf", 80'000)};
    phoneConnects(offer);
    model->answerIncoming(true);
    waitUntilFinished(model.row().id);
    model->cancelTransfer(phoneConnects(std::nullopt));
    waitUntilFinished(model.row().id);
    const Uuid receiving = phoneConnects(std::nullopt);
    model->applyOffer(receiving, {"هاتف أحمد", "7310", {{"Screen recording 2024-05-02 at 18.41.07.mp4", 9'800'000}}},
                      TransferItem::State::transferring());
    model->setTransferProgress(receiving, 4'200'000, 9'800'000);
    phoneConnects(std::nullopt);
    offer.senderName = "Ana’s phone";
    offer.files.resize(1);
    phoneConnects(offer);
    snapWhole(window, "rows-receive");
    model->answerIncoming(false);
    for (const auto& item : std::vector<TransferItem>(model->transfers())) model->cancelTransfer(item.id);
    model->clearFinished();

    const std::vector<std::filesystem::path> files{photo};
    model.sendScript->pin = "4821";
    const Uuid check = sendUntilCodeCheck("Pixel 9 Pro", files);
    snap(window, "peer-check", false, 40ms);
    snapTray("tray-peer-check");
    model.sendScript->pin = "5678";
    model.sendScript->errorAfterConfirm = std::make_exception_ptr(QuickShareError::declined());
    model->answerPeerCheck(sendUntilCodeCheck("Galaxy S25", files), true);
    waitUntilFinished(model.row().id);
    model.sendScript->errorAfterConfirm = std::make_exception_ptr(QuickShareError::notEnoughSpace());
    model->answerPeerCheck(sendUntilCodeCheck("Pixel 7a", files), true);
    waitUntilFinished(model.row().id);
    model.sendScript->errorAfterConfirm = nullptr;
    const Uuid sent = sendUntilCodeCheck("Pixel 8", files);
    model->answerPeerCheck(sent, true);
    waitUntilFinished(sent);
    model->setTransferProgress(sent, 2'400'000, 2'400'000);  // the fake flow moves six bytes
    model->cancelTransfer(sendUntilCodeCheck("Galaxy A55", files));
    model.sendScript->holdAfterConfirm = true;
    model->answerPeerCheck(sendUntilCodeCheck("Ana’s phone", files), true);
    const Uuid sending = sendUntilCodeCheck("Galaxy S24", {photo, model.file("notes.pdf", 80'000)});
    model->answerPeerCheck(sending, true);
    pumpFor(20ms);
    model->setTransferState(sending, TransferItem::State::transferring());
    model->setTransferProgress(sending, 1'000'000, 2'480'000);
    ASSERT_TRUE(rowOf(check) && rowOf(check)->needsPeerCheck);
    snapWhole(window, "rows-send");
    snapTray("tray-transfer");
    for (const auto& item : std::vector<TransferItem>(model->transfers())) model->cancelTransfer(item.id);
    model->clearFinished();

    model->startWebReceive();
    ASSERT_TRUE(pumpUntil([&] { return window.content()->webReceiveSheet() != nullptr; }));
    const auto upload = [&](const std::string& name, std::int64_t size, const std::string& phone) {
        WebReceiveServer::Started started{Uuid::random(), name, size, phone};
        model->handleWebReceiveEvent(started);
        return started.id;
    };
    const Uuid saved = upload("IMG_20240502_184107.jpg", 3'400'000, "Pixel 7a");
    model->handleWebReceiveEvent(WebReceiveServer::Finished{saved, photo});
    model->handleWebReceiveEvent(WebReceiveServer::Failed{upload("Budget 2024.xlsx", 64'000, "SM-A556B"),
                                                          "The phone stopped sending."});
    const Uuid arriving = upload("VID_20240502_184300.mp4", 48'000'000, "Pixel 7a");
    model->handleWebReceiveEvent(WebReceiveServer::Progress{arriving, 17'500'000});
    snapSheet(*window.content()->webReceiveSheet(), "web-receive-uploads", model->webReceive()->url);
    snapWhole(window, "rows-web");
}

TEST_P(Snapshots, SettingsAndMenu) {
    snapSettings("settings");
    discover(2);
    MenuBarWindow tray(*model, [] {}, [] {});
    tray.showPopup(QPoint(1900, 0));
    snap(*tray.popup(), "menu", false);
    EXPECT_EQ(tray.popup()->width(), 372 + 2) << "the tray window grew with its content (1 px edges beside it)";
    for (auto* name : tray.popup()->findChildren<ElidedLabel*>(QStringLiteral("targetName")))
        EXPECT_EQ(name->text(), name->fullText()) << "a phone name that fits is cut";
    AppModelHarness undecided({.sharingMode = std::nullopt});
    MenuBarWindow locked(*undecided, [] {}, [] {});
    locked.showPopup(QPoint(1900, 0));
    snap(*locked.popup(), "menu-locked", false);
}

// What the update controller shows: its settings and tray button while a check runs, then the
// main window's notice of the release it found.
TEST_P(Snapshots, Updates) {
    auto check = std::make_shared<HeldUpdateCheck>();
    const auto updates = updateController(check);
    updates->checkIfDue();
    ASSERT_TRUE(updates->isBusy());
    snapSettings("update-checking-settings", updates.get());
    snapTray("update-checking-tray", updates.get());
    check->letGo.set_value();
    ASSERT_TRUE(pumpUntil([&] { return !updates->isBusy(); }));
    ASSERT_TRUE(updates->available());
    MainWindow window(*model, nullptr, 1h, updates.get());
    snap(window, "update-notice", false);
    snapSettings("update-settings", updates.get());
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

// Phones that joined a QR send in each phase, as the main window's sheet lists them.
TEST_P(Snapshots, QRSendRecipientPhases) {
    model->setSharingMode(SharingMode::askEachTime);
    MainWindow window(*model, nullptr, 1h);
    model->stageFiles({model.file("holiday-photo.jpg", 2'400'000), model.file("notes.pdf", 80'000)});
    model->startQRSend();
    ASSERT_TRUE(pumpUntil([&] { return window.content()->qrSendSheet() != nullptr; }));
    // A phone scans the code; returns once the model asks to compare the code with it.
    const auto joins = [&](const std::string& name) {
        const auto phone = model.phone(name, name, true);
        std::thread([&] { model.discovery->onQRMatch(phone); }).join();
        EXPECT_TRUE(pumpUntil([&] { return !model->transfers().empty() && model->hasPeerCheck(model.row().id); }));
        return model.row().id;
    };
    const auto phaseOf = [&](const std::string& name) {
        for (const auto& recipient : model->qrSend()->recipients)
            if (recipient.name == name) return recipient.phase.kind();
        return QRSend::Recipient::Phase::Kind::connecting;
    };
    using Kind = QRSend::Recipient::Phase::Kind;
    model->answerPeerCheck(joins("Pixel 9 Pro"), true);
    ASSERT_TRUE(pumpUntil([&] { return phaseOf("Pixel 9 Pro") == Kind::done; }));
    model.sendScript->errorAfterConfirm = std::make_exception_ptr(QuickShareError::declined());
    model->answerPeerCheck(joins("Galaxy S25"), true);
    ASSERT_TRUE(pumpUntil([&] { return phaseOf("Galaxy S25") == Kind::failed; }));
    model.sendScript->errorAfterConfirm = nullptr;
    model.sendScript->holdAfterConfirm = true;
    model->answerPeerCheck(joins("Pixel 7a"), true);
    model->answerPeerCheck(joins("Galaxy A55"), true);
    model->answerPeerCheck(joins("Moto g84"), true);
    ASSERT_TRUE(pumpUntil([&] { return phaseOf("Moto g84") == Kind::waitingForAccept; }));
    joins("Ana’s phone");
    // Connecting and sending pass too quickly in the fake flow to be caught: set as the flow would.
    model->updateRecipient("Galaxy A55", std::nullopt, [](QRSend::Recipient& r) {
        r.phase = QRSend::Recipient::Phase::sending();
        r.fraction = 0.42;
    });
    model->updateRecipient("Moto g84", std::nullopt,
                           [](QRSend::Recipient& r) { r.phase = QRSend::Recipient::Phase::connecting(); });
    snapSheet(*window.content()->qrSendSheet(), "qr-send-recipients", model->qrSend()->session.url());
}

INSTANTIATE_TEST_SUITE_P(Appearances, Snapshots, ::testing::Values(Appearance::light, Appearance::dark),
                         [](const auto& info) { return info.param == Appearance::dark ? "dark" : "light"; });

}  // namespace
}  // namespace velmo::test
