// Common base of the engine's own failures: what() is the user-facing sentence.
#pragma once
#include <stdexcept>
#include <string>

namespace velmo {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Stands for a cancelled operation (the user or the owner stopped it).
class Cancelled : public Error {
public:
    Cancelled() : Error("The transfer was cancelled.") {}
};

}  // namespace velmo
