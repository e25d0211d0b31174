#include "ReleaseBundle.h"

#include <archive.h>
#include <archive_entry.h>
#include <elf.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "updatecore/UpdateBundle.h"
#include "updatecore/UpdateText.h"

namespace velmo::release::ReleaseBundle {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, std::string_view content, unsigned mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
    }
    fs::permissions(path, static_cast<fs::perms>(mode));
}

bool isExecutable(const fs::path& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 && (st.st_mode & 0111) != 0;
}

// Every entry below the bundle, relative and sorted, refusing anything but files and folders.
std::vector<fs::path> entries(const fs::path& bundle) {
    std::vector<fs::path> out;
    for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
        if (!entry.is_symlink() && (entry.is_regular_file() || entry.is_directory())) {
            out.push_back(entry.path().lexically_relative(bundle));
            continue;
        }
        throw std::runtime_error(entry.path().string() + " is neither a plain file nor a folder");
    }
    std::sort(out.begin(), out.end());
    return out;
}

// A record of type T at `offset` of the file, refusing one that would reach past its end.
template <class T>
T readAt(const std::string& elf, std::uint64_t offset) {
    if (offset > elf.size() || sizeof(T) > elf.size() - offset) throw std::runtime_error("the executable is cut short");
    T out;
    std::memcpy(&out, elf.data() + offset, sizeof out);
    return out;
}

// "2.34" from "GLIBC_2.34" as numbers, or nothing for other version names (GLIBCXX_3.4, GLIBC_PRIVATE).
std::optional<std::array<long, 3>> glibcVersion(std::string_view name) {
    constexpr std::string_view prefix = "GLIBC_";
    if (name.substr(0, prefix.size()) != prefix) return std::nullopt;
    return UpdateBundle::parseSystemVersion(std::string(name.substr(prefix.size())));
}

// The section headers of an ELF file of one class, read with bounds checks.
template <class Ehdr, class Shdr>
class Sections {
public:
    explicit Sections(const std::string& elf) : elf_(elf), header_(readAt<Ehdr>(elf, 0)) {
        if (header_.e_shentsize < sizeof(Shdr)) throw std::runtime_error("the executable has no readable sections");
    }
    std::uint64_t count() const { return header_.e_shnum; }
    Shdr operator[](std::uint64_t index) const {
        if (index >= header_.e_shnum) throw std::runtime_error("the executable names a missing section");
        return readAt<Shdr>(elf_, header_.e_shoff + index * header_.e_shentsize);
    }
    // The NUL-terminated text at `offset` of the string table `strings`.
    std::string text(const Shdr& strings, std::uint64_t offset) const {
        if (offset >= strings.sh_size) throw std::runtime_error("the executable names a missing string");
        const std::uint64_t at = strings.sh_offset + offset;
        if (at >= elf_.size()) throw std::runtime_error("the executable is cut short");
        return std::string(elf_.c_str() + at, ::strnlen(elf_.c_str() + at, elf_.size() - at));
    }
    // The contents of the section called `name`, or nothing when there is none.
    std::optional<std::string> contents(std::string_view name) const {
        if (header_.e_shstrndx == SHN_UNDEF) return std::nullopt;
        const auto names = (*this)[header_.e_shstrndx];
        for (std::uint64_t i = 0; i < count(); ++i) {
            const auto section = (*this)[i];
            if (section.sh_type == SHT_NOBITS || text(names, section.sh_name) != name) continue;
            if (section.sh_offset > elf_.size() || section.sh_size > elf_.size() - section.sh_offset)
                throw std::runtime_error("the executable is cut short");
            return elf_.substr(section.sh_offset, section.sh_size);
        }
        return std::nullopt;
    }

private:
    const std::string& elf_;
    Ehdr header_;
};

