#include "transfer/FileNaming.h"

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/FileIdentity.h"
#include "platform/Utf8.h"
#include "transfer/PeerText.h"

namespace velmo::FileNaming {
namespace {

// Longest extension kept whole when a name is cut; anything longer is not really one.
constexpr std::size_t maxKeptExtensionBytes = 32;

std::string lastComponent(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    if (s == "/") return s;
    const auto slash = s.rfind('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

UChar32 codePointAt(const std::string& s, std::int32_t& i) {
    UChar32 c;
    U8_NEXT(reinterpret_cast<const std::uint8_t*>(s.data()), i, static_cast<std::int32_t>(s.size()), c);
    return c;
}

std::string trimWhiteSpace(const std::string& s) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
    const auto length = static_cast<std::int32_t>(s.size());
    std::int32_t begin = 0;
    while (begin < length) {
        std::int32_t next = begin;
        if (!u_isUWhiteSpace(codePointAt(s, next))) break;
        begin = next;
    }
    std::int32_t end = length;
    while (end > begin) {
        std::int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, begin, previous, c);
        if (!u_isUWhiteSpace(c)) break;
        end = previous;
    }
    return s.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

std::string replaceControls(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    std::int32_t i = 0;
    while (i < static_cast<std::int32_t>(s.size())) {
        const std::int32_t start = i;
        const UChar32 c = codePointAt(s, i);
        // A direction override would show "invoice<RLO>fdp.sh" as "invoicehs.pdf", here and
        // in every file manager; a line separator splits the name over two lines.
        if (u_charType(c) == U_CONTROL_CHAR || breaksTextLayout(static_cast<char32_t>(c))) {
            out += '_';
        } else {
            out.append(s, static_cast<std::size_t>(start), static_cast<std::size_t>(i - start));
        }
    }
    return out;
}

// Byte offsets of the grapheme-cluster boundaries of valid UTF-8 text, 0 and size() included.
std::vector<std::size_t> clusterBoundaries(const std::string& s) {
    std::vector<std::size_t> boundaries{0};
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UText, decltype(&utext_close)> text(
        utext_openUTF8(nullptr, s.data(), static_cast<std::int64_t>(s.size()), &status), &utext_close);
    std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> breaks(
        ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status), &ubrk_close);
    if (U_SUCCESS(status)) ubrk_setUText(breaks.get(), text.get(), &status);
    if (U_FAILURE(status)) {
        // Without ICU's rules, fall back to code points: still a character boundary.
        std::int32_t i = 0;
        while (i < static_cast<std::int32_t>(s.size())) {
            codePointAt(s, i);
            boundaries.push_back(static_cast<std::size_t>(i));
        }
        return boundaries;
    }
    for (std::int32_t b = ubrk_next(breaks.get()); b != UBRK_DONE; b = ubrk_next(breaks.get())) {
        boundaries.push_back(static_cast<std::size_t>(b));
    }
    if (boundaries.back() != s.size()) boundaries.push_back(s.size());
    return boundaries;
}

// The longest prefix of at most `maxBytes` that ends on a cluster boundary; when even the
// first cluster is longer, the longest prefix that ends on a code point boundary.
std::string cutToBytes(const std::string& s, std::size_t maxBytes) {
    if (s.size() <= maxBytes) return s;
    std::size_t cut = 0;
    for (const auto b : clusterBoundaries(s)) {
        if (b > maxBytes) break;
        cut = b;
    }
    if (cut == 0) {
        std::int32_t i = 0;
        while (i < static_cast<std::int32_t>(s.size())) {
            std::int32_t next = i;
            codePointAt(s, next);
            if (static_cast<std::size_t>(next) > maxBytes) break;
            i = next;
        }
        cut = static_cast<std::size_t>(i);
    }
    return s.substr(0, cut);
}

std::string capBytes(const std::string& s) {
    if (s.size() <= maxNameBytes) return s;
    const auto dot = s.rfind('.');
    if (dot != std::string::npos && dot > 0 && dot + 1 < s.size() &&
        s.size() - dot - 1 <= maxKeptExtensionBytes) {
        const std::string extension = s.substr(dot + 1);
        return cutToBytes(s.substr(0, dot), maxNameBytes - 1 - extension.size()) + "." + extension;
    }
    return cutToBytes(s, maxNameBytes);
}

bool taken(int dir, const std::filesystem::path& path) {
    struct stat info {};
    // Any failure to look (ENOENT, ENOTDIR, EACCES, ...) counts as free: the move that follows
    // reports the real error, and nothing is ever replaced because that move refuses to.
    return ::fstatat(dir, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

// Notes `name` in the file `claim`. Best effort: without the note only a crash in the
// moment that follows can leave the placeholder behind.
void noteClaim(int dir, const std::filesystem::path& claim, const std::string& name) {
    if (claim.empty()) return;
    const int fd = ::openat(dir, claim.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;
    (void)!::write(fd, name.data(), name.size());
    ::close(fd);
}

void removeClaim(int dir, const std::filesystem::path& claim) {
    if (!claim.empty()) ::unlinkat(dir, claim.c_str(), 0);
}

}  // namespace

std::string shownName(std::string_view name) { return replaceControls(Utf8::withReplacements(name)); }

std::string safeName(std::string_view name) {
    // What shows as nothing goes before the dots are looked at: "\u200B.bashrc" is not hidden.
    std::string s = withoutInvisibles(lastComponent(Utf8::withReplacements(name)));
    for (auto& c : s) {
        if (c == ':' || c == '/') c = '_';
    }
    s = replaceControls(trimWhiteSpace(s));
    const auto firstNonDot = s.find_first_not_of('.');
    s.erase(0, firstNonDot == std::string::npos ? s.size() : firstNonDot);
    if (s.empty()) return "File";

    const auto boundaries = clusterBoundaries(s);
    if (boundaries.size() - 1 > maxNameCharacters) s.resize(boundaries[maxNameCharacters]);
    // A cut may leave a joiner at the end, where it joins nothing.
    return withoutInvisibles(capBytes(s));
}

std::filesystem::path unique(int dir, const std::filesystem::path& location) {
    if (!taken(dir, location)) return location;
    const std::string name = location.filename().string();
    const auto dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0 && dot + 1 < name.size();
    const std::string base = hasExtension ? name.substr(0, dot) : name;
    const std::string extension = hasExtension ? name.substr(dot + 1) : std::string();
    const auto folder = location.parent_path();
    for (unsigned long long n = 1;; ++n) {
        std::string candidate = base + " (" + std::to_string(n) + ")";
        if (hasExtension) candidate += "." + extension;
        auto path = folder / candidate;
        if (!taken(dir, path)) return path;
    }
}

MoveCalls MoveCalls::system() {
    return MoveCalls{
        [](int dir, const char* from, const char* to) { return ::renameat2(dir, from, dir, to, RENAME_NOREPLACE); },
        [](int dir, const char* from, const char* to) { return ::linkat(dir, from, dir, to, 0); },
        [](int dir, const char* from, const char* to) { return ::renameat(dir, from, dir, to); },
    };
}

std::filesystem::path moveNoReplace(int dir, const std::filesystem::path& from, const std::filesystem::path& wanted,
                                    const std::filesystem::path& claim, const MoveCalls& calls) {
    for (;;) {
        auto candidate = unique(dir, wanted);
        if (calls.renameNoReplace(dir, from.c_str(), candidate.c_str()) == 0) return candidate;
        int error = errno;
        if (error == EEXIST) continue;  // another writer took the name first
        if (error != EINVAL && error != ENOSYS) {
            throw std::system_error(error, std::generic_category(), "rename " + from.string());
        }
        // No RENAME_NOREPLACE here: a hard link refuses to replace as well.
        if (calls.link(dir, from.c_str(), candidate.c_str()) == 0) {
            // The file is safe under its final name; a leftover temporary name is only clutter.
            ::unlinkat(dir, from.c_str(), 0);
            return candidate;
        }
        error = errno;
        if (error == EEXIST) continue;
        // Neither call works here (FUSE and some network mounts): claim a free name with an
        // exclusive create, then rename over that placeholder of ours, so a file that appears
        // under the name meanwhile is never replaced. The claim is noted first, so a crash
        // cannot leave the empty placeholder unaccounted for.
        candidate = unique(dir, wanted);
        noteClaim(dir, claim, candidate.filename().native());
        if (calls.beforeClaim) calls.beforeClaim(dir, candidate.c_str());
        const int placeholder =
            ::openat(dir, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (placeholder < 0) {
            error = errno;
            removeClaim(dir, claim);
            if (error == EEXIST) continue;
            throw std::system_error(error, std::generic_category(), "create " + candidate.string());
        }
        if (calls.rename(dir, from.c_str(), candidate.c_str()) == 0) {
            ::close(placeholder);
            removeClaim(dir, claim);
            return candidate;
        }
        error = errno;
        // Only the empty placeholder is removed, never what may have taken its place.
        if (namesFile(dir, candidate.c_str(), placeholder)) ::unlinkat(dir, candidate.c_str(), 0);
        ::close(placeholder);
        removeClaim(dir, claim);
        throw std::system_error(error, std::generic_category(), "rename " + from.string());
    }
}

}  // namespace velmo::FileNaming
