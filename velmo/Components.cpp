#include "velmo/Components.h"

#include <QDialog>
#include <QVBoxLayout>

#include "platform/ContentType.h"
#include "velmo/ByteCountFormat.h"
#include "velmo/VelmoMark.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <cmath>

namespace velmo {

namespace {

QPen strokePen(const QColor& color, double width) {
    QPen pen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    return pen;
}

// Symbols are drawn on a 24-unit grid scaled into the box.
void drawOnGrid(QPainter& p, const QString& s, const QColor& c) {
    const QPen pen = strokePen(c, 2);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const auto filledCircle = [&](QPointF centre, double r) {
        p.setPen(Qt::NoPen);
        p.setBrush(c);
        p.drawEllipse(centre, r, r);
    };
    const auto cutout = [&](const std::function<void()>& draw) {
        // Marks inside a filled shape: drawn by clearing, so they show the background.
        p.save();
        p.setCompositionMode(QPainter::CompositionMode_DestinationOut);
        p.setPen(strokePen(Qt::black, 2.2));
        draw();
        p.restore();
    };
    if (s == "xmark") {
        p.drawLine(QPointF(6, 6), QPointF(18, 18));
        p.drawLine(QPointF(18, 6), QPointF(6, 18));
    } else if (s == "checkmark") {
        p.drawPolyline(QPolygonF({{5, 12.5}, {10, 17.5}, {19, 6.5}}));
    } else if (s == "exclamationmark") {
        p.drawLine(QPointF(12, 4), QPointF(12, 15));
        filledCircle({12, 20}, 1.5);
    } else if (s == "checkmark.circle.fill" || s == "xmark.circle.fill") {
        filledCircle({12, 12}, 10);
        cutout([&] {
            if (s == "checkmark.circle.fill")
                p.drawPolyline(QPolygonF({{7.5, 12.5}, {10.5, 15.5}, {16.5, 8.5}}));
            else {
                p.drawLine(QPointF(8.5, 8.5), QPointF(15.5, 15.5));
                p.drawLine(QPointF(15.5, 8.5), QPointF(8.5, 15.5));
            }
        });
    } else if (s == "exclamationmark.triangle.fill") {
        QPainterPath triangle;
        triangle.moveTo(12, 2.5);
        triangle.lineTo(22.5, 21);
        triangle.lineTo(1.5, 21);
        triangle.closeSubpath();
        p.setPen(strokePen(c, 1.5));
        p.setBrush(c);
        p.drawPath(triangle);
        cutout([&] {
            p.drawLine(QPointF(12, 9), QPointF(12, 14));
            p.drawPoint(QPointF(12, 17.6));
        });
    } else if (s == "clock") {
        p.drawEllipse(QPointF(12, 12), 9, 9);
        p.drawPolyline(QPolygonF({{12, 7}, {12, 12}, {15.5, 14}}));
    } else if (s == "arrow.up" || s == "arrow.down") {
        const bool up = s == "arrow.up";
        p.drawLine(QPointF(12, 4), QPointF(12, 20));
        if (up) p.drawPolyline(QPolygonF({{6, 10}, {12, 4}, {18, 10}}));
        else p.drawPolyline(QPolygonF({{6, 14}, {12, 20}, {18, 14}}));
    } else if (s == "smartphone") {
        p.drawRoundedRect(QRectF(7, 2.5, 10, 19), 2.5, 2.5);
        p.drawLine(QPointF(10.5, 18.5), QPointF(13.5, 18.5));
    } else if (s == "photo") {
        p.drawRoundedRect(QRectF(3, 5, 18, 14), 2.5, 2.5);
        p.drawPolyline(QPolygonF({{4, 17}, {9.5, 11.5}, {13, 15}, {15.5, 12.5}, {20, 17}}));
        filledCircle({15.5, 8.8}, 1.5);
    } else if (s == "film") {
        p.drawRoundedRect(QRectF(4, 3, 16, 18), 2, 2);
        p.drawLine(QPointF(8, 3), QPointF(8, 21));
        p.drawLine(QPointF(16, 3), QPointF(16, 21));
        p.drawLine(QPointF(8, 12), QPointF(16, 12));
    } else if (s == "music.note") {
        p.drawLine(QPointF(15, 4), QPointF(15, 17));
        p.drawLine(QPointF(15, 4), QPointF(19, 6));
        filledCircle({12, 17.5}, 3.2);
    } else if (s.startsWith("doc")) {
        QPainterPath page;
        page.moveTo(6, 2.5);
        page.lineTo(14, 2.5);
        page.lineTo(19, 7.5);
        page.lineTo(19, 21.5);
        page.lineTo(6, 21.5);
        page.closeSubpath();
        p.drawPath(page);
        p.drawPolyline(QPolygonF({{14, 2.5}, {14, 7.5}, {19, 7.5}}));
        if (s == "doc.text") {
            for (double y : {11.5, 14.5, 17.5}) p.drawLine(QPointF(9, y), QPointF(16, y));
        } else if (s == "doc.zipper") {
            for (double y : {6.0, 9.0, 12.0}) p.drawLine(QPointF(10, y), QPointF(11, y));
            p.drawRect(QRectF(9.5, 14, 3, 4));
        }
    } else if (s == "gearshape") {
        for (int i = 0; i < 8; ++i) {
            const double a = i * M_PI / 4;
            p.drawLine(QPointF(12 + 7 * std::cos(a), 12 + 7 * std::sin(a)),
                       QPointF(12 + 9.5 * std::cos(a), 12 + 9.5 * std::sin(a)));
        }
        p.drawEllipse(QPointF(12, 12), 7, 7);
        p.drawEllipse(QPointF(12, 12), 2.8, 2.8);
    } else if (s == "qrcode") {
        for (QPointF corner : {QPointF(3, 3), QPointF(14, 3), QPointF(3, 14)}) {
            p.drawRect(QRectF(corner, QSizeF(7, 7)));
        }
        p.setPen(Qt::NoPen);
        p.setBrush(c);
        for (QRectF cell : {QRectF(5.5, 5.5, 2, 2), QRectF(16.5, 5.5, 2, 2), QRectF(5.5, 16.5, 2, 2),
                            QRectF(14, 14, 3, 3), QRectF(18, 18, 3, 3), QRectF(18, 14, 3, 2), QRectF(14, 18, 2, 3)})
            p.drawRect(cell);
    } else if (s == "tray.and.arrow.down" || s == "tray.and.arrow.up") {
        p.drawPolyline(QPolygonF({{3, 13}, {3, 20}, {21, 20}, {21, 13}}));
        p.drawPolyline(QPolygonF({{3, 13}, {8, 13}, {9.5, 16}, {14.5, 16}, {16, 13}, {21, 13}}));
        p.drawLine(QPointF(12, 2.5), QPointF(12, 11));
        if (s == "tray.and.arrow.down") p.drawPolyline(QPolygonF({{8.5, 7.5}, {12, 11}, {15.5, 7.5}}));
        else p.drawPolyline(QPolygonF({{8.5, 6}, {12, 2.5}, {15.5, 6}}));
    } else if (s == "square.stack.3d.up") {
        p.drawPolygon(QPolygonF({{12, 3}, {21, 7.5}, {12, 12}, {3, 7.5}}));
        p.drawPolyline(QPolygonF({{3, 12}, {12, 16.5}, {21, 12}}));
        p.drawPolyline(QPolygonF({{3, 16.5}, {12, 21}, {21, 16.5}}));
    } else if (s == "folder") {
        QPainterPath folder;
        folder.moveTo(2.5, 6);
        folder.lineTo(9, 6);
        folder.lineTo(11, 8);
        folder.lineTo(21.5, 8);
        folder.lineTo(21.5, 19.5);
        folder.lineTo(2.5, 19.5);
        folder.closeSubpath();
        p.setBrush(c);
        p.drawPath(folder);
    } else if (s == "wifi.exclamationmark") {
        for (double r : {4.0, 8.0}) p.drawArc(QRectF(10 - r, 16 - r, 2 * r, 2 * r), 45 * 16, 90 * 16);
        filledCircle({10, 16.5}, 1.5);
        p.setPen(pen);
        p.drawLine(QPointF(20, 5), QPointF(20, 14));
        filledCircle({20, 18}, 1.3);
    } else if (s == "dot.radiowaves.left.and.right") {
        filledCircle({12, 12}, 2.2);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        for (double r : {5.0, 9.0}) {
            p.drawArc(QRectF(12 - r, 12 - r, 2 * r, 2 * r), -40 * 16, 80 * 16);
            p.drawArc(QRectF(12 - r, 12 - r, 2 * r, 2 * r), 140 * 16, 80 * 16);
        }
    } else {
        p.drawEllipse(QPointF(12, 12), 8, 8);
    }
}

QColor toneSymbolColor(IconBadge::Tone tone) {
    switch (tone) {
    case IconBadge::Tone::accent: return colors::accentText;
    case IconBadge::Tone::file: return colors::warn;
    case IconBadge::Tone::success: return colors::ok;
    case IconBadge::Tone::danger: return colors::bad;
    case IconBadge::Tone::neutral: return colors::sub;
    }
    return colors::sub;
}

QColor toneTint(IconBadge::Tone tone) {
    switch (tone) {
    case IconBadge::Tone::accent: return colors::soft;
    case IconBadge::Tone::file: return colors::warnSoft;
    case IconBadge::Tone::success: return colors::okSoft;
    case IconBadge::Tone::danger: return colors::badSoft;
    case IconBadge::Tone::neutral: return colors::fill;
    }
    return colors::fill;
}

// Symbol size in pixels for a font's point size: the glyph box of the font.
int symbolPixels(const QFont& font) { return QFontMetrics(font).height(); }

}  // namespace

void paintSymbol(QPainter& painter, const QRectF& box, const QString& symbol, const QColor& color) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double side = std::min(box.width(), box.height());
    painter.translate(box.center().x() - side / 2, box.center().y() - side / 2);
    painter.scale(side / 24, side / 24);
    // Draw into a layer so cut-outs only clear the symbol itself.
    QImage layer(QSize(96, 96), QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    {
        QPainter inner(&layer);
        inner.setRenderHint(QPainter::Antialiasing);
        inner.scale(4, 4);
        drawOnGrid(inner, symbol, color);
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(0, 0, 24, 24), layer);
    painter.restore();
}

QString fileSymbol(const QString& fileName) {
    const QString last = QFileInfo(fileName).fileName();
    const int dot = last.lastIndexOf(QLatin1Char('.'));
    if (dot < 0) return QStringLiteral("doc");
    const ContentType type = ContentType::forFileName(last.toStdString());
    if (type == ContentType::data()) return QStringLiteral("doc");
    using C = ContentType::Category;
    if (type.conformsTo(C::image)) return QStringLiteral("photo");
    if (type.conformsTo(C::movie)) return QStringLiteral("film");
    if (type.conformsTo(C::audio)) return QStringLiteral("music.note");
    const std::string mime = type.mimeType().value_or("");
    for (const char* archive : {"application/zip", "application/x-tar", "application/gzip", "application/x-7z",
                                "application/x-rar", "application/vnd.rar", "application/x-bzip", "application/x-xz",
                                "application/x-compressed-tar", "application/zstd"})
        if (mime.rfind(archive, 0) == 0) return QStringLiteral("doc.zipper");
    if (type.conformsTo(C::pdf) || type.conformsTo(C::text) || type.conformsTo(C::presentation) ||
        type.conformsTo(C::spreadsheet))
        return QStringLiteral("doc.text");
    return QStringLiteral("doc");
}

QLabel* plainLabel(const QString& text, const QFont& font, const ThemeColor& color, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

ElidedLabel::ElidedLabel(QString text, Qt::TextElideMode mode, const QFont& font, const ThemeColor& color,
                         QWidget* parent)
    : QLabel(parent), full_(std::move(text)), mode_(mode) {
    setTextFormat(Qt::PlainText);
    setFont(font);
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, color);
    setPalette(palette);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setToolTip(full_);
    setText(full_);
}

void ElidedLabel::setFullText(const QString& text) {
    full_ = text;
    setToolTip(full_);
    elide();
    updateGeometry();
}

QSize ElidedLabel::minimumSizeHint() const { return {24, QLabel::minimumSizeHint().height()}; }

QSize ElidedLabel::sizeHint() const {
    return {QFontMetrics(font()).horizontalAdvance(full_) + 2, QLabel::sizeHint().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::elide() {
    // A line break in a name would make a second line; show it as a space.
    QString line = full_;
    line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    setText(QFontMetrics(font()).elidedText(line, mode_, width()));
}

Throttle::Throttle(QObject* parent, std::function<void()> work, std::chrono::milliseconds delay) : QObject(parent) {
    timer_.setSingleShot(true);
    timer_.setInterval(delay);
    connect(&timer_, &QTimer::timeout, this, [work = std::move(work)] { work(); });
}

void Throttle::request() {
    if (!timer_.isActive()) timer_.start();
}

void clearLayout(QLayout* layout, QWidget* keep) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->setParent(nullptr);
            // A kept widget (one with its own clock) is only taken out, to be placed again.
            if (widget != keep) widget->deleteLater();
        } else if (QLayout* inner = item->layout()) {
            clearLayout(inner, keep);
        }
        delete item;
    }
}

