#include "velmo/AppModelHarness.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/DeviceList.h"
#include "velmo/ui/DropZone.h"
#include "velmo/ui/IncomingPrompt.h"
#include "velmo/ui/LineLimitedLabel.h"
#include "velmo/ui/MainWindow.h"
#include "velmo/ui/MenuBarWindow.h"
#include "velmo/ui/SettingsView.h"
#include "velmo/ui/TransferRow.h"
#include "velmo/ui/WebReceiveSheet.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QVBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTextLayout>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>
#include <thread>

namespace velmo::test {
namespace {

using namespace std::chrono_literals;

QPushButton* button(QWidget* root, const QString& text) {
    for (auto* candidate : root->findChildren<QPushButton*>())
        if (candidate->text() == text) return candidate;
    return nullptr;
}

QString labelText(QWidget* root, const char* name) {
    auto* label = root->findChild<QLabel*>(QString::fromLatin1(name));
    return label ? label->text() : QStringLiteral("<missing>");
}

struct Views : ::testing::Test {
    Views() : model({.sharingMode = "askEachTime"}) {
        ensureApplication();
        model->start();
    }
    AppModelHarness model;
};

TEST_F(Views, ConsentChoiceSwitchesToTheContent) {
    AppModelHarness fresh({.sharingMode = std::nullopt});
    MainWindow window(*fresh);
    EXPECT_EQ(window.content(), nullptr);
    auto* quick = qobject_cast<ThemedButton*>(button(&window, QStringLiteral("Allow quick sharing")));
    ASSERT_NE(quick, nullptr);
    // Nothing is pre-selected: keys before a choice store nothing; Tab then shows where focus is.
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return})
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &window, key);
    EXPECT_EQ(fresh->sharingMode(), std::nullopt);
    EXPECT_FALSE(quick->showsFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), quick);
    EXPECT_TRUE(quick->showsFocus());
    QTest::keyClick(quick, Qt::Key_Return);
    EXPECT_EQ(fresh->sharingMode(), SharingMode::quick);
    EXPECT_NE(window.content(), nullptr);
    // In the content too, Tab goes from control to control, in the order they are shown, those
    // made later (the staged files') included.
    auto* settings = window.content()->findChild<QPushButton*>(QStringLiteral("settingsButton"));
    ASSERT_TRUE(pumpUntil([&] { return settings->isVisible(); }));
    fresh->stageFiles({fresh.file("a.txt", 6)});
    pumpFor(10ms);
    settings->setFocus();
    QStringList order;
    for (int tab = 0; tab < 12; ++tab) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        auto* control = qobject_cast<QPushButton*>(QApplication::focusWidget());
        EXPECT_NE(control, nullptr) << tab;
        if (control && order.size() < 4) order << (control->text().isEmpty() ? control->accessibleName() : control->text());
    }
    EXPECT_EQ(order.join(QStringLiteral(" | ")).toStdString(), "Add… | Clear | Remove a.txt | Send to Android Phone");
}

