#include "velmo/ui/SettingsView.h"

#include "velmo/model/AppModel.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/FormStyle.h"
#include "velmo/ui/IncomingPrompt.h"
#include "velmo/ui/ListPicker.h"
#include "velmo/ui/PopupWindow.h"
#include "velmo/model/SoftwareUpdates.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/WindowFitter.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QVBoxLayout>

namespace velmo {
namespace {

// A check box leaves Up and Down to the popover, which scrolls with them as everywhere else;
// Qt's own moves the focus with them.
class SettingsCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        if (plain && (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down)) return event->ignore();
        QCheckBox::keyPressEvent(event);
    }
};

}  // namespace

QString displayPath(const std::filesystem::path& folder) {
    const QString path = QString::fromStdString(folder.string());
    const QString home = QDir::homePath();
    if (path == home) return QStringLiteral("~");
    if (path.startsWith(home + QLatin1Char('/'))) return QStringLiteral("~") + path.mid(home.size());
    return path;
}

SettingsView::SettingsView(AppModel& model, QWidget* parent, SoftwareUpdates* updates)
    : QWidget(parent), model_(model), updates_(updates) {
    applyWindowBackground(this);
    setFixedWidth(320);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(16);
    column->addWidget(plainLabel(QStringLiteral("This computer"), fonts::heading(), colors::text, this));

    const auto group = [&] {
        auto* layout = new QVBoxLayout;
        layout->setSpacing(4);
        column->addLayout(layout);
        return layout;
    };

    auto* sharing = group();
    auto* modeRow = new QHBoxLayout;
    modeRow->addWidget(plainLabel(QStringLiteral("Sharing"), fonts::body(), colors::text, this));
    mode_ = new ListPicker(this);
    mode_->setObjectName(QStringLiteral("sharingMode"));
    mode_->setFont(fonts::body());
    for (SharingMode mode : allSharingModes) mode_->addItem(title(mode), static_cast<int>(mode));
    modeRow->addWidget(mode_, 1);
    sharing->addLayout(modeRow);
    modeCaption_ = plainLabel(QString(), fonts::caption(), colors::sub, this);
    modeCaption_->setObjectName(QStringLiteral("modeCaption"));
    modeCaption_->setWordWrap(true);
    sharing->addWidget(modeCaption_);
    auto* closes = plainLabel(QStringLiteral("Changing this closes any open sharing codes."), fonts::caption(),
                              colors::sub, this);
    closes->setWordWrap(true);
    sharing->addWidget(closes);
    // Only a pick from the opened list changes the mode: the change closes open sessions.
    connect(mode_, &QComboBox::activated, this, [this](int index) {
        model_.setSharingMode(static_cast<SharingMode>(mode_->itemData(index).toInt()));
    });

    auto* naming = group();
    naming->addWidget(plainLabel(QStringLiteral("Name"), fonts::caption(), colors::sub, this));
    name_ = new QLineEdit(this);
    name_->setObjectName(QStringLiteral("deviceName"));
    name_->setPlaceholderText(QStringLiteral("Name"));
    name_->setFont(fonts::body());
    connect(name_, &QLineEdit::textEdited, this, [this](const QString& text) { model_.setDeviceName(text.toStdString()); });
    naming->addWidget(name_);

    auto* receiving = group();
    receive_ = new SettingsCheckBox(QStringLiteral("Receive from Android phones"), this);
    receive_->setObjectName(QStringLiteral("receiveFromAndroid"));
    receive_->setFont(fonts::body());
    connect(receive_, &QCheckBox::toggled, this, [this](bool on) {
        if (on != model_.receiveFromAndroid()) model_.setReceiveFromAndroid(on);
    });
    receiving->addWidget(receive_);
    receiveCaption_ = plainLabel(QString(), fonts::caption(), colors::sub, this);
    receiveCaption_->setObjectName(QStringLiteral("receiveCaption"));
    receiveCaption_->setWordWrap(true);
    receiving->addWidget(receiveCaption_);

    auto* saving = group();
    saving->addWidget(plainLabel(QStringLiteral("Save files to"), fonts::caption(), colors::sub, this));
    auto* folderRow = new QHBoxLayout;
    folderRow->setSpacing(8);
    folderRow->addWidget(new SymbolView(QStringLiteral("folder"), colors::warn, QFontMetrics(fonts::callout()).height(), this));
    folder_ = new ElidedLabel(QString(), Qt::ElideLeft, fonts::body(), colors::text, this);
    folder_->setObjectName(QStringLiteral("downloadFolder"));
    folderRow->addWidget(folder_, 1);
    auto* change = new ThemedButton(QStringLiteral("Change…"), ThemedButton::Kind::tinted, false, true, this);
    connect(change, &QPushButton::clicked, &model_, [this] { model_.chooseDownloadFolder(); });
    folderRow->addWidget(change);
    saving->addLayout(folderRow);

    if (updates_ && updates_->isConfigured()) {
        column->addWidget(makeDivider(this));
        check_ = new ThemedButton(QString(), ThemedButton::Kind::plain, false, false, this);
        check_->setObjectName(QStringLiteral("checkForUpdates"));
        connect(check_, &QPushButton::clicked, updates_, [this] { updates_->checkNow(); });
        column->addWidget(check_, 0, Qt::AlignLeft);
        automatic_ = new SettingsCheckBox(QStringLiteral("Check automatically for updates"), this);
        automatic_->setFont(fonts::body());
        connect(automatic_, &QCheckBox::toggled, updates_, [this](bool on) { updates_->setAutomatic(on); });
        column->addWidget(automatic_);
        connect(updates_, &SoftwareUpdates::busyChanged, this, &SettingsView::refresh);
        connect(updates_, &SoftwareUpdates::automaticChanged, this, &SettingsView::refresh);
    }

    // Made last, so it outlives the controls that draw with it.
    auto* formStyle = new FormStyle;
    formStyle->setParent(this);
    for (QWidget* control : std::initializer_list<QWidget*>{name_, receive_, automatic_})
        if (control) control->setStyle(formStyle);

    for (auto signal : {&AppModel::sharingModeChanged, &AppModel::deviceNameChanged, &AppModel::receiveFromAndroidChanged,
                        &AppModel::downloadFolderChanged})
        connect(&model_, signal, this, &SettingsView::refresh);
    refresh();
}

