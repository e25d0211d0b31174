#include "quickshare/PayloadAssembler.h"

#include "quickshare/QuickShareError.h"

namespace velmo {

std::optional<Bytes> PayloadAssembler::add(std::int64_t id, std::int64_t total,
                                           std::int64_t offset, ByteView body, bool last) {
    // A negative total, read as unsigned, is far above the limit.
    if (static_cast<std::uint64_t>(total) > maxPayloadSize) {
        throw QuickShareError::protocolError("too many or oversized pending messages");
    }
    const auto size = static_cast<std::size_t>(total);
    auto found = payloads_.find(id);
    if (found == payloads_.end()) {
        if (payloads_.size() >= maxPending) {
            throw QuickShareError::protocolError("too many or oversized pending messages");
        }
        found = payloads_.emplace(id, Payload{size, {}}).first;
    }
    Payload& payload = found->second;
    const std::size_t held = payload.body.size();
    if (payload.size != size || offset < 0 || static_cast<std::uint64_t>(offset) != held ||
        body.size() > size - held || body.size() > maxBuffered - buffered_) {
        throw QuickShareError::protocolError("invalid or oversized message chunk");
    }
    payload.body.insert(payload.body.end(), body.begin(), body.end());
    buffered_ += body.size();
    if (!last) return std::nullopt;
    if (payload.body.size() != payload.size) {
        throw QuickShareError::protocolError("incomplete message");
    }
    Bytes whole = std::move(payload.body);
    buffered_ -= whole.size();
    payloads_.erase(found);
    return whole;
}

void PayloadAssembler::clear() {
    // Swap with an empty map so no capacity is kept.
    std::unordered_map<std::int64_t, Payload>().swap(payloads_);
    buffered_ = 0;
}

}  // namespace velmo
