#include "velmo/model/ByteCountFormat.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/QRCodeView.h"
#include "velmo/ui/QRSendSheet.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/TransferRow.h"
#include "velmo/ui/IncomingPrompt.h"
#include "velmo/ui/MainWindow.h"
#include "velmo/ui/MenuBarWindow.h"
#include "velmo/ui/NetworkHint.h"
#include "velmo/ui/SettingsView.h"
#include "velmo/ui/VelmoMark.h"
#include "velmo/ui/WindowFitter.h"
#include "velmo/AppModelHarness.h"
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QScrollBar>
#include <QToolTip>
#include <QTest>
#include <QTextDocument>
#include <QWheelEvent>
#include <cmath>
#include <gtest/gtest.h>
#include <qrencode.h>

namespace velmo {
namespace {

TEST(ByteCountFormatTest, DecimalUnitsAsAFileManagerWritesThem) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {-5, "0 bytes"},          {0, "0 bytes"},          {1, "1 byte"},           {999, "999 bytes"},
        {1000, "1 KB"},           {1499, "1 KB"},          {1500, "2 KB"},          {999'499, "999 KB"},
        {999'500, "1 MB"},        {1'000'000, "1 MB"},     {1'250'000, "1.3 MB"},   {1'200'000, "1.2 MB"},
        {999'949'999, "999.9 MB"}, {999'950'000, "1 GB"},  {2'500'000'000, "2.5 GB"}, {1'234'567'890, "1.23 GB"},
        {5'000'000'000'000, "5 TB"}, {INT64_MAX, "9223.37 PB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(formatByteCount(bytes).toStdString(), text) << bytes;
}

TEST(ThemeTest, CssColoursAndFixedColours) {
    EXPECT_EQ(cssColor(colors::soft, Appearance::light), "rgba(37,99,235,0.10)");
    EXPECT_EQ(cssColor(colors::bg, Appearance::dark), "rgba(14,17,23,1.00)");
    EXPECT_EQ(cssColor(colors::line, Appearance::light), "rgba(15,23,42,0.10)");
    EXPECT_EQ(cssColor(colors::line, Appearance::dark), "rgba(255,255,255,0.10)");
    EXPECT_EQ(colors::shadow.dark.alpha(), 0);
    for (const ThemeColor* same : {&colors::accent, &colors::top, &colors::bottom, &colors::tileTop, &colors::tileBottom,
                                   &colors::onAccent, &colors::markWhite, &colors::markBlack, &colors::qrBackground})
        EXPECT_EQ(same->light, same->dark);
    EXPECT_EQ(&colors::dropTint, &colors::soft);
}

TEST(VelmoMarkTest, BoundingBoxWithAndWithoutMotionLines) {
    const QRectF plain = VelmoMark::boundingBox(false);
    EXPECT_NEAR(plain.left(), 112, 0.01);
    EXPECT_NEAR(plain.top(), 150, 0.5);
    EXPECT_NEAR(plain.right(), 891.2, 0.5);
    EXPECT_NEAR(plain.bottom(), 692.9, 0.5);
    const QRectF moving = VelmoMark::boundingBox(true);
    EXPECT_NEAR(moving.left(), -103, 0.5);
    EXPECT_NEAR(moving.bottom(), 723, 0.5);
}

// Relative luminance of an opaque colour, and the contrast ratio of two luminances (WCAG).
double luminance(const QColor& c) {
    const auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}
double contrast(double a, double b) { return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05); }

TEST(VelmoMarkTest, TrayIconStandsOutOnDarkAndLightPanels) {
    test::ensureApplication();
    QImage icon = trayImage();
    EXPECT_EQ(icon.size(), QSize(36, 36));
    EXPECT_EQ(icon.devicePixelRatio(), 2.0);
    icon.setDevicePixelRatio(1);
    // Whatever the application's own palette, a good part of the icon contrasts 3:1 with the
    // panel.
    for (const QColor panel : {QColor(0x1F, 0x1F, 0x1F), QColor(0xF0, 0xF0, 0xF0)}) {
        QImage shown(36, 36, QImage::Format_ARGB32_Premultiplied);
        shown.fill(panel);
        QPainter(&shown).drawImage(0, 0, icon);
        int covered = 0, clear = 0;
        for (int y = 0; y < 36; ++y)
            for (int x = 0; x < 36; ++x) {
                if (icon.pixelColor(x, y).alpha() < 128) continue;
                ++covered;
                if (contrast(luminance(shown.pixelColor(x, y)), luminance(panel)) >= 3) ++clear;
            }
        EXPECT_GT(covered, 36 * 36 / 3);
        EXPECT_GT(clear, covered / 4) << panel.name().toStdString() << ": " << clear << " of " << covered;
    }
}

TEST(QRCodeViewTest, EncodesTheUtf8PayloadAtLevelM) {
    test::ensureApplication();
    const QString url = QStringLiteral("http://192.168.1.20:41234/?t=AbCdEfGhIjKlMnOpQrStUv");
    QRCodeView view(url);
    ASSERT_TRUE(view.hasCode());
    const auto matrix = encodeQR(url);
    ASSERT_TRUE(matrix);
    const QByteArray bytes = url.toUtf8();
    for (QRecLevel level : {QR_ECLEVEL_M, QR_ECLEVEL_L}) {
        QRcode* reference =
            QRcode_encodeData(bytes.size(), reinterpret_cast<const unsigned char*>(bytes.constData()), 0, level);
        ASSERT_NE(reference, nullptr);
        bool same = reference->width == matrix->width;
        for (int i = 0; same && i < reference->width * reference->width; ++i)
            same = ((reference->data[i] & 1) != 0) == matrix->dark[static_cast<std::size_t>(i)];
        EXPECT_EQ(same, level == QR_ECLEVEL_M);
        QRcode_free(reference);
    }
    // 54 bytes at level M need version 4 (33 modules).
    EXPECT_EQ(matrix->width, 33);
    EXPECT_EQ(view.sizeHint(), QSize(232, 232));
}

TEST(QRCodeViewTest, TooLongPayloadShowsNothing) {
    test::ensureApplication();
    QRCodeView view(QString(5000, QLatin1Char('x')));
    EXPECT_FALSE(view.hasCode());
    EXPECT_EQ(view.sizeHint(), QSize(0, 0));
}

TEST(ComponentsTest, FileSymbols) {
    const std::pair<const char*, const char*> cases[] = {
        {"photo.jpg", "photo"}, {"song.mp3", "music.note"}, {"backup.zip", "doc.zipper"}, {"paper.pdf", "doc.text"},
        {"README", "doc"},      {"clip.mp4", "film"},       {"notes.txt", "doc.text"},    {"blob.qqqzz", "doc"},
    };
    for (const auto& [name, symbol] : cases) EXPECT_EQ(fileSymbol(QString::fromUtf8(name)).toStdString(), symbol) << name;
}

TEST(ComponentsTest, ProgressBarClampsAndAnnouncesWholePercent) {
    test::ensureApplication();
    const std::tuple<double, double, int> cases[] = {{-0.5, 6, 0}, {0, 6, 0}, {0.999, 199.8, 99}, {1.7, 200, 100}, {0.5, 100, 50}};
    for (const auto& [value, width, percent] : cases) {
        ProgressBar bar(value);
        EXPECT_DOUBLE_EQ(bar.fillWidth(200), width) << value;
        EXPECT_EQ(bar.percent(), percent) << value;
    }
}

TEST(ComponentsTest, ToolTipsShowNamesFromPhonesAndFilesAsText) {
    test::ensureApplication();
    const QString name = QStringLiteral("<h1>Bank</h1><img src=\"/tmp/secret.png\"> & co");
    // Qt renders what it takes for rich text; the text it shows must be the name itself, in
    // one or more lines.
    const auto shown = [](const QString& toolTip) {
        QTextDocument document;
        if (Qt::mightBeRichText(toolTip)) document.setHtml(toolTip);
        else document.setPlainText(toolTip);
        return document.toPlainText().remove(QLatin1Char('\n'));
    };
    // A name shown whole has no tooltip; a cut one shows it whole.
    ElidedLabel label(name, Qt::ElideRight, fonts::body(), colors::text);
    label.show();
    label.resize(label.sizeHint().width() + 10, 20);
    EXPECT_EQ(label.toolTip(), QString());
    label.resize(60, 20);
    EXPECT_EQ(shown(label.toolTip()), name);
    label.setFullText(name + QStringLiteral("<b>"));
    EXPECT_EQ(shown(label.toolTip()), name + QStringLiteral("<b>"));
    FileRow row(name, 10, [] {});
    const QString remove = row.findChild<QWidget*>(QStringLiteral("removeFile"))->toolTip();
    EXPECT_EQ(shown(remove), QStringLiteral("Remove ") + name);
    const auto shownTip = [] {
        QLabel* tip = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->inherits("QTipLabel") && top->isVisible()) tip = qobject_cast<QLabel*>(top);
        return tip;
    };
    // Shown on one line: Qt folds rich tooltips onto a narrow width unless told otherwise.
    QToolTip::showText(QPoint(100, 100), plainToolTip(QStringLiteral("Remove Holiday photo from the beach.jpg")));
    QLabel* tip = shownTip();
    ASSERT_NE(tip, nullptr);
    EXPECT_LT(tip->height(), 2 * QFontMetrics(tip->font()).lineSpacing());
    QToolTip::hideText();
    // A long name, with spaces or without, wraps at a readable width and stays on a small screen
    // (the offscreen screens are set up by the snapshot tests' environment).
    const QScreen* small = nullptr;
    for (const QScreen* screen : QGuiApplication::screens())
        if (screen->name() == QLatin1String("small")) small = screen;
    ASSERT_NE(small, nullptr);
    QString words;
    while (words.size() < 200) words += QStringLiteral("Holiday photo from the beach ");
    for (const QString& longName : {words + QStringLiteral(".jpg"), QString(209, QLatin1Char('x')) + QStringLiteral(".jpg")}) {
        const QString text = plainToolTip(longName);
        EXPECT_EQ(shown(text), longName);
        QToolTip::showText(small->geometry().topRight() + QPoint(-10, 100), text);
        tip = shownTip();
        ASSERT_NE(tip, nullptr);
        EXPECT_TRUE(small->geometry().contains(tip->geometry()))
            << tip->geometry().x() << "," << tip->geometry().y() << " " << tip->width() << "×" << tip->height();
        EXPECT_LE(tip->width(), 80 * QFontMetrics(tip->font()).averageCharWidth());
        EXPECT_GE(tip->height(), 3 * QFontMetrics(tip->font()).lineSpacing());
        QToolTip::hideText();
    }
}

// The Wi-Fi hint takes no space until its delay. It is the QR sheet's only word on a common
// failure: on a netbook's screen it shows whole in view.
TEST(ComponentsTest, NetworkHintShowsAfterItsDelayInView) {
    using namespace std::chrono_literals;
    test::ensureApplication();
    QWidget host;
    auto* hint = new NetworkHint(30ms, &host);
    (new QVBoxLayout(&host))->addWidget(hint);
    host.show();
    EXPECT_FALSE(hint->isShown());
    EXPECT_EQ(hint->height(), 0);
    ASSERT_TRUE(test::pumpUntil([&] { return hint->isShown(); }));
    ASSERT_NE(hint->findChild<Banner*>(), nullptr);
    EXPECT_EQ(hint->findChild<Banner*>()->text(), NetworkHint::text());

    test::AppModelHarness model({.sharingMode = "askEachTime"});
    model->start();
    MainWindow window(*model, nullptr, 200ms);
    for (QScreen* screen : QGuiApplication::screens())
        if (screen->name() == QLatin1String("small")) window.setScreen(screen);
    ASSERT_EQ(window.screen()->size(), QSize(1024, 600)) << "the snapshot tests' environment sets up the screens";
    window.move(window.screen()->availableGeometry().topLeft() + QPoint(40, 40));
    window.show();
    model->stageFiles({model.file("a.txt", 6)});
    model->startQRSend();
    ASSERT_TRUE(test::pumpUntil([&] { return window.content()->qrSendSheet() != nullptr; }));
    QDialog* sheet = window.content()->qrSendSheet();
    auto* scroll = sheet->findChild<QScrollArea*>(QStringLiteral("fittedScroll"));
    ASSERT_TRUE(test::pumpUntil([&] { return sheet->findChild<QWidget*>(QStringLiteral("networkHintBanner")); }));
    auto* banner = sheet->findChild<QWidget*>(QStringLiteral("networkHintBanner"));
    const auto seen = [&] { return QRect(banner->mapTo(scroll->viewport(), QPoint(0, 0)), banner->size()); };
    EXPECT_TRUE(test::pumpUntil([&] { return scroll->viewport()->rect().contains(seen()); }))
        << seen().y() << "+" << seen().height() << " in " << scroll->viewport()->height();
}

// The desktop switches between light and dark as qt6ct does: the application palette first, then
// a theme change and its palette handed to every widget once more.
void desktopSwitches(const QPalette& palette) {
    QApplication::setPalette(palette);
    for (QWidget* widget : QApplication::allWidgets()) {
        QEvent theme(QEvent::ThemeChange);
        QApplication::sendEvent(widget, &theme);
        widget->setPalette(palette);
    }
    test::pumpFor(std::chrono::milliseconds(10));
}

// Every label shown in `window` in a text colour of the theme, the window on its background.
void expectThemed(QWidget* window, Appearance appearance) {
    ASSERT_NE(window, nullptr);
    const char* look = appearance == Appearance::dark ? "dark" : "light";
    EXPECT_EQ(window->palette().color(QPalette::Window), colors::bg.in(appearance)) << look;
    QList<QColor> texts;
    for (const ThemeColor* color : {&colors::text, &colors::sub, &colors::faint, &colors::ok, &colors::bad,
                                    &colors::warn, &colors::accentText})
        texts << color->in(appearance);
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (!label->isVisibleTo(window)) continue;
        EXPECT_TRUE(texts.contains(label->palette().color(QPalette::WindowText)))
            << look << " " << label->text().toStdString() << " in "
            << label->palette().color(QPalette::WindowText).name().toStdString();
    }
}

TEST(ThemeTest, ColoursFollowTheDesktopSwitching) {
    using namespace std::chrono_literals;
    test::ensureApplication();
    const QPalette original = QApplication::palette();
    const QPalette light(QColor(0xF0, 0xF0, 0xF0)), dark(QColor(0x1F, 0x1F, 0x1F));
    desktopSwitches(light);
    test::AppModelHarness model;
    model->start();
    MainWindow window(*model, nullptr, 1h);
    window.show();
    // Rows in every tone: done, declined, and one waiting with its prompt open.
    for (const bool accept : {true, false}) {
        model.advertiser->connect();
        ASSERT_TRUE(test::pumpUntil([&] { return model->incoming().has_value(); }));
        model->answerIncoming(accept);
        ASSERT_TRUE(test::pumpUntil([&] { return !model.row().state.isActive(); }));
    }
    model.advertiser->connect();
    ASSERT_TRUE(test::pumpUntil([&] { return model->incoming().has_value(); }));
    IncomingPromptPresenter prompt;
    prompt.present(*model);
    ASSERT_TRUE(test::pumpUntil([&] { return window.findChildren<TransferRow*>().size() == 3; }));
    const auto switchesBothWays = [&](QWidget* sheet) {
        for (const auto& [palette, appearance] : {std::pair{dark, Appearance::dark}, std::pair{light, Appearance::light}}) {
            desktopSwitches(palette);
            for (QWidget* shown : {static_cast<QWidget*>(&window), static_cast<QWidget*>(prompt.panel()), sheet})
                expectThemed(shown, appearance);
            const auto* done = window.findChildren<TransferRow*>().at(2)->findChild<QLabel*>(QStringLiteral("status"));
            EXPECT_EQ(done->palette().color(QPalette::WindowText), colors::ok.in(appearance));
        }
    };
    model->stageFiles({model.file("a.txt", 6)});
    model->startQRSend();
    ASSERT_TRUE(test::pumpUntil([&] { return window.content()->qrSendSheet() != nullptr; }));
    switchesBothWays(window.content()->qrSendSheet());
    model->cancelQRSend();
    model->startWebReceive();
    ASSERT_TRUE(test::pumpUntil([&] { return window.content()->webReceiveSheet() != nullptr; }));
    switchesBothWays(window.content()->webReceiveSheet());
    model->stopWebReceive();
    prompt.dismiss();
    QApplication::setPalette(original);
}

// WCAG contrast ratio of two opaque colours.
double contrast(const QColor& a, const QColor& b) { return contrast(luminance(a), luminance(b)); }

// A window that scrolls shows it by a handle that stands out from its track and from the
// window, and tooltips are in the theme's colours: both through the desktop's live switches.
TEST(ThemeTest, ScrollHandleAndToolTipsFollowTheDesktopSwitching) {
    test::ensureApplication();
    const QPalette original = QApplication::palette();
    const QPalette light(QColor(0xF0, 0xF0, 0xF0)), dark(QColor(0x1F, 0x1F, 0x1F));
    QWidget window;
    applyWindowBackground(&window);
    auto* tall = new QWidget;
    tall->setMinimumHeight(4000);
    fittedColumn(&window, 320, 16, 16, false)->addWidget(tall);
    window.show();
    auto* scroll = window.findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    QScrollBar* bar = scroll->verticalScrollBar();
    ASSERT_TRUE(test::pumpUntil([&] { return bar->isVisible() && bar->height() > 100; }));
    for (const auto& [palette, appearance] : {std::pair{dark, Appearance::dark}, std::pair{light, Appearance::light},
                                              std::pair{dark, Appearance::dark}}) {
        const char* look = appearance == Appearance::dark ? "dark" : "light";
        desktopSwitches(palette);
        ASSERT_EQ(currentAppearance(), appearance);
        bar->setValue(bar->minimum());
        const QImage image = window.grab().toImage();
        const QPoint barAt = bar->mapTo(&window, QPoint(bar->width() / 2, 0));
        // The handle at the top; the track at the bottom, far below it.
        const QColor handle = image.pixelColor(barAt + QPoint(0, 12));
        const QColor track = image.pixelColor(barAt + QPoint(0, bar->height() - 4));
        const QColor background = image.pixelColor(4, 4);
        EXPECT_EQ(background, colors::bg.in(appearance)) << look;
        EXPECT_GE(contrast(handle, track), 3.0) << look << " " << handle.name().toStdString() << " on "
                                                << track.name().toStdString();
        EXPECT_GE(contrast(handle, background), 3.0) << look << " " << handle.name().toStdString() << " on "
                                                     << background.name().toStdString();
        QToolTip::showText(window.mapToGlobal(QPoint(20, 20)), QStringLiteral("Remove photo.jpg"), &window);
        QWidget* tip = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->inherits("QTipLabel") && top->isVisible()) tip = top;
        ASSERT_NE(tip, nullptr);
        const QPalette shown = tip->palette();
        EXPECT_EQ(shown.color(QPalette::ToolTipBase), colors::card.in(appearance)) << look;
        EXPECT_EQ(shown.color(QPalette::ToolTipText), colors::text.in(appearance)) << look;
        EXPECT_EQ(tip->grab().toImage().pixelColor(tip->width() / 2, 2), colors::card.in(appearance)) << look;
        QToolTip::hideText();
    }
    QApplication::setPalette(original);
}

