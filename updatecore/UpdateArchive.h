// The update zip: vetted entry by entry, then unpacked through directory handles.
#pragma once
#include <cstdint>
#include <filesystem>

namespace velmo {

struct UpdateArchiveLimits {
    std::uint64_t listingBytes = 1'048'576;      // all entry paths, one line each
    std::uint64_t unpackedBytes = 268'435'456;   // all file contents together
};

// Throws UpdateInstallError::invalidArchive unless every entry lies inside the single top-level
// folder "Velmo.app", has no "." or ".." or empty component, no backslash or control character,
// is a plain file or directory (no links, no devices), is not encrypted, and the totals stay
// within the limits.
void vetUpdateArchive(const std::filesystem::path& archive, const UpdateArchiveLimits& limits = {});

// Unpacks a vetted archive below the open directory `folder`, creating every file new (never
// replacing one) and never following a link. Files get mode 0755 when the archive marks them
// executable, 0644 otherwise. Throws UpdateInstallError::invalidArchive.
void unpackUpdateArchive(const std::filesystem::path& archive, int folder, const UpdateArchiveLimits& limits = {});

}  // namespace velmo
