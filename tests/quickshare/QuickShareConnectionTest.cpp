#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "SecurePeer.h"
#include "platform/Runtime.h"
#include "proto/Codec.h"
#include "proto/securemessage.pb.h"
#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"
#include "support/AsyncTest.h"
#include "support/KnownAnswers.h"
#include "support/MemoryStream.h"
#include "support/ScriptedPeer.h"
#include "transfer/ShareError.h"

namespace velmo {
namespace {

using namespace velmo::test;
using namespace std::chrono_literals;
using Header = nc::PayloadTransferFrame::PayloadHeader;

// Bytes without a braced list: GCC 12 mishandles those inside co_await expressions.
template <class... T>
Bytes bytesOf(T... values) {
    return Bytes{static_cast<std::uint8_t>(values)...};
}

asio::awaitable<void> sleepFor(std::chrono::steady_clock::duration duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    co_await timer.async_wait(asio::use_awaitable);
}

// What a consumer of the frame stream saw: the frames, then how it ended.
struct Outcome {
    std::vector<sharing::Frame> frames;
    std::string end;  // "normal" or the error's sentence
};

class QuickShareConnectionTest : public ::testing::Test {
protected:
    ~QuickShareConnectionTest() override {
        // Nothing may still run on the workers while the members go away.
        if (connection) {
            runAsync(connection->executor(),
                     [&]() -> asio::awaitable<void> { connection->close(); co_return; });
        }
        runtime.stop();
    }

    Runtime runtime{2};
    MemoryStreamPair pair = MemoryStreamPair::create(runtime.executor());
    std::shared_ptr<DeterministicRandom> random = std::make_shared<DeterministicRandom>();
    ConnectionTimeouts timeouts{.keepAlive = 0s, .writeDeadline = 0s};
    std::shared_ptr<QuickShareConnection> connection;
    std::shared_ptr<FrameStream> frames;
    SecurePeer peer{pair.b, knownServerKeys()};

    template <class Make>
    auto onConnection(Make&& make) {
        return runAsync(connection->executor(), std::forward<Make>(make));
    }
    template <class Make>
    auto onPeer(Make&& make) {
        return runAsync(pair.b->executor(), std::forward<Make>(make));
    }

    void makeConnection() {
        if (!connection) connection = QuickShareConnection::create(pair.a, timeouts, random);
    }

    // The connection with the known client keys, its reader running.
    void start() {
        makeConnection();
        frames = onConnection([&]() -> asio::awaitable<std::shared_ptr<FrameStream>> {
            connection->installKeys(knownClientKeys());
            co_return connection->incomingFrames();
        });
    }

    Outcome readAll() {
        return onConnection([&]() -> asio::awaitable<Outcome> {
            Outcome outcome;
            try {
                while (auto frame = co_await frames->next()) outcome.frames.push_back(*frame);
                outcome.end = "normal";
            } catch (const std::exception& e) {
                outcome.end = e.what();
            }
            co_return outcome;
        });
    }

