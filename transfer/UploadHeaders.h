// Reading the headers of one upload request.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::UploadHeaders {

// The announced body length: ASCII digits only, no sign, fitting a signed 64-bit number.
std::optional<std::int64_t> contentLength(std::string_view value);

// The percent-decoded file name; nothing for a malformed escape or bytes that are not UTF-8.
std::optional<std::string> fileName(std::string_view value);

// The phone's model from its User-Agent ("Android 13; XY-1000 Build/..." gives "XY-1000"),
// cleaned as a phone's name is (peerName), or "Android phone".
std::string deviceName(std::string_view userAgent);

}  // namespace velmo::UploadHeaders
