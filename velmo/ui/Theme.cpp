#include "velmo/ui/Theme.h"

#include "velmo/ui/ApplicationTheme.h"
#include "velmo/ui/Symbols.h"
#include "velmo/ui/ThemeRoles.h"

#include <QEnterEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QResizeEvent>
#include <QStyleOptionButton>
#include <QVariantAnimation>
#include <cmath>

namespace velmo {

namespace {

std::optional<Appearance> appearanceOverride;

QColor rgb(unsigned value, double alpha = 1.0) {
    QColor color((value >> 16) & 0xff, (value >> 8) & 0xff, value & 0xff);
    color.setAlphaF(static_cast<float>(alpha));
    return color;
}

ThemeColor dynamic(unsigned light, double lightAlpha, unsigned dark, double darkAlpha) {
    return {rgb(light, lightAlpha), rgb(dark, darkAlpha)};
}

ThemeColor fixed(unsigned value) { return {rgb(value), rgb(value)}; }

QFont systemFont(int pixels, QFont::Weight weight) {
    QFont font = QGuiApplication::font();
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}

QVariantAnimation* easeOut(QObject* parent, int milliseconds) {
    auto* animation = new QVariantAnimation(parent);
    animation->setStartValue(0.0);
    animation->setEndValue(1.0);
    animation->setDuration(milliseconds);
    animation->setEasingCurve(QEasingCurve::OutCubic);
    return animation;
}

QColor mix(const QColor& from, const QColor& to, qreal t) {
    const auto channel = [t](float a, float b) { return a + (b - a) * static_cast<float>(t); };
    return QColor::fromRgbF(channel(from.redF(), to.redF()), channel(from.greenF(), to.greenF()),
                            channel(from.blueF(), to.blueF()), channel(from.alphaF(), to.alphaF()));
}

}  // namespace

Appearance currentAppearance() {
    if (appearanceOverride) return *appearanceOverride;
    const QColor window = QGuiApplication::palette().color(QPalette::Window);
    return window.lightness() < 128 ? Appearance::dark : Appearance::light;
}

void setAppearanceOverride(std::optional<Appearance> appearance) { appearanceOverride = appearance; }

namespace colors {
const ThemeColor accent = dynamic(0x2563EB, 1, 0x2563EB, 1);
const ThemeColor accentText = dynamic(0x1D4ED8, 1, 0x8AB4FF, 1);
const ThemeColor soft = dynamic(0x2563EB, 0.10, 0x60A5FA, 0.16);
const ThemeColor ok = dynamic(0x15803D, 1, 0x4ADE80, 1);
const ThemeColor bad = dynamic(0xDC2626, 1, 0xF87171, 1);
const ThemeColor card = dynamic(0xFFFFFF, 1, 0x171B22, 1);
const ThemeColor bg = dynamic(0xF5F7FB, 1, 0x0E1117, 1);
const ThemeColor line = dynamic(0x0F172A, 0.10, 0xFFFFFF, 0.10);
const ThemeColor top = fixed(0x2E6BEA);
const ThemeColor bottom = fixed(0x1E4FD8);
const ThemeColor text = dynamic(0x0F172A, 1, 0xF1F5F9, 1);
const ThemeColor sub = dynamic(0x475569, 1, 0xA3AEBF, 1);
const ThemeColor fill = dynamic(0xEEF2F8, 1, 0x202632, 1);
const ThemeColor faint = dynamic(0x5E6E85, 1, 0x8B97AB, 1);
const ThemeColor softStrong = dynamic(0x2563EB, 0.18, 0x60A5FA, 0.26);
const ThemeColor onAccent = fixed(0xFFFFFF);
const ThemeColor warn = dynamic(0xB45309, 1, 0xFBBF24, 1);
const ThemeColor warnSoft = dynamic(0xD97706, 0.12, 0xF59E0B, 0.16);
const ThemeColor okSoft = dynamic(0x15803D, 0.08, 0x4ADE80, 0.14);
const ThemeColor badSoft = dynamic(0xDC2626, 0.06, 0xF87171, 0.14);
const ThemeColor tileTop = fixed(0x4DB6FF);
const ThemeColor tileBottom = fixed(0x0058D6);
const ThemeColor markWhite = fixed(0xFFFFFF);
const ThemeColor markBlack = fixed(0x000000);
const ThemeColor qrBackground = fixed(0xFFFFFF);
const ThemeColor shadow = dynamic(0x0F172A, 0.06, 0x000000, 0.0);
const ThemeColor& dropTint = soft;
}  // namespace colors

QString cssColor(const ThemeColor& color, Appearance appearance) {
    const QColor value = color.in(appearance).toRgb();
    const auto channel = [](float component) { return static_cast<int>(std::lround(component * 255.0)); };
    return QStringLiteral("rgba(%1,%2,%3,%4)")
        .arg(channel(value.redF()))
        .arg(channel(value.greenF()))
        .arg(channel(value.blueF()))
        .arg(QString::asprintf("%.2f", static_cast<double>(value.alphaF())));
}

QColor withOpacity(QColor color, double factor) {
    color.setAlphaF(static_cast<float>(std::clamp(color.alphaF() * factor, 0.0, 1.0)));
    return color;
}

namespace fonts {
QFont title() { return systemFont(22, QFont::DemiBold); }
QFont heading() { return systemFont(17, QFont::DemiBold); }
QFont bodyStrong() { return systemFont(13, QFont::DemiBold); }
QFont body() { return systemFont(13, QFont::Normal); }
QFont caption() { return systemFont(12, QFont::Normal); }
QFont captionStrong() { return systemFont(12, QFont::DemiBold); }
QFont captionMedium() { return systemFont(12, QFont::Medium); }
QFont callout() { return systemFont(15, QFont::Medium); }
QFont buttonHero() { return systemFont(15, QFont::DemiBold); }
QFont badgeLarge() { return systemFont(26, QFont::Medium); }
QFont pin() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(28);
    font.setWeight(QFont::DemiBold);
    return font;
}
}  // namespace fonts

