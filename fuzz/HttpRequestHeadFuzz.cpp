// Feeds arbitrary bytes to the web receive server's request-head parser and header readers.
#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"
#include "transfer/HttpRequestHead.h"
#include "transfer/UploadHeaders.h"

using namespace velmo;
using velmo::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView bytes(data, size);
    const auto whole = HttpRequestHead::scan(bytes);

    // Scanning in two reads finds what one scan of everything finds.
    const std::size_t split = size / 2;
    const auto first = HttpRequestHead::scan(bytes.first(split));
    if (first.state == HttpRequestHead::Scan::State::incomplete) {
        const auto second = HttpRequestHead::scan(bytes, split);
        check(second.state == whole.state && second.end == whole.end);
    }

    if (whole.state == HttpRequestHead::Scan::State::complete) {
        check(whole.end + 4 <= HttpRequestHead::limit);
        if (const auto request = HttpRequestHead::parse(bytes, whole.end)) {
            check(request->leftover.size() == size - whole.end - 4);
            check(!request->method.empty());
            for (const auto& [name, value] : request->headers) {
                for (const char c : name) check(c < 'A' || c > 'Z');
                UploadHeaders::contentLength(value);
                UploadHeaders::fileName(value);
                UploadHeaders::deviceName(value);
            }
        }
    }
    HttpRequestHead::parseTarget(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
