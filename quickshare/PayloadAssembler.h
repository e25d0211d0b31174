// Puts BYTES payloads back together from their chunks, within fixed limits so a phone
// cannot make us hold more than 1 MiB of unfinished messages.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>

#include "platform/Bytes.h"

namespace velmo {

class PayloadAssembler {
public:
    static constexpr std::size_t maxPayloadSize = 1024 * 1024;
    static constexpr std::size_t maxPending = 16;
    static constexpr std::size_t maxBuffered = 1024 * 1024;

    // Adds one chunk of payload `id`, announced as `total` bytes. Returns the whole payload
    // after its last chunk, nothing before. Throws QuickShareError::protocolError for a
    // payload or chunk that breaks the limits or does not continue its payload exactly.
    std::optional<Bytes> add(std::int64_t id, std::int64_t total, std::int64_t offset,
                             ByteView body, bool last);

    // Forgets every unfinished payload.
    void clear();

    std::size_t pending() const { return payloads_.size(); }
    std::size_t buffered() const { return buffered_; }

private:
    struct Payload {
        std::size_t size = 0;
        Bytes body;
    };

    std::unordered_map<std::int64_t, Payload> payloads_;
    std::size_t buffered_ = 0;
};

}  // namespace velmo
