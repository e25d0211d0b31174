// The HTTP client behind an update request. The application uses CurlTransport; tests put a
// loopback client in its place.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "platform/Bytes.h"

namespace velmo {

struct HttpResponseHead {
    std::string url;               // the address the response belongs to; empty when unknown
    bool isHttp = true;
    int status = 0;
    std::int64_t contentLength = -1;  // -1 when not announced
};

// Receives one response as it arrives. Returning false from either call stops the transfer.
class HttpSink {
public:
    virtual ~HttpSink() = default;
    virtual bool onHead(const HttpResponseHead& head) = 0;
    virtual bool onBody(ByteView chunk) = 0;
};

class HttpTransport {
public:
    enum class Outcome { completed, stopped, cancelled, failed };

    virtual ~HttpTransport() = default;

    // One GET of url with the given "Accept" header, never following a redirect. Blocks until
    // the transfer ends; `cancel` becoming true ends it early with `cancelled`.
    virtual Outcome get(const std::string& url, const std::string& accept, std::int64_t limit,
                        HttpSink& sink, const std::atomic<bool>& cancel) = 0;
};

}  // namespace velmo
