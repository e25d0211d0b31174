// Undeclared numbers that arrive inside one packed run of a repeated enumeration are kept as
// ONE packed unknown field of their own (tag, length, their varints), not as one varint field
// each, so a message reads back and writes out the run as its sender grouped it.
#pragma once
#include "platform/Bytes.h"

namespace google::protobuf {
class Message;
}

namespace velmo::proto::PackedEnumUnknowns {

// Regroups the unknown fields of `message` and of every message inside it, which protobuf
// has just read from exactly `bytes`, in time and memory linear in them. Does nothing where no
// packed run held such a number, nor where the message holds more unknown fields than any
// sender writes (then each number stays a varint field of its own, as protobuf keeps it).
void gather(google::protobuf::Message& message, ByteView bytes);

}  // namespace velmo::proto::PackedEnumUnknowns
