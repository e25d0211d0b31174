#include "transfer/ShareError.h"

namespace velmo {

ShareError::ShareError(Kind kind, std::string reason, bool timedOut)
    : Error(describe(kind, reason, timedOut)), kind_(kind), reason_(std::move(reason)), timedOut_(timedOut) {}

ShareError ShareError::protocolViolation(std::string reason) {
    return ShareError(Kind::protocolViolation, std::move(reason));
}

ShareError ShareError::connectionClosed() { return ShareError(Kind::connectionClosed, {}); }

ShareError ShareError::connectionTimedOut() { return ShareError(Kind::connectionClosed, {}, true); }

ShareError ShareError::unreachable() { return ShareError(Kind::unreachable, {}); }

std::string ShareError::describe(Kind kind, const std::string& reason, bool timedOut) {
    switch (kind) {
    case Kind::protocolViolation:
        return "Protocol error: " + reason;
    case Kind::connectionClosed:
        return timedOut ? "The phone stopped responding." : "The connection was closed.";
    case Kind::unreachable:
        // AirDrop advice is dropped: Linux has no AirDrop.
        return "Couldn't reach the phone on this Wi-Fi. Guest networks often stop devices from "
               "talking to each other: join the main Wi-Fi.";
    }
    return "Protocol error: " + reason;
}

}  // namespace velmo