// The newest GLIBC_ version among the versions the executable's dynamic symbols need (its
// .gnu.version_r section), as written there; empty when it needs none.
template <class Ehdr, class Shdr>
std::string highestGlibc(const std::string& elf) {
    const Sections<Ehdr, Shdr> sections(elf);
    std::string best;
    std::array<long, 3> bestVersion{};
    for (std::uint64_t i = 0; i < sections.count(); ++i) {
        const auto needs = sections[i];
        if (needs.sh_type != SHT_GNU_verneed) continue;
        const auto strings = sections[needs.sh_link];
        std::uint64_t entry = needs.sh_offset;
        // Verneed and Vernaux records have the same layout in both ELF classes.
        for (std::uint64_t n = 0; n < needs.sh_info; ++n) {
            const auto need = readAt<Elf64_Verneed>(elf, entry);
            std::uint64_t aux = entry + need.vn_aux;
            for (std::uint64_t k = 0; k < need.vn_cnt; ++k) {
                const auto version = readAt<Elf64_Vernaux>(elf, aux);
                const std::string name = sections.text(strings, version.vna_name);
                const auto parsed = glibcVersion(name);
                if (parsed && (best.empty() || *parsed > bestVersion)) {
                    best = name.substr(name.find('_') + 1);
                    bestVersion = *parsed;
                }
                aux += version.vna_next;
            }
            entry += need.vn_next;
        }
    }
    return best;
}

// The whole executable, refusing what is not a native ELF file.
std::string readElf(const fs::path& executable) {
    std::string elf = readFile(executable);
    if (elf.size() < EI_NIDENT || elf.compare(0, SELFMAG, ELFMAG) != 0)
        throw std::runtime_error(executable.string() + " is not an ELF executable");
    const bool native = elf[EI_DATA] == (std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB);
    if (!native) throw std::runtime_error(executable.string() + " is built for another byte order");
    if (elf[EI_CLASS] != ELFCLASS64 && elf[EI_CLASS] != ELFCLASS32)
        throw std::runtime_error(executable.string() + " is of an unknown ELF class");
    return elf;
}

}  // namespace

std::string defaultChannel() {
    utsname name{};
    ::uname(&name);
    const std::string machine = name.machine;
    return "live-" + (machine == "aarch64" ? std::string("arm64") : machine);
}

std::string requiredLibraryVersion(const fs::path& executable) {
    const std::string elf = readElf(executable);
    if (elf[EI_CLASS] == ELFCLASS64) return highestGlibc<Elf64_Ehdr, Elf64_Shdr>(elf);
    return highestGlibc<Elf32_Ehdr, Elf32_Shdr>(elf);
}

std::optional<std::string> updateFeedAddress(const fs::path& executable) {
    const std::string elf = readElf(executable);
    const auto contents = elf[EI_CLASS] == ELFCLASS64 ? Sections<Elf64_Ehdr, Elf64_Shdr>(elf).contents(feedSection)
                                                      : Sections<Elf32_Ehdr, Elf32_Shdr>(elf).contents(feedSection);
    if (!contents) return std::nullopt;
    const std::string address = contents->substr(0, contents->find('\0'));
    const bool printable = std::all_of(address.begin(), address.end(), [](char c) { return c > ' ' && c < 0x7f; });
    if (address.rfind("https://", 0) != 0 || !printable)
        throw std::runtime_error(executable.string() + " records an update feed address that is not an https address");
    return address;
}