    bool connectionClosed() {
        return onConnection([&]() -> asio::awaitable<bool> { co_return connection->isClosed(); });
    }
};

// --- Framing ---

TEST_F(QuickShareConnectionTest, ReadsFramesAtTheLengthBoundaries) {
    struct Case {
        std::string prefix;
        std::size_t bodyLength;  // sent after the prefix
        std::string expected;    // "ok" or the error's sentence
    } cases[] = {
        // Clear-text frames come before anything is authenticated: 32 KiB at most.
        {"00000001", 1, "ok"},
        {"00008000", 32768, "ok"},
        {"00008001", 0, "Quick Share error: bad frame length 32769"},
        {"00500000", 0, "Quick Share error: bad frame length 5242880"},
        {"00500001", 0, "Quick Share error: bad frame length 5242881"},
        {"00000000", 0, "Quick Share error: bad frame length 0"},
        {"ffffffff", 0, "Quick Share error: bad frame length 4294967295"},
    };
    for (const auto& c : cases) {
        auto streams = MemoryStreamPair::create(runtime.executor());
        auto conn = QuickShareConnection::create(streams.a, timeouts, random);
        Bytes raw = unhex(c.prefix);
        raw.resize(raw.size() + c.bodyLength, 0x5A);
        runAsync(streams.b->executor(), [&]() -> asio::awaitable<void> { co_await streams.b->write(raw); });
        const std::string got = runAsync(conn->executor(), [&]() -> asio::awaitable<std::string> {
            try {
                const Bytes body = co_await conn->readFrame();
                co_return body == Bytes(c.bodyLength, 0x5A) ? "ok" : "wrong body";
            } catch (const std::exception& e) {
                co_return e.what();
            }
        });
        EXPECT_EQ(got, c.expected) << c.prefix;
    }
}

TEST_F(QuickShareConnectionTest, ABadLengthLeavesTheBodyUnread) {
    makeConnection();
    onPeer([&]() -> asio::awaitable<void> { co_await pair.b->write(unhex("0000000000000001ff")); });
    EXPECT_THROW(onConnection([&] { return connection->readFrame(); }), QuickShareError);
    EXPECT_EQ(hex(onConnection([&] { return connection->readFrame(); })), "ff");
}

TEST_F(QuickShareConnectionTest, AStreamEndingInThePrefixIsTheStreamsError) {
    makeConnection();
    onPeer([&]() -> asio::awaitable<void> { co_await pair.b->write(unhex("0000")); });
    pair.b->close();
    try {
        onConnection([&] { return connection->readFrame(); });
        FAIL() << "read a frame";
    } catch (const ShareError& e) {
        EXPECT_EQ(e, ShareError::connectionClosed());
    }
}

TEST_F(QuickShareConnectionTest, WritesPrefixAndBodyInOneStreamWrite) {
    makeConnection();
    onConnection([&] { return connection->writeFrame(unhex("aabbcc")); });
    const auto writes = pair.a->writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(hex(writes[0]), "00000003aabbcc");
}

// --- Secure messages ---

TEST_F(QuickShareConnectionTest, SendsTheKnownSecureMessageFrame) {
    const auto& kat = knownAnswers("secure_message");
    for (bool isClient : {true, false}) {
        auto streams = MemoryStreamPair::create(runtime.executor());
        auto conn = QuickShareConnection::create(streams.a, timeouts, random);
        random->queue(hexField(kat, "iv"));
        runAsync(conn->executor(), [&]() -> asio::awaitable<void> {
            conn->installKeys(isClient ? knownClientKeys() : knownServerKeys());
            co_await conn->sendEncrypted(proto::decode<nc::OfflineFrame>(hexField(kat, "offline_frame")));
        });
        const auto writes = streams.a->writes();
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(hex(writes[0]),
                  kat.at(isClient ? "client_to_server" : "server_to_client").at("frame").get<std::string>());
    }
}

TEST_F(QuickShareConnectionTest, ReadsTheKnownSecureMessageFrame) {
    const auto& kat = knownAnswers("secure_message");
    makeConnection();
    onPeer([&]() -> asio::awaitable<void> {
        co_await pair.b->write(hexField(kat.at("server_to_client"), "frame"));
    });
    const auto frame = onConnection([&]() -> asio::awaitable<nc::OfflineFrame> {
        connection->installKeys(knownClientKeys());
        co_return co_await connection->readEncrypted();
    });
    EXPECT_EQ(hex(proto::encode(frame)), kat.at("offline_frame").get<std::string>());
}

TEST_F(QuickShareConnectionTest, DerivedKeysGiveThePinAndWorkBothWays) {
    const auto& kat = knownAnswers("ukey2");
    makeConnection();
    onConnection([&]() -> asio::awaitable<void> {
        EXPECT_FALSE(connection->hasKeys());
        EXPECT_EQ(connection->pin(), "");
        connection->deriveKeys(hexField(kat, "shared_secret"), hexField(kat, "client_init_message"),
                               hexField(kat, "server_init_message"), false);
        EXPECT_EQ(connection->pin(), kat.at("pin").get<std::string>());
        EXPECT_EQ(hex(connection->authString()), kat.at("auth_string").get<std::string>());
        co_await connection->sendEncrypted(offlineFrame(nc::V1Frame::KEEP_ALIVE));
    });
    SecurePeer client{pair.b, knownClientKeys()};
    const auto frame = onPeer([&] { return client.read(); });
    EXPECT_EQ(frame.v1().type(), nc::V1Frame::KEEP_ALIVE);
    EXPECT_EQ(client.channel().receiveSequence(), 1);
}

TEST_F(QuickShareConnectionTest, BadSecureMessagesEndTheStreamWithTheirError) {
    struct Case {
        const char* name;
        std::function<asio::awaitable<void>(SecurePeer&)> send;
        std::string expected;
    } cases[] = {
        {"flipped signature byte",
         [](SecurePeer& p) -> asio::awaitable<void> {
             auto message = proto::decode<securemessage::SecureMessage>(p.seal(offlineFrame(nc::V1Frame::KEEP_ALIVE)));
             (*message.mutable_signature())[3] ^= 1;
             co_await p.sendBody(proto::encode(message));
         },
         "Encryption error: bad signature from phone"},
        {"replayed number",
         [](SecurePeer& p) -> asio::awaitable<void> {
             const Bytes once = p.seal(offlineFrame(nc::V1Frame::KEEP_ALIVE));
             co_await p.sendBody(once);
             co_await p.sendBody(once);
         },
         "Quick Share error: out-of-order message"},
        {"skipped number",
         [](SecurePeer& p) -> asio::awaitable<void> {
             p.seal(offlineFrame(nc::V1Frame::KEEP_ALIVE));
             co_await p.send(offlineFrame(nc::V1Frame::KEEP_ALIVE));
         },
         "Quick Share error: out-of-order message"},
        {"frame too long",
         [](SecurePeer& p) -> asio::awaitable<void> { co_await p.sendRaw(unhex("00500001")); },
         "Quick Share error: bad frame length 5242881"},
    };
    for (const auto& c : cases) {
        auto streams = MemoryStreamPair::create(runtime.executor());
        auto conn = QuickShareConnection::create(streams.a, timeouts, random);
        SecurePeer phone{streams.b, knownServerKeys()};
        auto stream = runAsync(conn->executor(), [&]() -> asio::awaitable<std::shared_ptr<FrameStream>> {
            conn->installKeys(knownClientKeys());
            co_return conn->incomingFrames();
        });
        runAsync(streams.b->executor(), [&] { return c.send(phone); });
        const std::string end = runAsync(conn->executor(), [&]() -> asio::awaitable<std::string> {
            try {
                while (co_await stream->next()) {
                }
                co_return "normal";
            } catch (const std::exception& e) {
                co_return e.what();
            }
        });
        EXPECT_EQ(end, c.expected) << c.name;
        EXPECT_TRUE(streams.a->isClosed()) << c.name;
    }
}

// --- The incoming frame stream ---

TEST_F(QuickShareConnectionTest, DeliversSharingFramesInOrder) {
    start();
    onPeer([&]() -> asio::awaitable<void> {
        co_await peer.sendSharing(sharingFrame(sharing::V1Frame::PAIRED_KEY_ENCRYPTION), 5);
        // One frame in three chunks, another interleaved with it.
        const Bytes body = proto::encode(sharingFrame(sharing::V1Frame::INTRODUCTION));
        const auto n = static_cast<std::int64_t>(body.size());
        const ByteView view(body);
        co_await peer.send(payloadFrame(6, Header::BYTES, n, 0, view.first(2), false));
        co_await peer.send(payloadFrame(6, Header::BYTES, n, 2, view.subspan(2), false));
        co_await peer.sendSharing(sharingFrame(sharing::V1Frame::PAIRED_KEY_RESULT), 7);
        co_await peer.send(payloadFrame(6, Header::BYTES, n, n, {}, true));
        // An empty payload is an empty frame.
        co_await peer.send(payloadFrame(8, Header::BYTES, 0, 0, {}, true));
        co_await peer.send(offlineFrame(nc::V1Frame::DISCONNECTION));
    });
    const Outcome outcome = readAll();
    ASSERT_EQ(outcome.frames.size(), 4u);
    EXPECT_EQ(outcome.frames[0].v1().type(), sharing::V1Frame::PAIRED_KEY_ENCRYPTION);
    EXPECT_EQ(outcome.frames[1].v1().type(), sharing::V1Frame::PAIRED_KEY_RESULT);
    EXPECT_EQ(outcome.frames[2].v1().type(), sharing::V1Frame::INTRODUCTION);
    EXPECT_FALSE(outcome.frames[3].has_v1());
    EXPECT_EQ(outcome.end, "The phone disconnected.");
    EXPECT_TRUE(connectionClosed());
}

TEST_F(QuickShareConnectionTest, IgnoresFramesItHasNoUseFor) {
    start();
    onPeer([&]() -> asio::awaitable<void> {
        co_await peer.send(offlineFrame(nc::V1Frame::KEEP_ALIVE));
        co_await peer.send(offlineFrame(nc::V1Frame::BANDWIDTH_UPGRADE_NEGOTIATION));
        co_await peer.send(nc::OfflineFrame{});
        co_await peer.send(offlineFrame(nc::V1Frame::PAYLOAD_TRANSFER));  // no packet type
        co_await peer.send(controlFrame(nc::PayloadTransferFrame::ControlMessage::PAYLOAD_ERROR));
        co_await peer.send(controlFrame(nc::PayloadTransferFrame::ControlMessage::PAYLOAD_RECEIVED_ACK));
        co_await peer.send(payloadFrame(3, Header::STREAM, 1, 0, bytesOf(1), true));
        co_await peer.send(payloadFrame(3, Header::UNKNOWN_PAYLOAD_TYPE, 1, 0, bytesOf(1), true));
        co_await peer.sendSharing(sharingFrame(sharing::V1Frame::RESPONSE), 9);
    });
    const auto first = onConnection([&] { return frames->next(); });
    ASSERT_TRUE(first);
    EXPECT_EQ(first->v1().type(), sharing::V1Frame::RESPONSE);
    EXPECT_FALSE(connectionClosed());
    onConnection([&]() -> asio::awaitable<void> { connection->close(); co_return; });
}

TEST_F(QuickShareConnectionTest, TheLimitsOfReassemblyEndTheStream) {
    const std::string oversized = "Quick Share error: too many or oversized pending messages";
    const std::string badChunk = "Quick Share error: invalid or oversized message chunk";
    struct Case {
        const char* name;
        std::function<asio::awaitable<void>(SecurePeer&)> send;
        std::string expected;
    } cases[] = {
        {"total above 1 MiB",
         [](SecurePeer& p) -> asio::awaitable<void> {
             co_await p.send(payloadFrame(1, Header::BYTES, 1048577, 0, {}, false));
         },
         oversized},
        {"negative total",
         [](SecurePeer& p) -> asio::awaitable<void> {
             co_await p.send(payloadFrame(1, Header::BYTES, -1, 0, {}, false));
         },
         oversized},
        {"a 17th pending payload",
         [](SecurePeer& p) -> asio::awaitable<void> {
             for (int id = 1; id <= 17; ++id) co_await p.send(payloadFrame(id, Header::BYTES, 2, 0, bytesOf(1), false));
         },
         oversized},
        {"offset skipping ahead",
         [](SecurePeer& p) -> asio::awaitable<void> {
             co_await p.send(payloadFrame(1, Header::BYTES, 4, 0, bytesOf(1), false));
             co_await p.send(payloadFrame(1, Header::BYTES, 4, 2, bytesOf(1), false));
         },
         badChunk},
        {"last chunk too early",
         [](SecurePeer& p) -> asio::awaitable<void> {
             co_await p.send(payloadFrame(1, Header::BYTES, 4, 0, bytesOf(1), true));
         },
         "Quick Share error: incomplete message"},
        {"not a sharing frame",
         [](SecurePeer& p) -> asio::awaitable<void> {
             co_await p.send(payloadFrame(1, Header::BYTES, 1, 0, bytesOf(0xFF), true));
         },
         "<decoding>"},
        {"file chunk before acceptance",
         [](SecurePeer& p) -> asio::awaitable<void> {
             co_await p.send(payloadFrame(1, Header::FILE, 10, 0, bytesOf(1), false));
         },
         "Quick Share error: file payload before acceptance"},
        {"payload cancelled by the phone",
         [](SecurePeer& p) -> asio::awaitable<void> {
             co_await p.send(controlFrame(nc::PayloadTransferFrame::ControlMessage::PAYLOAD_CANCELED));
         },
         "The transfer was cancelled on the phone."},
    };
    for (const auto& c : cases) {
        auto streams = MemoryStreamPair::create(runtime.executor());
        auto conn = QuickShareConnection::create(streams.a, timeouts, random);
        SecurePeer phone{streams.b, knownServerKeys()};
        auto stream = runAsync(conn->executor(), [&]() -> asio::awaitable<std::shared_ptr<FrameStream>> {
            conn->installKeys(knownClientKeys());
            co_return conn->incomingFrames();
        });
        runAsync(streams.b->executor(), [&] { return c.send(phone); });
        std::string end = runAsync(conn->executor(), [&]() -> asio::awaitable<std::string> {
            try {
                while (co_await stream->next()) {
                }
                co_return "normal";
            } catch (const proto::DecodingError&) {
                co_return "<decoding>";
            } catch (const std::exception& e) {
                co_return e.what();
            }
        });
        EXPECT_EQ(end, c.expected) << c.name;
        EXPECT_TRUE(streams.a->isClosed()) << c.name;
    }
}

TEST_F(QuickShareConnectionTest, AcceptsAOneMebibyteMessage) {
    start();
    // A sharing frame of exactly 1,048,576 bytes: one unknown field 15 of 1,048,572 bytes.
    Bytes body{0x7A};
    const std::uint32_t length = 1048572;
    body.push_back(static_cast<std::uint8_t>(length & 0x7F) | 0x80);
    body.push_back(static_cast<std::uint8_t>(length >> 7 & 0x7F) | 0x80);
    body.push_back(static_cast<std::uint8_t>(length >> 14));
    body.resize(1048576, 'x');
    onPeer([&]() -> asio::awaitable<void> {
        const ByteView view(body);
        co_await peer.send(payloadFrame(4, Header::BYTES, 1048576, 0, view.first(600000), false));
        co_await peer.send(payloadFrame(4, Header::BYTES, 1048576, 600000, view.subspan(600000), false));
        co_await peer.send(payloadFrame(4, Header::BYTES, 1048576, 1048576, {}, true));
    });
    const auto frame = onConnection([&] { return frames->next(); });
    ASSERT_TRUE(frame);
    EXPECT_EQ(proto::encode(*frame), body);
    onConnection([&]() -> asio::awaitable<void> { connection->close(); co_return; });
}

TEST_F(QuickShareConnectionTest, FileChunksGoToTheInstalledSink) {
    start();
    struct Chunk {
        std::int64_t id, offset;
        Bytes body;
        bool last;
    };
    std::vector<Chunk> chunks;
    onConnection([&]() -> asio::awaitable<void> {
        connection->setFileSink([&](std::int64_t id, std::int64_t offset, ByteView body,
                                    bool last) -> asio::awaitable<void> {
            chunks.push_back({id, offset, Bytes(body.begin(), body.end()), last});
            co_await sleepFor(1ms);  // the reader waits for the sink
        });
        co_return;
    });
    onPeer([&]() -> asio::awaitable<void> {
        co_await peer.send(payloadFrame(77, Header::FILE, 3, 0, bytesOf(1, 2), false));
        co_await peer.send(payloadFrame(77, Header::FILE, 3, 2, bytesOf(3), false));
        co_await peer.send(payloadFrame(77, Header::FILE, 3, 3, {}, true));
        co_await peer.send(offlineFrame(nc::V1Frame::DISCONNECTION));
    });
    EXPECT_EQ(readAll().end, "The phone disconnected.");
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].id, 77);
    EXPECT_EQ(chunks[0].body, (bytesOf(1, 2)));
    EXPECT_EQ(chunks[1].offset, 2);
    EXPECT_FALSE(chunks[1].last);
    EXPECT_TRUE(chunks[2].last);
    EXPECT_TRUE(chunks[2].body.empty());
}

