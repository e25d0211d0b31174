#include "updatecore/UpdateArchive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Utf8.h"
#include "updatecore/SafePath.h"
#include "updatecore/UpdateInstallError.h"

namespace velmo {
namespace {

[[noreturn]] void refuse() { throw UpdateInstallError(UpdateInstallError::Kind::invalidArchive); }

using Reader = std::unique_ptr<archive, decltype(&archive_read_free)>;

Reader openReader(const std::filesystem::path& path, UniqueFd& fd) {
    fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) refuse();
    Reader reader(archive_read_new(), archive_read_free);
    if (!reader || archive_read_support_format_zip(reader.get()) != ARCHIVE_OK ||
        archive_read_open_fd(reader.get(), fd.get(), 65'536) != ARCHIVE_OK)
        refuse();
    return reader;
}

// The components of a vetted entry path; a trailing "/" (a directory entry) is dropped.
std::vector<std::string> components(archive_entry* entry) {
    const char* raw = archive_entry_pathname(entry);
    if (!raw) refuse();
    std::string path = raw;
    if (!Utf8::isValid(path)) refuse();
    for (unsigned char c : path)
        if (c < 0x20 || c == 0x7f || c == '\\') refuse();
    const bool isDirectory = archive_entry_filetype(entry) == AE_IFDIR;
    if (!path.empty() && path.back() == '/') {
        if (!isDirectory) refuse();
        path.pop_back();
    }
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const auto slash = path.find('/', start);
        parts.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (parts.front() != "Velmo.app") refuse();
    for (const auto& p : parts)
        if (p.empty() || p == "." || p == "..") refuse();
    return parts;
}

void checkEntry(archive_entry* entry) {
    const auto type = archive_entry_filetype(entry);
    if ((type != AE_IFREG && type != AE_IFDIR) || archive_entry_hardlink(entry) || archive_entry_symlink(entry) ||
        archive_entry_is_encrypted(entry))
        refuse();
}

// Opens (creating when missing) the directory `name` inside `parent`, never through a link.
UniqueFd directoryIn(int parent, const std::string& name) {
    UniqueFd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd) return fd;
    if (errno != ENOENT || ::mkdirat(parent, name.c_str(), 0755) != 0) refuse();
    fd = UniqueFd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) refuse();
    return fd;
}

void writeAll(int fd, const void* data, std::size_t size) {
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) refuse();
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

void vetUpdateArchive(const std::filesystem::path& archivePath, const UpdateArchiveLimits& limits) {
    UniqueFd fd;
    auto reader = openReader(archivePath, fd);
    std::uint64_t listing = 0;
    std::uint64_t declared = 0;
    bool any = false;
    archive_entry* entry = nullptr;
    int status;
    while ((status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        any = true;
        checkEntry(entry);
        components(entry);
        listing += std::string(archive_entry_pathname(entry)).size() + 1;
        if (listing > limits.listingBytes) refuse();
        if (archive_entry_size_is_set(entry)) {
            const auto size = archive_entry_size(entry);
            if (size < 0) refuse();
            declared += static_cast<std::uint64_t>(size);
            if (declared > limits.unpackedBytes) refuse();
        }
        if (archive_read_data_skip(reader.get()) != ARCHIVE_OK) refuse();
    }
    if (status != ARCHIVE_EOF || !any) refuse();
}

void unpackUpdateArchive(const std::filesystem::path& archivePath, int folder, const UpdateArchiveLimits& limits) {
    UniqueFd fd;
    auto reader = openReader(archivePath, fd);
    std::uint64_t written = 0;
    archive_entry* entry = nullptr;
    int status;
    std::vector<char> buffer(65'536);
    while ((status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        checkEntry(entry);
        const auto parts = components(entry);
        const bool isDirectory = archive_entry_filetype(entry) == AE_IFDIR;
        UniqueFd parent(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
        if (!parent) refuse();
        const std::size_t walk = isDirectory ? parts.size() : parts.size() - 1;
        for (std::size_t i = 0; i < walk; ++i) parent = directoryIn(parent.get(), parts[i]);
        if (isDirectory) continue;

        const bool executable = (archive_entry_perm(entry) & 0111) != 0;
        UniqueFd file(::openat(parent.get(), parts.back().c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file) refuse();
        const auto declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
        std::int64_t entryBytes = 0;
        for (;;) {
            const la_ssize_t n = archive_read_data(reader.get(), buffer.data(), buffer.size());
            if (n < 0) refuse();
            if (n == 0) break;
            written += static_cast<std::uint64_t>(n);
            entryBytes += n;
            if (written > limits.unpackedBytes || (declared >= 0 && entryBytes > declared)) refuse();
            writeAll(file.get(), buffer.data(), static_cast<std::size_t>(n));
        }
        if (::fchmod(file.get(), executable ? 0755 : 0644) != 0 || ::close(file.release()) != 0) refuse();
    }
    if (status != ARCHIVE_EOF) refuse();
}

}  // namespace velmo
