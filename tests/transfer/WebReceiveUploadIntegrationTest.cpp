// Uploads that fail after they started: the phone goes away or falls silent, the server
// stops, the user cancels, or the download folder cannot take the file.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "WebReceiveTestServer.h"
#include "support/ScratchDisk.h"
#include "transfer/PeerText.h"

namespace velmo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace test;
using Server = WebReceiveServer;

constexpr std::int64_t GiB = 1024LL * 1024 * 1024;

struct MidUploadCase {
    const char* label;
    std::function<void(LoopbackClient&, WebReceiveTestServer&)> interrupt;
    // The failed event's message, given the folder's name.
    std::function<std::string(const std::string&)> message = [](const std::string&) {
        return "The phone stopped sending.";
    };
};

void PrintTo(const MidUploadCase& c, std::ostream* os) { *os << c.label; }

class MidUpload : public ::testing::TestWithParam<MidUploadCase> {};

TEST_P(MidUpload, FailsCleanlyAndKeepsBudgetSpent) {
    auto timeouts = test::fastTimeouts();
    timeouts.idle = 300ms;
    WebReceiveTestServer s(timeouts);
    s.start();
    LoopbackClient client(s.port);
    client.send("POST /upload?t=" + s.token() + " HTTP/1.1\r\nX-File-Name: half.bin\r\nContent-Length: 1000000\r\n\r\n");
    client.send(std::string(300'000, 'h'));
    ASSERT_TRUE(s.events->waitForCount(2));  // started, progress: the part file exists
    GetParam().interrupt(client, s);
    for (std::size_t count = 3; s.events->waitForCount(count); ++count) {
        if (std::holds_alternative<Server::Failed>(s.events->snapshot().back())) break;
    }
    const auto events = s.events->snapshot();
    ASSERT_EQ(kinds({events.front(), events.back()}), "started failed");
    EXPECT_EQ(std::get<Server::Failed>(events.back()).message, GetParam().message(s.temp.path().filename().string()));
    if (fs::exists(s.temp.path())) {
        EXPECT_FALSE(hasPartFile(s.temp.path()));
        EXPECT_TRUE(s.files().empty());
    }
    EXPECT_EQ(s.budget->remainingBytes(), 20 * GiB - 1'000'000);
}

INSTANTIATE_TEST_SUITE_P(
    WebReceiveServer, MidUpload,
    ::testing::Values(MidUploadCase{"abort", [](LoopbackClient& c, WebReceiveTestServer&) { c.close(); }},
                      MidUploadCase{"silence", [](LoopbackClient&, WebReceiveTestServer&) {}},
                      MidUploadCase{"stop", [](LoopbackClient&, WebReceiveTestServer& s) { s.server->stop(); }},
                      // The user cancels that upload's row.
                      MidUploadCase{"cancel",
                                    [](LoopbackClient&, WebReceiveTestServer& s) {
                                        s.server->cancelUpload(
                                            std::get<Server::Started>(s.events->snapshot().front()).id);
                                    },
                                    [](const std::string&) { return "Cancelled"; }},
                      MidUploadCase{"folderRemoved",
                                    [](LoopbackClient& c, WebReceiveTestServer& s) {
                                        fs::remove_all(s.temp.path());
                                        c.send(std::string(700'000, 't'));
                                    },
                                    [](const std::string& folder) {
                                        return "The " + isolated(folder) + " folder was removed while the file was arriving.";
                                    }}),
    [](const auto& info) { return std::string(info.param.label); });

// The server settles a cancel against the final move: one that comes after the last byte but
// before the move keeps the file unsaved and answers a final 409, so no browser sends it again;
// one that comes after the move changes nothing, and the phone gets its 200. A cancel while
// the body pours in stops reading it, though every read finds bytes already waiting.
TEST(WebReceiveServer, CancelIsSettledAgainstTheMove) {
    struct Case {
        const char* label;
        std::size_t cancelOn;  // the event kind after which the row's Cancel comes (its first)
        int status;
        bool stopped;
        std::vector<std::string> files;
        std::size_t bodySize = 10;
    };
    const std::vector<Case> cases = {
        {"after the last byte", 1, 409, true, {}},
        {"after the move", 2, 200, false, {"a.txt"}},
        {"while the body pours in", 1, 409, true, {}, 4'000'000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        WebReceiveTestServer s;
        std::atomic<int> stopped = -1;
        s.server->setOnEvent([&, log = s.events](const Server::Event& e) {
            log->add(e);
            if (e.index() != c.cancelOn || stopped != -1) return;
            stopped = s.server->cancelUpload(std::visit([](const auto& v) { return v.id; }, e)) ? 1 : 0;
        });
        s.start();
        const std::string body = c.bodySize == 10 ? "0123456789" : std::string(c.bodySize, 'p');
        const auto reply = s.upload("a.txt", body);
        EXPECT_EQ(statusOf(reply), c.status) << reply;
        EXPECT_EQ(stopped.load(), c.stopped ? 1 : 0);
        EXPECT_EQ(s.files(), c.files);
        const auto events = s.events->snapshot();
        if (c.stopped) {
            EXPECT_EQ(bodyOf(reply), R"({"ok":false,"error":"Cancelled on the computer."})");
            ASSERT_EQ(kinds({events.front(), events.back()}), "started failed");
            EXPECT_EQ(std::get<Server::Failed>(events.back()).message, "Cancelled");
            // At most the chunk already on its way is written after the cancel.
            const auto& last = events[events.size() - 2];
            ASSERT_TRUE(std::holds_alternative<Server::Progress>(last));
            EXPECT_EQ(std::get<Server::Progress>(last).done == std::int64_t(c.bodySize), c.bodySize == 10);
            EXPECT_LE(events.size(), 4u);
        } else {
            EXPECT_EQ(kinds(events), "started progress finished");
        }
    }
}

// Stopping the server: an upload still arriving is answered with the final 409, and what its
// phone still sends is read, so the phone reads that answer instead of a reset. stop() tells
// how the uploads that had ended went, a failure with its own reason, even before its event.
TEST(WebReceiveServer, StopAnswersRunningUploadsAndTellsEndedOnes) {
    auto timeouts = fastTimeouts();
    timeouts.drain = 10s;
    WebReceiveTestServer s(timeouts);
    s.start();
    const auto head = [&](const std::string& name, std::size_t length) {
        return "POST /upload?t=" + s.token() + " HTTP/1.1\r\nX-File-Name: " + name +
               "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
    };
    ASSERT_EQ(statusOf(s.upload("saved.txt", "kept")), 200);
    LoopbackClient gone(s.port);
    gone.send(head("gone.bin", 1000) + "half");
    ASSERT_TRUE(s.events->waitForCount(4));  // saved: started progress finished; gone: started
    gone.close();
    ASSERT_TRUE(s.events->waitForCount(5));
    LoopbackClient running(s.port);
    const std::size_t size = 16 * 1024 * 1024;
    running.send(head("big.bin", size) + std::string(65536, 'b'));
    ASSERT_TRUE(s.events->waitForCount(6));

    std::atomic<bool> allSent = true;
    std::thread writer([&] {
        const std::string chunk(65536, 'b');
        for (std::size_t sent = 65536; sent < size && allSent; sent += chunk.size()) allSent = running.send(chunk);
        running.shutdownWrite();
    });
    const auto settled = s.server->stop();
    const auto answer = running.readAll();
    writer.join();
    EXPECT_EQ(statusOf(answer), 409) << answer;
    EXPECT_EQ(bodyOf(answer), R"({"ok":false,"error":"Cancelled on the computer."})");
    EXPECT_TRUE(allSent) << "the phone was cut off while it still sent";

    const auto events = s.events->snapshot();
    const auto idOf = [&](std::size_t index) { return std::get<Server::Started>(events.at(index)).id; };
    ASSERT_EQ(settled.size(), 2u);
    EXPECT_EQ(std::get<Server::Finished>(settled.at(idOf(0))).url, s.temp / "saved.txt");
    EXPECT_EQ(std::get<Server::Failed>(settled.at(idOf(3))).message, "The phone stopped sending.");
    EXPECT_EQ(s.files(), std::vector<std::string>{"saved.txt"});
}

// Whoever waits for the stopped server (the application's quit) hears of it only once the
// final answer has been written.
TEST(WebReceiveServer, ClosedOnlyOnceTheFinalAnswerIsWritten) {
    WebReceiveTestServer s;
    std::promise<std::string> closed;
    const auto told = closed.get_future().share();
    s.server->setOnEvent([told, log = s.events](const Server::Event& e) {
        log->add(e);
        // The answer follows this event: time for an early close to show.
        if (std::holds_alternative<Server::Failed>(e)) told.wait_for(300ms);
    });
    s.start();
    LoopbackClient running(s.port);
    running.send("POST /upload?t=" + s.token() + " HTTP/1.1\r\nX-File-Name: a.bin\r\nContent-Length: 1000\r\n\r\nhalf");
    ASSERT_TRUE(s.events->waitForCount(1));
    s.server->stop();
    s.server->whenClosed([&] { closed.set_value(running.readUntil("}", 0ms)); });
    ASSERT_EQ(told.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(statusOf(told.get()), 409) << told.get();
}

// The download folder renamed while a file arrives: the file is saved in the folder it began
// in, under the folder's new name, and nothing stays behind hidden.
TEST(WebReceiveServer, FolderMovedMidUploadKeepsTheFileInIt) {
    WebReceiveTestServer s;
    s.start();
    LoopbackClient client(s.port);
    client.send("POST /upload?t=" + s.token() + " HTTP/1.1\r\nX-File-Name: moved.bin\r\nContent-Length: 1000000\r\n\r\n");
    client.send(std::string(300'000, 'm'));
    ASSERT_TRUE(s.events->waitForCount(2));  // the part file exists
    const fs::path moved = s.temp.path().string() + "-moved";
    fs::rename(s.temp.path(), moved);
    client.send(std::string(700'000, 'm'));
    const auto reply = client.readUntil("}");
    EXPECT_EQ(statusOf(reply), 200) << reply;
    const auto events = s.events->snapshot();
    ASSERT_EQ(kinds({events.back()}), "finished");
    EXPECT_EQ(std::get<Server::Finished>(events.back()).url, moved / "moved.bin");
    EXPECT_EQ(fs::file_size(moved / "moved.bin"), 1'000'000u);
    EXPECT_FALSE(hasPartFile(moved));
    fs::rename(moved, s.temp.path());
}

// The phone's upload fails with a sentence naming the folder, never a system message alone.
TEST(WebReceiveServer, UnwritableFolderAnswers500) {
    test::TempFolder outer;
    outer.write("file", "x");
    test::ScratchDisk full("size=64k");
    test::ScratchDisk readOnly("size=64k", true);
    struct Case {
        const char* label;
        bool possible;
        fs::path folder;
        std::string message;
        bool closing = false;  // the session closes as the upload starts
    };
    const std::vector<Case> cases = {
        {"under a file", true, outer / "file" / "inbox", "Velmo can't create the folder \u2068inbox\u2069."},
        // Failing on its own as the session closes, it still tells its own failure.
        {"under a file as the session closes", true, outer / "file" / "inbox", "Velmo can't create the folder \u2068inbox\u2069.",
         true},
        {"disk full", full.mounted(), full.path(),
         "There isn't enough free space in " + isolated(full.path().filename().string()) + "."},
        {"read-only", readOnly.mounted(), readOnly / "inbox", "Velmo can't save files in \u2068inbox\u2069: it is read-only."},
        {"read-only from the start", readOnly.mounted(), readOnly.path(),
         "Velmo can't save files in " + isolated(readOnly.path().filename().string()) + ": it is read-only."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if (!c.possible) continue;
        WebReceiveTestServer s(c.folder, test::fastTimeouts());
        if (c.closing) {
            s.server->setOnEvent([&s, log = s.events](const Server::Event& e) {
                log->add(e);
                if (std::holds_alternative<Server::Started>(e)) s.server->stop();
            });
        }
        s.start();
        EXPECT_EQ(statusOf(s.upload("a.txt", std::string(200'000, 'd'))), 500);
        ASSERT_TRUE(s.events->waitForCount(2));
        const auto events = s.events->snapshot();
        EXPECT_EQ(kinds({events.front(), events.back()}), "started failed");
        EXPECT_EQ(std::get<Server::Failed>(events.back()).message, c.message);
        EXPECT_EQ(s.budget->remainingFiles(), 255);
    }
}

}  // namespace
}  // namespace velmo
