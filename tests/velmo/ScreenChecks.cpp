#include "velmo/ScreenChecks.h"

#include "velmo/AppModelHarness.h"
#include "velmo/CodeReader.h"
#include "velmo/ui/QRCodeView.h"
#include "velmo/ui/WindowFitter.h"

#include <QDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
#include <gtest/gtest.h>

namespace velmo::test {

namespace {

// What keeps the widget from being whole in view: its window or an ancestor (a scroll area's
// viewport clips what lies below its edge); nothing when it is in view.
std::string cutOf(QWidget* widget) {
    if (!widget->isVisible()) return "hidden";
    QWidget* top = widget->window();
    const QRect rect(widget->mapTo(top, QPoint(0, 0)), widget->size());
    for (QWidget* outer = widget->parentWidget(); outer; outer = outer->parentWidget()) {
        const QRect area(outer == top ? QPoint(0, 0) : outer->mapTo(top, QPoint(0, 0)), outer->size());
        if (!area.contains(rect)) return show(rect) + " cut by " + outer->metaObject()->className() + " " + show(area);
        if (outer == top) break;
    }
    return {};
}

}  // namespace

std::string show(const QRect& rect) {
    return QStringLiteral("%1,%2 %3×%4").arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height()).toStdString();
}

QScreen* screenNamed(const char* name) {
    for (QScreen* screen : QGuiApplication::screens())
        if (screen->name() == QLatin1String(name)) return screen;
    return nullptr;
}

QPushButton* button(QWidget* root, const QString& text) {
    for (auto* candidate : root->findChildren<QPushButton*>())
        if (candidate->text() == text && candidate->isVisible()) return candidate;
    return nullptr;
}

void expectOnScreen(QWidget* window, QScreen* screen, const char* what) {
    EXPECT_TRUE(pumpUntil([&] { return screen->availableGeometry().contains(window->frameGeometry()); }))
        << what << ": " << show(window->frameGeometry()) << " on " << show(screen->availableGeometry());
}

void runPosted() {
    bool ran = false;
    QMetaObject::invokeMethod(qApp, [&] { ran = true; }, Qt::QueuedConnection);
    pumpUntil([&] { return ran; });
}

void expectInView(QWidget* widget, const char* what) {
    ASSERT_NE(widget, nullptr) << what;
    QPointer<QWidget> shown(widget);
    pumpUntil([&] { return !shown || cutOf(shown).empty(); });
    ASSERT_TRUE(shown) << what << " went away";
    EXPECT_EQ(cutOf(widget), "") << what;
}

void expectWhole(QWidget* root, const char* what) {
    for (QLabel* label : root->findChildren<QLabel*>())
        if (label->isVisible() && label->wordWrap()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                << what << ": \"" << label->text().toStdString() << "\" is cut";
        }
}

void expectCodeReads(QDialog* sheet, const std::string& url, const char* what) {
    auto* code = sheet->findChild<QRCodeView*>();
    expectInView(code, what);
    // Four modules of light, as readers need: whatever the view's own constant says.
    EXPECT_GE(quietModules(code->grab().toImage(), encodeQR(code->payload())->width), 4.0) << what;
    EXPECT_EQ(decodeQR(sheet->grab().toImage()), url) << what << " at side " << code->side();
}

void expectFitted(QDialog* sheet, QScreen* screen, const QList<QWidget*>& kept, const char* what) {
    SCOPED_TRACE(what);
    auto* code = sheet->findChild<QRCodeView*>();
    const QSize area = screen->availableGeometry().size();
    const bool roomy = area.width() >= 960 && area.height() >= 540;
    auto* scroll = sheet->findChild<QScrollArea*>(QStringLiteral("fittedScroll"));
    const QList<QPointer<QWidget>> parts(kept.begin(), kept.end());
    // The column's view left empty under the last kept part: room the code gave up for nothing.
    const auto spare = [&] {
        int bottom = 0;
        for (const auto& part : parts)
            if (part) bottom = std::max(bottom, part->mapTo(scroll->viewport(), QPoint(0, part->height())).y());
        return scroll->viewport()->height() - bottom;
    };
    const auto fitted = [&] {
        const bool full = code->side() == QRCodeView::fullSide, least = code->side() == QRCodeView::leastSide;
        return (full || fittedTop(sheet)->contentsMargins().top() <= 8) &&
               (full || least || sheet->height() == roomHeight(sheet)) &&
               (roomy ? code->side() >= QRCodeView::leastSide && (full || spare() <= 1) &&
                            scroll->verticalScrollBar()->value() == 0
                      : least);
    };
    EXPECT_TRUE(pumpUntil(fitted)) << "code " << code->side() << " under a top padding of "
                                   << fittedTop(sheet)->contentsMargins().top() << " in a sheet "
                                   << sheet->height() << " high of " << roomHeight(sheet) << ", " << spare()
                                   << " spare under the kept parts, scrolled by " << scroll->verticalScrollBar()->value();
    if (roomy)
        for (const auto& part : parts) expectInView(part, "kept under the code");
}

}  // namespace velmo::test
