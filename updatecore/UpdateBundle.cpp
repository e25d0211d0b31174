#include "updatecore/UpdateBundle.h"

#include <fcntl.h>
#include <gnu/libc-version.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <optional>
#include <charconv>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/Digest.h"
#include "platform/Ed25519.h"
#include "updatecore/UpdateInstallError.h"
#include "updatecore/UpdateText.h"

namespace velmo::UpdateBundle {
namespace {

using Kind = UpdateInstallError::Kind;
using json = nlohmann::json;

constexpr std::size_t metadataLimit = 1'048'576;

[[noreturn]] void fail(Kind kind) { throw UpdateInstallError(kind); }

// Reads a regular file without following a link; nullopt when it is not one or is too large.
std::optional<Bytes> readRegular(const std::filesystem::path& path, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st{};
    Bytes out;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) <= limit;
    std::uint8_t buffer[65'536];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        out.insert(out.end(), buffer, buffer + n);
        if (out.size() > limit) ok = false;
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    return out;
}

std::string text(const json& info, const char* key) {
    const auto found = info.find(key);
    if (found == info.end() || !found->is_string()) fail(Kind::invalidBundle);
    return found->get<std::string>();
}

std::int64_t positiveInteger(const json& info, const char* key) {
    const auto found = info.find(key);
    if (found == info.end() || !found->is_number() || found->is_boolean()) fail(Kind::invalidBundle);
    if (found->is_number_float()) {
        const double d = found->get<double>();
        if (!(d >= 1 && d < 9.2e18) || d != static_cast<double>(static_cast<std::int64_t>(d))) fail(Kind::invalidBundle);
        return static_cast<std::int64_t>(d);
    }
    if (found->is_number_unsigned()) {
        const auto u = found->get<std::uint64_t>();
        if (u == 0 || u > static_cast<std::uint64_t>(INT64_MAX)) fail(Kind::invalidBundle);
        return static_cast<std::int64_t>(u);
    }
    const auto v = found->get<std::int64_t>();
    if (v < 1) fail(Kind::invalidBundle);
    return v;
}

void checkTree(const std::filesystem::path& bundle) {
    std::error_code ec;
    std::filesystem::recursive_directory_iterator it(bundle, ec), end;
    if (ec) fail(Kind::invalidBundle);
    for (; it != end; it.increment(ec)) {
        if (ec) fail(Kind::invalidBundle);
        struct stat st{};
        if (::lstat(it->path().c_str(), &st) != 0) fail(Kind::invalidBundle);
        if (S_ISLNK(st.st_mode)) fail(Kind::unsafePath);
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) fail(Kind::invalidBundle);
    }
    if (ec) fail(Kind::invalidBundle);
}

void checkMinimumSystem(const json& info) {
    const auto found = info.find("LSMinimumSystemVersion");
    if (found == info.end()) return;
    if (!found->is_string()) fail(Kind::invalidBundle);
    const auto required = parseSystemVersion(found->get<std::string>());
    if (!required) fail(Kind::invalidBundle);
    if (systemVersion() < *required) fail(Kind::unsupportedSystem);
}

}  // namespace

std::string manifestPayload(const std::vector<ManifestFile>& files) {
    json list = json::array();
    for (const auto& file : files)
        list.push_back({{"path", file.path},
                        {"size", file.content.size()},
                        {"sha256", toHex(sha256(toBytes(file.content)))},
                        {"mode", file.mode}});
    return json{{"files", list}}.dump();
}

