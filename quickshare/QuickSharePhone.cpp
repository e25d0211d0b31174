#include "quickshare/QuickSharePhone.h"

#include <asio/ip/address.hpp>

#include <algorithm>

#include "platform/Runtime.h"
#include "transfer/NetworkStream.h"

namespace velmo {

std::shared_ptr<NetworkStream> QuickSharePhone::openStream() const {
    return openStream(Runtime::shared().executor());
}

std::shared_ptr<NetworkStream> QuickSharePhone::openStream(const asio::any_io_executor& executor) const {
    std::vector<NetworkStream::Endpoint> dialled;
    for (const Endpoint& endpoint : endpoints) {
        std::error_code error;
        asio::ip::address address = asio::ip::make_address(endpoint.address, error);
        if (error) continue;
        if (address.is_v6() && address.to_v6().is_link_local()) {
            // A link-local address means nothing without the interface it was seen on.
            auto v6 = address.to_v6();
            v6.scope_id(static_cast<unsigned long>(endpoint.interfaceIndex));
            address = v6;
        }
        dialled.emplace_back(address, endpoint.port);
    }
    std::stable_partition(dialled.begin(), dialled.end(),
                          [](const NetworkStream::Endpoint& e) { return e.address().is_v4(); });
    // No usable address leaves nothing to try: starting the stream then reports the phone as
    // unreachable.
    return NetworkStream::outgoing(std::move(dialled), executor);
}

}  // namespace velmo
