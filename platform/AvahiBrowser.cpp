#include "platform/AvahiBrowser.h"

#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/timeval.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <tuple>

#include "platform/AvahiConnection.h"
#include "platform/AvahiEventSink.h"

namespace velmo {

namespace {

// One service on one interface, and one browse result of it: the service as announced over
// one protocol. Ordered so that the results of a service are adjacent, its IPv4 one before its
// IPv6 one (AVAHI_PROTO_INET < AVAHI_PROTO_INET6).
using ServiceKey = std::tuple<int, std::string, std::string, std::string>;  // interface, name, type, domain
using ResultKey = std::tuple<int, std::string, std::string, std::string, int>;  // ... and protocol

ServiceKey serviceOf(const ResultKey& key) {
    return {std::get<0>(key), std::get<1>(key), std::get<2>(key), std::get<3>(key)};
}

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
    enum class Reporting { always, ifListingChanged };  // see report()

    struct Result {
        Impl* owner = nullptr;
        ServiceKey service;
        AvahiServiceResolver* resolver = nullptr;
        std::optional<AvahiResolvedService> resolved;  // with its one address
        bool settled = false;                          // resolved or failed at least once
        std::uint64_t resolvedAt = 0;                  // order of the latest resolution
    };

    std::string type;
    std::size_t maxResults;
    std::shared_ptr<Sink> sink;
    // Touched only on Avahi's thread once started.
    ::AvahiClient* client = nullptr;
    AvahiServiceBrowser* browser = nullptr;
    std::map<ResultKey, std::unique_ptr<Result>> results;
    std::uint64_t resolutions = 0;
    std::set<ServiceKey> listed;  // in the last report

    // A service first heard over one protocol waits a moment before it is listed: a phone
    // dialled at once should have the other protocol's address too.
    std::chrono::milliseconds settle;
    struct Settling {
        Impl* owner = nullptr;
        ServiceKey service;
        AvahiTimeout* timeout = nullptr;
    };
    std::map<ServiceKey, std::unique_ptr<Settling>> settling;

    bool failed = false;
    std::unique_ptr<AvahiConnection> connection;

    Impl(asio::any_io_executor executor, std::string browseType, std::size_t max, Events events,
         std::chrono::milliseconds settleTime)
        : type(std::move(browseType)),
          maxResults(max),
          sink(std::make_shared<Sink>(std::move(executor), std::move(events))),
          settle(settleTime) {
        connection = std::make_unique<AvahiConnection>(AvahiConnection::Handlers{
            [this](::AvahiClient* c, AvahiClientState state) { onState(c, state); },
            [this] { onLost(); },
            [this](int error) { fail(error); },
        });
        connection->start();
    }

    ~Impl() {
        sink->close();
        // A timer or callback already due runs while Avahi's thread stops: everything it
        // touches, the connection too, must still be here.
        connection->stop();
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
        listed.clear();
        for (const auto& [service, waiting] : settling) connection->poll()->timeout_free(waiting->timeout);
        settling.clear();
        if (hadResults) report(Reporting::always);
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
        result->service = serviceOf(key);
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
        const bool hadAddress = found->second->resolved.has_value();
        avahi_service_resolver_free(found->second->resolver);
        results.erase(found);
        // A lookup that never finished may have held its service back.
        report(hadAddress ? Reporting::always : Reporting::ifListingChanged);
    }