QPixmap symbolPixmap(const QString& symbol, const QColor& color, int size) {
    QPixmap pixmap(QSize(size, size) * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paintSymbol(painter, QRectF(0, 0, size, size), symbol, color);
    return pixmap;
}

void setButtonSymbol(ThemedButton* button, const QString& symbol) {
    constexpr int size = 18;
    button->setIcon(QIcon(symbolPixmap(symbol, button->labelColor(), size)));
    button->setIconSize(QSize(size, size));
}

QVBoxLayout* sheetColumn(QDialog* sheet, const QString& title) {
    sheet->setWindowTitle(title);
    sheet->setWindowModality(Qt::WindowModal);
    applyWindowBackground(sheet);
    sheet->setFixedWidth(640);
    auto* column = new QVBoxLayout(sheet);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(24);
    return column;
}

namespace {
class Divider : public QWidget {
public:
    explicit Divider(QWidget* parent) : QWidget(parent) { setFixedHeight(1); }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), QColor(colors::line)); }
};
}  // namespace

QWidget* makeDivider(QWidget* parent) { return new Divider(parent); }

SymbolView::SymbolView(QString symbol, const ThemeColor& color, int size, QWidget* parent)
    : QWidget(parent), symbol_(std::move(symbol)), color_(color), size_(size) {
    setFixedSize(size, size);
}

