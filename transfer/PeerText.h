// Text a phone or a browser sent us, made safe to put into a sentence, and its name made safe
// to show. Quick Share and web uploads share it, so a name is cleaned the same way wherever it
// came from.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace velmo {

// Longest peer text kept in a sentence, in bytes.
constexpr std::size_t peerTextLimit = 120;

// Characters that reorder or break the text around them: bidirectional embeddings,
// overrides and isolates (U+202A–U+202E, U+2066–U+2069) and the line and paragraph
// separators (U+2028, U+2029). Shown inside a name, they disguise what follows it.
bool breaksTextLayout(char32_t c);

// `text` with invalid UTF-8 replaced by U+FFFD and the characters that show as nothing dropped:
// what Unicode calls default-ignorable (direction marks, the byte-order mark, zero-width space,
// word joiner, soft hyphen, Hangul fillers, tags, ...) but the characters of breaksTextLayout.
// Zero-width joiners and non-joiners stay only between two non-ASCII characters that show,
// where emoji and several scripts need them; a variation selector only right after a non-ASCII
// character that shows, or an emoji selector after a keycap's digit, "#" or "*"; tags only as
// the region of a black flag's emoji (3 to 7 tag letters or digits, then the cancel tag). A name saved from a phone is cleaned so, as it is shown.
std::string withoutInvisibles(std::string_view text);

// withoutInvisibles(`text`) also without control characters (C0, DEL, C1) and the characters of
// breaksTextLayout; cut on a character boundary to at most `limit` bytes, with "…" after a cut.
std::string peerText(std::string_view text, std::size_t limit = peerTextLimit);

// `name` placed inside a sentence: wrapped in a first-strong isolate (U+2068 … U+2069), so a
// right-to-left name keeps its order without reordering the words and numbers around it.
std::string isolated(std::string_view name);

// Longest phone name kept, in bytes: what an endpoint-info record can carry.
constexpr std::size_t peerNameLimit = 255;
// Shown for a phone that gives no usable name.
inline constexpr const char* fallbackPeerName = "Android phone";

// A phone's name as every view shows it, wherever it came from (its advertisement, its
// connection request, a browser's User-Agent): peerText capped at peerNameLimit,
// fallbackPeerName when nothing is left.
std::string peerName(std::string_view name);

}  // namespace velmo
