// The application's start-up events reach the model from the event loop, in arrival order:
// launch finished, the files given on the command line, files from later launches, and each
// time the application becomes active.
#pragma once
#include <QByteArray>
#include <QGuiApplication>
#include <functional>
#include <string>
#include <vector>

#include "velmo/model/AppModel.h"

namespace velmo {

class AppDelegate {
public:
    // `bringForward` shows the main window to a later launch.
    AppDelegate(AppModel& model, std::function<void()> bringForward);

    // Launch finished: start, then `started` (a copy started by the updater says it is up);
    // then the command line's files: staged, and those that name nothing (`missing`) said.
    void finishLaunching(const AppModel::Files& opened, const std::vector<std::string>& missing,
                         std::function<void()> started);
    // Files from a later launch, with its activation token: start, then staging. Answers how
    // many files are staged.
    std::size_t openFiles(const AppModel::Files& files, const QByteArray& activationToken);
    // Each activation of `application`.
    void followActivation(QGuiApplication& application);

private:
    AppModel& model_;
    std::function<void()> bringForward_;
};

}  // namespace velmo