TEST_F(QuickShareConnectionTest, ASinkFailureEndsTheStreamWithIt) {
    start();
    onConnection([&]() -> asio::awaitable<void> {
        connection->setFileSink([](std::int64_t, std::int64_t, ByteView, bool) -> asio::awaitable<void> {
            throw QuickShareError::protocolError("invalid file chunk offset or length");
            co_return;
        });
        co_return;
    });
    onPeer([&] { return peer.send(payloadFrame(1, Header::FILE, 3, 0, bytesOf(1), false)); });
    EXPECT_EQ(readAll().end, "Quick Share error: invalid file chunk offset or length");
}

TEST_F(QuickShareConnectionTest, NineUnreadFramesAreTooMany) {
    start();
    onPeer([&]() -> asio::awaitable<void> {
        for (int i = 1; i <= 9; ++i) co_await peer.sendSharing(sharingFrame(sharing::V1Frame::PROGRESS_UPDATE), i);
    });
    ASSERT_TRUE(eventually([&] { return connectionClosed(); }));
    const Outcome outcome = readAll();
    EXPECT_EQ(outcome.frames.size(), 8u);
    EXPECT_EQ(outcome.end, "Quick Share error: too many queued messages");
}

TEST_F(QuickShareConnectionTest, AConsumerThatStopsListeningClosesTheConnection) {
    start();
    onConnection([&]() -> asio::awaitable<void> { frames->stopListening(); co_return; });
    onPeer([&] { return peer.sendSharing(sharingFrame(sharing::V1Frame::RESPONSE), 1); });
    EXPECT_TRUE(eventually([&] { return connectionClosed(); }));
    EXPECT_TRUE(pair.a->isClosed());
}

