#include "transfer/UploadHeaders.h"

#include "platform/Utf8.h"
#include "transfer/HttpText.h"
#include "transfer/PeerText.h"

namespace velmo::UploadHeaders {
namespace {

// Matches "Android [0-9.]+; ([^;)]+)" at `at`; returns the length of the match or 0.
std::size_t matchAndroid(std::string_view ua, std::size_t at) {
    constexpr std::string_view prefix = "Android ";
    if (ua.substr(at, prefix.size()) != prefix) return 0;
    std::size_t i = at + prefix.size();
    const std::size_t versionStart = i;
    while (i < ua.size() && ((ua[i] >= '0' && ua[i] <= '9') || ua[i] == '.')) ++i;
    if (i == versionStart || ua.substr(i, 2) != "; ") return 0;
    i += 2;
    const std::size_t modelStart = i;
    while (i < ua.size() && ua[i] != ';' && ua[i] != ')') ++i;
    if (i == modelStart) return 0;
    return i - at;
}

}  // namespace

std::optional<std::int64_t> contentLength(std::string_view value) {
    // Digits only (RFC 9110): a sign is no part of a length.
    if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    return HttpText::parseInt64(value);
}

std::optional<std::string> fileName(std::string_view value) {
    auto decoded = HttpText::percentDecode(value);
    if (!decoded || !Utf8::isValid(*decoded)) return std::nullopt;
    return decoded;
}

std::string deviceName(std::string_view userAgent) {
    for (std::size_t at = userAgent.find("Android "); at != std::string_view::npos;
         at = userAgent.find("Android ", at + 1)) {
        const std::size_t length = matchAndroid(userAgent, at);
        if (length == 0) continue;
        const auto match = userAgent.substr(at, length);
        auto model = HttpText::trimSpaces(match.substr(match.find(';') + 1));
        if (const auto build = model.find(" Build/"); build != std::string_view::npos) {
            model = model.substr(0, build);
        }
        if (model.empty() || model == "K") return fallbackPeerName;
        // Shown on the row like a phone's own name, so cleaned like one.
        return peerName(model);
    }
    return fallbackPeerName;
}

}  // namespace velmo::UploadHeaders
