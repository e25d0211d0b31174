// The computer's side of an outgoing Quick Share transfer: handshake as the client, the
// paired-key frames, the introduction of the files, the phone's answer, then the files.
#pragma once
#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/CancelSignal.h"
#include "quickshare/ConnectionTimeouts.h"
#include "quickshare/QRCodeSession.h"

namespace velmo {

class ByteStream;

struct QuickShareSenderTimeouts {
    std::chrono::steady_clock::duration streamStart = std::chrono::seconds(12);
    std::chrono::steady_clock::duration handshake = std::chrono::seconds(30);
    std::chrono::steady_clock::duration pairedKeyEncryption = std::chrono::seconds(30);
    std::chrono::steady_clock::duration pairedKeyResult = std::chrono::seconds(30);
    // The phone's answer; started again after every other frame.
    std::chrono::steady_clock::duration response = std::chrono::seconds(180);
    // How long the phone's last word after the final chunk is awaited: a CANCEL then fails
    // the send, silence leaves it a success.
    std::chrono::steady_clock::duration lastWord = std::chrono::seconds(3);
    // After a cancellation, how long the goodbye to the phone may take before the
    // connection is closed regardless.
    std::chrono::steady_clock::duration cancelGrace = std::chrono::seconds(2);
    ConnectionTimeouts connection;
};

class QuickShareSender {
public:
    // The most bytes read from a file and sent in one chunk.
    static constexpr std::size_t chunkSize = 524288;

    // The phase of a send as the application shows it.
    class Status {
    public:
        enum class Kind { waitingForAccept, connecting, sending };

        static Status waitingForAccept(std::string pin) { return Status(Kind::waitingForAccept, std::move(pin)); }
        static Status connecting() { return Status(Kind::connecting, {}); }
        static Status sending() { return Status(Kind::sending, {}); }

        Kind kind() const { return kind_; }
        // The PIN to compare while waiting for the phone; empty in the other phases.
        const std::string& pin() const { return pin_; }

        friend bool operator==(const Status&, const Status&) = default;

    private:
        Status(Kind kind, std::string pin) : kind_(kind), pin_(std::move(pin)) {}
        Kind kind_;
        std::string pin_;
    };

    using Timeouts = QuickShareSenderTimeouts;

    // Asked with the PIN once the files are introduced; true means the codes match. The phone
    // is watched while it is open: its refusal, its CANCEL or its going away ends the send at
    // once, and the answer that comes after is ignored.
    using ConfirmPeer = std::function<asio::awaitable<bool>(std::string pin)>;
    using StatusCallback = std::function<void(const Status& status)>;
    // (bytes sent, bytes in all): (0, total) once the phone accepted, then per chunk.
    using Progress = std::function<void(std::int64_t sent, std::int64_t total)>;

    // Sends `files` (regular files only, in this order) to the phone on `to`, started here
    // when it is a NetworkStream. Returns once every file went out, the phone did not cancel
    // (during the chunks or in its last word) and the disconnection frame followed. Throws
    // QuickShareError (declined, timedOut, cancelledByPhone, ...), ShareError, FileError (also
    // for a file replaced or written to since it was described, before the phone is told it
    // is complete), or Cancelled when `cancel` is set or `confirmPeer` answers false: the
    // phone then gets a cancel and a disconnection frame. Nothing touches the stream when
    // `files` is empty or a file cannot be described.
    static asio::awaitable<void> send(std::vector<std::filesystem::path> files,
                                      std::shared_ptr<ByteStream> to, std::string senderName,
                                      std::optional<QRCodeSession> qr, ConfirmPeer confirmPeer,
                                      StatusCallback status, Progress progress,
                                      CancelSignal cancel = {}, Timeouts timeouts = {});
};

}  // namespace velmo