TEST_F(QuickShareConnectionTest, DisconnectionAfterOurOwnIsANormalEnd) {
    start();
    onConnection([&] { return connection->sendDisconnection(); });
    EXPECT_EQ(readAll().end, "normal");
    // Exactly one disconnection frame went out, even when asked twice.
    onConnection([&] { return connection->sendDisconnection(); });
    const auto frame = onPeer([&] { return peer.read(); });
    EXPECT_EQ(frame.v1().type(), nc::V1Frame::DISCONNECTION);
    EXPECT_FALSE(frame.v1().has_disconnection());
    EXPECT_EQ(pair.a->writes().size(), 1u);
}

TEST_F(QuickShareConnectionTest, CloseWhileTheReaderWaitsIsANormalEnd) {
    start();
    auto pending = asio::co_spawn(connection->executor(), frames->next(), asio::use_future);
    std::this_thread::sleep_for(10ms);
    onConnection([&]() -> asio::awaitable<void> { connection->close(); co_return; });
    EXPECT_FALSE(pending.get().has_value());
    // Nothing more is sent, not even a disconnection.
    onConnection([&] { return connection->sendDisconnection(); });
    EXPECT_TRUE(pair.a->writes().empty());
    EXPECT_THROW(onConnection([&]() -> asio::awaitable<void> {
                     connection->setFileSink([](std::int64_t, std::int64_t, ByteView, bool) -> asio::awaitable<void> { co_return; });
                     co_return;
                 }),
                 QuickShareError);
}

