// velmo-release: the update key, signed bundles, their archive and the signed feed. A program
// rather than a script so that it checks its output with the installer's own code.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "ReleaseBundle.h"
#include "platform/Digest.h"
#include "updatecore/SafePath.h"
#include "updatecore/UpdateArchive.h"
#include "updatecore/HttpTransport.h"
#include "updatecore/UpdateBundle.h"
#include "updatecore/UpdateError.h"
#include "updatecore/UpdateFeed.h"
#include "updatecore/UpdateInstallError.h"
#include "updatecore/UpdateText.h"

namespace {

namespace fs = std::filesystem;
using namespace velmo;
using namespace velmo::release;

constexpr const char* usage = R"(usage:
  velmo-release keygen KEY.pem
      A new update key pair: the private key goes to KEY.pem (mode 0600, never over an existing
      file; missing folders are made, mode 0700; keep it out of the repository), the public key
      is printed for Info.json's VelmoUpdatePublicKey.
  velmo-release bundle --executable FILE --version TEXT --build N [--channel NAME]
                       [--icons FOLDER] [--key KEY.pem] OUT/Velmo.app
      Lays out the application folder; with --key it carries the key and a signed manifest, and
      the feed the executable reads is shown.
  velmo-release sign --key KEY.pem BUNDLE
      Writes BUNDLE's signed manifest again (after a file in it changed).
  velmo-release archive BUNDLE OUT.zip
      The update zip of a verified bundle; prints its size and fails above the 8 MiB limit.
  velmo-release publish --key KEY.pem --out FOLDER [--force] BUNDLE
      FOLDER/<channel>/Velmo-<build>.zip and FOLDER/<channel>/feed.json, signed; upload
      FOLDER's contents to the update host's /updates/. Refuses a build older than the one
      the channel's feed names or than an archive in the channel folder, a bundle that reads
      another feed address than the channel's current release, other content for a build
      already published, and a feed that does not verify with the key; --force publishes anyway.
      Publishing the same bundle again changes nothing, not even the files' times.
  velmo-release verify BUNDLE|ARCHIVE.zip
      Checks a bundle (or the bundle inside a zip) the way the installer does, and shows the
      feed its executable reads (the address it was built with, VELMO_UPDATE_FEED).
)";

struct Arguments {
    std::map<std::string, std::string> options;
    std::vector<std::string> positional;

    std::string option(const std::string& name) const {
        const auto found = options.find(name);
        if (found == options.end()) throw std::invalid_argument("missing --" + name);
        return found->second;
    }
    std::string option(const std::string& name, const std::string& fallback) const {
        const auto found = options.find(name);
        return found == options.end() ? fallback : found->second;
    }
    const std::string& operand(std::size_t count, std::size_t index) const {
        if (positional.size() != count) throw std::invalid_argument("wrong number of arguments");
        return positional[index];
    }
};

Arguments parse(int argc, char** argv) {
    Arguments out;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--force") {
            out.options["force"];
        } else if (a.rfind("--", 0) == 0) {
            if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
            out.options[a.substr(2)] = argv[++i];
        } else {
            out.positional.push_back(a);
        }
    }
    return out;
}

std::int64_t number(const std::string& text) {
    const auto value = UpdateText::parseDecimal(text);
    if (!value || *value < 1) throw std::runtime_error("not a positive number: " + text);
    return *value;
}

// A bundle as the installer checked it, with the feed address compiled into its executable:
// the address that copies updated to it will fetch from.
struct CheckedBundle {
    UpdateBundleMetadata metadata;
    std::optional<std::string> feed;  // none when the executable records no address

    std::string feedURL() const { return feed ? *feed + "/" + metadata.channel + "/feed.json" : "none recorded"; }
};

// The installer's checks of one bundle: shape, Info.json, and the manifest under its own key.
CheckedBundle verifyBundle(const fs::path& bundle) {
    try {
        const auto metadata = UpdateBundle::readMetadata(safePath(fs::absolute(bundle)));
        UpdateBundle::verifyManifest(bundle, *UpdateText::decodeBase64(metadata.publicKey));
        return {metadata, ReleaseBundle::updateFeedAddress(bundle / UpdateBundle::executablePath)};
    } catch (const UpdateInstallError& e) {
        throw std::runtime_error(bundle.string() + ": " + e.what());
    }
}

