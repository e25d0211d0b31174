// Text rules shared by the feed, the installer and the controller: strict Base64, decimal
// build numbers and display versions.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace velmo::UpdateText {

// Standard Base64 with padding; nothing else tolerated (no line breaks, no blanks).
std::optional<Bytes> decodeBase64(std::string_view text);
std::string encodeBase64(ByteView bytes);

// An optional leading "+" or "-", then one or more decimal digits, within the signed 64-bit range.
std::optional<std::int64_t> parseDecimal(std::string_view text);

// A display version: valid UTF-8, not blank once Unicode white space is trimmed, at most
// 64 bytes, and no control or format character (categories Cc and Cf).
bool isValidVersion(std::string_view version);

// {"payload": Base64 of payload, "signature": Base64 of signature}: how feeds and manifests
// carry what their signature covers.
std::string signedEnvelope(std::string_view payload, ByteView signature);

}  // namespace velmo::UpdateText
