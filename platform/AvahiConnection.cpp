#include "platform/AvahiConnection.h"

#include <avahi-common/error.h>
#include <avahi-common/timeval.h>
#include <avahi-common/watch.h>

#include "platform/AvahiService.h"

namespace velmo {

namespace {
// Waiting for the daemon needs the bus itself; when even that is gone, try again this often.
constexpr int kBusRetryMs = 2000;
}  // namespace

std::string describeAvahiError(int code) {
    switch (code) {
        case AVAHI_ERR_NO_DAEMON:
        case AVAHI_ERR_DBUS_ERROR:
        case AVAHI_ERR_DISCONNECTED:
            return "avahi-daemon is not running.";
        default:
            return std::string(avahi_strerror(code)) + ".";
    }
}

AvahiConnection::AvahiConnection(Handlers handlers) : handlers_(std::move(handlers)) {
    poll_ = avahi_threaded_poll_new();
    if (!poll_) throw AvahiError(describeAvahiError(AVAHI_ERR_NO_MEMORY));
    int error = 0;
    // No AVAHI_CLIENT_NO_FAIL here: an absent daemon is reported to the owner at once.
    client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0), onClientState, this,
                               &error);
    if (!client_) {
        avahi_threaded_poll_free(poll_);
        throw AvahiError(describeAvahiError(error));
    }
}

AvahiConnection::~AvahiConnection() {
    stop();
    if (reconnect_) avahi_threaded_poll_get(poll_)->timeout_free(reconnect_);
    if (client_) avahi_client_free(client_);
    avahi_threaded_poll_free(poll_);
}

void AvahiConnection::start() {
    if (running_) return;
    if (avahi_threaded_poll_start(poll_) < 0) throw AvahiError(describeAvahiError(AVAHI_ERR_OS));
    running_ = true;
}

void AvahiConnection::stop() {
    if (!running_) return;
    avahi_threaded_poll_stop(poll_);
    running_ = false;
}

const AvahiPoll* AvahiConnection::poll() const { return avahi_threaded_poll_get(poll_); }

void AvahiConnection::onClientState(::AvahiClient* client, AvahiClientState state, void* context) {
    auto* self = static_cast<AvahiConnection*>(context);
    if (state != AVAHI_CLIENT_FAILURE) {
        if (self->handlers_.state) self->handlers_.state(client, state);
        return;
    }
    const int error = avahi_client_errno(client);
    if (error == AVAHI_ERR_DISCONNECTED && self->client_ == client) {
        // The daemon stopped or restarted. The old client is freed outside its own callback.
        if (self->handlers_.lost) self->handlers_.lost();
        self->scheduleReconnect(0);
        return;
    }
    if (self->handlers_.failed) self->handlers_.failed(error);
}

void AvahiConnection::scheduleReconnect(int delayMs) {
    timeval when{};
    avahi_elapse_time(&when, delayMs, 0);
    const AvahiPoll* api = avahi_threaded_poll_get(poll_);
    if (reconnect_)
        api->timeout_update(reconnect_, &when);
    else
        reconnect_ = api->timeout_new(api, &when, onReconnect, this);
}

void AvahiConnection::onReconnect(AvahiTimeout* timeout, void* context) {
    auto* self = static_cast<AvahiConnection*>(context);
    avahi_threaded_poll_get(self->poll_)->timeout_update(timeout, nullptr);
    if (self->client_) {
        avahi_client_free(self->client_);
        self->client_ = nullptr;
    }
    int error = 0;
    // Waits in the connecting state until the daemon is back, then reports running.
    self->client_ = avahi_client_new(avahi_threaded_poll_get(self->poll_), AVAHI_CLIENT_NO_FAIL,
                                     onClientState, self, &error);
    if (!self->client_) self->scheduleReconnect(kBusRetryMs);
}

}  // namespace velmo
