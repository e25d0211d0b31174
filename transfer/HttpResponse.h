// The bytes of the web receive server's responses.
#pragma once
#include <string_view>

#include "platform/Bytes.h"

namespace velmo::HttpResponse {

// The interim answer to "Expect: 100-continue".
inline constexpr std::string_view continueHead = "HTTP/1.1 100 Continue\r\n\r\n";

// "OK", "Bad Request", ... for the statuses the server uses; "Error" for any other.
std::string_view reasonPhrase(int status);

// One complete response: status line, the fixed headers, the body.
Bytes format(int status, std::string_view contentType, ByteView body);

}  // namespace velmo::HttpResponse
