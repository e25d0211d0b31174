#include "quickshare/FrameCodec.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "quickshare/QuickShareError.h"

namespace velmo::frame_codec {

Bytes encode(ByteView body) {
    if (body.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("frame body too long for its length prefix");
    }
    const auto n = static_cast<std::uint32_t>(body.size());
    Bytes frame(prefixLength + body.size());
    frame[0] = static_cast<std::uint8_t>(n >> 24);
    frame[1] = static_cast<std::uint8_t>(n >> 16);
    frame[2] = static_cast<std::uint8_t>(n >> 8);
    frame[3] = static_cast<std::uint8_t>(n);
    std::copy(body.begin(), body.end(), frame.begin() + prefixLength);
    return frame;
}

void setPrefix(Bytes& frame) {
    if (frame.size() < prefixLength ||
        frame.size() - prefixLength > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("frame body too long for its length prefix");
    }
    const auto n = static_cast<std::uint32_t>(frame.size() - prefixLength);
    frame[0] = static_cast<std::uint8_t>(n >> 24);
    frame[1] = static_cast<std::uint8_t>(n >> 16);
    frame[2] = static_cast<std::uint8_t>(n >> 8);
    frame[3] = static_cast<std::uint8_t>(n);
}

std::uint32_t bodyLength(ByteView prefix, std::uint32_t limit) {
    if (prefix.size() != prefixLength) throw std::invalid_argument("frame prefix is 4 bytes");
    std::uint32_t length = 0;
    for (auto byte : prefix) length = length << 8 | byte;
    if (length == 0 || length > limit) {
        throw QuickShareError::protocolError("bad frame length " + std::to_string(length));
    }
    return length;
}

}  // namespace velmo::frame_codec
