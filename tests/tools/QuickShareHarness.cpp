// quickshare-harness: the real receive and send flows over TCP, and the advertiser and
// discovery over Avahi, printing one JSON line per event. Works against any Quick Share peer,
// so it is how interoperability is checked by hand as well as by the tests and the transfer
// benchmark.
//
//   quickshare-harness receive --listen ADDRESS:PORT --dir DIR --accept yes|no [--once]
//   quickshare-harness send --to HOST:PORT [--from ADDRESS] [--name NAME] FILE...
//   quickshare-harness advertise --name NAME --dir DIR --accept yes|no [--scanned URL]
//   quickshare-harness discover [--qr] [--mobile-only] [--send FILE...]
//
// receive: the first line gives the port (PORT 0 picks a free one); then, per connection, the
// offer (sender name, PIN, files), the progress and the outcome. --once stops after the first
// transfer, with exit status 0 when it succeeded or was declined.
// send: each status (the PIN comes with "waitingForAccept"), the progress and the outcome; exit
// status 0 when every file was delivered; --from dials from that local address (a second host).
// advertise: shows this computer to phones under NAME; the first line gives the service name
// and port, then each accepted connection prints the same events as receive. Runs until
// SIGINT or SIGTERM. With --scanned it shows itself as a phone that scanned the QR code URL
// instead, so a QR send matches it.
// discover: the whole phone list on every change (every device type unless --mobile-only,
// which filters as the application does); with --qr first the URL of a fresh QR session, then
// each phone matching it. With --send, the files go once to each phone as it is first listed
// (with --qr: as it first matches, proving the send with the session's key), dialled on every
// address the phone has, as the application does; each send prints the events of send, tagged
// with the phone's id. Runs until SIGINT or SIGTERM.
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/signal_set.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <future>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>

#include "platform/AvahiPublisher.h"
#include "platform/EcKey.h"
#include "platform/Hkdf.h"
#include "quickshare/Base64Url.h"
#include "quickshare/EndpointInfo.h"
#include "quickshare/QRCodeSession.h"
#include "quickshare/QuickShareAdvertiser.h"
#include "quickshare/QuickShareDiscovery.h"
#include "quickshare/QuickShareReceiver.h"
#include "quickshare/QuickShareSender.h"
#include "transfer/NetworkStream.h"

namespace {

using namespace velmo;
using Json = nlohmann::ordered_json;

std::mutex printLock;

void print(const Json& event) {
    // Text from the peer may be anything: invalid UTF-8 is replaced, never fatal.
    const auto line = event.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::lock_guard guard(printLock);
    std::cout << line << '\n' << std::flush;
}

int usage() {
    std::cerr << "usage: quickshare-harness receive --listen ADDRESS:PORT --dir DIR --accept yes|no [--once]\n"
                 "       quickshare-harness send --to HOST:PORT [--from ADDRESS] [--name NAME] FILE...\n"
                 "       quickshare-harness advertise --name NAME --dir DIR --accept yes|no [--scanned URL]\n"
                 "       quickshare-harness discover [--qr] [--mobile-only] [--send FILE...]\n";
    return 2;
}

std::optional<std::pair<std::string, std::string>> splitHostPort(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return std::nullopt;
    auto host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return std::make_pair(host, text.substr(colon + 1));
}

std::string describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown failure";
    }
}

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "Computer";
    return name;
}

// --- shared by the subcommands ---

// Ends a subcommand with the first status given, or 0 on SIGINT or SIGTERM.
class Ending {
public:
    explicit Ending(asio::thread_pool& pool) : signals_(pool, SIGINT, SIGTERM) {
        signals_.async_wait([this](std::error_code error, int) {
            if (!error) settle(0);
        });
    }
    void settle(int status) {
        if (!settled_.exchange(true)) finished_.set_value(status);
    }
    int wait() {
        const int status = finished_.get_future().get();
        signals_.cancel();
        return status;
    }

private:
    asio::signal_set signals_;
    std::promise<int> finished_;
    std::atomic<bool> settled_{false};
};

