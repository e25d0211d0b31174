// Cost of one hostile first frame: a connection request whose mediums are undeclared numbers,
// in one packed run or in runs of one number each, at the limit of later frames (5 MiB) and at
// the limit of the frames before the secure channel. Each measurement runs in a child process
// of its own, so its CPU time and peak memory are its own: the server handshake reading the
// frame from loopback TCP (beside the same for an ordinary request, the ceiling's base), then
// the same bytes decoded alone, by protobuf's parser and by the codec (parse plus the
// unknown-field regrouping). The median of 3 runs each.
// Goal: a hostile first frame costs <= 10 ms of CPU and <= 8 MB more than an ordinary one.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_future.hpp>
#include <asio/write.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchCores.h"
#include "bench/CpuTime.h"
#include "platform/Runtime.h"
#include "proto/Codec.h"
#include "proto/connections.pb.h"
#include "quickshare/FrameCodec.h"
#include "quickshare/EndpointInfo.h"
#include "quickshare/QuickShareConnection.h"
#include "quickshare/Ukey2Messages.h"
#include "quickshare/Ukey2ServerHandshake.h"
#include "transfer/NetworkStream.h"

using namespace velmo;
using asio::ip::tcp;

namespace {

constexpr int runs = 3;

void varint(Bytes& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

void lengthDelimited(Bytes& out, int field, const Bytes& value) {
    varint(out, static_cast<std::uint64_t>(field) << 3 | 2);
    varint(out, value.size());
    out.insert(out.end(), value.begin(), value.end());
}

Bytes offlineFrame(const Bytes& request) {
    Bytes v1{0x08, 0x01};  // CONNECTION_REQUEST
    lengthDelimited(v1, 2, request);
    Bytes frame{0x08, 0x01};  // V1
    lengthDelimited(frame, 2, v1);
    return frame;
}

std::size_t varintSize(std::uint64_t value) {
    std::size_t n = 1;
    for (; value >= 0x80; value >>= 7) ++n;
    return n;
}

// The size of offlineFrame() of a request of `requestSize` bytes: each of its two envelopes
// adds its type (2 bytes), the field's tag (1) and the length of what it holds.
std::size_t framedSize(std::size_t requestSize) {
    const std::size_t v1 = 3 + varintSize(requestSize) + requestSize;
    return 3 + varintSize(v1) + v1;
}

// Mediums that no medium has the number of (127), as one packed run, or as runs of one number
// each; the largest such frame of at most `size` bytes.
Bytes hostileRequest(std::size_t size, bool oneRun) {
    Bytes request;
    if (oneRun) {
        std::size_t n = size;
        Bytes frame;
        do {
            request.clear();
            lengthDelimited(request, 5, Bytes(n, 0x7F));
            frame = offlineFrame(request);
            n -= std::min(n, frame.size() > size ? frame.size() - size : 0);
        } while (frame.size() > size);
        return frame;
    }
    // The frame's size follows from the request's, so the number of runs is found before the
    // request is built once: re-encoding it for every run added would be quadratic.
    std::size_t count = size / 3;
    while (count > 0 && framedSize(3 * count) > size) --count;
    request.reserve(3 * count);
    for (std::size_t i = 0; i < count; ++i) request.insert(request.end(), {0x2A, 0x01, 0x7F});
    return offlineFrame(request);
}

// What a phone sends first.
Bytes ordinaryRequest() {
    return ukey2::connectionRequest("ABCD", "Pixel 9", 42,
                                    EndpointInfo(EndpointInfo::DeviceType::phone, "Pixel 9").encoded());
}

struct Cost {
    double cpuMs = 0;
    double peakMB = 0;
    char outcome[120] = {};
};

double peakMB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Runs `work` in a child process; what it costs there beyond what was in use before it.
template <class Prepare, class Work>
Cost inChild(Prepare prepare, Work work) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) std::abort();
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        auto state = prepare();
        Cost cost;
        const double cpuBefore = bench::cpuSeconds();
        const double peakBefore = peakMB();
        const std::string outcome = work(state);
        cost.cpuMs = (bench::cpuSeconds() - cpuBefore) * 1e3;
        cost.peakMB = peakMB() - peakBefore;
        std::snprintf(cost.outcome, sizeof cost.outcome, "%s", outcome.c_str());
        if (write(pipeEnds[1], &cost, sizeof cost) != sizeof cost) std::_Exit(2);
        std::_Exit(0);
    }
    close(pipeEnds[1]);
    Cost cost;
    const bool got = read(pipeEnds[0], &cost, sizeof cost) == sizeof cost;
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!got) std::abort();
    return cost;
}

