#include "bench/CryptoCeiling.h"

#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace velmo::bench {

namespace {

std::string run(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) throw std::runtime_error("cannot run: " + command);
    std::string output;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) output.append(buffer, n);
    return output;
}

double speed(const std::string& algorithm, int seconds, std::size_t blockBytes) {
    const std::string command = "openssl speed -elapsed -mr -seconds " + std::to_string(seconds) + " -bytes " +
                                std::to_string(blockBytes) + " " + algorithm + " 2>/dev/null";
    const double value = parseSpeedOutput(run(command));
    if (value <= 0) throw std::runtime_error("no figure from: " + command);
    return value;
}

}  // namespace

double parseSpeedOutput(const std::string& output) {
    // Lines look like "+F:25:AES-256-CBC:761715565.71": the last field is bytes per second.
    std::istringstream in(output);
    std::string line;
    double value = 0;
    while (std::getline(in, line)) {
        if (line.rfind("+F:", 0) != 0) continue;
        const auto colon = line.rfind(':');
        try {
            value = std::stod(line.substr(colon + 1));
        } catch (const std::exception&) {
            value = 0;
        }
    }
    return value;
}

CryptoCeiling measureCryptoCeiling(int seconds, std::size_t blockBytes) {
    CryptoCeiling ceiling;
    ceiling.aesCbcBytesPerSecond = speed("-evp aes-256-cbc", seconds, blockBytes);
    ceiling.hmacBytesPerSecond = speed("-hmac sha256", seconds, blockBytes);
    return ceiling;
}

}  // namespace velmo::bench
