// The settings popover's controls change a setting only when the user means to.
#include "velmo/AppModelHarness.h"
#include "velmo/ui/SettingsView.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QTest>
#include <QWheelEvent>
#include <QWindow>
#include <gtest/gtest.h>

namespace velmo {
namespace {

// The sharing mode closes open sessions: only a pick from the opened list changes it.
TEST(SettingsViewTest, SharingModeChangesOnlyFromTheOpenedList) {
    test::ensureApplication();
    test::AppModelHarness model({.sharingMode = "askEachTime"});
    model->start();
    QWidget anchor;
    anchor.show();
    QWidget* popover = showSettingsPopover(*model, &anchor);
    auto* picker = popover->findChild<QComboBox*>(QStringLiteral("sharingMode"));
    ASSERT_NE(picker, nullptr);
    picker->setFocus(Qt::TabFocusReason);
    for (const Qt::Key key : {Qt::Key_Up, Qt::Key_Down, Qt::Key_PageUp, Qt::Key_Home, Qt::Key_End, Qt::Key_A})
        QTest::keyClick(picker, key);
    for (const int notch : {120, -120, 120}) {
        const QPointF at = picker->rect().center();
        QWheelEvent wheel(at, picker->mapToGlobal(at), {}, {0, notch}, Qt::NoButton, {}, Qt::NoScrollPhase, false);
        QApplication::sendEvent(picker, &wheel);
    }
    EXPECT_EQ(model->sharingMode(), SharingMode::askEachTime);
    EXPECT_EQ(picker->currentText(), QStringLiteral("Ask each time"));
    auto* receive = popover->findChild<QCheckBox*>(QStringLiteral("receiveFromAndroid"));
    receive->setFocus(Qt::TabFocusReason);
    for (const Qt::Key key : {Qt::Key_Up, Qt::Key_Down}) QTest::keyClick(receive, key);
    EXPECT_TRUE(receive->hasFocus());  // nor do they move the focus from a check box
    // Alt+Up opens the list as Alt+Down does, without stepping to the entry above; Escape in
    // the opened list closes the list, not the popover.
    picker->setFocus(Qt::TabFocusReason);
    for (const Qt::Key key : {Qt::Key_Up, Qt::Key_Down}) {
        QTest::keyClick(picker->window()->windowHandle(), key, Qt::AltModifier);
        EXPECT_EQ(model->sharingMode(), SharingMode::askEachTime);
        ASSERT_TRUE(test::pumpUntil([&] { return picker->view()->isVisible(); }));
        QTest::keyClick(QApplication::activePopupWidget()->windowHandle(), Qt::Key_Escape);
        EXPECT_TRUE(test::pumpUntil([&] { return !picker->view()->isVisible(); }));
        test::pumpFor(std::chrono::milliseconds(20));
        ASSERT_TRUE(popover->isVisible());
    }
    EXPECT_EQ(picker->currentText(), QStringLiteral("Ask each time"));
    QTest::keyClick(picker, Qt::Key_Space);
    ASSERT_TRUE(test::pumpUntil([&] { return picker->view()->isVisible(); }));
    QTest::keyClick(picker->view(), Qt::Key_Up);
    EXPECT_EQ(model->sharingMode(), SharingMode::askEachTime);
    QTest::keyClick(picker->view(), Qt::Key_Return);
    EXPECT_EQ(model->sharingMode(), SharingMode::quick);
    popover->close();
}

}  // namespace
}  // namespace velmo
