// Velmo: the application model, its start-up events, the update controller, the main window,
// the incoming-offer panel, the tray window, and the hand-over of files from later launches.
#include "velmo/model/AppModel.h"

#include <QApplication>
#include <QEventLoop>
#include <QPointer>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "transfer/PartFile.h"
#include "updatecore/UpdateRecovery.h"
#include "updatecore/UpdateRelaunch.h"
#include "velmo/AppDelegate.h"
#include "velmo/AppUpdates.h"
#include "velmo/CommandLine.h"
#include "velmo/HeldQtMessages.h"
#include "velmo/QuitSignals.h"
#include "velmo/SingleInstance.h"
#include "velmo/TrayFollower.h"
#include "velmo/model/Settings.h"
#include "velmo/ui/DesktopServices.h"
#include "velmo/ui/IncomingPrompt.h"
#include "velmo/ui/MainWindow.h"
#include "velmo/ui/MessageBoxUpdatePresenter.h"

namespace {

using namespace std::chrono_literals;

// How long running transfers get to tell their phones and remove their part files on quitting.
constexpr std::chrono::milliseconds quitLimit = 5s;

// Quit and the quit signals end the event loop at once. (QApplication::quit() first asks every
// window to close, and the offer prompt, which only its answer closes, would refuse.)
void quitVelmo() { QApplication::exit(0); }

// A desktop session starts programs with a soft limit of 1,024 open files; every connection,
// part file and watcher takes one, so Velmo takes all the system allows it.
void raiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// A launch whose files a running Velmo took, or that cannot start, ends with `exitStatus`;
// otherwise this one runs, holding the instance's lock or not.
struct HandOver {
    std::optional<int> exitStatus;
    bool holdsLock = false;
};

// The hand-over needs no display and no Qt application: a launch from ssh or after su reaches
// the running Velmo as one from the desktop does. The copy an updater starts takes the lock
// from the copy it replaces instead.
HandOver handOver(velmo::SingleInstance& instance, const velmo::CommandLine& line, bool namesNothing,
                  bool startedByUpdater) {
    if (startedByUpdater) return {std::nullopt, instance.acquire() == velmo::SingleInstance::Lock::held};
    const char* token = std::getenv("XDG_ACTIVATION_TOKEN");
    switch (instance.start(line.files, token ? token : "", 10s)) {
    case velmo::SingleInstance::Launch::handedOver: return {namesNothing ? 1 : 0};
    case velmo::SingleInstance::Launch::noAnswer:
        std::fputs("Velmo is already running but does not answer.\n", stderr);
        return {1};
    case velmo::SingleInstance::Launch::foreignSocket: return {1};  // said why
    case velmo::SingleInstance::Launch::first: return {std::nullopt, true};
    case velmo::SingleInstance::Launch::alone: break;
    }
    return {};
}

// Part files that no writer holds locked are a crash's, as are update downloads that outlived
// their update. Only the one instance sweeps: a copy the updater starts while the old one still
// quits, or one that runs without the lock, leaves them to the next start.
void sweepLeftovers(const velmo::AppModel& model, bool holdsLock, bool startedByUpdater) {
    if (holdsLock) velmo::PartFile::removeStale(model.downloadFolder());
    if (holdsLock && !startedByUpdater) velmo::UpdateRecovery::removeLeftoverDownloads();
}

// However Velmo came to quit (Quit, the last window, a signal, the updater), running transfers
// end as a cancel does: each phone hears it and part files go. A second quit signal ends the wait.
void settleTransfers(velmo::AppModel& model) {
    QEventLoop settling;
    bool settled = false;
    model.quit(quitLimit, [&settled, &settling] {
        settled = true;
        settling.quit();
    });
    if (!settled) settling.exec();
}

}  // namespace

int main(int argc, char** argv) {
    velmo::UpdateRecovery::recoverInterruptedUpdate(argv);  // before anything else of this copy runs
    raiseOpenFileLimit();
    const auto line = velmo::CommandLine::read(argc, argv);
    line.answerWithoutDisplay(argc, argv);
    // The updater starts the new copy while the copy it replaces still runs.
    const bool startedByUpdater = std::getenv(velmo::updateReadinessVariable) != nullptr;

    std::error_code noFolder;
    const auto folder = std::filesystem::current_path(noFolder);
    const auto missing = line.missingFiles(folder);
    velmo::SingleInstance instance;
    const bool namesNothing = !line.files.empty() && missing.size() == line.files.size();
    const auto launch = handOver(instance, line, namesNothing, startedByUpdater);
    if (launch.exitStatus) return *launch.exitStatus;
    if (!line.hasDisplay()) {
        std::fputs("Velmo needs a desktop to start: no display is set (DISPLAY or WAYLAND_DISPLAY), and no Velmo of "
                   "yours is running to take the files.\n",
                   stderr);
        return 1;
    }

    velmo::QuitSignals::catchSignals();
    velmo::HeldQtMessages::hold();
    QApplication app(argc, argv);
    velmo::HeldQtMessages::release();
    const velmo::QuitSignals quitSignals(quitVelmo);
    QCommandLineParser parser;
    velmo::CommandLine::describe(parser);  // names the application, and so the settings file
    QGuiApplication::setDesktopFileName(QStringLiteral("com.halvester.velmo"));
    if (launch.holdsLock) instance.listen();
    else if (startedByUpdater) instance.acquireWhenFree();

    QPointer<velmo::SoftwareUpdates> updates;
    auto services = velmo::AppModelServices::standard();
    velmo::addDesktopServices(services);
    velmo::AppUpdates::serve(services, updates);
    velmo::AppModel model(velmo::Settings::standardStore(), std::move(services));
    model.setPromptPresenter(std::make_unique<velmo::IncomingPromptPresenter>());
    sweepLeftovers(model, launch.holdsLock, startedByUpdater);
    velmo::AppUpdates appUpdates(model, std::make_shared<velmo::MessageBoxUpdatePresenter>(),
                                 velmo::Settings::standardStore());
    updates = &appUpdates.controller();

    velmo::MainWindow window(model, nullptr, std::chrono::seconds(45), updates);
    QObject::connect(&window, &velmo::MainWindow::quitRequested, &app, quitVelmo);
    window.show();
    velmo::TrayFollower tray(model, window, updates, quitVelmo);

    velmo::AppDelegate delegate(model, [&window] {
        window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
        window.bringForward();
    });
    delegate.finishLaunching(velmo::SingleInstance::existingPaths(line.files, folder), missing,
                             velmo::signalUpdateReadiness);
    instance.setHandler([&delegate](const velmo::AppModel::Files& files, const QByteArray& token) {
        return delegate.openFiles(files, token);
    });
    delegate.followActivation(app);

    const int status = app.exec();
    tray.stop();
    window.hide();
    settleTransfers(model);
    return status;
}
