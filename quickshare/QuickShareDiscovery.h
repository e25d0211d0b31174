// Finds the phones that offer Quick Share on the local network: browses the Quick Share
// service type over Avahi, reads each service's endpoint info from TXT "n", filters, and
// reports the sorted list; phones matching the running QR send are reported on their own.
#pragma once
#include <asio/any_io_executor.hpp>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "quickshare/QRCodeSession.h"
#include "quickshare/QuickSharePhone.h"

namespace velmo {

class QuickShareDiscovery {
public:
    static constexpr const char* serviceType = "_FC9F5ED42C8A._tcp";
    // Services followed at once: a flood of published services cannot grow without bound.
    static constexpr std::size_t defaultMaxServices = 256;

    // With `mobileDevicesOnly`, laptops, cars and XR devices are left out, and devices of
    // unknown type are kept only when they match the QR session. Every rebuild of the list
    // and every callback runs on one strand of `executor`, so an older list never arrives
    // after a newer one.
    explicit QuickShareDiscovery(bool mobileDevicesOnly);
    QuickShareDiscovery(bool mobileDevicesOnly, asio::any_io_executor executor,
                        std::size_t maxServices = defaultMaxServices);
    // Stops browsing; no callback runs once it returns.
    ~QuickShareDiscovery();
    QuickShareDiscovery(const QuickShareDiscovery&) = delete;
    QuickShareDiscovery& operator=(const QuickShareDiscovery&) = delete;

    // Set before start(); start() takes the values in place then. They run on the
    // discovery's strand, never on the caller's thread, and must hop to the GUI themselves.
    std::function<void(std::vector<QuickSharePhone>)> onPhones;  // the whole sorted list
    std::function<void(QuickSharePhone)> onQRMatch;  // each matching phone, once per rebuild
    std::function<void(std::string)> onError;        // user-facing text of a browse failure

    // Starts browsing; does nothing while browsing, even after a failure (stop() and start()
    // try again).
    void start();
    // Stops browsing and reports nothing more; no callback runs once it returns. The list is
    // not reported empty: the caller clears its own.
    void stop();
    // Replaces the service names never reported (this computer's own), then rebuilds.
    void ignore(std::set<std::string> serviceNames);
    // Sets or clears the QR session phones are matched against, then rebuilds, so a phone
    // already visible is matched at once.
    void setQRSession(std::optional<QRCodeSession> session);

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace velmo
