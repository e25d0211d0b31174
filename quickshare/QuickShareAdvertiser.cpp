#include "quickshare/QuickShareAdvertiser.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>
#include <future>
#include <mutex>

#include "platform/AvahiPublisher.h"
#include "platform/PosixError.h"
#include "platform/Runtime.h"
#include "platform/Utf8.h"
#include "quickshare/Base64Url.h"
#include "quickshare/EndpointInfo.h"
#include "transfer/NetworkStream.h"

namespace velmo {

namespace {

const std::string kFailurePrefix = "Couldn't show this computer to Android phones: ";

struct Callbacks {
    std::function<void(std::shared_ptr<NetworkStream>)> onConnection;
    std::function<void(std::string)> onError;
    std::function<void(std::string)> onServiceNameChange;
};


// Accept failures that concern one connection only, or a passing shortage: keep listening.
bool acceptGoesOn(const std::error_code& error) {
    switch (posixCode(error).value_or(std::errc::invalid_argument)) {
    case std::errc::connection_aborted:
    case std::errc::interrupted:
    case std::errc::operation_would_block:
    case std::errc::too_many_files_open:
    case std::errc::too_many_files_open_in_system:
    case std::errc::no_buffer_space:
    case std::errc::not_enough_memory:
    case std::errc::protocol_error:
        return true;
    default:
        return false;
    }
}

}  // namespace

struct QuickShareAdvertiser::State : std::enable_shared_from_this<State> {
    asio::any_io_executor executor;
    asio::strand<asio::any_io_executor> strand;

    mutable std::mutex lock;  // guards serviceName and port, read from any thread
    std::string serviceName;
    std::optional<std::uint16_t> port;

    // Touched on the strand only.
    Callbacks callbacks;
    std::optional<asio::ip::tcp::acceptor> acceptor;
    std::optional<AvahiPublisher> publisher;
    std::string txt;
    unsigned generation = 0;  // bumped by every start and stop; older events are dropped
    int renames = 0;

    explicit State(asio::any_io_executor base)
        : executor(base),
          strand(asio::make_strand(base)),
          serviceName(makeServiceName(EndpointInfo::makeEndpointID())) {}

    template <class F>
    void runOnStrand(F f) {
        if (strand.running_in_this_thread()) return f();
        std::promise<void> done;
        std::exception_ptr failure;
        asio::dispatch(strand, [&] {
            try {
                f();
            } catch (...) {
                failure = std::current_exception();
            }
            done.set_value();
        });
        done.get_future().wait();
        if (failure) std::rethrow_exception(failure);
    }

    std::string name() const {
        std::lock_guard guard(lock);
        return serviceName;
    }

    void stop() {
        ++generation;
        publisher.reset();
        if (acceptor) {
            std::error_code ignored;
            acceptor->close(ignored);
            acceptor.reset();
        }
        std::lock_guard guard(lock);
        port.reset();
    }

    // Listens on every address, IPv6 and IPv4 alike where the system allows it.
    static asio::ip::tcp::acceptor listen(const asio::any_io_executor& on) {
        asio::ip::tcp::acceptor listener(on);
        std::error_code error;
        listener.open(asio::ip::tcp::v6(), error);
        if (!error) {
            listener.set_option(asio::ip::v6_only(false), error);
            if (!error) listener.bind({asio::ip::tcp::v6(), 0}, error);
            if (error) listener.close();
        }
        if (error) {
            listener.open(asio::ip::tcp::v4());
            listener.bind({asio::ip::tcp::v4(), 0});
        }
        listener.listen(asio::socket_base::max_listen_connections);
        return listener;
    }

    void start(const std::string& deviceName, Callbacks newCallbacks) {
        stop();
        acceptor.emplace(listen(strand));  // throws: nothing is advertised
        const std::uint16_t listening = acceptor->local_endpoint().port();
        {
            std::lock_guard guard(lock);
            port = listening;
        }
        callbacks = std::move(newCallbacks);
        txt = txtValue(deviceName);
        renames = 0;
        const unsigned current = generation;
        // The daemon is asked on the strand after start() returns, not on the caller's thread.
        asio::post(strand, [self = shared_from_this(), current] {
            if (current == self->generation) self->publish(current);
        });
        asio::co_spawn(strand, acceptLoop(shared_from_this(), current), asio::detached);
    }

