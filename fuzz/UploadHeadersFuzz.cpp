// What a browser's upload headers become: the length, the percent-decoded file name and the
// safe name the file is saved under (cleaned as names are shown), and the device name from the User-Agent. The input is
// the three header values separated by newlines.
#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"
#include <string_view>

#include "platform/Utf8.h"
#include "transfer/FileNaming.h"
#include "transfer/PeerText.h"
#include "transfer/UploadHeaders.h"

using namespace velmo;
using velmo::fuzz::check;

namespace {

// The next newline-separated piece of `rest`.
std::string_view take(std::string_view& rest) {
    const std::size_t end = rest.find('\n');
    const std::string_view piece = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return piece;
}

// Whether valid UTF-8 `text` holds a C1 control or a character that reorders or breaks the
// text around it.
bool reordersOrBreaks(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        if ((c >= 0x80 && c <= 0x9F) || breaksTextLayout(c)) return true;
        i += length;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const std::string_view length = take(rest);
    const std::string_view name = take(rest);
    const std::string_view agent = rest;

    if (const auto bytes = UploadHeaders::contentLength(length)) {
        check(*bytes >= 0 && length.find_first_not_of("0123456789") == std::string_view::npos);
    }

    if (const auto decoded = UploadHeaders::fileName(name)) {
        check(Utf8::isValid(*decoded));
        check(decoded->size() <= name.size());
        // The name a file is saved under stays one entry of the download folder.
        const std::string safe = FileNaming::safeName(*decoded);
        check(!safe.empty() && safe.size() <= FileNaming::maxNameBytes && Utf8::isValid(safe));
        check(safe.front() != '.' && safe.find('/') == std::string::npos);
        for (const char c : safe) check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
        check(!reordersOrBreaks(safe));
        // Nothing in it shows as nothing: the name the user sees finds the file.
        check(withoutInvisibles(safe) == safe);
    }

    // The device name is shown on a row like a phone's name: bounded, valid, nothing that
    // reorders or breaks the row.
    const std::string device = UploadHeaders::deviceName(agent);
    check(!device.empty() && device.size() <= peerNameLimit && Utf8::isValid(device));
    for (const char c : device) check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    check(!reordersOrBreaks(device));
    check(withoutInvisibles(device) == device);
    return 0;
}
