// Helpers for the update tests: Ed25519 signing keys, signed feeds, a scripted loopback HTTP
// server and a plain-HTTP loopback transport that exists only in the tests.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Bytes.h"
#include "updatecore/HttpTransport.h"

namespace velmo::test {

class Ed25519TestKey {
public:
    Ed25519TestKey();
    ~Ed25519TestKey();
    Ed25519TestKey(const Ed25519TestKey&) = delete;
    Ed25519TestKey& operator=(const Ed25519TestKey&) = delete;

    Bytes publicKey() const;
    Bytes sign(ByteView message) const;

private:
    void* key_;  // EVP_PKEY
};

Bytes bytesOf(std::string_view text);
std::string textOf(const Bytes& bytes);

// {"payload": base64(payload), "signature": base64(sign(payload))}.
std::string signedEnvelope(const Ed25519TestKey& key, const std::string& payload);

// Answers every connection on 127.0.0.1 with the raw response scripted for its path
// (404 for any other path) and records the request heads it saw.
class LoopbackHttpServer {
public:
    LoopbackHttpServer();
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
