// Length-prefixed frames: a 4-byte big-endian length, then the body.
#pragma once
#include <cstdint>

#include "platform/Bytes.h"

namespace velmo::frame_codec {

// Longest body a reader accepts (5 MiB); shortest is 1 byte.
constexpr std::uint32_t maxBodyLength = 5 * 1024 * 1024;
// Longest body of a frame read before the secure channel stands (32 KiB): anyone on the
// network may send those, so a hostile one must stay cheap to read and decode. The largest
// legitimate one is the connection request, about a kilobyte: an endpoint-info record (its
// name at most 255 bytes), the name again, a few medium and device hints. The UKEY2 messages
// carry a P-256 key, 32 random bytes and a 64-byte commitment per cipher: a few hundred
// bytes. 32 KiB leaves room for fields phones may add.
constexpr std::uint32_t maxHandshakeBodyLength = 32 * 1024;
constexpr std::size_t prefixLength = 4;

// The prefix and the body in one buffer, so the transport sees the whole frame at once.
// Writers impose no limit beyond what the prefix can hold.
Bytes encode(ByteView body);

// Fills the first four bytes of `frame` with the length of what follows them.
void setPrefix(Bytes& frame);

// The body length named by a 4-byte prefix; throws QuickShareError::protocolError
// ("bad frame length N") for 0 or anything above `limit`.
std::uint32_t bodyLength(ByteView prefix, std::uint32_t limit = maxBodyLength);

}  // namespace velmo::frame_codec
