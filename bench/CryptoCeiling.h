// The single-core ceiling of the secure-message crypto, measured with `openssl speed` in the
// same run as the benchmark that compares against it. Link CryptoCeiling.cpp into the bench.
#pragma once
#include <cstddef>
#include <string>

namespace velmo::bench {

// The chunk size of file payloads.
inline constexpr std::size_t chunkBytes = 524288;

struct CryptoCeiling {
    double aesCbcBytesPerSecond = 0;  // openssl speed -evp aes-256-cbc
    double hmacBytesPerSecond = 0;    // openssl speed -hmac sha256

    // Encrypting then authenticating every byte: 1 / (1/aes + 1/hmac).
    double combinedBytesPerSecond() const { return 1.0 / (1.0 / aesCbcBytesPerSecond + 1.0 / hmacBytesPerSecond); }
};

// Runs both `openssl speed` measurements at blockBytes per block for `seconds` each, timed by
// the wall clock (-elapsed) like our own loops. Throws std::runtime_error when openssl cannot
// be run or its output is not understood.
CryptoCeiling measureCryptoCeiling(int seconds = 3, std::size_t blockBytes = chunkBytes);

// The bytes per second of the last "+F:" line of `openssl speed -mr` output; 0 when none.
double parseSpeedOutput(const std::string& output);

}  // namespace velmo::bench