// What the receive flow does with each offer.
struct ReceiveAnswer {
    std::string dir;
    bool accept = false;
    std::optional<std::string> acceptWord;  // as given, checked by complete()

    // Takes "--dir DIR" or "--accept yes|no" at argv[i], moving i past it; false otherwise.
    bool take(int& i, int argc, char** argv) {
        const std::string option = argv[i];
        if (i + 1 >= argc) return false;
        if (option != "--dir" && option != "--accept") return false;
        (option == "--dir" ? dir : acceptWord.emplace()) = argv[++i];
        return true;
    }

    // Whether both options were given and the answer is yes or no.
    bool complete() {
        if (dir.empty() || !acceptWord || (*acceptWord != "yes" && *acceptWord != "no")) return false;
        accept = *acceptWord == "yes";
        return true;
    }
};

// Numbers the incoming connections and runs the receive flow on each, printing its events.
class Reception {
public:
    // `done` gets each transfer's exit status (0: received or declined).
    Reception(ReceiveAnswer answer, std::function<void(int)> done = {})
        : answer_(std::move(answer)), done_(std::move(done)) {}

    void take(std::shared_ptr<NetworkStream> stream) {
        const int id = ++connections_;
        print({{"event", "connected"}, {"connection", id}});
        asio::co_spawn(stream->executor(), receiveOn(stream, id), [this, id](std::exception_ptr error) {
            if (error) print({{"event", "failed"}, {"connection", id}, {"error", describe(error)}});
            if (done_) done_(error ? 1 : 0);
        });
    }

private:
    asio::awaitable<void> receiveOn(std::shared_ptr<NetworkStream> stream, int id) {
        auto decide = [id, accept = answer_.accept](QuickShareOffer offer) -> asio::awaitable<bool> {
            Json files = Json::array();
            for (const auto& file : offer.files) files.push_back({{"name", file.name}, {"size", file.size}});
            print({{"event", "offer"}, {"connection", id}, {"sender", offer.senderName}, {"pin", offer.pin},
                   {"files", files}, {"accept", accept}});
            co_return accept;
        };
        auto progress = [id](std::int64_t received, std::int64_t total) {
            print({{"event", "progress"}, {"connection", id}, {"received", received}, {"total", total}});
        };
        const auto saved = co_await QuickShareReceiver::receive(stream, answer_.dir, nullptr, decide, progress);
        if (saved.empty()) {
            print({{"event", "declined"}, {"connection", id}});
        } else {
            Json files = Json::array();
            for (const auto& path : saved) files.push_back(path.string());
            print({{"event", "received"}, {"connection", id}, {"files", files}});
        }
    }

    ReceiveAnswer answer_;
    std::function<void(int)> done_;
    std::atomic<int> connections_{0};
};

// --- receive ---

struct ReceiveOptions {
    std::string listen;
    ReceiveAnswer answer;
    bool once = false;
};

int receive(const ReceiveOptions& options) {
    const auto where = splitHostPort(options.listen);
    if (!where) return usage();
    asio::thread_pool pool(2);
    asio::ip::tcp::acceptor acceptor(pool);
    try {
        const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(where->first),
                                               static_cast<unsigned short>(std::stoul(where->second)));
        acceptor.open(endpoint.protocol());
        acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen();
    } catch (const std::exception& error) {
        std::cerr << "cannot listen on " << options.listen << ": " << error.what() << "\n";
        return 1;
    }
    print({{"event", "listening"}, {"port", acceptor.local_endpoint().port()}});

    Ending ending(pool);
    Reception reception(options.answer, [&](int status) {
        if (options.once) ending.settle(status);
    });
    auto acceptLoop = [&]() -> asio::awaitable<void> {
        for (;;) {
            auto socket = co_await acceptor.async_accept(asio::use_awaitable);
            reception.take(NetworkStream::accepted(std::move(socket), pool.get_executor()));
            if (options.once) co_return;
        }
    };
    asio::co_spawn(pool, std::move(acceptLoop), asio::detached);

    const int status = ending.wait();
    acceptor.close();
    pool.stop();
    pool.join();
    return status;
}

