// Carries events from Avahi's thread to the owner's executor. Internal to the Avahi layer.
#pragma once
#include <asio/any_io_executor.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <memory>
#include <utility>

namespace velmo {

template <class Events>
class AvahiEventSink : public std::enable_shared_from_this<AvahiEventSink<Events>> {
public:
    AvahiEventSink(asio::any_io_executor executor, Events events)
        : executor_(std::move(executor)), events_(std::move(events)) {}

    // From Avahi's thread: `deliver(events)` later runs on the executor unless the owner
    // closed the sink first. `deliver` must hold only copied values.
    template <class Deliver>
    void post(Deliver deliver) {
        asio::post(executor_, [self = this->shared_from_this(), deliver = std::move(deliver)]() mutable {
            if (self->open_.load()) deliver(self->events_);
        });
    }

    // On the executor: nothing posted before or after is delivered any more.
    void close() { open_.store(false); }

private:
    asio::any_io_executor executor_;
    Events events_;
    std::atomic<bool> open_{true};
};

}  // namespace velmo
