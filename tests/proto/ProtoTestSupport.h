// Hex helpers for byte-exact protobuf tests.
#pragma once
#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace velmo::proto {

// "08 01 12" style, upper case, one blank between bytes.
std::string hex(ByteView bytes);

// Parses hex digits, ignoring blanks.
Bytes unhex(std::string_view text);

}  // namespace velmo::proto
