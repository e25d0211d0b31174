#include "velmo/QuitSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace velmo {

namespace {

int quitSignalPipe[2] = {-1, -1};

void onQuitSignal(int number) {
    const int saved = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const auto written = ::write(quitSignalPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

void QuitSignals::catchSignals() {
    if (::pipe2(quitSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction before {};
        if (::sigaction(number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        ::sigaction(number, &action, nullptr);
    }
}

QuitSignals::QuitSignals(std::function<void()> quit) {
    if (quitSignalPipe[0] < 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(quitSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [quit = std::move(quit)] {
        char numbers[16];
        while (::read(quitSignalPipe[0], numbers, sizeof numbers) > 0) {
        }
        quit();
    });
}

}  // namespace velmo
