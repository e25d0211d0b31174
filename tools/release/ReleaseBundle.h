// Makes the installed application folder that the updater reads:
//   Velmo.app/Contents/Info.json      identity, version and update configuration
//   Velmo.app/Contents/bin/Velmo      the executable
//   Velmo.app/Contents/share/icons/   the application icon in the desktop's sizes
//   Velmo.app/Contents/Manifest.json  every other file's path, size, SHA-256 and mode, signed
// and the zip that carries it. Reading and checking stay in updatecore (UpdateBundle), so the
// installer's own code verifies what this writes.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/Ed25519Key.h"

namespace velmo::release {

struct BundleIdentity {
    std::string version;             // CFBundleShortVersionString
    std::int64_t build = 1;          // CFBundleVersion
    std::string channel;             // VelmoUpdateChannel
    std::int64_t store = 1;          // VelmoStoreID
    std::int64_t product = 1;        // VelmoProductID
    std::int64_t variant = 1;        // VelmoVariantID
    std::optional<Bytes> publicKey;  // VelmoUpdatePublicKey; without it the copy never updates
    std::string minimumSystem;       // LSMinimumSystemVersion; omitted when empty
};

namespace ReleaseBundle {

// The channel of a copy built on this machine: "live-" and the processor family.
std::string defaultChannel();
// The C library (glibc) version `executable` needs: the newest GLIBC_ version its dynamic
// symbols ask for ("2.34"), whatever the building machine runs; empty when it asks for none.
std::string requiredLibraryVersion(const std::filesystem::path& executable);
// The feed address compiled into `executable` (the application keeps it in the section named
// below), or nothing for an executable that records none.
constexpr const char* feedSection = "velmo_update_feed";
std::optional<std::string> updateFeedAddress(const std::filesystem::path& executable);

// Creates `bundle` (which must not exist) with the executable, Info.json and, when `icons` is
// given, a copy of that icon theme folder.
void create(const std::filesystem::path& bundle, const std::filesystem::path& executable,
            const BundleIdentity& identity, const std::filesystem::path& icons = {});
// Gives every file the mode the installer unpacks (0755 when executable, else 0644) and writes
// the manifest signed with `key`, which must be the key named in Info.json.
void sign(const std::filesystem::path& bundle, const Ed25519Key& key);
// A zip whose one top-level folder is "Velmo.app", entries in a fixed order and time.
void archive(const std::filesystem::path& bundle, const std::filesystem::path& zip);
// {"payload": Base64 of payload, "signature": Base64 of its Ed25519 signature}, one line.
std::string signedEnvelope(const std::string& payload, const Ed25519Key& key);

}  // namespace ReleaseBundle
}  // namespace velmo::release
