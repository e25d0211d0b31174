#include "velmo/ui/DropZone.h"

#include "transfer/FileNaming.h"
#include "velmo/model/AppModel.h"
#include "velmo/model/ByteCountFormat.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/Theme.h"

#include <QDragEnterEvent>
#include <QHBoxLayout>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QVBoxLayout>

namespace velmo {

std::int64_t fileSizeOrZero(const std::filesystem::path& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    return error ? 0 : static_cast<std::int64_t>(size);
}

DropZone::DropZone(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), targeted_(new EasedFlag(this)) {
    setAcceptDrops(true);
    setAccessibleName(QStringLiteral("Drop files here to send them"));
    content_ = new QVBoxLayout(this);
    content_->setContentsMargins(24, 24, 24, 24);
    content_->setSpacing(16);
    connect(&model_, &AppModel::stagedChanged, this, &DropZone::rebuild);
    rebuild();
}

void DropZone::setTargeted(bool targeted) { targeted_->set(targeted); }

void DropZone::rebuild() {
    clearLayout(content_);
    const auto& staged = model_.staged();
    if (staged.empty()) {
        content_->addWidget(new IconBadge(QStringLiteral("tray.and.arrow.up"), IconBadge::Tone::accent, 56, this), 0,
                            Qt::AlignHCenter);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(4);
        texts->addWidget(plainLabel(QStringLiteral("Drop files to send"), fonts::heading(), colors::text, this), 0,
                         Qt::AlignHCenter);
        texts->addWidget(
            plainLabel(QStringLiteral("Photos, videos, documents, anything."), fonts::caption(), colors::sub, this), 0,
            Qt::AlignHCenter);
        content_->addLayout(texts);
        auto* choose = new ThemedButton(QStringLiteral("Choose Files…"), ThemedButton::Kind::tinted, false, false, this);
        connect(choose, &QPushButton::clicked, &model_, [this] { model_.chooseFiles(); });
        content_->addWidget(choose, 0, Qt::AlignHCenter);
        update();
        return;
    }
    std::int64_t total = 0;
    for (const auto& file : staged) total += fileSizeOrZero(file);
    const auto count = static_cast<long long>(staged.size());

    auto* header = new QHBoxLayout;
    // The desktop's own spacing between the counts, not the zone's wider one a nested row inherits.
    int spacing = style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing, nullptr, this);
    if (spacing < 0)
        spacing = style()->layoutSpacing(QSizePolicy::Label, QSizePolicy::Label, Qt::Horizontal, nullptr, this);
    header->setSpacing(std::max(spacing, 0));
    // The counts give way before the buttons when the row is short.
    auto* countLabel =
        new ElidedLabel(QStringLiteral("%1 file%2 ready").arg(count).arg(count == 1 ? QString() : QStringLiteral("s")),
                        Qt::ElideRight, fonts::bodyStrong(), colors::text, this);
    countLabel->setObjectName(QStringLiteral("stagedCount"));
    header->addWidget(countLabel);
    header->addWidget(plainLabel(QStringLiteral("·"), fonts::bodyStrong(), colors::faint, this));
    auto* totalLabel = new ElidedLabel(formatByteCount(total), Qt::ElideRight, fonts::caption(), colors::sub, this);
    totalLabel->setObjectName(QStringLiteral("stagedTotal"));
    header->addWidget(totalLabel);
    header->addStretch(1);
    auto* add = new ThemedButton(QStringLiteral("Add…"), ThemedButton::Kind::plain, false, true, this);
    connect(add, &QPushButton::clicked, &model_, [this] { model_.chooseFiles(); });
    header->addWidget(add);
    auto* clear = new ThemedButton(QStringLiteral("Clear"), ThemedButton::Kind::plain, false, true, this);
    // One change however many files are staged: the zone redraws once.
    connect(clear, &QPushButton::clicked, &model_, [this] { model_.clearStaged(); });
    header->addWidget(clear);
    content_->addLayout(header);

    auto* list = new QVBoxLayout;
    list->setSpacing(8);
    for (std::size_t i = 0; i < staged.size() && i < 4; ++i) {
        const auto file = staged[i];
        list->addWidget(new FileRow(QString::fromStdString(FileNaming::shownName(file.filename().string())), fileSizeOrZero(file),
                                    [this, file] { model_.removeStaged(file); }, this));
    }
    if (count > 4) {
        auto* more = plainLabel(QStringLiteral("and %1 more").arg(count - 4), fonts::caption(), colors::sub, this);
        more->setObjectName(QStringLiteral("stagedMore"));
        list->addWidget(more);
    }
    content_->addLayout(list);
    update();
}

void DropZone::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool dashed = model_.staged().empty();
    const double lineWidth = dashed ? 1.5 : 1.0;
    const QRectF box = QRectF(rect()).adjusted(lineWidth / 2, lineWidth / 2, -lineWidth / 2, -lineWidth / 2);
    QPainterPath shape;
    shape.addRoundedRect(box, 16, 16);
    const double highlight = targeted_->shown();
    painter.fillPath(shape, withOpacity(colors::card, 1 - highlight));
    painter.fillPath(shape, withOpacity(colors::dropTint, highlight));
    const QColor stroke = withOpacity(colors::accent, 0.35 + 0.65 * highlight);
    QPen pen = dashed ? dashedStroke(stroke) : QPen(stroke, 1, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    painter.strokePath(shape, pen);
}

void DropZone::dragEnterEvent(QDragEnterEvent* event) {
    if (!event->mimeData()->hasUrls()) return;
    setTargeted(true);
    event->acceptProposedAction();
}

void DropZone::dragLeaveEvent(QDragLeaveEvent*) { setTargeted(false); }

void DropZone::dropEvent(QDropEvent* event) {
    setTargeted(false);
    // Accepted whatever the model then refuses; it reports refusals in the status line.
    event->acceptProposedAction();
    model_.stageUrls(event->mimeData()->urls());
}

}  // namespace velmo