TEST_F(Views, StagingChangesTheSendButtonAndTheDropZone) {
    ContentView view(*model);
    auto* send = view.findChild<QPushButton*>(QStringLiteral("sendButton"));
    EXPECT_EQ(send->text(), QStringLiteral("Send to Android Phone…"));
    EXPECT_NE(button(&view, QStringLiteral("Choose Files…")), nullptr);

    model->stageFiles({model.file("a.txt", 1500)});
    EXPECT_EQ(send->text(), QStringLiteral("Send to Android Phone"));
    EXPECT_EQ(labelText(&view, "stagedCount"), QStringLiteral("1 file ready"));
    EXPECT_EQ(labelText(&view, "stagedTotal"), QStringLiteral("2 KB"));
    EXPECT_EQ(view.findChild<QLabel*>(QStringLiteral("stagedMore")), nullptr);
    // The count, the dot and the size stand apart by the desktop's default spacing.
    view.show();
    pumpFor(20ms);
    auto* count = view.findChild<QLabel*>(QStringLiteral("stagedCount"));
    auto* total = view.findChild<QLabel*>(QStringLiteral("stagedTotal"));
    for (QLabel* dot : view.findChildren<QLabel*>())
        if (dot->text() == QStringLiteral("·")) {
            EXPECT_LE(dot->x() - count->geometry().right(), 8);
            EXPECT_LE(total->x() - dot->geometry().right(), 8);
        }

    std::vector<std::filesystem::path> more;
    for (int i = 0; i < 4; ++i) more.push_back(model.file("f" + std::to_string(i) + ".txt", 1000));
    model->stageFiles(more);
    EXPECT_EQ(labelText(&view, "stagedCount"), QStringLiteral("5 files ready"));
    EXPECT_EQ(labelText(&view, "stagedMore"), QStringLiteral("and 1 more"));
    // Every staged file counts, also those not listed; a vanished file counts zero.
    std::filesystem::remove(more.back());
    model->removeStaged(more.front());
    EXPECT_EQ(labelText(&view, "stagedTotal"), QStringLiteral("4 KB"));
    EXPECT_EQ(view.findChildren<FileRow*>().size(), 4u);

    // "Clear" empties the list in one change, so thousands of staged files redraw the views once.
    int changes = 0;
    QObject::connect(&*model, &AppModel::stagedChanged, [&changes] { ++changes; });
    button(&view, QStringLiteral("Clear"))->click();
    EXPECT_TRUE(model->staged().empty());
    EXPECT_EQ(changes, 1);
    EXPECT_NE(button(&view, QStringLiteral("Choose Files…")), nullptr);
}

TEST_F(Views, PhonesCardFollowsDiscovery) {
    ContentView view(*model);
    EXPECT_EQ(view.findChild<QWidget*>(QStringLiteral("phonesCard")), nullptr);
    MenuBarView menu(*model, [] {}, [] {});
    menu.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&menu));
    const auto discover = [&](int count) {
        std::vector<QuickSharePhone> phones;
        for (int i = 0; i < count; ++i) phones.push_back(model.phone("p" + std::to_string(i), "Phone " + std::to_string(i)));
        std::thread([&] { model.discovery->onPhones(phones); }).join();
        ASSERT_TRUE(pumpUntil([&] { return model->quickSharePhones().size() == static_cast<std::size_t>(count); }));
    };
    discover(1);
    EXPECT_NE(view.findChild<QWidget*>(QStringLiteral("phonesCard")), nullptr);
    // In the tray, a phone found later is reached by Tab where it is shown, before the tray's own buttons.
    button(&menu, QStringLiteral("Receive from Android"))->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    auto* next = qobject_cast<QPushButton*>(QApplication::focusWidget());
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->text().toStdString(), "Send Files…");
    EXPECT_EQ(view.findChild<QPushButton*>(QStringLiteral("sendToAll")), nullptr);
    EXPECT_EQ(view.findChildren<TargetRow*>().size(), 1u);
    discover(3);
    ASSERT_NE(view.findChild<QPushButton*>(QStringLiteral("sendToAll")), nullptr);
    EXPECT_EQ(view.findChild<QPushButton*>(QStringLiteral("sendToAll"))->text(), QStringLiteral("Send to all 3 phones"));
    EXPECT_EQ(view.findChildren<TargetRow*>().size(), 3u);
    EXPECT_EQ(button(&view, QStringLiteral("Send Files…"))->text(), QStringLiteral("Send Files…"));
    // The tray window opens at its start each time: closed with Escape from a phone's button and
    // opened again, the first Tab reaches "Send to Android Phone…", not the phone after it.
    menu.hide();
    MenuBarWindow tray(*model, [] {}, [] {});
    // Keys reach the popup's focused control, or the popup itself, as the desktop delivers them.
    const auto key = [&](Qt::Key pressed) {
        QWidget* focused = tray.popup()->focusWidget();
        QTest::keyClick(focused ? focused : tray.popup(), pressed);
    };
    for (int round = 0; round < 2; ++round) {
        tray.showPopup(QPoint(0, 0));
        ASSERT_TRUE(pumpUntil([&] { return tray.popup()->isVisible(); }));
        key(Qt::Key_Tab);
        EXPECT_EQ(tray.popup()->focusWidget(), tray.popup()->findChild<QWidget*>(QStringLiteral("menuSend"))) << round;
        for (int tab = 0; tab < 2; ++tab) key(Qt::Key_Tab);
        auto* phone = qobject_cast<QPushButton*>(tray.popup()->focusWidget());
        ASSERT_NE(phone, nullptr);
        EXPECT_EQ(phone->text(), QStringLiteral("Send Files…"));
        key(Qt::Key_Escape);
        ASSERT_FALSE(tray.popup()->isVisible());
    }
    discover(0);
    EXPECT_EQ(view.findChild<QWidget*>(QStringLiteral("phonesCard")), nullptr);
}

