#include "proto/Codec.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message.h>

#include <climits>
#include <functional>
#include <string_view>

#include "platform/Utf8.h"
#include "proto/PackedEnumUnknowns.h"

namespace velmo::proto {

namespace pb = google::protobuf;

namespace {

// Deterministic so that equal values give equal bytes (map entries sorted by key). Writes
// straight into the container the caller keeps: frames carry 512 KiB file chunks.
// Serializes at out[offset..] in the caller's container, whose storage is kept from one
// call to the next.
template <class Out>
void serializeAt(const pb::Message& message, Out& out, std::size_t offset) {
    const std::size_t size = message.ByteSizeLong();
    if (size > static_cast<std::size_t>(INT_MAX)) {
        throw EncodingError("The message " + message.GetTypeName() + " is too large to encode.");
    }
    out.resize(offset + size);
    auto* at = reinterpret_cast<std::uint8_t*>(out.data()) + offset;
    pb::io::ArrayOutputStream array(at, static_cast<int>(size));
    pb::io::CodedOutputStream coded(&array);
    coded.SetSerializationDeterministic(true);
    message.SerializeWithCachedSizes(&coded);
    if (coded.HadError() || static_cast<std::size_t>(coded.ByteCount()) != size) {
        throw EncodingError("The message " + message.GetTypeName() + " could not be encoded.");
    }
}

template <class Out>
Out serializePartial(const pb::Message& message) {
    Out out;
    serializeAt(message, out, 0);
    return out;
}

void checkEncodable(const pb::Message& message);

// proto2 does not check text fields, so a phone could hand us any bytes as text.
bool textIsValid(const pb::Message& message) {
    const pb::Reflection* reflection = message.GetReflection();
    std::vector<const pb::FieldDescriptor*> fields;
    reflection->ListFields(message, &fields);
    std::string scratch;
    for (const pb::FieldDescriptor* field : fields) {
        if (field->type() == pb::FieldDescriptor::TYPE_STRING) {
            if (field->is_repeated()) {
                const int count = reflection->FieldSize(message, field);
                for (int i = 0; i < count; ++i) {
                    if (!Utf8::isValid(reflection->GetRepeatedStringReference(message, field, i, &scratch))) {
                        return false;
                    }
                }
            } else if (!Utf8::isValid(reflection->GetStringReference(message, field, &scratch))) {
                return false;
            }
        } else if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE) {
            if (field->is_repeated()) {
                const int count = reflection->FieldSize(message, field);
                for (int i = 0; i < count; ++i) {
                    if (!textIsValid(reflection->GetRepeatedMessage(message, field, i))) return false;
                }
            } else if (!textIsValid(reflection->GetMessage(message, field))) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

Bytes encode(const pb::Message& message) {
    checkEncodable(message);
    return serializePartial<Bytes>(message);
}

void encodeInto(const pb::Message& message, std::string& out) {
    checkEncodable(message);
    serializeAt(message, out, 0);
}

void encodeInto(const pb::Message& message, Bytes& out, std::size_t offset) {
    if (offset > out.size()) out.resize(offset);
    checkEncodable(message);
    serializeAt(message, out, offset);
}

namespace {

void checkEncodable(const pb::Message& message) {
    if (!message.IsInitialized()) {
        throw EncodingError("The message " + message.GetTypeName() +
                            " lacks required fields: " + message.InitializationErrorString() + ".");
    }
    // Phones reject text that is not UTF-8; Linux file names need not be.
    if (!textIsValid(message)) {
        throw EncodingError("The message " + message.GetTypeName() + " has text that is not valid UTF-8.");
    }
}

}  // namespace

void decodeInto(pb::Message& message, ByteView bytes) {
    message.Clear();
    const std::string& name = message.GetTypeName();
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
        throw DecodingError("The received " + name + " message is too large.");
    }
    pb::io::CodedInputStream input(bytes.data(), static_cast<int>(bytes.size()));
    input.SetRecursionLimit(kNestingLimit);
    // A stray end-group tag stops the parse early; that is malformed input too.
    if (!message.MergePartialFromCodedStream(&input) || !input.ConsumedEntireMessage()) {
        message.Clear();
        throw DecodingError("The received " + name + " message is malformed.");
    }
    if (!message.IsInitialized()) {
        const std::string missing = message.InitializationErrorString();
        message.Clear();
        throw DecodingError("The received " + name + " message lacks required fields: " + missing + ".");
    }
    if (!textIsValid(message)) {
        message.Clear();
        throw DecodingError("The received " + name + " message has text that is not valid UTF-8.");
    }
    PackedEnumUnknowns::gather(message, bytes);
}

namespace detail {

bool isDeclared(const pb::EnumDescriptor* type, int number) {
    return type->FindValueByNumber(number) != nullptr;
}

std::vector<int> declaredNumbers(const pb::EnumDescriptor* type) {
    std::vector<int> numbers;
    numbers.reserve(static_cast<std::size_t>(type->value_count()));
    for (int i = 0; i < type->value_count(); ++i) numbers.push_back(type->value(i)->number());
    return numbers;
}

}  // namespace detail

bool equal(const pb::Message& a, const pb::Message& b) {
    return a.GetDescriptor() == b.GetDescriptor() && serializePartial<std::string>(a) == serializePartial<std::string>(b);
}

std::size_t hash(const pb::Message& message) {
    const std::size_t type = std::hash<std::string_view>{}(message.GetDescriptor()->full_name());
    const std::size_t bytes = std::hash<std::string_view>{}(serializePartial<std::string>(message));
    return type ^ (bytes + 0x9e3779b97f4a7c15ULL + (type << 6) + (type >> 2));
}

}  // namespace velmo::proto