void SymbolView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintSymbol(painter, QRectF(rect()), symbol_, color_.now());
}

Banner::Banner(const QString& symbol, const QString& text, Tone tone, QWidget* parent) : QWidget(parent), tone_(tone) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 12, 12, 12);
    row->setSpacing(8);
    const ThemeColor& symbolColor =
        tone == Tone::danger ? colors::bad : tone == Tone::warning ? colors::warn : colors::accentText;
    row->addWidget(new SymbolView(symbol, symbolColor, symbolPixels(fonts::callout()), this), 0, Qt::AlignTop);
    label_ = plainLabel(text, fonts::caption(), colors::text, this);
    label_->setWordWrap(true);
    row->addWidget(label_, 1, Qt::AlignTop);
}

QString Banner::text() const { return label_->text(); }

void Banner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 8, 8);
    painter.fillPath(shape, tone_ == Tone::danger    ? QColor(colors::badSoft)
                            : tone_ == Tone::warning ? QColor(colors::warnSoft)
                                                     : QColor(colors::soft));
}

namespace {
class CountBadge : public QLabel {
public:
    CountBadge(long long count, QWidget* parent) : QLabel(parent) {
        setTextFormat(Qt::PlainText);
        setText(QString::number(count));
        setFont(fonts::captionStrong());
        QPalette palette = this->palette();
        palette.setColor(QPalette::WindowText, colors::accentText);
        setPalette(palette);
        setContentsMargins(6, 1, 6, 1);
        setAlignment(Qt::AlignCenter);
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        {
            QPainter painter(this);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(colors::soft));
            const double r = height() / 2.0;
            painter.drawRoundedRect(QRectF(rect()), r, r);
        }
        QLabel::paintEvent(event);
    }
};
}  // namespace

