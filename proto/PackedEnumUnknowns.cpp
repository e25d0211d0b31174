#include "proto/PackedEnumUnknowns.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/message.h>
#include <google/protobuf/unknown_field_set.h>
#include <google/protobuf/wire_format_lite.h>

#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

namespace velmo::proto::PackedEnumUnknowns {
namespace {

namespace pb = google::protobuf;
using pb::internal::WireFormatLite;

bool isRepeatedEnum(const pb::FieldDescriptor* field) {
    return field->is_repeated() && field->type() == pb::FieldDescriptor::TYPE_ENUM;
}

bool declared(const pb::FieldDescriptor* field, std::uint64_t value) {
    // Protobuf checks the low 32 bits, as an int.
    return field->enum_type()->FindValueByNumber(static_cast<int>(value)) != nullptr;
}

bool reachesUncached(const pb::Descriptor* type, std::set<const pb::Descriptor*>& seen) {
    if (!seen.insert(type).second) return false;
    for (int i = 0; i < type->field_count(); ++i) {
        const pb::FieldDescriptor* field = type->field(i);
        if (isRepeatedEnum(field)) return true;
        if (field->type() == pb::FieldDescriptor::TYPE_MESSAGE && !field->is_map() &&
            reachesUncached(field->message_type(), seen)) {
            return true;
        }
    }
    return false;
}

// Whether a message of `type` can hold a repeated enumeration, itself or at any depth; most
// messages (a file chunk's, the secure messages) are passed over at once.
bool reaches(const pb::Descriptor* type) {
    static std::mutex mutex;
    static std::unordered_map<const pb::Descriptor*, bool> known;
    const std::lock_guard lock(mutex);
    const auto found = known.find(type);
    if (found != known.end()) return found->second;
    std::set<const pb::Descriptor*> seen;
    return known[type] = reachesUncached(type, seen);
}

// What one message's bytes held for a repeated enumeration, in order: an undeclared element
// that came alone (0), or a packed run with n undeclared numbers (n).
using Arrivals = std::map<int, std::vector<int>>;

// The bytes that were read into one message (a singular message field may come several times
// and is merged), and those of the messages inside it that may need regrouping.
struct Scan {
    Arrivals arrivals;
    std::map<const pb::FieldDescriptor*, std::vector<ByteView>> singular;
    std::map<const pb::FieldDescriptor*, std::vector<ByteView>> repeated;  // one per element
};

std::size_t undeclaredInRun(const pb::FieldDescriptor* field, ByteView run) {
    pb::io::CodedInputStream input(run.data(), static_cast<int>(run.size()));
    std::size_t count = 0;
    std::uint64_t value = 0;
    while (input.BytesUntilLimit() != 0 && input.ReadVarint64(&value)) {
        if (!declared(field, value)) ++count;
    }
    return count;
}

bool scan(const pb::Descriptor* type, ByteView bytes, Scan& out) {
    pb::io::CodedInputStream input(bytes.data(), static_cast<int>(bytes.size()));
    std::map<const pb::OneofDescriptor*, const pb::FieldDescriptor*> oneofMember;
    while (const std::uint32_t tag = input.ReadTag()) {
        const pb::FieldDescriptor* field = type->FindFieldByNumber(WireFormatLite::GetTagFieldNumber(tag));
        const auto wireType = WireFormatLite::GetTagWireType(tag);
        if (field && isRepeatedEnum(field) && wireType == WireFormatLite::WIRETYPE_VARINT) {
            std::uint64_t value = 0;
            if (!input.ReadVarint64(&value)) return false;
            if (!declared(field, value)) out.arrivals[field->number()].push_back(0);
            continue;
        }
        const bool lengthDelimited = wireType == WireFormatLite::WIRETYPE_LENGTH_DELIMITED;
        const bool message = field && lengthDelimited && field->type() == pb::FieldDescriptor::TYPE_MESSAGE;
        // Another member of a oneof replaces the one before, and what it had read.
        if (message && field->containing_oneof()) {
            const pb::FieldDescriptor*& last = oneofMember[field->containing_oneof()];
            if (last && last != field) out.singular.erase(last);
            last = field;
        }
        const bool enumRun = field && isRepeatedEnum(field) && lengthDelimited;
        const bool inner = message && !field->is_map() && reaches(field->message_type());
        if (!enumRun && !inner) {
            if (!WireFormatLite::SkipField(&input, tag)) return false;
            continue;
        }
        std::uint32_t length = 0;
        if (!input.ReadVarint32(&length)) return false;
        const auto at = static_cast<std::size_t>(input.CurrentPosition());
        if (length > bytes.size() - at || !input.Skip(static_cast<int>(length))) return false;
        const ByteView value = bytes.subspan(at, length);
        if (enumRun) {
            if (const std::size_t count = undeclaredInRun(field, value)) {
                out.arrivals[field->number()].push_back(static_cast<int>(count));
            }
        } else if (field->is_repeated()) {
            out.repeated[field].push_back(value);
        } else {
            out.singular[field].push_back(value);
        }
    }
    return input.ConsumedEntireMessage();
}

// The packed field for the undeclared numbers of one run, from the varint fields protobuf
// made of them.
void addRun(pb::UnknownFieldSet& out, const pb::UnknownFieldSet& from, int first, int count) {
    std::string values;
    for (int i = first; i < first + count; ++i) {
        std::uint8_t varint[10];
        const auto* end = pb::io::CodedOutputStream::WriteVarint64ToArray(from.field(i).varint(), varint);
        values.append(reinterpret_cast<const char*>(varint), static_cast<std::size_t>(end - varint));
    }
    out.AddLengthDelimited(from.field(first).number(), values);
}

// Protobuf keeps each undeclared number of a run as a varint field, one after the other, in
// arrival order; those of each run become one packed field. Left as it is when the fields do
// not line up with what the bytes held.
void regroup(pb::UnknownFieldSet& unknown, const Arrivals& arrivals) {
    std::map<int, std::size_t> next;
    pb::UnknownFieldSet regrouped;
    for (int i = 0; i < unknown.field_count(); ++i) {
        const pb::UnknownField& field = unknown.field(i);
        const auto found = arrivals.find(field.number());
        if (found == arrivals.end() || field.type() != pb::UnknownField::TYPE_VARINT) {
            regrouped.AddField(field);
            continue;
        }
        std::size_t& index = next[field.number()];
        if (index >= found->second.size()) return;
        const int count = found->second[index++];
        if (count == 0) {
            regrouped.AddField(field);
            continue;
        }
        if (i + count > unknown.field_count()) return;
        for (int j = i; j < i + count; ++j) {
            const pb::UnknownField& element = unknown.field(j);
            if (element.number() != field.number() || element.type() != pb::UnknownField::TYPE_VARINT) return;
        }
        addRun(regrouped, unknown, i, count);
        i += count - 1;
    }
    for (const auto& [number, list] : arrivals) {
        if (next[number] != list.size()) return;
    }
    unknown.Swap(&regrouped);
}

void gatherPieces(pb::Message& message, const std::vector<ByteView>& pieces) {
    const pb::Descriptor* type = message.GetDescriptor();
    if (!reaches(type)) return;
    Scan found;
    for (const ByteView piece : pieces) {
        if (!scan(type, piece, found)) return;
    }
    const pb::Reflection* reflection = message.GetReflection();
    for (const auto& [field, list] : found.singular) {
        if (reflection->HasField(message, field)) gatherPieces(*reflection->MutableMessage(&message, field), list);
    }
    for (const auto& [field, list] : found.repeated) {
        if (static_cast<std::size_t>(reflection->FieldSize(message, field)) != list.size()) continue;
        for (std::size_t i = 0; i < list.size(); ++i) {
            gatherPieces(*reflection->MutableRepeatedMessage(&message, field, static_cast<int>(i)), {list[i]});
        }
    }
    bool runs = false;
    for (const auto& [number, list] : found.arrivals) {
        for (const int count : list) runs = runs || count > 0;
    }
    if (runs) regroup(*reflection->MutableUnknownFields(&message), found.arrivals);
}

}  // namespace

void gather(pb::Message& message, ByteView bytes) { gatherPieces(message, {bytes}); }

}  // namespace velmo::proto::PackedEnumUnknowns
