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

// Most unknown fields regrouped in one message. A sender writes a packed field as one run, and
// phones add a few fields we do not know; thousands of undeclared numbers only come from a
// peer making us work. Past this many the numbers stay as protobuf keeps them, one varint
// field each, so regrouping never costs more than a scan of the bytes and a few thousand
// fields.
constexpr std::size_t kMaxFields = 4096;

// The undeclared numbers one message's bytes held for one repeated enumeration: how many in
// all (protobuf keeps each as one varint field, in arrival order), and where the packed runs
// among them begin.
struct Arrivals {
    struct Run {
        std::size_t first;  // index among the field's undeclared numbers
        std::size_t count;
    };
    int number = 0;
    std::size_t total = 0;
    std::vector<Run> runs;
};

// The bytes that were read into one message (a singular message field may come several times
// and is merged), and those of the messages inside it that may need regrouping.
struct Scan {
    std::vector<Arrivals> enums;  // one per repeated enumeration met: a message has few
    std::size_t runs = 0;
    std::map<const pb::FieldDescriptor*, std::vector<ByteView>> singular;
    std::map<const pb::FieldDescriptor*, std::vector<ByteView>> repeated;  // one per element

    Arrivals& arrivalsOf(int number) {
        for (Arrivals& arrivals : enums)
            if (arrivals.number == number) return arrivals;
        enums.push_back(Arrivals{number, 0, {}});
        return enums.back();
    }
};

// The undeclared numbers of one packed run; a run that ends inside a varint ends there, as
// protobuf's own reading of it does.
std::size_t undeclaredInRun(const pb::FieldDescriptor* field, ByteView run) {
    std::size_t count = 0;
    std::uint64_t value = 0;
    int shift = 0;
    for (const std::uint8_t byte : run) {
        if (shift < 64) value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        shift += 7;
        if (byte & 0x80) {
            if (shift >= 70) return count;  // longer than a varint can be
            continue;
        }
        if (!declared(field, value)) ++count;
        value = 0;
        shift = 0;
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
            if (!declared(field, value)) ++out.arrivalsOf(field->number()).total;
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
                Arrivals& arrivals = out.arrivalsOf(field->number());
                if (++out.runs <= kMaxFields) arrivals.runs.push_back({arrivals.total, count});
                arrivals.total += count;
            }
        } else if (field->is_repeated()) {
            out.repeated[field].push_back(value);
        } else {
            out.singular[field].push_back(value);
        }
    }
    return input.ConsumedEntireMessage();
}

// Protobuf keeps each undeclared number of a run as a varint field, one after the other, in
// arrival order; those of each run become one packed field. One pass over the fields; left
// as it is when the fields do not line up with what the bytes held.
void regroup(pb::UnknownFieldSet& unknown, const std::vector<Arrivals>& enums) {
    struct Progress {
        std::size_t seen = 0;  // undeclared numbers passed
        std::size_t nextRun = 0;
    };
    std::vector<Progress> progress(enums.size());
    pb::UnknownFieldSet regrouped;
    const int total = unknown.field_count();
    for (int i = 0; i < total; ++i) {
        const pb::UnknownField& field = unknown.field(i);
        std::size_t e = 0;
        while (e < enums.size() && enums[e].number != field.number()) ++e;
        if (e == enums.size() || field.type() != pb::UnknownField::TYPE_VARINT) {
            regrouped.AddField(field);
            continue;
        }
        Progress& at = progress[e];
        const auto& runs = enums[e].runs;
        if (at.nextRun == runs.size() || runs[at.nextRun].first != at.seen) {
            regrouped.AddField(field);
            ++at.seen;
            continue;
        }
        const std::size_t count = runs[at.nextRun++].count;
        if (count > static_cast<std::size_t>(total - i)) return;
        std::string& values = *regrouped.AddLengthDelimited(field.number());
        for (int j = i; j < i + static_cast<int>(count); ++j) {
            const pb::UnknownField& element = unknown.field(j);
            if (element.number() != field.number() || element.type() != pb::UnknownField::TYPE_VARINT) return;
            std::uint8_t varint[10];
            const auto* end = pb::io::CodedOutputStream::WriteVarint64ToArray(element.varint(), varint);
            values.append(reinterpret_cast<const char*>(varint), static_cast<std::size_t>(end - varint));
        }
        at.seen += count;
        i += static_cast<int>(count) - 1;
    }
    for (std::size_t e = 0; e < enums.size(); ++e) {
        if (progress[e].seen != enums[e].total || progress[e].nextRun != enums[e].runs.size()) return;
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
    pb::UnknownFieldSet& unknown = *reflection->MutableUnknownFields(&message);
    // Every run holds at least one of the fields, so no run went unrecorded below the bound.
    if (found.runs > 0 && static_cast<std::size_t>(unknown.field_count()) <= kMaxFields) regroup(unknown, found.enums);
}

}  // namespace

void gather(pb::Message& message, ByteView bytes) { gatherPieces(message, {bytes}); }

}  // namespace velmo::proto::PackedEnumUnknowns
