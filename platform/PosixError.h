// POSIX codes of system errors, compared by name.
#pragma once
#include <optional>
#include <system_error>

namespace velmo {

// The POSIX code behind `error` when it comes from the operating system (std's system or
// generic category, or Asio's own system category, which std::errc comparisons miss).
std::optional<std::errc> posixCode(const std::error_code& error);

inline bool isPosix(const std::error_code& error, std::errc code) { return posixCode(error) == code; }

}  // namespace velmo