SectionHeader::SectionHeader(const QString& title, std::optional<long long> count, QWidget* trailing, QWidget* parent)
    : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    QFont font = fonts::captionStrong();
    font.setLetterSpacing(QFont::AbsoluteSpacing, 0.6);
    auto* label = plainLabel(title.toUpper(), font, colors::faint, this);
    label->setAccessibleName(title);
    row->addWidget(label);
    if (count) row->addWidget(new CountBadge(*count, this));
    row->addStretch(1);
    if (trailing) {
        trailing->setParent(this);
        row->addWidget(trailing);
    }
}

VelmoTile::VelmoTile(double size, QWidget* parent) : QWidget(parent), size_(size) {
    const int side = static_cast<int>(std::ceil(size));
    setFixedSize(side, side);
}

QSize VelmoTile::sizeHint() const {
    const int side = static_cast<int>(std::ceil(size_));
    return {side, side};
}

void VelmoTile::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double unit = size_ / 1024.0;
    const QPointF centre = QRectF(rect()).center();
    const double tile = 824 * unit;
    const QRectF tileBox(centre.x() - tile / 2, centre.y() - tile / 2, tile, tile);
    QLinearGradient gradient(tileBox.topLeft(), tileBox.bottomLeft());
    gradient.setColorAt(0, colors::tileTop);
    gradient.setColorAt(1, colors::tileBottom);
    QPainterPath shape;
    shape.addRoundedRect(tileBox, 185 * unit, 185 * unit);
    painter.fillPath(shape, gradient);
    const double mark = 660 * unit;
    VelmoMark::paint(painter, QRectF(centre.x() - mark / 2, centre.y() - mark / 2, mark, mark), false, true);
}

