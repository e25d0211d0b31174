#include "UpdateBundleKit.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <fstream>
#include <stdexcept>

#include "updatecore/UpdateBundle.h"
#include "updatecore/UpdateText.h"

namespace velmo::test {

BundleBuilder::BundleBuilder(const Ed25519TestKey& key, std::int64_t build, bool starts) : key_(key) {
    info = {
        {"CFBundleIdentifier", "com.halvester.velmo"},
        {"CFBundlePackageType", "APPL"},
        {"CFBundleExecutable", "Velmo"},
        {"CFBundleShortVersionString", "1." + std::to_string(build)},
        {"CFBundleVersion", std::to_string(build)},
        {"VelmoStoreID", 1},
        {"VelmoProductID", 2},
        {"VelmoVariantID", 3},
        {"VelmoUpdateChannel", "live-x86_64"},
        {"VelmoUpdatePublicKey", UpdateText::encodeBase64(key.publicKey())},
    };
    files["Contents/bin/Velmo"] = {starts ? "#!/bin/sh\nprintf 'com.halvester.velmo\\n' >&3\nexec sleep 1\n"
                                          : "#!/bin/sh\nexit 1\n",
                                   0755};
    files["Contents/share/readme.txt"] = {"build " + std::to_string(build) + "\n", 0644};
}

std::map<std::string, BundleFile> BundleBuilder::finished(const Ed25519TestKey* signer) const {
    auto all = files;
    all["Contents/Info.json"] = {info.dump(), 0644};
    std::vector<UpdateBundle::ManifestFile> list;
    for (const auto& [path, file] : all) list.push_back({path, file.content, file.mode});
    const std::string payload = UpdateBundle::manifestPayload(list);
    all["Contents/Manifest.json"] = {signedEnvelope(signer ? *signer : key_, payload), 0644};
    return all;
}

void BundleBuilder::writeTo(const std::filesystem::path& bundle, const Ed25519TestKey* signer) const {
    for (const auto& [path, file] : finished(signer)) {
        const auto full = bundle / path;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary) << file.content;
        ::chmod(full.c_str(), file.mode);
    }
}

void writeZip(const std::filesystem::path& zip, const std::vector<ZipEntry>& entries) {
    archive* a = archive_write_new();
    if (archive_write_set_format_zip(a) != ARCHIVE_OK || archive_write_open_filename(a, zip.c_str()) != ARCHIVE_OK)
        throw std::runtime_error("zip open");
    for (const auto& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.path.c_str());
        archive_entry_set_perm(entry, e.mode);
        if (e.type == ZipEntry::directory) {
            archive_entry_set_filetype(entry, AE_IFDIR);
            archive_entry_set_size(entry, 0);
        } else if (e.type == ZipEntry::symlink) {
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, e.linkTarget.c_str());
            archive_entry_set_size(entry, 0);
        } else {
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, static_cast<la_int64_t>(e.content.size()));
        }
        if (archive_write_header(a, entry) != ARCHIVE_OK) throw std::runtime_error("zip header");
        if (e.type == ZipEntry::file && !e.content.empty())
            archive_write_data(a, e.content.data(), e.content.size());
        archive_entry_free(entry);
    }
    archive_write_close(a);
    archive_write_free(a);
}

std::vector<ZipEntry> zipEntries(const std::map<std::string, BundleFile>& files) {
    std::vector<ZipEntry> out;
    out.push_back({"Velmo.app/", "", 0755, ZipEntry::directory, ""});
    for (const auto& [path, file] : files) out.push_back({"Velmo.app/" + path, file.content, file.mode, ZipEntry::file, ""});
    return out;
}

}  // namespace velmo::test
