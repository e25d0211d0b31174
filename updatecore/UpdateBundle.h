// The application folder as the installer sees it:
//   Velmo.app/Contents/Info.json       identity, version and update configuration
//   Velmo.app/Contents/Manifest.json   every other file's size, SHA-256 and mode, signed
//   Velmo.app/Contents/bin/Velmo       the executable
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <array>
#include <string>
#include <vector>

#include "platform/Bytes.h"

namespace velmo {

struct UpdateBundleMetadata {
    std::string version;
    std::int64_t build = 0;
    std::int64_t store = 0;
    std::int64_t product = 0;
    std::int64_t variant = 0;
    std::string channel;
    std::string publicKey;  // the Base64 text as written
};

namespace UpdateBundle {

constexpr const char* infoPath = "Contents/Info.json";
constexpr const char* manifestPath = "Contents/Manifest.json";
constexpr const char* executablePath = "Contents/bin/Velmo";
constexpr const char* identifier = "com.halvester.velmo";

// The running copy's Velmo.app folder (three levels above Contents/bin/Velmo), if it is one.
std::optional<std::filesystem::path> runningBundle();

// Validates the bundle's shape and Info.json; throws UpdateInstallError (invalidBundle,
// unsafePath for a link inside, unsupportedSystem for a newer minimum system).
UpdateBundleMetadata readMetadata(const std::filesystem::path& bundle);

// Checks the signed manifest with `publicKey`: every regular file other than the manifest is
// listed once with its size, SHA-256 and mode, nothing listed is missing, and each file is
// executable by its owner exactly when its listed mode says so. Throws
// UpdateInstallError::invalidSignature.
void verifyManifest(const std::filesystem::path& bundle, ByteView publicKey);

// One file as the manifest lists it; `path` is relative to Velmo.app.
struct ManifestFile {
    std::string path;
    std::string content;
    unsigned mode = 0644;
};
// The part of Contents/Manifest.json that its signature covers, as verifyManifest reads it:
// {"files": [{"path", "size", "sha256", "mode"}, ...]} in the order given.
std::string manifestPayload(const std::vector<ManifestFile>& files);

// "major[.minor[.patch]]" as LSMinimumSystemVersion is read: decimal parts, missing ones 0;
// nothing when malformed.
std::optional<std::array<long, 3>> parseSystemVersion(const std::string& text);

// "major.minor.patch" of the running C library (glibc), what limits which builds run here: the
// system version a bundle may require in "LSMinimumSystemVersion".
std::array<long, 3> systemVersion();

}  // namespace UpdateBundle
}  // namespace velmo
