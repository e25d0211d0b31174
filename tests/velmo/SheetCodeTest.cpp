// The sheets' codes on screens from a netbook's to a desktop's: whole in view, read back, with
// what must show under them, as the sheets change.
#include "velmo/AppModelHarness.h"
#include "velmo/ScreenChecks.h"
#include "velmo/ui/MainWindow.h"
#include "velmo/ui/NetworkHint.h"
#include "velmo/ui/StepRow.h"
#include "velmo/ui/TransferRow.h"

#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <thread>

namespace velmo::test {
namespace {

using namespace std::chrono_literals;

// One staged file whose name has no spaces, on a large screen at 1×, a large one at 1.5×, a
// laptop's and a netbook's at 2×: the QR send sheet stays within the screen, its code whole in
// view and read with the steps whole under it, also with the Wi-Fi hint and once phones have
// joined, whose questions then come into view with the focus one after the other. The web
// receive sheet's code reads whole there too, with the newest upload's row under it.
TEST(LongNameScreen, SheetsKeepTheirCodeInView) {
    for (const char* name : {"desktop", "wide", "hidpi", "compact"}) {
        SCOPED_TRACE(name);
        ensureApplication();
        AppModelHarness model({.timeouts = {10s, 10s, 100ms}});
        model.sharing->available = false;
        model.sendScript->holdAfterConfirm = true;
        model->start();
        QScreen* screen = screenNamed(name);
        ASSERT_NE(screen, nullptr) << "the offscreen screens are configured by the snapshot tests' environment";
        MainWindow window(*model, nullptr, 300ms);
        window.setScreen(screen);
        window.move(screen->availableGeometry().topLeft());
        window.show();
        model->stageFiles({model.file(std::string(200, 'a'), 6)});
        model->startQRSend();
        ASSERT_TRUE(pumpUntil([&] { return window.content()->qrSendSheet() != nullptr; }));
        QDialog* qr = window.content()->qrSendSheet();
        const std::string url = model->qrSend()->session.url();
        const auto steps = [&] {
            QList<QWidget*> shown;
            for (StepRow* step : qr->findChildren<StepRow*>()) shown.append(step);
            return shown;
        };
        ASSERT_EQ(steps().size(), 3);
        expectOnScreen(qr, screen, "QR send sheet");
        expectFitted(qr, screen, steps(), "QR send sheet");
        expectCodeReads(qr, url, "QR code");
        expectInView(qr->findChild<QPushButton*>(QStringLiteral("footerButton")), "QR send sheet's Cancel");
        ASSERT_TRUE(pumpUntil([&] { return qr->findChild<NetworkHint*>() && qr->findChild<NetworkHint*>()->isShown(); }));
        expectFitted(qr, screen, steps() << qr->findChild<NetworkHint*>(), "QR send sheet with the hint");
        expectOnScreen(qr, screen, "QR send sheet with the hint");
        expectCodeReads(qr, url, "QR code with the hint");

        // A second phone's question waits while the first one has the focus; each answer from
        // the keyboard moves it on to the next, and a Space after the last stops nothing.
        const auto question = [&](const char* phone) -> QPushButton* {
            for (auto* match : qr->findChildren<QPushButton*>(QStringLiteral("codesMatch")))
                if (match->property("recipient").toString() == QLatin1String(phone) && match->isVisible()) return match;
            return nullptr;
        };
        const auto join = [&](const char* id) {
            const auto phone = model.phone(id, std::string("Pixel ") + id, true);
            std::thread([&] { model.discovery->onQRMatch(phone); }).join();
        };
        join("q1");
        ASSERT_TRUE(pumpUntil([&] { return question("q1") && QApplication::focusWidget() == question("q1"); }));
        join("q2");
        ASSERT_TRUE(pumpUntil([&] { return question("q2") != nullptr; }));
        runPosted();
        EXPECT_EQ(QApplication::focusWidget(), question("q1"));
        expectFitted(qr, screen, {question("q1")->parentWidget()}, "QR send sheet with two questions");
        expectCodeReads(qr, url, "QR code with phones");
        expectInView(question("q1"), "the first phone's Codes match");
        QTest::keyClick(question("q1"), Qt::Key_Space);
        ASSERT_TRUE(pumpUntil([&] { return !question("q1") && question("q2"); }));
        runPosted();
        EXPECT_EQ(QApplication::focusWidget(), question("q2"));
        expectFitted(qr, screen, {question("q2")->parentWidget()}, "QR send sheet with the second question");
        expectInView(question("q2"), "the second phone's Codes match");
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        ASSERT_TRUE(pumpUntil([&] { return !question("q2"); }));
        runPosted();
        ASSERT_NE(QApplication::focusWidget(), nullptr);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        runPosted();
        EXPECT_TRUE(model->qrSend().has_value()) << "a Space after the last answer stopped the send";
        model->cancelQRSend();

        model->startWebReceive();
        ASSERT_TRUE(pumpUntil([&] { return window.content()->webReceiveSheet() != nullptr; }));
        QDialog* web = window.content()->webReceiveSheet();
        expectCodeReads(web, model->webReceive()->url, "web receive code");
        for (int i = 0; i < 3; ++i)
            model->handleWebReceiveEvent(WebReceiveServer::Started{Uuid::random(), "photo.jpg", 1000, "Phone"});
        TransferRow* newest = nullptr;
        ASSERT_TRUE(pumpUntil([&] {
            for (auto* row : web->findChildren<TransferRow*>())
                if (row->isVisible() && row->item().id == model->transfers().front().id) newest = row;
            return newest != nullptr;
        }));
        expectFitted(web, screen, {newest}, "web receive sheet with uploads");
        expectCodeReads(web, model->webReceive()->url, "web receive code with uploads");
    }
}

}  // namespace
}  // namespace velmo::test
