#include "transfer/LocalNetwork.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>

namespace velmo::LocalNetwork {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Lower is better.
int rank(std::string_view name, std::string_view defaultRoute) {
    if (isVirtual(name)) return 3;
    if (!defaultRoute.empty() && name == defaultRoute) return 0;
    if (startsWith(name, "wl")) return 1;
    return 2;
}

std::vector<InterfaceAddress> systemAddresses() {
    std::vector<InterfaceAddress> entries;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return entries;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        std::array<char, NI_MAXHOST> host{};
        if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host.data(), host.size(), nullptr, 0,
                        NI_NUMERICHOST) != 0) {
            continue;
        }
        entries.push_back({entry->ifa_name ? entry->ifa_name : "", host.data(), entry->ifa_flags});
    }
    freeifaddrs(list);
    return entries;
}

std::string readRoutes() {
    std::ifstream in("/proc/net/route");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::optional<std::string> ipv4() { return choose(systemAddresses(), defaultRouteInterface(readRoutes())); }

std::optional<std::string> choose(const std::vector<InterfaceAddress>& entries,
                                  std::string_view defaultRouteInterface) {
    const InterfaceAddress* best = nullptr;
    int bestRank = std::numeric_limits<int>::max();
    for (const auto& entry : entries) {
        if ((entry.flags & IFF_UP) == 0 || (entry.flags & IFF_LOOPBACK) != 0) continue;
        if (!isPrivate(entry.address)) continue;
        const int r = rank(entry.name, defaultRouteInterface);
        if (r < bestRank) {
            best = &entry;
            bestRank = r;
        }
    }
    if (best == nullptr) return std::nullopt;
    return best->address;
}

bool isPrivate(std::string_view address) {
    std::vector<std::int64_t> numbers;
    while (!address.empty()) {
        const auto dot = address.find('.');
        const auto piece = address.substr(0, dot);
        address = dot == std::string_view::npos ? std::string_view{} : address.substr(dot + 1);
        std::int64_t value = 0;
        const auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
        if (piece.empty() || ec != std::errc{} || end != piece.data() + piece.size()) continue;
        numbers.push_back(value);
    }
    if (numbers.size() != 4) return false;
    return numbers[0] == 10 || (numbers[0] == 192 && numbers[1] == 168) ||
           (numbers[0] == 172 && numbers[1] >= 16 && numbers[1] <= 31);
}

bool isVirtual(std::string_view name) {
    static constexpr std::string_view prefixes[] = {
        "docker", "br-",  "virbr", "veth",    "vnet",   "tun",       "tap",    "wg",
        "zt",     "lxcbr", "lxdbr", "vboxnet", "vmnet", "tailscale", "podman", "cni"};
    for (auto prefix : prefixes) {
        if (startsWith(name, prefix)) return true;
    }
    return false;
}

std::string defaultRouteInterface(std::string_view procNetRoute) {
    constexpr unsigned long routeUp = 0x1;  // RTF_UP
    std::istringstream lines{std::string(procNetRoute)};
    std::string line;
    std::getline(lines, line);  // column titles
    std::string best;
    unsigned long bestMetric = std::numeric_limits<unsigned long>::max();
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refCount, use, metric, mask;
        if (!(fields >> name >> destination >> gateway >> flags >> refCount >> use >> metric >> mask)) {
            continue;
        }
        if (destination != "00000000" || mask != "00000000") continue;
        try {
            if ((std::stoul(flags, nullptr, 16) & routeUp) == 0) continue;
            const unsigned long m = std::stoul(metric);
            if (best.empty() || m < bestMetric) {
                best = name;
                bestMetric = m;
            }
        } catch (const std::exception&) {
            continue;  // a malformed line
        }
    }
    return best;
}

}  // namespace velmo::LocalNetwork