// The tray window and the settings popover stand apart from a window under them by a 1 px edge
// in line over bg, light and dark.
TEST(ThemeTest, PopupWindowsHaveALineEdge) {
    test::ensureApplication();
    test::AppModelHarness model;
    model->start();
    MenuBarWindow tray(*model, [] {}, [] {});
    QWidget anchor;
    anchor.show();
    for (const Appearance appearance : {Appearance::light, Appearance::dark}) {
        setAppearanceOverride(appearance);
        tray.showPopup(QPoint(100, 100));
        QWidget* settings = showSettingsPopover(*model, &anchor);
        test::pumpFor(std::chrono::milliseconds(20));
        const QColor line = colors::line, bg = colors::bg;
        const auto over = [&](int a, int b) { return qRound(line.alphaF() * a + (1 - line.alphaF()) * b); };
        const QColor edge(over(line.red(), bg.red()), over(line.green(), bg.green()), over(line.blue(), bg.blue()));
        for (QWidget* popup : {tray.popup(), settings}) {
            const QImage image = popup->grab().toImage();
            const int middle = image.height() / 2;
            for (const QPoint at : {QPoint(0, middle), QPoint(image.width() - 1, middle), QPoint(middle, 0)}) {
                const QColor seen = image.pixelColor(at);
                EXPECT_LE(std::abs(seen.red() - edge.red()) + std::abs(seen.green() - edge.green()) +
                              std::abs(seen.blue() - edge.blue()), 6)
                    << popup->metaObject()->className() << " at " << at.x() << "," << at.y() << ": "
                    << seen.name().toStdString() << " for " << edge.name().toStdString();
            }
            EXPECT_EQ(image.pixelColor(2, middle), bg) << "the edge is wider than a pixel";
        }
        settings->close();
        tray.popup()->hide();
    }
    setAppearanceOverride(std::nullopt);
}