QVariantAnimation* pressAnimation(QObject* parent) { return easeOut(parent, 150); }
QVariantAnimation* progressAnimation(QObject* parent) { return easeOut(parent, 250); }

QPen dashedStroke(const QColor& color) {
    QPen pen(color, 1.5, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    // Qt counts dashes in units of the pen width.
    pen.setDashPattern({6 / 1.5, 5 / 1.5});
    pen.setDashOffset(0);
    return pen;
}

ThemedButton::ThemedButton(const QString& text, Kind kind, bool hero, bool compact, QWidget* parent)
    : QPushButton(text, parent), kind_(kind), hero_(hero), compact_(compact), fade_(pressAnimation(this)) {
    setFont(hero ? fonts::buttonHero() : fonts::bodyStrong());
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    setSizePolicy(hero ? QSizePolicy::Expanding : QSizePolicy::Preferred, QSizePolicy::Fixed);
    connect(fade_, &QVariantAnimation::valueChanged, this, [this] { update(); });
    connect(this, &QPushButton::pressed, this, &ThemedButton::animateLook);
    connect(this, &QPushButton::released, this, &ThemedButton::animateLook);
}

qreal ThemedButton::gradientOpacity() const { return isDown() ? 0.85 : hovering_ ? 0.94 : 1.0; }

void ThemedButton::animateLook() {
    // Ease from what is on screen, which mid-animation is neither end.
    const qreal t = fade_->state() == QAbstractAnimation::Running ? fade_->currentValue().toReal() : 1.0;
    fromFill_ = mix(fromFill_, toFill_, t);
    fromOpacity_ += (toOpacity_ - fromOpacity_) * t;
    toFill_ = backgroundColor();
    toOpacity_ = gradientOpacity();
    fade_->stop();
    fade_->start();
}

QColor ThemedButton::backgroundColor() const {
    const bool pressed = isDown();
    switch (kind_) {
    case Kind::primary:
        if (hero_) return colors::top;
        return pressed ? withOpacity(colors::accent, 0.80)
                       : hovering_ ? withOpacity(colors::accent, 0.92) : QColor(colors::accent);
    case Kind::secondary:
        return pressed ? QColor(colors::fill) : hovering_ ? withOpacity(colors::fill, 0.70) : QColor(colors::card);
    case Kind::tinted:
        return pressed || hovering_ ? QColor(colors::softStrong) : QColor(colors::soft);
    case Kind::plain:
        return pressed || hovering_ ? QColor(colors::soft) : QColor(Qt::transparent);
    case Kind::destructive:
        return pressed || hovering_ ? withOpacity(colors::badSoft, 1.6) : QColor(colors::badSoft);
    }
    return Qt::transparent;
}

QColor ThemedButton::labelColor() const {
    switch (kind_) {
    case Kind::primary: return colors::onAccent;
    case Kind::secondary: return colors::text;
    case Kind::tinted:
    case Kind::plain: return colors::accentText;
    case Kind::destructive: return colors::bad;
    }
    return colors::text;
}

void ThemedButton::setSymbol(const QString& symbol, int size) {
    symbol_ = symbol;
    setIconSize(QSize(size, size));
    updateGeometry();
    update();
}

bool ThemedButton::hasSymbol() const { return !symbol_.isEmpty() || !icon().isNull(); }

QSize ThemedButton::sizeHint() const {
    const QFontMetrics metrics(font());
    const int padding = compact_ ? 10 : 16;
    const int height = hero_ ? 48 : compact_ ? 24 : 32;
    int width = metrics.horizontalAdvance(text()) + 2 * padding;
    if (hasSymbol()) width += iconSize().width() + (text().isEmpty() ? 0 : 6);
    return {width, std::max(height, metrics.height())};
}

QSize ThemedButton::minimumSizeHint() const { return sizeHint(); }

void ThemedButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(isEnabled() ? 1.0 : 0.45);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = hero_ ? 12 : 8;
    QPainterPath shape;
    shape.addRoundedRect(box, radius, radius);
    const bool easing = fade_->state() == QAbstractAnimation::Running;
    const qreal t = easing ? fade_->currentValue().toReal() : 1.0;
    if (kind_ == Kind::primary && hero_) {
        QLinearGradient gradient(box.topLeft(), box.bottomLeft());
        gradient.setColorAt(0, colors::top);
        gradient.setColorAt(1, colors::bottom);
        painter.save();
        painter.setOpacity(painter.opacity() * (fromOpacity_ + (toOpacity_ - fromOpacity_) * t));
        painter.fillPath(shape, gradient);
        painter.restore();
    } else {
        painter.fillPath(shape, easing ? mix(fromFill_, toFill_, t) : backgroundColor());
    }
    if (!easing) {
        // At rest both ends are the current look, resolved now so a switch of appearance shows at once.
        fromFill_ = toFill_ = backgroundColor();
        fromOpacity_ = toOpacity_ = gradientOpacity();
    }
    if (kind_ == Kind::secondary) painter.strokePath(shape, QPen(colors::line.now(), 1));
    if (showsFocus()) {
        // A ring in the accent inside the edge; on an accent fill a white line inside it sets it off.
        QPainterPath ring;
        ring.addRoundedRect(box.adjusted(0.5, 0.5, -0.5, -0.5), radius - 0.5, radius - 0.5);
        painter.strokePath(ring, QPen(colors::accent.now(), 2));
        if (kind_ == Kind::primary) {
            QPainterPath inner;
            inner.addRoundedRect(box.adjusted(2.25, 2.25, -2.25, -2.25), radius - 2.25, radius - 2.25);
            painter.strokePath(inner, QPen(colors::onAccent.now(), 1.5));
        }
    }

    painter.setPen(labelColor());
    painter.setFont(font());
    QRect content = rect();
    if (hasSymbol()) {
        const QSize iconArea = iconSize();
        const int textWidth = text().isEmpty() ? 0 : QFontMetrics(font()).horizontalAdvance(text()) + 6;
        const int left = (width() - iconArea.width() - textWidth) / 2;
        const QRect iconBox(QPoint(left, (height() - iconArea.height()) / 2), iconArea);
        if (!symbol_.isEmpty()) {
            painter.save();
            paintSymbol(painter, iconBox, symbol_, labelColor());
            painter.restore();
        } else {
            painter.drawPixmap(iconBox, icon().pixmap(iconArea, devicePixelRatioF()));
        }
        content.setLeft(left + iconArea.width() + 6);
        painter.drawText(content, Qt::AlignVCenter | Qt::AlignLeft, text());
        return;
    }
    painter.drawText(content, Qt::AlignCenter, text());
}

