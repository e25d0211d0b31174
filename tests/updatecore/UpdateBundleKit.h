// Builds application folders and update zips for the installer tests.
#pragma once
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "UpdateTestKit.h"

namespace velmo::test {

struct BundleFile {
    std::string content;
    unsigned mode = 0644;
};

class BundleBuilder {
public:
    // A complete bundle of the given build whose executable reports readiness when `starts`.
    BundleBuilder(const Ed25519TestKey& key, std::int64_t build, bool starts = true);

    nlohmann::json info;
    std::map<std::string, BundleFile> files;  // paths relative to the bundle, Info.json excluded

    // Info.json and the manifest signed with `signer` (the builder's key when null).
    std::map<std::string, BundleFile> finished(const Ed25519TestKey* signer = nullptr) const;
    void writeTo(const std::filesystem::path& bundle, const Ed25519TestKey* signer = nullptr) const;

private:
    const Ed25519TestKey& key_;
};

struct ZipEntry {
    std::string path;
    std::string content;
    unsigned mode = 0644;
    enum Type { file, directory, symlink } type = file;
    std::string linkTarget;
};

void writeZip(const std::filesystem::path& zip, const std::vector<ZipEntry>& entries);
// Every file of the bundle under "Velmo.app/".
std::vector<ZipEntry> zipEntries(const std::map<std::string, BundleFile>& files);

}  // namespace velmo::test
