// The send flow's file phase against a scripted receiving phone: chunks, sizes, progress, and
// what the phone says while the files go out and after the last one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <array>
#include <cerrno>
#include <set>

#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/SenderTest.h"

namespace velmo::test {
namespace {

TEST_F(SenderTest, SendsEveryFileInChunksAfterThePhoneAccepts) {
    const std::vector<fs::path> files = {file("empty.txt", 0), file("exact.jpg", QuickShareSender::chunkSize, 'e'),
                                         file("big.bin", 2 * QuickShareSender::chunkSize + 1, 'b'),
                                         file("Grüße 日本.pdf", 10, 'u')};
    auto sending = startSend(files);
    sharing::IntroductionFrame introduction;
    asPhone([&introduction](Phone& phone) -> asio::awaitable<void> {
        introduction = co_await phone.negotiateAsReceiver(Response::ACCEPT);
        EXPECT_TRUE(co_await phone.expectEnd());
    });
    EXPECT_EQ(outcomeOf(sending), "");

    ASSERT_EQ(introduction.file_metadata_size(), 4);
    const auto& metas = introduction.file_metadata();
    EXPECT_EQ(metas[0].name(), "empty.txt");
    EXPECT_EQ(metas[0].type(), sharing::FileMetadata::DOCUMENT);
    EXPECT_EQ(metas[0].mime_type(), "text/plain");
    EXPECT_EQ(metas[1].type(), sharing::FileMetadata::IMAGE);
    EXPECT_EQ(metas[1].mime_type(), "image/jpeg");
    EXPECT_EQ(metas[2].type(), sharing::FileMetadata::UNKNOWN);
    EXPECT_EQ(metas[2].mime_type(), "application/octet-stream");
    EXPECT_EQ(metas[3].name(), "Grüße 日本.pdf");
    EXPECT_EQ(metas[3].type(), sharing::FileMetadata::DOCUMENT);
    std::set<std::int64_t> ids;
    for (const auto& meta : metas) {
        EXPECT_GT(meta.payload_id(), 0);
        EXPECT_GT(meta.id(), 0);
        ids.insert(meta.payload_id());
        ids.insert(meta.id());
        EXPECT_FALSE(meta.has_parent_folder());
    }
    EXPECT_EQ(ids.size(), 8u);

    const auto& received = phone->files();
    const std::vector<std::pair<std::size_t, int>> expected = {
        {0, 1}, {QuickShareSender::chunkSize, 2}, {2 * QuickShareSender::chunkSize + 1, 4}, {10, 2}};
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(received.count(metas[i].payload_id())) << i;
        const auto& got = received.at(metas[i].payload_id());
        EXPECT_EQ(got.body.size(), expected[i].first) << i;
        EXPECT_EQ(got.chunks, expected[i].second) << i;
        EXPECT_TRUE(got.last && got.inOrder) << i;
    }
    EXPECT_EQ(received.at(metas[2].payload_id()).body, Bytes(2 * QuickShareSender::chunkSize + 1, 'b'));

