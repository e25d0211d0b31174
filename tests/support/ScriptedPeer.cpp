#include "support/ScriptedPeer.h"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <gtest/gtest.h>
#include <stdexcept>

namespace velmo::test {

std::string hex(ByteView bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xF]);
    }
    return out;
}

Bytes unhex(std::string_view text) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("not a hex digit");
    };
    if (text.size() % 2 != 0) throw std::invalid_argument("odd number of hex digits");
    Bytes out(text.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(nibble(text[2 * i]) << 4 | nibble(text[2 * i + 1]));
    }
    return out;
}

Bytes lengthPrefixed(ByteView body) {
    const auto n = static_cast<std::uint32_t>(body.size());
    Bytes out(4 + body.size());
    out[0] = static_cast<std::uint8_t>(n >> 24);
    out[1] = static_cast<std::uint8_t>(n >> 16);
    out[2] = static_cast<std::uint8_t>(n >> 8);
    out[3] = static_cast<std::uint8_t>(n);
    std::copy(body.begin(), body.end(), out.begin() + 4);
    return out;
}

ScriptedPeer& ScriptedPeer::sendRaw(Bytes raw, std::string label) {
    steps_.push_back({Step::Kind::sendRaw, std::move(raw), {}, std::move(label)});
    return *this;
}

ScriptedPeer& ScriptedPeer::sendFrame(Bytes body, std::string label) {
    steps_.push_back({Step::Kind::sendFrame, std::move(body), {}, std::move(label)});
    return *this;
}

ScriptedPeer& ScriptedPeer::expectFrame(Bytes body, std::string label) {
    steps_.push_back({Step::Kind::expectFrame, std::move(body), {}, std::move(label)});
    return *this;
}

ScriptedPeer& ScriptedPeer::expectAnyFrame(std::string label) {
    steps_.push_back({Step::Kind::expectAnyFrame, {}, {}, std::move(label)});
    return *this;
}

ScriptedPeer& ScriptedPeer::expectEnd(std::string label) {
    steps_.push_back({Step::Kind::expectEnd, {}, {}, std::move(label)});
    return *this;
}

ScriptedPeer& ScriptedPeer::pause(std::chrono::steady_clock::duration duration) {
    steps_.push_back({Step::Kind::pause, {}, duration, "pause"});
    return *this;
}

asio::awaitable<Bytes> ScriptedPeer::readFrame() {
    Bytes prefix = co_await stream_->readExactly(4);
    const std::size_t length = std::size_t{prefix[0]} << 24 | std::size_t{prefix[1]} << 16 |
                               std::size_t{prefix[2]} << 8 | std::size_t{prefix[3]};
    if (length > 64u << 20) throw std::runtime_error("scripted peer: frame too long to read");
    co_return co_await stream_->readExactly(length);
}

asio::awaitable<void> ScriptedPeer::writeFrame(ByteView body) {
    Bytes frame = lengthPrefixed(body);
    co_await stream_->write(frame);
}

asio::awaitable<bool> ScriptedPeer::play() {
    for (std::size_t i = 0; i < steps_.size(); ++i) {
        const Step& step = steps_[i];
        const std::string where = "step " + std::to_string(i) +
                                  (step.label.empty() ? std::string() : " (" + step.label + ")");
        try {
            switch (step.kind) {
            case Step::Kind::sendRaw:
                co_await stream_->write(step.bytes);
                break;
            case Step::Kind::sendFrame:
                co_await writeFrame(step.bytes);
                break;
            case Step::Kind::expectFrame: {
                Bytes body = co_await readFrame();
                if (body != step.bytes) {
                    ADD_FAILURE() << where << ": expected frame " << hex(step.bytes) << "\n got "
                                  << hex(body);
                    co_return false;
                }
                break;
            }
            case Step::Kind::expectAnyFrame:
                received_.push_back(co_await readFrame());
                break;
            case Step::Kind::expectEnd: {
                bool ended = false;
                try {
                    Bytes extra = co_await stream_->readExactly(1);
                    ADD_FAILURE() << where << ": expected the end, got byte " << hex(extra);
                } catch (const std::exception&) {
                    ended = true;
                }
                if (!ended) co_return false;
                break;
            }
            case Step::Kind::pause: {
                asio::steady_timer timer(co_await asio::this_coro::executor, step.duration);
                co_await timer.async_wait(asio::use_awaitable);
                break;
            }
            }
        } catch (const std::exception& e) {
            ADD_FAILURE() << where << ": " << e.what();
            co_return false;
        }
    }
    co_return true;
}

}  // namespace velmo::test
