#pragma once

#include "velmo/ui/Theme.h"

#include <QFont>
#include <QLabel>
#include <QString>
#include <QStringList>

namespace velmo {

// Plain text wrapped onto at most a given number of whole lines from the top; text that does
// not fit ends the last line with "…". text() stays the whole text, for accessibility.
class LineLimitedLabel : public QLabel {
    Q_OBJECT
public:
    LineLimitedLabel(const QString& text, int maxLines, const QFont& font, const ThemeColor& color,
                     QWidget* parent = nullptr);
    int maxLines() const { return maxLines_; }
    // The lines drawn in a width of `width`.
    QStringList linesFor(int width) const;
    QStringList shownLines() const { return linesFor(contentsRect().width()); }
    // `text` with its line breaks as spaces: a break inside a name or a message would start a
    // line of its own.
    static QString breaksAsSpaces(QString text);
    // Whether `text` would show whole, in at most maxLines() lines of `width`.
    bool fits(const QString& text, int width) const;

    // The height of one line of the text: the marks that set a name apart in it may be drawn
    // from a fallback font standing taller than the label's own.
    int lineHeight() const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int maxLines_;
    mutable QString measuredText_;
    mutable QFont measuredFont_;
    mutable int measuredHeight_ = 0;
};

}  // namespace velmo
