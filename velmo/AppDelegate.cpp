#include "velmo/AppDelegate.h"

#include <QTimer>

namespace velmo {

AppDelegate::AppDelegate(AppModel& model, std::function<void()> bringForward)
    : model_(model), bringForward_(std::move(bringForward)) {}

void AppDelegate::finishLaunching(const AppModel::Files& opened, const std::vector<std::string>& missing,
                                  std::function<void()> started) {
    QTimer::singleShot(0, &model_, [this, started = std::move(started)] {
        model_.start();
        if (started) started();
    });
    if (opened.empty() && missing.empty()) return;
    QTimer::singleShot(0, &model_, [this, opened, missing] {
        model_.start();
        if (!opened.empty()) model_.stageFiles(opened);
        model_.reportMissingFiles(missing);
    });
}

std::size_t AppDelegate::openFiles(const AppModel::Files& files, const QByteArray& activationToken) {
    if (!activationToken.isEmpty()) qputenv("XDG_ACTIVATION_TOKEN", activationToken);
    if (bringForward_) bringForward_();
    model_.start();
    if (!files.empty()) model_.stageFiles(files);
    return model_.staged().size();
}

void AppDelegate::followActivation(QGuiApplication& application) {
    QObject::connect(&application, &QGuiApplication::applicationStateChanged, &model_,
                     [this](Qt::ApplicationState state) {
                         if (state == Qt::ApplicationActive)
                             QTimer::singleShot(0, &model_, [this] { model_.didBecomeActive(); });
                     });
}

}  // namespace velmo
