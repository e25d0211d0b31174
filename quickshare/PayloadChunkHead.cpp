#include "quickshare/PayloadChunkHead.h"

#include "proto/WireFormat.h"

namespace velmo {

namespace wire = proto::wire;

namespace {

// Field numbers along the path to the chunk body.
constexpr int frameVersionField = 1, frameV1Field = 2;                     // OfflineFrame
constexpr int v1TypeField = 1, v1PayloadTransferField = 4;                 // V1Frame
constexpr int packetTypeField = 1, headerField = 2, chunkField = 3;        // PayloadTransferFrame
constexpr int idField = 1, typeField = 2, totalSizeField = 3, sensitiveField = 4;  // PayloadHeader
constexpr int flagsField = 1, offsetField = 2, bodyField = 3;              // PayloadChunk

constexpr std::uint64_t versionV1 = 1;
constexpr std::uint64_t payloadTransferType = 3;
constexpr std::uint64_t dataPacket = 1;
constexpr std::uint64_t lastChunkFlag = 1;

}  // namespace

PayloadChunkHead::PayloadChunkHead(std::int64_t payloadId, int payloadType, std::int64_t totalSize,
                                   std::int64_t offset, std::size_t bodySize, bool last) {
    const std::uint64_t id = wire::signedWire(payloadId);
    const std::uint64_t type = wire::signedWire(payloadType);
    const std::uint64_t total = wire::signedWire(totalSize);
    const std::uint64_t at = wire::signedWire(offset);
    const std::uint64_t flags = last ? lastChunkFlag : 0;

    const std::size_t headerSize = wire::varintFieldSize(id) + wire::varintFieldSize(type) +
                                   wire::varintFieldSize(total) + wire::varintFieldSize(0);
    const std::size_t chunkSize = wire::varintFieldSize(flags) + wire::varintFieldSize(at) +
                                  wire::fieldHeadSize(bodySize) + bodySize;
    const std::size_t transferSize = wire::varintFieldSize(dataPacket) + wire::fieldHeadSize(headerSize) +
                                     headerSize + wire::fieldHeadSize(chunkSize) + chunkSize;
    const std::size_t v1Size = wire::varintFieldSize(payloadTransferType) + wire::fieldHeadSize(transferSize) +
                               transferSize;

    std::uint8_t* p = bytes_.data();
    p = wire::putVarintField(p, frameVersionField, versionV1);
    p = wire::putFieldHead(p, frameV1Field, v1Size);
    p = wire::putVarintField(p, v1TypeField, payloadTransferType);
    p = wire::putFieldHead(p, v1PayloadTransferField, transferSize);
    p = wire::putVarintField(p, packetTypeField, dataPacket);
    p = wire::putFieldHead(p, headerField, headerSize);
    p = wire::putVarintField(p, idField, id);
    p = wire::putVarintField(p, typeField, type);
    p = wire::putVarintField(p, totalSizeField, total);
    p = wire::putVarintField(p, sensitiveField, 0);
    p = wire::putFieldHead(p, chunkField, chunkSize);
    p = wire::putVarintField(p, flagsField, flags);
    p = wire::putVarintField(p, offsetField, at);
    p = wire::putFieldHead(p, bodyField, bodySize);
    size_ = static_cast<std::size_t>(p - bytes_.data());
}

}  // namespace velmo
