// The prompt meets the rest of the desktop: it answers only a deliberate act on itself, and
// nothing else open in Velmo holds its keys or blocks it. Keys go in as the desktop delivers
// them, to the prompt's window, so that a popup's grab and a modal window's block apply.
#include "velmo/AppModelHarness.h"
#include "velmo/ui/DesktopServices.h"
#include "velmo/ui/IncomingPrompt.h"
#include "velmo/ui/MenuBarWindow.h"
#include "velmo/ui/MessageBoxUpdatePresenter.h"
#include "velmo/ui/SettingsView.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>

namespace velmo::test {
namespace {

using namespace std::chrono_literals;

// Long enough that a loaded machine delivers the early keys and clicks within it.
constexpr auto answerDelay = 1s;

template <typename T>
T* shownWindow() {
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<T*>(window); found && found->isVisible()) return found;
    return nullptr;
}

struct IncomingPromptTest : ::testing::Test {
    IncomingPromptTest() : model({.timeouts = {10s, 300ms, 100ms}}) {
        ensureApplication();
        model->start();
        auto presenter = std::make_unique<IncomingPromptPresenter>(answerDelay);
        prompt = presenter.get();
        model->setPromptPresenter(std::move(presenter));
    }
    ~IncomingPromptTest() override { model->setPromptPresenter(nullptr); }

    // A phone offers; returns the prompt once it is on the screen.
    IncomingPromptPanel* offer() {
        model.advertiser->connect();
        if (!pumpUntil([&] { return model->incoming().has_value() && prompt->panel(); })) return nullptr;
        auto* panel = static_cast<IncomingPromptPanel*>(prompt->panel());
        return QTest::qWaitForWindowExposed(panel) ? panel : nullptr;
    }
    static void press(QDialog* panel, Qt::Key key) { QTest::keyClick(panel->windowHandle(), key); }
    // Return on the prompt once it takes answers accepts the offer.
    void expectReturnAccepts(IncomingPromptPanel* panel, const char* what) {
        ASSERT_TRUE(pumpUntil([&] { return panel->takesAnswers(); }, 5s)) << what;
        press(panel, Qt::Key_Return);
        EXPECT_FALSE(model->incoming()) << what;
        EXPECT_TRUE(pumpUntil([&] { return model.row().state == TransferItem::State::done(); })) << what;
    }

    AppModelHarness model;
    IncomingPromptPresenter* prompt = nullptr;
};

// A Return or a click meant for another window, arriving as the prompt appears, answers nothing.
TEST_F(IncomingPromptTest, KeysAndClicksAsThePromptAppearsAnswerNothing) {
    IncomingPromptPanel* panel = offer();
    ASSERT_NE(panel, nullptr);
    // Meanwhile both answers are drawn disabled, where they will be live.
    auto* accept = panel->findChild<QPushButton*>(QStringLiteral("accept"));
    auto* decline = panel->findChild<QPushButton*>(QStringLiteral("decline"));
    ASSERT_TRUE(accept && decline);
    EXPECT_FALSE(accept->isEnabled() || decline->isEnabled());
    const QRect places[] = {accept->geometry(), decline->geometry()};
    press(panel, Qt::Key_Return);
    ASSERT_TRUE(model->incoming());
    press(panel, Qt::Key_Space);
    ASSERT_TRUE(model->incoming());
    QTest::mouseClick(panel->findChild<QPushButton*>(QStringLiteral("accept")), Qt::LeftButton);
    ASSERT_TRUE(model->incoming());
    EXPECT_FALSE(panel->takesAnswers());
    ASSERT_TRUE(pumpUntil([&] { return panel->takesAnswers(); }, 5s));
    EXPECT_TRUE(pumpUntil([&] { return accept->isEnabled() && decline->isEnabled(); }));
    EXPECT_EQ(panel->focusWidget(), accept);
    EXPECT_EQ(accept->geometry(), places[0]);
    EXPECT_EQ(decline->geometry(), places[1]);
    // Hidden and shown again, the prompt waits its delay anew before it takes an answer.
    panel->hide();
    pumpFor(20ms);
    panel->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(panel));
    QCoreApplication::processEvents();
    EXPECT_FALSE(panel->takesAnswers());
    EXPECT_FALSE(accept->isEnabled());
    expectReturnAccepts(panel, "prompt shown again");
}

