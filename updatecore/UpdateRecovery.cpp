#include "updatecore/UpdateRecovery.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <vector>

#include "updatecore/SafePath.h"
#include "updatecore/UpdateBundle.h"
#include "updatecore/UpdateRelaunch.h"

namespace velmo::UpdateRecovery {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr std::string_view stagingPrefix = ".Velmo-update-";
constexpr std::string_view downloadPrefix = "Velmo-Update-";
constexpr std::size_t recordLimit = 16'384;

struct Record {
    std::string target;  // the installed copy's name in its folder
    std::int64_t build = 0;
    fs::path download;
};

std::optional<Record> readRecord(int staging) {
    UniqueFd fd(::openat(staging, recordName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st{};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(recordLimit))
        return std::nullopt;
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    if (::read(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) return std::nullopt;
    const auto parsed = json::parse(text, nullptr, false);
    if (!parsed.is_object()) return std::nullopt;
    const auto target = parsed.find("target");
    const auto build = parsed.find("build");
    const auto download = parsed.find("download");
    if (target == parsed.end() || !target->is_string() || build == parsed.end() || !build->is_number_integer())
        return std::nullopt;
    Record record{target->get<std::string>(), build->get<std::int64_t>(), {}};
    if (download != parsed.end() && download->is_string()) record.download = download->get<std::string>();
    // Only a name beside the staging folder, never a path elsewhere.
    if (record.target.empty() || record.target == "." || record.target == ".." ||
        record.target.find('/') != std::string::npos || record.build < 1)
        return std::nullopt;
    return record;
}

// The build of a valid bundle at `path`, or nothing.
std::optional<std::int64_t> buildOf(const fs::path& path) {
    try {
        return UpdateBundle::readMetadata(path).build;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Removes an update's download folder: only a folder of ours named like one, never through a link.
void removeDownload(const fs::path& folder) {
    if (!folder.is_absolute() || folder.filename().string().rfind(downloadPrefix, 0) != 0) return;
    UniqueFd fd = openDirectoryNoSymlinks(folder);
    struct stat st{};
    if (!fd || ::fstat(fd.get(), &st) != 0 || st.st_uid != ::getuid()) return;
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

// Puts the previous copy back under `target`; also when `target` has gone.
bool restore(int folder, const std::string& target, int staging) {
    if (exchange(folder, target, staging)) return true;
    if (errno != ENOENT || ::renameat2(staging, "Velmo.app", folder, target.c_str(), RENAME_NOREPLACE) != 0) return false;
    ::fsync(folder);
    ::fsync(staging);
    return true;
}

std::vector<std::string> stagingFolders(const fs::path& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator entry(folder, ec), end; !ec && entry != end; entry.increment(ec)) {
        const std::string name = entry->path().filename().string();
        if (name.rfind(stagingPrefix, 0) == 0) out.push_back(name);
    }
    return out;
}

}  // namespace

bool writeRecord(int staging, const std::string& target, std::int64_t build, const fs::path& download) {
    const json record = {{"target", target}, {"build", build}, {"download", download.string()}};
    const std::string text = record.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    UniqueFd fd(::openat(staging, recordName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd && ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
           ::fsync(fd.get()) == 0 && ::fsync(staging) == 0;
}

bool exchange(int folder, const std::string& target, int staging) {
    if (::renameat2(folder, target.c_str(), staging, "Velmo.app", RENAME_EXCHANGE) != 0) return false;
    ::fsync(folder);
    ::fsync(staging);
    return true;
}

void confirm(const fs::path& staging) {
    if (!staging.is_absolute() || staging.filename().string().rfind(stagingPrefix, 0) != 0) return;
    UniqueFd folder = openDirectoryNoSymlinks(staging);
    if (!folder) return;
    // The download goes first: once the record has gone nothing names it any more.
    if (const auto record = readRecord(folder.get())) removeDownload(record->download);
    if (::unlinkat(folder.get(), recordName, 0) == 0) ::fsync(folder.get());
}

Outcome recover(const fs::path& bundle) {
    const fs::path folderPath = bundle.parent_path();
    const UniqueFd folder = openDirectoryNoSymlinks(folderPath);
    // An installer at work holds the lock; what it staged is its own.
    if (!folder || ::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) return Outcome::nothing;
    Outcome outcome = Outcome::nothing;
    for (const auto& name : stagingFolders(folderPath)) {
        UniqueFd staging(::openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!staging) continue;  // not a folder of ours
        bool keep = false;
        if (const auto record = readRecord(staging.get())) {
            // Exchanged when the staging folder holds an older copy and the installed one is the
            // update (or is broken); without a confirmation the older copy goes back.
            const auto previous = buildOf(folderPath / name / "Velmo.app");
            const auto installed = buildOf(folderPath / record->target);
            if (previous && *previous < record->build && (!installed || *installed == record->build)) {
                if (restore(folder.get(), record->target, staging.get())) {
                    if (record->target == bundle.filename()) outcome = Outcome::restored;
                } else {
                    keep = true;  // the previous copy stays where the installer said it is
                }
            }
            removeDownload(record->download);
        }
        staging.reset();
        std::error_code ignored;
        if (!keep) fs::remove_all(folderPath / name, ignored);
    }
    return outcome;
}

void recoverInterruptedUpdate(char** argv) {
    const auto bundle = UpdateBundle::runningBundle();
    if (!bundle || recover(*bundle) != Outcome::restored) return;
    std::fputs("Velmo: the last update did not finish starting, so the previous version was put back.\n", stderr);
    ::unsetenv(updateReadinessVariable);
    ::unsetenv(stagingVariable);
    const fs::path executable = *bundle / UpdateBundle::executablePath;
    ::execv(executable.c_str(), argv);
    // The previous copy cannot be started from here: this one goes on over its files.
}

}  // namespace velmo::UpdateRecovery
