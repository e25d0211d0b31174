#include "quickshare/Base64Url.h"

namespace velmo {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int valueOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-' || c == '+') return 62;
    if (c == '_' || c == '/') return 63;
    return -1;
}

}  // namespace

std::string base64UrlEncode(ByteView bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        out += {alphabet[v >> 18], alphabet[v >> 12 & 63], alphabet[v >> 6 & 63], alphabet[v & 63]};
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t v = bytes[i] << 16;
        out += {alphabet[v >> 18], alphabet[v >> 12 & 63]};
    } else if (rest == 2) {
        const std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8;
        out += {alphabet[v >> 18], alphabet[v >> 12 & 63], alphabet[v >> 6 & 63]};
    }
    return out;
}

std::optional<Bytes> base64UrlDecode(std::string_view text) {
    // Padding is dropped wherever it stands, then restored by the length.
    std::string digits;
    digits.reserve(text.size());
    for (char c : text) {
        if (c == '=') continue;
        if (valueOf(c) < 0) return std::nullopt;
        digits.push_back(c);
    }
    if (digits.size() % 4 == 1) return std::nullopt;

    Bytes out;
    out.reserve(digits.size() * 3 / 4);
    std::uint32_t accumulator = 0;
    int bits = 0;
    for (char c : digits) {
        accumulator = accumulator << 6 | static_cast<std::uint32_t>(valueOf(c));
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(accumulator >> bits));
            accumulator &= (1u << bits) - 1;
        }
    }
    return out;
}

}  // namespace velmo
