// A small tmpfs mounted on a fresh folder while it lives, for failures that only a real disk
// gives (full, read-only). Only where this process may mount, as root in CI: check mounted().
#pragma once
#include <filesystem>
#include <string>

#include "support/TempFolder.h"

namespace velmo::test {

class ScratchDisk {
public:
    // `options` as for mount(8), e.g. "size=64k"; `readOnly` mounts it read-only.
    explicit ScratchDisk(const std::string& options, bool readOnly = false);
    ~ScratchDisk();  // unmounts (lazily) before the folder goes
    ScratchDisk(const ScratchDisk&) = delete;
    ScratchDisk& operator=(const ScratchDisk&) = delete;

    bool mounted() const { return mounted_; }
    const std::filesystem::path& path() const { return root_.path(); }
    std::filesystem::path operator/(const std::string& name) const { return root_ / name; }

private:
    TempFolder root_;
    bool mounted_ = false;
};

}  // namespace velmo::test