void create(const fs::path& bundle, const fs::path& executable, const BundleIdentity& identity,
            const fs::path& icons) {
    if (fs::exists(bundle)) throw std::runtime_error(bundle.string() + " already exists");
    if (!UpdateText::isValidVersion(identity.version)) throw std::runtime_error("invalid version");
    if (identity.build < 1) throw std::runtime_error("the build number must be at least 1");
    fs::create_directories((bundle / UpdateBundle::executablePath).parent_path());
    writeFile(bundle / UpdateBundle::executablePath, readFile(executable), 0755);
    if (!icons.empty()) {
        fs::create_directories(bundle / "Contents/share");
        fs::copy(icons, bundle / "Contents/share/icons", fs::copy_options::recursive);
    }
    json info = {
        {"CFBundleIdentifier", UpdateBundle::identifier},
        {"CFBundlePackageType", "APPL"},
        {"CFBundleExecutable", "Velmo"},
        {"CFBundleShortVersionString", identity.version},
        {"CFBundleVersion", std::to_string(identity.build)},
        {"VelmoStoreID", identity.store},
        {"VelmoProductID", identity.product},
        {"VelmoVariantID", identity.variant},
        {"VelmoUpdateChannel", identity.channel},
    };
    if (identity.publicKey) info["VelmoUpdatePublicKey"] = UpdateText::encodeBase64(*identity.publicKey);
    if (!identity.minimumSystem.empty()) info["LSMinimumSystemVersion"] = identity.minimumSystem;
    writeFile(bundle / UpdateBundle::infoPath, info.dump(2) + "\n", 0644);
}

void sign(const fs::path& bundle, const Ed25519Key& key) {
    const json info = json::parse(readFile(bundle / UpdateBundle::infoPath));
    const auto named = info.value("VelmoUpdatePublicKey", std::string());
    if (named != UpdateText::encodeBase64(key.publicKey()))
        throw std::runtime_error("Info.json names another update key than the one signing");
    fs::remove(bundle / UpdateBundle::manifestPath);
    std::vector<UpdateBundle::ManifestFile> files;
    for (const auto& relative : entries(bundle)) {
        const auto path = bundle / relative;
        if (fs::is_directory(path)) {
            fs::permissions(path, static_cast<fs::perms>(0755));
            continue;
        }
        const unsigned mode = isExecutable(path) ? 0755 : 0644;
        fs::permissions(path, static_cast<fs::perms>(mode));
        files.push_back({relative.generic_string(), readFile(path), mode});
    }
    writeFile(bundle / UpdateBundle::manifestPath, signedEnvelope(UpdateBundle::manifestPayload(files), key), 0644);
}

void archive(const fs::path& bundle, const fs::path& zip) {
    std::unique_ptr<struct archive, decltype(&archive_write_free)> out(archive_write_new(), archive_write_free);
    if (!out || archive_write_set_format_zip(out.get()) != ARCHIVE_OK ||
        archive_write_set_options(out.get(), "zip:compression=deflate") != ARCHIVE_OK ||
        archive_write_open_filename(out.get(), zip.c_str()) != ARCHIVE_OK)
        throw std::runtime_error("cannot create " + zip.string());
    auto add = [&](const std::string& name, bool folder, unsigned mode, const std::string& content) {
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname(entry.get(), name.c_str());
        archive_entry_set_filetype(entry.get(), folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), mode);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(content.size()));
        archive_entry_set_mtime(entry.get(), 315'532'800, 0);  // 1980, the first time a zip can hold
        if (archive_write_header(out.get(), entry.get()) != ARCHIVE_OK ||
            (!content.empty() &&
             archive_write_data(out.get(), content.data(), content.size()) != static_cast<la_ssize_t>(content.size())))
            throw std::runtime_error("cannot write " + zip.string() + ": " + archive_error_string(out.get()));
    };
    add("Velmo.app/", true, 0755, "");
    for (const auto& relative : entries(bundle)) {
        const auto path = bundle / relative;
        const std::string name = "Velmo.app/" + relative.generic_string();
        if (fs::is_directory(path))
            add(name + "/", true, 0755, "");
        else
            add(name, false, isExecutable(path) ? 0755 : 0644, readFile(path));
    }
    if (archive_write_close(out.get()) != ARCHIVE_OK) throw std::runtime_error("cannot finish " + zip.string());
}

std::string signedEnvelope(const std::string& payload, const Ed25519Key& key) {
    return UpdateText::signedEnvelope(payload, key.sign(toBytes(payload))) + "\n";
}

}  // namespace velmo::release::ReleaseBundle
