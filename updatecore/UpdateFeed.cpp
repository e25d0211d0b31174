#include "updatecore/UpdateFeed.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <cctype>
#include <set>

#include "platform/Digest.h"
#include "platform/Ed25519.h"
#include "platform/Uuid.h"
#include "updatecore/BoundedUpdateRequest.h"
#include "updatecore/CurlTransport.h"
#include "updatecore/UpdateText.h"

namespace velmo {
namespace {

using Kind = UpdateError::Kind;
using json = nlohmann::json;

struct UrlParts {
    std::string scheme, host, port, path;
    bool hasUser = false, hasPassword = false, hasQuery = false, hasFragment = false;
};

std::optional<UrlParts> parseUrl(const std::string& text) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    auto part = [&](CURLUPart which, std::string& out) {
        char* value = nullptr;
        if (curl_url_get(url.get(), which, &value, 0) != CURLUE_OK || !value) return false;
        out = value;
        curl_free(value);
        return true;
    };
    UrlParts p;
    std::string ignored;
    part(CURLUPART_SCHEME, p.scheme);
    part(CURLUPART_HOST, p.host);
    part(CURLUPART_PORT, p.port);
    part(CURLUPART_PATH, p.path);
    p.hasUser = part(CURLUPART_USER, ignored);
    p.hasPassword = part(CURLUPART_PASSWORD, ignored);
    p.hasQuery = part(CURLUPART_QUERY, ignored);
    p.hasFragment = part(CURLUPART_FRAGMENT, ignored);
    return p;
}

// Parses `bytes` as a JSON object whose keys are exactly `keys`.
json strictObject(std::string_view bytes, const std::set<std::string>& keys) {
    json value = json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (value.is_discarded() || !value.is_object() || value.size() != keys.size())
        throw UpdateError(Kind::invalidFeed);
    for (const auto& [key, _] : value.items())
        if (!keys.contains(key)) throw UpdateError(Kind::invalidFeed);
    return value;
}

std::string stringField(const json& object, const char* key) {
    const auto& v = object.at(key);
    if (!v.is_string()) throw UpdateError(Kind::invalidFeed);
    return v.get<std::string>();
}

std::int64_t integerField(const json& object, const char* key) {
    const auto& v = object.at(key);
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT64_MAX)) throw UpdateError(Kind::invalidFeed);
        return static_cast<std::int64_t>(u);
    }
    if (!v.is_number_integer()) throw UpdateError(Kind::invalidFeed);
    return v.get<std::int64_t>();
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string lower(std::string text) {
    for (auto& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string_view text(const Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void writeNewFile(const std::filesystem::path& path, const Bytes& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("create");
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fchmod(fd, 0600) == 0;
    if (::close(fd) != 0) ok = false;
    if (!ok) throw std::runtime_error("write");
}

}  // namespace

UpdateFeed::UpdateFeed(Bytes publicKey, std::string feedURL, std::string channel, std::int64_t currentBuild,
                       std::shared_ptr<HttpTransport> transport, std::filesystem::path temporaryDirectory)
    : publicKey_(std::move(publicKey)),
      feedURL_(std::move(feedURL)),
      channel_(std::move(channel)),
      currentBuild_(currentBuild),
      transport_(transport ? std::move(transport) : std::make_shared<CurlTransport>()),
      temporaryDirectory_(std::move(temporaryDirectory)) {}

void UpdateFeed::validateConfiguration() const {
    const auto url = parseUrl(feedURL_);
    if (!url || lower(url->scheme) != "https" || url->host.empty() || url->hasUser || url->hasPassword ||
        url->hasQuery || url->hasFragment)
        throw UpdateError(Kind::invalidConfiguration);
    const auto slash = url->path.rfind('/');
    if (slash == std::string::npos || slash + 1 == url->path.size()) throw UpdateError(Kind::invalidConfiguration);
    if (channel_.empty() || channel_.size() > 64 || currentBuild_ < 0 || publicKey_.size() != ed25519PublicKeySize)
        throw UpdateError(Kind::invalidConfiguration);
}

std::string UpdateFeed::archiveURL(const std::string& name) const {
    if (name.empty() || name.size() > 128) throw UpdateError(Kind::invalidArchive);
    const char first = name.front();
    if (!std::isalnum(static_cast<unsigned char>(first)) || static_cast<unsigned char>(first) >= 0x80)
        throw UpdateError(Kind::invalidArchive);
    if (name.size() < 4 || lower(name.substr(name.size() - 4)) != ".zip") throw UpdateError(Kind::invalidArchive);
    if (name.find("..") != std::string::npos) throw UpdateError(Kind::invalidArchive);
    for (char c : name) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                             c == '.' || c == '_' || c == '-';
        if (!allowed) throw UpdateError(Kind::invalidArchive);
    }
    const std::string base = feedURL_.substr(0, feedURL_.rfind('/') + 1);
    const std::string candidate = base + name;
    const auto feed = parseUrl(feedURL_);
    const auto parsed = parseUrl(candidate);
    if (!feed || !parsed || parsed->scheme != feed->scheme || parsed->host != feed->host ||
        parsed->port != feed->port || parsed->hasQuery || parsed->hasFragment ||
        parsed->path.substr(0, parsed->path.rfind('/') + 1) != feed->path.substr(0, feed->path.rfind('/') + 1))
        throw UpdateError(Kind::insecureURL);
    return candidate;
}

std::optional<UpdateRelease> UpdateFeed::check(const std::atomic<bool>& cancel) const {
    validateConfiguration();
    const Bytes body = BoundedUpdateRequest(feedURL_, feedLimit).run(*transport_, "application/json", cancel);
    if (cancel.load()) throw UpdateError(Kind::cancelled);

    const json envelope = strictObject(text(body), {"payload", "signature"});
    const auto payload = UpdateText::decodeBase64(stringField(envelope, "payload"));
    if (!payload || payload->size() > payloadLimit) throw UpdateError(Kind::invalidFeed);
    const auto signature = UpdateText::decodeBase64(stringField(envelope, "signature"));
    if (!signature || signature->size() != ed25519SignatureSize) throw UpdateError(Kind::invalidFeed);
    if (!ed25519Verify(publicKey_, *payload, *signature)) throw UpdateError(Kind::invalidSignature);

    const json fields = strictObject(text(*payload), {"version", "build", "channel", "archive", "sha256", "bytes"});
    UpdateRelease release;
    release.version = stringField(fields, "version");
    release.build = integerField(fields, "build");
    release.channel = stringField(fields, "channel");
    release.archive = stringField(fields, "archive");
    release.sha256 = stringField(fields, "sha256");
    release.bytes = integerField(fields, "bytes");
    if (!UpdateText::isValidVersion(release.version) || release.build < 1 || release.bytes < 1 ||
        release.sha256.size() != 64)
        throw UpdateError(Kind::invalidFeed);
    for (char c : release.sha256)
        if (!isHexDigit(c)) throw UpdateError(Kind::invalidFeed);
    if (release.bytes > archiveLimit) throw UpdateError(Kind::tooLarge);
    if (release.channel != channel_) throw UpdateError(Kind::channelMismatch);
    archiveURL(release.archive);
    if (currentBuild_ >= release.build) return std::nullopt;

    release.sha256 = lower(release.sha256);
    release.sourceURL = feedURL_;
    release.signer = publicKey_;
    return release;
}

std::filesystem::path UpdateFeed::download(const UpdateRelease& release, const std::atomic<bool>& cancel) const {
    validateConfiguration();
    if (release.sourceURL != feedURL_ || release.signer != publicKey_ || release.channel != channel_)
        throw UpdateError(Kind::untrustedRelease);
    if (release.build <= currentBuild_) throw UpdateError(Kind::staleRelease);
    const std::string url = archiveURL(release.archive);
    Bytes archive;
    try {
        archive = BoundedUpdateRequest(url, archiveLimit).run(*transport_, "application/zip", cancel);
    } catch (const UpdateError& e) {
        if (e == UpdateError::http(404)) throw UpdateError::archiveNotYetAvailable();
        throw;
    }
    if (cancel.load()) throw UpdateError(Kind::cancelled);
    if (static_cast<std::int64_t>(archive.size()) != release.bytes || toHex(sha256(archive)) != release.sha256)
        throw UpdateError(Kind::integrityMismatch);

    std::filesystem::path folder;
    try {
        const auto temporary =
            temporaryDirectory_.empty() ? std::filesystem::temp_directory_path() : temporaryDirectory_;
        folder = temporary / ("Velmo-Update-" + Uuid::random().toString());
        if (::mkdir(folder.c_str(), 0700) != 0) {
            folder.clear();
            throw UpdateError(Kind::stagingFailed);
        }
        if (::chmod(folder.c_str(), 0700) != 0) throw UpdateError(Kind::stagingFailed);
        const auto file = folder / release.archive;
        writeNewFile(file, archive);
        if (cancel.load()) throw UpdateError(Kind::cancelled);
        return file;
    } catch (const UpdateError&) {
        std::error_code ignored;
        if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
        throw;
    } catch (const std::exception&) {
        std::error_code ignored;
        if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
        throw UpdateError(Kind::stagingFailed);
    }
}

}  // namespace velmo
