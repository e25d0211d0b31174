#include "transfer/HttpRequestHead.h"

#include <algorithm>
#include <cstring>

#include "transfer/HttpText.h"
#include "platform/Utf8.h"

namespace velmo {

const std::string* HttpRequest::header(const std::string& lowerName) const {
    const auto it = headers.find(lowerName);
    return it == headers.end() ? nullptr : &it->second;
}

namespace HttpRequestHead {
namespace {

constexpr std::string_view terminator = "\r\n\r\n";

bool isUriCharacter(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("-._~:/?#[]@!$&'()*+,;=%").find(c) != std::string_view::npos;
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool wellFormed(std::string_view target) {
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (!isUriCharacter(target[i])) return false;
        if (target[i] == '%' && (i + 2 >= target.size() || !isHex(target[i + 1]) || !isHex(target[i + 2]))) {
            return false;
        }
    }
    return true;
}

// Length of a leading "scheme:", or 0 when the reference has no scheme.
std::size_t schemeLength(std::string_view s) {
    if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return 0;
    for (std::size_t i = 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == ':') return i + 1;
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return 0;
    }
    return 0;
}

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (;;) {
        const auto at = text.find(separator, start);
        if (at == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

}  // namespace

Scan scan(ByteView buffer, std::size_t from) {
    const std::string_view text(reinterpret_cast<const char*>(buffer.data()), buffer.size());
    from = from >= 3 ? from - 3 : 0;
    const auto at = text.find(terminator, std::min(from, text.size()));
    if (at == std::string_view::npos) {
        return {buffer.size() >= limit ? Scan::State::tooLarge : Scan::State::incomplete, 0};
    }
    if (at + terminator.size() > limit) return {Scan::State::tooLarge, 0};
    return {Scan::State::complete, at};
}

std::optional<Target> parseTarget(std::string_view target) {
    if (target.empty() || !wellFormed(target)) return std::nullopt;
    if (const auto hash = target.find('#'); hash != std::string_view::npos) target = target.substr(0, hash);
    std::string_view rawQuery;
    bool hasQuery = false;
    if (const auto question = target.find('?'); question != std::string_view::npos) {
        rawQuery = target.substr(question + 1);
        hasQuery = true;
        target = target.substr(0, question);
    }
    target.remove_prefix(schemeLength(target));
    if (target.substr(0, 2) == "//") {  // authority: host and port, not part of the path
        const auto slash = target.find('/', 2);
        target = slash == std::string_view::npos ? std::string_view() : target.substr(slash);
    }
    Target result;
    auto path = HttpText::percentDecode(target);
    if (!path) return std::nullopt;
    result.path = std::move(*path);
    if (hasQuery && !rawQuery.empty()) {
        for (const auto item : split(rawQuery, "&")) {
            if (item.empty()) continue;
            const auto equals = item.find('=');
            auto name = HttpText::percentDecode(item.substr(0, equals));
            auto value = equals == std::string_view::npos ? std::optional<std::string>("")
                                                          : HttpText::percentDecode(item.substr(equals + 1));
            if (!name || !value) return std::nullopt;
            result.query.emplace(std::move(*name), std::move(*value));  // keeps the first
        }
    }
    return result;
}

std::optional<HttpRequest> parse(ByteView buffer, std::size_t end) {
    if (end > buffer.size() || buffer.size() - end < terminator.size()) return std::nullopt;
    const std::string head = Utf8::withReplacements(
        std::string_view(reinterpret_cast<const char*>(buffer.data()), end));
    const auto lines = split(head, "\r\n");

    std::vector<std::string_view> words;
    for (const auto word : split(lines[0], " ")) {
        if (!word.empty()) words.push_back(word);
    }
    if (words.size() < 2) return std::nullopt;
    auto target = parseTarget(words[1]);
    if (!target) return std::nullopt;

    HttpRequest request;
    request.method = std::string(words[0]);
    request.path = std::move(target->path);
    request.query = std::move(target->query);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto colon = lines[i].find(':');
        if (colon == std::string_view::npos) continue;
        const auto name = HttpText::asciiLower(lines[i].substr(0, colon));
        std::string value(HttpText::trimSpaces(lines[i].substr(colon + 1)));
        auto [entry, added] = request.headers.try_emplace(name, value);
        if (added) continue;
        // Two different lengths leave the body's end in doubt: they are kept as the list they
        // form, which reads as no length at all, so the request is refused.
        if (name == "content-length" && entry->second != value) {
            entry->second += ", " + value;
        } else {
            entry->second = std::move(value);
        }
    }
    request.leftover.assign(buffer.begin() + static_cast<std::ptrdiff_t>(end + terminator.size()), buffer.end());
    return request;
}

}  // namespace HttpRequestHead
}  // namespace velmo