TEST_F(QuickShareConnectionTest, ClosesInOrderAndOnlyOnce) {
    start();
    std::vector<std::string> seen;
    pair.a->onClose([&] {
        // By the time the byte stream closes, everything above it has stopped.
        seen.push_back(connection->isClosed() ? "closed" : "open");
        seen.push_back(frames->finished() ? "stream finished" : "stream open");
        try {
            connection->setFileSink(nullptr);
            seen.push_back("sink accepted");
        } catch (const QuickShareError& e) {
            seen.push_back(e == QuickShareError::disconnected() ? "sink refused" : e.what());
        }
    });
    onConnection([&]() -> asio::awaitable<void> {
        connection->close();
        connection->close();
        co_return;
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"closed", "stream finished", "sink refused"}));
    // Later closes (ours, and the reader's once its read fails) change nothing more.
    EXPECT_GE(pair.a->closeCalls(), 2u);
    EXPECT_EQ(readAll().end, "normal");
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(QuickShareConnectionTest, SendingAfterCloseFailsWithTheTransportsError) {
    start();
    onConnection([&]() -> asio::awaitable<void> { connection->close(); co_return; });
    EXPECT_THROW(onConnection([&] { return connection->sendFrame(sharingFrame(sharing::V1Frame::CANCEL)); }),
                 ShareError);
    EXPECT_TRUE(connectionClosed());
}

