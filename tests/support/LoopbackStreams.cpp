#include "support/LoopbackStreams.h"

#include <asio/co_spawn.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_future.hpp>
#include <chrono>

namespace velmo::test {

LoopbackStreams LoopbackStreams::open(asio::any_io_executor executor) {
    using asio::ip::tcp;
    tcp::acceptor acceptor(executor, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    LoopbackStreams streams;
    streams.outgoing = NetworkStream::outgoing({acceptor.local_endpoint()}, executor);
    auto started = asio::co_spawn(streams.outgoing->executor(),
                                  streams.outgoing->start(std::chrono::seconds(5)), asio::use_future);
    tcp::socket socket(executor);
    acceptor.accept(socket);
    started.get();
    streams.accepted = NetworkStream::accepted(std::move(socket), executor);
    return streams;
}

}  // namespace velmo::test