std::optional<std::array<long, 3>> parseSystemVersion(const std::string& value) {
    std::array<long, 3> version{0, 0, 0};
    std::size_t index = 0, start = 0;
    for (;;) {
        const auto dot = value.find('.', start);
        const std::string part = value.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (index >= 3 || part.empty() || part.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        auto [p, e] = std::from_chars(part.data(), part.data() + part.size(), version[index]);
        if (e != std::errc() || p != part.data() + part.size()) return std::nullopt;
        ++index;
        if (dot == std::string::npos) return version;
        start = dot + 1;
    }
}

std::array<long, 3> systemVersion() {
    std::array<long, 3> version{0, 0, 0};
    const char* p = ::gnu_get_libc_version();
    for (auto& part : version) {
        long value = 0;
        while (*p >= '0' && *p <= '9') value = value * 10 + (*p++ - '0');
        part = value;
        if (*p != '.') break;
        ++p;
    }
    return version;
}

std::optional<std::filesystem::path> runningBundle() {
    std::error_code ec;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::nullopt;
    const auto bin = executable.parent_path();
    const auto contents = bin.parent_path();
    if (executable.filename() != "Velmo" || bin.filename() != "bin" || contents.filename() != "Contents")
        return std::nullopt;
    return contents.parent_path();
}

UpdateBundleMetadata readMetadata(const std::filesystem::path& bundle) {
    struct stat st{};
    std::string extension = bundle.extension().string();
    for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension != ".app" || ::lstat(bundle.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) fail(Kind::invalidBundle);
    checkTree(bundle);

    const auto bytes = readRegular(bundle / infoPath, metadataLimit);
    if (!bytes) fail(Kind::invalidBundle);
    const json info = json::parse(bytes->begin(), bytes->end(), nullptr, false);
    if (info.is_discarded() || !info.is_object()) fail(Kind::invalidBundle);

    if (text(info, "CFBundleIdentifier") != identifier || text(info, "CFBundlePackageType") != "APPL" ||
        text(info, "CFBundleExecutable") != "Velmo")
        fail(Kind::invalidBundle);
    UpdateBundleMetadata m;
    m.version = text(info, "CFBundleShortVersionString");
    if (!UpdateText::isValidVersion(m.version)) fail(Kind::invalidBundle);
    const auto build = UpdateText::parseDecimal(text(info, "CFBundleVersion"));
    if (!build || *build < 1) fail(Kind::invalidBundle);
    m.build = *build;
    m.store = positiveInteger(info, "VelmoStoreID");
    m.product = positiveInteger(info, "VelmoProductID");
    m.variant = positiveInteger(info, "VelmoVariantID");
    m.channel = text(info, "VelmoUpdateChannel");
    if (m.channel.empty()) fail(Kind::invalidBundle);
    m.publicKey = text(info, "VelmoUpdatePublicKey");
    const auto key = UpdateText::decodeBase64(m.publicKey);
    if (!key || key->size() != ed25519PublicKeySize) fail(Kind::invalidBundle);
    checkMinimumSystem(info);

    const auto executable = bundle / executablePath;
    if (::lstat(executable.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(executable.c_str(), X_OK) != 0)
        fail(Kind::invalidBundle);
    return m;
}

void verifyManifest(const std::filesystem::path& bundle, ByteView publicKey) {
    const auto refuse = [] { fail(Kind::invalidSignature); };
    const auto bytes = readRegular(bundle / manifestPath, metadataLimit);
    if (!bytes) refuse();
    const json envelope = json::parse(bytes->begin(), bytes->end(), nullptr, false);
    if (envelope.is_discarded() || !envelope.is_object() || envelope.size() != 2 || !envelope.contains("payload") ||
        !envelope.contains("signature") || !envelope["payload"].is_string() || !envelope["signature"].is_string())
        refuse();
    const auto payload = UpdateText::decodeBase64(envelope["payload"].get<std::string>());
    const auto signature = UpdateText::decodeBase64(envelope["signature"].get<std::string>());
    if (!payload || !signature || !ed25519Verify(publicKey, *payload, *signature)) refuse();

    const json manifest = json::parse(payload->begin(), payload->end(), nullptr, false);
    if (manifest.is_discarded() || !manifest.is_object() || manifest.size() != 1 || !manifest.contains("files") ||
        !manifest["files"].is_array())
        refuse();
    struct Expected {
        std::uint64_t size;
        std::string sha256;
        unsigned mode;
    };
    std::map<std::string, Expected> expected;
    for (const auto& file : manifest["files"]) {
        if (!file.is_object() || file.size() != 4 || !file.contains("path") || !file["path"].is_string() ||
            !file.contains("size") || !file["size"].is_number_unsigned() || !file.contains("sha256") ||
            !file["sha256"].is_string() || !file.contains("mode") || !file["mode"].is_number_unsigned())
            refuse();
        const auto path = file["path"].get<std::string>();
        if (path == manifestPath || file["mode"].get<std::uint64_t>() > 07777) refuse();
        if (!expected.emplace(path, Expected{file["size"].get<std::uint64_t>(), file["sha256"].get<std::string>(),
                                             static_cast<unsigned>(file["mode"].get<std::uint64_t>())})
                 .second)
            refuse();
    }

    std::set<std::string> seen;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(bundle, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat st{};
        if (::lstat(it->path().c_str(), &st) != 0) refuse();
        if (S_ISDIR(st.st_mode)) continue;
        const std::string relative = it->path().lexically_relative(bundle).generic_string();
        if (relative == manifestPath) continue;
        const auto found = expected.find(relative);
        if (!S_ISREG(st.st_mode) || found == expected.end()) refuse();
        // Of the mode only the executable bit matters: the rest follows the unpacker and the
        // user's umask or chmod, and must not make a later update fail.
        const bool executable = (st.st_mode & S_IXUSR) != 0;
        const auto content = readRegular(it->path(), found->second.size);
        if (!content || content->size() != found->second.size || executable != ((found->second.mode & S_IXUSR) != 0) ||
            toHex(sha256(*content)) != found->second.sha256)
            refuse();
        seen.insert(relative);
    }
    if (ec || seen.size() != expected.size()) refuse();
}

}  // namespace velmo::UpdateBundle
