// Finding and parsing the head of one HTTP/1.1 request. No Asio: the fuzz target builds it.
#pragma once
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace velmo {

struct HttpRequest {
    std::string method;                          // exactly as sent
    std::string path;                            // percent-decoded; empty when the target has none
    std::map<std::string, std::string> query;    // percent-decoded; first occurrence wins
    // Lower-case names; the last occurrence wins, but different Content-Length values are kept
    // as their comma-separated list.
    std::map<std::string, std::string> headers;
    Bytes leftover;                              // body bytes that came with the head

    // The header's value, or nothing; `lowerName` must be lower case.
    const std::string* header(const std::string& lowerName) const;
};

namespace HttpRequestHead {

// Largest accepted head, the blank line that ends it included.
inline constexpr std::size_t limit = 16384;

struct Scan {
    enum class State { incomplete, tooLarge, complete };
    State state = State::incomplete;
    std::size_t end = 0;  // offset of the terminator's first CR when complete
};

// Looks for "\r\n\r\n" in `buffer`, starting at `from` (bytes before it were scanned already,
// give or take the three that may begin a terminator).
Scan scan(ByteView buffer, std::size_t from = 0);

// Parses the head before offset `end` of `buffer`; the bytes after the terminator become the
// leftover. Nothing when the request line or the target is unacceptable.
std::optional<HttpRequest> parse(ByteView buffer, std::size_t end);

struct Target {
    std::string path;
    std::map<std::string, std::string> query;
};

// A request target as an RFC 3986 URI reference (origin or absolute form); nothing when it
// holds a character outside the URI set or a malformed percent escape.
std::optional<Target> parseTarget(std::string_view target);

}  // namespace HttpRequestHead
}  // namespace velmo