TEST_F(Views, QRSendSheetShownExactlyWhileTheSendIsOpen) {
    MainWindow window(*model, nullptr, 20ms);
    int quits = 0;
    QObject::connect(&window, &MainWindow::quitRequested, [&] { ++quits; });
    window.show();
    // Ctrl+Q quits, from the window and from a sheet over it, as on the rest of the desktop.
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quits, 1);
    model->stageFiles({model.file("a.txt", 6)});
    model->startQRSend();
    ASSERT_TRUE(model->qrSend());
    ASSERT_TRUE(pumpUntil([&] { return window.content()->qrSendSheet() != nullptr; }));
    QDialog* sheet = window.content()->qrSendSheet();
    EXPECT_TRUE(sheet->isVisible());
    // Tab goes from control to control, with no invisible stop on the way round.
    ASSERT_TRUE(QTest::qWaitForWindowActive(sheet));
    for (int tab = 0; tab < 4; ++tab) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_NE(qobject_cast<QPushButton*>(QApplication::focusWidget()), nullptr) << tab;
    }
    QTest::keyClick(sheet, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quits, 2);
    EXPECT_EQ(labelText(sheet, "sendWhat"), QStringLiteral("a.txt"));
    EXPECT_EQ(sheet->findChild<QPushButton*>(QStringLiteral("footerButton"))->text(), QStringLiteral("Cancel"));
    // The hint keeps its place through rebuilds and shows after its delay.
    ASSERT_TRUE(pumpUntil([&] { return sheet->findChild<QWidget*>(QStringLiteral("networkHintBanner")) != nullptr; }));
    // Pushed to the screen's edge while the screen was smaller, it is centred on its window again.
    window.move(700, 100);
    sheet->move(sheet->screen()->availableGeometry().right() - sheet->frameGeometry().width(), sheet->y());
    emit sheet->screen()->availableGeometryChanged(sheet->screen()->availableGeometry());
    EXPECT_TRUE(pumpUntil([&] { return std::abs(sheet->frameGeometry().center().x() - window.frameGeometry().center().x()) <= 1; }));

    // The model ends the send: the sheet goes.
    model->cancelQRSend();
    EXPECT_EQ(window.content()->qrSendSheet(), nullptr);

    // The user closes the sheet: the send ends.
    model->stageFiles({model.file("b.txt", 6)});
    model->startQRSend();
    ASSERT_TRUE(pumpUntil([&] { return window.content()->qrSendSheet() != nullptr; }));
    window.content()->qrSendSheet()->reject();
    EXPECT_FALSE(model->qrSend());
    EXPECT_EQ(window.content()->qrSendSheet(), nullptr);
}

TEST_F(Views, ClosingTheMainWindowEndsTheSessions) {
    MainWindow window(*model);
    window.show();
    model->stageFiles({model.file("a.txt", 6)});
    model->startQRSend();
    ASSERT_TRUE(model->qrSend());
    window.close();
    EXPECT_FALSE(model->qrSend());
    // Files go back to the staged list when no phone had joined.
    EXPECT_EQ(model->staged().size(), 1u);
}

