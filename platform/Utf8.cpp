#include "platform/Utf8.h"

#include <unicode/utf8.h>

namespace velmo::Utf8 {

bool isValid(std::string_view text) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) return false;
    std::int32_t i = 0;
    while (i < length) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

std::string withReplacements(std::string_view text) {
    if (isValid(text)) return std::string(text);
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    std::string out;
    out.reserve(text.size() + 8);
    std::int32_t i = 0;
    while (i < length) {
        const std::int32_t start = i;
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0) {
            out += "\xEF\xBF\xBD";
        } else {
            out.append(text.data() + start, static_cast<std::size_t>(i - start));
        }
    }
    return out;
}

std::string_view prefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

}  // namespace velmo::Utf8
