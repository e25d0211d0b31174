#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include "avahi/AvahiTestKit.h"

namespace velmo::test {

namespace {
AvahiStringList* toList(const std::vector<std::string>& txt) {
    AvahiStringList* list = nullptr;
    // Adding prepends, and Avahi sends a list in reverse: entries go out in the given order.
    for (const auto& entry : txt) list = avahi_string_list_add(list, entry.c_str());
    return list;
}
}  // namespace

struct ChangingService::Impl {
    std::string name, type;
    int port;
    AvahiProtocol protocol = AVAHI_PROTO_UNSPEC;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    std::mutex lock;
    std::condition_variable changed;
    int state = -1;  // AvahiEntryGroupState once known

    static void onGroup(AvahiEntryGroup*, AvahiEntryGroupState s, void* context) {
        auto* self = static_cast<Impl*>(context);
        std::lock_guard guard(self->lock);
        self->state = s;
        self->changed.notify_all();
    }
};

ChangingService::ChangingService(const std::string& name, const std::string& type, int port,
                                 std::vector<std::string> txt, int protocol)
    : impl_(std::make_unique<Impl>()) {
    impl_->protocol = protocol;
    impl_->name = name;
    impl_->type = type;
    impl_->port = port;
    impl_->poll = avahi_threaded_poll_new();
    int error = 0;
    impl_->client = avahi_client_new(avahi_threaded_poll_get(impl_->poll), AvahiClientFlags(0), nullptr, nullptr, &error);
    if (!impl_->client) throw std::runtime_error(avahi_strerror(error));
    impl_->group = avahi_entry_group_new(impl_->client, Impl::onGroup, impl_.get());
    AvahiStringList* list = toList(txt);
    error = avahi_entry_group_add_service_strlst(impl_->group, AVAHI_IF_UNSPEC, impl_->protocol, AvahiPublishFlags(0),
                                                 name.c_str(), type.c_str(), nullptr, nullptr, uint16_t(port), list);
    avahi_string_list_free(list);
    if (error < 0 || avahi_entry_group_commit(impl_->group) < 0) throw std::runtime_error(avahi_strerror(error));
    avahi_threaded_poll_start(impl_->poll);
}

ChangingService::~ChangingService() {
    avahi_threaded_poll_stop(impl_->poll);
    avahi_client_free(impl_->client);
    avahi_threaded_poll_free(impl_->poll);
}

bool ChangingService::waitEstablished(std::chrono::milliseconds limit) {
    std::unique_lock guard(impl_->lock);
    impl_->changed.wait_for(guard, limit, [&] {
        return impl_->state == AVAHI_ENTRY_GROUP_ESTABLISHED || impl_->state == AVAHI_ENTRY_GROUP_COLLISION ||
               impl_->state == AVAHI_ENTRY_GROUP_FAILURE;
    });
    return impl_->state == AVAHI_ENTRY_GROUP_ESTABLISHED;
}

void ChangingService::updateTxt(std::vector<std::string> txt) {
    AvahiStringList* list = toList(txt);
    avahi_threaded_poll_lock(impl_->poll);
    const int error = avahi_entry_group_update_service_txt_strlst(impl_->group, AVAHI_IF_UNSPEC, impl_->protocol,
                                                                  AvahiPublishFlags(0), impl_->name.c_str(),
                                                                  impl_->type.c_str(), nullptr, list);
    avahi_threaded_poll_unlock(impl_->poll);
    avahi_string_list_free(list);
    if (error < 0) throw std::runtime_error(avahi_strerror(error));
}

}  // namespace velmo::test