TEST_F(Views, WebReceiveSheetListsOnlyTheSessionsRows) {
    MainWindow window(*model);
    window.show();
    model->startWebReceive();
    ASSERT_TRUE(pumpUntil([&] { return window.content()->webReceiveSheet() != nullptr; }));
    QDialog* sheet = window.content()->webReceiveSheet();
    EXPECT_EQ(sheet->findChild<QPushButton*>(QStringLiteral("footerButton"))->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(sheet->findChild<QLabel*>(QStringLiteral("quickLine")), nullptr);
    const QString folder = isolated(QString::fromStdString(model->downloadFolder().filename().string()));
    auto* land = sheet->findChild<StepRow*>(QStringLiteral("landStep"));
    ASSERT_NE(land, nullptr);
    EXPECT_EQ(land->accessibleName(), QStringLiteral("Step 3: They land in %1 on this computer.").arg(folder));

    sheet->findChild<QPushButton*>(QStringLiteral("footerButton"))->click();
    EXPECT_FALSE(model->webReceive());
    EXPECT_EQ(window.content()->webReceiveSheet(), nullptr);
}

TEST_F(Views, HostileTextIsShownAsPlainText) {
    const std::string hostile = "<b>x</b><img src=http://127.0.0.1/a>&amp;";
    TransferItem row;
    row.peer = hostile;
    row.summary = hostile;
    row.state = TransferItem::State::failed(hostile);
    TransferRow view(*model, row);
    for (const char* name : {"summary", "status"}) {
        auto* label = view.findChild<QLabel*>(QString::fromLatin1(name));
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
    }
    EXPECT_EQ(labelText(&view, "status").toStdString(), hostile);
    EXPECT_EQ(view.findChild<ElidedLabel*>(QStringLiteral("summary"))->fullText().toStdString(), hostile);

    model->reportError(hostile);
    ContentView content(*model);
    ASSERT_TRUE(pumpUntil([&] { return content.findChild<Banner*>(QStringLiteral("statusBanner")) != nullptr; }));
    EXPECT_EQ(content.findChild<Banner*>(QStringLiteral("statusBanner"))->text().toStdString(), hostile);
    for (auto* label : content.findChildren<QLabel*>()) EXPECT_EQ(label->textFormat(), Qt::PlainText);
}

TEST_F(Views, TransferRowsAndClearFinished) {
    ContentView view(*model);
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    ASSERT_TRUE(pumpUntil([&] { return view.findChildren<TransferRow*>().size() == 1u; }));
    EXPECT_EQ(view.findChild<QPushButton*>(QStringLiteral("clearFinished")), nullptr);

    IncomingPromptView prompt(*model);
    EXPECT_EQ(labelText(&prompt, "offerSummary"), QStringLiteral("1 file · 10 bytes"));
    EXPECT_EQ(prompt.findChild<QLabel*>(QStringLiteral("pin"))->accessibleName(), QStringLiteral("Code 1 2 3 4"));
    EXPECT_EQ(labelText(&prompt, "sender"), QStringLiteral("\u2068Pixel\u2069 wants to send you"));
    button(&prompt, QStringLiteral("Decline"))->click();
    EXPECT_FALSE(model->incoming());
    ASSERT_TRUE(pumpUntil([&] { return labelText(&view, "status") == QStringLiteral("You declined"); }));
    auto* clear = view.findChild<QPushButton*>(QStringLiteral("clearFinished"));
    ASSERT_NE(clear, nullptr);
    clear->click();
    EXPECT_TRUE(model->transfers().empty());
    EXPECT_TRUE(pumpUntil([&] { return view.findChildren<TransferRow*>().empty(); }));
}

TEST_F(Views, PromptListsFiveFilesThenCountsTheRest) {
    model.receive->offer.files.clear();
    for (int i = 0; i < 6; ++i) model.receive->offer.files.push_back({"f" + std::to_string(i) + ".txt", 1000});
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    IncomingPromptView prompt(*model);
    EXPECT_EQ(prompt.findChildren<FileRow*>().size(), 5u);
    EXPECT_EQ(labelText(&prompt, "offerMore"), QStringLiteral("and 1 more"));
    EXPECT_EQ(labelText(&prompt, "offerSummary"), QStringLiteral("6 files · 6 KB"));
    button(&prompt, QStringLiteral("Accept"))->click();
    EXPECT_FALSE(model->incoming());
    EXPECT_TRUE(prompt.findChildren<FileRow*>().empty());
}

TEST_F(Views, SettingsFollowAndWriteTheModel) {
    SettingsView settings(*model);
    auto* name = settings.findChild<QLineEdit*>(QStringLiteral("deviceName"));
    name->setText(QString());
    for (const QChar c : QStringLiteral("Desk <1>")) {
        name->insert(QString(c));
        emit name->textEdited(name->text());
    }
    EXPECT_EQ(model->deviceName(), "Desk <1>");
    model->setReceiveFromAndroid(true);
    EXPECT_EQ(labelText(&settings, "receiveCaption"), QStringLiteral("On the phone: Share → Quick Share → “Desk <1>”."));
    settings.findChild<QCheckBox*>(QStringLiteral("receiveFromAndroid"))->setChecked(false);
    EXPECT_FALSE(model->receiveFromAndroid());
    EXPECT_TRUE(labelText(&settings, "receiveCaption").startsWith(QStringLiteral("Visible only")));
    EXPECT_EQ(settings.findChild<QComboBox*>(QStringLiteral("sharingMode"))->currentText(), QStringLiteral("Ask each time"));
    EXPECT_EQ(displayPath(QDir::homePath().toStdString() + "/Downloads"), QStringLiteral("~/Downloads"));
    EXPECT_EQ(displayPath("/srv/in"), QStringLiteral("/srv/in"));
}

TEST_F(Views, MenuBarBringsTheMainWindowWhenASessionStarts) {
    int opened = 0;
    MenuBarView menu(*model, [&] { opened++; }, [] {});
    model->startWebReceive();
    ASSERT_TRUE(pumpUntil([&] { return model->webReceive().has_value(); }));
    EXPECT_EQ(opened, 1);
    model->stopWebReceive();
    EXPECT_EQ(opened, 1);
    // Only the first active transfer is shown.
    EXPECT_EQ(menu.findChild<QWidget*>(QStringLiteral("menuTransfer")), nullptr);
}

// A hand's click: press, 90 ms in which progress keeps arriving, release at the same spot,
// sent through the window as the desktop sends it.
void slowClick(QPushButton* target) {
    ASSERT_NE(target, nullptr);
    QWidget* top = target->window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(top));
    const QPoint at = target->mapTo(top, target->rect().center());
    QTest::mousePress(top->windowHandle(), Qt::LeftButton, {}, at);
    pumpFor(90ms);
    QTest::mouseRelease(top->windowHandle(), Qt::LeftButton, {}, at);
}

