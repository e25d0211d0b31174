// Dialling a phone found on the network, in a network namespace of the test's own whose
// loopback also carries an IPv6 link-local address.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Runtime.h"
#include "quickshare/QuickSharePhone.h"
#include "support/AsyncTest.h"
#include "transfer/NetworkStream.h"

namespace velmo {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

// Dials `endpoints` and says which listener took the connection, or why none did.
std::string answeredBy(const std::vector<QuickSharePhone::Endpoint>& endpoints, tcp::acceptor& ipv4,
                       tcp::acceptor& linkLocal) {
    Runtime runtime{1};
    const QuickSharePhone phone{"phone-id", "Pixel", endpoints, EndpointInfo(EndpointInfo::DeviceType::phone, "Pixel")};
    auto stream = phone.openStream(runtime.executor());
    std::string answer = "nobody";
    try {
        test::await(runtime.executor(), stream->start(5s));
        std::error_code error;
        if (tcp::socket taken = ipv4.accept(error); !error) answer = "IPv4";
        if (tcp::socket taken = linkLocal.accept(error); !error) answer = "link-local";
    } catch (const std::exception& failure) {
        answer = std::string("failed (") + failure.what() + ")";
    }
    stream->close();
    return answer;
}

// In a child process: dials a phone listed IPv6 first, then one with its link-local address
// alone, prints who answered each and exits.
[[noreturn]] void dialInANetworkOfOurOwn() {
    if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up && ip -6 addr add fe80::1/64 dev lo nodad") != 0)
        std::exit(2);
    asio::io_context io;
    tcp::acceptor ipv4(io, {asio::ip::make_address("127.0.0.1"), 0});
    tcp::acceptor linkLocal(io, {asio::ip::make_address("fe80::1%lo"), 0});
    ipv4.non_blocking(true);
    linkLocal.non_blocking(true);
    const int lo = int(if_nametoindex("lo"));
    const QuickSharePhone::Endpoint v6{"fe80::1", linkLocal.local_endpoint().port(), lo};
    const QuickSharePhone::Endpoint v4{"127.0.0.1", ipv4.local_endpoint().port(), lo};
    // Avahi may resolve the IPv6 address first; both listen, so the first dialled wins.
    const std::string both = answeredBy({v6, v4}, ipv4, linkLocal);
    const std::string alone = answeredBy({v6}, ipv4, linkLocal);
    std::fprintf(stderr, "both: %s, link-local alone: %s\n", both.c_str(), alone.c_str());
    std::exit(0);
}

TEST(QuickSharePhoneIntegration, DialsIPv4FirstAndALinkLocalAddressOnTheInterfaceItWasSeenOn) {
    EXPECT_EXIT(dialInANetworkOfOurOwn(), ::testing::ExitedWithCode(0), "both: IPv4, link-local alone: link-local");
}

}  // namespace
}  // namespace velmo
