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

QuickShareError QuickShareError::tooManyFiles() {
    return {Kind::protocolError, "too many files in one transfer",
            "The phone offered more than 128 files at once. Send them in smaller groups."};
}

QuickShareError QuickShareError::arrivedIncomplete(const std::string& name) {
    return {Kind::protocolError, name + " arrived incomplete", name + " arrived incomplete, so it wasn't kept."};
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
