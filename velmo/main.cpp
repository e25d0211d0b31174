// Velmo: the application model, its start-up events, the update controller, the main window,
// the incoming-offer panel, the tray window, and the hand-over of files from later launches.
#include "velmo/model/AppModel.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QEventLoop>
#include <QPointer>
#include <QSettings>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/PartFile.h"
#include "updatecore/UpdateRecovery.h"
#include "updatecore/UpdateRelaunch.h"
#include "velmo/SingleInstance.h"
#include "velmo/model/Settings.h"
#include "velmo/model/SoftwareUpdates.h"
#include "velmo/ui/DesktopServices.h"
#include "velmo/ui/IncomingPrompt.h"
#include "velmo/ui/MainWindow.h"
#include "velmo/ui/MenuBarWindow.h"
#include "velmo/ui/MessageBoxUpdatePresenter.h"

namespace {

using namespace std::chrono_literals;

// How long running transfers get to tell their phones and remove their part files on quitting.
constexpr std::chrono::milliseconds quitLimit = 5s;

// "1.2 (build 7)" from the running bundle's Info.json, else the version this was built as.
QString versionText() {
    if (const auto bundle = velmo::SoftwareUpdates::runningBundle()) {
        const auto info = velmo::SoftwareUpdates::readInfo(*bundle);
        const auto version = velmo::SoftwareUpdates::infoText(info, "CFBundleShortVersionString");
        const auto build = velmo::SoftwareUpdates::infoText(info, "CFBundleVersion");
        if (version && build) return QString::fromStdString(*version + " (build " + *build + ")");
    }
    return QStringLiteral(VELMO_VERSION);
}

void describe(QCommandLineParser& parser) {
    QCoreApplication::setApplicationName(QStringLiteral("Velmo"));
    QCoreApplication::setOrganizationName(QStringLiteral("Velmo"));
    QCoreApplication::setApplicationVersion(versionText());
    parser.setApplicationDescription(QStringLiteral("Moves files between this computer and phones on the same Wi-Fi."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("Files to send to phones."),
                                 QStringLiteral("[files…]"));
}

// Options of Qt's own, taken by QApplication before Velmo parses its arguments.
bool isQtOption(std::string_view name, bool& takesValue) {
    static constexpr std::string_view withValue[] = {"platform", "platformpluginpath", "platformtheme", "plugin",
                                                     "qwindowgeometry", "qwindowicon", "qwindowtitle", "session",
                                                     "display", "geometry", "style", "stylesheet"};
    static constexpr std::string_view flags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};
    takesValue = std::find(std::begin(withValue), std::end(withValue), name) != std::end(withValue);
    return takesValue || std::find(std::begin(flags), std::end(flags), name) != std::end(flags) ||
           name.rfind("qmljsdebugger=", 0) == 0 || name.rfind("style=", 0) == 0 || name.rfind("stylesheet=", 0) == 0;
}

// The command line as Velmo reads it before any application object exists: Qt's own options
// are set aside (their values too), the rest are files, byte for byte.
struct CommandLine {
    std::vector<std::string> files;
    std::vector<std::string> parsed;  // what Velmo's own parser reads: everything before "--" but Qt's options
    bool hasOption = false;      // --help, --version or an unknown option
    bool namesDisplay = false;   // -platform or -display
};

CommandLine readCommandLine(int argc, char** argv) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--") {
            line.files.insert(line.files.end(), argv + i + 1, argv + argc);
            break;
        }
        const auto name = a.find_first_not_of('-');
        bool takesValue = false;
        if (name >= 1 && name <= 2 && name != a.size() && isQtOption(a.substr(name), takesValue)) {
            line.namesDisplay = line.namesDisplay || a.substr(name) == "platform" || a.substr(name) == "display";
            if (takesValue) ++i;
            continue;
        }
        line.parsed.emplace_back(a);
        if (a.size() > 1 && a[0] == '-') line.hasOption = true;
        else line.files.emplace_back(a);
    }
    return line;
}

// --help, --version and unknown options need no display, so they are answered before the GUI
// connects to one: a mistyped option must not end in an abort for want of a display.
void answerWithoutDisplay(int argc, char** argv, const CommandLine& line) {
    if (!line.hasOption) return;
    QStringList arguments{QString::fromLocal8Bit(argv[0])};
    for (const auto& a : line.parsed) arguments.append(QString::fromLocal8Bit(a));
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    describe(parser);
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "%s\n\n%s", qPrintable(parser.errorText()), qPrintable(parser.helpText()));
        std::exit(2);
    }
    parser.process(arguments);  // --help or --version: prints and exits
    std::exit(0);
}

