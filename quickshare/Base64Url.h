// URL-safe base64 without padding: the Bonjour service name, the TXT value "n" and the key
// in the QR-code URL.
#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace velmo {

// Standard base64 with "+" → "-", "/" → "_" and no "=".
std::string base64UrlEncode(ByteView bytes);

// Accepts either alphabet, with or without padding; none for any other character or an
// impossible length.
std::optional<Bytes> base64UrlDecode(std::string_view text);

}  // namespace velmo
