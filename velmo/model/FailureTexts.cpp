#include "velmo/model/FailureTexts.h"

#include <QtGlobal>

#include "platform/Error.h"
#include "quickshare/QuickShareError.h"
#include "transfer/ShareError.h"

namespace velmo {

std::string engineErrorText(const QuickShareError& error) {
    switch (error.kind()) {
    case QuickShareError::Kind::crypto: return "The connection to the phone couldn't be secured, so the transfer stopped.";
    case QuickShareError::Kind::protocolError:
        // Errors with a sentence of their own (too many files, a file cut short) keep it.
        if (error.hasOwnSentence()) return error.what();
        return "The phone sent something Velmo couldn't read, so the transfer stopped.";
    default: return error.what();
    }
}

std::string receiveFailureText(std::exception_ptr error, bool cancelled, bool asked) {
    using Kind = QuickShareError::Kind;
    const char* const phoneCancelled = "The phone cancelled.";
    if (cancelled) return "Cancelled";
    try {
        std::rethrow_exception(error);
    } catch (const Cancelled&) {
        return "Cancelled";
    } catch (const QuickShareError& e) {
        qWarning("Quick Share %s: %s", e.kindName(), e.what());
        if (e.kind() == Kind::timedOut) return "The phone stopped responding.";
        if (e.kind() == Kind::unsupported) return "Only files can be sent to this computer (not text or links).";
        if (asked && (e.kind() == Kind::cancelledByPhone || e.kind() == Kind::disconnected)) return phoneCancelled;
        return engineErrorText(e);
    } catch (const ShareError& e) {
        if (asked && e.kind() == ShareError::Kind::connectionClosed && !e.timedOut()) return phoneCancelled;
        return e.what();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error.";
    }
}

}  // namespace velmo
