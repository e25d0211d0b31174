// The cost of one receive as the transfer list grows: 20 receives from a phone (the engine's own
// sender over loopback, the real model accepting each) while the real main window shows the list
// (offscreen), with 0, 100 and 1,000 finished rows kept. Each row count runs three rounds with a
// fresh model; the least CPU of the three counts. Goal: 20 receives with 100 rows kept cost at
// most 1.6 times the CPU of 20 with none; 1,000 is shown beside. `bench_transfer_list sheet`
// measures the same in the quick sharing mode with the web receive sheet open, where every
// receive is the session's and shows in the sheet: 150 rows kept against none, same goal.
#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>

#include <QApplication>
#include <QDialog>
#include <QSettings>
#include <sys/resource.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

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

int receives = 20;
constexpr int rounds = 3;
constexpr double goal = 1.6;

// One receive of a new file from "Pixel", accepted as the prompt's Accept does; true once the row
// reads done and the receive has ended.
bool receive(test::AppModelHarness& model, const test::TempFolder& phone) {
    // Each under a name of its own: the same name again would time the search for a free name.
    static int made = 0;
    const std::string name = "photo-" + std::to_string(++made) + ".jpg";
    phone.write(name, std::string(512 * 1024, 'x'));
    const auto file = phone / name;
    const auto before = model->transfers().empty() ? Uuid{} : model->transfers().front().id;
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
    // In the quick sharing mode the session's receives need no answer.
    if (model->sharingMode() != SharingMode::quick) {
        if (!test::pumpUntil([&] { return model->incoming().has_value(); }, 10s)) return false;
        model->answerIncoming(true);
    }
    // The new row, not the last receive's: until the connection reaches the model, the front
    // row is an earlier one that is already done.
    const bool done = test::pumpUntil(
        [&] {
            return model->incomingCount() == 0 && !model->transfers().empty() &&
                   model->transfers().front().id != before &&
                   model->transfers().front().state == TransferItem::State::done();
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
// CPU seconds of the calling thread: the GUI thread, where the model and the window run.
double threadSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Cost {
    double process = 0;
    double gui = 0;
};

Cost round(int kept, const test::TempFolder& phone, bool sheet) {
    // Received files go to memory, so that the disk's cost of a fuller folder stays out.
    test::TempFolder downloads("/dev/shm");
    test::AppModelHarness model({.sharingMode = sheet ? "quick" : "askEachTime", .realEngine = true},
                                [&](QSettings& store) {
                                    store.setValue("receiveFromAndroid", !sheet);
                                    store.setValue("downloadFolder", QString::fromStdString(downloads.path().string()));
                                });
    model->start();
    if (sheet) {
        model->startWebReceive();
        test::pumpUntil([&] { return model->webReceive().has_value(); });
    }
    for (int i = 0; i < kept; ++i)
        if (!receive(model, phone)) {
            std::fprintf(stderr, "a receive to fill the list failed\n");
            std::exit(1);
        }
    MainWindow window(*model, nullptr, 1h);
    window.show();
    if (sheet && !test::pumpUntil([&] { return window.content()->webReceiveSheet() != nullptr; })) {
        std::fprintf(stderr, "the web receive sheet did not open\n");
        std::exit(1);
    }
    // The kept rows are built, laid out and drawn before the clock starts: until the window idles.
    for (int settled = 0; settled < 100; ++settled) {
        const double was = threadSeconds();
        test::pumpFor(100ms);
        if (threadSeconds() - was < 0.002) break;
    }
    const double before = bench::cpuSeconds();
    const double guiBefore = threadSeconds();
    for (int i = 0; i < receives; ++i)
        if (!receive(model, phone)) {
            std::fprintf(stderr, "a measured receive failed\n");
            std::exit(1);
        }
    // The last row's redraw comes a moment after its change.
    test::pumpFor(100ms);
    return {bench::cpuSeconds() - before, threadSeconds() - guiBefore};
}

// Prints each row count's cost and the verdict of `compared` rows against none.
void series(bool sheet, std::vector<int> counts, int compared, const test::TempFolder& phone) {
    std::printf("%d receives of a 512 KiB file each, shown in %s; least CPU of %d rounds\n", receives,
                sheet ? "the web receive sheet (quick sharing mode)" : "the main window", rounds);
    Cost none;
    double against = 0;
    for (const int kept : counts) {
        Cost best;
        for (int r = 0; r < rounds; ++r) {
            const Cost cost = round(kept, phone, sheet);
            if (r == 0 || cost.process < best.process) best.process = cost.process;
            if (r == 0 || cost.gui < best.gui) best.gui = cost.gui;
        }
        if (kept == 0) none = best;
        if (kept == compared) against = best.process;
        std::printf("%5d rows kept: %.3f s CPU, %.1f ms per receive (GUI thread %.1f ms), %.2f x the CPU with none"
                    " (GUI thread %.2f x)\n",
                    kept, best.process, best.process * 1000 / receives, best.gui * 1000 / receives,
                    none.process > 0 ? best.process / none.process : 1.0, none.gui > 0 ? best.gui / none.gui : 1.0);
    }
    if (counts.size() < 2) return;
    const double ratio = none.process > 0 ? against / none.process : 0;
    std::printf("%s: %d rows against none: %.2f (goal <= %.1f): %s\n", sheet ? "web receive sheet" : "main window",
                compared, ratio, goal, ratio <= goal ? "met" : "NOT MET");
}

}  // namespace

// `bench_transfer_list [window|sheet] [N [R]]` measures one of the two alone, or N rows kept alone
// (with R receives), for a profiler.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    bench::printCores();
    test::ensureApplication();
    const std::string only = argc > 1 ? argv[1] : "";
    if (only == "window" || only == "sheet") --argc, ++argv;
    // The phone's files, large enough for a few progress updates per receive.
    test::TempFolder phone("/dev/shm");
    std::vector<int> chosen;
    if (argc > 1) chosen = {std::atoi(argv[1])};
    if (argc > 2) receives = std::atoi(argv[2]);
    if (only != "sheet") series(false, chosen.empty() ? std::vector<int>{0, 100, 1000} : chosen, 100, phone);
    if (only != "window") series(true, chosen.empty() ? std::vector<int>{0, 150} : chosen, 150, phone);
    return 0;
}
