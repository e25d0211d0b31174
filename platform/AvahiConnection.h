// One client connection to the system avahi-daemon over D-Bus, run by its own Avahi thread.
// Internal to the Avahi layer: only the platform's Avahi*.cpp files include it.
#pragma once
#include <avahi-client/client.h>
#include <avahi-common/thread-watch.h>

#include <functional>

namespace velmo {

class AvahiConnection {
public:
    // Every handler runs on Avahi's thread with its lock held (the first `state` call runs
    // inside the constructor), so it may create and free objects of the client it is given.
    struct Handlers {
        // A state of a live client: registering, running, collision or connecting.
        std::function<void(::AvahiClient*, AvahiClientState)> state;
        // The daemon went away: every object of the old client is about to be freed. A new
        // client waits for the daemon and reports `state` again once it is back.
        std::function<void()> lost;
        // The connection failed for good, with an Avahi error code.
        std::function<void(int)> failed;
    };

    // Connects now; throws AvahiError when the daemon cannot be reached.
    explicit AvahiConnection(Handlers handlers);
    // Stops Avahi's thread, then frees the client and everything it made.
    ~AvahiConnection();
    AvahiConnection(const AvahiConnection&) = delete;
    AvahiConnection& operator=(const AvahiConnection&) = delete;

    // Starts Avahi's thread; from here on the handlers run only there.
    void start();
    // Stops Avahi's thread and waits for it. A handler or timeout that was already due can
    // still run during the call, none after it: an owner calls this before it lets go of
    // anything they touch. Never called on Avahi's thread; a second call does nothing.
    void stop();
    // The poll of Avahi's thread, for timeouts that run there too.
    const AvahiPoll* poll() const;

private:
    static void onClientState(::AvahiClient* client, AvahiClientState state, void* self);
    static void onReconnect(AvahiTimeout* timeout, void* self);
    void scheduleReconnect(int delayMs);

    Handlers handlers_;
    AvahiThreadedPoll* poll_ = nullptr;
    ::AvahiClient* client_ = nullptr;
    AvahiTimeout* reconnect_ = nullptr;
    bool running_ = false;
};

}  // namespace velmo
