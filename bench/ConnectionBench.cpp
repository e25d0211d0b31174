// One FILE payload (1 GiB by default) from one encrypted connection to another over loopback
// TCP, keys installed directly, against the single-core crypto ceiling measured in the same
// run. The receiver runs in a child process so its peak memory is its own.
// Goals: throughput / ceiling >= 0.75; receiver peak RSS <= 64 MB.
//
//   bench_connection [MiB]            sender (the default)
//   bench_connection --receive FD N   receiver on an inherited listening socket (internal)
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_future.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench/BenchCores.h"
#include "bench/CryptoCeiling.h"
#include "platform/RandomSource.h"
#include "platform/Runtime.h"
#include "quickshare/KeySchedule.h"
#include "quickshare/QuickShareConnection.h"
#include "transfer/NetworkStream.h"

extern char** environ;

using namespace velmo;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Header = location::nearby::connections::PayloadTransferFrame::PayloadHeader;

namespace {

constexpr std::int64_t payloadId = 0x5EC0DE;

// Fixed keys: the schedule of a made-up shared secret, the same in both processes.
SessionKeys benchKeys(bool isClient) {
    const Bytes secret(32, 0x42);
    return KeySchedule::derive(secret, toBytes("client init"), toBytes("server init")).sessionKeys(isClient);
}

// The receiving process: accepts one connection, counts the file bytes, exits when the
// sender says goodbye. Exit status 0 when every byte arrived.
int receive(int listenFd, std::int64_t expected) {
    Runtime runtime(1);
    tcp::acceptor acceptor(runtime.context(), tcp::v4(), listenFd);
    auto stream = NetworkStream::accepted(acceptor.accept(), runtime.executor());
    auto connection = QuickShareConnection::create(stream);
    std::int64_t received = 0;
    bool complete = false;
    auto done = asio::co_spawn(
        connection->executor(),
        [&]() -> asio::awaitable<void> {
            connection->installKeys(benchKeys(false));
            connection->setFileSink([&](std::int64_t id, std::int64_t offset, ByteView body,
                                        bool last) -> asio::awaitable<void> {
                if (id != payloadId || offset != received) throw std::runtime_error("chunk out of place");
                received += static_cast<std::int64_t>(body.size());
                complete = complete || last;
                co_return;
            });
            auto frames = connection->incomingFrames();
            try {
                while (co_await frames->next()) {
                }
            } catch (const std::exception& e) {
                // The sender's goodbye ends the stream as a disconnection.
                if (std::string(e.what()) != "The phone disconnected.") throw;
            }
        },
        asio::use_future);
    done.get();
    runtime.stop();
    return complete && received == expected ? 0 : 1;
}

struct ChildResult {
    int status = -1;
    long peakKilobytes = 0;
};

ChildResult waitFor(pid_t child) {
    ChildResult result;
    struct rusage usage {};
    if (wait4(child, &result.status, 0, &usage) == child) result.peakKilobytes = usage.ru_maxrss;
    return result;
}

int send(std::int64_t total) {
    bench::printCores();
    std::printf("payload: %lld MiB in chunks of %zu bytes\n", static_cast<long long>(total >> 20),
                QuickShareConnection::fileChunkSize);
    const bench::CryptoCeiling ceiling = bench::measureCryptoCeiling();
    std::printf("ceiling: aes-256-cbc %.0f MB/s, hmac-sha256 %.0f MB/s, combined %.0f MB/s\n",
                ceiling.aesCbcBytesPerSecond / 1e6, ceiling.hmacBytesPerSecond / 1e6,
                ceiling.combinedBytesPerSecond() / 1e6);

    Runtime runtime(1);
    tcp::acceptor acceptor(runtime.context(), tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    const int listenFd = acceptor.native_handle();
    // The child inherits the listening socket by number.
    ::fcntl(listenFd, F_SETFD, 0);
    const std::string fdText = std::to_string(listenFd);
    const std::string totalText = std::to_string(total);
    char self[] = "/proc/self/exe";
    char flag[] = "--receive";
    char* argv[] = {self, flag, const_cast<char*>(fdText.c_str()), const_cast<char*>(totalText.c_str()), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv, environ) != 0) {
        std::perror("posix_spawn");
        return 1;
    }

    auto stream = NetworkStream::outgoing({acceptor.local_endpoint()}, runtime.executor());
    auto connection = QuickShareConnection::create(stream);
    const Bytes chunk = RandomSource::system()->bytes(QuickShareConnection::fileChunkSize);
    Clock::time_point begin;
    asio::co_spawn(
        connection->executor(),
        [&]() -> asio::awaitable<void> {
            co_await stream->start(std::chrono::seconds(5));
            connection->installKeys(benchKeys(true));
            begin = Clock::now();
            std::int64_t offset = 0;
            while (offset < total) {
                const auto n = std::min<std::int64_t>(static_cast<std::int64_t>(chunk.size()), total - offset);
                co_await connection->sendPayloadChunk(payloadId, Header::FILE, total, offset,
                                                      ByteView(chunk).first(static_cast<std::size_t>(n)), false);
                offset += n;
            }
            co_await connection->sendPayloadChunk(payloadId, Header::FILE, total, total, {}, true);
            co_await connection->sendDisconnection();
        },
        asio::use_future)
        .get();
    const ChildResult result = waitFor(child);
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    runtime.stop();

    if (!WIFEXITED(result.status) || WEXITSTATUS(result.status) != 0) {
        std::printf("receiver failed (status %d)\n", result.status);
        return 1;
    }
    const double rate = static_cast<double>(total) / seconds;
    const double ratio = rate / ceiling.combinedBytesPerSecond();
    const double peakMegabytes = static_cast<double>(result.peakKilobytes) * 1024 / 1e6;
    std::printf("connection: %.0f MB/s (%.2f s)\n", rate / 1e6, seconds);
    std::printf("ratio: %.2f (goal >= 0.75) %s\n", ratio, ratio >= 0.75 ? "ok" : "BELOW GOAL");
    std::printf("receiver peak memory: %.1f MB (goal <= 64 MB) %s\n", peakMegabytes,
                peakMegabytes <= 64 ? "ok" : "ABOVE GOAL");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 4 && std::string(argv[1]) == "--receive") {
            return receive(std::atoi(argv[2]), std::atoll(argv[3]));
        }
        const std::int64_t mebibytes = argc > 1 ? std::atoll(argv[1]) : 1024;
        return send(mebibytes << 20);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_connection: %s\n", e.what());
        return 1;
    }
}
