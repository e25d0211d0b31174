// Makes this computer visible to Android phones: a TCP listener on a free port, published
// over Avahi as the Quick Share service with this computer's endpoint info in TXT "n". Each
// accepted connection is handed over unstarted.
#pragma once
#include <asio/any_io_executor.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Bytes.h"

namespace velmo {

class NetworkStream;

class QuickShareAdvertiser {
public:
    static constexpr const char* serviceType = "_FC9F5ED42C8A._tcp";
    // The name inside the TXT record only: the base64 of the record then fits the 255 bytes
    // of one TXT string. Connection requests keep the longer name.
    static constexpr std::size_t maxTxtNameBytes = 171;
    // Fresh names drawn in a row after collisions before giving up.
    static constexpr int maxRenames = 8;

    // The listener, the publication and the callbacks run on one strand of `executor`;
    // each accepted connection gets a strand of its own there.
    QuickShareAdvertiser();
    explicit QuickShareAdvertiser(asio::any_io_executor executor);
    // Stops advertising; no callback runs once it returns.
    ~QuickShareAdvertiser();
    QuickShareAdvertiser(const QuickShareAdvertiser&) = delete;
    QuickShareAdvertiser& operator=(const QuickShareAdvertiser&) = delete;

    // The published service name: 14 URL-safe base64 characters encoding a random endpoint
    // id. Fixed for the advertiser's life, except that a name taken on the network is
    // replaced by a new one (reported through onServiceNameChange).
    std::string serviceName() const;

    // Set before start(); start() takes the values in place then. They run on the
    // advertiser's strand and must hop to the GUI themselves.
    std::function<void(std::shared_ptr<NetworkStream>)> onConnection;  // each accepted connection
    std::function<void(std::string)> onError;  // "Couldn't show this computer to Android phones: …"
    // The name was taken and publishing goes on under this new one; discovery should ignore it.
    std::function<void(std::string)> onServiceNameChange;

    // (Re)starts advertising under `deviceName`: stops first, then listens on any free port
    // and publishes. Throws the listener's std::system_error when it cannot listen; nothing
    // is published then. Avahi failures (no daemon) arrive through onError; a later start()
    // tries again.
    void start(const std::string& deviceName);
    // Stops listening and publishing. Safe when not started; no callback runs once it returns.
    void stop();
    // The listener's port, none when not listening.
    std::optional<std::uint16_t> port() const;

    // The service name for a 4-character endpoint id.
    static std::string makeServiceName(const std::string& endpointId);
    // The TXT "n" value: this computer's endpoint info (laptop, the name cut for TXT) in
    // URL-safe base64 without padding; fresh random bytes on every call.
    static std::string txtValue(const std::string& deviceName);

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace velmo
