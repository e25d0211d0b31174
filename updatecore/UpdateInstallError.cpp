#include "updatecore/UpdateInstallError.h"

namespace velmo {
namespace {

const char* sentence(UpdateInstallError::Kind kind) {
    using Kind = UpdateInstallError::Kind;
    switch (kind) {
    case Kind::rollbackFailed: return "";
    case Kind::unsafePath:
        return "Velmo can\u2019t update an app that contains symbolic links. Move a fresh copy of Velmo to its own "
               "folder and try again.";
    case Kind::notWritable:
        return "Velmo can\u2019t write to this app\u2019s folder. Move Velmo to a folder of your own and try again.";
    case Kind::invalidArchive:
        return "The update couldn\u2019t be unpacked safely. Download the update again and make sure your computer "
               "has free disk space.";
    case Kind::invalidBundle:
        return "This copy of Velmo or the update is incomplete. Download a fresh copy of Velmo and try again.";
    case Kind::identityMismatch:
        return "This update belongs to a different Velmo product or update channel. Download the update from the "
               "same place you bought Velmo.";
    case Kind::notNewer:
        return "This update is not newer than the installed copy of Velmo. Check for updates again.";
    case Kind::invalidSignature:
        return "Velmo couldn\u2019t verify the app\u2019s code signature. Download a fresh copy of Velmo and try again.";
    case Kind::stagingFailed:
        return "Velmo couldn\u2019t prepare the update in this app\u2019s folder. Check its permissions and free disk "
               "space, then try again.";
    case Kind::replacementFailed:
        return "Velmo couldn\u2019t replace the app safely. Check this app\u2019s folder permissions, then try again.";
    case Kind::relaunchFailed:
        return "The updated Velmo couldn\u2019t start. Your previous version has been restored. Try the update again.";
    case Kind::installationInProgress:
        return "Another copy of Velmo is installing an update in this folder. Wait a moment, then try again.";
    case Kind::unsupportedSystem:
        return "This update needs a newer version of Linux. Update Linux before installing this version of Velmo.";
    }
    return "";
}

}  // namespace

UpdateInstallError::UpdateInstallError(Kind kind) : UpdateInstallError(kind, sentence(kind), {}) {}

UpdateInstallError::UpdateInstallError(Kind kind, const std::string& text, std::filesystem::path backup)
    : Error(text), kind_(kind), backup_(std::move(backup)) {}

UpdateInstallError UpdateInstallError::notTheRelease() {
    return UpdateInstallError(Kind::invalidBundle,
                              "The downloaded update isn\u2019t the version Velmo was offered. Check for updates "
                              "again later.",
                              {});
}

UpdateInstallError UpdateInstallError::rollbackFailed(const std::filesystem::path& backup) {
    return UpdateInstallError(
        Kind::rollbackFailed,
        "The updated Velmo couldn\u2019t start, and the previous version couldn\u2019t be restored automatically. "
        "Your previous app is saved at " + backup.string() +
            ". Quit Velmo and move that app back to its original folder.",
        backup);
}

}  // namespace velmo
