#include "velmo/ui/QRTile.h"

#include "velmo/ui/QRCodeView.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/ViewHelpers.h"

#include <QVBoxLayout>

namespace velmo {

QVBoxLayout* tileCaptions(const QString& title, const QString& subtitle, QWidget* parent) {
    auto* captions = new QVBoxLayout;
    captions->setSpacing(2);
    captions->addWidget(plainLabel(title, fonts::bodyStrong(), colors::text, parent), 0, Qt::AlignHCenter);
    captions->addWidget(plainLabel(subtitle, fonts::caption(), colors::sub, parent), 0, Qt::AlignHCenter);
    return captions;
}

QRTile::QRTile(const QString& title, const QString& subtitle, const QString& payload, QWidget* parent)
    : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(captionGap);
    column->addWidget(new QRCodeView(payload, this), 0, Qt::AlignHCenter);
    column->addLayout(tileCaptions(title, subtitle, this));
}

}  // namespace velmo
