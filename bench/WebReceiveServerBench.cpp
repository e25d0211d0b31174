// Upload throughput of the web receive server: one POST of 1 GiB over loopback into a folder,
// against a plain socket-to-file copy of the same bytes from the same client in the same run.
// Also prints how much the process's peak memory grew during the upload.
//
//   bench_web_receive_server [size in MiB, default 1024] [rounds, default 3]
#include <arpa/inet.h>
#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "transfer/WebReceiveServer.h"

namespace {

using Clock = std::chrono::steady_clock;

long peakKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

int connectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("connect failed");
    }
    return fd;
}

void sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("send failed");
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// The client: one POST of `size` bytes from a 1 MiB buffer; returns the answer's status line.
std::string upload(std::uint16_t port, const std::string& query, std::int64_t size) {
    const int fd = connectLoopback(port);
    const std::string head = "POST /upload" + query + " HTTP/1.1\r\nX-File-Name: bench.bin\r\nContent-Length: " +
                             std::to_string(size) + "\r\n\r\n";
    sendAll(fd, head.data(), head.size());
    const std::string block(1 << 20, 'b');
    for (std::int64_t sent = 0; sent < size; sent += static_cast<std::int64_t>(block.size())) {
        sendAll(fd, block.data(), static_cast<std::size_t>(std::min<std::int64_t>(block.size(), size - sent)));
    }
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return answer.substr(0, answer.find("\r\n"));
}

// The ceiling: accept one connection, skip the head, copy the body into a file in
// 256 KiB reads, answer 200.
void plainCopy(int listener, const std::string& path, std::int64_t size) {
    const int fd = ::accept(listener, nullptr, nullptr);
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    std::vector<char> buffer(262'144);
    std::string head;
    std::int64_t body = 0;
    while (body < size) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        std::size_t offset = 0;
        if (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
            // Still in the head: look for its end inside this read.
            head.append(buffer.data(), static_cast<std::size_t>(n));
            const auto end = head.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            offset = static_cast<std::size_t>(n) - (head.size() - end - 4);
            head.resize(end + 4);
        }
        const auto count = static_cast<std::size_t>(n) - offset;
        if (::write(file, buffer.data() + offset, count) != static_cast<ssize_t>(count)) break;
        body += static_cast<std::int64_t>(count);
    }
    ::close(file);
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    sendAll(fd, ok.data(), ok.size());
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

double mibPerSecond(std::int64_t bytes, Clock::duration elapsed) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / std::chrono::duration<double>(elapsed).count();
}

// One upload through the web receive server; returns its duration, or nothing on failure.
std::optional<Clock::duration> serverRun(const std::string& folder, std::int64_t size, long& peakGrowth) {
    auto budget = std::make_shared<velmo::ReceiveSessionBudget>();
    velmo::WebReceiveServer server("", folder, velmo::WebReceiveServer::makeToken(), "127.0.0.1", budget);
    const auto port = asio::co_spawn(velmo::Runtime::shared().executor(), server.start(), asio::use_future).get();
    ::sync();
    resetPeak();
    const long peakBefore = peakKiB();
    const auto started = Clock::now();
    const auto status = upload(port, "?t=" + server.token(), size);
    const auto elapsed = Clock::now() - started;
    peakGrowth = std::max(peakGrowth, peakKiB() - peakBefore);
    server.stop();
    std::remove((folder + "/bench.bin").c_str());
    if (status != "HTTP/1.1 200 OK") {
        std::printf("upload failed: %s\n", status.c_str());
        return std::nullopt;
    }
    return elapsed;
}

// The same client into the plain copy.
Clock::duration plainRun(const std::string& folder, std::int64_t size) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    ::sync();
    std::thread copier(plainCopy, listener, folder + "/plain.bin", size);
    const auto started = Clock::now();
    upload(ntohs(address.sin_port), "", size);
    const auto elapsed = Clock::now() - started;
    copier.join();
    ::close(listener);
    std::remove((folder + "/plain.bin").c_str());
    return elapsed;
}

Clock::duration median(std::vector<Clock::duration> runs) {
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::int64_t size = (argc > 1 ? std::stoll(argv[1]) : 1024) * 1024 * 1024;
    const int rounds = argc > 2 ? std::stoi(argv[2]) : 3;
    char pattern[] = "/var/tmp/velmo-bench-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::string folder = pattern;
    std::printf("cores: %u, %d rounds of one %lld MiB upload into %s, median of each\n",
                std::thread::hardware_concurrency(), rounds, static_cast<long long>(size >> 20), folder.c_str());

    // Interleaved, so page-cache write-back after one run weighs on both kinds alike.
    std::vector<Clock::duration> serverTimes;
    std::vector<Clock::duration> plainTimes;
    long peakGrowth = 0;
    for (int round = 0; round < rounds; ++round) {
        const auto time = serverRun(folder, size, peakGrowth);
        if (!time) return 1;
        serverTimes.push_back(*time);
        plainTimes.push_back(plainRun(folder, size));
    }
    ::rmdir(folder.c_str());

    const double serverRate = mibPerSecond(size, median(serverTimes));
    const double plainRate = mibPerSecond(size, median(plainTimes));
    std::printf("web receive server: %.0f MiB/s\n", serverRate);
    std::printf("plain socket copy:  %.0f MiB/s\n", plainRate);
    const double ratio = serverRate / plainRate;
    const double growth = static_cast<double>(peakGrowth) / 1024.0;
    std::printf("ratio: %.2f (goal >= 0.8) %s\n", ratio, ratio >= 0.8 ? "ok" : "BELOW GOAL");
    std::printf("peak memory growth during an upload: %.1f MiB (goal < 32 MiB) %s\n", growth,
                growth < 32 ? "ok" : "ABOVE GOAL");
    return 0;
}
