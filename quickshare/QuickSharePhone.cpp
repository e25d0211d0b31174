#include "quickshare/QuickSharePhone.h"

#include <asio/ip/address.hpp>

#include "platform/Runtime.h"
#include "transfer/NetworkStream.h"

namespace velmo {

std::shared_ptr<NetworkStream> QuickSharePhone::openStream() const {
    return openStream(Runtime::shared().executor());
}

std::shared_ptr<NetworkStream> QuickSharePhone::openStream(const asio::any_io_executor& executor) const {
    std::vector<NetworkStream::Endpoint> endpoints;
    std::error_code error;
    asio::ip::address address = asio::ip::make_address(endpoint.address, error);
    if (!error) {
        if (address.is_v6() && address.to_v6().is_link_local()) {
            // A link-local address means nothing without the interface it was seen on.
            auto v6 = address.to_v6();
            v6.scope_id(static_cast<unsigned long>(endpoint.interfaceIndex));
            address = v6;
        }
        endpoints.emplace_back(address, endpoint.port);
    }
    // An unusable address leaves nothing to try: starting the stream then reports the phone
    // as unreachable.
    return NetworkStream::outgoing(std::move(endpoints), executor);
}

}  // namespace velmo