    EXPECT_EQ(statuses, (std::vector<Status>{Status::connecting(), Status::waitingForAccept(phone->pin()),
                                             Status::sending()}));
    const std::int64_t total = 3 * QuickShareSender::chunkSize + 11;
    using Call = std::pair<std::int64_t, std::int64_t>;
    EXPECT_EQ(progressCalls, (std::vector<Call>{{0, total},
                                                {QuickShareSender::chunkSize, total},
                                                {2 * QuickShareSender::chunkSize, total},
                                                {3 * QuickShareSender::chunkSize, total},
                                                {3 * QuickShareSender::chunkSize + 1, total},
                                                {total, total}}));
    EXPECT_EQ(phone->peerName(), "Desk");
}

// What reaches the phone is the file as it was chosen, never more than announced: g.bin
// replaced by rename, written to, grown or cut before or during its turn fails the send with a
// sentence naming it, and the phone never gets its last chunk, so it keeps nothing of it. Also
// when its size and modification time are put back as they were (cp -p, rsync -t --inplace).
TEST_F(SenderTest, WhatReachesThePhoneIsTheFileAsItWasChosen) {
    enum When { whileCodesCompared, duringEarlierFile, duringItsTurn };
    // replacedAlike and rewrittenTimeKept put the size and modification time back as they were.
    enum Change { nothing, replacedByLonger, replacedBySameSize, replacedAlike, replacedByShorter, grown, rewritten,
                  rewrittenTimeKept, cut, accessTouched, xattrWritten, sameModeSet };
    struct Case { const char* label; When when; Change change; std::string outcome; };
    const std::string changed = "\u2068g.bin\u2069 changed while it was sent.";
    const std::string shorter = "\u2068g.bin\u2069 got shorter while it was sent.";
    const std::vector<Case> cases = {
        {"left alone", duringEarlierFile, nothing, ""},
        {"replaced by a longer file while the codes are compared", whileCodesCompared, replacedByLonger, changed},
        {"replaced by a longer file during big.bin", duringEarlierFile, replacedByLonger, changed},
        {"replaced by a file of its size during big.bin", duringEarlierFile, replacedBySameSize, changed},
        {"replaced by a file of its size and time during big.bin", duringEarlierFile, replacedAlike, changed},
        {"replaced by a shorter file during big.bin", duringEarlierFile, replacedByShorter, changed},
        {"grown in place while the codes are compared", whileCodesCompared, grown, changed},
        {"cut short while the codes are compared", whileCodesCompared, cut, shorter},
        {"grown in place during its turn", duringItsTurn, grown, changed},
        {"rewritten in place during its turn", duringItsTurn, rewritten, changed},
        {"rewritten in place during its turn, its time set back", duringItsTurn, rewrittenTimeKept, changed},
        {"cut short during its turn", duringItsTurn, cut, shorter},
        // Metadata alone changes no byte.
        {"its access time set during its turn", duringItsTurn, accessTouched, ""},
        {"an extended attribute written during its turn", duringItsTurn, xattrWritten, ""},
        {"its mode set to the one it has during its turn", duringItsTurn, sameModeSet, ""},
    };
    const std::size_t size = 3 * QuickShareSender::chunkSize + 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto big = file("big.bin", 4 * QuickShareSender::chunkSize, 'b');
        const auto g = file("g.bin", size, 'g');
        // Written long ago, as a file someone picks usually is: any later write shows.
        fs::last_write_time(g, fs::file_time_type::clock::now() - 1h);
        auto change = [&c, g] {
            struct stat before {};
            ASSERT_EQ(::stat(g.c_str(), &before), 0);
            const std::array<timespec, 2> times{before.st_atim, before.st_mtim};
            if (c.change == replacedByLonger || c.change == replacedBySameSize || c.change == replacedAlike ||
                c.change == replacedByShorter) {
                const auto other = g.parent_path() / "g.new";
                const auto length = size + (c.change == replacedByLonger) - (c.change == replacedByShorter);
                std::ofstream(other, std::ios::binary) << std::string(length, 'n');
                if (c.change == replacedAlike) {
                    ASSERT_EQ(::utimensat(AT_FDCWD, other.c_str(), times.data(), 0), 0);
                }
                fs::rename(other, g);
            }
            if (c.change == grown) std::ofstream(g, std::ios::binary | std::ios::app) << "more";
            if (c.change == rewritten || c.change == rewrittenTimeKept) {
                std::fstream(g, std::ios::binary | std::ios::in | std::ios::out) << std::string(size, 'z');
            }
            if (c.change == rewrittenTimeKept) {
                ASSERT_EQ(::utimensat(AT_FDCWD, g.c_str(), times.data(), 0), 0);
            }
            if (c.change == cut) fs::resize_file(g, 100);
            const std::array<timespec, 2> accessNow{timespec{0, UTIME_NOW}, timespec{0, UTIME_OMIT}};
            int status = 0;
            if (c.change == accessTouched) status = ::utimensat(AT_FDCWD, g.c_str(), accessNow.data(), 0);
            if (c.change == xattrWritten && ::setxattr(g.c_str(), "user.checked", "1", 1, 0) != 0)
                status = errno == ENOTSUP ? 0 : -1;  // a file system without them has nothing to change
            if (c.change == sameModeSet) status = ::chmod(g.c_str(), before.st_mode & 07777);
            ASSERT_EQ(status, 0);
        };
        QuickShareSender::ConfirmPeer confirm = [&c, change](std::string) -> asio::awaitable<bool> {
            if (c.when == whileCodesCompared) change();
            co_return true;
        };
        auto streams = MemoryStreamPair::create(pool.get_executor(), 256 * 1024);
        auto sending = sendOver(streams, {big, g}, confirm);
        std::optional<ScriptedPhone::ReceivedFile> received;
        runAsync(streams.b->executor(), [&]() -> asio::awaitable<void> {
            auto phone = co_await Phone::acceptAsReceiver(streams.b);
            const auto introduction = co_await phone->negotiateAsReceiver(Response::ACCEPT);
            const auto bigId = introduction.file_metadata(0).payload_id();
            const auto gId = introduction.file_metadata(1).payload_id();
            // The phone reads no further while it changes the file, so the computer is at most a
            // chunk ahead of it: still within big.bin, or at the start of g.bin.
            phone->afterChunk = [&, bigId, gId, self = phone.get()](std::int64_t id, bool) -> asio::awaitable<void> {
                const bool first = self->files().at(id).chunks == 1;
                if (first && ((c.when == duringEarlierFile && id == bigId) || (c.when == duringItsTurn && id == gId)))
                    change();
                co_return;
            };
            co_await phone->expectEnd(10s);
            if (phone->files().count(gId)) received = phone->files().at(gId);
        });
        EXPECT_EQ(outcomeOf(sending), c.outcome);
        if (c.outcome.empty()) {
            ASSERT_TRUE(received && received->last);
            EXPECT_EQ(received->body, Bytes(size, 'g'));
        } else {
            EXPECT_FALSE(received && received->last) << "the phone kept a file that is not the one chosen";
        }
        streams.b->close();
        fs::remove(big);
        fs::remove(g);
    }
}

