// The command line as Velmo reads it before any application object exists.
#pragma once
#include <QCommandLineParser>
#include <filesystem>
#include <string>
#include <vector>

namespace velmo {

struct CommandLine {
    std::vector<std::string> files;
    std::vector<std::string> parsed;  // what Velmo's own parser reads: everything before "--" but Qt's options
    bool hasOption = false;           // --help, --version or an unknown option
    bool namesDisplay = false;        // -platform or -display

    // Qt's own options are set aside (their values too), the rest are files, byte for byte.
    static CommandLine read(int argc, char** argv);
    // Names the application (and so its settings file) and describes its options to `parser`.
    static void describe(QCommandLineParser& parser);

    // --help, --version and unknown options need no display, so they are answered (and the
    // process ends) before the GUI connects to one: a mistyped option must not end in an abort
    // for want of a display.
    void answerWithoutDisplay(int argc, char** argv) const;
    // Whether Qt will find a display: a platform that needs none, or an X or Wayland display named.
    bool hasDisplay() const;
    // The files that name nothing (relative ones from `folder`), each said on standard error.
    std::vector<std::string> missingFiles(const std::filesystem::path& folder) const;
};

}  // namespace velmo
