// Small views the windows share: notices, section titles, the logo tile, file lines, symbol
// badges, numbered steps and the progress bar. Each draws only from its fields and the theme.
#pragma once

#include "velmo/Theme.h"

#include <QLabel>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <optional>

class QDialog;
class QHBoxLayout;
class QLayout;
class QVBoxLayout;

namespace velmo {

// Draws one of our named symbols ("xmark", "photo", "smartphone", ...) into `box`.
void paintSymbol(QPainter& painter, const QRectF& box, const QString& symbol, const QColor& color);
// A symbol `size` points wide, drawn at twice the resolution for sharp icons.
QPixmap symbolPixmap(const QString& symbol, const QColor& color, int size);
// Puts a symbol in the button's label colour in front of its title.
void setButtonSymbol(ThemedButton* button, const QString& symbol);
// The symbol for a file name by its extension's content type.
QString fileSymbol(const QString& fileName);

// A label for text that may come from phones, files or errors: never interpreted as markup.
QLabel* plainLabel(const QString& text, const QFont& font, const ThemeColor& color, QWidget* parent = nullptr);
// Removes and deletes every item of a layout (widgets are deleted later, so a button whose
// click caused the rebuild outlives its handler).
void clearLayout(QLayout* layout, QWidget* keep = nullptr);
// Gives a sheet the frame every sheet shares (title, modal to its window, the window
// background, a fixed width) and returns its padded column.
QVBoxLayout* sheetColumn(QDialog* sheet, const QString& title);
// Runs `work` once, shortly after one or more requests: model changes such as progress come
// in bursts, and a list is rebuilt once per burst rather than once per change.
class Throttle : public QObject {
    Q_OBJECT
public:
    Throttle(QObject* parent, std::function<void()> work,
             std::chrono::milliseconds delay = std::chrono::milliseconds(30));
    void request();

private:
    QTimer timer_;
};

// A one-point hairline in the theme's line colour.
QWidget* makeDivider(QWidget* parent = nullptr);

// One line of plain text that gives way where asked (middle, start) when too narrow.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    ElidedLabel(QString text, Qt::TextElideMode mode, const QFont& font, const ThemeColor& color,
                QWidget* parent = nullptr);
    QString fullText() const { return full_; }
    void setFullText(const QString& text);
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();
    QString full_;
    Qt::TextElideMode mode_;
};

// A widget that paints one symbol, centred.
class SymbolView : public QWidget {
    Q_OBJECT
public:
    SymbolView(QString symbol, const ThemeColor& color, int size, QWidget* parent = nullptr);
    QString symbol() const { return symbol_; }
    QSize sizeHint() const override { return {size_, size_}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    ThemeColor color_;
    int size_;
};

class Banner : public QWidget {
    Q_OBJECT
public:
    enum class Tone { danger, warning, info };
    Banner(const QString& symbol, const QString& text, Tone tone, QWidget* parent = nullptr);
    QString text() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Tone tone_;
    QLabel* label_;
};

class SectionHeader : public QWidget {
    Q_OBJECT
public:
    SectionHeader(const QString& title, std::optional<long long> count, QWidget* trailing = nullptr,
                  QWidget* parent = nullptr);
};

class VelmoTile : public QWidget {
    Q_OBJECT
public:
    explicit VelmoTile(double size, QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double size_;
};

class IconBadge : public QWidget {
    Q_OBJECT
public:
    enum class Tone { accent, file, success, danger, neutral };
    IconBadge(QString symbol, Tone tone, double size, QWidget* parent = nullptr);
    QString symbol() const { return symbol_; }
    Tone tone() const { return tone_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    Tone tone_;
    double size_;
};

class FileRow : public QWidget {
    Q_OBJECT
public:
    FileRow(const QString& name, std::optional<std::int64_t> size, std::function<void()> onRemove,
            QWidget* parent = nullptr);
};

class StepRow : public QWidget {
    Q_OBJECT
public:
    StepRow(long long number, const QString& text, QWidget* parent = nullptr);
};

class ProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit ProgressBar(double value, IconBadge::Tone tone = IconBadge::Tone::accent, QWidget* parent = nullptr);
    void setValue(double value);
    double value() const { return value_; }
    // The fill's width for a track of `width`: never narrower than 6.
    double fillWidth(double width) const;
    // Whole percent announced to accessibility.
    int percent() const;
    QSize sizeHint() const override { return {100, 6}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double value_;
    IconBadge::Tone tone_;
};

}  // namespace velmo
