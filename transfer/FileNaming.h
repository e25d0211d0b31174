// Safe, unique names for files that phones send, and the move that never replaces a file.
#pragma once
#include <fcntl.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace velmo::FileNaming {

// Longest safe name in user-perceived characters.
inline constexpr std::size_t maxNameCharacters = 200;
// Longest safe name in UTF-8 bytes: Linux allows 255 per name, and " (n)" must still fit.
inline constexpr std::size_t maxNameBytes = 240;

// `name` as views show it: invalid UTF-8 replaced by U+FFFD, control characters and the
// characters that reorder or break text (breaksTextLayout) replaced by "_".
std::string shownName(std::string_view name);

// A single, non-empty file name made from an untrusted one: last path component only,
// what shows as nothing dropped (withoutInvisibles), ":" and "/" become "_", control
// characters, bidirectional embeddings, overrides and isolates and the line and paragraph
// separators become "_", Unicode white space trimmed from
// both ends, leading dots removed, "File" when nothing is left, then cut to 200 characters
// and to 240 bytes on a character boundary, keeping a short extension.
std::string safeName(std::string_view name);

// `location` when nothing exists at its path, else the first free "base (n).ext" beside it.
// A dangling symbolic link counts as taken. Never fails. A relative `location` is taken in the
// folder `dir` (a descriptor; AT_FDCWD: the working directory).
std::filesystem::path unique(int dir, const std::filesystem::path& location);
inline std::filesystem::path unique(const std::filesystem::path& location) { return unique(AT_FDCWD, location); }

// The system calls of the final move, on names in the folder `dir` (AT_FDCWD: paths), each
// returning 0 or -1 with errno set. Tests replace them to play file systems that support
// neither no-replace call.
struct MoveCalls {
    int (*renameNoReplace)(int dir, const char* from, const char* to);  // renameat2(RENAME_NOREPLACE)
    int (*link)(int dir, const char* from, const char* to);
    int (*rename)(int dir, const char* from, const char* to);  // the plain rename of the last resort
    // Called between choosing the last resort's free name and claiming it, when set.
    void (*beforeClaim)(int dir, const char* to) = nullptr;
    static MoveCalls system();
};

// Moves the file `from` to unique(`wanted`) without replacing an existing file, taking the
// next free variant when another file appears first. Where the file system refuses both a
// no-replace rename and a hard link, the free name is first claimed by an exclusive create
// and the file renamed over that placeholder; while the placeholder stands, its name is
// noted in the file `claim` (when given), so that a sweep after a crash can remove it.
// Relative names are taken in the folder `dir`, so a held folder needs no path (nor /proc).
// Returns the final path; throws std::system_error with the platform's code when the move fails.
std::filesystem::path moveNoReplace(int dir, const std::filesystem::path& from, const std::filesystem::path& wanted,
                                    const std::filesystem::path& claim = {},
                                    const MoveCalls& calls = MoveCalls::system());
inline std::filesystem::path moveNoReplace(const std::filesystem::path& from, const std::filesystem::path& wanted,
                                           const std::filesystem::path& claim = {},
                                           const MoveCalls& calls = MoveCalls::system()) {
    return moveNoReplace(AT_FDCWD, from, wanted, claim, calls);
}

}  // namespace velmo::FileNaming
