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
    static ShareError unreachable();

    Kind kind() const { return kind_; }
    const std::string& reason() const { return reason_; }

    friend bool operator==(const ShareError& a, const ShareError& b) {
        return a.kind_ == b.kind_ && a.reason_ == b.reason_;
    }

private:
    ShareError(Kind kind, std::string reason);
    static std::string describe(Kind kind, const std::string& reason);

    Kind kind_;
    std::string reason_;
};

}  // namespace velmo
