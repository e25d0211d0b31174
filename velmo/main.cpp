// Velmo: the application model, its start-up events, the update controller, the main window,
// the incoming-offer panel and the tray window.
#include "velmo/model/AppModel.h"

#include <QApplication>
#include <QFileInfo>
#include <QPointer>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTimer>

#include "velmo/ui/DesktopServices.h"
#include "velmo/ui/IncomingPrompt.h"
#include "velmo/ui/MainWindow.h"
#include "velmo/ui/MenuBarWindow.h"
#include "velmo/ui/MessageBoxUpdatePresenter.h"
#include "velmo/model/Settings.h"
#include "velmo/model/SoftwareUpdates.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmo"));
    QApplication::setOrganizationName(QStringLiteral("Velmo"));
    const bool hasTray = QSystemTrayIcon::isSystemTrayAvailable();
    // With a tray, sharing goes on after the main window closes; without one the window is home.
    QApplication::setQuitOnLastWindowClosed(!hasTray);

    QPointer<velmo::SoftwareUpdates> updates;
    auto services = velmo::AppModelServices::standard();
    velmo::addDesktopServices(services);
    services.isReplacingApp = [&updates] { return updates && updates->isReplacing(); };
    services.checkForUpdatesIfDue = [&updates] {
        if (updates) updates->checkIfDue();
    };
    velmo::AppModel model(velmo::Settings::standardStore(), std::move(services));
    model.setPromptPresenter(std::make_unique<velmo::IncomingPromptPresenter>());

    auto updateSettings = velmo::Settings::standardStore();
    velmo::SoftwareUpdates::Dependencies dependencies;
    dependencies.settings = updateSettings.get();
    if (auto bundle = velmo::SoftwareUpdates::runningBundle()) {
        dependencies.bundle = *bundle;
        dependencies.info = velmo::SoftwareUpdates::readInfo(*bundle);
    }
    dependencies.isReadyForUpdate = [&model] { return model.isReadyForUpdate(); };
    dependencies.hasSharingMode = [&model] { return model.isSharingAllowed(); };
    dependencies.presenter = std::make_shared<velmo::MessageBoxUpdatePresenter>();
    velmo::SoftwareUpdates updateController(std::move(dependencies));
    updates = &updateController;

    velmo::MainWindow window(model, nullptr, std::chrono::seconds(45), &updateController);
    window.show();

    std::unique_ptr<velmo::MenuBarWindow> tray;
    if (hasTray)
        tray = std::make_unique<velmo::MenuBarWindow>(
            model, [&window] { window.bringForward(); }, [] { QApplication::quit(); }, &updateController);

    // The start-up events reach the model from the event loop, in arrival order: launch
    // finished, then the files given on the command line.
    QTimer::singleShot(0, &model, [&model] { model.start(); });
    velmo::AppModel::Files opened;
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