void SettingsView::refresh() {
    const SharingMode mode = model_.sharingMode().value_or(SharingMode::askEachTime);
    mode_->setCurrentIndex(mode_->findData(static_cast<int>(mode)));
    modeCaption_->setText(model_.sharingMode() == SharingMode::quick
                              ? QStringLiteral("Trusted Wi-Fi only. Open send codes share your chosen files; Receive "
                                               "from Android allows nearby phones to send automatically.")
                              : QStringLiteral("Match codes before sending with Quick Share and approve incoming Quick "
                                               "Share files."));
    const QString name = QString::fromStdString(model_.deviceName());
    // Leave the field alone while the user types into it: the model already has the text.
    if (name_->text() != name) name_->setText(name);
    const QSignalBlocker block(receive_);
    receive_->setChecked(model_.receiveFromAndroid());
    receiveCaption_->setText(model_.receiveFromAndroid()
                                 ? QStringLiteral("On the phone: Share → Quick Share → “") + name + QStringLiteral("”.")
                                 : QStringLiteral("Visible only during an open quick Receive from Android session. QR "
                                                  "uploads are still available."));
    folder_->setFullText(displayPath(model_.downloadFolder()));
    if (check_) {
        check_->setText(updates_->checkMenuTitle());
        check_->setEnabled(!updates_->isBusy());
        const QSignalBlocker blockAutomatic(automatic_);
        automatic_->setChecked(updates_->automatic());
    }
}

QWidget* showSettingsPopover(AppModel& model, QWidget* anchor, SoftwareUpdates* updates) {
    // It follows its content's height while open and stays on the screen. While an offer's
    // prompt floats, the settings open under it: its code and answers stay in view and in reach.
    bool promptUp = false;
    for (const QWidget* window : QApplication::topLevelWidgets())
        promptUp = promptUp || (qobject_cast<const IncomingPromptPanel*>(window) && window->isVisible());
    auto* popup = new PopupWindow(anchor, promptUp);
    popup->setAttribute(Qt::WA_DeleteOnClose);
    popup->setObjectName(QStringLiteral("settingsPopover"));
    auto* view = new SettingsView(model, popup, updates);
    fittedColumn(popup, view->width() + 2 * PopupWindow::edge, 0, 0, false)->addWidget(view);
    popup->layout()->setContentsMargins(PopupWindow::edge, PopupWindow::edge, PopupWindow::edge, PopupWindow::edge);
    fitToContent(popup);
    const QPoint below = anchor->mapToGlobal(QPoint(anchor->width() / 2, anchor->height()));
    popup->move(below.x() - popup->width() / 2, below.y() + 4);
    keepOnScreen(popup);
    popup->show();
    if (promptUp) popup->activateWindow();
    return popup;
}

}  // namespace velmo
