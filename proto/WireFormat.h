// Protobuf's wire format for the few messages written by hand around large byte fields,
// so those bytes are not copied into a message first. Writers put fields in number order,
// as deterministic encoding does, so the bytes equal protobuf's own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/Bytes.h"

namespace velmo::proto::wire {

constexpr std::uint8_t varintType = 0;
constexpr std::uint8_t lengthDelimitedType = 2;

constexpr std::uint8_t tag(int field, std::uint8_t wireType) {
    return static_cast<std::uint8_t>(field << 3 | wireType);
}

constexpr std::size_t varintSize(std::uint64_t value) {
    std::size_t size = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++size;
    }
    return size;
}

inline std::uint8_t* putVarint(std::uint8_t* at, std::uint64_t value) {
    while (value >= 0x80) {
        *at++ = static_cast<std::uint8_t>(value | 0x80);
        value >>= 7;
    }
    *at++ = static_cast<std::uint8_t>(value);
    return at;
}

// Signed integers and enumerations are sign-extended to 64 bits, as protobuf writes them.
constexpr std::uint64_t signedWire(std::int64_t value) { return static_cast<std::uint64_t>(value); }

// A varint field (fields numbered below 16: one tag byte).
constexpr std::size_t varintFieldSize(std::uint64_t value) { return 1 + varintSize(value); }

inline std::uint8_t* putVarintField(std::uint8_t* at, int field, std::uint64_t value) {
    *at++ = tag(field, varintType);
    return putVarint(at, value);
}

// Tag and length of a length-delimited field.
constexpr std::size_t fieldHeadSize(std::size_t length) { return 1 + varintSize(length); }

inline std::uint8_t* putFieldHead(std::uint8_t* at, int field, std::size_t length) {
    *at++ = tag(field, lengthDelimitedType);
    return putVarint(at, length);
}

// Reads fields off the front of `in` for the fast path of a reader that expects one exact
// layout; each returns nothing (and leaves `in` as it was) when the next field is not the one
// expected, and the caller then decodes with protobuf instead.
inline std::optional<std::uint64_t> takeVarint(ByteView& in) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < in.size() && i < 10; ++i) {
        if (i == 9 && in[i] > 1) return std::nullopt;  // past 64 bits
        value |= static_cast<std::uint64_t>(in[i] & 0x7f) << (7 * i);
        if ((in[i] & 0x80) == 0) {
            in = in.subspan(i + 1);
            return value;
        }
    }
    return std::nullopt;
}

inline std::optional<std::uint64_t> takeVarintField(ByteView& in, int field) {
    if (in.empty() || in[0] != tag(field, varintType)) return std::nullopt;
    ByteView rest = in.subspan(1);
    const auto value = takeVarint(rest);
    if (value) in = rest;
    return value;
}

inline std::optional<ByteView> takeLengthDelimited(ByteView& in, int field) {
    if (in.empty() || in[0] != tag(field, lengthDelimitedType)) return std::nullopt;
    ByteView rest = in.subspan(1);
    const auto length = takeVarint(rest);
    if (!length || *length > rest.size()) return std::nullopt;
    const ByteView value = rest.first(static_cast<std::size_t>(*length));
    in = rest.subspan(static_cast<std::size_t>(*length));
    return value;
}

}  // namespace velmo::proto::wire
