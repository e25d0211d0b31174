#include "velmo/ui/SectionHeader.h"

#include <QHBoxLayout>

#include "velmo/ui/CapsuleLabel.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/ViewHelpers.h"

namespace velmo {

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
    if (count) {
        auto* badge = new CapsuleLabel(QString::number(*count), fonts::captionStrong(), this);
        badge->setContentsMargins(6, 1, 6, 1);
        row->addWidget(badge);
    }
    row->addStretch(1);
    if (trailing) {
        trailing->setParent(this);
        row->addWidget(trailing);
    }
}

}  // namespace velmo
