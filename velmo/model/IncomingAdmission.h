// The places for incoming Quick Share connections, shared by the thread that accepts them and
// the GUI. A connection is taken, or turned away, where it is accepted: one turned away, or
// displaced to make room, is ended there and then, so that a flood cannot pile up open
// connections while each waits for its turn on the GUI thread.
#pragma once
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/CancelSignal.h"
#include "platform/Uuid.h"

namespace velmo {

class ByteStream;

class IncomingAdmission {
public:
    static constexpr std::size_t places = 4;
    // Whatever its connections do, one host leaves the other places to the rest.
    static constexpr std::size_t placesPerHost = 2;

    // Where a connection came from, one text per host: an IPv4 peer reached over a dual-stack
    // listener is the same host as over IPv4.
    static std::string hostOf(const ByteStream& stream);

    // Any thread. A place for `stream`, whose flow `cancel` will stop; none when there is no
    // room (the caller ends the stream). Room is made by displacing a connection that has not
    // offered yet: the newcomer's own host's oldest, failing that (unless its host already holds
    // its share) the oldest of a host holding several. The displaced connection is ended at once
    // and its flow cancelled.
    std::optional<Uuid> admit(std::shared_ptr<ByteStream> stream, CancelSignal cancel);
    // The GUI runs the place's receive from now on; false when it was displaced on its way there.
    bool run(const Uuid& id);
    // Any thread: the engine has read the place's offer, and so it keeps its place.
    void markOffered(const Uuid& id);
    bool offered(const Uuid& id) const;
    // Where the place's connection came from, while it holds the place.
    std::optional<std::string> host(const Uuid& id) const;
    void release(const Uuid& id);
    // The places whose receive runs.
    std::size_t running() const;

private:
    struct Place {
        Uuid id;
        std::string host;
        std::shared_ptr<ByteStream> stream;
        CancelSignal cancel;
        bool offered = false;
        bool running = false;
    };
    std::vector<Place>::iterator find(const Uuid& id);
    std::vector<Place>::const_iterator find(const Uuid& id) const;

    mutable std::mutex lock_;
    std::vector<Place> places_;  // oldest first
};

}  // namespace velmo
