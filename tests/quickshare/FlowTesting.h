// Small helpers shared by the tests of the receive and send flows.
#pragma once
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <exception>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "platform/Error.h"
#include "proto/sharing.pb.h"

namespace velmo::test {

namespace sharing = nearby::sharing::service::proto;
using namespace std::chrono_literals;

// A sharing frame of `type` alone (defined with the secure peer).
sharing::Frame sharingFrame(sharing::V1Frame::FrameType type);

// A progress-update frame carrying `marker`, to tell frames apart.
inline sharing::Frame markedFrame(float marker) {
    auto frame = sharingFrame(sharing::V1Frame::PROGRESS_UPDATE);
    frame.mutable_v1()->mutable_progress_update()->set_progress(marker);
    return frame;
}

inline float markerOf(const sharing::Frame& frame) { return frame.v1().progress_update().progress(); }

// Runs `make()` on a private single-threaded io_context until it and everything it started
// are done, or `limit` passes. Rethrows the coroutine's exception. Returns whether the
// context ran out of work (no timer or task left behind).
template <class Make>
bool runAlone(asio::io_context& context, Make&& make,
              std::chrono::steady_clock::duration limit = 10s) {
    std::exception_ptr failure;
    bool done = false;
    context.restart();
    asio::co_spawn(context, std::forward<Make>(make), [&](std::exception_ptr error) {
        failure = error;
        done = true;
    });
    context.run_for(limit);
    const bool idle = context.stopped();
    if (!done) ADD_FAILURE() << "the coroutine did not finish in time";
    if (failure) std::rethrow_exception(failure);
    return idle;
}

inline asio::awaitable<void> sleepFor(std::chrono::steady_clock::duration duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    co_await timer.async_wait(asio::use_awaitable);
}

// Every file name in `folder`, sorted.
inline std::vector<std::string> namesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    if (!std::filesystem::exists(folder)) return names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline bool hasTemporaryFiles(const std::filesystem::path& folder) {
    for (const auto& name : namesIn(folder)) {
        if (name.rfind(".velmo-", 0) == 0) return true;
    }
    return false;
}

// The time limits both flows have, short enough for tests against a scripted phone.
template <class Timeouts>
void shortenCommonTimeouts(Timeouts& timeouts) {
    timeouts.streamStart = 2s;
    timeouts.handshake = 2s;
    timeouts.pairedKeyEncryption = 1s;
    timeouts.pairedKeyResult = 1s;
    timeouts.cancelGrace = 300ms;
    timeouts.connection.writeDeadline = 2s;
}

// How a finished flow ended: "" on success, "cancelled" for Cancelled, else its error's sentence.
template <class T>
std::string outcomeText(std::future<T>& finished) {
    try {
        finished.get();
    } catch (const Cancelled&) {
        return "cancelled";
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

// Only a file size limit makes one write of the receiver fail (EFBIG), as a full disk would.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &original_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
        rlimit lowered = original_;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &original_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit original_{};
    void (*previous_)(int) = nullptr;
};

}  // namespace velmo::test
