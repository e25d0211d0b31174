#include "platform/Random.h"

#include <openssl/rand.h>

#include <climits>

#include "platform/Error.h"

namespace velmo {

void fillRandom(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(out.size() - done, INT_MAX));
        if (RAND_bytes(out.data() + done, chunk) != 1) {
            throw Error("The system's random number generator failed.");
        }
        done += static_cast<std::size_t>(chunk);
    }
}

Bytes randomBytes(std::size_t n) {
    Bytes bytes(n);
    fillRandom(bytes);
    return bytes;
}

}  // namespace velmo
