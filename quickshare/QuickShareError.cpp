#include "quickshare/QuickShareError.h"

namespace velmo {

QuickShareError::QuickShareError(Kind kind, std::string detail, const std::string& sentence)
    : Error(sentence.empty() ? describe(kind, detail) : sentence), kind_(kind), detail_(std::move(detail)),
      ownSentence_(!sentence.empty()) {}

QuickShareError QuickShareError::crypto(std::string what) { return {Kind::crypto, std::move(what)}; }
QuickShareError QuickShareError::protocolError(std::string reason) { return {Kind::protocolError, std::move(reason)}; }
QuickShareError QuickShareError::declined() { return {Kind::declined, {}}; }
QuickShareError QuickShareError::notEnoughSpace() { return {Kind::notEnoughSpace, {}}; }
QuickShareError QuickShareError::unsupported() { return {Kind::unsupported, {}}; }
QuickShareError QuickShareError::timedOut() { return {Kind::timedOut, {}}; }
QuickShareError QuickShareError::cancelledByPhone() { return {Kind::cancelledByPhone, {}}; }
QuickShareError QuickShareError::disconnected() { return {Kind::disconnected, {}}; }

namespace {
const char* const tooManyFilesReason = "too many files in one transfer";
}

QuickShareError QuickShareError::tooManyFiles() {
    return {Kind::protocolError, tooManyFilesReason,
            "The phone offered more than 128 files at once. Send them in smaller groups."};
}

QuickShareError QuickShareError::arrivedIncomplete(const std::string& name) {
    return {Kind::protocolError, name + " arrived incomplete", name + " arrived incomplete, so it wasn't kept."};
}

bool QuickShareError::refusesTheOffer() const {
    return kind_ == Kind::unsupported || (kind_ == Kind::protocolError && detail_ == tooManyFilesReason);
}

const char* QuickShareError::kindName() const {
    switch (kind_) {
    case Kind::crypto: return "crypto";
    case Kind::protocolError: return "protocolError";
    case Kind::declined: return "declined";
    case Kind::notEnoughSpace: return "notEnoughSpace";
    case Kind::unsupported: return "unsupported";
    case Kind::timedOut: return "timedOut";
    case Kind::cancelledByPhone: return "cancelledByPhone";
    case Kind::disconnected: return "disconnected";
    }
    return "unknown";
}

std::string QuickShareError::describe(Kind kind, const std::string& detail) {
    switch (kind) {
    case Kind::crypto: return "Encryption error: " + detail;
    case Kind::protocolError: return "Quick Share error: " + detail;
    case Kind::declined: return "The phone declined the files.";
    case Kind::notEnoughSpace: return "The phone doesn't have enough free space.";
    case Kind::unsupported: return "The phone can't receive this kind of file.";
    case Kind::timedOut: return "Nobody tapped Accept on the phone in time.";
    case Kind::cancelledByPhone: return "The transfer was cancelled on the phone.";
    case Kind::disconnected: return "The phone disconnected.";
    }
    return "Quick Share error: " + detail;
}

}  // namespace velmo
