// A real executable of ours started by a test: its own environment and folder, its standard
// output captured, optionally the updater's readiness pipe. Stopped by its id when dropped.
#pragma once
#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/TempFolder.h"

namespace velmo::test {

class AppProcess {
public:
    struct Options {
        std::vector<std::string> arguments;
        std::filesystem::path folder;  // working folder; the test's when empty
        bool readiness = false;        // hand it a readiness pipe as the updater does
        bool errorsToOutput = false;   // capture its standard error with its output
        // Variables set for it (nothing: removed) over this process's environment.
        std::map<std::string, std::optional<std::string>> environment = {};
    };

    AppProcess(const std::filesystem::path& executable, Options options);
    ~AppProcess();
    AppProcess(const AppProcess&) = delete;
    AppProcess& operator=(const AppProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Sends `number` while the process has not been reaped; false once it has (never kill(-1)).
    bool signal(int number) const;
    // The readiness line, once written, or empty after `timeout` or when the pipe closed.
    std::string awaitReadiness(std::chrono::milliseconds timeout);
    // The exit status once the process has ended, or nothing after `timeout`.
    std::optional<int> awaitExit(std::chrono::milliseconds timeout);
    // Everything written to standard output (and error, when asked) so far; waits up to `timeout` for `marker`.
    std::string output(const std::string& marker = {}, std::chrono::milliseconds timeout = {});

private:
    pid_t pid_ = -1;
    int readiness_ = -1;
    int output_ = -1;
    std::string captured_;
};

// The test build's own executables and folders, which these tests drive.
inline const std::filesystem::path velmoBinary = VELMO_BINARY;
inline const std::filesystem::path releaseTool = VELMO_RELEASE_TOOL;
inline const std::filesystem::path iconFolder = VELMO_ICONS;
inline const std::filesystem::path sourceFolder = VELMO_SOURCE_DIR;

// Runs `command` in the source folder, as a user at a terminal does; `output` gets both streams.
int runInSource(std::vector<std::string> command, std::string* output = nullptr);

// Runs a tool to its end and answers its exit status; its output goes to `output` when given.
int runTool(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
            std::string* output = nullptr);

// Points HOME, the XDG folders and the runtime folder of this process, and so of every process
// it starts, into `root`, with the offscreen Qt platform and no session or system bus (so no
// discovery ever reaches the machine's network). Velmo finds its one instance through the home
// of the password database, whatever the environment says: in a private mount namespace of
// this thread, that home becomes accountHome(root). Throws when no namespace can be made.
// The environment this process had comes back when the test ends, so that the next test of
// the same process does not make its folders under one that has gone.
void isolateDesktop(const TempFolder& root);
std::filesystem::path accountHome(const TempFolder& root);

// The names of the entries in `folder`.
std::vector<std::string> entryNames(const std::filesystem::path& folder);
// A file's bytes; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
// A release build folder made at `folder` of the test build's executable, release tool and,
// when asked, icons; answers `folder`.
std::filesystem::path makeReleaseBuild(const std::filesystem::path& folder, bool icons = true);

// Base of the tests that update a real installed copy: a desktop of their own, the test
// build's stripped executable and an update key, from which they make signed bundles.
class UpdatingAppTest : public ::testing::Test {
protected:
    static constexpr const char* channel = "test-x86_64";
    void SetUp() override;
    // A bundle of `executable` signed with the key, with the icons unless told otherwise;
    // answers the release tool's exit status.
    int makeBundle(const std::filesystem::path& executable, const std::string& version, int build,
                   const std::filesystem::path& bundle, bool icons = true, std::string* output = nullptr);

    TempFolder temp;
    const std::filesystem::path executable = temp / "velmo";
    const std::string key = (temp / "release/keys/update.pem").string();
};

}  // namespace velmo::test