template <class Prepare, class Work>
Cost median(Prepare prepare, Work work) {
    std::vector<Cost> costs;
    for (int i = 0; i < runs; ++i) costs.push_back(inChild(prepare, work));
    std::sort(costs.begin(), costs.end(), [](const Cost& a, const Cost& b) { return a.cpuMs < b.cpuMs; });
    return costs[runs / 2];
}

// The server handshake reading `frame` as the first frame from loopback TCP.
struct Served {
    Bytes wire;
    std::unique_ptr<Runtime> runtime;
    std::unique_ptr<tcp::acceptor> acceptor;
};

std::string serve(Served& s) {
    std::thread phone([&] {
        asio::io_context io;
        tcp::socket socket(io);
        socket.connect(s.acceptor->local_endpoint());
        asio::error_code ignored;
        asio::write(socket, asio::buffer(s.wire), ignored);
        socket.shutdown(tcp::socket::shutdown_send, ignored);
        std::uint8_t byte;
        socket.read_some(asio::buffer(&byte, 1), ignored);  // until the computer closes
    });
    auto stream = NetworkStream::accepted(s.acceptor->accept(), s.runtime->executor());
    auto connection = QuickShareConnection::create(stream);
    std::string outcome = "accepted";
    try {
        asio::co_spawn(stream->executor(), stream->start(std::chrono::seconds(5)), asio::use_future).get();
        asio::co_spawn(stream->executor(), serverHandshakeWithTimeout(connection), asio::use_future).get();
    } catch (const std::exception& e) {
        outcome = e.what();
    }
    connection->close();
    phone.join();
    return outcome;
}

void report(const char* what, const Cost& cost) {
    std::printf("  %-34s CPU %8.2f ms   peak +%7.1f MB   %s\n", what, cost.cpuMs, cost.peakMB, cost.outcome);
}


// Readies the server side of one loopback connection, the phone to send `body` first.
auto served(const Bytes& body) {
    return [body] {
        Served s;
        s.wire = frame_codec::encode(body);
        s.runtime = std::make_unique<Runtime>(2);
        s.acceptor =
            std::make_unique<tcp::acceptor>(s.runtime->context(), tcp::endpoint(asio::ip::address_v4::loopback(), 0));
        return s;
    };
}

std::string protobufAlone(const Bytes& bytes) {
    location::nearby::connections::OfflineFrame frame;
    return frame.ParseFromArray(bytes.data(), static_cast<int>(bytes.size())) ? "parsed" : "refused";
}

std::string codec(const Bytes& bytes) {
    const auto frame = proto::decode<location::nearby::connections::OfflineFrame>(bytes);
    const auto& request = frame.v1().connection_request();
    return std::to_string(request.GetReflection()->GetUnknownFields(request).field_count()) + " unknown field(s)";
}

}  // namespace

int main() {
    bench::printCores();
    const Cost ordinary = median(served(ordinaryRequest()), serve);
    std::printf("an ordinary connection request (the ceiling's base):\n");
    report("first read by the server handshake", ordinary);
    bool met = true;
    for (const std::size_t size : {std::size_t{frame_codec::maxBodyLength},
                                   std::size_t{frame_codec::maxHandshakeBodyLength}}) {
        for (const bool oneRun : {true, false}) {
            const Bytes body = hostileRequest(size, oneRun);
            std::printf("hostile connection request of %zu bytes, %s:\n", body.size(),
                        oneRun ? "one packed run" : "packed runs of one number each");
            const Cost first = median(served(body), serve);
            report("first read by the server handshake", first);
            met = met && first.cpuMs - ordinary.cpuMs <= 10 && first.peakMB - ordinary.peakMB <= 8;
            const auto bytes = [&] { return body; };
            report("decoded by protobuf alone", median(bytes, protobufAlone));
            report("decoded by the codec", median(bytes, codec));
        }
    }
    std::printf("goal: a hostile first frame costs <= 10 ms of CPU and <= 8 MB more than an ordinary one: %s\n",
                met ? "met" : "NOT met");
    return 0;
}