// The keyboard's ring on a check box stands out from the window (3:1), and section headers
// read as text (4.5:1), light and dark: the strongest pixel each draws against bg (the ring's
// only where the window showed before).
TEST(ThemeTest, FocusRingAndSectionHeadersStandOut) {
    test::ensureApplication();
    test::AppModelHarness model;
    model->start();
    QWidget anchor;
    anchor.show();
    const auto strongest = [](const QImage& image, const QColor& bg, int fromX, const QImage& unlike) {
        double most = 1;
        for (int y = 0; y < image.height(); ++y)
            for (int x = fromX; x < image.width(); ++x)
                if (unlike.isNull() || (unlike.pixelColor(x, y) == bg && image.pixel(x, y) != unlike.pixel(x, y)))
                    most = std::max(most, contrast(image.pixelColor(x, y), bg));
        return most;
    };
    for (const Appearance appearance : {Appearance::light, Appearance::dark}) {
        setAppearanceOverride(appearance);
        const char* look = appearance == Appearance::dark ? "dark" : "light";
        QWidget* settings = showSettingsPopover(*model, &anchor);
        auto* box = settings->findChild<QCheckBox*>(QStringLiteral("receiveFromAndroid"));
        const QImage plain = box->grab().toImage();
        for (int tabs = 0; tabs < 10 && !box->hasFocus(); ++tabs) QTest::keyClick(settings->windowHandle(), Qt::Key_Tab);
        ASSERT_TRUE(box->hasFocus());
        // Beside the box itself, which has an edge of its own.
        const int beside = box->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, box) + 2;
        EXPECT_GE(strongest(box->grab().toImage(), colors::bg, beside, plain), 3.0) << look << " focus ring";
        settings->close();
        QWidget window;
        applyWindowBackground(&window);
        (new QVBoxLayout(&window))->addWidget(new SectionHeader(QStringLiteral("Transfers"), std::nullopt, nullptr));
        window.show();
        EXPECT_GE(strongest(window.grab().toImage(), colors::bg, 0, QImage()), 4.5) << look << " section header";
    }
    setAppearanceOverride(std::nullopt);
}

