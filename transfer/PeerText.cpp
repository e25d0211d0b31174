#include "transfer/PeerText.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <cstdint>

namespace velmo {
namespace {

// Decodes one UTF-8 sequence at `text[i]`; returns its code point and length, or
// U+FFFD and 1 for an invalid sequence (overlong forms and surrogates included).
std::pair<char32_t, std::size_t> decodeOne(std::string_view text, std::size_t i) {
    constexpr std::pair<char32_t, std::size_t> invalid{0xFFFD, 1};
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) return {lead, 1};
    std::size_t length;
    char32_t value;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return invalid;
    }
    if (i + length > text.size()) return invalid;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return invalid;
        value = value << 6 | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return invalid;
    return {value, length};
}

bool joiner(char32_t c) { return c == 0x200C || c == 0x200D; }
bool variationSelector(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_VARIATION_SELECTOR); }
bool tag(char32_t c) { return c >= 0xE0020 && c <= 0xE007F; }

// Characters that show as nothing: what Unicode calls default-ignorable (direction marks, the
// zero-width space, the soft hyphen, Hangul fillers, tags, ...). The characters that reorder
// or break text are the caller's to handle; joiners and variation selectors are judged by
// what stands beside them.
bool invisible(char32_t c) {
    return !joiner(c) && !variationSelector(c) && !breaksTextLayout(c) &&
           u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_DEFAULT_IGNORABLE_CODE_POINT);
}

bool dropped(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;  // C0, DEL, C1
    return breaksTextLayout(c) || invisible(c);
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | c >> 6));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | c >> 12));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | c >> 18));
        out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Where the last code point of valid, non-empty UTF-8 `text` starts.
std::size_t lastStart(std::string_view text) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    return start;
}

// The code point that valid, non-empty UTF-8 `text` ends with.
char32_t lastOf(std::string_view text) { return decodeOne(text, lastStart(text)).first; }

// A character that shows, outside ASCII and white space: one a joiner may stand beside and a
// variation selector may follow.
bool shows(char32_t c) {
    return c >= 0x80 && c != 0xFFFD && !joiner(c) && !variationSelector(c) && !dropped(c) &&
           !u_isUWhiteSpace(static_cast<UChar32>(c));
}

// Whether a zero-width joiner or non-joiner between what `out` ends with and what follows at
// `text[next]` can do its work: joining emoji, or letters of the scripts that use them. Next to
// ASCII or white space, at either end or beside another invisible character it only hides. A
// variation selector kept before it stands for the character whose form it picks ("❤️‍🔥").
bool joinsHere(const std::string& out, std::string_view text, std::size_t next) {
    if (out.empty() || next >= text.size()) return false;
    std::string_view before = out;
    if (variationSelector(lastOf(before))) before.remove_suffix(before.size() - lastStart(before));
    return !before.empty() && shows(lastOf(before)) && shows(decodeOne(text, next).first);
}

// Whether a variation selector after what `out` ends with chooses that character's form: an
// emoji's presentation (also of the keycap digits, "#" and "*") or a variant of a letter or
// ideograph. At the start, after white space or another invisible character it only hides.
bool selectsHere(const std::string& out, char32_t selector) {
    if (out.empty()) return false;
    const char32_t base = lastOf(out);
    if (base < 0x80) {
        return (selector == 0xFE0E || selector == 0xFE0F) &&
               u_hasBinaryProperty(static_cast<UChar32>(base), UCHAR_EMOJI);
    }
    return shows(base);
}

// Tag letters and digits: what a flag's region and subdivision are spelled with.
bool tagLetterOrDigit(char32_t c) { return (c >= 0xE0030 && c <= 0xE0039) || (c >= 0xE0061 && c <= 0xE007A); }

// The run of tags at `text[at]`, up to and including the first cancel tag: its length in bytes,
// and whether it makes a black flag a region's flag: 3 to 7 tag letters or digits (a region
// and its subdivision), then the cancel tag.
std::pair<std::size_t, bool> tagRunAt(std::string_view text, std::size_t at) {
    std::size_t i = at;
    std::size_t count = 0;
    bool region = true;
    while (i < text.size()) {
        const auto [c, length] = decodeOne(text, i);
        if (!tag(c)) break;
        i += length;
        if (c == 0xE007F) return {i - at, region && count >= 3 && count <= 7};
        region = region && tagLetterOrDigit(c);
        ++count;
    }
    return {i - at, false};
}

// `text` as valid UTF-8 without the characters `drop` names and without joiners, variation
// selectors and tags that do no work where they stand; it stops once it holds more than
// `stop` bytes.
std::string keptOf(std::string_view text, bool (*drop)(char32_t), std::size_t stop) {
    std::string out;
    out.reserve(std::min(text.size(), stop));
    for (std::size_t i = 0; i < text.size() && out.size() <= stop;) {
        const auto [c, length] = decodeOne(text, i);
        if (tag(c) && !out.empty() && lastOf(out) == 0x1F3F4) {
            // The run after a black flag is kept whole as its region, or goes whole: a longer
            // one would hide bytes that make two names that look alike differ.
            const auto [run, region] = tagRunAt(text, i);
            if (region) out.append(text.substr(i, run));
            i += run;
            continue;
        }
        i += length;
        if (drop(c)) continue;
        if (joiner(c) && !joinsHere(out, text, i)) continue;
        if (variationSelector(c) && !selectsHere(out, c)) continue;
        appendUtf8(out, c);
    }
    return out;
}

}  // namespace

bool breaksTextLayout(char32_t c) {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029;
}

std::string withoutInvisibles(std::string_view text) { return keptOf(text, invisible, std::string::npos); }

std::string peerText(std::string_view text, std::size_t limit) {
    static constexpr std::string_view ellipsis = "\u2026";
    std::string out = keptOf(text, dropped, limit);
    if (out.size() <= limit) return out;
    // Make room for the ellipsis, removing whole characters.
    while (!out.empty() && out.size() + ellipsis.size() > limit) {
        while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
        if (!out.empty()) out.pop_back();
    }
    // A cut through a flag's tags leaves tags that make no flag.
    out = keptOf(out, dropped, std::string::npos);
    if (ellipsis.size() <= limit) out += ellipsis;
    return out;
}

std::string peerName(std::string_view name) {
    std::string cleaned = peerText(name, peerNameLimit);
    return cleaned.empty() ? fallbackPeerName : cleaned;
}

std::string isolated(std::string_view name) { return "\u2068" + std::string(name) + "\u2069"; }

}  // namespace velmo
