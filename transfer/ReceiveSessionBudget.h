// Per-session limits on what phones may send without being asked one by one.
#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

namespace velmo {

class ReceiveSessionBudget {
public:
    // The largest single file a session accepts (10 GiB).
    static constexpr std::int64_t maxFileBytes = 10'737'418'240;
    static constexpr std::int64_t initialBytes = 21'474'836'480;  // 20 GiB
    static constexpr std::int64_t initialFiles = 256;

    ReceiveSessionBudget() = default;
    ReceiveSessionBudget(const ReceiveSessionBudget&) = delete;
    ReceiveSessionBudget& operator=(const ReceiveSessionBudget&) = delete;

    // Reserves every size or none: false (budget unchanged) for an empty list, more files
    // than remain, any size above maxFileBytes or below zero, an overflowing sum, or a sum
    // above the bytes that remain. Nothing is ever given back. Any thread may call it.
    bool reserve(const std::vector<std::int64_t>& fileSizes);

    // Snapshots of what remains.
    std::int64_t remainingBytes() const;
    std::int64_t remainingFiles() const;

private:
    mutable std::mutex lock;
    std::int64_t remainingBytes_ = initialBytes;
    std::int64_t remainingFiles_ = initialFiles;
};

}  // namespace velmo
