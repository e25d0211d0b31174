// The main window's cost of one receive as the transfer list grows: 20 receives from a phone
// (the engine's own sender over loopback, the real model accepting each) while the real main
// window shows the list (offscreen), with 0, 100 and 1,000 finished rows kept. Each row count
// runs three rounds with a fresh model; the least CPU of the three counts. Goal: 20 receives
// with 100 rows kept cost at most 1.6 times the CPU of 20 with none; 1,000 is shown beside.
#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>

#include <QApplication>
#include <QDialog>
#include <QSettings>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench/BenchCores.h"
#include "bench/CpuTime.h"
#include "platform/Runtime.h"
#include "quickshare/QuickShareSender.h"
#include "support/LoopbackStreams.h"
#include "support/TempFolder.h"
#include "velmo/AppModelHarness.h"
#include "velmo/ui/MainWindow.h"

namespace {

using namespace velmo;
using namespace std::chrono_literals;

constexpr int receives = 20;
constexpr int rounds = 3;
constexpr double goal = 1.6;

// One receive of `file` from "Pixel", accepted as the prompt's Accept does; true once the row
// reads done and the receive has ended.
bool receive(test::AppModelHarness& model, const std::filesystem::path& file) {
    auto streams = test::LoopbackStreams::open(Runtime::shared().executor());
    auto listener = model.advertiser->listener;
    if (!listener) return false;
    // The listener calls back from its own thread.
    std::thread([&] { listener(streams.accepted); }).join();
    auto sent = asio::co_spawn(Runtime::shared().executor(),
                               QuickShareSender::send({file}, streams.outgoing, "Pixel", std::nullopt, nullptr,
                                                      [](const QuickShareSender::Status&) {},
                                                      [](std::int64_t, std::int64_t) {}),
                               asio::use_future);
    if (!test::pumpUntil([&] { return model->incoming().has_value(); }, 10s)) return false;
    model->answerIncoming(true);
    const bool done = test::pumpUntil(
        [&] {
            return model->incomingCount() == 0 && model->transfers().front().state == TransferItem::State::done();
        },
        10s);
    if (sent.wait_for(10s) != std::future_status::ready) return false;
    try {
        sent.get();
    } catch (...) {
        return false;
    }
    return done;
}

// CPU seconds of `receives` receives with `kept` finished rows in the shown window.
double round(int kept, const std::filesystem::path& file) {
    test::AppModelHarness model({.sharingMode = "askEachTime", .realEngine = true},
                                [](QSettings& store) { store.setValue("receiveFromAndroid", true); });
    model->start();
    for (int i = 0; i < kept; ++i)
        if (!receive(model, file)) {
            std::fprintf(stderr, "a receive to fill the list failed\n");
            std::exit(1);
        }
    MainWindow window(*model, nullptr, 1h);
    window.show();
    // The kept rows are built and laid out before the clock starts.
    test::pumpFor(300ms);
    const double before = bench::cpuSeconds();
    for (int i = 0; i < receives; ++i)
        if (!receive(model, file)) {
            std::fprintf(stderr, "a measured receive failed\n");
            std::exit(1);
        }
    // The last row's redraw comes a moment after its change.
    test::pumpFor(100ms);
    return bench::cpuSeconds() - before;
}

}  // namespace

int main() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    bench::printCores();
    test::ensureApplication();
    test::TempFolder phone;
    // Large enough for a few progress updates per receive.
    phone.write("photo.jpg", std::string(512 * 1024, 'x'));
    std::printf("%d receives of a 512 KiB file each, shown in the main window; least CPU of %d rounds\n", receives,
                rounds);
    double none = 0;
    double hundred = 0;
    for (const int kept : {0, 100, 1000}) {
        double best = 0;
        for (int r = 0; r < rounds; ++r) {
            const double cpu = round(kept, phone / "photo.jpg");
            best = r == 0 ? cpu : std::min(best, cpu);
        }
        if (kept == 0) none = best;
        if (kept == 100) hundred = best;
        std::printf("%5d rows kept: %.3f s CPU, %.1f ms per receive, %.2f x the CPU with none\n", kept, best,
                    best * 1000 / receives, none > 0 ? best / none : 1.0);
    }
    const double ratio = none > 0 ? hundred / none : 0;
    std::printf("100 rows against none: %.2f (goal <= %.1f): %s\n", ratio, goal, ratio <= goal ? "met" : "NOT MET");
    return 0;
}