// --- Outgoing frames ---

TEST_F(QuickShareConnectionTest, ASharingFrameGoesOutAsTwoChunksOfOnePayload) {
    start();
    random->queueUniform(41);  // the payload id drawn is 42
    const auto frame = sharingFrame(sharing::V1Frame::CANCEL);
    const Bytes body = proto::encode(frame);
    onConnection([&] { return connection->sendFrame(frame); });
    const auto first = onPeer([&] { return peer.read(); });
    const auto second = onPeer([&] { return peer.read(); });
    for (const auto* f : {&first, &second}) {
        EXPECT_EQ(f->version(), nc::OfflineFrame::V1);
        EXPECT_EQ(f->v1().type(), nc::V1Frame::PAYLOAD_TRANSFER);
        const auto& t = f->v1().payload_transfer();
        EXPECT_EQ(t.packet_type(), nc::PayloadTransferFrame::DATA);
        EXPECT_EQ(t.payload_header().id(), 42);
        EXPECT_EQ(t.payload_header().type(), Header::BYTES);
        EXPECT_EQ(t.payload_header().total_size(), static_cast<std::int64_t>(body.size()));
        EXPECT_TRUE(t.payload_header().has_is_sensitive());
        EXPECT_FALSE(t.payload_header().is_sensitive());
        EXPECT_TRUE(t.payload_chunk().has_flags());
        EXPECT_TRUE(t.payload_chunk().has_body());
        EXPECT_FALSE(t.has_control_message());
    }
    EXPECT_EQ(first.v1().payload_transfer().payload_chunk().offset(), 0);
    EXPECT_EQ(first.v1().payload_transfer().payload_chunk().flags(), 0);
    EXPECT_EQ(first.v1().payload_transfer().payload_chunk().body(), std::string(body.begin(), body.end()));
    EXPECT_EQ(second.v1().payload_transfer().payload_chunk().offset(), static_cast<std::int64_t>(body.size()));
    EXPECT_EQ(second.v1().payload_transfer().payload_chunk().flags(), 1);
    EXPECT_TRUE(second.v1().payload_transfer().payload_chunk().body().empty());
    // Each frame takes the next number.
    EXPECT_EQ(peer.channel().receiveSequence(), 2);
    onConnection([&]() -> asio::awaitable<void> { connection->close(); co_return; });
}

