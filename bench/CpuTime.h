// CPU time of the benchmark's own process.
#pragma once
#include <sys/resource.h>

namespace velmo::bench {

// CPU seconds this process has used, all threads: steadier than wall time on a busy machine.
inline double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace velmo::bench
