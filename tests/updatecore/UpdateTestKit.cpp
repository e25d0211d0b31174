#include "UpdateTestKit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <stdexcept>

#include "updatecore/UpdateText.h"

namespace velmo::test {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string signedEnvelope(const Ed25519TestKey& key, const std::string& payload) {
    return UpdateText::signedEnvelope(payload, key.sign(bytesOf(payload)));
}

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

void require(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    require(extension && X509_add_ext(certificate, extension, -1) == 1, "certificate extension");
    X509_EXTENSION_free(extension);
}

// A certificate for `key` named `name`, signed by `issuerKey` (self-signed without an issuer).
Certificate certificate(EVP_PKEY* key, const char* name, long serial, X509* issuer, EVP_PKEY* issuerKey) {
    Certificate c(X509_new(), X509_free);
    require(c && X509_set_version(c.get(), 2) == 1 && ASN1_INTEGER_set(X509_get_serialNumber(c.get()), serial) == 1 &&
                X509_gmtime_adj(X509_getm_notBefore(c.get()), -3600) && X509_gmtime_adj(X509_getm_notAfter(c.get()), 86'400) &&
                X509_set_pubkey(c.get(), key) == 1 &&
                X509_NAME_add_entry_by_txt(X509_get_subject_name(c.get()), "CN", MBSTRING_ASC,
                                           reinterpret_cast<const unsigned char*>(name), -1, -1, 0) == 1,
            "certificate");
    X509* signer = issuer ? issuer : c.get();
    require(X509_set_issuer_name(c.get(), X509_get_subject_name(signer)) == 1, "issuer");
    addExtension(c.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer) {
        addExtension(c.get(), signer, NID_authority_key_identifier, "keyid:always");
        addExtension(c.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(c.get(), signer, NID_key_usage, "critical,digitalSignature");
        addExtension(c.get(), signer, NID_ext_key_usage, "serverAuth");
        addExtension(c.get(), signer, NID_subject_alt_name, "IP:127.0.0.1");
    } else {
        addExtension(c.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(c.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    require(X509_sign(c.get(), issuerKey, EVP_sha256()) > 0, "certificate signature");
    return c;
}

}  // namespace

TestAuthority::TestAuthority(const std::filesystem::path& folder) : caFile_(folder / "test-authority.pem") {
    Key caKey(EVP_EC_gen("P-256"), EVP_PKEY_free);
    Key serverKey(EVP_EC_gen("P-256"), EVP_PKEY_free);
    require(caKey && serverKey, "test keys");
    const Certificate ca = certificate(caKey.get(), "Velmo Test Authority", 1, nullptr, caKey.get());
    const Certificate server = certificate(serverKey.get(), "127.0.0.1", 2, ca.get(), caKey.get());

    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new_file(caFile_.c_str(), "w"), BIO_free);
    require(out && PEM_write_bio_X509(out.get(), ca.get()) == 1, "writing the authority");
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    require(context, "TLS context");
    context_ = context;
    require(SSL_CTX_use_certificate(context, server.get()) == 1 &&
                SSL_CTX_use_PrivateKey(context, serverKey.get()) == 1,
            "server certificate");
    // A client that gives up mid-response must not kill the test with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
}

TestAuthority::~TestAuthority() { SSL_CTX_free(static_cast<SSL_CTX*>(context_)); }

int loopbackListener(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("loopback listener");
    port = ntohs(addr.sin_port);
    return fd;
}

int loopbackConnection(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

LoopbackHttpServer::LoopbackHttpServer(const TestAuthority* tls) : tls_(tls) {
    listener_ = loopbackListener(port_);
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
        std::unique_ptr<SSL, decltype(&SSL_free)> ssl(
            tls_ ? SSL_new(static_cast<SSL_CTX*>(tls_->serverContext())) : nullptr, SSL_free);
        std::function<ssize_t(char*, std::size_t)> receive = [fd](char* b, std::size_t n) { return ::read(fd, b, n); };
        std::function<ssize_t(const char*, std::size_t)> transmit = [fd](const char* b, std::size_t n) {
            return ::send(fd, b, n, MSG_NOSIGNAL);
        };
        if (ssl) {
            SSL_set_fd(ssl.get(), fd);
            if (SSL_accept(ssl.get()) != 1) {
                ::close(fd);
                continue;
            }
            receive = [s = ssl.get()](char* b, std::size_t n) { return ssize_t(SSL_read(s, b, int(n))); };
            transmit = [s = ssl.get()](const char* b, std::size_t n) { return ssize_t(SSL_write(s, b, int(n))); };
        }
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = receive(buffer, sizeof buffer);
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
            const ssize_t n = transmit(reply.data() + done, std::min<std::size_t>(reply.size() - done, 65'536));
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        if (ssl) SSL_shutdown(ssl.get());
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

    const int fd = loopbackConnection(static_cast<std::uint16_t>(port));
    if (fd < 0) return Outcome::failed;
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
