// The refusals of the update installer, each with its user-facing sentence.
#pragma once
#include <filesystem>

#include "platform/Error.h"

namespace velmo {

class UpdateInstallError : public Error {
public:
    enum class Kind {
        rollbackFailed,
        unsafePath,
        notWritable,
        invalidArchive,
        invalidBundle,
        identityMismatch,
        notNewer,
        invalidSignature,
        stagingFailed,
        replacementFailed,
        relaunchFailed,
        installationInProgress,
        unsupportedSystem,
    };

    explicit UpdateInstallError(Kind kind);
    // The new copy did not start and the previous one could not be put back; it waits at `backup`.
    static UpdateInstallError rollbackFailed(const std::filesystem::path& backup);
    // The archive holds another version or build than the release it was downloaded for: an
    // invalid bundle, told as the update's fault, not the installed copy's.
    static UpdateInstallError notTheRelease();

    Kind kind() const { return kind_; }
    const std::filesystem::path& backup() const { return backup_; }

    friend bool operator==(const UpdateInstallError& a, const UpdateInstallError& b) {
        return a.kind_ == b.kind_ && a.backup_ == b.backup_;
    }

private:
    UpdateInstallError(Kind kind, const std::string& sentence, std::filesystem::path backup);

    Kind kind_;
    std::filesystem::path backup_;
};

}  // namespace velmo
