// The one place that fixes the look: named colours with a light and a dark value,
// fonts, the button style and the card.
#pragma once

#include <QColor>
#include <QFont>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <optional>

class QVariantAnimation;

namespace velmo {

enum class Appearance { light, dark };

// The appearance colours resolve against: an override (snapshots, tests), else the
// application palette's window colour.
Appearance currentAppearance();
void setAppearanceOverride(std::optional<Appearance> appearance);

struct ThemeColor {
    QColor light;
    QColor dark;
    QColor in(Appearance appearance) const { return appearance == Appearance::dark ? dark : light; }
    QColor now() const { return in(currentAppearance()); }
    operator QColor() const { return now(); }
};

namespace colors {
extern const ThemeColor accent, accentText, soft, ok, bad, card, bg, line, top, bottom, text, sub;
extern const ThemeColor fill, faint, softStrong, onAccent, warn, warnSoft, okSoft, badSoft;
extern const ThemeColor tileTop, tileBottom, markWhite, markBlack, qrBackground, shadow;
extern const ThemeColor& dropTint;  // the same colour as soft
}  // namespace colors

// "rgba(R,G,B,A.AA)" of a colour in one appearance, as the upload page writes it.
QString cssColor(const ThemeColor& color, Appearance appearance);

// A colour with its alpha multiplied by factor.
QColor withOpacity(QColor color, double factor);

// Sizes are pixels, like every length of the layout, so text and layout scale together.
namespace fonts {
QFont title();
QFont heading();
QFont bodyStrong();
QFont body();
QFont caption();
QFont captionStrong();
QFont captionMedium();
QFont callout();
QFont buttonHero();
QFont badgeLarge();
QFont pin();
}  // namespace fonts

// Short ease-out animations: hover and press (and drop highlights), and progress widths. They
// run only while something changes; nothing ticks while idle.
QVariantAnimation* pressAnimation(QObject* parent);
QVariantAnimation* progressAnimation(QObject* parent);

// The dashed outline of the drop zone.
QPen dashedStroke(const QColor& color);

// A button drawn by the theme; kinds as the style names them.
class ThemedButton : public QPushButton {
    Q_OBJECT
public:
    enum class Kind { primary, secondary, tinted, plain, destructive };
    ThemedButton(const QString& text, Kind kind, bool hero = false, bool compact = false,
                 QWidget* parent = nullptr);

    Kind kind() const { return kind_; }
    bool isHero() const { return hero_; }
    bool isCompact() const { return compact_; }
    bool isHovering() const { return hovering_; }
    // Fill at rest, hovered or pressed (pressed wins over hovered); the hero primary
    // gradient is drawn separately.
    QColor backgroundColor() const;
    QColor labelColor() const;
    // A symbol before the title, drawn in the label colour each time the button paints.
    void setSymbol(const QString& symbol, int size);
    QString symbol() const { return symbol_; }
    // Whether the focus ring is drawn: the button has focus that the keyboard moved.
    bool showsFocus() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    bool hasSymbol() const;
    // Opacity of the hero gradient at rest, hovered or pressed.
    qreal gradientOpacity() const;
    // Starts easing from what is drawn now to the look of the current state.
    void animateLook();
    Kind kind_;
    bool hero_;
    bool compact_;
    bool hovering_ = false;
    QString symbol_;
    QVariantAnimation* fade_;
    QColor fromFill_, toFill_;
    qreal fromOpacity_ = 1, toOpacity_ = 1;
};

// A card: rounded surface with a hairline border and a soft shadow; children go in its
// layout, padded by 16 when asked. The shadow spills onto the parent, which paints it.
class Card : public QWidget {
    Q_OBJECT
public:
    explicit Card(bool padded = true, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void paintShadow(QPainter& painter, const QRectF& box) const;
    // The parent's area the shadow covers, for repainting it when the card moves.
    QRect shadowArea(const QRect& geometry) const;
    QWidget* shadowHost_ = nullptr;
};

// The widget's text colour (its WindowText and Text roles), kept at the theme's value through
// light/dark switches and whatever palettes the desktop hands out.
void setTextColor(QWidget* widget, const ThemeColor& color);

// Paints the window background in the theme's bg colour, following the appearance; the first
// call also puts the application's scroll bars and tooltips in the theme.
void applyWindowBackground(QWidget* window);

}  // namespace velmo
