// The send flow's test fixture: a send over an in-memory stream to a scripted receiving
// phone, with short time limits, and what the send reported on the way.
#pragma once
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_future.hpp>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "quickshare/FlowTesting.h"
#include "quickshare/QuickShareSender.h"
#include "quickshare/ScriptedPhone.h"
#include "support/AsyncTest.h"
#include "support/MemoryStream.h"
#include "support/TempFolder.h"

namespace velmo::test {

namespace fs = std::filesystem;
using Phone = ScriptedPhone;
using Status = QuickShareSender::Status;
using sharing::V1Frame;
using Response = sharing::ConnectionResponseFrame;

// The user-facing sentence of an error.
inline std::string sentence(const std::exception& error) { return error.what(); }

class SenderTest : public ::testing::Test {
protected:
    SenderTest() {
        shortenCommonTimeouts(timeouts);
        timeouts.response = 1s;
        timeouts.lastWord = 300ms;
    }
    ~SenderTest() override {
        pair.a->close();
        pair.b->close();
        pool.join();
    }

    fs::path file(const std::string& name, std::size_t size, char fill = 'x') {
        const auto path = temp / name;
        std::ofstream(path, std::ios::binary) << std::string(size, fill);
        return path;
    }

    std::future<void> startSend(std::vector<fs::path> files, CancelSignal cancel = {},
                                QuickShareSender::ConfirmPeer confirm = nullptr,
                                std::optional<QRCodeSession> qr = std::nullopt) {
        auto status = [this](const Status& value) {
            std::lock_guard guard(lock);
            statuses.push_back(value);
        };
        auto progress = [this](std::int64_t sent, std::int64_t total) {
            std::lock_guard guard(lock);
            progressCalls.emplace_back(sent, total);
        };
        return asio::co_spawn(pool,
                              QuickShareSender::send(std::move(files), pair.a, "Desk", std::move(qr),
                                                     std::move(confirm), status, progress, cancel, timeouts),
                              asio::use_future);
    }

    // A send of `files` over its own `streams`, without status reports.
    std::future<void> sendOver(const MemoryStreamPair& streams, std::vector<fs::path> files,
                               QuickShareSender::ConfirmPeer confirm = nullptr,
                               QuickShareSender::Progress progress = nullptr, CancelSignal cancel = {}) {
        return asio::co_spawn(pool,
                              QuickShareSender::send(std::move(files), streams.a, "Desk", std::nullopt,
                                                     std::move(confirm), nullptr, std::move(progress), cancel,
                                                     timeouts),
                              asio::use_future);
    }

    // Accepts the handshake as the receiving phone and plays `script`.
    template <class Script>
    void asPhone(Script script) {
        runAsync(pair.b->executor(), [this, script]() -> asio::awaitable<void> {
            phone = co_await Phone::acceptAsReceiver(pair.b, phoneTimeouts);
            co_await script(*phone);
        });
    }

    // The send's outcome: "" on success, else its error's sentence.
    std::string outcomeOf(std::future<void>& sending) {
        if (sending.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "the send did not end";
            pair.a->close();
            sending.wait();
        }
        return outcomeText(sending);
    }

    asio::thread_pool pool{2};
    MemoryStreamPair pair = MemoryStreamPair::create(pool.get_executor());
    TempFolder temp;
    QuickShareSender::Timeouts timeouts;
    ConnectionTimeouts phoneTimeouts;
    std::shared_ptr<Phone> phone;
    std::mutex lock;
    std::vector<Status> statuses;
    std::vector<std::pair<std::int64_t, std::int64_t>> progressCalls;
};

}  // namespace velmo::test
