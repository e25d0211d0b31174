#include "updatecore/UpdateText.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <charconv>

#include "platform/Utf8.h"

namespace velmo::UpdateText {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::optional<Bytes> decodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int pad = 0;
        if (last && text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
        std::uint32_t group = 0;
        for (int k = 0; k < 4; ++k) {
            int v = 0;
            if (k < 4 - pad) {
                v = sextet(text[i + k]);
                if (v < 0) return std::nullopt;
            }
            group = (group << 6) | static_cast<std::uint32_t>(v);
        }
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        if (pad < 2) out.push_back(static_cast<std::uint8_t>(group >> 8));
        if (pad < 1) out.push_back(static_cast<std::uint8_t>(group));
    }
    return out;
}

std::string encodeBase64(ByteView bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = std::uint32_t(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= std::uint32_t(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= bytes[i + 2];
        out += alphabet[(group >> 18) & 63];
        out += alphabet[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? alphabet[group & 63] : '=';
    }
    return out;
}

std::optional<std::int64_t> parseDecimal(std::string_view text) {
    // from_chars takes a minus sign but no plus; the minus stays attached so the most negative
    // value still fits.
    std::string_view number = text;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        if (text.front() == '+') number.remove_prefix(1);
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec != std::errc() || end != number.data() + number.size()) return std::nullopt;
    return value;
}

bool isValidVersion(std::string_view version) {
    if (version.size() > 64 || !Utf8::isValid(version)) return false;
    bool blank = true;
    std::int32_t i = 0;
    const auto length = static_cast<std::int32_t>(version.size());
    while (i < length) {
        UChar32 c;
        U8_NEXT(reinterpret_cast<const std::uint8_t*>(version.data()), i, length, c);
        if (c < 0) return false;
        const auto type = u_charType(c);
        if (type == U_CONTROL_CHAR || type == U_FORMAT_CHAR) return false;
        if (!u_isUWhiteSpace(c)) blank = false;
    }
    return !blank;
}

std::string signedEnvelope(std::string_view payload, ByteView signature) {
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
    return R"({"payload":")" + encodeBase64(bytes) + R"(","signature":")" + encodeBase64(signature) + R"("})";
}

}  // namespace velmo::UpdateText
