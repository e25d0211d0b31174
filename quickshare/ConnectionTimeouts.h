// The time limits of one connection. Tests pass short ones.
#pragma once
#include <chrono>

namespace velmo {

struct ConnectionTimeouts {
    // Pause between two keep-alive frames.
    std::chrono::steady_clock::duration keepAlive = std::chrono::seconds(10);
    // Longest time one frame may take to reach the transport. A write that takes longer means
    // the phone stopped reading; the stream is closed rather than leaving half a frame behind. Zero means
    // no limit.
    std::chrono::steady_clock::duration writeDeadline = std::chrono::seconds(60);
};

}  // namespace velmo
