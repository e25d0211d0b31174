#include "velmo/ui/SectionHeader.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

#include "velmo/ui/Theme.h"
#include "velmo/ui/ViewHelpers.h"

namespace velmo {

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

}  // namespace velmo