IconBadge::IconBadge(QString symbol, Tone tone, double size, QWidget* parent)
    : QWidget(parent), symbol_(std::move(symbol)), tone_(tone), size_(size) {
    const int side = static_cast<int>(std::ceil(size));
    setFixedSize(side, side);
}

QSize IconBadge::sizeHint() const {
    const int side = static_cast<int>(std::ceil(size_));
    return {side, side};
}

void IconBadge::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(toneTint(tone_));
    painter.drawEllipse(QRectF(rect()));
    const int glyph = symbolPixels(size_ > 36 ? fonts::badgeLarge() : fonts::callout());
    const QPointF centre = QRectF(rect()).center();
    paintSymbol(painter, QRectF(centre.x() - glyph / 2.0, centre.y() - glyph / 2.0, glyph, glyph), symbol_,
                toneSymbolColor(tone_));
}

FileRow::FileRow(const QString& name, std::optional<std::int64_t> size, std::function<void()> onRemove,
                 QWidget* parent)
    : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    row->addWidget(new IconBadge(fileSymbol(name), IconBadge::Tone::file, 32, this));
    auto* nameLabel = new ElidedLabel(name, Qt::ElideMiddle, fonts::body(), colors::text, this);
    nameLabel->setObjectName(QStringLiteral("fileName"));
    row->addWidget(nameLabel, 1);
    row->addSpacing(8);
    if (size) {
        auto* sizeLabel = plainLabel(formatByteCount(*size), fonts::caption(), colors::sub, this);
        sizeLabel->setObjectName(QStringLiteral("fileSize"));
        row->addWidget(sizeLabel);
    }
    if (onRemove) {
        auto* remove = new ThemedButton(QString(), ThemedButton::Kind::plain, false, true, this);
        remove->setObjectName(QStringLiteral("removeFile"));
        remove->setToolTip(QStringLiteral("Remove ") + name);
        remove->setAccessibleName(QStringLiteral("Remove ") + name);
        QPixmap glyph(QSize(24, 24));
        glyph.fill(Qt::transparent);
        {
            QPainter painter(&glyph);
            paintSymbol(painter, QRectF(0, 0, 24, 24), QStringLiteral("xmark"), colors::accentText);
        }
        remove->setIcon(QIcon(glyph));
        remove->setIconSize(QSize(12, 12));
        connect(remove, &QPushButton::clicked, this, [onRemove] { onRemove(); });
        row->addWidget(remove);
    }
}

StepRow::StepRow(long long number, const QString& text, QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    auto* disc = new QLabel(QString::number(number), this);
    disc->setFixedSize(24, 24);
    disc->setAlignment(Qt::AlignCenter);
    disc->setFont(fonts::bodyStrong());
    QPalette palette = disc->palette();
    palette.setColor(QPalette::WindowText, colors::accentText);
    disc->setPalette(palette);
    disc->setStyleSheet(QStringLiteral("background:%1;border-radius:12px;").arg(QColor(colors::soft).name(QColor::HexArgb)));
    row->addWidget(disc, 0, Qt::AlignTop);
    auto* label = plainLabel(text, fonts::body(), colors::text, this);
    label->setWordWrap(true);
    label->setContentsMargins(0, 2, 0, 0);
    row->addWidget(label, 1, Qt::AlignTop);
    setAccessibleName(QStringLiteral("Step %1: %2").arg(number).arg(text));
}

ProgressBar::ProgressBar(double value, IconBadge::Tone tone, QWidget* parent)
    : QWidget(parent), value_(value), tone_(tone) {
    setFixedHeight(6);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(QStringLiteral("Progress"));
    setAccessibleDescription(QStringLiteral("%1 percent").arg(percent()));
}

void ProgressBar::setValue(double value) {
    value_ = value;
    setAccessibleDescription(QStringLiteral("%1 percent").arg(percent()));
    update();
}

namespace {
double clamped(double value) { return value > 1 ? 1.0 : value > 0 ? value : 0.0; }
}  // namespace

double ProgressBar::fillWidth(double width) const { return std::max(6.0, width * clamped(value_)); }

int ProgressBar::percent() const { return static_cast<int>(clamped(value_) * 100); }

void ProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF track(rect());
    painter.setBrush(QColor(colors::fill));
    painter.drawRoundedRect(track, 3, 3);
    painter.setBrush(tone_ == IconBadge::Tone::success ? QColor(colors::ok) : QColor(colors::accent));
    painter.drawRoundedRect(QRectF(0, 0, fillWidth(track.width()), track.height()), 3, 3);
}

}  // namespace velmo
