// The failures of the update feed client and its requests, each with its user-facing sentence.
#pragma once
#include "platform/Error.h"

namespace velmo {

class UpdateError : public Error {
public:
    enum class Kind {
        httpStatus,
        invalidConfiguration,
        invalidFeed,
        invalidSignature,
        channelMismatch,
        invalidArchive,
        tooLarge,
        redirected,
        insecureURL,
        integrityMismatch,
        untrustedRelease,
        staleRelease,
        unavailable,
        cancelled,
        stagingFailed,
    };

    explicit UpdateError(Kind kind, int status = 0);
    static UpdateError http(int status) { return UpdateError(Kind::httpStatus, status); }
    // The server answered, then the transfer broke off: unavailable, told as what it was.
    static UpdateError interrupted();
    // The server has no archive for a signed release (404): a feed published before its
    // archive was uploaded. The server was reached; the update is just not there yet.
    static UpdateError archiveNotYetAvailable();

    Kind kind() const { return kind_; }
    int status() const { return kind_ == Kind::httpStatus ? status_ : 0; }

    friend bool operator==(const UpdateError& a, const UpdateError& b) {
        return a.kind_ == b.kind_ && a.status() == b.status();
    }

    static const char* sentence(Kind kind);

private:
    UpdateError(Kind kind, int status, const char* sentence);

    Kind kind_;
    int status_;
};

}  // namespace velmo