TEST_F(QuickShareConnectionTest, AnEmptySharingFrameHasTotalSizeZero) {
    start();
    onConnection([&] { return connection->sendFrame(sharing::Frame{}); });
    const auto first = onPeer([&] { return peer.read(); });
    const auto second = onPeer([&] { return peer.read(); });
    for (const auto* f : {&first, &second}) {
        EXPECT_EQ(f->v1().payload_transfer().payload_header().total_size(), 0);
        EXPECT_EQ(f->v1().payload_transfer().payload_chunk().offset(), 0);
    }
    EXPECT_EQ(first.v1().payload_transfer().payload_chunk().flags(), 0);
    EXPECT_EQ(second.v1().payload_transfer().payload_chunk().flags(), 1);
    onConnection([&]() -> asio::awaitable<void> { connection->close(); co_return; });
}

TEST_F(QuickShareConnectionTest, EverySharingFrameGetsAFreshPositiveId) {
    start();
    random->queueUniform(0);  // the smallest draw is id 1, never 0
    onConnection([&]() -> asio::awaitable<void> {
        co_await connection->sendFrame(sharingFrame(sharing::V1Frame::CANCEL));
        co_await connection->sendFrame(sharingFrame(sharing::V1Frame::CANCEL));
        co_await connection->sendFrame(sharingFrame(sharing::V1Frame::CANCEL));
    });
    std::vector<std::int64_t> ids;
    for (int i = 0; i < 6; ++i) {
        ids.push_back(onPeer([&] { return peer.read(); }).v1().payload_transfer().payload_header().id());
    }
    EXPECT_EQ(ids[0], 1);
    EXPECT_EQ(ids[0], ids[1]);
    EXPECT_EQ(ids[2], ids[3]);
    EXPECT_EQ(ids[4], ids[5]);
    EXPECT_GT(ids[2], 0);
    EXPECT_GT(ids[4], 0);
    EXPECT_NE(ids[2], ids[4]);
    onConnection([&]() -> asio::awaitable<void> { connection->close(); co_return; });
}

