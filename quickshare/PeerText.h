// Text a phone sent us, made safe to put into an error sentence, and its name made safe to show.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "quickshare/EndpointInfo.h"

namespace velmo {

// Longest peer text kept in a sentence, in bytes.
constexpr std::size_t peerTextLimit = 120;

// `text` with invalid UTF-8 replaced by U+FFFD, control characters (C0, DEL, C1) and
// bidirectional overrides dropped, and cut on a character boundary to at most `limit` bytes,
// with "…" after a cut.
std::string peerText(std::string_view text, std::size_t limit = peerTextLimit);

// Longest phone name kept, in bytes: what an endpoint-info record can carry.
constexpr std::size_t peerNameLimit = EndpointInfo::maxNameBytes;
// Shown for a phone that gives no usable name.
inline constexpr const char* fallbackPeerName = "Android phone";

// A phone's name as every view shows it, wherever it came from (its advertisement, its
// connection request): peerText capped at peerNameLimit, fallbackPeerName when nothing is left.
std::string peerName(std::string_view name);

}  // namespace velmo
