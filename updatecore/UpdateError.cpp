#include "updatecore/UpdateError.h"

namespace velmo {

UpdateError::UpdateError(Kind kind, int status) : Error(sentence(kind)), kind_(kind), status_(status) {}

UpdateError::UpdateError(Kind kind, int status, const char* sentence) : Error(sentence), kind_(kind), status_(status) {}

UpdateError UpdateError::interrupted() {
    return UpdateError(Kind::unavailable, 0,
                       "The connection to the update server was interrupted during the download. Try again later.");
}

UpdateError UpdateError::archiveNotYetAvailable() {
    return UpdateError(Kind::httpStatus, 404, "The update is not available yet. Try again later.");
}

const char* UpdateError::sentence(Kind kind) {
    switch (kind) {
    case Kind::httpStatus:
    case Kind::unavailable: return "The update server could not be reached. Try again later.";
    case Kind::invalidConfiguration: return "Updates are not configured for this copy of Velmo.";
    case Kind::invalidFeed:
    case Kind::invalidArchive: return "The update information is invalid.";
    case Kind::invalidSignature:
    case Kind::untrustedRelease: return "The update could not be authenticated.";
    case Kind::channelMismatch: return "The update belongs to a different release channel.";
    case Kind::tooLarge: return "The update exceeds the download size limit.";
    case Kind::redirected:
    case Kind::insecureURL: return "The update server returned an unexpected download location.";
    case Kind::integrityMismatch: return "The downloaded update did not match its signed information.";
    case Kind::staleRelease: return "This update is already installed.";
    case Kind::cancelled: return "The update was cancelled.";
    case Kind::stagingFailed: return "The update could not be saved to a temporary folder.";
    }
    return "The update information is invalid.";
}

}  // namespace velmo
