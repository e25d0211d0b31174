// Time of one full connection handshake (both roles in this process) over loopback TCP:
// the median of 1,000 handshakes, next to the two bare round trips of small frames that any
// handshake needs, measured in the same run.
// Goal: median over loopback <= 2 ms.
#include <sched.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/read.hpp>
#include <asio/use_future.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench/BenchCores.h"
#include "platform/Runtime.h"
#include "quickshare/QuickShareConnection.h"
#include "quickshare/Ukey2ClientHandshake.h"
#include "quickshare/Ukey2ServerHandshake.h"
#include "transfer/NetworkStream.h"

using namespace velmo;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int handshakes = 1000;
constexpr int warmUp = 20;

const EndpointInfo computer{EndpointInfo::DeviceType::laptop, std::string("Bench"), std::nullopt};

// One handshake between two connections over `client` and `server`, in seconds.
double handshake(std::shared_ptr<ByteStream> clientStream, std::shared_ptr<ByteStream> serverStream) {
    auto client = QuickShareConnection::create(clientStream);
    auto server = QuickShareConnection::create(serverStream);
    const auto begin = Clock::now();
    auto serverDone = asio::co_spawn(serverStream->executor(), serverHandshakeWithTimeout(server),
                                     asio::use_future);
    auto clientDone = asio::co_spawn(clientStream->executor(),
                                     clientHandshakeWithTimeout(client, computer, "Bench"), asio::use_future);
    const std::string pin = clientDone.get();
    const std::string serverPin = serverDone.get().pin;
    const auto end = Clock::now();
    if (pin != serverPin) {
        std::fprintf(stderr, "the two sides disagree on the PIN\n");
        std::exit(1);
    }
    client->close();
    server->close();
    return std::chrono::duration<double>(end - begin).count();
}

std::pair<std::shared_ptr<NetworkStream>, std::shared_ptr<NetworkStream>> loopbackPair(tcp::acceptor& acceptor,
                                                                                      Runtime& runtime) {
    auto outgoing = NetworkStream::outgoing({acceptor.local_endpoint()}, runtime.executor());
    auto started = asio::co_spawn(outgoing->executor(), outgoing->start(std::chrono::seconds(5)), asio::use_future);
    auto incoming = NetworkStream::accepted(acceptor.accept(), runtime.executor());
    started.get();
    asio::co_spawn(incoming->executor(), incoming->start(std::chrono::seconds(5)), asio::use_future).get();
    return {outgoing, incoming};
}

// Two round trips of 100-byte frames with blocking sockets: the network floor of a handshake.
double bareRoundTrips(asio::io_context& io, tcp::acceptor& acceptor) {
    tcp::socket client(io);
    client.connect(acceptor.local_endpoint());
    tcp::socket server = acceptor.accept();
    client.set_option(tcp::no_delay(true));
    server.set_option(tcp::no_delay(true));
    std::uint8_t buffer[100] = {};
    const auto begin = Clock::now();
    std::thread peer([&] {
        for (int i = 0; i < 2; ++i) {
            asio::read(server, asio::buffer(buffer));
            asio::write(server, asio::buffer(buffer));
        }
    });
    std::uint8_t mine[100] = {};
    for (int i = 0; i < 2; ++i) {
        asio::write(client, asio::buffer(mine));
        asio::read(client, asio::buffer(mine));
    }
    const auto end = Clock::now();
    peer.join();
    return std::chrono::duration<double>(end - begin).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}


}  // namespace

int main() {
    bench::printCores();
    Runtime runtime(2);
    asio::io_context io;  // blocking sockets only; never run
    tcp::acceptor acceptor(runtime.context(), tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    tcp::acceptor bareAcceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));

    std::vector<double> loopback, bare;
    for (int i = 0; i < warmUp + handshakes; ++i) {
        auto [client, server] = loopbackPair(acceptor, runtime);
        const double seconds = handshake(client, server);
        if (i >= warmUp) loopback.push_back(seconds);
        bare.push_back(bareRoundTrips(io, bareAcceptor));
    }
    std::printf("%d handshakes over loopback TCP (client and server in this process)\n", handshakes);
    std::printf("bare two round trips (floor):  median %.3f ms\n", median(bare) * 1e3);
    const double result = median(loopback);
    std::printf("handshake over loopback:       median %.3f ms, p90 %.3f ms\n", result * 1e3,
                percentile(loopback, 0.9) * 1e3);
    std::printf("goal: median <= 2 ms: %s\n", result <= 0.002 ? "met" : "NOT met");
    return 0;
}
