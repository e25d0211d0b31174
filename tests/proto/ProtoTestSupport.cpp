#include "ProtoTestSupport.h"

#include <stdexcept>

namespace velmo::proto {

std::string hex(ByteView bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

Bytes unhex(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("not a hex digit");
    };
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\n') continue;
        if (high < 0) {
            high = value(c);
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | value(c)));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits");
    return out;
}

}  // namespace velmo::proto