bool ThemedButton::showsFocus() const {
    // As the platform's styles do: a ring once the keyboard has moved focus in this window,
    // not after a click.
    return hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange);
}

void ThemedButton::keyPressEvent(QKeyEvent* event) {
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    // Up and Down scroll the window the button is in, as in the rest of it, rather than move
    // the focus (Tab, Left and Right do that).
    if (plain && (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down)) {
        event->ignore();
        return;
    }
    // Return and Enter press the focused button, as Space does, in every window and not only
    // in dialogs; held down, they press it once, not the control the focus moves on to.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!enter || !plain) {
        QPushButton::keyPressEvent(event);
        return;
    }
    event->accept();
    if (!event->isAutoRepeat() && isEnabled()) click();
}

void ThemedButton::enterEvent(QEnterEvent* event) {
    hovering_ = true;
    animateLook();
    QPushButton::enterEvent(event);
}

void ThemedButton::leaveEvent(QEvent* event) {
    hovering_ = false;
    animateLook();
    QPushButton::leaveEvent(event);
}

Card::Card(bool padded, QWidget* parent) : QWidget(parent) {
    const int padding = padded ? 16 : 0;
    setContentsMargins(padding, padding, padding, padding);
    shadowHost_ = parentWidget();
    if (shadowHost_) shadowHost_->installEventFilter(this);
}

