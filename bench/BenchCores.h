// What a benchmark says first: how many cores the machine has and how many it may use
// (bench/run-all pins each benchmark to two).
#pragma once

namespace velmo::bench {

// Prints "cores: N online, M usable by this process".
void printCores();

}  // namespace velmo::bench
