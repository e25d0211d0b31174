// The encoded connection frame of one payload chunk up to its body. The body is the frame's
// last field, so the frame is exactly these bytes followed by the body: a file chunk can be
// encrypted straight from the read buffer instead of being copied into a message first.
#pragma once
#include <array>
#include <cstdint>

#include "platform/Bytes.h"

namespace velmo {

class PayloadChunkHead {
public:
    // The frame protobuf would write for a DATA transfer frame of payload `payloadId` with
    // header {id, type, total_size, is_sensitive = false} and chunk {flags, offset, body}.
    PayloadChunkHead(std::int64_t payloadId, int payloadType, std::int64_t totalSize,
                     std::int64_t offset, std::size_t bodySize, bool last);

    ByteView bytes() const { return ByteView(bytes_.data(), size_); }

private:
    std::array<std::uint8_t, 128> bytes_{};  // the longest head, every varint at ten bytes, is 110
    std::size_t size_ = 0;
};

}  // namespace velmo
