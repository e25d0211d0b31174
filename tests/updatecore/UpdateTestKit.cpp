#include "UpdateTestKit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "updatecore/UpdateText.h"

namespace velmo::test {

Ed25519TestKey::Ed25519TestKey() : key_(nullptr) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx) != 1 || EVP_PKEY_keygen(ctx, &key) != 1) {
        EVP_PKEY_CTX_free(ctx);
        throw std::runtime_error("Ed25519 key generation failed");
    }
    EVP_PKEY_CTX_free(ctx);
    key_ = key;
}

Ed25519TestKey::~Ed25519TestKey() { EVP_PKEY_free(static_cast<EVP_PKEY*>(key_)); }

Bytes Ed25519TestKey::publicKey() const {
    Bytes out(32);
    size_t n = out.size();
    if (EVP_PKEY_get_raw_public_key(static_cast<EVP_PKEY*>(key_), out.data(), &n) != 1 || n != 32)
        throw std::runtime_error("raw public key");
    return out;
}

Bytes Ed25519TestKey::sign(ByteView message) const {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    Bytes out(64);
    size_t n = out.size();
    const bool ok = ctx && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, static_cast<EVP_PKEY*>(key_)) == 1 &&
                    EVP_DigestSign(ctx, out.data(), &n, message.data(), message.size()) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok || n != 64) throw std::runtime_error("Ed25519 signing failed");
    return out;
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string signedEnvelope(const Ed25519TestKey& key, const std::string& payload) {
    const Bytes bytes = bytesOf(payload);
    return R"({"payload":")" + UpdateText::encodeBase64(bytes) + R"(","signature":")" +
           UpdateText::encodeBase64(key.sign(bytes)) + R"("})";
}

LoopbackHttpServer::LoopbackHttpServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("loopback listener");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
}

void LoopbackHttpServer::respond(const std::string& path, std::string rawResponse) {
    std::lock_guard guard(lock);
    responses_[path] = std::move(rawResponse);
}

std::string LoopbackHttpServer::response(int status, const std::string& body, bool announceLength,
                                         const std::string& extraHeaders) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " X\r\nConnection: close\r\n" + extraHeaders;
    if (announceLength) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return out + "\r\n" + body;
}

std::vector<std::string> LoopbackHttpServer::requests() const {
    std::lock_guard guard(lock);
    return requests_;
}

void LoopbackHttpServer::serve() {
    while (!stopping_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            head.append(buffer, static_cast<size_t>(n));
        }
        const auto space = head.find(' ');
        const auto path = space == std::string::npos ? "" : head.substr(space + 1, head.find(' ', space + 1) - space - 1);
        std::string reply;
        {
            std::lock_guard guard(lock);
            requests_.push_back(head);
            const auto found = responses_.find(path);
            reply = found == responses_.end() ? response(404, "") : found->second;
        }
        std::size_t done = 0;
        while (done < reply.size()) {
            const ssize_t n = ::send(fd, reply.data() + done, reply.size() - done, MSG_NOSIGNAL);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::shutdown(fd, SHUT_WR);
        ::close(fd);
    }
}

HttpTransport::Outcome LoopbackTransport::get(const std::string& url, const std::string& accept, std::int64_t,
                                              HttpSink& sink, const std::atomic<bool>& cancel) {
    const std::string prefix = "https://127.0.0.1:";
    if (url.rfind(prefix, 0) != 0) return Outcome::failed;
    const auto slash = url.find('/', prefix.size());
    const int port = std::stoi(url.substr(prefix.size(), slash - prefix.size()));
    const std::string path = url.substr(slash);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (fd >= 0) ::close(fd);
        return Outcome::failed;
    }
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: " + accept +
                                "\r\nConnection: close\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);

    std::string pending;
    bool headDone = false;
    char buffer[1024];
    Outcome outcome = Outcome::completed;
    for (;;) {
        if (cancel.load()) { outcome = Outcome::cancelled; break; }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) { outcome = Outcome::failed; break; }
        if (n == 0) { if (!headDone) outcome = Outcome::failed; break; }
        pending.append(buffer, static_cast<size_t>(n));
        if (!headDone) {
            const auto end = pending.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            HttpResponseHead head;
            head.url = url;
            head.status = std::stoi(pending.substr(9, 3));
            const auto length = pending.find("Content-Length: ");
            if (length != std::string::npos && length < end) head.contentLength = std::stoll(pending.substr(length + 16));
            headDone = true;
            pending.erase(0, end + 4);
            if (!sink.onHead(head)) { outcome = Outcome::stopped; break; }
        }
        if (!pending.empty()) {
            if (!sink.onBody(ByteView(reinterpret_cast<const std::uint8_t*>(pending.data()), pending.size()))) {
                outcome = Outcome::stopped;
                break;
            }
            pending.clear();
        }
    }
    ::close(fd);
    return outcome;
}

}  // namespace velmo::test
