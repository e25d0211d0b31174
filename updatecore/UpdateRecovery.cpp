#include "updatecore/UpdateRecovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/FileIdentity.h"
#include "platform/Uuid.h"
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
    // The folder the exchange put in place; absent in a record of an installer before this field.
    std::optional<FileIdentity> copy;
};

constexpr const char* recordDraft = "Update.json.new";

// Writes the record in full beside the old one, then puts it in its place.
bool saveRecord(int staging, const Record& record) {
    json text = {{"target", record.target}, {"build", record.build}, {"download", record.download.string()}};
    if (record.copy) {
        text["device"] = record.copy->device;
        text["inode"] = record.copy->inode;
    }
    const std::string bytes = text.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    ::unlinkat(staging, recordDraft, 0);
    UniqueFd fd(::openat(staging, recordDraft, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd && ::write(fd.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
           ::fsync(fd.get()) == 0 && ::renameat(staging, recordDraft, staging, recordName) == 0 &&
           ::fsync(staging) == 0;
}

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
    Record record{target->get<std::string>(), build->get<std::int64_t>(), {}, std::nullopt};
    if (download != parsed.end() && download->is_string()) record.download = download->get<std::string>();
    const auto device = parsed.find("device");
    const auto inode = parsed.find("inode");
    if (device != parsed.end() && device->is_number_unsigned() && inode != parsed.end() && inode->is_number_unsigned())
        record.copy = FileIdentity{device->get<std::uint64_t>(), inode->get<std::uint64_t>()};
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

// "Velmo-Update-" and an upper-case UUID, as the feed client names its download folders.
bool isDownloadName(std::string_view name) {
    return name.starts_with(downloadPrefix) && Uuid::isCanonical(name.substr(downloadPrefix.size()));
}

// The names in the open folder, but "." and "..".
std::vector<std::string> namesIn(int folder) {
    std::vector<std::string> names;
    UniqueFd listing(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* entries = listing ? ::fdopendir(listing.get()) : nullptr;
    if (!entries) return names;
    listing.release();
    while (const dirent* entry = ::readdir(entries))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
    ::closedir(entries);
    return names;
}

// Empties the open folder through its descriptor, never following a link (a link is removed
// as the entry it is). Gives up below a depth that no download of ours reaches.
void removeContents(int folder, int depth) {
    const auto names = namesIn(folder);
    for (const auto& name : names) {
        UniqueFd inner(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!inner) {
            ::unlinkat(folder, name.c_str(), 0);
            continue;
        }
        if (depth > 0) removeContents(inner.get(), depth - 1);
        ::unlinkat(folder, name.c_str(), AT_REMOVEDIR);
    }
}

// Removes the download folder `name` in the open `parent`: only a folder of this user named
// like ours, never through a link.
void removeDownloadAt(int parent, const std::string& name) {
    if (!isDownloadName(name)) return;
    UniqueFd folder(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st{};
    if (!folder || ::fstat(folder.get(), &st) != 0 || st.st_uid != ::geteuid()) return;
    removeContents(folder.get(), 8);
    ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

// Removes the download folder a record names.
void removeDownload(const fs::path& folder) {
    if (!folder.is_absolute() || !folder.has_filename()) return;
    const UniqueFd parent = openDirectoryNoSymlinks(folder.parent_path());
    if (parent) removeDownloadAt(parent.get(), folder.filename().string());
}

// The staging folder that this process, a new copy started by an installer, holds while it
// starts: a launch meanwhile must not take its files away, even once the installer has gone.
UniqueFd& startingHold() {
    static UniqueFd hold;
    return hold;
}

// Puts the previous copy back under `target`; also when `target` has gone.
bool restore(int folder, const std::string& target, int staging) {
    if (exchange(folder, target, staging)) return true;
    if (errno != ENOENT || ::renameat2(staging, "Velmo.app", folder, target.c_str(), RENAME_NOREPLACE) != 0) return false;
    ::fsync(folder);
    ::fsync(staging);
    return true;
}

// The staging folder's path handed to a new copy: one named like ours, nothing else.
bool isStagingPath(const fs::path& staging) {
    return staging.is_absolute() && staging.filename().string().rfind(stagingPrefix, 0) == 0;
}

}  // namespace

void removeLeftoverDownloads(const fs::path& temporary) {
    std::error_code ec;
    const fs::path folder = temporary.empty() ? fs::temp_directory_path(ec) : temporary;
    // The temporary folder is taken as the user set it; inside it no link is followed.
    const UniqueFd parent(ec ? -1 : ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent) return;
    for (const auto& name : namesIn(parent.get())) removeDownloadAt(parent.get(), name);
}

bool writeRecord(int staging, const std::string& target, std::int64_t build, const fs::path& download) {
    struct stat st{};
    // A new record only: never over one of another update.
    if (::fstatat(staging, recordName, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return false;
    return saveRecord(staging, Record{target, build, download, std::nullopt});
}

bool recordCopy(int staging) {
    auto record = readRecord(staging);
    const auto copy = FileIdentity::at(staging, "Velmo.app");
    if (!record || !copy) return false;
    record->copy = copy;
    return saveRecord(staging, *record);
}

bool exchange(int folder, const std::string& target, int staging) {
    if (::renameat2(folder, target.c_str(), staging, "Velmo.app", RENAME_EXCHANGE) != 0) return false;
    ::fsync(folder);
    ::fsync(staging);
    return true;
}

void confirm(const fs::path& staging) {
    if (!isStagingPath(staging)) return;
    UniqueFd folder = openDirectoryNoSymlinks(staging);
    if (!folder) return;
    // The download goes first: once the record has gone nothing names it any more.
    if (const auto record = readRecord(folder.get())) removeDownload(record->download);
    if (::unlinkat(folder.get(), recordName, 0) == 0) ::fsync(folder.get());
    startingHold().reset();
}

Outcome recover(const fs::path& bundle) {
    const fs::path folderPath = bundle.parent_path();
    const UniqueFd folder = openDirectoryNoSymlinks(folderPath);
    // An installer at work holds the lock; what it staged is its own.
    if (!folder || ::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) return Outcome::nothing;
    Outcome outcome = Outcome::nothing;
    for (const auto& name : namesIn(folder.get())) {
        if (name.rfind(stagingPrefix, 0) != 0) continue;
        UniqueFd staging(::openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!staging) continue;  // not a folder of ours
        // A new copy that is still starting holds its staging folder: the update may yet stand.
        if (::flock(staging.get(), LOCK_EX | LOCK_NB) != 0) continue;
        bool keep = false;
        if (const auto record = readRecord(staging.get())) {
            // Exchanged when the staging folder holds an older copy and the installed one is the
            // very copy the exchange put there (or has gone); without a confirmation the older
            // copy goes back. A copy installed since by other means stays.
            const auto previous = buildOf(folderPath / name / "Velmo.app");
            const auto identity = FileIdentity::at(folder.get(), record->target.c_str());
            const bool gone = !identity && errno == ENOENT;
            const bool exchanged = !record->copy || identity == record->copy;
            const auto installed = buildOf(folderPath / record->target);
            if (previous && *previous < record->build &&
                (gone || (exchanged && (!installed || *installed == record->build)))) {
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
    if (const char* staging = std::getenv(stagingVariable)) {
        const fs::path folder = staging;
        if (isStagingPath(folder)) {
            startingHold() = openDirectoryNoSymlinks(folder);
            if (startingHold()) ::flock(startingHold().get(), LOCK_SH | LOCK_NB);
        }
    }
    const auto bundle = UpdateBundle::runningBundle();
    if (!bundle || recover(*bundle) != Outcome::restored) return;
    std::fputs("Velmo: the last update did not finish starting, so the previous version was put back.\n", stderr);
    ::unsetenv(updateReadinessVariable);
    ::unsetenv(stagingVariable);
    ::setenv(undoneVariable, "1", 1);
    const fs::path executable = *bundle / UpdateBundle::executablePath;
    ::execv(executable.c_str(), argv);
    // The previous copy cannot be started from here: this one goes on over its files.
}

bool takeUndoneUpdate() {
    const bool undone = std::getenv(undoneVariable) != nullptr;
    ::unsetenv(undoneVariable);
    return undone;
}

}  // namespace velmo::UpdateRecovery
