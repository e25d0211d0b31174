// This computer's private IPv4 address on the local network, for the web receive link.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::LocalNetwork {

// One IPv4 address of an interface, as the system lists it.
struct InterfaceAddress {
    std::string name;     // e.g. "wlp2s0"
    std::string address;  // numeric text, e.g. "192.168.1.20"
    unsigned flags = 0;   // IFF_* flags of the interface
};

// The private address to offer phones, or nothing when this computer has none.
std::optional<std::string> ipv4();

// Among interfaces that are up, not loopback and hold a private address, in the system's
// order: the default route's interface, then wireless (wl*), then other physical ones, then
// virtual bridges and tunnels (docker0, virbr0, br-*, veth*, tun*, wg*, ...).
std::optional<std::string> choose(const std::vector<InterfaceAddress>& entries,
                                  std::string_view defaultRouteInterface);

// Whether dotted text lies in 10/8, 172.16/12 or 192.168/16.
bool isPrivate(std::string_view address);

// Whether a name is that of a virtual bridge, container link or tunnel.
bool isVirtual(std::string_view name);

// The interface of the IPv4 default route with the lowest metric, from the text of
// /proc/net/route; empty when there is none.
std::string defaultRouteInterface(std::string_view procNetRoute);

}  // namespace velmo::LocalNetwork
