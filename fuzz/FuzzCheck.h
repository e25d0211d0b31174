// The one way a fuzz target reports a broken promise: a crash libFuzzer keeps the input of.
#pragma once

namespace velmo::fuzz {

inline void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace velmo::fuzz
