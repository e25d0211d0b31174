// The model driving the engine's real receive and send flows over loopback streams.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_future.hpp>

#include <atomic>
#include <fstream>

#include "platform/Runtime.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/QuickShareReceiver.h"
#include "quickshare/QuickShareSender.h"
#include "support/LoopbackStreams.h"
#include "support/MemoryStream.h"
#include "velmo/AppModelHarness.h"
#include "velmo/ui/TransferRow.h"

namespace velmo::test {
namespace {

using State = TransferItem::State;

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The engine's sender as a phone named Pixel, offering `file` over a new loopback connection
// that the model's listener takes.
auto phoneSends(AppModelHarness& model, const std::filesystem::path& file) {
    auto streams = LoopbackStreams::open(Runtime::shared().executor());
    auto listener = model.advertiser->listener;
    EXPECT_TRUE(listener);
    if (listener) std::thread([&] { listener(streams.accepted); }).join();
    return asio::co_spawn(Runtime::shared().executor(),
                          QuickShareSender::send({file}, streams.outgoing, "Pixel", std::nullopt, nullptr,
                                                 [](const QuickShareSender::Status&) {},
                                                 [](std::int64_t, std::int64_t) {}),
                          asio::use_future);
}

TEST(AppModelLoopback, PhoneSendsAndTheUserAccepts) {
    AppModelHarness model({.sharingMode = "askEachTime", .realEngine = true});
    model->start();
    TempFolder phoneFolder;
    phoneFolder.write("hello.txt", "hello from the phone");

    auto sent = phoneSends(model, phoneFolder / "hello.txt");

    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }, std::chrono::seconds(10)));
    EXPECT_EQ(model->incoming()->offer.senderName, "Pixel");
    EXPECT_EQ(model.row().summary, "hello.txt");
    EXPECT_EQ(model.row().code, model->incoming()->offer.pin);
    model->answerIncoming(true);

    ASSERT_TRUE(pumpUntil([&] { return model.row().state == State::done(); }, std::chrono::seconds(10)))
        << model.row().state.message();
    ASSERT_EQ(model.row().savedURLs.size(), 1u);
    EXPECT_EQ(model.row().savedURLs[0].parent_path(), model.temp.path());
    EXPECT_EQ(contents(model.row().savedURLs[0]), "hello from the phone");
    EXPECT_EQ(model.row().done, 20);
    ASSERT_EQ(sent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_NO_THROW(sent.get());
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 0; }));
}

// Connections to `port` on 127.0.0.1 that say nothing and stay open, a thousand a second. It runs
// in the child of a threaded process: async-signal-safe calls only.
[[noreturn]] void flood(std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const timespec pause{0, 1'000'000};; ::nanosleep(&pause, nullptr)) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) ::close(fd);
    }
}

std::size_t openDescriptors() {
    std::error_code none;
    std::filesystem::directory_iterator open("/proc/self/fd", none);
    return none ? 1024 : static_cast<std::size_t>(std::distance(open, {}));  // none left to look with
}

