// Small text helpers of the web receive server's HTTP parsing. No Asio, so the request-head
// parser builds on its own (the fuzz target uses it).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::HttpText {

// Every "%" followed by two hexadecimal digits decoded; "+" stays. Nothing when a "%" is
// not followed by two hexadecimal digits. The result is raw bytes (not checked as UTF-8).
std::optional<std::string> percentDecode(std::string_view text);

// A signed 64-bit decimal: an optional "+" or "-", then one or more ASCII digits and nothing
// else, without overflow.
std::optional<std::int64_t> parseInt64(std::string_view text);

// `text` without spaces and horizontal tabs at both ends.
std::string_view trimSpaces(std::string_view text);

// ASCII letters lowered; other bytes unchanged.
std::string asciiLower(std::string_view text);

// Equality that takes the same time wherever the first difference is (for the access token).
bool constantTimeEqual(std::string_view a, std::string_view b);

}  // namespace velmo::HttpText