// Unpacks a zip as the installer does, into a private folder that is removed afterwards.
CheckedBundle verifyArchive(const fs::path& zip) {
    char folder[] = "/tmp/velmo-release-XXXXXX";
    if (!::mkdtemp(folder)) throw std::runtime_error("cannot make a temporary folder");
    struct Remove {
        fs::path path;
        ~Remove() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } remove{folder};
    try {
        vetUpdateArchive(zip);
        UniqueFd fd(::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        unpackUpdateArchive(zip, fd.get());
    } catch (const UpdateInstallError& e) {
        throw std::runtime_error(zip.string() + ": " + e.what());
    }
    return verifyBundle(remove.path / "Velmo.app");
}

void report(const CheckedBundle& checked) {
    const auto& m = checked.metadata;
    std::cout << "Velmo " << m.version << " (build " << m.build << "), channel " << m.channel << ", update key "
              << m.publicKey << ": verified\n  feed: " << checked.feedURL() << "\n";
}

// Writes the zip and answers its size, refusing one the updater would not download. A signed
// bundle is verified first; an unsigned one (a local build) is only packed.
std::int64_t writeArchive(const fs::path& bundle, const fs::path& zip, const fs::path& shownAs = {}) {
    std::ifstream info(bundle / UpdateBundle::infoPath, std::ios::binary);
    if (nlohmann::json::parse(info, nullptr, false).contains("VelmoUpdatePublicKey")) verifyBundle(bundle);
    ReleaseBundle::archive(bundle, zip);
    const auto bytes = static_cast<std::int64_t>(fs::file_size(zip));
    std::cout << (shownAs.empty() ? zip : shownAs).string() << ": " << bytes << " bytes (" << (bytes * 100 / UpdateFeed::archiveLimit)
              << "% of the " << UpdateFeed::archiveLimit << "-byte limit)\n";
    if (bytes > UpdateFeed::archiveLimit) {
        fs::remove(zip);
        throw std::runtime_error("the archive is larger than updates may be");
    }
    return bytes;
}

// A new key file, with the folders it needs made private to the user.
void saveNewKey(const Ed25519Key& key, const fs::path& pem) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(pem, ec)))
        throw std::runtime_error(pem.string() + " already exists: a key is never replaced, since installed copies "
                                 "accept updates signed with theirs only");
    std::vector<fs::path> missing;
    for (auto folder = fs::absolute(pem).parent_path(); !fs::exists(fs::symlink_status(folder, ec));
         folder = folder.parent_path())
        missing.push_back(folder);
    for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder)
        if (::mkdir(folder->c_str(), 0700) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot make the folder " + folder->string() + ": " + std::strerror(errno));
    if (!fs::is_directory(fs::absolute(pem).parent_path()))
        throw std::runtime_error(fs::absolute(pem).parent_path().string() + " is not a folder");
    key.save(pem);
}

// Serves the channel's published feed to the updater's own feed client, so that it is read
// exactly as installed copies read it: strict JSON, signature, fields and archive name.
class PublishedFeed : public HttpTransport {
public:
    explicit PublishedFeed(std::string content) : content_(std::move(content)) {}
    Outcome get(const std::string& url, const std::string&, std::int64_t, HttpSink& sink,
                const std::atomic<bool>&) override {
        const Bytes body = toBytes(content_);
        if (!sink.onHead({url, true, 200, static_cast<std::int64_t>(body.size())}) || !sink.onBody(body))
            return Outcome::stopped;
        return Outcome::completed;
    }

private:
    std::string content_;
};

// The release the channel's feed names now, or nothing when there is no feed yet.
std::optional<UpdateRelease> publishedRelease(const fs::path& feed, const Ed25519Key& key, const std::string& channel) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(feed, ec))) return std::nullopt;
    std::ifstream in(feed, std::ios::binary);
    std::string content(UpdateFeed::feedLimit + 1, '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    if (in.bad() || !in.eof()) throw std::runtime_error("cannot read " + feed.string());
    content.resize(static_cast<std::size_t>(in.gcount()));
    try {
        const std::atomic<bool> cancel{false};
        return UpdateFeed(key.publicKey(), "https://publisher.invalid/" + channel + "/feed.json", channel, 0,
                          std::make_shared<PublishedFeed>(std::move(content)))
            .check(cancel);
    } catch (const UpdateError& e) {
        throw std::runtime_error(feed.string() + " is not a feed of this channel signed with this key (" + e.what() +
                                 "); correct or remove it, or use --force to replace it. If it was signed with "
                                 "another update key, copies installed with that key will then refuse every later "
                                 "update: they accept only feeds signed with the key they carry");
    }
}