// A send succeeds only when the phone kept the files: its CANCEL or payload cancel during
// the chunks or in the last wait fails the send, while a goodbye, a plain close or silence
// after the last chunk does not.
TEST_F(SenderTest, WhatThePhoneSaysDuringAndAfterTheFiles) {
    enum Act { cancelFrame, payloadCancel, disconnection, plainClose, otherThenCancel };
    // The phone acts after the last chunk, or else after the first one and reads on.
    struct Case { const char* label; bool afterLast; Act act; std::string outcome; };
    const auto cancelled = sentence(QuickShareError::cancelledByPhone());
    const std::vector<Case> cases = {
        {"CANCEL mid-transfer", false, cancelFrame, cancelled},
        {"payload cancel mid-transfer", false, payloadCancel, cancelled},
        {"CANCEL after the last chunk", true, cancelFrame, cancelled},
        {"payload cancel after the last chunk", true, payloadCancel, cancelled},
        {"another frame, then CANCEL after the last chunk", true, otherThenCancel, cancelled},
        {"disconnection after the last chunk", true, disconnection, ""},
        {"plain close after the last chunk", true, plainClose, ""},
    };
    timeouts.lastWord = 5s;  // the phone's word always comes well within it
    const auto path = file("six.bin", 6 * QuickShareSender::chunkSize, 's');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto streams = MemoryStreamPair::create(pool.get_executor(), 256 * 1024);
        auto sending = sendOver(streams, {path});
        bool completed = false;
        runAsync(streams.b->executor(), [&]() -> asio::awaitable<void> {
            auto phone = co_await Phone::acceptAsReceiver(streams.b);
            co_await phone->negotiateAsReceiver(Response::ACCEPT);
            phone->afterChunk = [c, self = phone.get()](std::int64_t id, bool last) -> asio::awaitable<void> {
                if (c.afterLast ? !last : self->files().at(id).chunks != 1) co_return;
                if (c.act == cancelFrame) co_await self->sendType(V1Frame::CANCEL);
                if (c.act == payloadCancel) co_await self->sendPayloadCancel(id);
                if (c.act == disconnection) co_await self->disconnect();
                if (c.act == plainClose) self->close();
                if (c.act == otherThenCancel) {
                    co_await self->sendType(V1Frame::PROGRESS_UPDATE);
                    co_await sleepFor(50ms);  // the computer is reading by now
                    co_await self->sendType(V1Frame::CANCEL);
                }
            };
            co_await phone->expectEnd(10s);
            completed = phone->files().begin()->second.last;
        });
        EXPECT_EQ(outcomeOf(sending), c.outcome);
        // A cancel that came mid-transfer stopped the chunks before the file was complete.
        EXPECT_EQ(completed, c.afterLast);
        streams.b->close();
    }
}

// A phone that accepts and then stops reading cannot hold the send for ever.
TEST_F(SenderTest, PhoneThatStopsReadingFailsTheSend) {
    timeouts.connection.writeDeadline = 300ms;
    auto streams = MemoryStreamPair::create(pool.get_executor(), 256 * 1024);
    const auto path = file("big.bin", 8 * QuickShareSender::chunkSize);
    auto sending = sendOver(streams, {path});
    runAsync(streams.b->executor(), [&]() -> asio::awaitable<void> {
        auto phone = co_await Phone::acceptAsReceiver(streams.b);
        co_await phone->negotiateAsReceiver(Response::ACCEPT);
        // Stop reading: the phone's connection never touches its stream again.
        phone->connection().setFileSink([](std::int64_t, std::int64_t, ByteView, bool) -> asio::awaitable<void> {
            co_await sleepFor(3s);
        });
    });
    ASSERT_EQ(sending.wait_for(5s), std::future_status::ready);
    EXPECT_ANY_THROW(sending.get());
    streams.b->close();
}

}  // namespace
}  // namespace velmo::test
