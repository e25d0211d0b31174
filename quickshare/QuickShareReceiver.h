// The computer's side of an incoming Quick Share transfer: handshake as the server, the
// paired-key frames, the phone's introduction, the user's decision, then the files.
#pragma once
#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "platform/CancelSignal.h"
#include "quickshare/ConnectionTimeouts.h"
#include "quickshare/QuickShareOffer.h"

namespace velmo {

class ByteStream;
class QuickShareReceiveAuthorization;

struct QuickShareReceiverTimeouts {
    std::chrono::steady_clock::duration streamStart = std::chrono::seconds(12);
    std::chrono::steady_clock::duration handshake = std::chrono::seconds(30);
    std::chrono::steady_clock::duration pairedKeyEncryption = std::chrono::seconds(30);
    std::chrono::steady_clock::duration pairedKeyResult = std::chrono::seconds(30);
    std::chrono::steady_clock::duration introduction = std::chrono::seconds(60);
    // Longest silence while the files arrive: no sharing frame and no file chunk.
    std::chrono::steady_clock::duration filePhase = std::chrono::seconds(3600);
    // After a cancellation, how long the goodbye to the phone may take before the
    // connection is closed regardless.
    std::chrono::steady_clock::duration cancelGrace = std::chrono::seconds(2);
    ConnectionTimeouts connection;
};

class QuickShareReceiver {
public:
    using Timeouts = QuickShareReceiverTimeouts;

    // Asked once with the validated offer; true accepts. May take as long as the user needs.
    using Decide = std::function<asio::awaitable<bool>(QuickShareOffer offer)>;
    // (bytes received, bytes in all): (0, total) once the files are prepared, then per chunk.
    using Progress = std::function<void(std::int64_t received, std::int64_t total)>;
    // Each file once it has its final name, also when the transfer fails afterwards.
    using Saved = std::function<void(const std::filesystem::path& file)>;

    // Runs the whole transfer on `stream` (an accepted connection, started here when it is
    // a NetworkStream) and owns the stream until it ends. Returns the saved files in the
    // phone's order, or nothing when the offer was declined. Throws QuickShareError,
    // ShareError, the file system's error, or Cancelled once `cancel` is set: the phone then
    // gets a cancel and a disconnection frame. Unfinished temporary files are removed on
    // every failure; completely received files stay.
    static asio::awaitable<std::vector<std::filesystem::path>> receive(
        std::shared_ptr<ByteStream> stream, std::filesystem::path folder,
        std::shared_ptr<QuickShareReceiveAuthorization> authorization, Decide decide,
        Progress progress, CancelSignal cancel = {}, Timeouts timeouts = {}, Saved saved = {});
};

}  // namespace velmo
