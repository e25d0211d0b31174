// The model driving the engine's real receive and send flows over loopback streams.
#include <gtest/gtest.h>

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

// Four connections that pair with nothing and say nothing hold every place, for as long as they
// like: an honest phone still gets through, taking the place of the oldest of them, and its
// offer is asked and its file saved. The silent ones that made room are closed and leave no row.
TEST(AppModelLoopback, SilentConnectionsDoNotKeepAPhoneOut) {
    AppModelHarness model({.sharingMode = "askEachTime", .realEngine = true});
    model->start();
    auto listener = model.advertiser->listener;
    ASSERT_TRUE(listener);
    std::vector<LoopbackStreams> silent;
    for (int i = 0; i < 4; ++i) {
        silent.push_back(LoopbackStreams::open(Runtime::shared().executor()));
        std::thread([&] { listener(silent.back().accepted); }).join();
        ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == i + 1; }));
    }
    TempFolder phoneFolder;
    phoneFolder.write("hello.txt", "hello from the phone");
    auto sent = phoneSends(model, phoneFolder / "hello.txt");

    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }, std::chrono::seconds(10)));
    EXPECT_EQ(model->incoming()->offer.senderName, "Pixel");
    EXPECT_EQ(model->incomingCount(), 4);
    EXPECT_EQ(model->transfers().size(), 4u) << "the connection that made room leaves no row";
    model->answerIncoming(true);
    ASSERT_TRUE(pumpUntil([&] { return model.row().state == State::done(); }, std::chrono::seconds(10)))
        << model.row().state.message();
    EXPECT_EQ(contents(model.row().savedURLs.at(0)), "hello from the phone");
    ASSERT_EQ(sent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_NO_THROW(sent.get());
    // The oldest silent connection was closed to make room; the others still wait.
    auto closed = asio::co_spawn(Runtime::shared().executor(), silent[0].outgoing->readExactly(1), asio::use_future);
    ASSERT_EQ(closed.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_THROW(closed.get(), std::exception);
    EXPECT_EQ(model->incomingCount(), 3);
}

// A connection from the loopback address `from`: the phone's end, ready to send, and ours.
std::pair<std::shared_ptr<NetworkStream>, std::shared_ptr<NetworkStream>> connectFrom(asio::ip::tcp::acceptor& to,
                                                                                      const char* from) {
    auto executor = Runtime::shared().executor();
    asio::ip::tcp::socket dialling(executor, asio::ip::tcp::endpoint(asio::ip::make_address(from), 0));
    dialling.connect(to.local_endpoint());
    return {NetworkStream::accepted(std::move(dialling), executor), NetworkStream::accepted(to.accept(), executor)};
}

// One host keeps opening connections that say nothing while a phone on another host sends: the
// phone keeps its place. Those that made room, and those that end, leave no row.
TEST(AppModelLoopback, AFloodFromOneHostDoesNotKeepAPhoneOut) {
    AppModelHarness model({.sharingMode = "askEachTime", .realEngine = true});
    model->start();
    asio::ip::tcp::acceptor to(Runtime::shared().executor(), {asio::ip::address_v4::loopback(), 0});
    TempFolder phoneFolder;
    phoneFolder.write("hello.txt", "hello from the phone");
    auto [phone, fromPhone] = connectFrom(to, "127.0.0.2");
    model.advertiser->listener(fromPhone);
    auto sent = asio::co_spawn(Runtime::shared().executor(),
                               QuickShareSender::send({phoneFolder / "hello.txt"}, phone, "Pixel", std::nullopt, nullptr,
                                                      [](const QuickShareSender::Status&) {}, [](std::int64_t, std::int64_t) {}),
                               asio::use_future);
    std::vector<std::shared_ptr<NetworkStream>> silent;
    while (!model->incoming() && silent.size() < 400) {
        auto [dialling, accepted] = connectFrom(to, "127.0.0.1");
        silent.push_back(dialling);
        model.advertiser->listener(accepted);
        if (silent.size() > 20) pumpFor(std::chrono::milliseconds(1));  // the first twenty come at once
    }
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }, std::chrono::seconds(10)));
    model->answerIncoming(true);
    ASSERT_EQ(sent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_NO_THROW(sent.get());
    for (const auto& stream : silent) stream->close();
    ASSERT_TRUE(pumpUntil([&] { return model->incomingCount() == 0 && model->transfers().size() == 1; }))
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