// --- advertise ---

struct AdvertiseOptions {
    std::string name;
    ReceiveAnswer answer;
    std::string scanned;  // the QR code URL a phone read
};

// The phone's side of a QR code: its key, read from the URL, gives the record it advertises.
std::optional<Bytes> scannedRecord(const std::string& url) {
    const std::string prefix = QRCodeSession::urlPrefix;
    if (!url.starts_with(prefix)) return std::nullopt;
    const auto key = base64UrlDecode(std::string_view(url).substr(prefix.size()));
    if (!key) return std::nullopt;
    return hkdfSha256(*key, {}, toBytes("advertisingContext"), 16);
}

// Listens on a free port of every address and publishes a phone carrying `record`.
int advertiseScanned(const AdvertiseOptions& options, Bytes record) {
    asio::thread_pool pool(2);
    Ending ending(pool);
    Reception reception(options.answer);
    asio::ip::tcp::acceptor acceptor(pool, {asio::ip::tcp::v6(), 0});
    const std::string name = QuickShareAdvertiser::makeServiceName(EndpointInfo::makeEndpointID());
    const EndpointInfo info(EndpointInfo::DeviceType::phone, options.name, std::move(record));
    AvahiServiceSpec spec{name, QuickShareAdvertiser::serviceType, acceptor.local_endpoint().port(),
                          {{"n", toBytes(base64UrlEncode(info.encoded()))}}};
    auto strand = asio::make_strand(pool);
    auto failed = [](std::string text) { print({{"event", "error"}, {"error", text}}); };
    std::optional<AvahiPublisher> publisher;
    asio::post(strand, [&] {
        try {
            publisher.emplace(strand, spec, AvahiPublisher::Events{[=] { failed("name taken"); }, failed});
        } catch (const std::exception& error) {
            failed(error.what());
        }
    });
    auto acceptLoop = [&]() -> asio::awaitable<void> {
        for (;;) {
            auto socket = co_await acceptor.async_accept(asio::use_awaitable);
            reception.take(NetworkStream::accepted(std::move(socket), pool.get_executor()));
        }
    };
    asio::co_spawn(pool, std::move(acceptLoop), asio::detached);
    print({{"event", "advertising"}, {"serviceName", name}, {"port", spec.port}});
    ending.wait();
    std::promise<void> withdrawn;  // the publisher goes on its own strand
    asio::post(strand, [&] {
        publisher.reset();
        withdrawn.set_value();
    });
    withdrawn.get_future().wait();
    acceptor.close();
    pool.stop();
    pool.join();
    return 0;
}

int advertise(const AdvertiseOptions& options) {
    if (!options.scanned.empty()) {
        const auto record = scannedRecord(options.scanned);
        if (!record) return usage();
        return advertiseScanned(options, *record);
    }
    asio::thread_pool pool(2);
    Ending ending(pool);
    Reception reception(options.answer);
    {
        QuickShareAdvertiser advertiser(pool.get_executor());
        advertiser.onConnection = [&](std::shared_ptr<NetworkStream> stream) { reception.take(std::move(stream)); };
        advertiser.onError = [](std::string text) { print({{"event", "error"}, {"error", text}}); };
        advertiser.onServiceNameChange = [](std::string name) {
            print({{"event", "renamed"}, {"serviceName", name}});
        };
        try {
            advertiser.start(options.name);
        } catch (const std::exception& error) {
            std::cerr << "cannot listen: " << error.what() << "\n";
            return 1;
        }
        print({{"event", "advertising"}, {"serviceName", advertiser.serviceName()}, {"port", *advertiser.port()}});
        ending.wait();
    }
    pool.stop();
    pool.join();
    return 0;
}