// Whether Qt will find a display: a platform that needs none, or an X or Wayland display named.
bool hasDisplay(const CommandLine& line) {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (line.namesDisplay || (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland")))
        return true;
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// The names among the files that name nothing, as SingleInstance hands over only what exists.
std::vector<std::string> missingFiles(const CommandLine& line, const std::filesystem::path& folder) {
    std::vector<std::string> missing;
    for (const auto& file : line.files)
        if (velmo::SingleInstance::existingPaths({file}, folder).empty()) missing.push_back(file);
    for (const auto& name : missing) std::fprintf(stderr, "Velmo couldn't add %s: no such file.\n", name.c_str());
    return missing;
}

// SIGTERM, SIGINT and SIGHUP (a logout, kill, a service manager, Ctrl+C) quit as Quit does. The
// handler only writes the signal's number to a pipe that the event loop reads.
int quitSignalPipe[2] = {-1, -1};

void onQuitSignal(int number) {
    const int saved = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const auto written = ::write(quitSignalPipe[1], &byte, 1);
    errno = saved;
}

void catchQuitSignals() {
    if (::pipe2(quitSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction before {};
        // A signal ignored by whoever started Velmo (nohup, a background job) stays ignored.
        if (::sigaction(number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        ::sigaction(number, &action, nullptr);
    }
}

// Quit and the quit signals end the event loop at once. (QApplication::quit() first asks every
// window to close, and the offer prompt, which only its answer closes, would refuse.)
void quitVelmo() { QApplication::exit(0); }

// Qt ends the process with an abort when its platform cannot start, as when the display it
// was given cannot be reached; Velmo answers with a sentence and status 1 instead. Qt's own
// lines from that start are held back: they matter only when the start goes on.
QtMessageHandler qtMessageHandler = nullptr;

struct HeldMessage {
    QtMsgType type;
    std::string category;
    QString text;
};
std::vector<HeldMessage> heldMessages;

void answerUnreachableDisplay(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtFatalMsg) {
        heldMessages.push_back({type, context.category ? context.category : "", message});
        return;
    }
    std::string given;
    for (const char* variable : {"WAYLAND_DISPLAY", "DISPLAY"}) {
        const char* value = std::getenv(variable);
        if (!value || !*value) continue;
        given += (given.empty() ? "" : ", ") + std::string(variable) + "=" + value;
    }
    std::fprintf(stderr,
                 "Velmo needs a desktop to start: the display it was given%s cannot be reached, and no Velmo of "
                 "yours is running to take the files.\n",
                 given.empty() ? "" : (" (" + given + ")").c_str());
    std::fflush(stderr);
    std::_Exit(1);  // nothing of Velmo's runs yet: the kernel drops the lock
}

// Back to Qt's handler once the platform has started, with what it said meanwhile.
void releaseQtMessages() {
    qInstallMessageHandler(qtMessageHandler);
    for (const auto& held : heldMessages) {
        const QMessageLogContext context(nullptr, 0, nullptr, held.category.c_str());
        if (qtMessageHandler) qtMessageHandler(held.type, context, held.text);
    }
    heldMessages.clear();
}

}  // namespace

int main(int argc, char** argv) {
    velmo::UpdateRecovery::recoverInterruptedUpdate(argv);  // before anything else of this copy runs
    const CommandLine line = readCommandLine(argc, argv);
    answerWithoutDisplay(argc, argv, line);
    // The updater starts the new copy while the copy it replaces still runs.
    const bool startedByUpdater = std::getenv(velmo::updateReadinessVariable) != nullptr;

    // The hand-over needs no display and no Qt application: a launch from ssh or after su
    // reaches the running Velmo as one from the desktop does.
    std::error_code noFolder;
    const auto folder = std::filesystem::current_path(noFolder);
    const auto missing = missingFiles(line, folder);
    const bool namesNothing = !line.files.empty() && missing.size() == line.files.size();
    velmo::SingleInstance instance;
    bool holdsLock = false;
    if (startedByUpdater) {
        holdsLock = instance.acquire() == velmo::SingleInstance::Lock::held;
    } else {
        const char* token = std::getenv("XDG_ACTIVATION_TOKEN");
        switch (instance.start(line.files, token ? token : "", 10s)) {
        case velmo::SingleInstance::Launch::handedOver: return namesNothing ? 1 : 0;
        case velmo::SingleInstance::Launch::noAnswer:
            std::fputs("Velmo is already running but does not answer.\n", stderr);
            return 1;
        case velmo::SingleInstance::Launch::foreignSocket: return 1;  // said why
        case velmo::SingleInstance::Launch::first: holdsLock = true; break;
        case velmo::SingleInstance::Launch::alone: break;
        }
    }
    if (!hasDisplay(line)) {
        std::fputs("Velmo needs a desktop to start: no display is set (DISPLAY or WAYLAND_DISPLAY), and no Velmo of "
                   "yours is running to take the files.\n",
                   stderr);
        return 1;
    }

    catchQuitSignals();

    qtMessageHandler = qInstallMessageHandler(answerUnreachableDisplay);
    QApplication app(argc, argv);
    releaseQtMessages();
    QSocketNotifier quitSignals(quitSignalPipe[0], QSocketNotifier::Read);
    quitSignals.setEnabled(quitSignalPipe[0] >= 0);
    QObject::connect(&quitSignals, &QSocketNotifier::activated, &app, [] {
        char numbers[16];
        while (::read(quitSignalPipe[0], numbers, sizeof numbers) > 0) {
        }
        quitVelmo();
    });
    QCommandLineParser parser;
    describe(parser);  // names the application, and so the settings file
    QGuiApplication::setDesktopFileName(QStringLiteral("com.halvester.velmo"));
    if (holdsLock) instance.listen();
    else if (startedByUpdater) instance.acquireWhenFree();
    const auto opened = velmo::SingleInstance::existingPaths(line.files, folder);

    QPointer<velmo::SoftwareUpdates> updates;
    auto services = velmo::AppModelServices::standard();
    velmo::addDesktopServices(services);
    services.isReplacingApp = [&updates] { return updates && updates->isReplacing(); };
    services.checkForUpdatesIfDue = [&updates] {
        if (updates) updates->checkIfDue();
    };
    velmo::AppModel model(velmo::Settings::standardStore(), std::move(services));
    model.setPromptPresenter(std::make_unique<velmo::IncomingPromptPresenter>());
    // Part files that no writer holds locked are a crash's, as are update downloads that
    // outlived their update. Only the one instance sweeps: a copy the updater starts while the
    // old one still quits, or one that runs without the lock, leaves them to the next start.
    if (holdsLock) velmo::PartFile::removeStale(model.downloadFolder());
    if (holdsLock && !startedByUpdater) velmo::UpdateRecovery::removeLeftoverDownloads();

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
    dependencies.updateUndone = velmo::UpdateRecovery::takeUndoneUpdate();
    velmo::SoftwareUpdates updateController(std::move(dependencies));
    updates = &updateController;

    velmo::MainWindow window(model, nullptr, std::chrono::seconds(45), &updateController);
    window.show();

    // With a tray, sharing goes on after the main window closes; without one the window is home.
    // A tray may also come after Velmo (an autostart before the panel) or go while it runs, and
    // Qt does not tell of either on every desktop: a cheap look every two seconds follows it.
    std::unique_ptr<velmo::MenuBarWindow> tray;
    const auto followTray = [&] {
        const bool available = QSystemTrayIcon::isSystemTrayAvailable();
        if (available == (tray != nullptr)) return;
        QApplication::setQuitOnLastWindowClosed(!available);
        if (available) {
            tray = std::make_unique<velmo::MenuBarWindow>(
                model, [&window] { window.bringForward(); }, quitVelmo, &updateController);
        } else {
            tray.reset();
            if (!window.isVisible()) window.show();  // else Velmo would run on out of reach
        }
    };
    QApplication::setQuitOnLastWindowClosed(true);
    followTray();
    QTimer trayWatch;
    trayWatch.callOnTimeout(followTray);
    trayWatch.start(2s);

    // The start-up events reach the model from the event loop, in arrival order: launch
    // finished, then the files given on the command line. Once the model has started, a copy
    // started by the updater tells it that it is up.
    QTimer::singleShot(0, &model, [&model] {
        model.start();
        velmo::signalUpdateReadiness();
    });
    if (!opened.empty() || !missing.empty()) {
        QTimer::singleShot(0, &model, [&model, opened, missing] {
            model.start();
            if (!opened.empty()) model.stageFiles(opened);
            model.reportMissingFiles(missing);
        });
    }
    // Files from a later launch arrive the same way: start, then staging.
    instance.setHandler([&model, &window](const velmo::AppModel::Files& files, const QByteArray& token) {
        if (!token.isEmpty()) qputenv("XDG_ACTIVATION_TOKEN", token);
        window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
        window.bringForward();
        model.start();
        if (!files.empty()) model.stageFiles(files);
        return model.staged().size();
    });
    QObject::connect(&app, &QGuiApplication::applicationStateChanged, &model, [&model](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive)
            QTimer::singleShot(0, &model, [&model] { model.didBecomeActive(); });
    });

    const int status = app.exec();
    // However Velmo came to quit (Quit, the last window, a signal, the updater), running
    // transfers end as a cancel does: each phone hears it and part files go. A second
    // quit signal ends the wait.
    trayWatch.stop();
    tray.reset();
    window.hide();
    QEventLoop settling;
    bool settled = false;
    model.quit(quitLimit, [&settled, &settling] {
        settled = true;
        settling.quit();
    });
    if (!settled) settling.exec();
    return status;
}