bool sameContent(const fs::path& a, const fs::path& b) {
    std::ifstream left(a, std::ios::binary), right(b, std::ios::binary);
    return left && right && std::equal(std::istreambuf_iterator<char>(left), {}, std::istreambuf_iterator<char>(right), {});
}

// The Velmo-<build>.zip archives in a channel folder, by build.
std::map<std::int64_t, fs::path> publishedArchives(const fs::path& folder) {
    std::map<std::int64_t, fs::path> out;
    std::error_code ec;
    for (fs::directory_iterator entry(folder, ec), end; !ec && entry != end; entry.increment(ec)) {
        const std::string name = entry->path().filename().string();
        if (name.size() <= 10 || name.rfind("Velmo-", 0) != 0 || name.compare(name.size() - 4, 4, ".zip") != 0) continue;
        const auto build = UpdateText::parseDecimal(name.substr(6, name.size() - 10));
        if (build && *build >= 1 && name == "Velmo-" + std::to_string(*build) + ".zip") out[*build] = entry->path();
    }
    return out;
}

// Refuses to withdraw a newer release: one the feed names, or a newer archive beside it (the
// feed may be gone, and the archive still tells which build the channel reached).
void checkNotWithdrawing(const fs::path& folder, const std::optional<UpdateRelease>& current, std::int64_t build,
                         const std::map<std::int64_t, fs::path>& archives) {
    if (current && current->build > build)
        throw std::runtime_error((folder / "feed.json").string() + " names build " + std::to_string(current->build) +
                                 ", newer than build " + std::to_string(build) +
                                 ": publishing would withdraw it (--force to do so)");
    if (!archives.empty() && archives.rbegin()->first > build)
        throw std::runtime_error(archives.rbegin()->second.string() + " holds build " +
                                 std::to_string(archives.rbegin()->first) + ", newer than build " +
                                 std::to_string(build) + ": publishing would withdraw it (--force to do so)");
}

// Refuses a bundle that reads another feed address than the channel's current release (the
// one the feed names, else the newest archive): copies updated to it would never find a later
// release where the publisher puts it.
void checkFeedAddress(const CheckedBundle& bundle, const fs::path& folder, const std::optional<UpdateRelease>& current,
                      const std::map<std::int64_t, fs::path>& archives) {
    if (!current && archives.empty()) return;
    const std::int64_t build = current ? current->build : archives.rbegin()->first;
    const fs::path archive = current ? folder / current->archive : archives.rbegin()->second;
    const std::string release = "build " + std::to_string(build) + " (" + archive.string() + ")";
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(archive, ec)))
        throw std::runtime_error("cannot tell which feed address the channel's current release, " + release +
                                 ", reads: the archive is missing; put it back (or use --force)");
    const auto published = verifyArchive(archive);
    if (!published.feed)
        throw std::runtime_error("the channel's current release, " + release +
                                 ", records no feed address; check that its copies read " + bundle.feedURL() +
                                 ", then use --force");
    if (published.feed != bundle.feed)
        throw std::runtime_error("this bundle reads its updates from " + bundle.feedURL() +
                                 ", but the channel's current release, " + release + ", reads them from " +
                                 published.feedURL() +
                                 ": copies updated to this bundle would never find a later release there. Bundle it "
                                 "again with CMAKE_ARGS=-DVELMO_UPDATE_FEED=" + *published.feed +
                                 " (or use --force to move the channel to the new address)");
}

