// Browses one DNS-SD service type through the system avahi-daemon and keeps every result
// resolved, so changes of a service's address or TXT record are seen as they happen.
#pragma once
#include <asio/any_io_executor.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/AvahiService.h"

namespace velmo {

class AvahiBrowser {
public:
    struct Events {
        // The complete current set of resolved services after every change, one per service
        // name and interface with every address it resolved to there (IPv4 first). A service
        // is listed once each of its lookups has answered (or failed), and one announced over
        // a single protocol only after `settle`, so the first listing has all its addresses.
        std::function<void(std::vector<AvahiResolvedService>)> onResults;
        // Browsing failed; the text is a short user-facing clause.
        std::function<void(std::string)> onFailure;
    };

    // How long a service announced over one protocol only waits for the other before it is
    // listed: the second announcement usually follows within milliseconds.
    static constexpr std::chrono::milliseconds defaultSettle{200};

    // Connects to the daemon and browses every interface. Throws AvahiError when the daemon
    // cannot be reached. At most `maxResults` browse results are followed at once; further
    // ones are ignored until others go away. Events are posted to `executor` (a strand);
    // destroy the browser on that executor and no event arrives after it is gone. When the
    // daemon restarts, the results are cleared and browsing resumes once it is back.
    AvahiBrowser(asio::any_io_executor executor, std::string type, std::size_t maxResults, Events events,
                 std::chrono::milliseconds settle = defaultSettle);
    ~AvahiBrowser();
    AvahiBrowser(const AvahiBrowser&) = delete;
    AvahiBrowser& operator=(const AvahiBrowser&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmo
