// UTF-8 checks for text from the wire, file names and HTTP heads (no ICU in this header).
#pragma once
#include <string>
#include <string_view>

namespace velmo::Utf8 {

// True when `text` is well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool isValid(std::string_view text);

// `text` with every ill-formed sequence replaced by U+FFFD; never fails.
std::string withReplacements(std::string_view text);

}  // namespace velmo::Utf8
