// Transport and protocol failures, each with its user-facing sentence.
#pragma once
#include <string>

#include "platform/Error.h"

namespace velmo {

class ShareError : public Error {
public:
    enum class Kind { protocolViolation, connectionClosed, unreachable };

    static ShareError protocolViolation(std::string reason);
    static ShareError connectionClosed();
    // The connection is gone because the peer stopped answering (the kernel's time-out), as
    // against closing it: a lost connection to everyone who asks its kind, with its own sentence.
    static ShareError connectionTimedOut();
    static ShareError unreachable();

    Kind kind() const { return kind_; }
    const std::string& reason() const { return reason_; }
    bool timedOut() const { return timedOut_; }

    friend bool operator==(const ShareError& a, const ShareError& b) {
        return a.kind_ == b.kind_ && a.reason_ == b.reason_ && a.timedOut_ == b.timedOut_;
    }

private:
    ShareError(Kind kind, std::string reason, bool timedOut = false);
    static std::string describe(Kind kind, const std::string& reason, bool timedOut);

    Kind kind_;
    std::string reason_;
    bool timedOut_ = false;
};

}  // namespace velmo
