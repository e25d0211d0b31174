// Settings for the launches a test starts, with the file system refusal library preloaded.
#pragma once
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmo::test {

// Preloads the file system refusal library, with `settings`, into the launches started while it lives.
class Preloaded {
public:
    explicit Preloaded(std::vector<std::pair<std::string, std::string>> settings) : settings_(std::move(settings)) {
#ifdef VELMO_SANITIZED
        // The sanitizer's runtime is no longer the first library loaded, which it would refuse.
        const char* options = std::getenv("ASAN_OPTIONS");
        settings_.emplace_back("ASAN_OPTIONS", (options ? std::string(options) + ":" : "") + "verify_asan_link_order=0");
#endif
        settings_.emplace_back("LD_PRELOAD", VELMO_FILE_SYSTEM_REFUSAL);
        for (auto& [name, value] : settings_) {
            const char* before = std::getenv(name.c_str());
            saved_.emplace_back(name, before ? std::optional<std::string>(before) : std::nullopt);
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ~Preloaded() {
        for (const auto& [name, before] : saved_)
            before ? ::setenv(name.c_str(), before->c_str(), 1) : ::unsetenv(name.c_str());
    }

private:
    std::vector<std::pair<std::string, std::string>> settings_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace velmo::test