// Runs the send flow on `stream`, printing its events (with "phone": `phone` when given);
// `done` learns whether every file was delivered.
void sendOver(asio::thread_pool& pool, std::shared_ptr<NetworkStream> stream, std::vector<std::filesystem::path> files,
              std::string name, std::optional<QRCodeSession> qr, std::string phone, std::function<void(bool)> done) {
    auto tagged = [phone](Json event) {
        if (!phone.empty()) event["phone"] = phone;
        print(event);
    };
    auto status = [tagged](const QuickShareSender::Status& value) {
        switch (value.kind()) {
        case QuickShareSender::Status::Kind::connecting:
            tagged({{"event", "status"}, {"status", "connecting"}});
            break;
        case QuickShareSender::Status::Kind::waitingForAccept:
            tagged({{"event", "status"}, {"status", "waitingForAccept"}, {"pin", value.pin()}});
            break;
        case QuickShareSender::Status::Kind::sending:
            tagged({{"event", "status"}, {"status", "sending"}});
            break;
        }
    };
    auto progress = [tagged](std::int64_t sent, std::int64_t total) {
        tagged({{"event", "progress"}, {"sent", sent}, {"total", total}});
    };
    asio::co_spawn(pool,
                   QuickShareSender::send(std::move(files), stream, std::move(name), std::move(qr), nullptr, status,
                                          progress),
                   [tagged, stream, done = std::move(done)](std::exception_ptr failure) {
                       if (failure) {
                           tagged({{"event", "failed"}, {"error", describe(failure)}});
                       } else {
                           tagged({{"event", "sent"}});
                       }
                       stream->close();
                       if (done) done(!failure);
                   });
}

// --- discover ---

const char* typeName(EndpointInfo::DeviceType type) {
    using Type = EndpointInfo::DeviceType;
    switch (type) {
    case Type::phone: return "phone";
    case Type::tablet: return "tablet";
    case Type::laptop: return "laptop";
    case Type::car: return "car";
    case Type::foldable: return "foldable";
    case Type::xr: return "xr";
    case Type::unknown: break;
    }
    return "unknown";
}

Json describe(const QuickSharePhone& phone) {
    Json endpoints = Json::array();
    for (const auto& endpoint : phone.endpoints)
        endpoints.push_back({{"address", endpoint.address}, {"port", endpoint.port}});
    return {{"id", phone.id},
            {"name", phone.name},
            {"deviceType", typeName(phone.info.deviceType)},
            {"endpoints", endpoints},
            {"interface", phone.endpoints.empty() ? 0 : phone.endpoints.front().interfaceIndex}};
}

struct DiscoverOptions {
    bool qr = false;
    bool mobileOnly = false;
    std::vector<std::filesystem::path> send;  // sent once to each phone listed (or matched)
};

// Sends the files once to each phone handed to it, on the phone's own addresses.
class Dispatch {
public:
    Dispatch(asio::thread_pool& pool, std::vector<std::filesystem::path> files, std::optional<QRCodeSession> qr)
        : pool_(pool), files_(std::move(files)), qr_(std::move(qr)) {}

    void offer(const QuickSharePhone& phone) {
        if (files_.empty()) return;
        {
            std::lock_guard guard(lock_);
            if (!sentTo_.insert(phone.id).second) return;
        }
        print({{"event", "dialling"}, {"phone", describe(phone)}});
        sendOver(pool_, phone.openStream(pool_.get_executor()), files_, hostName(), qr_, phone.id, {});
    }

private:
    asio::thread_pool& pool_;
    std::vector<std::filesystem::path> files_;
    std::optional<QRCodeSession> qr_;
    std::mutex lock_;
    std::set<std::string> sentTo_;
};

int discover(const DiscoverOptions& options) {
    asio::thread_pool pool(2);
    Ending ending(pool);
    {
        std::optional<QRCodeSession> session;
        if (options.qr) session.emplace(P256PrivateKey::generate());
        Dispatch dispatch(pool, options.send, session);
        QuickShareDiscovery discovery(options.mobileOnly, pool.get_executor());
        discovery.onPhones = [&dispatch, qr = options.qr](std::vector<QuickSharePhone> phones) {
            Json list = Json::array();
            for (const auto& phone : phones) list.push_back(describe(phone));
            print({{"event", "phones"}, {"phones", list}});
            if (!qr)
                for (const auto& phone : phones) dispatch.offer(phone);
        };
        discovery.onQRMatch = [&dispatch](QuickSharePhone phone) {
            print({{"event", "match"}, {"phone", describe(phone)}});
            dispatch.offer(phone);
        };
        discovery.onError = [](std::string text) { print({{"event", "error"}, {"error", text}}); };
        if (session) {
            print({{"event", "qr"}, {"url", session->url()}});
            discovery.setQRSession(session);
        }
        discovery.start();
        ending.wait();
    }
    pool.stop();
    pool.join();
    return 0;
}

