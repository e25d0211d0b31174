#include "velmo/ui/StepRow.h"

#include <QHBoxLayout>
#include <QLabel>

#include "velmo/ui/CapsuleLabel.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/ViewHelpers.h"

namespace velmo {

StepRow::StepRow(long long number, const QString& text, QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    auto* disc = new CapsuleLabel(QString::number(number), fonts::bodyStrong(), this);
    disc->setFixedSize(24, 24);
    row->addWidget(disc, 0, Qt::AlignTop);
    auto* label = plainLabel(text, fonts::body(), colors::text, this);
    label->setWordWrap(true);
    label->setContentsMargins(0, 2, 0, 0);
    row->addWidget(label, 1, Qt::AlignTop);
    setAccessibleName(QStringLiteral("Step %1: %2").arg(number).arg(text));
}

}  // namespace velmo