TEST_F(QuickShareConnectionTest, AFileChunkCarriesItsPlace) {
    start();
    const Bytes data(QuickShareConnection::fileChunkSize, 0x33);
    onConnection([&]() -> asio::awaitable<void> {
        co_await connection->sendPayloadChunk(9, Header::FILE, 600000, 0, data, false);
        co_await connection->sendPayloadChunk(9, Header::FILE, 600000, 524288, {}, true);
    });
    const auto first = onPeer([&] { return peer.read(); });
    const auto last = onPeer([&] { return peer.read(); });
    EXPECT_EQ(first.v1().payload_transfer().payload_header().type(), Header::FILE);
    EXPECT_EQ(first.v1().payload_transfer().payload_header().total_size(), 600000);
    EXPECT_EQ(first.v1().payload_transfer().payload_chunk().body().size(), 524288u);
    EXPECT_EQ(last.v1().payload_transfer().payload_chunk().offset(), 524288);
    EXPECT_EQ(last.v1().payload_transfer().payload_chunk().flags(), 1);
    onConnection([&]() -> asio::awaitable<void> { connection->close(); co_return; });
}

// --- Keep-alive ---

TEST_F(QuickShareConnectionTest, KeepAliveEveryIntervalUntilClosed) {
    timeouts.keepAlive = 20ms;
    start();
    const auto began = std::chrono::steady_clock::now();
    std::vector<nc::OfflineFrame> received;
    for (int i = 0; i < 3; ++i) received.push_back(onPeer([&] { return peer.read(); }));
    const auto elapsed = std::chrono::steady_clock::now() - began;
    EXPECT_GE(elapsed, 55ms);  // the first only after one interval
    for (const auto& frame : received) {
        EXPECT_EQ(frame.v1().type(), nc::V1Frame::KEEP_ALIVE);
        EXPECT_TRUE(frame.v1().keep_alive().has_ack());
        EXPECT_FALSE(frame.v1().keep_alive().ack());
        EXPECT_FALSE(frame.v1().keep_alive().has_seq_num());
    }
    EXPECT_EQ(peer.channel().receiveSequence(), 3);
    onConnection([&]() -> asio::awaitable<void> { connection->close(); co_return; });
    const std::size_t writesAtClose = pair.a->writes().size();
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(pair.a->writes().size(), writesAtClose);
}

TEST_F(QuickShareConnectionTest, KeepAlivesAreNeverAnswered) {
    start();
    onPeer([&]() -> asio::awaitable<void> {
        for (int i = 0; i < 3; ++i) co_await peer.send(offlineFrame(nc::V1Frame::KEEP_ALIVE));
        co_await peer.sendSharing(sharingFrame(sharing::V1Frame::RESPONSE), 1);
    });
    ASSERT_TRUE(onConnection([&] { return frames->next(); }));
    EXPECT_TRUE(pair.a->writes().empty());
    onConnection([&]() -> asio::awaitable<void> { connection->close(); co_return; });
}

TEST_F(QuickShareConnectionTest, AStalledPhoneClosesTheStreamAtTheWriteDeadline) {
    auto stalled = MemoryStreamPair::create(runtime.executor(), 64);
    auto conn = QuickShareConnection::create(stalled.a, {.keepAlive = 0s, .writeDeadline = 30ms}, random);
    auto stream = runAsync(conn->executor(), [&]() -> asio::awaitable<std::shared_ptr<FrameStream>> {
        conn->installKeys(knownClientKeys());
        co_return conn->incomingFrames();
    });
    EXPECT_THROW(runAsync(conn->executor(), [&] { return conn->sendFrame(sharingFrame(sharing::V1Frame::INTRODUCTION)); }),
                 ShareError);
    EXPECT_TRUE(stalled.a->isClosed());
    // The reader then sees the transport fail: an error, not a normal end.
    const std::string end = runAsync(conn->executor(), [&]() -> asio::awaitable<std::string> {
        try {
            while (co_await stream->next()) {
            }
            co_return "normal";
        } catch (const std::exception& e) {
            co_return e.what();
        }
    });
    EXPECT_NE(end, "normal");
}

}  // namespace
}  // namespace velmo
