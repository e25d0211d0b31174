// HttpTransport over libcurl: https only, no redirects, no cookies, no caches, no decoding.
#pragma once
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "updatecore/HttpTransport.h"

namespace velmo {

class CurlTransport : public HttpTransport {
public:
    struct Timeouts {
        std::chrono::milliseconds connect{30'000};
        std::chrono::milliseconds idle{30'000};      // longest stretch without a byte
        std::chrono::milliseconds resource{60'000};  // whole transfer
    };

    // The options every request gets; fixed here so the safety settings have one home.
    struct Options {
        std::string protocols;        // allowed schemes
        std::string redirectProtocols;
        bool followRedirects = true;
        long maxRedirects = -1;
        bool verifyPeer = false;
        long verifyHost = 0;
        bool cookies = true;
        bool decodeContent = true;
        bool signals = true;
        Timeouts timeouts;
        std::filesystem::path caFile;  // empty: the system's certificate authorities
    };
    static Options optionsFor(const Timeouts& timeouts);

    CurlTransport();
    explicit CurlTransport(Timeouts timeouts);
    // Trusts only the authorities in `caFile` (PEM) instead of the system's. For tests with an
    // authority of their own; peer and host verification stay on.
    CurlTransport(Timeouts timeouts, std::filesystem::path caFile);

    Outcome get(const std::string& url, const std::string& accept, std::int64_t limit, HttpSink& sink,
                const std::atomic<bool>& cancel) override;

private:
    Timeouts timeouts_;
    std::filesystem::path caFile_;
};

}  // namespace velmo