// --- send ---

struct SendOptions {
    std::string to, from;
    std::string name = hostName();
    std::vector<std::filesystem::path> files;
};

int send(const SendOptions& options) {
    const auto where = splitHostPort(options.to);
    if (!where || options.files.empty()) return usage();
    asio::thread_pool pool(2);
    std::vector<NetworkStream::Endpoint> endpoints;
    try {
        asio::ip::tcp::resolver resolver(pool);
        for (const auto& entry : resolver.resolve(where->first, where->second)) endpoints.push_back(entry.endpoint());
    } catch (const std::exception& error) {
        print({{"event", "failed"}, {"error", error.what()}});
        return 1;
    }
    auto stream = NetworkStream::outgoing(endpoints, pool.get_executor());
    if (!options.from.empty()) {
        asio::ip::tcp::socket socket(pool, {asio::ip::make_address(options.from), 0});
        socket.connect(endpoints.at(0));
        stream = NetworkStream::accepted(std::move(socket), pool.get_executor());
    }
    std::promise<bool> sent;
    sendOver(pool, stream, options.files, options.name, std::nullopt, {},
             [&](bool delivered) { sent.set_value(delivered); });
    const bool delivered = sent.get_future().get();
    pool.join();
    return delivered ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    try {
        if (command == "receive") {
            ReceiveOptions options;
            for (int i = 2; i < argc; ++i) {
                const std::string option = argv[i];
                if (option == "--once") {
                    options.once = true;
                } else if (i + 1 < argc && option == "--listen") {
                    options.listen = argv[++i];
                } else if (!options.answer.take(i, argc, argv)) {
                    return usage();
                }
            }
            if (options.listen.empty() || !options.answer.complete()) return usage();
            return receive(options);
        }
        if (command == "advertise") {
            AdvertiseOptions options;
            for (int i = 2; i < argc; ++i) {
                const std::string option = argv[i];
                if (i + 1 < argc && (option == "--name" || option == "--scanned")) {
                    (option == "--name" ? options.name : options.scanned) = argv[++i];
                } else if (!options.answer.take(i, argc, argv)) {
                    return usage();
                }
            }
            if (options.name.empty() || !options.answer.complete()) return usage();
            return advertise(options);
        }
        if (command == "discover") {
            DiscoverOptions options;
            for (int i = 2; i < argc; ++i) {
                const std::string option = argv[i];
                if (option == "--qr") {
                    options.qr = true;
                } else if (option == "--mobile-only") {
                    options.mobileOnly = true;
                } else if (option == "--send") {
                    for (; i + 1 < argc && !std::string(argv[i + 1]).starts_with("--"); ++i) options.send.emplace_back(argv[i + 1]);
                    if (options.send.empty()) return usage();
                } else {
                    return usage();
                }
            }
            return discover(options);
        }
        if (command == "send") {
            SendOptions options;
            for (int i = 2; i < argc; ++i) {
                const std::string option = argv[i];
                if (i + 1 < argc && (option == "--to" || option == "--from")) {
                    (option == "--to" ? options.to : options.from) = argv[++i];
                } else if (i + 1 < argc && option == "--name") {
                    options.name = argv[++i];
                } else if (option.starts_with("--")) {
                    return usage();
                } else {
                    options.files.emplace_back(option);
                }
            }
            if (options.to.empty()) return usage();
            return send(options);
        }
    } catch (const std::exception& error) {
        std::cerr << "quickshare-harness: " << error.what() << "\n";
        return 1;
    }
    return usage();
}