    void publish(unsigned current) {
        std::weak_ptr<State> weak = weak_from_this();
        try {
            publisher.emplace(strand, AvahiServiceSpec{name(), serviceType, *port, {{"n", toBytes(txt)}}},
                              AvahiPublisher::Events{[weak, current] {
                                                         if (auto self = weak.lock()) self->collided(current);
                                                     },
                                                     [weak, current](std::string reason) {
                                                         if (auto self = weak.lock()) self->failed(current, reason);
                                                     }});
        } catch (const AvahiError& error) {
            failed(current, error.what());
        }
    }

    void failed(unsigned current, const std::string& reason) {
        if (current != generation) return;
        publisher.reset();
        if (callbacks.onError) callbacks.onError(kFailurePrefix + reason);
    }

    // Avahi's alternative name ("NAME #2") would break the name phones decode: draw a new
    // endpoint id instead and publish again.
    void collided(unsigned current) {
        if (current != generation) return;
        publisher.reset();
        if (++renames > maxRenames) {
            if (callbacks.onError) callbacks.onError(kFailurePrefix + "its name is taken on this network.");
            return;
        }
        const std::string fresh = makeServiceName(EndpointInfo::makeEndpointID());
        {
            std::lock_guard guard(lock);
            serviceName = fresh;
        }
        if (callbacks.onServiceNameChange) callbacks.onServiceNameChange(fresh);
        if (current == generation) publish(current);
    }

    static asio::awaitable<void> acceptLoop(std::shared_ptr<State> self, unsigned current) {
        asio::steady_timer pause(self->strand);
        while (current == self->generation && self->acceptor) {
            std::error_code error;
            // The connection's own strand comes from the stream; the socket is only carried.
            asio::ip::tcp::socket socket = co_await self->acceptor->async_accept(
                self->executor, asio::redirect_error(asio::use_awaitable, error));
            if (current != self->generation) co_return;
            if (error) {
                if (!acceptGoesOn(error)) {
                    if (self->callbacks.onError) self->callbacks.onError(kFailurePrefix + error.message() + ".");
                    co_return;
                }
                // Out of descriptors or memory: give the system a moment before the next try.
                pause.expires_after(std::chrono::milliseconds(100));
                co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, error));
                continue;
            }
            if (!self->callbacks.onConnection) {
                // Nobody takes connections: end this one instead of leaving it open.
                socket.shutdown(asio::socket_base::shutdown_both, error);
                socket.close(error);
                continue;
            }
            self->callbacks.onConnection(NetworkStream::accepted(std::move(socket), self->executor));
        }
    }
};

QuickShareAdvertiser::QuickShareAdvertiser() : QuickShareAdvertiser(Runtime::shared().executor()) {}

QuickShareAdvertiser::QuickShareAdvertiser(asio::any_io_executor executor)
    : state_(std::make_shared<State>(std::move(executor))) {}

QuickShareAdvertiser::~QuickShareAdvertiser() {
    state_->runOnStrand([state = state_] {
        state->stop();
        state->callbacks = {};
    });
}

std::string QuickShareAdvertiser::serviceName() const { return state_->name(); }

void QuickShareAdvertiser::start(const std::string& deviceName) {
    Callbacks callbacks{onConnection, onError, onServiceNameChange};
    state_->runOnStrand([&] { state_->start(deviceName, std::move(callbacks)); });
}

void QuickShareAdvertiser::stop() {
    state_->runOnStrand([state = state_] { state->stop(); });
}

std::optional<std::uint16_t> QuickShareAdvertiser::port() const {
    std::lock_guard guard(state_->lock);
    return state_->port;
}

std::string QuickShareAdvertiser::makeServiceName(const std::string& endpointId) {
    Bytes raw{0x23};
    raw.insert(raw.end(), endpointId.begin(), endpointId.end());
    raw.insert(raw.end(), {0xFC, 0x9F, 0x5E, 0x00, 0x00});
    return base64UrlEncode(raw);
}

std::string QuickShareAdvertiser::txtValue(const std::string& deviceName) {
    EndpointInfo info(EndpointInfo::DeviceType::laptop, std::string(Utf8::prefix(deviceName, maxTxtNameBytes)));
    return base64UrlEncode(info.encoded());
}

}  // namespace velmo
