#include "velmo/CommandLine.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "velmo/SingleInstance.h"
#include "velmo/model/SoftwareUpdates.h"

namespace velmo {

namespace {

// "1.2 (build 7)" from the running bundle's Info.json, else the version this was built as.
QString versionText() {
    if (const auto bundle = SoftwareUpdates::runningBundle()) {
        const auto info = SoftwareUpdates::readInfo(*bundle);
        const auto version = SoftwareUpdates::infoText(info, "CFBundleShortVersionString");
        const auto build = SoftwareUpdates::infoText(info, "CFBundleVersion");
        if (version && build) return QString::fromStdString(*version + " (build " + *build + ")");
    }
    return QStringLiteral(VELMO_VERSION);
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

}  // namespace

CommandLine CommandLine::read(int argc, char** argv) {
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

void CommandLine::describe(QCommandLineParser& parser) {
    QCoreApplication::setApplicationName(QStringLiteral("Velmo"));
    QCoreApplication::setOrganizationName(QStringLiteral("Velmo"));
    QCoreApplication::setApplicationVersion(versionText());
    parser.setApplicationDescription(QStringLiteral("Moves files between this computer and phones on the same Wi-Fi."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("Files to send to phones."),
                                 QStringLiteral("[files…]"));
}

void CommandLine::answerWithoutDisplay(int argc, char** argv) const {
    if (!hasOption) return;
    QStringList arguments{QString::fromLocal8Bit(argv[0])};
    for (const auto& a : parsed) arguments.append(QString::fromLocal8Bit(a));
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

bool CommandLine::hasDisplay() const {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (namesDisplay || (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland")))
        return true;
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// As SingleInstance hands over only what exists.
std::vector<std::string> CommandLine::missingFiles(const std::filesystem::path& folder) const {
    std::vector<std::string> missing;
    for (const auto& file : files)
        if (SingleInstance::existingPaths({file}, folder).empty()) missing.push_back(file);
    for (const auto& name : missing) std::fprintf(stderr, "Velmo couldn't add %s: no such file.\n", name.c_str());
    return missing;
}

}  // namespace velmo
