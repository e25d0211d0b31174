// The one way in or out of protobuf bytes: complete-mode encoding and decoding,
// exact equality and hashing, and the enumeration helpers.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/Bytes.h"
#include "platform/Error.h"

namespace google::protobuf {
class Message;
class EnumDescriptor;
template <typename E>
const EnumDescriptor* GetEnumDescriptor();
}  // namespace google::protobuf

namespace velmo::proto {

// Every failure to read a message: malformed bytes, a missing required field,
// text that is not UTF-8, nesting past the limit.
class DecodingError : public Error {
public:
    using Error::Error;
};

// A message that cannot be written: a required field is missing, or text is not UTF-8.
class EncodingError : public Error {
public:
    using Error::Error;
};

// Deepest nesting of messages (and groups) a decode accepts.
inline constexpr int kNestingLimit = 100;

// The deterministic bytes of a complete message; EncodingError when a required
// field is missing or a text field is not UTF-8.
Bytes encode(const google::protobuf::Message& message);

// The same bytes, replacing the contents of `out` but keeping its storage, so a caller that
// encodes large messages again and again allocates nothing per message.
void encodeInto(const google::protobuf::Message& message, std::string& out);

// The same bytes written at out[offset..]; out is resized to offset plus their length and
// out[0..offset) is left as it was (room for a length prefix, say).
void encodeInto(const google::protobuf::Message& message, Bytes& out, std::size_t offset = 0);

// Reads a whole message into `message`, replacing what it held (its storage is reused);
// unknown fields are kept. DecodingError on any failure, leaving `message` empty.
void decodeInto(google::protobuf::Message& message, ByteView bytes);

namespace detail {
bool isDeclared(const google::protobuf::EnumDescriptor* type, int number);
std::vector<int> declaredNumbers(const google::protobuf::EnumDescriptor* type);
}  // namespace detail

// Reads a whole message; unknown fields are kept. DecodingError on any failure.
template <class M>
M decode(ByteView bytes) {
    M message;
    decodeInto(message, bytes);
    return message;
}

// Same type and the same deterministic bytes, unknown fields included.
bool equal(const google::protobuf::Message& a, const google::protobuf::Message& b);

// Consistent with equal().
std::size_t hash(const google::protobuf::Message& message);

// The case of a declared number, none for any other.
template <class E>
std::optional<E> enumFromNumber(int number) {
    static_assert(std::is_enum_v<E>);
    if (!detail::isDeclared(google::protobuf::GetEnumDescriptor<E>(), number)) return std::nullopt;
    return static_cast<E>(number);
}

// Every case, in declaration order.
template <class E>
std::vector<E> allCases() {
    static_assert(std::is_enum_v<E>);
    std::vector<E> cases;
    for (int number : detail::declaredNumbers(google::protobuf::GetEnumDescriptor<E>())) {
        cases.push_back(static_cast<E>(number));
    }
    return cases;
}

}  // namespace velmo::proto
