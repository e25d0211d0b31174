// SIGTERM, SIGINT and SIGHUP (a logout, kill, a service manager, Ctrl+C) quit as Quit does.
#pragma once
#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace velmo {

class QuitSignals {
public:
    // Before the application starts: the handler only writes the signal's number to a pipe that
    // the event loop reads. A signal ignored by whoever started Velmo (nohup, a background job)
    // stays ignored.
    static void catchSignals();
    // Once the application exists: `quit` runs from the event loop for the signals that came.
    explicit QuitSignals(std::function<void()> quit);

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace velmo
