// Helpers for tests inside the Avahi sandbox: child processes (avahi-publish, avahi-browse)
// and what avahi-browse reports.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/ip/tcp.hpp>

namespace velmo::test {

// A child process whose standard output (and error) the test reads. Stopped by its pid.
class Subprocess {
public:
    explicit Subprocess(std::vector<std::string> argv);
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // Reads output until `line` appears in it; false when the time passes or the output ends.
    bool waitFor(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Everything read so far.
    const std::string& output() const { return output_; }
    // Sends SIGTERM to the child and reaps it; returns its exit status (-1 if killed).
    int stop();
    // Waits for the child to end by itself; returns its exit status, or nothing on timeout.
    std::optional<int> wait(std::chrono::milliseconds limit);

private:
    bool readSome(std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
    bool ended_ = false;
    int status_ = -1;
};

// Runs a command to its end (at most `limit`) and returns its output.
std::string runCommand(std::vector<std::string> argv, std::chrono::milliseconds limit = std::chrono::seconds(20));

// The same command run inside the sandbox's peer namespace, against the peer's daemon.
std::vector<std::string> inPeer(std::vector<std::string> argv);

// Restarts the sandbox's own avahi-daemon and waits until the new one runs.
void restartDaemon();

// One resolved line of `avahi-browse -p -r`.
struct BrowsedService {
    std::string interface;
    std::string protocol;  // "IPv4" or "IPv6"
    std::string name;
    std::string type;
    std::string host;
    std::string address;
    int port = 0;
    std::vector<std::string> txt;  // "key=value" entries as avahi-browse prints them
};

// A one-shot resolved browse of `type` (in the peer namespace when `peer`).
std::vector<BrowsedService> browseOnce(const std::string& type, bool peer = false);

// Browses until `condition` holds for the services seen, at most `limit`; returns the last
// services seen when it held, nothing otherwise.
std::optional<std::vector<BrowsedService>> browseUntil(
    const std::string& type, const std::function<bool(const std::vector<BrowsedService>&)>& condition,
    std::chrono::milliseconds limit = std::chrono::seconds(15), bool peer = false);

// `avahi-publish -s` of one service, kept while the object lives.
class PublishedService {
public:
    // Waits until the service is established unless `wait` is false. With `host`, the
    // service points at that host name, whose addresses hostAddress() publishes.
    PublishedService(const std::string& name, const std::string& type, int port, std::vector<std::string> txt,
                     bool peer = false, bool wait = true, const std::string& host = "");
    // `avahi-publish -a -R`: one address record of `host` (no reverse entry), once established.
    static std::unique_ptr<PublishedService> hostAddress(const std::string& host, const std::string& address,
                                                         bool peer = false);
    // Whether avahi-publish reported the service established (false: collision or error).
    bool established() const { return established_; }
    bool waitEstablished(std::chrono::milliseconds limit = std::chrono::seconds(10));
    const std::string& output() const { return process_.output(); }

private:
    PublishedService(std::vector<std::string> argv, bool wait);

    Subprocess process_;
    bool established_ = false;
};

// The sandbox peer's addresses on its link: IPv4, or the IPv6 link-local one.
std::string peerLinkAddress(bool ipv6);

// A TCP listener inside the sandbox's peer namespace on one family only (any address, a free
// port), served by `executor`: what a phone that listens on IPv4 or on IPv6 alone offers.
asio::ip::tcp::acceptor listenInPeer(const asio::any_io_executor& executor, bool ipv6);

}  // namespace velmo::test

#include <asio/post.hpp>
#include <future>
#include <memory>

namespace velmo::test {

// Runs `f` on `executor` and waits for it, so objects bound to a strand are made and
// destroyed there.
template <class F>
auto onExecutor(const asio::any_io_executor& executor, F f) {
    using R = decltype(f());
    std::promise<R> done;
    asio::post(executor, [&] {
        try {
            if constexpr (std::is_void_v<R>) {
                f();
                done.set_value();
            } else {
                done.set_value(f());
            }
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    return done.get_future().get();
}

// A service published straight through libavahi-client whose TXT record the test can
// change in place, as a phone does when it starts advertising a QR record.
class ChangingService {
public:
    // Published over both protocols, or over `protocol` alone (an AvahiProtocol).
    ChangingService(const std::string& name, const std::string& type, int port, std::vector<std::string> txt,
                    int protocol = -1);
    ~ChangingService();
    ChangingService(const ChangingService&) = delete;
    ChangingService& operator=(const ChangingService&) = delete;

    // Waits until the service is established; false on collision, failure or timeout.
    bool waitEstablished(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Replaces the TXT record of the published service.
    void updateTxt(std::vector<std::string> txt);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmo::test