// A direct send's code question comes into view on a short window and takes the focus when the
// focus rests on no control. A control the user is on keeps the focus and the column stays: a key
// meant for it must not answer a question the user has not looked at.
TEST_F(Views, ADirectSendsQuestionComesIntoViewWithTheFocus) {
    AppModelHarness patient({.timeouts = {10s, 10s, 100ms}});
    patient->start();
    MainWindow window(*patient);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    window.resize(window.width(), 300);
    auto* scroll = window.findChild<QScrollArea*>();
    const auto question = [&] {
        QPushButton* match = button(&window, QStringLiteral("Codes match"));
        return match && match->isVisible() ? match : nullptr;
    };
    auto* send = window.findChild<QPushButton*>(QStringLiteral("sendButton"));
    send->setFocus(Qt::TabFocusReason);
    patient->send({patient.file("a.txt", 6)}, patient.phone("p1", "Pixel"));
    ASSERT_TRUE(pumpUntil([&] { return question() != nullptr; }));
    bool asked = false;  // once the question's turn to take the focus has come
    QMetaObject::invokeMethod(&window, [&] { asked = true; }, Qt::QueuedConnection);
    ASSERT_TRUE(pumpUntil([&] { return asked; }));
    EXPECT_EQ(QApplication::focusWidget(), send);
    EXPECT_EQ(scroll->verticalScrollBar()->value(), 0);
    patient->cancelTransfer(patient.row().id);
    window.setFocus(Qt::OtherFocusReason);
    patient->send({patient.file("b.txt", 6)}, patient.phone("p2", "Pixel"));
    ASSERT_TRUE(pumpUntil([&] { return question() && QApplication::focusWidget() == question(); }));
    QWidget* match = QApplication::focusWidget();
    EXPECT_TRUE(scroll->viewport()->rect().contains(QRect(match->mapTo(scroll->viewport(), QPoint()), match->size())));
    patient->cancelTransfer(patient.row().id);
}

