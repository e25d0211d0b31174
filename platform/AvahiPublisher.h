// Publishes one DNS-SD service with its TXT record through the system avahi-daemon.
#pragma once
#include <asio/any_io_executor.hpp>
#include <functional>
#include <memory>
#include <string>

#include "platform/AvahiService.h"

namespace velmo {

class AvahiPublisher {
public:
    struct Events {
        // The name is taken on this network; nothing is published any more. Avahi's
        // alternative name is never taken: the owner chooses a new name and publishes again.
        std::function<void()> onCollision;
        // Publishing failed; the text is a short user-facing clause.
        std::function<void(std::string)> onFailure;
    };

    // Connects to the daemon and publishes on every interface. Throws AvahiError when the
    // daemon cannot be reached. Events are posted to `executor` (a strand); destroy the
    // publisher on that executor and no event arrives after it is gone. When the daemon
    // restarts, the service is published again once it is back.
    AvahiPublisher(asio::any_io_executor executor, AvahiServiceSpec service, Events events);
    // Withdraws the service.
    ~AvahiPublisher();
    AvahiPublisher(const AvahiPublisher&) = delete;
    AvahiPublisher& operator=(const AvahiPublisher&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmo
