// The endpoint info a phone puts in its connection request and its TXT record: any bytes
// parse or are refused without harm, and what parses writes back to what it said.
#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"
#include "platform/Utf8.h"
#include "quickshare/EndpointInfo.h"

using namespace velmo;
using velmo::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto info = EndpointInfo::parse(ByteView(data, size));
    if (!info) return 0;
    check(size >= 1 + EndpointInfo::randomSize);
    if (info->name) check(Utf8::isValid(*info->name));
    if (info->qrRecord) check(info->qrRecord->size() <= EndpointInfo::maxQrRecordBytes);

    // Written again (replacements may make the name longer than the record allows, so
    // it is cut on a character boundary), it reads back the same.
    const auto again = EndpointInfo::parse(info->encoded());
    check(again.has_value());
    check(again->deviceType == info->deviceType && again->qrRecord == info->qrRecord);
    check(again->name.has_value() == info->name.has_value());
    if (info->name) check(*again->name == Utf8::prefix(*info->name, EndpointInfo::maxNameBytes));
    return 0;
}
