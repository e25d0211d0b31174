#include "quickshare/EndpointInfo.h"

#include "platform/Random.h"
#include "platform/SystemRandom.h"
#include "platform/Utf8.h"
#include "quickshare/QuickShareError.h"

namespace velmo {

namespace {

constexpr std::uint8_t versionBits = 0x20;
constexpr std::uint8_t noNameBit = 0x10;
constexpr std::uint8_t qrEntryType = 1;
constexpr std::size_t headerSize = 1 + EndpointInfo::randomSize;


}  // namespace

Bytes EndpointInfo::encoded() const {
    if (qrRecord && qrRecord->size() > maxQrRecordBytes) {
        throw QuickShareError::protocolError("QR record longer than 255 bytes");
    }
    Bytes out;
    out.reserve(headerSize + 1 + maxNameBytes + 2 + (qrRecord ? qrRecord->size() : 0));
    out.push_back(static_cast<std::uint8_t>(versionBits | (name ? 0 : noNameBit) |
                                            (static_cast<std::uint8_t>(deviceType) & 0x07) << 1));
    out.resize(headerSize);
    fillRandom(std::span(out).subspan(1));
    if (name) {
        const std::size_t kept = Utf8::prefix(*name, maxNameBytes).size();
        out.push_back(static_cast<std::uint8_t>(kept));
        out.insert(out.end(), name->begin(), name->begin() + static_cast<std::ptrdiff_t>(kept));
    }
    if (qrRecord) {
        out.push_back(qrEntryType);
        out.push_back(static_cast<std::uint8_t>(qrRecord->size()));
        out.insert(out.end(), qrRecord->begin(), qrRecord->end());
    }
    return out;
}

std::optional<EndpointInfo> EndpointInfo::parse(ByteView record) {
    if (record.size() < headerSize) return std::nullopt;
    EndpointInfo info;
    // Raw value 7 is no device type we know.
    info.deviceType = deviceTypeFromRaw((record[0] >> 1) & 0x07).value_or(DeviceType::unknown);

    std::size_t at = headerSize;
    if ((record[0] & noNameBit) == 0) {
        if (record.size() == headerSize) return std::nullopt;
        const std::size_t length = record[headerSize];
        if (record.size() < headerSize + 1 + length) return std::nullopt;
        const auto* text = reinterpret_cast<const char*>(record.data() + headerSize + 1);
        info.name = Utf8::withReplacements(std::string_view(text, length));
        at = headerSize + 1 + length;
    }

    while (record.size() - at >= 2) {
        const std::uint8_t type = record[at];
        const std::size_t length = record[at + 1];
        if (record.size() - at - 2 < length) break;
        if (type == qrEntryType) info.qrRecord = Bytes(record.begin() + at + 2, record.begin() + at + 2 + length);
        at += 2 + length;
    }
    return info;
}

std::optional<EndpointInfo::DeviceType> EndpointInfo::deviceTypeFromRaw(std::uint8_t raw) {
    if (raw > static_cast<std::uint8_t>(DeviceType::xr)) return std::nullopt;
    return static_cast<DeviceType>(raw);
}

std::string EndpointInfo::makeEndpointID() {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string id;
    for (int i = 0; i < 4; ++i) id.push_back(alphabet[systemRandomBelow(sizeof alphabet - 1)]);
    return id;
}

}  // namespace velmo
