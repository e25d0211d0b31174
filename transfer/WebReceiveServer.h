// Token-protected HTTP upload server for phones without Quick Share: GET "/" serves the upload
// page, POST "/upload" stores one file per connection in the destination folder.
#pragma once
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/Runtime.h"
#include "platform/Uuid.h"
#include "transfer/ReceiveSessionBudget.h"

namespace velmo {

struct WebReceiveTimeouts {
    std::chrono::milliseconds idle{30'000};      // silence allowed before each read
    std::chrono::milliseconds head{60'000};      // a whole request head
    std::chrono::milliseconds drain{2'000};      // reading the unwanted rest of a body after an early answer
    std::chrono::milliseconds acceptRetry{100};  // pause after a failed accept (e.g. too many open files)
};

class WebReceiveServer {
public:
    using Timeouts = WebReceiveTimeouts;

    // Connections being served at most. When all places are taken, a new one replaces the
    // oldest that has not yet shown the token in a whole request head, so idle sockets cannot
    // lock phones out. One that has had its answer holds no place while it closes (so a phone's
    // next request does not cut it before its answer is read); as many again may be closing,
    // beyond which the oldest of them is closed at once.
    static constexpr std::size_t maxConnections = 8;

    // Events of one upload, in order: started, progress (non-decreasing), then finished or failed.
    struct Started {
        Uuid id;
        std::string name;    // the safe file name
        std::int64_t size;   // announced length in bytes
        std::string device;  // the phone's description
    };
    struct Progress {
        Uuid id;
        std::int64_t done;
    };
    struct Finished {
        Uuid id;
        std::filesystem::path url;  // the saved file
    };
    struct Failed {
        Uuid id;
        std::string message;  // user-facing reason
    };
    using Event = std::variant<Started, Progress, Finished, Failed>;
    using EventHandler = std::function<void(const Event&)>;
    // How each upload that has ended went, by id: saved (Finished) or not (Failed).
    using Outcome = std::variant<Finished, Failed>;
    using SettledUploads = std::map<Uuid, Outcome>;

    // Nothing is opened until start(). `bindAddress` is an IPv4 address as text; none listens
    // on every local address.
    WebReceiveServer(std::string page, std::filesystem::path folder, std::string token,
                     std::optional<std::string> bindAddress,
                     std::shared_ptr<ReceiveSessionBudget> sessionBudget, Timeouts timeouts = {},
                     asio::any_io_executor executor = Runtime::shared().executor());
    ~WebReceiveServer();  // stops the server
    WebReceiveServer(const WebReceiveServer&) = delete;
    WebReceiveServer& operator=(const WebReceiveServer&) = delete;

    // 32 lower-case hexadecimal characters from the system's secure random source.
    static std::string makeToken();

    const std::string& token() const;

    // Where upload events go. Called from each upload's own task, never on the owner's thread:
    // the owner moves each event to its own thread. Set it before start().
    void setOnEvent(EventHandler handler);

    // Runs in each upload right after its file got its final name, before its Finished event
    // (tests hold an upload there). Set it before start().
    void setAfterSave(std::function<void(const Uuid&)> hook);

    // Listens on any free port and returns it. Fails with the platform's error when the
    // address cannot be bound, or with ShareError::connectionClosed when the server was
    // stopped or already started.
    asio::awaitable<std::uint16_t> start();

    // Takes no further connection or upload and ends every open one. Returns the outcome of
    // every upload that ended before the stop, also those whose Finished or Failed event is
    // still on its way: no upload is saved after the stop, and those still running then fail
    // because of it. Any thread, any time, any number of times.
    SettledUploads stop();

    // After stop(): runs `done` once every connection has ended, the running uploads' final
    // answers written: at once when none is open, else on the thread that ends the last one.
    void whenClosed(std::function<void()> done);

    // Stops the upload `id` (of a Started event) unless its outcome is already settled: it is
    // answered 409 and closed, its part file removed, and it fails with "Cancelled"; this
    // holds also when its last byte has arrived, as long as the file is not yet saved. True
    // when it stopped the upload; false when the upload was already saved or had failed (its
    // own Finished or Failed event tells how) or is unknown. The other uploads go on. Any thread.
    bool cancelUpload(const Uuid& id);

    // The folder for uploads that start from now on.
    void setFolder(std::filesystem::path folder);

    class Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace velmo