TransferItem item(TransferItem::Direction direction, TransferItem::State state) {
    TransferItem row;
    row.direction = direction;
    row.peer = "Pixel 9";
    row.summary = "photo.jpg";
    row.state = std::move(state);
    return row;
}

TEST(TransferRowTest, StatusTextPerState) {
    using D = TransferItem::Direction;
    using S = TransferItem::State;
    auto waitingSend = item(D::sending, S::awaitingAccept());
    waitingSend.code = "1234";
    auto check = waitingSend;
    check.needsPeerCheck = true;
    auto moving = item(D::receiving, S::transferring());
    moving.done = 1'500'000;
    moving.total = 3'000'000;
    auto done = item(D::receiving, S::done());
    done.total = 2'000;
    // A right-to-left name keeps the size after it: "Done from <name> · 20 KB", not "20 · <name> KB".
    auto arabic = done;
    arabic.peer = "هاتف أحمد";
    arabic.total = 20'000;
    // Each name in a sentence is isolated (U+2068 … U+2069).
    const std::pair<TransferItem, const char*> cases[] = {
        {item(D::sending, S::connecting()), "Connecting to \u2068Pixel 9\u2069…"},
        {waitingSend, "Waiting for \u2068Pixel 9\u2069 to accept · code 1234"},
        {item(D::receiving, S::awaitingAccept()), "Waiting for your answer"},
        {check, "Check the phone shows 1234 · to \u2068Pixel 9\u2069"},
        {moving, "1.5 MB of 3 MB from \u2068Pixel 9\u2069"},
        {done, "Done from \u2068Pixel 9\u2069 · 2 KB"},
        {arabic, "Done from \u2068هاتف أحمد\u2069 · 20 KB"},
        {item(D::receiving, S::declined()), "You declined"},
        {item(D::sending, S::declined()), "\u2068Pixel 9\u2069 declined"},
        {item(D::sending, S::failed("Lost connection.")), "Lost connection."},
    };
    for (const auto& [row, text] : cases) EXPECT_EQ(transferStatusText(row).toStdString(), text) << text;
}

