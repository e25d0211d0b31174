#include "velmo/model/IncomingAdmission.h"

#include <asio/ip/address.hpp>

#include <algorithm>

#include "transfer/ByteStream.h"

namespace velmo {

std::string IncomingAdmission::hostOf(const ByteStream& stream) {
    const std::string text = stream.remoteAddress();
    std::error_code ec;
    const auto address = asio::ip::make_address(text, ec);
    if (ec) return text;
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    return address.to_string();
}

std::optional<Uuid> IncomingAdmission::admit(std::shared_ptr<ByteStream> stream, CancelSignal cancel) {
    const std::string host = hostOf(*stream);
    std::optional<Place> displaced;
    const Uuid id = Uuid::random();
    {
        std::lock_guard guard(lock_);
        const auto heldBy = [&](const std::string& h) {
            return static_cast<std::size_t>(
                std::count_if(places_.begin(), places_.end(), [&](const Place& p) { return p.host == h; }));
        };
        const auto silentOf = [&](auto matches) {
            return std::find_if(places_.begin(), places_.end(),
                                [&](const Place& p) { return !p.offered && matches(p); });
        };
        const bool ownShareTaken = heldBy(host) >= placesPerHost;
        if (ownShareTaken || places_.size() >= places) {
            auto silent = silentOf([&](const Place& p) { return p.host == host; });
            if (silent == places_.end() && !ownShareTaken)
                silent = silentOf([&](const Place& p) { return heldBy(p.host) > 1; });
            if (silent == places_.end()) return std::nullopt;
            displaced = std::move(*silent);
            places_.erase(silent);
        }
        places_.push_back(Place{id, host, std::move(stream), std::move(cancel)});
    }
    if (displaced) {
        // Nothing it said is worth waiting for: its descriptor goes now, not after a goodbye.
        displaced->stream->abort();
        displaced->cancel.cancel();
    }
    return id;
}

std::vector<IncomingAdmission::Place>::iterator IncomingAdmission::find(const Uuid& id) {
    return std::find_if(places_.begin(), places_.end(), [&](const Place& p) { return p.id == id; });
}

std::vector<IncomingAdmission::Place>::const_iterator IncomingAdmission::find(const Uuid& id) const {
    return std::find_if(places_.begin(), places_.end(), [&](const Place& p) { return p.id == id; });
}

void IncomingAdmission::markOffered(const Uuid& id) {
    std::lock_guard guard(lock_);
    if (auto place = find(id); place != places_.end()) place->offered = true;
}

bool IncomingAdmission::run(const Uuid& id) {
    std::lock_guard guard(lock_);
    const auto place = find(id);
    if (place == places_.end()) return false;
    place->running = true;
    return true;
}

bool IncomingAdmission::offered(const Uuid& id) const {
    std::lock_guard guard(lock_);
    const auto place = find(id);
    return place != places_.end() && place->offered;
}

std::optional<std::string> IncomingAdmission::host(const Uuid& id) const {
    std::lock_guard guard(lock_);
    const auto place = find(id);
    if (place == places_.end()) return std::nullopt;
    return place->host;
}

void IncomingAdmission::release(const Uuid& id) {
    std::shared_ptr<ByteStream> stream;  // the last reference may go outside the lock
    std::lock_guard guard(lock_);
    if (auto place = find(id); place != places_.end()) {
        stream = std::move(place->stream);
        places_.erase(place);
    }
}

std::size_t IncomingAdmission::running() const {
    std::lock_guard guard(lock_);
    return static_cast<std::size_t>(std::count_if(places_.begin(), places_.end(), [](const Place& p) { return p.running; }));
}

}  // namespace velmo
