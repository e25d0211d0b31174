#include <gtest/gtest.h>
#include <net/if.h>

#include "transfer/LocalNetwork.h"

namespace velmo {
namespace {

using LocalNetwork::InterfaceAddress;

constexpr unsigned up = IFF_UP | IFF_RUNNING | IFF_BROADCAST | IFF_MULTICAST;
constexpr unsigned down = IFF_BROADCAST | IFF_MULTICAST;
constexpr unsigned loopback = IFF_UP | IFF_RUNNING | IFF_LOOPBACK;

TEST(LocalNetwork, ChoosesTheAddressPhonesCanReach) {
    struct Case {
        const char* name;
        std::vector<InterfaceAddress> entries;
        const char* defaultRoute;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"wireless before wired when no default route",
         {{"enp5s0", "10.1.2.3", up}, {"wlp2s0", "192.168.1.20", up}}, "", "192.168.1.20"},
        {"default route first",
         {{"wlp2s0", "192.168.1.20", up}, {"enp5s0", "10.1.2.3", up}}, "enp5s0", "10.1.2.3"},
        {"wireless link-local only: the next private address",
         {{"wlp2s0", "169.254.7.1", up}, {"enp7s0", "172.20.1.5", up}}, "wlp2s0", "172.20.1.5"},
        {"only a bridge holds a private address",
         {{"wlp2s0", "100.64.1.1", up}, {"docker0", "172.17.0.1", up}}, "wlp2s0", "172.17.0.1"},
        {"bridges and tunnels after physical interfaces",
         {{"docker0", "172.17.0.1", up},
          {"virbr0", "192.168.122.1", up},
          {"br-1a2b3c", "172.18.0.1", up},
          {"veth12ab", "10.200.0.1", up},
          {"tun0", "10.8.0.2", up},
          {"eth0", "192.168.0.40", up}},
         "", "192.168.0.40"},
        {"a tunnel carrying the default route still comes last",
         {{"wg0", "10.66.0.2", up}, {"wlan0", "192.168.1.9", up}}, "wg0", "192.168.1.9"},
        {"several virtual ones: the first in the system's order",
         {{"zt0", "10.147.17.3", up}, {"tap0", "10.0.5.1", up}}, "", "10.147.17.3"},
        {"several physical ones: the first in the system's order",
         {{"enp1s0", "10.0.0.2", up}, {"enp2s0", "10.0.0.3", up}}, "", "10.0.0.2"},
        {"down and loopback interfaces never count",
         {{"lo", "127.0.0.1", loopback}, {"lo", "10.0.0.1", loopback}, {"wlp2s0", "192.168.1.2", down}},
         "wlp2s0", std::nullopt},
        {"a down wireless interface gives way to a wired one",
         {{"wlp2s0", "192.168.1.2", down}, {"eth0", "172.16.0.9", up}}, "", "172.16.0.9"},
        {"only public, link-local, shared and IPv6 addresses",
         {{"eth0", "8.8.8.8", up}, {"wlan0", "169.254.1.1", up}, {"wlan1", "100.64.0.1", up},
          {"eth1", "fe80::1", up}},
         "eth0", std::nullopt},
        {"nothing at all", {}, "", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LocalNetwork::choose(c.entries, c.defaultRoute), c.expected) << c.name;
    }
}

TEST(LocalNetwork, PrivateRanges) {
    struct Case {
        const char* address;
        bool isPrivate;
    };
    const Case cases[] = {
        {"10.0.0.0", true},        {"10.255.255.255", true}, {"192.168.0.1", true},
        {"192.168.255.254", true}, {"172.16.0.1", true},     {"172.31.255.254", true},
        {"172.20.1.5", true},      {"172.15.0.1", false},    {"172.32.0.1", false},
        {"192.169.0.1", false},    {"191.168.0.1", false},   {"11.0.0.1", false},
        {"169.254.1.1", false},    {"100.64.0.1", false},    {"127.0.0.1", false},
        {"8.8.8.8", false},        {"0.0.0.0", false},       {"10.0.0", false},
        {"10.0.0.1.5", false},     {"", false},              {"fe80::1", false},
        {"::ffff:10.0.0.1", false},
    };
    for (const auto& c : cases) EXPECT_EQ(LocalNetwork::isPrivate(c.address), c.isPrivate) << c.address;
}

TEST(LocalNetwork, VirtualInterfaceNames) {
    for (const char* name : {"docker0", "virbr0", "virbr0-nic", "br-0f3e2a", "veth9a8b7c", "tun0",
                             "tap3", "wg0", "ztabcdef", "lxcbr0", "vboxnet0", "vmnet8", "tailscale0"}) {
        EXPECT_TRUE(LocalNetwork::isVirtual(name)) << name;
    }
    for (const char* name : {"eth0", "enp3s0", "eno1", "wlan0", "wlp2s0", "wlx00c0ca", "br0", "usb0"}) {
        EXPECT_FALSE(LocalNetwork::isVirtual(name)) << name;
    }
}

TEST(LocalNetwork, DefaultRouteFromTheRoutingTable) {
    const std::string header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT       \n";
    struct Case {
        const char* name;
        std::string table;
        const char* expected;
    };
    const Case cases[] = {
        {"one default route",
         header + "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0      \n"
                  "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0      \n",
         "eth0"},
        {"the lowest metric wins",
         header + "wlp2s0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                  "enp5s0\t00000000\t0100000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
         "enp5s0"},
        {"a route that is not up is ignored",
         header + "wg0\t00000000\t00000000\t0000\t0\t0\t0\t00000000\t0\t0\t0\n"
                  "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n",
         "wlan0"},
        {"no default route",
         header + "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", ""},
        {"a half route of a split tunnel is not a default route",
         header + "tun0\t00000000\t00000000\t0001\t0\t0\t0\t00000080\t0\t0\t0\n", ""},
        {"malformed lines are skipped",
         header + "garbage\nwlan0\t00000000\t0101A8C0\tzz\t0\t0\t0\t00000000\t0\t0\t0\n"
                  "eth1\t00000000\t0101A8C0\t0003\t0\t0\t5\t00000000\t0\t0\t0\n",
         "eth1"},
        {"header only", header, ""},
        {"empty", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LocalNetwork::defaultRouteInterface(c.table), c.expected) << c.name;
    }
}

TEST(LocalNetwork, TheSystemAnswerIsAPrivateAddressOrNothing) {
    const auto address = LocalNetwork::ipv4();
    if (address) {
        EXPECT_TRUE(LocalNetwork::isPrivate(*address)) << *address;
    }
}

}  // namespace
}  // namespace velmo
