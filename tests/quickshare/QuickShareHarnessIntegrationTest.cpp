// The quickshare-harness tool end to end: a receiving harness and a sending harness talking
// over loopback, as an interoperability check against another peer would run them.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "quickshare/FlowTesting.h"
#include "support/TempFolder.h"

extern char** environ;

namespace velmo {
namespace {

using namespace test;
using Json = nlohmann::json;
namespace fs = std::filesystem;

// A harness process whose standard output is read line by line.
class Harness {
public:
    explicit Harness(std::vector<std::string> arguments) {
        int pipeEnds[2];
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
        arguments.insert(arguments.begin(), VELMO_QUICKSHARE_HARNESS);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("cannot start the harness");
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeEnds[1]);
        output_ = ::fdopen(pipeEnds[0], "r");
    }
    ~Harness() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        if (output_) std::fclose(output_);
    }

    // The next JSON line, or null at the end of the output.
    Json next() {
        char* line = nullptr;
        std::size_t capacity = 0;
        const auto length = ::getline(&line, &capacity, output_);
        std::string text = length > 0 ? std::string(line, static_cast<std::size_t>(length)) : "";
        std::free(line);
        if (text.empty()) return nullptr;
        return Json::parse(text);
    }

    // Every remaining line except progress, then the exit status.
    std::vector<Json> rest() {
        std::vector<Json> events;
        for (auto event = next(); !event.is_null(); event = next()) {
            if (event["event"] != "progress") events.push_back(event);
        }
        return events;
    }

    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    FILE* output_ = nullptr;
};

class HarnessTest : public ::testing::Test {
protected:
    HarnessTest() {
        fs::create_directories(outbox);
        std::ofstream(outbox / "note.txt") << "note";
        std::ofstream(outbox / "Straße.bin") << std::string(1500000, 's');
    }
    TempFolder temp;
    fs::path outbox = temp / "out";
    fs::path inbox = temp / "in";
};

TEST_F(HarnessTest, SendsToAReceivingHarness) {
    Harness receiver({"receive", "--listen", "127.0.0.1:0", "--dir", inbox.string(), "--accept", "yes", "--once"});
    const auto listening = receiver.next();
    ASSERT_EQ(listening["event"], "listening");
    const int port = listening["port"];
    ASSERT_GT(port, 0);

    Harness sender({"send", "--to", "127.0.0.1:" + std::to_string(port), "--name", "Harness",
                    (outbox / "note.txt").string(), (outbox / "Straße.bin").string()});
    const auto sent = sender.rest();
    EXPECT_EQ(sender.wait(), 0);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], Json({{"event", "status"}, {"status", "connecting"}}));
    EXPECT_EQ(sent[1]["status"], "waitingForAccept");
    EXPECT_EQ(sent[2], Json({{"event", "status"}, {"status", "sending"}}));
    EXPECT_EQ(sent[3], Json({{"event", "sent"}}));

    const auto received = receiver.rest();
    EXPECT_EQ(receiver.wait(), 0);
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0]["event"], "connected");
    EXPECT_EQ(received[1]["event"], "offer");
    EXPECT_EQ(received[1]["sender"], "Harness");
    EXPECT_EQ(received[1]["pin"], sent[1]["pin"]);
    EXPECT_EQ(received[1]["files"], Json::parse(R"([{"name":"note.txt","size":4},{"name":"Straße.bin","size":1500000}])"));
    EXPECT_EQ(received[2]["event"], "received");
    EXPECT_EQ(received[2]["files"], Json::array({(inbox / "note.txt").string(), (inbox / "Straße.bin").string()}));
    EXPECT_EQ(fs::file_size(inbox / "Straße.bin"), 1500000u);
}

TEST_F(HarnessTest, DecliningHarnessMakesTheSendFail) {
    Harness receiver({"receive", "--listen", "127.0.0.1:0", "--dir", inbox.string(), "--accept", "no", "--once"});
    const int port = receiver.next()["port"];
    Harness sender({"send", "--to", "127.0.0.1:" + std::to_string(port), (outbox / "note.txt").string()});
    const auto sent = sender.rest();
    EXPECT_EQ(sender.wait(), 1);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), Json({{"event", "failed"}, {"error", "The phone declined the files."}}));
    const auto received = receiver.rest();
    EXPECT_EQ(receiver.wait(), 0);
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back()["event"], "declined");
    EXPECT_FALSE(fs::exists(inbox));
}

TEST_F(HarnessTest, RefusesBadArguments) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {}, {"fly"}, {"receive", "--listen", "127.0.0.1:0", "--dir", "x"},
             {"receive", "--listen", "127.0.0.1:0", "--dir", "x", "--accept", "maybe"},
             {"send", "--to", "127.0.0.1:1"}, {"send", "note.txt"}}) {
        Harness harness(arguments);
        EXPECT_EQ(harness.wait(), 2);
    }
}

}  // namespace
}  // namespace velmo
