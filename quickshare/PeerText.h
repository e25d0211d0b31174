// Text a phone sent us, made safe to put into an error sentence.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace velmo {

// Longest peer text kept in a sentence, in bytes.
constexpr std::size_t peerTextLimit = 120;

// `text` with invalid UTF-8 replaced by U+FFFD, control characters (C0, DEL, C1) and
// bidirectional overrides dropped, and cut on a character boundary to at most `limit` bytes,
// with "…" after a cut.
std::string peerText(std::string_view text, std::size_t limit = peerTextLimit);

}  // namespace velmo
