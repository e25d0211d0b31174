// Replaces the installed application folder with the one inside a verified update archive,
// starts the new copy, and puts the previous one back when the new copy does not start.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "updatecore/UpdateArchive.h"

namespace velmo {

class UpdateInstaller {
public:
    struct Options {
        std::chrono::milliseconds relaunchTimeout{30'000};
        UpdateArchiveLimits archiveLimits{};
    };

    // archive: the zip from UpdateFeed::download; target: the installed "Velmo.app" folder;
    // version and build: what the release promised. Returns once the new copy runs; the
    // caller then quits. Throws UpdateInstallError for every refusal and Cancelled when
    // `cancel` is set before the exchange. Before the exchange the installed copy is never
    // touched.
    static void install(const std::filesystem::path& archive, const std::filesystem::path& target,
                        const std::string& version, std::int64_t build, const std::atomic<bool>& cancel);
    static void install(const std::filesystem::path& archive, const std::filesystem::path& target,
                        const std::string& version, std::int64_t build, const std::atomic<bool>& cancel,
                        const Options& options);
};

}  // namespace velmo
