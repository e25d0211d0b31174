// Throughput of NetworkStream over loopback against plain blocking sockets doing the same:
// 1 GiB in 5 MiB frames, measured in the same run. Goal: ratio >= 0.9.
#include <sched.h>
#include <sys/socket.h>

#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>
#include <chrono>
#include <cstdio>
#include <thread>

#include "bench/BenchCores.h"
#include "bench/CpuTime.h"
#include "platform/Runtime.h"
#include "transfer/NetworkStream.h"

using namespace velmo;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t total = std::size_t{1} << 30;
constexpr std::size_t frame = 5 * 1024 * 1024;
constexpr int rounds = 5;  // best of: other work on a shared machine hits either side

std::size_t frameAt(std::size_t offset) { return std::min(frame, total - offset); }

struct Connection {
    tcp::socket client;
    tcp::socket server;
};

Connection connectLoopback(asio::io_context& io) {
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    tcp::socket client(io);
    client.connect(acceptor.local_endpoint());
    return {std::move(client), acceptor.accept()};
}

// Seconds to move `total` bytes with plain blocking send and receive on two threads.
double blockingRun(asio::io_context& io) {
    auto [client, server] = connectLoopback(io);
    // The socket options NetworkStream sets, so only the code around the sockets differs.
    client.set_option(tcp::no_delay(true));
    server.set_option(tcp::no_delay(true));
    const int out = client.native_handle();
    const int in = server.native_handle();
    const Bytes sendBuffer(frame, 0x5a);
    Bytes receiveBuffer(frame);
    const auto begin = Clock::now();
    std::thread writer([&] {
        for (std::size_t sent = 0; sent < total; sent += frameAt(sent)) {
            for (std::size_t done = 0; done < frameAt(sent);) {
                const ssize_t n = ::send(out, sendBuffer.data() + done, frameAt(sent) - done, 0);
                if (n <= 0) std::abort();
                done += static_cast<std::size_t>(n);
            }
        }
    });
    // Reads whatever has arrived, as the stream does: faster here than one MSG_WAITALL call
    // per frame, so the ceiling stays a ceiling.
    for (std::size_t got = 0; got < total; got += frameAt(got)) {
        for (std::size_t done = 0; done < frameAt(got);) {
            const ssize_t n = ::recv(in, receiveBuffer.data() + done, frameAt(got) - done, 0);
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
    }
    const auto end = Clock::now();
    writer.join();
    return std::chrono::duration<double>(end - begin).count();
}

// The same through a pair of NetworkStreams, each running on its own strand of the runtime.
double streamRun(asio::io_context& io, Runtime& runtime) {
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    auto client = NetworkStream::outgoing({acceptor.local_endpoint()}, runtime.executor());
    auto started = asio::co_spawn(client->executor(), client->start(std::chrono::seconds(5)),
                                  asio::use_future);
    auto server = NetworkStream::accepted(acceptor.accept(), runtime.executor());
    started.get();
    asio::co_spawn(server->executor(), server->start(std::chrono::seconds(5)), asio::use_future).get();

    const Bytes out(frame, 0x5a);
    Bytes in(frame);  // one buffer for every read, as the connection's reader keeps one
    const auto begin = Clock::now();
    auto writing = asio::co_spawn(
        client->executor(),
        [&]() -> asio::awaitable<void> {
            for (std::size_t sent = 0; sent < total; sent += frameAt(sent)) {
                co_await client->write(ByteView(out.data(), frameAt(sent)));
            }
        },
        asio::use_future);
    auto reading = asio::co_spawn(
        server->executor(),
        [&]() -> asio::awaitable<void> {
            for (std::size_t got = 0; got < total; got += frameAt(got)) {
                co_await server->readExactlyInto(std::span<std::uint8_t>(in).first(frameAt(got)));
            }
        },
        asio::use_future);
    reading.get();
    const auto end = Clock::now();
    writing.get();
    client->close();
    server->close();
    return std::chrono::duration<double>(end - begin).count();
}

struct Figures {
    double wall = 1e9;
    double cpu = 1e9;
};

template <class Run>
void measure(Figures& best, Run run) {
    const double cpuBefore = bench::cpuSeconds();
    best.wall = std::min(best.wall, run());
    best.cpu = std::min(best.cpu, bench::cpuSeconds() - cpuBefore);
}


}  // namespace

int main() {
    bench::printCores();
    std::printf("moving %zu MiB in %zu MiB frames over loopback, best of %d rounds\n", total >> 20,
                frame >> 20, rounds);
    asio::io_context io;  // blocking sockets only; never run
    Runtime runtime(2);
    Figures blocking, stream;
    for (int i = 0; i < rounds; ++i) {
        measure(blocking, [&] { return blockingRun(io); });
        measure(stream, [&] { return streamRun(io, runtime); });
    }
    const double gib = static_cast<double>(total) / (1 << 30);
    std::printf("blocking sockets (ceiling): %.2f GiB/s, %.2f CPU s per GiB\n", gib / blocking.wall,
                blocking.cpu / gib);
    std::printf("NetworkStream:              %.2f GiB/s, %.2f CPU s per GiB\n", gib / stream.wall,
                stream.cpu / gib);
    const double ratio = blocking.wall / stream.wall;
    std::printf("ratio: %.3f (goal >= 0.9: %s); CPU ratio %.3f\n", ratio, ratio >= 0.9 ? "met" : "NOT met",
                blocking.cpu / stream.cpu);
    return 0;
}
