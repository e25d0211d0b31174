#include "velmo/ui/FileRow.h"

#include <QHBoxLayout>

#include "velmo/model/ByteCountFormat.h"
#include "velmo/ui/ElidedLabel.h"
#include "velmo/ui/IconBadge.h"
#include "velmo/ui/Symbols.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/ViewHelpers.h"

namespace velmo {

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
        remove->setToolTip(plainToolTip(QStringLiteral("Remove ") + name, this));
        remove->setAccessibleName(QStringLiteral("Remove ") + name);
        remove->setSymbol(QStringLiteral("xmark"), 12);
        connect(remove, &QPushButton::clicked, this, [onRemove] { onRemove(); });
        row->addWidget(remove);
    }
}

}  // namespace velmo
