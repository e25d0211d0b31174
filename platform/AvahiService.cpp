#include "platform/AvahiService.h"

#include <algorithm>

namespace velmo {

namespace {
bool sameKey(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}
}  // namespace

std::optional<Bytes> AvahiTxt::value(std::string_view key) const {
    for (const Entry& entry : entries)
        if (sameKey(entry.key, key)) return entry.value;
    return std::nullopt;
}

}  // namespace velmo
