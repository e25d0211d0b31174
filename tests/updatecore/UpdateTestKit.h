// Helpers for the update tests: Ed25519 signing keys, signed feeds, a certificate authority of
// the test's own, a scripted loopback HTTP(S) server and a plain-HTTP loopback transport that
// exists only in the tests.
#pragma once
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Bytes.h"
#include "platform/Ed25519Key.h"
#include "updatecore/HttpTransport.h"

namespace velmo::test {

// A fresh signing key for one test.
class Ed25519TestKey : public Ed25519Key {
public:
    Ed25519TestKey() : Ed25519Key(Ed25519Key::generate()) {}
};

Bytes bytesOf(std::string_view text);
std::string textOf(const Bytes& bytes);

// {"payload": base64(payload), "signature": base64(sign(payload))}.
std::string signedEnvelope(const Ed25519TestKey& key, const std::string& payload);

// A certificate authority made for one test and a server certificate it signed for
// 127.0.0.1. Its certificate is written to caFile() for CurlTransport's CA-file option.
class TestAuthority {
public:
    explicit TestAuthority(const std::filesystem::path& folder);
    ~TestAuthority();
    TestAuthority(const TestAuthority&) = delete;
    TestAuthority& operator=(const TestAuthority&) = delete;

    const std::filesystem::path& caFile() const { return caFile_; }
    void* serverContext() const { return context_; }  // SSL_CTX presenting the server certificate

private:
    std::filesystem::path caFile_;
    void* context_ = nullptr;
};

// A listening TCP socket on 127.0.0.1 with a port of the system's choosing.
int loopbackListener(std::uint16_t& port);
// A connected TCP socket to 127.0.0.1:port, or -1.
int loopbackConnection(std::uint16_t port);

// Answers every connection on 127.0.0.1 with the raw response scripted for its path
// (404 for any other path) and records the request heads it saw. Speaks TLS with the
// authority's server certificate when one is given.
class LoopbackHttpServer {
public:
    explicit LoopbackHttpServer(const TestAuthority* tls = nullptr);
    ~LoopbackHttpServer();

    std::uint16_t port() const { return port_; }
    void respond(const std::string& path, std::string rawResponse);
    // "HTTP/1.1 <status>" with Content-Length (unless omitted) and the body.
    static std::string response(int status, const std::string& body, bool announceLength = true,
                                const std::string& extraHeaders = "");
    std::vector<std::string> requests() const;
    int connections() const { return connections_.load(); }

private:
    void serve();

    const TestAuthority* tls_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex lock;
    std::map<std::string, std::string> responses_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// Plain HTTP/1.1 over loopback: maps any https://127.0.0.1:<port>/ address onto a plain
// connection to that port. Refuses every other host.
class LoopbackTransport : public HttpTransport {
public:
    Outcome get(const std::string& url, const std::string& accept, std::int64_t limit, HttpSink& sink,
                const std::atomic<bool>& cancel) override;
};

}  // namespace velmo::test