// Space for the settings' "Receive from Android phones" neither declines the offer nor turns
// receiving off, and the tray's Return opens no file chooser: an offer closes both popups.
// Settings opened after the offer stay under the prompt.
TEST_F(IncomingPromptTest, AnOfferClosesThePopupsThatHeldTheKeyboard) {
    QWidget window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QPointer<QWidget> settings = showSettingsPopover(*model, &window);
    settings->findChild<QCheckBox*>(QStringLiteral("receiveFromAndroid"))->setFocus(Qt::TabFocusReason);
    IncomingPromptPanel* panel = offer();
    ASSERT_NE(panel, nullptr);
    press(panel, Qt::Key_Space);
    EXPECT_TRUE(model->receiveFromAndroid());
    ASSERT_TRUE(model->incoming());
    EXPECT_TRUE(!settings || !settings->isVisible());
    expectReturnAccepts(panel, "prompt over the settings");

    MenuBarWindow tray(*model, [] {}, [] {});
    tray.showPopup(QPoint(100, 100));
    tray.popup()->findChild<QPushButton*>(QStringLiteral("menuSend"))->setFocus(Qt::TabFocusReason);
    panel = offer();
    ASSERT_NE(panel, nullptr);
    press(panel, Qt::Key_Return);
    EXPECT_EQ(*model.chooserCalls, 0);
    ASSERT_TRUE(model->incoming());
    EXPECT_FALSE(tray.popup()->isVisible());
    expectReturnAccepts(panel, "prompt over the tray window");

    // Settings opened while the prompt is up open under it, not over its code, and take none of its keys.
    panel = offer();
    ASSERT_NE(panel, nullptr);
    settings = showSettingsPopover(*model, &window);
    EXPECT_NE(settings->windowType(), Qt::Popup);
    EXPECT_FALSE(settings->windowFlags() & Qt::WindowStaysOnTopHint);
    expectReturnAccepts(panel, "prompt over settings opened after it");
}

// The file chooser holds only its own window, and an update message holds nothing: the prompt
// stays answerable while either is open, whichever came first.
TEST_F(IncomingPromptTest, NoChooserOrMessageBlocksThePrompt) {
    QWidget window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    AppModelServices desktop;
    addDesktopServices(desktop);
    bool answered = false;
    QTimer::singleShot(0, [&] {
        [&] {
            IncomingPromptPanel* panel = offer();
            ASSERT_NE(panel, nullptr);
            expectReturnAccepts(panel, "prompt over the file chooser");
            answered = true;
        }();
        if (auto* chooser = shownWindow<QFileDialog>()) chooser->reject();
    });
    desktop.chooseFiles();
    EXPECT_TRUE(answered);

    MessageBoxUpdatePresenter messages;
    std::optional<bool> choice;
    messages.show(QStringLiteral("Velmo is up to date"), QStringLiteral("You\u2019re running Velmo 1.0."), std::nullopt,
                  [&](bool first) { choice = first; });
    ASSERT_NE(shownWindow<QMessageBox>(), nullptr);
    IncomingPromptPanel* panel = offer();
    ASSERT_NE(panel, nullptr);
    expectReturnAccepts(panel, "prompt over an update message");
    ASSERT_NE(shownWindow<QMessageBox>(), nullptr);
    shownWindow<QMessageBox>()->defaultButton()->click();
    EXPECT_TRUE(pumpUntil([&] { return choice.has_value(); }));

    // A message that comes while the prompt is up leaves it answerable.
    panel = offer();
    ASSERT_NE(panel, nullptr);
    messages.show(QStringLiteral("Velmo has an update"), QStringLiteral("Finish any transfers."), std::nullopt,
                  [](bool) {});
    ASSERT_NE(shownWindow<QMessageBox>(), nullptr);
    // Floating as the prompt does, it comes up above it rather than behind.
    EXPECT_TRUE(shownWindow<QMessageBox>()->windowHandle()->flags() & Qt::WindowStaysOnTopHint);
    expectReturnAccepts(panel, "prompt under an update message");
    shownWindow<QMessageBox>()->close();
}

// The panel cannot be minimised out of reach: it comes back at once.
TEST_F(IncomingPromptTest, AMinimisedPromptComesBack) {
    IncomingPromptPanel* panel = offer();
    ASSERT_NE(panel, nullptr);
    panel->showMinimized();
    pumpFor(50ms);
    EXPECT_TRUE(pumpUntil([&] { return panel->isVisible() && !(panel->windowState() & Qt::WindowMinimized); }));
    expectReturnAccepts(panel, "prompt brought back");
}

}  // namespace
}  // namespace velmo::test