void Card::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
    painter.fillPath(shape, QColor(colors::card));
    painter.strokePath(shape, QPen(colors::line.now(), 1));
}

QRect Card::shadowArea(const QRect& geometry) const { return geometry.adjusted(-5, -4, 5, 6); }

void Card::paintShadow(QPainter& painter, const QRectF& box) const {
    const QColor shadow = colors::shadow;
    if (shadow.alpha() == 0) return;
    // A blur of 4 as four rings whose alpha adds up towards the edge; the card covers the middle.
    QColor ring = shadow;
    ring.setAlphaF(shadow.alphaF() / 4);
    painter.setRenderHint(QPainter::Antialiasing);
    for (int spread = 4; spread >= 1; --spread) {
        QPainterPath path;
        path.addRoundedRect(box.translated(0, 1).adjusted(-spread, -spread, spread, spread), 12 + spread, 12 + spread);
        painter.fillPath(path, ring);
    }
}

bool Card::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::ParentAboutToChange:
        if (shadowHost_) shadowHost_->removeEventFilter(this);
        shadowHost_ = nullptr;
        break;
    case QEvent::ParentChange:
        shadowHost_ = parentWidget();
        if (shadowHost_) shadowHost_->installEventFilter(this);
        break;
    case QEvent::Move:
        if (shadowHost_) {
            shadowHost_->update(shadowArea(QRect(static_cast<QMoveEvent*>(event)->oldPos(), size())));
            shadowHost_->update(shadowArea(geometry()));
        }
        break;
    case QEvent::Resize:
        if (shadowHost_) {
            shadowHost_->update(shadowArea(QRect(pos(), static_cast<QResizeEvent*>(event)->oldSize())));
            shadowHost_->update(shadowArea(geometry()));
        }
        break;
    case QEvent::Show:
    case QEvent::Hide:
        if (shadowHost_) shadowHost_->update(shadowArea(geometry()));
        break;
    default: break;
    }
    return QWidget::event(event);
}

bool Card::eventFilter(QObject* watched, QEvent* event) {
    if (watched == shadowHost_ && event->type() == QEvent::Paint && isVisible()) {
        QPainter painter(shadowHost_);
        painter.setClipRegion(static_cast<QPaintEvent*>(event)->region());
        paintShadow(painter, QRectF(geometry()).adjusted(0.5, 0.5, -0.5, -0.5));
    }
    return false;
}

void setTextColor(QWidget* widget, const ThemeColor& color) {
    setThemeRoles(widget, {{QPalette::WindowText, color}, {QPalette::Text, color}}, false);
}

void applyWindowBackground(QWidget* window) {
    setThemeRoles(window,
                  {{QPalette::Window, colors::bg},
                   {QPalette::WindowText, colors::text},
                   {QPalette::Text, colors::text},
                   {QPalette::Base, colors::card},
                   {QPalette::ButtonText, colors::text},
                   {QPalette::Button, colors::fill},
                   {QPalette::AlternateBase, colors::fill},
                   {QPalette::Highlight, colors::accent},
                   {QPalette::HighlightedText, colors::onAccent},
                   {QPalette::ToolTipBase, colors::card},
                   {QPalette::ToolTipText, colors::text},
                   {QPalette::PlaceholderText, colors::faint},
                   // The roles styles draw frames with (text fields, check boxes, dividers).
                   {QPalette::Mid, colors::line},
                   {QPalette::Dark, colors::line},
                   {QPalette::Shadow, colors::line}},
                  true);
    window->setAutoFillBackground(true);
    ApplicationTheme::install();
}

}  // namespace velmo
