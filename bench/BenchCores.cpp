#include "bench/BenchCores.h"

#include <sched.h>

#include <cstdio>
#include <thread>

namespace velmo::bench {

void printCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    const unsigned online = std::thread::hardware_concurrency();
    const unsigned usable = sched_getaffinity(0, sizeof(set), &set) == 0 ? static_cast<unsigned>(CPU_COUNT(&set)) : online;
    std::printf("cores: %u online, %u usable by this process\n", online, usable);
}

}  // namespace velmo::bench
