// A lock file in a folder held open: an flock lock that the kernel drops with its process.
#pragma once
#include <string>

namespace velmo {

struct LockFile {
    enum State { held, busy, unmade, unlockable };
    State state = unmade;
    int fd = -1;     // holds the lock once `held`; the caller closes it
    int error = 0;   // errno of what failed

    // Opens `name` in the folder (made 0600 when missing; it must be a regular file of this
    // user) and locks it, waiting for the lock when `wait`. `busy`: another holds it.
    static LockFile take(int folder, const std::string& name, bool wait);
    // Whether another open file holds the lock of `name` (false when there is no such file).
    static bool heldElsewhere(int folder, const std::string& name);
};

}  // namespace velmo
