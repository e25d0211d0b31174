// The failures the Quick Share engine itself detects, each with its user-facing sentence.
// Errors of the transport, the files, the protobuf codec and cancellation are not wrapped:
// they reach callers as they are, all sharing velmo::Error as their base.
#pragma once
#include <string>

#include "platform/Error.h"

namespace velmo {

class QuickShareError : public Error {
public:
    enum class Kind { crypto, protocolError, declined, notEnoughSpace, unsupported, timedOut, cancelledByPhone, disconnected };

    static QuickShareError crypto(std::string what);
    static QuickShareError protocolError(std::string reason);
    static QuickShareError declined();
    static QuickShareError notEnoughSpace();
    static QuickShareError unsupported();
    static QuickShareError timedOut();
    static QuickShareError cancelledByPhone();
    static QuickShareError disconnected();
    // Protocol errors a user meets in a row, told as sentences of their own rather than as a
    // "Quick Share error: " with a terse reason.
    static QuickShareError tooManyFiles();
    static QuickShareError arrivedIncomplete(const std::string& name);

    Kind kind() const { return kind_; }
    // The text of crypto and protocolError; empty for the other kinds.
    const std::string& detail() const { return detail_; }
    // True for the protocol errors told as a sentence of their own; the others' text of crypto
    // and protocolError is the engine's terse wording.
    bool hasOwnSentence() const { return ownSentence_; }
    // True for the errors a receive ends with when it refuses the offer it has read (only text
    // or links; too many files), before anyone is asked about it.
    bool refusesTheOffer() const;
    // The kind's name, for logs.
    const char* kindName() const;

    friend bool operator==(const QuickShareError& a, const QuickShareError& b) {
        return a.kind_ == b.kind_ && a.detail_ == b.detail_;
    }

private:
    QuickShareError(Kind kind, std::string detail, const std::string& sentence = {});
    static std::string describe(Kind kind, const std::string& detail);

    Kind kind_;
    std::string detail_;
    bool ownSentence_ = false;
};

}  // namespace velmo
