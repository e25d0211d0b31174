// Windows, sheets and the settings popover on short screens: each opens within the screen's
// available area and stays there as its content grows, with its buttons in view, and the
// keyboard reaches all of it.
#include "velmo/AppModelHarness.h"
#include "velmo/ScreenChecks.h"
#include "velmo/ui/DeviceList.h"
#include "velmo/ui/DropZone.h"
#include "velmo/ui/ElidedLabel.h"
#include "velmo/ui/IncomingPrompt.h"
#include "velmo/ui/MainWindow.h"
#include "velmo/ui/MenuBarWindow.h"
#include "velmo/ui/StepRow.h"
#include "velmo/ui/TransferRow.h"
#include "velmo/ui/WindowFitter.h"

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace velmo::test {
namespace {

using namespace std::chrono_literals;

struct ScreenFit : ::testing::TestWithParam<const char*> {
    // No offer or code comparison times out while a busy machine gets to the checks.
    ScreenFit() : model({.sharingMode = std::nullopt, .timeouts = {10s, 10s, 100ms}}) {
        ensureApplication();
        model->start();
        screen = screenNamed(GetParam());
    }
    void place(QWidget& window) {
        window.setScreen(screen);
        window.move(screen->availableGeometry().topLeft() + QPoint(40, 60));
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    AppModelHarness model;
    QScreen* screen = nullptr;
};

TEST_P(ScreenFit, WindowsAndSheetsStayOnTheScreenAsTheyGrow) {
    ASSERT_NE(screen, nullptr) << "the offscreen screens are configured by the snapshot tests' environment";
    MainWindow window(*model, nullptr, 10s);
    place(window);
    expectOnScreen(&window, screen, "first-run window");
    expectInView(button(&window, QStringLiteral("Ask each time")), "Ask each time");
    button(&window, QStringLiteral("Allow quick sharing"))->click();
    expectOnScreen(&window, screen, "main window");
    expectInView(window.findChild<QPushButton*>(QStringLiteral("settingsButton")), "settings button");

    model->stageFiles({model.file("a.txt", 6)});
    model->startQRSend();
    ASSERT_TRUE(pumpUntil([&] { return window.content()->qrSendSheet() != nullptr; }));
    QDialog* qr = window.content()->qrSendSheet();
    expectOnScreen(qr, screen, "QR send sheet");
    expectInView(qr->findChild<QPushButton*>(QStringLiteral("footerButton")), "QR send sheet's Cancel");
    // Under the code, the steps whole and the quick mode's warning.
    for (StepRow* step : qr->findChildren<StepRow*>()) expectInView(step, "a step");
    expectInView(qr->findChild<QLabel*>(QStringLiteral("openCodeLine")), "the open code's warning");
    for (int i = 0; i < 6; ++i) model->addQRRecipient(model.phone("p" + std::to_string(i), "Phone", true));
    ASSERT_TRUE(pumpUntil([&] { return qr->findChildren<QLabel*>(QStringLiteral("recipientStatus")).size() == 6; }));
    expectOnScreen(qr, screen, "QR send sheet with six phones");
    expectInView(qr->findChild<QPushButton*>(QStringLiteral("footerButton")), "QR send sheet's footer button");
    // Taller than its window, the sheet scrolls from the keyboard, from itself and from its footer.
    QScrollBar* bar = qr->findChild<QScrollArea*>(QStringLiteral("fittedScroll"))->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    for (QWidget* from : {static_cast<QWidget*>(qr), qr->findChild<QWidget*>(QStringLiteral("footerButton"))}) {
        bar->setValue(0);
        QTest::keyClick(from, Qt::Key_PageDown);
        EXPECT_GT(bar->value(), 0) << "Page Down";
        QTest::keyClick(from, Qt::Key_End);
        EXPECT_EQ(bar->value(), bar->maximum()) << "End";
        QTest::keyClick(from, Qt::Key_PageUp);
        EXPECT_LT(bar->value(), bar->maximum()) << "Page Up";
        QTest::keyClick(from, Qt::Key_Home);
        EXPECT_EQ(bar->value(), 0) << "Home";
        QTest::keyClick(from, Qt::Key_Down);
        EXPECT_GT(bar->value(), 0) << "Down";
        QTest::keyClick(from, Qt::Key_Up);
        EXPECT_EQ(bar->value(), 0) << "Up";
    }
    model->cancelQRSend();

    model->startWebReceive();
    ASSERT_TRUE(pumpUntil([&] { return window.content()->webReceiveSheet() != nullptr; }));
    QDialog* web = window.content()->webReceiveSheet();
    expectOnScreen(web, screen, "web receive sheet");
    expectInView(button(web, QStringLiteral("Cancel")), "web receive sheet's Cancel");
    // Rows stay the same widgets as others come; Escape leaves running uploads alone.
    QPointer<QWidget> first;
    for (int i = 0; i < 20; ++i) {
        model->handleWebReceiveEvent(WebReceiveServer::Started{Uuid::random(), "photo.jpg", 1000, "Phone"});
        if (i == 0 && pumpUntil([&] { return web->findChild<TransferRow*>() != nullptr; })) first = web->findChild<TransferRow*>();
    }
    ASSERT_TRUE(pumpUntil([&] { return button(web, QStringLiteral("Done")) != nullptr; }));
    const auto rows = [&] {
        QList<TransferRow*> shown = web->findChildren<TransferRow*>();
        shown.removeIf([](TransferRow* row) { return !row->isVisible(); });
        return shown;
    };
    ASSERT_TRUE(pumpUntil([&] { return rows().size() == 20; }));
    EXPECT_TRUE(first && first->isVisible()) << "the first upload's row was made anew";
    // Tab follows the rows as shown, newest first, then reaches Done.
    QWidget* column = web->findChild<QScrollArea*>(QStringLiteral("fittedScroll"))->widget();
    const auto down = [&] {
        QWidget* at = web->focusWidget();
        return column->isAncestorOf(at) ? at->mapTo(column, QPoint()).y() : -1;
    };
    // From the sheet as the uploads left it, the first Tab reaches the newest row.
    QTest::keyClick(web->focusWidget() ? web->focusWidget() : web, Qt::Key_Tab);
    for (TransferRow* row : rows()) {
        if (row->item().id == model->transfers().front().id) {
            EXPECT_EQ(web->focusWidget(), row->findChild<QPushButton*>());
        }
    }
    for (int tab = 0, was = down(); tab < 19; ++tab, was = down()) {
        QTest::keyClick(web->focusWidget(), Qt::Key_Tab);
        EXPECT_GT(down(), was) << tab;
    }
    QTest::keyClick(web->focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(web->focusWidget(), button(web, QStringLiteral("Done")));
    // Escape leaves the running uploads alone: checked once what it set going has run.
    QTest::keyClick(web, Qt::Key_Escape);
    runPosted();
    ASSERT_TRUE(model->webReceive().has_value());
    ASSERT_TRUE(web->isVisible());
    expectOnScreen(web, screen, "web receive sheet with twenty uploads");
    expectInView(button(web, QStringLiteral("Done")), "web receive sheet's Done");
    model->stopWebReceive();

    // The tray window with many phones, opened at the screen's bottom corner.
    std::vector<QuickSharePhone> phones;
    for (int i = 0; i < 12; ++i) phones.push_back(model.phone("n" + std::to_string(i), "Phone " + std::to_string(i)));
    std::thread([&] { model.discovery->onPhones(phones); }).join();
    ASSERT_TRUE(pumpUntil([&] { return model->quickSharePhones().size() == phones.size(); }));
    MenuBarWindow tray(*model, [] {}, [] {});
    tray.showPopup(screen->availableGeometry().bottomRight());
    expectOnScreen(tray.popup(), screen, "tray window with twelve phones");
    expectInView(button(tray.popup(), QStringLiteral("Quit")), "tray window's Quit");
    // Scrolled to its end, the list brings the control Tab reaches from the bottom bar into view.
    QPushButton* quit = button(tray.popup(), QStringLiteral("Quit"));
    quit->setFocus(Qt::TabFocusReason);
    QTest::keyClick(quit, Qt::Key_End);
    QScrollBar* list = tray.popup()->findChild<QScrollArea*>(QStringLiteral("fittedScroll"))->verticalScrollBar();
    ASSERT_GT(list->value(), 0);
    QTest::keyClick(quit, Qt::Key_Tab);
    ASSERT_NE(QApplication::focusWidget(), quit);
    expectInView(QApplication::focusWidget(), "the control after the tray window's Quit");
}

// A desktop that draws a 20-pixel frame around each window it has told of: at once when asked
// before the window shows, or only when the test announces it.
struct TwentyPixelFrames : FrameSource {
    static constexpr QMargins margins{20, 20, 20, 20};
    std::optional<QMargins> frame(const QWidget* window) override {
        return told.count(window) ? std::optional(margins) : std::nullopt;
    }
    void request(QWidget* window) override {
        if (answersRequests) told.insert(window);
    }
    bool answersRequests = true;
    std::set<const QWidget*> told;
};

// Puts a desktop's frames in place for one test.
struct FramesInPlace {
    explicit FramesInPlace(TwentyPixelFrames* frames) { setFrameSource(std::unique_ptr<FrameSource>(frames)); }
    ~FramesInPlace() { setFrameSource(nullptr); }
};

// The prompt opens centred on the main window's screen (the primary one without it) with its
// whole frame on the screen, and the code to compare, its sentence and both answers are in view
// together, whatever scrolls.
TEST_P(ScreenFit, IncomingPromptOpensCentredWithItsCodeAndAnswersInView) {
    ASSERT_NE(screen, nullptr);
    auto* frames = new TwentyPixelFrames;
    FramesInPlace inPlace(frames);
    model.receive->offer.senderName = "A phone with a name long enough to take two lines in the prompt's header";
    model.receive->offer.files.clear();
    for (int i = 0; i < 7; ++i) model.receive->offer.files.push_back({"f" + std::to_string(i) + ".txt", 1000});
    model->setSharingMode(SharingMode::askEachTime);
    const auto offer = [&] {
        model.advertiser->connect();
        ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    };
    const auto expectCentredOn = [&](QWidget* panel, QScreen* on, const char* what) {
        const QRect outer = panel->geometry().marginsAdded(TwentyPixelFrames::margins);
        const QRect area = on->availableGeometry();
        EXPECT_TRUE(area.contains(outer)) << what << ": frame " << show(outer) << " on " << show(area);
        const QPoint off = outer.center() - area.center();
        EXPECT_LE(off.manhattanLength(), 1) << what << ": frame " << show(outer) << " on " << show(area);
    };
    IncomingPromptPresenter presenter;
    offer();
    presenter.present(*model);
    ASSERT_NE(presenter.panel(), nullptr);
    expectCentredOn(presenter.panel(), QGuiApplication::primaryScreen(), "prompt without a main window");
    model->answerIncoming(false);

    MainWindow window(*model);
    place(window);
    offer();
    presenter.present(*model);
    QDialog* panel = presenter.panel();
    ASSERT_NE(panel, nullptr);
    expectCentredOn(panel, screen, "prompt as it opens");
    ASSERT_TRUE(QTest::qWaitForWindowExposed(panel));
    runPosted();
    expectCentredOn(panel, screen, "prompt");
    expectInView(button(panel, QStringLiteral("Accept")), "prompt's Accept");
    expectInView(button(panel, QStringLiteral("Decline")), "prompt's Decline");
    expectInView(panel->findChild<QLabel*>(QStringLiteral("pin")), "prompt's code");
    expectInView(panel->findChild<QLabel*>(QStringLiteral("pinSentence")), "prompt's code sentence");
    expectWhole(panel, "prompt");
    model->answerIncoming(false);

    // A desktop that tells the frame only once the window shows: the prompt is fitted again then.
    frames->answersRequests = false;
    offer();
    presenter.present(*model);
    panel = presenter.panel();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(panel));
    frames->told.insert(panel);
    announceFrameChange(panel);
    const auto outer = [&] { return panel->geometry().marginsAdded(TwentyPixelFrames::margins); };
    EXPECT_TRUE(pumpUntil([&] { return screen->availableGeometry().contains(outer()); }))
        << "prompt framed late: " << show(outer()) << " on " << show(screen->availableGeometry());
    expectInView(button(panel, QStringLiteral("Accept")), "prompt's Accept framed late");
    model->answerIncoming(false);
}

// A button that takes itself away hands the focus to the nearest control of its list, and the
// column stays where the user had scrolled it; Return presses the focused button as Space does.
TEST_P(ScreenFit, FocusStaysInItsListWhenItsButtonGoesAway) {
    ASSERT_NE(screen, nullptr);
    model->setSharingMode(SharingMode::askEachTime);
    MainWindow window(*model);
    place(window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    std::vector<std::filesystem::path> files;
    for (int i = 0; i < 6; ++i) files.push_back(model.file("f" + std::to_string(i) + ".txt", 1000));
    model->stageFiles(files);
    std::vector<QuickSharePhone> phones;
    for (int i = 0; i < 10; ++i) phones.push_back(model.phone("p" + std::to_string(i), "Phone " + std::to_string(i)));
    std::thread([&] { model.discovery->onPhones(phones); }).join();
    QScrollBar* bar = window.content()->findChild<QScrollArea*>()->verticalScrollBar();
    ASSERT_TRUE(pumpUntil([&] { return bar->maximum() > 300; }));
    const auto removeButton = [&](const QString& file) {
        for (auto* candidate : window.findChild<DropZone*>()->findChildren<QPushButton*>(QStringLiteral("removeFile")))
            if (candidate->accessibleName() == QStringLiteral("Remove ") + file && candidate->isVisible()) return candidate;
        return static_cast<QPushButton*>(nullptr);
    };
    bar->setValue(100);
    QPushButton* second = removeButton(QStringLiteral("f1.txt"));
    ASSERT_NE(second, nullptr);
    second->setFocus(Qt::TabFocusReason);
    for (const auto& [key, next] : {std::pair{Qt::Key_Space, "f2.txt"}, std::pair{Qt::Key_Return, "f3.txt"}}) {
        const auto staged = model->staged().size();
        QTest::keyClick(QApplication::focusWidget(), key);
        EXPECT_EQ(model->staged().size(), staged - 1) << key;
        EXPECT_TRUE(pumpUntil([&, next = next] { return QApplication::focusWidget() == removeButton(QString::fromLatin1(next)); }))
            << key;
        EXPECT_EQ(bar->value(), 100) << key;
    }

    // "Send" on a phone: its row now offers "Send Files…" and keeps the focus.
    TargetRow* row = window.findChildren<TargetRow*>().at(3);
    const QString phone = row->findChild<ElidedLabel*>(QStringLiteral("targetName"))->fullText();
    auto* send = row->findChild<QPushButton*>(QStringLiteral("targetButton"));
    bar->setValue(bar->maximum() / 2);
    window.content()->findChild<QScrollArea*>()->ensureWidgetVisible(send);
    const int scrolled = bar->value();
    ASSERT_GT(scrolled, 0);
    send->setFocus(Qt::TabFocusReason);
    QTest::keyClick(send, Qt::Key_Return);
    ASSERT_TRUE(pumpUntil([&] { return !model->transfers().empty(); }));
    // The focus settles on a later turn of the event loop: later still on a busy machine.
    const auto onThePhone = [&](QWidget* widget) {
        auto* in = qobject_cast<QPushButton*>(widget) ? qobject_cast<TargetRow*>(widget->parentWidget()) : nullptr;
        return in && in->findChild<ElidedLabel*>(QStringLiteral("targetName"))->fullText() == phone;
    };
    EXPECT_TRUE(pumpUntil([&] { return onThePhone(QApplication::focusWidget()); }));
    auto* focused = qobject_cast<QPushButton*>(QApplication::focusWidget());
    ASSERT_NE(focused, nullptr);
    EXPECT_EQ(focused->text().toStdString(), "Send Files…");
    auto* focusedRow = qobject_cast<TargetRow*>(focused->parentWidget());
    ASSERT_NE(focusedRow, nullptr);
    EXPECT_EQ(focusedRow->findChild<ElidedLabel*>(QStringLiteral("targetName"))->fullText(), phone);
    EXPECT_EQ(bar->value(), scrolled);

    // The list changes while another window is active: the focus waits in it for the user's return.
    QWidget other;
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    phones.pop_back();
    std::thread([&] { model.discovery->onPhones(phones); }).join();
    // A busy machine may lay the window out before Qt shows the rebuilt list: the model takes
    // the change, then only the layouts run, each level asking the next one out.
    QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
    for (int level = 0; level < 3; ++level) QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    ASSERT_TRUE(pumpUntil([&] { return model->quickSharePhones().size() == phones.size(); }));
    EXPECT_TRUE(pumpUntil([&] { return onThePhone(window.focusWidget()); }));
    focused = qobject_cast<QPushButton*>(window.focusWidget());
    ASSERT_NE(focused, nullptr);
    focusedRow = qobject_cast<TargetRow*>(focused->parentWidget());
    ASSERT_NE(focusedRow, nullptr);
    EXPECT_EQ(focusedRow->findChild<ElidedLabel*>(QStringLiteral("targetName"))->fullText(), phone);
    EXPECT_EQ(bar->value(), scrolled);

    // In the tray too, Return presses the focused button.
    MenuBarWindow tray(*model, [] {}, [] {});
    tray.showPopup(QPoint(0, 0));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(tray.popup()));
    auto* receive = button(tray.popup(), QStringLiteral("Receive from Android"));
    receive->setFocus(Qt::TabFocusReason);
    QTest::keyClick(receive, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_TRUE(pumpUntil([&] { return model->webReceive().has_value(); }));
}

// The popover follows its captions while open and stays on the screen, also with the main
// window at the screen's right edge.
TEST_P(ScreenFit, SettingsPopoverGrowsAndShrinksOnTheScreen) {
    ASSERT_NE(screen, nullptr);
    model->setSharingMode(SharingMode::askEachTime);
    MainWindow window(*model);
    window.setScreen(screen);
    const QRect area = screen->availableGeometry();
    window.move(area.right() - window.width() + 1, area.top() + 40);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* gear = window.findChild<QPushButton*>(QStringLiteral("settingsButton"));
    ASSERT_NE(gear, nullptr);
    gear->click();
    QWidget* popover = nullptr;
    for (QWidget* child : gear->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (child->isWindow()) popover = child;
    ASSERT_NE(popover, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popover));
    expectOnScreen(popover, screen, "popover");
    expectWhole(popover, "popover");
    const int opened = popover->height();

    model->setReceiveFromAndroid(true);
    auto* name = popover->findChild<QLineEdit*>(QStringLiteral("deviceName"));
    name->setText(QStringLiteral("The meeting room computer on the second floor by the window"));
    emit name->textEdited(name->text());
    model->setSharingMode(SharingMode::quick);
    // The fit follows once the layout has settled, later on a busy machine.
    pumpUntil([&] { return popover->height() > opened; });
    EXPECT_GT(popover->height(), opened);
    expectOnScreen(popover, screen, "grown popover");
    expectWhole(popover, "grown popover");

    model->setReceiveFromAndroid(false);
    model->setSharingMode(SharingMode::askEachTime);
    pumpUntil([&] { return popover->height() <= opened; });
    EXPECT_LE(popover->height(), opened);
    expectWhole(popover, "shrunk popover");
}

// On a screen narrower than a sheet, a netbook's at 2×, the sheet narrows to the screen instead
// of hiding its right edge and the footer's button beyond it.
TEST(NarrowScreen, SheetNarrowsToTheScreen) {
    ensureApplication();
    AppModelHarness model;
    model->start();
    QScreen* screen = screenNamed("compact");
    ASSERT_NE(screen, nullptr) << "the offscreen screens are configured by the snapshot tests' environment";
    MainWindow window(*model, nullptr, 10s);
    window.setScreen(screen);
    window.move(screen->availableGeometry().topLeft());
    window.show();
    ASSERT_NE(window.content(), nullptr);
    model->startWebReceive();
    ASSERT_TRUE(pumpUntil([&] { return window.content()->webReceiveSheet() != nullptr; }));
    QDialog* web = window.content()->webReceiveSheet();
    expectOnScreen(web, screen, "web receive sheet");
    expectInView(button(web, QStringLiteral("Cancel")), "web receive sheet's Cancel");
    model->stopWebReceive();
}

// The prompt's screen goes (a monitor unplugged) and a smaller one takes it: it comes onto that
// screen with its code and answers, rather than staying where the old screen was.
TEST(ScreenChange, PromptFollowsItsWindowToAnotherScreen) {
    ensureApplication();
    AppModelHarness model({.timeouts = {10s, 300ms, 100ms}});
    model->start();
    QScreen* small = screenNamed("small");
    ASSERT_NE(small, nullptr) << "the offscreen screens are configured by the snapshot tests' environment";
    IncomingPromptPresenter presenter;
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    presenter.present(*model);
    QDialog* panel = presenter.panel();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(panel));
    ASSERT_NE(panel->screen(), small) << panel->screen()->name().toStdString();
    expectOnScreen(panel, panel->screen(), "prompt");
    panel->windowHandle()->setScreen(small);
    expectOnScreen(panel, small, "prompt on the screen that took it");
    expectInView(button(panel, QStringLiteral("Accept")), "prompt's Accept");
    model->answerIncoming(false);
}

INSTANTIATE_TEST_SUITE_P(Screens, ScreenFit, ::testing::Values("small", "hidpi"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace velmo::test
