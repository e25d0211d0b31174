// A phone found on the local network: its service name, the name to show, where its Quick
// Share service answers, and the endpoint info it advertises.
#pragma once
#include <asio/any_io_executor.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quickshare/EndpointInfo.h"

namespace velmo {

class NetworkStream;

struct QuickSharePhone {
    // Where the service resolved: kept as plain values so a stream never depends on Avahi.
    struct Endpoint {
        std::string address;  // numeric IPv4 or IPv6
        std::uint16_t port = 0;
        int interfaceIndex = 0;  // the scope of an IPv6 link-local address
    };

    std::string id;    // the service name, unique per phone
    std::string name;  // the QR-matched name, else the name in `info`; cleaned
    // Every address the service resolved to on its interface, IPv4 first.
    std::vector<Endpoint> endpoints;
    EndpointInfo info;

    // A new TCP connection to the phone, not started: the caller starts it, which tries the
    // IPv4 endpoints first, then the IPv6 ones, until one answers. Each transfer gets a strand
    // of its own on `executor` (the shared runtime by default).
    std::shared_ptr<NetworkStream> openStream() const;
    std::shared_ptr<NetworkStream> openStream(const asio::any_io_executor& executor) const;

    // Phones are the same when their id and shown name are; hashing uses the id.
    friend bool operator==(const QuickSharePhone& a, const QuickSharePhone& b) {
        return a.id == b.id && a.name == b.name;
    }
};

}  // namespace velmo

template <>
struct std::hash<velmo::QuickSharePhone> {
    std::size_t operator()(const velmo::QuickSharePhone& phone) const noexcept {
        return std::hash<std::string>{}(phone.id);
    }
};
