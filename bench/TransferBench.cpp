// 1 GiB from `quickshare-harness send` to `quickshare-harness receive` over loopback: the
// throughput of the whole road (handshake, encryption, framing, TCP, decryption, file writes)
// against the single-core crypto ceiling measured in the same run, and the receiver's peak
// memory, in three rounds; the median ratio counts. Goals: ratio >= 0.7, peak <= 64 MB.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/CryptoCeiling.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
constexpr std::size_t fileBytes = std::size_t{1} << 30;

struct Child {
    pid_t pid = -1;
    FILE* output = nullptr;
};

Child spawn(std::vector<std::string> arguments) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    static std::string harness = VELMO_QUICKSHARE_HARNESS;
    std::vector<char*> argv{harness.data()};
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    Child child;
    if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start " + std::string(argv[0]));
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    child.output = ::fdopen(ends[0], "r");
    return child;
}

std::string readLine(FILE* in) {
    char* line = nullptr;
    std::size_t capacity = 0;
    const auto length = ::getline(&line, &capacity, in);
    std::string text = length > 0 ? std::string(line, static_cast<std::size_t>(length)) : "";
    std::free(line);
    return text;
}

// Reads every remaining line and keeps the last one.
std::string drain(FILE* in) {
    std::string last;
    for (auto line = readLine(in); !line.empty(); line = readLine(in)) last = line;
    std::fclose(in);
    return last;
}

struct Outcome {
    double seconds;
    double peakMegabytes;
};

// One 1 GiB transfer from a fresh sender to a fresh receiver; nothing when it failed.
std::optional<Outcome> transferOnce(const fs::path& source, const fs::path& into) {
    auto receiver = spawn({"receive", "--listen", "127.0.0.1:0", "--dir", into.string(), "--accept", "yes", "--once"});
    const auto listening = readLine(receiver.output);
    const auto portAt = listening.find("\"port\":");
    if (portAt == std::string::npos) {
        std::cerr << "the receiver did not start: " << listening;
        return std::nullopt;
    }
    const auto port = std::stoi(listening.substr(portAt + 7));
    std::string receiverLast;
    std::thread receiverReader([&] { receiverLast = drain(receiver.output); });

    const auto started = std::chrono::steady_clock::now();
    auto sender = spawn({"send", "--to", "127.0.0.1:" + std::to_string(port), source.string()});
    const auto senderLast = drain(sender.output);
    int senderStatus = 0;
    ::waitpid(sender.pid, &senderStatus, 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    int receiverStatus = 0;
    rusage usage{};
    ::wait4(receiver.pid, &receiverStatus, 0, &usage);
    receiverReader.join();

    std::error_code ignored;
    const bool ok = WIFEXITED(senderStatus) && WEXITSTATUS(senderStatus) == 0 && WIFEXITED(receiverStatus) &&
                    WEXITSTATUS(receiverStatus) == 0 && fs::file_size(into / source.filename(), ignored) == fileBytes;
    if (!ok) {
        std::cerr << "transfer failed\n  sender: " << senderLast << "  receiver: " << receiverLast;
        return std::nullopt;
    }
    return Outcome{seconds, static_cast<double>(usage.ru_maxrss) * 1024 / 1e6};
}

}  // namespace

int main() {
    std::cout << "cores: " << std::thread::hardware_concurrency() << "\n";
    char pattern[] = "/tmp/velmo-transfer-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::cerr << "cannot make a scratch folder\n";
        return 1;
    }
    const fs::path scratch = pattern;
    const fs::path source = scratch / "payload.bin";
    {
        std::ofstream out(source, std::ios::binary);
        std::vector<char> block(1 << 20);
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 2654435761u >> 13);
        for (std::size_t written = 0; written < fileBytes; written += block.size()) out.write(block.data(), block.size());
    }

    {
        // The source's own write-back must not compete with the transfer.
        const int fd = ::open(source.c_str(), O_RDONLY);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }

    const auto ceiling = velmo::bench::measureCryptoCeiling();
    std::cout << "crypto ceiling (AES-256-CBC + HMAC-SHA256, one core): "
              << ceiling.combinedBytesPerSecond() / 1e6 << " MB/s\n";

    constexpr int rounds = 3;
    std::vector<double> ratios;
    double peakMegabytes = 0;
    for (int round = 1; round <= rounds; ++round) {
        const auto result = transferOnce(source, scratch / "in");
        fs::remove_all(scratch / "in");
        if (!result) {
            fs::remove_all(scratch);
            return 1;
        }
        const double throughput = static_cast<double>(fileBytes) / result->seconds;
        ratios.push_back(throughput / ceiling.combinedBytesPerSecond());
        peakMegabytes = std::max(peakMegabytes, result->peakMegabytes);
        std::cout << "round " << round << ": " << throughput / 1e6 << " MB/s (1 GiB in " << result->seconds
                  << " s), ratio " << ratios.back() << ", receiver peak " << result->peakMegabytes << " MB\n";
    }
    fs::remove_all(scratch);
    std::sort(ratios.begin(), ratios.end());
    const double ratio = ratios[rounds / 2];
    std::cout << "median ratio to the crypto ceiling: " << ratio << " (goal >= 0.7) "
              << (ratio >= 0.7 ? "ok" : "BELOW GOAL") << "\n"
              << "receiver peak memory: " << peakMegabytes << " MB (goal <= 64 MB) "
              << (peakMegabytes <= 64 ? "ok" : "ABOVE GOAL") << "\n";
    return 0;
}
