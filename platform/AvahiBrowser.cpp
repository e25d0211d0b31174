#include "platform/AvahiBrowser.h"

#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

#include <map>
#include <tuple>

#include "platform/AvahiConnection.h"
#include "platform/AvahiEventSink.h"

namespace velmo {

namespace {

// One browse result. Ordered so that the IPv4 result of a service on an interface comes
// right before its IPv6 one (AVAHI_PROTO_INET < AVAHI_PROTO_INET6).
using ResultKey = std::tuple<int, std::string, std::string, std::string, int>;  // interface, name, type, domain, protocol

// A resolver's list comes in the record's own order.
AvahiTxt readTxt(AvahiStringList* list) {
    AvahiTxt txt;
    for (AvahiStringList* entry = list; entry; entry = avahi_string_list_get_next(entry)) {
        char* key = nullptr;
        char* value = nullptr;
        size_t size = 0;
        if (avahi_string_list_get_pair(entry, &key, &value, &size) < 0) continue;
        AvahiTxt::Entry item{key ? key : "", std::nullopt};
        if (value) item.value = Bytes(value, value + size);
        avahi_free(key);
        avahi_free(value);
        txt.entries.push_back(std::move(item));
    }
    return txt;
}

}  // namespace

struct AvahiBrowser::Impl {
    using Sink = AvahiEventSink<Events>;

    struct Result {
        Impl* owner = nullptr;
        AvahiServiceResolver* resolver = nullptr;
        std::optional<AvahiResolvedService> resolved;
    };

    std::string type;
    std::size_t maxResults;
    std::shared_ptr<Sink> sink;
    // Touched only on Avahi's thread once started.
    ::AvahiClient* client = nullptr;
    AvahiServiceBrowser* browser = nullptr;
    std::map<ResultKey, std::unique_ptr<Result>> results;
    bool failed = false;
    std::unique_ptr<AvahiConnection> connection;

    Impl(asio::any_io_executor executor, std::string browseType, std::size_t max, Events events)
        : type(std::move(browseType)),
          maxResults(max),
          sink(std::make_shared<Sink>(std::move(executor), std::move(events))) {
        connection = std::make_unique<AvahiConnection>(AvahiConnection::Handlers{
            [this](::AvahiClient* c, AvahiClientState state) { onState(c, state); },
            [this] { onLost(); },
            [this](int error) { fail(error); },
        });
        connection->start();
    }

    ~Impl() {
        sink->close();
        connection.reset();  // frees the browser and every resolver with the client
    }

    void onState(::AvahiClient* c, AvahiClientState state) {
        if (failed || browser || state != AVAHI_CLIENT_S_RUNNING) return;
        client = c;
        browser = avahi_service_browser_new(c, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(), nullptr,
                                            AvahiLookupFlags(0), onBrowse, this);
        if (!browser) fail(avahi_client_errno(c));
    }

    void onLost() {
        // The objects go with the old client; the daemon's return brings the results back.
        client = nullptr;
        browser = nullptr;
        const bool hadResults = !results.empty();
        results.clear();
        if (hadResults) report();
    }

    static void onBrowse(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
                         const char* name, const char* type, const char* domain, AvahiLookupResultFlags,
                         void* context) {
        auto* self = static_cast<Impl*>(context);
        switch (event) {
            case AVAHI_BROWSER_NEW: self->add({interface, name, type, domain, protocol}); break;
            case AVAHI_BROWSER_REMOVE: self->remove({interface, name, type, domain, protocol}); break;
            case AVAHI_BROWSER_FAILURE: self->fail(avahi_client_errno(self->client)); break;
            default: break;
        }
    }

    void add(const ResultKey& key) {
        if (results.contains(key) || results.size() >= maxResults) return;
        auto result = std::make_unique<Result>();
        result->owner = this;
        const auto& [interface, name, serviceType, domain, protocol] = key;
        // Kept open for the result's whole life, so every later change is reported too.
        result->resolver = avahi_service_resolver_new(client, interface, protocol, name.c_str(), serviceType.c_str(),
                                                      domain.c_str(), protocol, AvahiLookupFlags(0), onResolve,
                                                      result.get());
        if (!result->resolver) return;
        results.emplace(key, std::move(result));
    }

    void remove(const ResultKey& key) {
        auto found = results.find(key);
        if (found == results.end()) return;
        const bool wasListed = found->second->resolved.has_value();
        avahi_service_resolver_free(found->second->resolver);
        results.erase(found);
        if (wasListed) report();
    }

    static void onResolve(AvahiServiceResolver*, AvahiIfIndex interface, AvahiProtocol, AvahiResolverEvent event,
                          const char* name, const char* type, const char* domain, const char* hostName,
                          const AvahiAddress* address, uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags,
                          void* context) {
        auto* result = static_cast<Result*>(context);
        // A failed lookup keeps what an earlier one found; the browser reports removals.
        if (event != AVAHI_RESOLVER_FOUND || !address) return;
        char text[AVAHI_ADDRESS_STR_MAX] = {};
        avahi_address_snprint(text, sizeof text, address);
        AvahiResolvedService service;
        service.name = name ? name : "";
        service.type = type ? type : "";
        service.domain = domain ? domain : "";
        service.interfaceIndex = interface;
        service.hostName = hostName ? hostName : "";
        service.address = text;
        service.ipv6 = address->proto == AVAHI_PROTO_INET6;
        service.port = port;
        service.txt = readTxt(txt);
        result->resolved = std::move(service);
        result->owner->report();
    }

    // Posts the whole current set, one entry per service and interface.
    void report() {
        std::vector<AvahiResolvedService> list;
        const ResultKey* last = nullptr;
        for (const auto& [key, result] : results) {
            if (!result->resolved) continue;
            if (last && std::get<0>(*last) == std::get<0>(key) && std::get<1>(*last) == std::get<1>(key) &&
                std::get<2>(*last) == std::get<2>(key) && std::get<3>(*last) == std::get<3>(key))
                continue;
            list.push_back(*result->resolved);
            last = &key;
        }
        sink->post([list = std::move(list)](Events& events) {
            if (events.onResults) events.onResults(list);
        });
    }

    void fail(int error) {
        if (failed) return;
        failed = true;
        sink->post([reason = describeAvahiError(error)](Events& events) {
            if (events.onFailure) events.onFailure(reason);
        });
    }
};

AvahiBrowser::AvahiBrowser(asio::any_io_executor executor, std::string type, std::size_t maxResults, Events events)
    : impl_(std::make_unique<Impl>(std::move(executor), std::move(type), maxResults, std::move(events))) {}

AvahiBrowser::~AvahiBrowser() = default;

}  // namespace velmo