// Writes the archive and the signed feed naming it. Never withdraws a newer release, moves the
// channel to another feed address or puts other bytes under a published name unless forced;
// each file appears whole or not at all, and what is already published is not written again.
void publish(const fs::path& bundle, const Ed25519Key& key, const fs::path& out, bool force) {
    const auto checked = verifyBundle(bundle);
    const auto& metadata = checked.metadata;
    if (metadata.publicKey != UpdateText::encodeBase64(key.publicKey()))
        throw std::runtime_error("the bundle trusts another update key than the one publishing");
    if (!checked.feed && !force)
        throw std::runtime_error(bundle.string() + ": its executable records no feed address, so nothing tells where "
                                 "copies updated to it will look for updates; bundle a build of this source (or use "
                                 "--force)");
    const fs::path folder = out / metadata.channel;
    const fs::path feed = folder / "feed.json";
    std::optional<UpdateRelease> current;
    if (!force) {
        current = publishedRelease(feed, key, metadata.channel);
        const auto archives = publishedArchives(folder);
        checkNotWithdrawing(folder, current, metadata.build, archives);
        checkFeedAddress(checked, folder, current, archives);
    }
    fs::create_directories(folder);
    const std::string name = "Velmo-" + std::to_string(metadata.build) + ".zip";
    const fs::path archive = folder / name;
    const fs::path fresh = folder / ("." + name + ".new");
    fs::remove(fresh);
    const auto bytes = writeArchive(bundle, fresh, archive);
    std::ifstream in(fresh, std::ios::binary);
    const std::string sha = toHex(sha256(toBytes(std::string(std::istreambuf_iterator<char>(in), {}))));
    std::error_code ec;
    const bool published = fs::exists(archive, ec);
    const bool same = published && sameContent(fresh, archive);
    if (!force && ((current && current->build == metadata.build && current->sha256 != sha) || (published && !same))) {
        fs::remove(fresh);
        throw std::runtime_error("build " + std::to_string(metadata.build) + " is already published in " +
                                 folder.string() + " with other content; give this one a new build number (or use "
                                 "--force to replace it)");
    }
    // The same bytes stay as they are, so an upload by date sends nothing again.
    if (same)
        fs::remove(fresh);
    else
        fs::rename(fresh, archive);
    const std::string release = "Velmo " + metadata.version + " (build " + std::to_string(metadata.build) + ")";
    if (current && current->version == metadata.version && current->build == metadata.build &&
        current->archive == name && current->sha256 == sha && current->bytes == bytes) {
        std::cout << feed.string() << " already names " << release << " with this archive: nothing changed\n  feed: "
                  << checked.feedURL() << "\n";
        return;
    }
    const nlohmann::json payload = {{"version", metadata.version}, {"build", metadata.build},
                                    {"channel", metadata.channel},  {"archive", name},
                                    {"sha256", sha},                {"bytes", bytes}};
    const fs::path freshFeed = folder / ".feed.json.new";
    {
        std::ofstream written(freshFeed, std::ios::binary | std::ios::trunc);
        written << ReleaseBundle::signedEnvelope(payload.dump(), key);
        if (!written.flush()) throw std::runtime_error("cannot write " + freshFeed.string());
    }
    fs::rename(freshFeed, feed);
    std::cout << feed.string() << ": " << release << " for " << metadata.channel << "\n  feed: " << checked.feedURL()
              << "\n";
}

int run(int argc, char** argv) {
    if (argc < 2) throw std::invalid_argument("no command");
    const std::string command = argv[1];
    if (command == "help" || command == "--help" || command == "-h") {
        std::cout << usage;
        return 0;
    }
    const Arguments args = parse(argc, argv);
    if (command == "keygen") {
        const auto key = Ed25519Key::generate();
        saveNewKey(key, args.operand(1, 0));
        std::cout << UpdateText::encodeBase64(key.publicKey()) << "\n";
    } else if (command == "bundle") {
        const fs::path bundle = args.operand(1, 0);
        BundleIdentity identity;
        identity.version = args.option("version");
        identity.build = number(args.option("build"));
        identity.channel = args.option("channel", ReleaseBundle::defaultChannel());
        identity.minimumSystem = ReleaseBundle::requiredLibraryVersion(args.option("executable"));
        std::optional<Ed25519Key> key;
        if (args.options.count("key")) {
            key = Ed25519Key::load(args.option("key"));
            identity.publicKey = key->publicKey();
        }
        ReleaseBundle::create(bundle, args.option("executable"), identity, args.option("icons", ""));
        if (key) {
            ReleaseBundle::sign(bundle, *key);
            report(verifyBundle(bundle));
        } else {
            std::cout << bundle.string() << ": unsigned (no --key); this copy will not update itself\n";
        }
    } else if (command == "sign") {
        const fs::path bundle = args.operand(1, 0);
        ReleaseBundle::sign(bundle, Ed25519Key::load(args.option("key")));
        report(verifyBundle(bundle));
    } else if (command == "archive") {
        writeArchive(args.operand(2, 0), args.operand(2, 1));
    } else if (command == "publish") {
        publish(args.operand(1, 0), Ed25519Key::load(args.option("key")), args.option("out"), args.options.count("force"));
    } else if (command == "verify") {
        const fs::path path = args.operand(1, 0);
        report(fs::is_directory(path) ? verifyBundle(path) : verifyArchive(path));
    } else {
        throw std::invalid_argument("unknown command " + command);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::invalid_argument& e) {
        std::cerr << "velmo-release: " << e.what() << "\n" << usage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "velmo-release: " << e.what() << "\n";
        return 1;
    }
}
