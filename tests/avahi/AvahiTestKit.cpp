#include "avahi/AvahiTestKit.h"

#include <asio/ip/v6_only.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sched.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <future>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace velmo::test {

using namespace std::chrono;

Subprocess::Subprocess(std::vector<std::string> argv) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    const int error = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    out_ = pipeFds[0];
    if (error != 0) {
        close(out_);
        throw std::runtime_error("cannot run " + argv[0]);
    }
}

Subprocess::~Subprocess() {
    stop();
    if (out_ >= 0) close(out_);
}

bool Subprocess::readSome(milliseconds limit) {
    pollfd fd{out_, POLLIN, 0};
    if (poll(&fd, 1, int(limit.count())) <= 0) return true;
    char buffer[4096];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    output_.append(buffer, size_t(n));
    return true;
}

bool Subprocess::waitFor(const std::string& text, milliseconds limit) {
    const auto deadline = steady_clock::now() + limit;
    while (output_.find(text) == std::string::npos) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0) return false;
        if (!readSome(std::min(left, milliseconds(100)))) return output_.find(text) != std::string::npos;
    }
    return true;
}

std::optional<int> Subprocess::wait(milliseconds limit) {
    const auto deadline = steady_clock::now() + limit;
    while (!ended_) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            ended_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (steady_clock::now() > deadline) return std::nullopt;
        if (!readSome(milliseconds(20))) std::this_thread::sleep_for(milliseconds(5));
    }
    while (readSome(milliseconds(0))) {
        pollfd fd{out_, POLLIN, 0};
        if (poll(&fd, 1, 0) <= 0) break;
    }
    return status_;
}

int Subprocess::stop() {
    if (pid_ <= 0 || ended_) return status_;
    kill(pid_, SIGTERM);
    if (auto status = wait(seconds(5))) return *status;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    ended_ = true;
    return status_ = -1;
}

std::string runCommand(std::vector<std::string> argv, milliseconds limit) {
    Subprocess process(std::move(argv));
    if (!process.wait(limit)) process.stop();
    return process.output();
}

std::vector<std::string> inPeer(std::vector<std::string> argv) {
    const char* sandbox = std::getenv("VELMO_AVAHI_SANDBOX");
    std::vector<std::string> full{VELMO_AVAHI_SANDBOX_SCRIPT, "exec", sandbox ? sandbox : "", "--peer", "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

void restartDaemon() {
    const char* sandbox = std::getenv("VELMO_AVAHI_SANDBOX");
    Subprocess restart({VELMO_AVAHI_SANDBOX_SCRIPT, "restart", sandbox ? sandbox : ""});
    if (restart.wait(seconds(30)) != 0) throw std::runtime_error("restart failed: " + restart.output());
}

namespace {

// Splits one `avahi-browse -p` line at unescaped semicolons.
std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out(1);
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            out.back() += line[i];
            out.back() += line[++i];
        } else if (line[i] == ';') {
            out.emplace_back();
        } else {
            out.back() += line[i];
        }
    }
    return out;
}

// A DNS label as avahi-browse prints it: "\032" for a blank, "\." for a dot.
std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && std::isdigit((unsigned char)text[i + 1]) &&
            std::isdigit((unsigned char)text[i + 2]) && std::isdigit((unsigned char)text[i + 3])) {
            out += char(std::stoi(text.substr(i + 1, 3)));
            i += 3;
        } else if (text[i] == '\\' && i + 1 < text.size()) {
            out += text[++i];
        } else {
            out += text[i];
        }
    }
    return out;
}

// The TXT field: "a=1" "b=2", each entry in double quotes with '"' and '\\' escaped.
// avahi-browse prints the entries last first; they come back in record order.
std::vector<std::string> txtEntries(const std::string& field) {
    std::vector<std::string> out;
    bool inside = false;
    for (size_t i = 0; i < field.size(); ++i) {
        if (!inside) {
            if (field[i] == '"') {
                inside = true;
                out.emplace_back();
            }
        } else if (field[i] == '\\' && i + 1 < field.size()) {
            out.back() += field[++i];
        } else if (field[i] == '"') {
            inside = false;
        } else {
            out.back() += field[i];
        }
    }
    std::reverse(out.begin(), out.end());
    return out;
}

}  // namespace

std::vector<BrowsedService> browseOnce(const std::string& type, bool peer) {
    std::vector<std::string> argv{"avahi-browse", "-p", "-r", "-t", "-k", type};
    const std::string text = runCommand(peer ? inPeer(argv) : argv);
    std::vector<BrowsedService> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] != '=') continue;
        auto f = fields(line);
        if (f.size() < 10) continue;
        BrowsedService s{f[1], f[2], unescape(f[3]), f[4], f[6], f[7], std::atoi(f[8].c_str()), txtEntries(f[9])};
        out.push_back(std::move(s));
    }
    return out;
}