TEST_F(Views, ClicksLandWhileProgressArrives) {
    model.sendScript->holdAfterConfirm = true;
    model.sendScript->pin = "4821";
    MainWindow window(*model);
    window.show();
    int quits = 0;
    MenuBarWindow tray(*model, [] {}, [&] { quits++; });
    tray.showPopup(QPoint(0, 0));
    model->send({model.file("a.txt", 6)}, model.phone("p1", "Pixel"));
    const Uuid sendId = model.row().id;
    // The code to compare shows whole in both windows.
    for (QWidget* root : {static_cast<QWidget*>(&window), tray.popup()}) {
        ASSERT_TRUE(pumpUntil([&] { return root->findChild<LineLimitedLabel*>(QStringLiteral("status")) != nullptr; }));
        auto* status = root->findChild<LineLimitedLabel*>(QStringLiteral("status"));
        EXPECT_EQ(status->shownLines().join(QLatin1Char(' ')), QStringLiteral("Check the phone shows 4821 · to \u2068Pixel\u2069"));
    }
    model->answerPeerCheck(sendId, true);
    model->setTransferState(sendId, TransferItem::State::transferring());
    // Progress of every running transfer, every 20 ms, as the engine and the upload server report it.
    QTimer progress;
    std::int64_t done = 0;
    QObject::connect(&progress, &QTimer::timeout, [&] {
        ++done;
        for (const TransferItem& item : std::vector<TransferItem>(model->transfers()))
            if (item.state.isActive()) model->setTransferProgress(item.id, done, 1'000'000);
    });
    progress.start(20);
    // The rows have taken their new state (a change of state rebuilds them and may move buttons).
    for (QWidget* root : {static_cast<QWidget*>(&window), tray.popup()})
        ASSERT_TRUE(pumpUntil([&] { return root->findChild<ProgressBar*>(QStringLiteral("progress")) != nullptr; }));

    slowClick(button(tray.popup(), QStringLiteral("Quit")));
    EXPECT_EQ(quits, 1);
    tray.popup()->hide();

    slowClick(button(window.findChild<QWidget*>(QStringLiteral("transfersCard")), QStringLiteral("Cancel")));
    EXPECT_EQ(model->transfers().back().state, TransferItem::State::failed("Cancelled"));

    model->startWebReceive();
    ASSERT_TRUE(pumpUntil([&] { return window.content()->webReceiveSheet() != nullptr; }));
    model->handleWebReceiveEvent(WebReceiveServer::Started{Uuid::random(), "b.jpg", 1'000'000, "Phone"});
    QDialog* sheet = window.content()->webReceiveSheet();
    // Shown, as a user sees it: the button is made a moment before the sheet lays it out.
    ASSERT_TRUE(pumpUntil([&] { return button(sheet, QStringLiteral("Done")) && button(sheet, QStringLiteral("Done"))->isVisible(); }));
    slowClick(button(sheet, QStringLiteral("Done")));
    EXPECT_FALSE(model->webReceive());

    // The QR send sheet's "Stop" while a joined phone's progress arrives.
    model->stageFiles({model.file("c.txt", 6)});
    model->startQRSend();
    ASSERT_TRUE(pumpUntil([&] { return window.content()->qrSendSheet() != nullptr; }));
    model->addQRRecipient(model.phone("p2", "Galaxy", true));
    const Uuid qrId = model->qrSend()->id;
    double fraction = 0;
    QObject::connect(&progress, &QTimer::timeout, [&] {
        fraction += 0.001;
        model->updateRecipient("p2", qrId, [&](QRSend::Recipient& recipient) {
            recipient.phase = QRSend::Recipient::Phase::sending();
            recipient.fraction = fraction;
        });
    });
    QDialog* qrSheet = window.content()->qrSendSheet();
    // The phone's row shown and the sheet fitted to it, with "Stop" where the user sees it.
    ASSERT_TRUE(pumpUntil([&] {
        QPushButton* stop = button(qrSheet, QStringLiteral("Stop"));
        return qrSheet->findChild<ProgressBar*>() && stop && stop->isVisible();
    }));
    slowClick(button(qrSheet, QStringLiteral("Stop")));
    EXPECT_FALSE(model->qrSend());
}

}  // namespace
}  // namespace velmo::test

