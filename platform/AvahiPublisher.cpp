#include "platform/AvahiPublisher.h"

#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>

#include "platform/AvahiConnection.h"
#include "platform/AvahiEventSink.h"

namespace velmo {

namespace {
// Avahi writes a key without "=" for a null value; an empty value still has its "=".
const std::uint8_t kEmpty[1] = {0};
}  // namespace

struct AvahiPublisher::Impl {
    using Sink = AvahiEventSink<Events>;

    AvahiServiceSpec service;
    std::shared_ptr<Sink> sink;
    AvahiEntryGroup* group = nullptr;  // touched only on Avahi's thread once started
    bool done = false;                 // collided or failed: never publish again
    std::unique_ptr<AvahiConnection> connection;

    Impl(asio::any_io_executor executor, AvahiServiceSpec published, Events events)
        : service(std::move(published)), sink(std::make_shared<Sink>(std::move(executor), std::move(events))) {
        connection = std::make_unique<AvahiConnection>(AvahiConnection::Handlers{
            [this](::AvahiClient* client, AvahiClientState state) { onState(client, state); },
            [this] { group = nullptr; },
            [this](int error) { fail(error); },
        });
        connection->start();
    }

    ~Impl() {
        sink->close();
        // An entry-group or client callback already due runs while Avahi's thread stops.
        connection->stop();
        connection.reset();
    }

    void onState(::AvahiClient* client, AvahiClientState state) {
        if (done) return;
        if (state == AVAHI_CLIENT_S_RUNNING) {
            publish(client);
        } else if (state == AVAHI_CLIENT_S_COLLISION || state == AVAHI_CLIENT_S_REGISTERING) {
            // The daemon is renaming its host; our records come back once it runs again.
            if (group) avahi_entry_group_reset(group);
        }
    }

    void publish(::AvahiClient* client) {
        if (!group) {
            group = avahi_entry_group_new(client, onGroupState, this);
            if (!group) return fail(avahi_client_errno(client));
        }
        if (!avahi_entry_group_is_empty(group)) return;
        AvahiStringList* txt = nullptr;
        // Avahi keeps a TXT list in reverse of its wire order, and adding prepends: entries
        // added in order go out in order.
        for (const auto& [key, value] : service.txt)
            txt = avahi_string_list_add_pair_arbitrary(txt, key.c_str(), value.empty() ? kEmpty : value.data(),
                                                       value.size());
        int error = avahi_entry_group_add_service_strlst(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                         AvahiPublishFlags(0), service.name.c_str(),
                                                         service.type.c_str(), nullptr, nullptr, service.port, txt);
        avahi_string_list_free(txt);
        if (error == AVAHI_ERR_COLLISION) return collide();
        if (error >= 0) error = avahi_entry_group_commit(group);
        if (error < 0) fail(error);
    }

    static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context) {
        auto* self = static_cast<Impl*>(context);
        if (state == AVAHI_ENTRY_GROUP_COLLISION)
            self->collide();
        else if (state == AVAHI_ENTRY_GROUP_FAILURE)
            self->fail(avahi_client_errno(avahi_entry_group_get_client(group)));
    }

    void collide() {
        if (done) return;
        done = true;
        if (group) avahi_entry_group_reset(group);
        sink->post([](Events& events) {
            if (events.onCollision) events.onCollision();
        });
    }

    void fail(int error) {
        if (done) return;
        done = true;
        if (group) avahi_entry_group_reset(group);
        sink->post([reason = describeAvahiError(error)](Events& events) {
            if (events.onFailure) events.onFailure(reason);
        });
    }
};

AvahiPublisher::AvahiPublisher(asio::any_io_executor executor, AvahiServiceSpec service, Events events)
    : impl_(std::make_unique<Impl>(std::move(executor), std::move(service), std::move(events))) {}

AvahiPublisher::~AvahiPublisher() = default;

}  // namespace velmo
