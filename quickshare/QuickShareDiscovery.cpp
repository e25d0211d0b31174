#include "quickshare/QuickShareDiscovery.h"

#include <asio/dispatch.hpp>
#include <asio/strand.hpp>
#include <future>

#include "platform/AvahiBrowser.h"
#include "platform/Runtime.h"
#include "quickshare/Base64Url.h"
#include "transfer/PeerText.h"

namespace velmo {

namespace {

const std::string kFailurePrefix = "Quick Share discovery failed: ";

struct Callbacks {
    std::function<void(std::vector<QuickSharePhone>)> onPhones;
    std::function<void(QuickSharePhone)> onQRMatch;
    std::function<void(std::string)> onError;
};

bool keptByType(EndpointInfo::DeviceType type, bool qrMatched) {
    using Type = EndpointInfo::DeviceType;
    switch (type) {
        case Type::phone:
        case Type::tablet:
        case Type::foldable: return true;
        case Type::unknown: return qrMatched;
        default: return false;
    }
}

}  // namespace

// Everything here is touched on `strand` only.
struct QuickShareDiscovery::State : std::enable_shared_from_this<State> {
    bool mobileDevicesOnly;
    std::size_t maxServices;
    asio::any_io_executor executor;
    asio::strand<asio::any_io_executor> strand;
    Callbacks callbacks;
    std::optional<QRCodeSession> qr;
    std::set<std::string> ignored;
    bool browsing = false;  // also after the browser failed, until stop()
    std::optional<AvahiBrowser> browser;
    std::vector<AvahiResolvedService> results;

    State(bool mobileOnly, asio::any_io_executor base, std::size_t max)
        : mobileDevicesOnly(mobileOnly), maxServices(max), executor(base), strand(asio::make_strand(base)) {}

    // Runs `f` on the strand and returns once it has run: inline when already there.
    template <class F>
    void runOnStrand(F f) {
        if (strand.running_in_this_thread()) return f();
        std::promise<void> done;
        asio::dispatch(strand, [&] {
            f();
            done.set_value();
        });
        done.get_future().wait();
    }

    void start(Callbacks newCallbacks) {
        if (browsing) return;
        browsing = true;
        callbacks = std::move(newCallbacks);
        std::weak_ptr<State> weak = weak_from_this();
        try {
            browser.emplace(strand, serviceType, maxServices,
                            AvahiBrowser::Events{[weak](std::vector<AvahiResolvedService> list) {
                                                     if (auto self = weak.lock()) {
                                                         self->results = std::move(list);
                                                         self->rebuild();
                                                     }
                                                 },
                                                 [weak](std::string reason) {
                                                     if (auto self = weak.lock()) self->fail(reason);
                                                 }});
        } catch (const AvahiError& error) {
            fail(error.what());
        }
    }

    void stop() {
        browser.reset();  // no browser event is delivered after this
        browsing = false;
        results.clear();
    }

    void fail(const std::string& reason) {
        if (callbacks.onError) callbacks.onError(kFailurePrefix + reason);
    }

    // A phone from one browse result, or none when it is left out.
    std::optional<std::pair<QuickSharePhone, bool>> makePhone(const AvahiResolvedService& service) const {
        const auto text = service.txt.value("n");
        if (!text) return std::nullopt;
        const auto record = base64UrlDecode(std::string(text->begin(), text->end()));
        if (!record) return std::nullopt;
        auto info = EndpointInfo::parse(*record);
        if (!info) return std::nullopt;
        const std::optional<std::string> matched = qr ? qr->match(*info) : std::nullopt;
        if (mobileDevicesOnly && !keptByType(info->deviceType, matched.has_value())) return std::nullopt;
        const std::optional<std::string> name = matched ? matched : info->name;
        if (!name) return std::nullopt;
        // Every view shows this name: cleaned here, once, as an incoming phone's name is.
        std::vector<QuickSharePhone::Endpoint> endpoints;
        for (const auto& address : service.addresses)
            endpoints.push_back({address.address, address.port, service.interfaceIndex});
        QuickSharePhone phone{service.name, peerName(*name), std::move(endpoints), std::move(*info)};
        return std::pair{std::move(phone), matched.has_value()};
    }

    void rebuild() {
        if (!browsing) return;
        std::vector<QuickSharePhone> phones;
        for (const auto& service : results) {
            // An ignored service is never looked at, not even for a QR match.
            if (ignored.contains(service.name)) continue;
            auto made = makePhone(service);
            if (!made) continue;
            if (made->second && callbacks.onQRMatch) callbacks.onQRMatch(made->first);
            phones.push_back(std::move(made->first));
        }
        if (!callbacks.onPhones) return;
        std::stable_sort(phones.begin(), phones.end(),
                         [](const QuickSharePhone& a, const QuickSharePhone& b) { return a.name < b.name; });
        callbacks.onPhones(std::move(phones));
    }
};

QuickShareDiscovery::QuickShareDiscovery(bool mobileDevicesOnly)
    : QuickShareDiscovery(mobileDevicesOnly, Runtime::shared().executor()) {}

QuickShareDiscovery::QuickShareDiscovery(bool mobileDevicesOnly, asio::any_io_executor executor,
                                         std::size_t maxServices)
    : state_(std::make_shared<State>(mobileDevicesOnly, std::move(executor), maxServices)) {}

QuickShareDiscovery::~QuickShareDiscovery() {
    state_->runOnStrand([state = state_] {
        state->stop();
        state->callbacks = {};
    });
}

void QuickShareDiscovery::start() {
    // Browsing starts on the strand: connecting to the daemon never blocks the caller.
    asio::post(state_->strand, [state = state_, callbacks = Callbacks{onPhones, onQRMatch, onError}]() mutable {
        state->start(std::move(callbacks));
    });
}

void QuickShareDiscovery::stop() {
    state_->runOnStrand([state = state_] { state->stop(); });
}

void QuickShareDiscovery::ignore(std::set<std::string> serviceNames) {
    asio::post(state_->strand, [state = state_, names = std::move(serviceNames)]() mutable {
        state->ignored = std::move(names);
        state->rebuild();
    });
}

void QuickShareDiscovery::setQRSession(std::optional<QRCodeSession> session) {
    asio::post(state_->strand, [state = state_, session = std::move(session)]() mutable {
        state->qr = std::move(session);
        state->rebuild();
    });
}

}  // namespace velmo
