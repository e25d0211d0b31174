// Strict UTF-8 check for text read from the wire.
#pragma once
#include <string_view>

namespace velmo::proto {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

}  // namespace velmo::proto