std::optional<std::vector<BrowsedService>> browseUntil(
    const std::string& type, const std::function<bool(const std::vector<BrowsedService>&)>& condition,
    milliseconds limit, bool peer) {
    const auto deadline = steady_clock::now() + limit;
    for (;;) {
        auto services = browseOnce(type, peer);
        if (condition(services)) return services;
        if (steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(milliseconds(100));
    }
}

namespace {
std::vector<std::string> publishArgs(const std::string& name, const std::string& type, int port,
                                     std::vector<std::string> txt, bool peer, const std::string& host) {
    std::vector<std::string> argv{"avahi-publish", "-s"};
    if (!host.empty()) argv.insert(argv.end(), {"-H", host});
    argv.insert(argv.end(), {name, type, std::to_string(port)});
    argv.insert(argv.end(), txt.begin(), txt.end());
    return peer ? inPeer(argv) : argv;
}

// Runs `f` on a thread of its own moved into the peer's network namespace: sockets it opens
// belong there, while the rest of the process stays where it was.
template <class F>
auto inPeerNetwork(F f) {
    using R = decltype(f());
    std::packaged_task<R()> task([f = std::move(f)]() mutable {
        const char* name = std::getenv("VELMO_AVAHI_PEER_NETNS");
        if (!name) throw std::runtime_error("the sandbox has no peer");
        const int fd = ::open(("/run/netns/" + std::string(name)).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("cannot open the peer's network namespace");
        const int joined = ::setns(fd, CLONE_NEWNET);
        ::close(fd);
        if (joined != 0) throw std::runtime_error("cannot enter the peer's network namespace");
        return f();
    });
    auto result = task.get_future();
    std::thread(std::move(task)).join();
    return result.get();
}
}  // namespace

PublishedService::PublishedService(const std::string& name, const std::string& type, int port,
                                   std::vector<std::string> txt, bool peer, bool wait, const std::string& host)
    : PublishedService(publishArgs(name, type, port, std::move(txt), peer, host), wait) {}

PublishedService::PublishedService(std::vector<std::string> argv, bool wait) : process_(std::move(argv)) {
    if (wait) waitEstablished();
}

std::unique_ptr<PublishedService> PublishedService::hostAddress(const std::string& host, const std::string& address,
                                                                bool peer) {
    std::vector<std::string> argv{"avahi-publish", "-a", "-R", host, address};
    return std::unique_ptr<PublishedService>(new PublishedService(peer ? inPeer(argv) : argv, true));
}

std::string peerLinkAddress(bool ipv6) {
    if (!ipv6) return "169.254.77.2";  // set by scripts/avahi-sandbox
    return inPeerNetwork([] {
        ifaddrs* all = nullptr;
        if (::getifaddrs(&all) != 0) throw std::runtime_error("getifaddrs failed");
        std::string found;
        for (ifaddrs* entry = all; entry && found.empty(); entry = entry->ifa_next) {
            if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET6) continue;
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            if (!IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr)) continue;
            char text[INET6_ADDRSTRLEN] = {};
            if (::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text)) found = text;
        }
        ::freeifaddrs(all);
        if (found.empty()) throw std::runtime_error("the peer has no IPv6 link-local address");
        return found;
    });
}

asio::ip::tcp::acceptor listenInPeer(const asio::any_io_executor& executor, bool ipv6) {
    asio::ip::tcp::acceptor acceptor(executor);
    inPeerNetwork([&] {
        acceptor.open(ipv6 ? asio::ip::tcp::v6() : asio::ip::tcp::v4());
        if (ipv6) acceptor.set_option(asio::ip::v6_only(true));
        acceptor.bind({ipv6 ? asio::ip::address(asio::ip::address_v6::any()) : asio::ip::address_v4::any(), 0});
        acceptor.listen();
        return 0;
    });
    return acceptor;
}

bool PublishedService::waitEstablished(milliseconds limit) {
    // avahi-publish says which way it went: established, or a failure it then exits on.
    const auto deadline = steady_clock::now() + limit;
    while (!established_ && steady_clock::now() < deadline) {
        if (process_.waitFor("Established under name", milliseconds(100))) {
            established_ = true;
        } else if (process_.output().find("Failed") != std::string::npos ||
                   process_.output().find("ollision") != std::string::npos) {
            break;
        }
    }
    return established_;
}

}  // namespace velmo::test
