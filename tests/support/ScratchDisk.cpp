#include "support/ScratchDisk.h"

#include <sys/mount.h>

namespace velmo::test {

ScratchDisk::ScratchDisk(const std::string& options, bool readOnly) {
    mounted_ = ::mount("tmpfs", root_.path().c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str()) == 0;
}

ScratchDisk::~ScratchDisk() {
    if (mounted_) ::umount2(root_.path().c_str(), MNT_DETACH);
}

}  // namespace velmo::test
