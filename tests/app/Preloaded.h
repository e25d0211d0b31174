// Settings for the launches a test starts, with the file system refusal library preloaded.
#pragma once
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace velmo::test {

// The environment of a launch with the file system refusal library preloaded and `settings`.
inline std::map<std::string, std::optional<std::string>> preloaded(std::map<std::string, std::optional<std::string>> settings) {
#ifdef VELMO_SANITIZED
    // The sanitizer's runtime is no longer the first library loaded, which it would refuse.
    const char* options = std::getenv("ASAN_OPTIONS");
    settings["ASAN_OPTIONS"] = (options ? std::string(options) + ":" : "") + "verify_asan_link_order=0";
#endif
    settings["LD_PRELOAD"] = VELMO_FILE_SYSTEM_REFUSAL;
    return settings;
}

}  // namespace velmo::test
