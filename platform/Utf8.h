// UTF-8 checks for text from the wire, file names and HTTP heads (no ICU in this header).
#pragma once
#include <string>
#include <string_view>

namespace velmo::Utf8 {

// True when `text` is well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool isValid(std::string_view text);

// `text` with every ill-formed sequence replaced by U+FFFD; never fails.
std::string withReplacements(std::string_view text);

// The longest prefix of `text` of at most `maxBytes` bytes that does not split a UTF-8 sequence.
std::string_view prefix(std::string_view text, std::size_t maxBytes);

}  // namespace velmo::Utf8
