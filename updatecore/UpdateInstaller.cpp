#include "updatecore/UpdateInstaller.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "platform/Error.h"
#include "platform/Uuid.h"
#include "updatecore/SafePath.h"
#include "updatecore/UpdateBundle.h"
#include "updatecore/UpdateInstallError.h"
#include "updatecore/UpdateRecovery.h"
#include "updatecore/UpdateRelaunch.h"
#include "updatecore/UpdateText.h"

namespace velmo {
namespace {

using Kind = UpdateInstallError::Kind;

[[noreturn]] void fail(Kind kind) { throw UpdateInstallError(kind); }

void checkInstallLocation(const std::filesystem::path& target) {
    std::string extension = target.extension().string();
    for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    struct stat st{};
    if (extension != ".app" || ::lstat(target.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) fail(Kind::invalidBundle);
    const auto folder = target.parent_path();
    struct statvfs volume{};
    if (::statvfs(folder.c_str(), &volume) == 0 && (volume.f_flag & ST_RDONLY)) fail(Kind::notWritable);
    if (::access(folder.c_str(), W_OK | X_OK) != 0 || ::access(target.c_str(), W_OK | X_OK) != 0)
        fail(Kind::notWritable);
}

UniqueFd lockFolder(const std::filesystem::path& folder) {
    UniqueFd fd = openDirectoryNoSymlinks(folder);
    if (!fd) fail(Kind::notWritable);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) fail(errno == EWOULDBLOCK ? Kind::installationInProgress : Kind::replacementFailed);
    return fd;
}

void verifyReplacement(const std::filesystem::path& current, const std::filesystem::path& candidate,
                       const std::string& version, std::int64_t build) {
    const auto installed = UpdateBundle::readMetadata(safePath(current));
    const auto incoming = UpdateBundle::readMetadata(safePath(candidate));
    if (incoming.version != version || incoming.build != build) throw UpdateInstallError::notTheRelease();
    if (installed.build >= build) fail(Kind::notNewer);
    if (incoming.store != installed.store || incoming.product != installed.product ||
        incoming.variant != installed.variant || incoming.channel != installed.channel ||
        incoming.publicKey != installed.publicKey)
        fail(Kind::identityMismatch);
    // Both copies must carry a manifest signed with the installed copy's update key.
    const auto key = *UpdateText::decodeBase64(installed.publicKey);
    UpdateBundle::verifyManifest(current, key);
    UpdateBundle::verifyManifest(candidate, key);
}

// Flushes every file and folder below `folder`, then the folder itself, never following a
// link: after the exchange a crash must not leave empty or partial files in the live copy.
bool syncTree(int folder) {
    UniqueFd listing(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing) return false;
    const auto closeDir = [](DIR* d) { ::closedir(d); };
    std::unique_ptr<DIR, decltype(closeDir)> dir(::fdopendir(listing.get()), closeDir);
    if (!dir) return false;
    listing.release();
    while (const dirent* entry = ::readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        UniqueFd item(::openat(folder, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st{};
        if (!item || ::fstat(item.get(), &st) != 0) return false;
        if (S_ISDIR(st.st_mode) ? !syncTree(item.get()) : !S_ISREG(st.st_mode) || ::fsync(item.get()) != 0)
            return false;
    }
    return ::fsync(folder) == 0;
}

// Removes the staging folder unless released.
class StagingGuard {
public:
    explicit StagingGuard(std::filesystem::path path) : path_(std::move(path)) {}
    ~StagingGuard() {
        if (path_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    void keep() { path_.clear(); }

private:
    std::filesystem::path path_;
};

}  // namespace

void UpdateInstaller::install(const std::filesystem::path& archive, const std::filesystem::path& target,
                              const std::string& version, std::int64_t build, const std::atomic<bool>& cancel) {
    install(archive, target, version, build, cancel, Options{});
}

void UpdateInstaller::install(const std::filesystem::path& archive, const std::filesystem::path& target,
                              const std::string& version, std::int64_t build, const std::atomic<bool>& cancel,
                              const Options& options) {
    const auto app = safePath(target);
    checkInstallLocation(app);
    const auto folder = app.parent_path();
    const UniqueFd lock = lockFolder(folder);

    const auto zip = safePath(archive);
    struct stat st{};
    if (::lstat(zip.c_str(), &st) != 0) fail(Kind::invalidBundle);
    if (!S_ISREG(st.st_mode)) fail(Kind::invalidArchive);
    if (cancel.load()) throw Cancelled();

    const std::string stagingName = ".Velmo-update-" + Uuid::random().toString();
    if (::mkdirat(lock.get(), stagingName.c_str(), 0700) != 0) fail(Kind::stagingFailed);
    StagingGuard guard(folder / stagingName);
    UniqueFd staging(::openat(lock.get(), stagingName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!staging || ::fchmod(staging.get(), 0700) != 0) fail(Kind::stagingFailed);
    // Should this process end between the exchange and the new copy's readiness, the record
    // lets the next launch put the previous copy back and remove the download.
    const std::string targetName = app.filename().string();
    if (!UpdateRecovery::writeRecord(staging.get(), targetName, build, zip.parent_path())) fail(Kind::stagingFailed);

    vetUpdateArchive(zip, options.archiveLimits);
    unpackUpdateArchive(zip, staging.get(), options.archiveLimits);
    std::size_t items = 0;
    bool onlyBundle = true;
    for (const auto& entry : std::filesystem::directory_iterator(folder / stagingName)) {
        if (entry.path().filename() == UpdateRecovery::recordName) continue;
        ++items;
        onlyBundle = onlyBundle && entry.path().filename() == "Velmo.app";
    }
    if (items != 1 || !onlyBundle) fail(Kind::invalidArchive);

    const auto candidate = folder / stagingName / "Velmo.app";
    verifyReplacement(app, candidate, version, build);
    if (cancel.load()) throw Cancelled();
    if (!syncTree(staging.get()) || !UpdateRecovery::recordCopy(staging.get())) fail(Kind::stagingFailed);

    if (!UpdateRecovery::exchange(lock.get(), targetName, staging.get())) fail(Kind::replacementFailed);

    if (relaunchUpdatedCopy(app / UpdateBundle::executablePath, options.relaunchTimeout, folder / stagingName)) return;
    if (UpdateRecovery::exchange(lock.get(), targetName, staging.get())) fail(Kind::relaunchFailed);
    guard.keep();
    throw UpdateInstallError::rollbackFailed(candidate);
}

}  // namespace velmo
