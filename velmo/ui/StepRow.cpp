#include "velmo/ui/StepRow.h"

#include <QHBoxLayout>
#include <QLabel>

#include "velmo/ui/Theme.h"
#include "velmo/ui/ViewHelpers.h"

namespace velmo {

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

}  // namespace velmo