// A right-to-left file name starts where the list's other names start, on the left.
TEST(TransferRowTest, RightToLeftNameKeepsTheListsAlignment) {
    test::ensureApplication();
    FileRow row(QStringLiteral("تقرير الرحلة.txt"), 3, nullptr);
    row.resize(400, 40);
    row.show();
    const QImage name = row.findChild<QLabel*>(QStringLiteral("fileName"))->grab().toImage();
    int left = name.width();
    for (int y = 0; y < name.height(); ++y)
        for (int x = 0; x < left; ++x)
            if (name.pixel(x, y) != name.pixel(0, 0)) left = x;
    EXPECT_LT(left, name.width() / 4);
}

TEST(QRSendSheetTest, RecipientStatusTexts) {
    using Phase = QRSend::Recipient::Phase;
    const auto recipient = [](std::string id, Phase phase, double fraction = 0) {
        return QRSend::Recipient{std::move(id), "Pixel", std::move(phase), fraction};
    };
    const std::pair<QRSend::Recipient, const char*> cases[] = {
        {recipient("p1", Phase::waitingForAccept("1234")), "Tap Accept on the phone · PIN 1234"},
        {recipient("p1", Phase::verify("1234", Uuid())), "Check the phone shows 1234 before sending."},
        {recipient("p1", Phase::connecting()), "Connecting…"},
        {recipient("airdrop-1", Phase::connecting()), "Pick the phone in AirDrop"},
        {recipient("p1", Phase::sending(), 0.999), "Sending · 99%"},
        {recipient("p1", Phase::sending(), 0), "Sending · 0%"},
        {recipient("p1", Phase::sending(), 1.5), "Sending · 100%"},
        {recipient("p1", Phase::done()), "Sent"},
        {recipient("p1", Phase::failed("<b>gone</b>")), "<b>gone</b>"},
    };
    for (const auto& [r, text] : cases) EXPECT_EQ(recipientStatusText(r).toStdString(), text) << text;
}
}  // namespace
}  // namespace velmo
