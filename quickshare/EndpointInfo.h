// The short record a Quick Share device describes itself with: device type, optional name,
// optional QR-code record. Sent in the Bonjour TXT entry "n" and in connection requests.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Bytes.h"

namespace velmo {

struct EndpointInfo {
    enum class DeviceType : std::uint8_t { unknown = 0, phone = 1, tablet = 2, laptop = 3, car = 4, foldable = 5, xr = 6 };

    static constexpr std::size_t randomSize = 16;
    static constexpr std::size_t maxNameBytes = 255;
    static constexpr std::size_t maxQrRecordBytes = 255;

    EndpointInfo() = default;
    explicit EndpointInfo(DeviceType type, std::optional<std::string> name = std::nullopt,
                          std::optional<Bytes> qrRecord = std::nullopt)
        : deviceType(type), name(std::move(name)), qrRecord(std::move(qrRecord)) {}

    DeviceType deviceType = DeviceType::unknown;
    std::optional<std::string> name;   // UTF-8; present even when empty
    std::optional<Bytes> qrRecord;

    // The record with 16 fresh random bytes. A name longer than 255 bytes is cut at the last
    // character boundary that fits. Throws QuickShareError::protocolError for a QR record
    // longer than 255 bytes, which the record's length byte cannot carry.
    Bytes encoded() const;

    // Reads a record; none when it is too short or its name runs past the end. Invalid UTF-8
    // in the name becomes U+FFFD. Unknown and truncated trailing entries are skipped.
    static std::optional<EndpointInfo> parse(ByteView record);

    // The device type of a raw value 0 to 6; none above.
    static std::optional<DeviceType> deviceTypeFromRaw(std::uint8_t raw);

    // A new random 4-character endpoint id of A–Z and 0–9.
    static std::string makeEndpointID();

    friend bool operator==(const EndpointInfo&, const EndpointInfo&) = default;
};

}  // namespace velmo