// A host floods, from a process of its own, with connections that pair with nothing and say
// nothing for as long as they like, while a phone on another host sends: the phone keeps its
// place, and its offer is asked and its file saved. Under a desktop's limit of 1,024 open files the
// model holds only a few of the flood's connections at a time: no accept, no file runs out. Those
// that made room leave no row.
TEST(AppModelLoopback, AFloodFromOneHostDoesNotKeepAPhoneOut) {
    AppModelHarness model({.sharingMode = "askEachTime", .realEngine = true});
    model->start();
    asio::ip::tcp::acceptor to(Runtime::shared().executor(), {asio::ip::address_v4::loopback(), 0});
    to.non_blocking(true);
    struct Flood {
        pid_t pid;
        ~Flood() {
            if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
        }
    } flooding{::fork()};
    if (flooding.pid == 0) flood(to.local_endpoint().port());
    ASSERT_GT(flooding.pid, 0);
    struct Limit {
        rlimit was{};
        Limit() {
            ::getrlimit(RLIMIT_NOFILE, &was);
            const rlimit desktop{1024, was.rlim_max};
            ::setrlimit(RLIMIT_NOFILE, &desktop);
        }
        ~Limit() { ::setrlimit(RLIMIT_NOFILE, &was); }
    } limit;
    const auto started = std::chrono::steady_clock::now();
    std::size_t most = 0;
    std::error_code shortage;
    // As the advertiser does: each waiting connection to the model, while the GUI runs.
    const auto serve = [&](const std::function<bool()>& until) {
        return pumpUntil([&] {
            for (std::error_code ec; !ec;) {
                auto socket = to.accept(ec);
                if (!ec) model.advertiser->listener(NetworkStream::accepted(std::move(socket), Runtime::shared().executor()));
                if (ec && ec != asio::error::would_block) shortage = ec;
            }
            most = std::max(most, openDescriptors());
            return until();
        }, std::chrono::seconds(20));
    };
    const auto floodedFor = [&](auto span) { return [&, span] { return std::chrono::steady_clock::now() - started > span; }; };
    ASSERT_TRUE(serve(floodedFor(std::chrono::milliseconds(300))));
    TempFolder phoneFolder;
    phoneFolder.write("hello.txt", "hello from the phone");
    asio::ip::tcp::socket phone(Runtime::shared().executor(), {asio::ip::make_address("127.0.0.2"), 0});
    phone.connect(to.local_endpoint());
    auto sent = asio::co_spawn(Runtime::shared().executor(),
                               QuickShareSender::send({phoneFolder / "hello.txt"},
                                                      NetworkStream::accepted(std::move(phone), Runtime::shared().executor()), "Pixel",
                                                      std::nullopt, nullptr, [](const QuickShareSender::Status&) {},
                                                      [](std::int64_t, std::int64_t) {}),
                               asio::use_future);
    ASSERT_TRUE(serve([&] { return model->incoming().has_value(); }));
    model->answerIncoming(true);
    ASSERT_TRUE(serve([&] { return sent.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_NO_THROW(sent.get());
    ASSERT_TRUE(serve(floodedFor(std::chrono::seconds(2))));
    EXPECT_LT(most, 512u) << "descriptors held under the flood";
    EXPECT_FALSE(shortage) << shortage.message();
    ::kill(flooding.pid, SIGKILL);
    ASSERT_TRUE(serve([&] { return model->incomingCount() == 0 && model->transfers().size() == 1; }))
        << model->transfers().size() << " rows";
    EXPECT_EQ(contents(model.row().savedURLs.at(0)), "hello from the phone");
}

// The row's Cancel in the middle of a file: the phone, still writing, reads the cancel, not a
// connection cut under it, and nothing of the file stays.
TEST(AppModelLoopback, CancellingTheRowTellsAPhoneThatIsStillWriting) {
    AppModelHarness model({.sharingMode = "askEachTime", .realEngine = true});
    model->start();
    TempFolder phoneFolder;
    const auto big = phoneFolder / "big.bin";
    phoneFolder.write("big.bin", "");
    std::filesystem::resize_file(big, 256 * 1024 * 1024);
    auto sent = phoneSends(model, big);
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }, std::chrono::seconds(10)));
    model->answerIncoming(true);
    ASSERT_TRUE(pumpUntil([&] { return model.row().done > 4 * 1024 * 1024; }, std::chrono::seconds(10)));
    model->cancelTransfer(model.row().id);
    ASSERT_TRUE(pumpUntil([&] { return sent.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                          std::chrono::seconds(10)));
    try {
        sent.get();
        ADD_FAILURE() << "the send was not ended";
    } catch (const QuickShareError& error) {
        EXPECT_EQ(error.kind(), QuickShareError::Kind::cancelledByPhone) << error.what();
    }
    EXPECT_EQ(model.row().state, State::failed("Cancelled"));
    const auto received = [&] {
        for (const auto& entry : std::filesystem::directory_iterator(model.temp.path()))
            if (entry.path().filename() != "Velmo.conf") return true;
        return false;
    };
    ASSERT_TRUE(pumpUntil([&] { return !received(); })) << "a part file stayed";
}

// The row asks to compare the codes and names its phone. The phone's answer may come while
// the question is open: an accept waits for "Codes match"; a decline ends the send at once and
// takes the question away, so a late "Codes match" changes nothing.
TEST(AppModelLoopback, ComputerSendsAfterTheCodesMatch) {
    for (bool phoneAccepts : {true, false}) {
        SCOPED_TRACE(phoneAccepts ? "the phone accepts" : "the phone declines");
        AppModelHarness model({.sharingMode = "quick",
                               .realEngine = true,
                               .timeouts = {std::chrono::seconds(60), std::chrono::seconds(60), std::chrono::milliseconds(100)}});
        model->start();
        auto pair = MemoryStreamPair::create(Runtime::shared().executor());
        *model.streamForPhone = [stream = pair.a] { return std::static_pointer_cast<ByteStream>(stream); };
        TempFolder phoneFolder;
        // The phone's user answers once the computer asks its own user.
        auto asked = std::make_shared<std::atomic<bool>>(false);
        auto decide = [asked, phoneAccepts](QuickShareOffer) -> asio::awaitable<bool> {
            asio::steady_timer timer(co_await asio::this_coro::executor);
            while (!*asked) {
                timer.expires_after(std::chrono::milliseconds(5));
                co_await timer.async_wait(asio::use_awaitable);
            }
            co_return phoneAccepts;
        };
        auto received = asio::co_spawn(Runtime::shared().executor(),
                                       QuickShareReceiver::receive(pair.b, phoneFolder.path(), nullptr, decide,
                                                                   [](std::int64_t, std::int64_t) {}),
                                       asio::use_future);

        model->send({model.file("report.pdf", 1000)}, model.phone("phone", "Pixel"));
        ASSERT_TRUE(pumpUntil([&] { return model->peerCheckCount() == 1; }, std::chrono::seconds(10)));
        const Uuid id = model.row().id;
        EXPECT_TRUE(model.row().needsPeerCheck);
        ASSERT_EQ(model.row().code->size(), 4u);
        EXPECT_EQ(transferStatusText(model.row()).toStdString(), "Check the phone shows " + *model.row().code + " · to \u2068Pixel\u2069");
        *asked = true;

        if (phoneAccepts) {
            pumpFor(std::chrono::milliseconds(100));  // the phone's accept comes in meanwhile
            EXPECT_EQ(model->peerCheckCount(), 1u);
            model->answerPeerCheck(id, true);
            ASSERT_TRUE(pumpUntil([&] { return model.row().state == State::done(); }, std::chrono::seconds(10)))
                << model.row().state.message();
            EXPECT_EQ(model.row().done, 1000);
            ASSERT_EQ(received.wait_for(std::chrono::seconds(10)), std::future_status::ready);
            auto files = received.get();
            ASSERT_EQ(files.size(), 1u);
            EXPECT_EQ(contents(files[0]), std::string(1000, 'x'));
        } else {
            ASSERT_TRUE(pumpUntil([&] { return model.row().state == State::declined(); }, std::chrono::seconds(5)))
                << model.row().state.message();
            EXPECT_EQ(model->peerCheckCount(), 0u);
            EXPECT_FALSE(model.row().needsPeerCheck);
            EXPECT_EQ(transferStatusText(model.row()).toStdString(), "\u2068Pixel\u2069 declined");
            model->answerPeerCheck(id, true);
            EXPECT_EQ(model.row().state, State::declined());
            ASSERT_EQ(received.wait_for(std::chrono::seconds(10)), std::future_status::ready);
            EXPECT_TRUE(received.get().empty());
        }
    }
}

}  // namespace
}  // namespace velmo::test
