// The update controller of the running copy, over the model: the model asks it whether an
// update replaces the application and runs its daily check; it asks the model whether the user
// is in the middle of work.
#pragma once
#include <QPointer>
#include <QSettings>
#include <memory>

#include "velmo/model/AppModelServices.h"
#include "velmo/model/SoftwareUpdates.h"

namespace velmo {

class AppModel;

class AppUpdates {
public:
    // Before the model is made: its services reach the controller that `updates` points to,
    // once there is one.
    static void serve(AppModelServices& services, const QPointer<SoftwareUpdates>& updates);

    // The controller of the copy this process runs, its setting in `settings`. An interrupted
    // update undone as this copy started is told once: not again by the copies it starts.
    AppUpdates(AppModel& model, std::shared_ptr<UpdateAlertPresenter> presenter, std::unique_ptr<QSettings> settings);
    SoftwareUpdates& controller() { return *controller_; }

private:
    std::unique_ptr<QSettings> settings_;
    std::unique_ptr<SoftwareUpdates> controller_;
};

}  // namespace velmo
