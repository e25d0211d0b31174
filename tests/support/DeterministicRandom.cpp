#include "support/DeterministicRandom.h"

#include <cstring>

namespace velmo::test {

void DeterministicRandom::fill(std::span<std::uint8_t> out) {
    std::lock_guard guard(lock_);
    for (auto& byte : out) byte = nextByte();
    drawn_ += out.size();
}

void DeterministicRandom::queue(ByteView bytes) {
    std::lock_guard guard(lock_);
    queued_.insert(queued_.end(), bytes.begin(), bytes.end());
}

void DeterministicRandom::queueUniform(std::uint64_t offset) {
    // uniform() reads one 64-bit draw in host byte order.
    std::uint8_t raw[sizeof offset];
    std::memcpy(raw, &offset, sizeof offset);
    queue(ByteView(raw, sizeof raw));
}

std::size_t DeterministicRandom::drawn() const {
    std::lock_guard guard(lock_);
    return drawn_;
}

std::uint8_t DeterministicRandom::nextByte() {
    if (!queued_.empty()) {
        const std::uint8_t byte = queued_.front();
        queued_.pop_front();
        return byte;
    }
    if (wordBytes_ == 0) {
        // splitmix64
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        word_ = z ^ (z >> 31);
        wordBytes_ = 8;
    }
    const auto byte = static_cast<std::uint8_t>(word_);
    word_ >>= 8;
    --wordBytes_;
    return byte;
}

}  // namespace velmo::test
