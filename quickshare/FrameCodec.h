// Length-prefixed frames: a 4-byte big-endian length, then the body.
#pragma once
#include <cstdint>

#include "platform/Bytes.h"

namespace velmo::frame_codec {

// Longest body a reader accepts (5 MiB); shortest is 1 byte.
constexpr std::uint32_t maxBodyLength = 5 * 1024 * 1024;
constexpr std::size_t prefixLength = 4;

// The prefix and the body in one buffer, so the transport sees the whole frame at once.
// Writers impose no limit beyond what the prefix can hold.
Bytes encode(ByteView body);

// Fills the first four bytes of `frame` with the length of what follows them.
void setPrefix(Bytes& frame);

// The body length named by a 4-byte prefix; throws QuickShareError::protocolError
// ("bad frame length N") for 0 or anything above maxBodyLength.
std::uint32_t bodyLength(ByteView prefix);

}  // namespace velmo::frame_codec