    static void onResolve(AvahiServiceResolver*, AvahiIfIndex interface, AvahiProtocol, AvahiResolverEvent event,
                          const char* name, const char* type, const char* domain, const char* hostName,
                          const AvahiAddress* address, uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags,
                          void* context) {
        auto* result = static_cast<Result*>(context);
        if (event != AVAHI_RESOLVER_FOUND || !address) {
            // A failed lookup keeps what an earlier one found; the browser reports removals.
            // It no longer holds the service back.
            if (result->settled) return;
            result->settled = true;
            result->owner->report(Reporting::ifListingChanged);
            return;
        }
        char text[AVAHI_ADDRESS_STR_MAX] = {};
        avahi_address_snprint(text, sizeof text, address);
        AvahiResolvedService service;
        service.name = name ? name : "";
        service.type = type ? type : "";
        service.domain = domain ? domain : "";
        service.interfaceIndex = interface;
        service.hostName = hostName ? hostName : "";
        service.addresses.push_back({text, address->proto == AVAHI_PROTO_INET6, port});
        service.txt = readTxt(txt);
        result->resolved = std::move(service);
        result->settled = true;
        result->resolvedAt = ++result->owner->resolutions;
        result->owner->holdBackForOtherProtocol(result->service);
        result->owner->report(Reporting::always);
    }

    // A service not yet listed that so far was announced over one protocol only is held back
    // for `settle`, or until its other announcement resolves.
    void holdBackForOtherProtocol(const ServiceKey& service) {
        if (listed.contains(service) || settling.contains(service)) return;
        const auto first = results.lower_bound(std::tuple_cat(service, std::tuple{std::numeric_limits<int>::min()}));
        if (first == results.end() || serviceOf(first->first) != service) return;
        if (auto next = std::next(first); next != results.end() && serviceOf(next->first) == service) return;
        auto waiting = std::make_unique<Settling>(Settling{this, service, nullptr});
        timeval when{};
        avahi_elapse_time(&when, static_cast<unsigned>(settle.count()), 0);
        const AvahiPoll* api = connection->poll();
        waiting->timeout = api->timeout_new(api, &when, onSettled, waiting.get());
        if (waiting->timeout) settling.emplace(service, std::move(waiting));
    }

    static void onSettled(AvahiTimeout* timeout, void* context) {
        auto* waiting = static_cast<Settling*>(context);
        Impl* self = waiting->owner;
        const ServiceKey service = waiting->service;
        self->connection->poll()->timeout_free(timeout);
        self->settling.erase(service);  // frees `waiting`
        self->report(Reporting::ifListingChanged);
    }

    // Posts the whole current set, one entry per service and interface carrying every address
    // found for it there. A service is first listed once none of its lookups is still running
    // and it is not settling, so that whoever dials it at once has all its addresses, whichever
    // came first. Its TXT record is the latest one resolved. With `ifListingChanged`, nothing
    // is posted when the same services would be listed: for changes that alter no address or
    // TXT record, only whether a service may be listed yet.
    void report(Reporting when) {
        std::vector<AvahiResolvedService> list;
        std::set<ServiceKey> shown;
        for (auto at = results.begin(); at != results.end();) {
            const ServiceKey service = serviceOf(at->first);
            const Result* latest = nullptr;
            bool pending = false;
            std::vector<AvahiResolvedService::Address> addresses;
            for (; at != results.end() && serviceOf(at->first) == service; ++at) {
                const Result& result = *at->second;
                pending = pending || !result.settled;
                if (!result.resolved) continue;
                addresses.insert(addresses.end(), result.resolved->addresses.begin(), result.resolved->addresses.end());
                if (!latest || result.resolvedAt > latest->resolvedAt) latest = &result;
            }
            if (!latest || (!listed.contains(service) && (pending || settling.contains(service)))) continue;
            std::stable_partition(addresses.begin(), addresses.end(), [](const auto& a) { return !a.ipv6; });
            AvahiResolvedService entry = *latest->resolved;
            entry.addresses = std::move(addresses);
            list.push_back(std::move(entry));
            shown.insert(service);
        }
        if (when == Reporting::ifListingChanged && shown == listed) return;
        listed = std::move(shown);
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

AvahiBrowser::AvahiBrowser(asio::any_io_executor executor, std::string type, std::size_t maxResults, Events events,
                           std::chrono::milliseconds settle)
    : impl_(std::make_unique<Impl>(std::move(executor), std::move(type), maxResults, std::move(events), settle)) {}

AvahiBrowser::~AvahiBrowser() = default;

}  // namespace velmo
