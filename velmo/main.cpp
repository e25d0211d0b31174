// Velmo: the application model, its start-up events, the tray icon and the main window.
#include "velmo/AppModel.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include "velmo/Settings.h"

namespace {

using velmo::AppModel;
using velmo::TransferItem;

QString stateText(const TransferItem::State& state) {
    switch (state.kind()) {
    case TransferItem::State::Kind::failed: return QString::fromStdString(state.message());
    case TransferItem::State::Kind::connecting: return QStringLiteral("Connecting\u2026");
    case TransferItem::State::Kind::awaitingAccept: return QStringLiteral("Waiting to accept");
    case TransferItem::State::Kind::transferring: return QStringLiteral("Transferring");
    case TransferItem::State::Kind::done: return QStringLiteral("Done");
    case TransferItem::State::Kind::declined: return QStringLiteral("Declined");
    }
    return {};
}

// A plain window over the model: the sharing choice, the status line and the transfers.
class SimpleMainWindow : public QWidget {
public:
    explicit SimpleMainWindow(AppModel& model) : model_(model) {
        setWindowTitle(QStringLiteral("Velmo"));
        auto* layout = new QVBoxLayout(this);
        choice_ = new QWidget(this);
        auto* choiceLayout = new QHBoxLayout(choice_);
        choiceLayout->addWidget(new QLabel(QStringLiteral("Choose how Velmo shares files"), choice_));
        for (velmo::SharingMode mode : velmo::allSharingModes) {
            auto* button = new QPushButton(velmo::title(mode), choice_);
            connect(button, &QPushButton::clicked, this, [this, mode] { model_.setSharingMode(mode); });
            choiceLayout->addWidget(button);
        }
        layout->addWidget(choice_);
        status_ = new QLabel(this);
        status_->setTextFormat(Qt::PlainText);
        status_->setWordWrap(true);
        layout->addWidget(status_);
        list_ = new QListWidget(this);
        layout->addWidget(list_);
        auto* clear = new QPushButton(QStringLiteral("Clear finished"), this);
        connect(clear, &QPushButton::clicked, this, [this] { model_.clearFinished(); });
        layout->addWidget(clear);
        resize(480, 360);

        connect(&model_, &AppModel::sharingModeChanged, this, [this] { refresh(); });
        connect(&model_, &AppModel::statusMessageChanged, this, [this] { refresh(); });
        connect(&model_, &AppModel::transfersChanged, this, [this] { refresh(); });
        connect(&model_, &AppModel::stagedChanged, this, [this] { refresh(); });
        refresh();
    }

private:
    void refresh() {
        choice_->setVisible(!model_.isSharingAllowed());
        QString status = QString::fromStdString(model_.statusMessage().value_or(std::string()));
        if (!model_.staged().empty())
            status += (status.isEmpty() ? QString() : QStringLiteral(" \u00b7 ")) +
                      QStringLiteral("%1 staged").arg(model_.staged().size());
        status_->setText(status);
        list_->clear();
        for (const auto& item : model_.transfers()) {
            QString line = QString::fromStdString(item.peer) + QStringLiteral(" \u00b7 ") +
                           QString::fromStdString(item.summary) + QStringLiteral(" \u00b7 ") + stateText(item.state);
            if (item.code) line += QStringLiteral(" \u00b7 ") + QString::fromStdString(*item.code);
            list_->addItem(line);  // list items are plain text
        }
    }

    AppModel& model_;
    QWidget* choice_;
    QLabel* status_;
    QListWidget* list_;
};

QIcon trayIcon() {
    QPixmap pixmap(36, 36);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 3));
    painter.drawEllipse(QRectF(4, 4, 28, 28));
    painter.drawLine(QPointF(12, 18), QPointF(24, 18));
    return QIcon(pixmap);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmo"));
    QApplication::setOrganizationName(QStringLiteral("Velmo"));
    // The tray keeps sharing running after the window closes.
    QApplication::setQuitOnLastWindowClosed(!QSystemTrayIcon::isSystemTrayAvailable());

    AppModel model(velmo::Settings::standardStore(), velmo::AppModelServices::standard());

    SimpleMainWindow window(model);
    window.show();

    std::unique_ptr<QSystemTrayIcon> tray;
    QMenu trayMenu;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray = std::make_unique<QSystemTrayIcon>(trayIcon());
        tray->setToolTip(QStringLiteral("Velmo"));
        QObject::connect(trayMenu.addAction(QStringLiteral("Open Velmo")), &QAction::triggered, &window, [&window] {
            window.show();
            window.raise();
            window.activateWindow();
        });
        QObject::connect(trayMenu.addAction(QStringLiteral("Quit")), &QAction::triggered, &app, &QApplication::quit);
        tray->setContextMenu(&trayMenu);
        tray->show();
    }

    // The start-up events reach the model from the event loop, in this order: launch finished,
    // then the files given on the command line.
    QTimer::singleShot(0, &model, [&model] { model.start(); });
    AppModel::Files opened;
    for (const QString& argument : app.arguments().mid(1))
        opened.emplace_back(QFileInfo(argument).absoluteFilePath().toStdString());
    if (!opened.empty()) {
        QTimer::singleShot(0, &model, [&model, opened] {
            model.start();
            model.stageFiles(opened);
        });
    }
    QObject::connect(&app, &QGuiApplication::applicationStateChanged, &model, [&model](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive)
            QTimer::singleShot(0, &model, [&model] { model.didBecomeActive(); });
    });

    return app.exec();
}
