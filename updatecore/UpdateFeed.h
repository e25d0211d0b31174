// The signed update feed: whether a newer, authentic release exists, and its verified archive.
#pragma once
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Bytes.h"
#include "updatecore/HttpTransport.h"
#include "updatecore/UpdateError.h"

namespace velmo {

// A release read from a feed whose signature checked out.
struct UpdateRelease {
    std::string version;  // exactly as signed, not trimmed
    std::int64_t build = 0;
    std::string channel;
    std::string archive;  // file name beside the feed document
    std::string sha256;   // 64 lower-case hex digits
    std::int64_t bytes = 0;
    std::string sourceURL;
    Bytes signer;

    friend bool operator==(const UpdateRelease&, const UpdateRelease&) = default;
};

class UpdateFeed {
public:
    static constexpr std::int64_t feedLimit = 65'536;
    static constexpr std::size_t payloadLimit = 32'768;
    static constexpr std::int64_t archiveLimit = 8'388'608;

    // Never fails; everything is checked when the feed is used. Without a transport the feed
    // uses CurlTransport; without a folder, the system's temporary directory.
    UpdateFeed(Bytes publicKey, std::string feedURL, std::string channel, std::int64_t currentBuild,
               std::shared_ptr<HttpTransport> transport = nullptr,
               std::filesystem::path temporaryDirectory = {});

    // A release newer than currentBuild, or nothing. Throws UpdateError.
    std::optional<UpdateRelease> check(const std::atomic<bool>& cancel) const;

    // The verified archive inside a new private folder that the caller removes when done.
    // Throws UpdateError; leaves no folder behind on failure.
    std::filesystem::path download(const UpdateRelease& release, const std::atomic<bool>& cancel) const;

    const Bytes& publicKey() const { return publicKey_; }
    const std::string& feedURL() const { return feedURL_; }
    const std::string& channel() const { return channel_; }
    std::int64_t currentBuild() const { return currentBuild_; }

private:
    void validateConfiguration() const;
    std::string archiveURL(const std::string& name) const;

    Bytes publicKey_;
    std::string feedURL_;
    std::string channel_;
    std::int64_t currentBuild_;
    std::shared_ptr<HttpTransport> transport_;
    std::filesystem::path temporaryDirectory_;
};

}  // namespace velmo
