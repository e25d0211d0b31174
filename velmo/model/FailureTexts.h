// The sentences a transfer row shows for a failure of the engine or of a receive.
#pragma once
#include <exception>
#include <string>

namespace velmo {

class QuickShareError;

// A row's text for a failure the engine detected: its own sentence, or a plain one for its
// terse protocol and crypto wording (which the caller logs, for people reading the log).
std::string engineErrorText(const QuickShareError& error);

// Why a receive ended without its files. `cancelled`: it was ended here. `asked`: its offer was
// still waiting for the user's answer, so the phone leaving is said to be the phone's doing.
std::string receiveFailureText(std::exception_ptr error, bool cancelled, bool asked);

}  // namespace velmo
