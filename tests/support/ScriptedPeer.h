// The far end of a connection under test, driven by a script of exact bytes: it sends
// frames, expects frames byte for byte, waits, and expects the connection to end.
#pragma once
#include <asio/awaitable.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "transfer/ByteStream.h"

namespace velmo::test {

// Lower-case hex of `bytes`, and back.
std::string hex(ByteView bytes);
Bytes unhex(std::string_view text);

// The 4-byte big-endian length followed by `body`.
Bytes lengthPrefixed(ByteView body);

class ScriptedPeer {
public:
    struct Step {
        enum class Kind { sendRaw, sendFrame, expectFrame, expectAnyFrame, expectEnd, pause };
        Kind kind;
        Bytes bytes;
        std::chrono::steady_clock::duration duration{};
        std::string label;
    };

    explicit ScriptedPeer(std::shared_ptr<ByteStream> stream) : stream_(std::move(stream)) {}

    // Script building; each returns *this.
    ScriptedPeer& sendRaw(Bytes raw, std::string label = {});
    ScriptedPeer& sendFrame(Bytes body, std::string label = {});
    ScriptedPeer& expectFrame(Bytes body, std::string label = {});
    ScriptedPeer& expectAnyFrame(std::string label = {});
    ScriptedPeer& expectEnd(std::string label = {});
    ScriptedPeer& pause(std::chrono::steady_clock::duration duration);

    // Plays the script on the stream's strand; reports each mismatch as a test failure and
    // stops at the first one. Returns true when every step went as scripted.
    asio::awaitable<bool> play();

    // Frames read by expectAnyFrame steps, in order.
    const std::vector<Bytes>& received() const { return received_; }

    // Single operations, for tests that script as they go.
    asio::awaitable<Bytes> readFrame();
    asio::awaitable<void> writeFrame(ByteView body);
    ByteStream& stream() { return *stream_; }

private:
    std::shared_ptr<ByteStream> stream_;
    std::vector<Step> steps_;
    std::vector<Bytes> received_;
};

}  // namespace velmo::test
