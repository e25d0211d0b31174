#include "velmo/ui/DeviceList.h"

#include "velmo/model/AppModel.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/Theme.h"

#include <QDragEnterEvent>
#include <QHBoxLayout>
#include <QMimeData>
#include <QPainter>
#include <QPointer>
#include <QVBoxLayout>

namespace velmo {

std::vector<std::filesystem::path> droppedFiles(const QMimeData* data) {
    std::vector<std::filesystem::path> files;
    if (!data) return files;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) files.emplace_back(url.toLocalFile().toStdString());
    return files;
}

TargetRow::TargetRow(const QString& icon, const QString& name, const QString& subtitle, const QString& buttonTitle,
                     std::function<void()> action, OnDrop onDrop, QWidget* parent)
    : QWidget(parent), onDrop_(std::move(onDrop)), targeted_(new EasedFlag(this)) {
    setAcceptDrops(static_cast<bool>(onDrop_));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 12, 16, 12);
    row->setSpacing(16);
    row->addWidget(new IconBadge(icon, IconBadge::Tone::accent, 36, this));
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* nameLabel = new ElidedLabel(name, Qt::ElideRight, fonts::bodyStrong(), colors::text, this);
    nameLabel->setObjectName(QStringLiteral("targetName"));
    texts->addWidget(nameLabel);
    texts->addWidget(new ElidedLabel(subtitle, Qt::ElideRight, fonts::caption(), colors::sub, this));
    row->addLayout(texts, 1);
    row->addSpacing(8);
    auto* button = new ThemedButton(buttonTitle, ThemedButton::Kind::tinted, false, false, this);
    button->setObjectName(QStringLiteral("targetButton"));
    connect(button, &QPushButton::clicked, this, [action = std::move(action)] { action(); });
    row->addWidget(button);
}

void TargetRow::paintEvent(QPaintEvent*) {
    if (targeted_->shown() > 0) QPainter(this).fillRect(rect(), withOpacity(colors::dropTint, targeted_->shown()));
}

void TargetRow::dragEnterEvent(QDragEnterEvent* event) {
    if (droppedFiles(event->mimeData()).empty()) return;
    targeted_->set(true);
    event->acceptProposedAction();
}

void TargetRow::dragLeaveEvent(QDragLeaveEvent*) { targeted_->set(false); }

void TargetRow::dropEvent(QDropEvent* event) {
    targeted_->set(false);
    event->acceptProposedAction();
    const auto files = droppedFiles(event->mimeData());
    if (!files.empty() && onDrop_) onDrop_(files);
}

TargetRow* makeQuickSharePhoneRow(AppModel& model, const QuickSharePhone& phone, QWidget* parent) {
    QPointer<AppModel> guard(&model);
    const auto send = [guard, phone] {
        if (!guard) return;
        if (guard->staged().empty()) guard->chooseFiles();
        if (!guard || guard->staged().empty()) return;
        guard->send(guard->staged(), phone);
    };
    const auto drop = [guard, phone](const std::vector<std::filesystem::path>& files) {
        if (guard) guard->send(files, phone);
    };
    return new TargetRow(QStringLiteral("smartphone"), QString::fromStdString(phone.name),
                         QStringLiteral("Android · Quick Share"),
                         model.staged().empty() ? QStringLiteral("Send Files…") : QStringLiteral("Send"), send, drop,
                         parent);
}

DeviceList::DeviceList(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    rows_ = new QVBoxLayout(this);
    rows_->setContentsMargins(0, 0, 0, 0);
    rows_->setSpacing(0);
    connect(&model_, &AppModel::quickSharePhonesChanged, this, &DeviceList::rebuild);
    connect(&model_, &AppModel::stagedChanged, this, &DeviceList::rebuild);
    rebuild();
}

void DeviceList::rebuild() {
    clearLayout(rows_);
    bool first = true;
    for (const QuickSharePhone& phone : model_.quickSharePhones()) {
        if (!first) rows_->addWidget(makeDivider(this));
        first = false;
        rows_->addWidget(makeQuickSharePhoneRow(model_, phone, this));
    }
}

QWidget* makePhonesCard(AppModel& model, const QString& cardName, const QString& sendToAllName, QWidget* parent) {
    const auto count = static_cast<long long>(model.quickSharePhones().size());
    auto* card = new Card(false, parent);
    card->setObjectName(cardName);
    auto* list = new QVBoxLayout(card);
    list->setContentsMargins(0, 0, 0, 0);
    list->setSpacing(0);
    list->addWidget(new DeviceList(model, card));
    if (count >= 2) {
        list->addWidget(makeDivider(card));
        auto* all = new ThemedButton(QStringLiteral("Send to all %1 phones").arg(count), ThemedButton::Kind::plain,
                                     false, false, card);
        all->setObjectName(sendToAllName);
        setButtonSymbol(all, QStringLiteral("square.stack.3d.up"));
        all->setAutoDefault(false);
        all->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        QObject::connect(all, &QPushButton::clicked, &model, [&model] { model.sendToAllPhones(); });
        auto* padded = new QHBoxLayout;
        padded->setContentsMargins(8, 8, 8, 8);
        padded->addWidget(all);
        list->addLayout(padded);
    }
    return card;
}

}  // namespace velmo
