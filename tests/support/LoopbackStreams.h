// Two NetworkStreams joined over 127.0.0.1, for tests and benchmarks that need real TCP.
#pragma once
#include <asio/any_io_executor.hpp>
#include <memory>

#include "transfer/NetworkStream.h"

namespace velmo::test {

struct LoopbackStreams {
    std::shared_ptr<NetworkStream> outgoing;  // started, as a sender's stream
    std::shared_ptr<NetworkStream> accepted;  // as the listener handed it over (not started)

    // Listens on an ephemeral loopback port, connects to it and accepts; each stream gets
    // its own strand on `executor`. Blocks until both ends stand.
    static LoopbackStreams open(asio::any_io_executor executor);
};

}  // namespace velmo::test