namespace velmo::test {
namespace {

QMimeData* filesData(const std::vector<std::filesystem::path>& files) {
    auto* data = new QMimeData;
    QList<QUrl> urls;
    for (const auto& file : files) urls << QUrl::fromLocalFile(QString::fromStdString(file.string()));
    urls << QUrl(QStringLiteral("https://127.0.0.1/not-a-file"));
    data->setUrls(urls);
    return data;
}

void dropOn(QWidget* target, QMimeData* data) {
    const QPointF at(target->width() / 2.0, target->height() / 2.0);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    EXPECT_TRUE(drop.isAccepted());
}

TEST_F(Views, DroppedFilesAreStagedOrSentToThePhone) {
    DropZone zone(*model);
    zone.resize(400, 200);
    std::unique_ptr<QMimeData> data(filesData({model.file("a.txt", 6), model.file("b.txt", 6)}));
    dropOn(&zone, data.get());
    EXPECT_EQ(model->staged().size(), 2u);
    EXPECT_FALSE(zone.isTargeted());

    auto* row = makeQuickSharePhoneRow(*model, model.phone("p1", "Pixel"), nullptr);
    std::unique_ptr<TargetRow> owner(row);
    row->resize(300, 60);
    std::unique_ptr<QMimeData> one(filesData({model.file("c.txt", 6)}));
    dropOn(row, one.get());
    EXPECT_TRUE(pumpUntil([&] { return model.sendScript->started.load() == 1; }));
    // The staged list is not consulted for a drop on a phone.
    EXPECT_EQ(model->staged().size(), 2u);
}

TEST_F(Views, ReturnAcceptsTheOfferInThePanel) {
    model.receive->offer.senderName = std::string(3, 'W') + " Samsung Galaxy S25 Ultra of the second floor's meeting room";
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    IncomingPromptPresenter presenter(0ms);
    presenter.present(*model);
    ASSERT_NE(presenter.panel(), nullptr);
    EXPECT_EQ(presenter.panel()->windowTitle(), QStringLiteral("Incoming files"));
    // A name too long for two lines: two whole lines, the name cut with "…" and the words after
    // it kept.
    auto* sender = presenter.panel()->findChild<LineLimitedLabel*>(QStringLiteral("sender"));
    ASSERT_NE(sender, nullptr);
    ASSERT_EQ(sender->shownLines().size(), 2);
    EXPECT_TRUE(sender->shownLines().back().endsWith(QStringLiteral("…\u2069 wants to send you")))
        << sender->shownLines().join(QLatin1Char('|')).toStdString();
    // Two whole lines as the text lays out, the name's marks with their own font included.
    QTextLayout laidOut(sender->text(), sender->font());
    laidOut.beginLayout();
    QTextLine first = laidOut.createLine();
    first.setNumColumns(static_cast<int>(sender->text().size()));
    laidOut.endLayout();
    EXPECT_GE(sender->height(), 2 * std::max<qreal>(first.height(), QFontMetrics(sender->font()).lineSpacing()));
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(presenter.panel(), &escape);
    EXPECT_TRUE(presenter.panel()->isVisible());  // only an answer or the model closes it
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(presenter.panel(), &press);
    EXPECT_FALSE(model->incoming());
    presenter.dismiss();
    EXPECT_EQ(presenter.panel(), nullptr);
    // Return on a focused "Decline" declines: it never presses the default "Accept".
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    presenter.present(*model);
    QPushButton* decline = button(presenter.panel(), QStringLiteral("Decline"));
    decline->setFocus(Qt::TabFocusReason);
    QTest::keyClick(decline, Qt::Key_Return);
    EXPECT_FALSE(model->incoming());
    EXPECT_TRUE(pumpUntil([&] { return model.row().state == TransferItem::State::declined(); }));
    presenter.dismiss();
}

}  // namespace
}  // namespace velmo::test
