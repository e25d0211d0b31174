#include "velmo/AppUpdates.h"

#include "updatecore/UpdateRecovery.h"
#include "velmo/model/AppModel.h"

namespace velmo {

void AppUpdates::serve(AppModelServices& services, const QPointer<SoftwareUpdates>& updates) {
    services.isReplacingApp = [&updates] { return updates && updates->isReplacing(); };
    services.checkForUpdatesIfDue = [&updates] {
        if (updates) updates->checkIfDue();
    };
}

AppUpdates::AppUpdates(AppModel& model, std::shared_ptr<UpdateAlertPresenter> presenter,
                       std::unique_ptr<QSettings> settings)
    : settings_(std::move(settings)) {
    SoftwareUpdates::Dependencies dependencies;
    dependencies.settings = settings_.get();
    if (auto bundle = SoftwareUpdates::runningBundle()) {
        dependencies.bundle = *bundle;
        dependencies.info = SoftwareUpdates::readInfo(*bundle);
    }
    dependencies.isReadyForUpdate = [&model] { return model.isReadyForUpdate(); };
    dependencies.hasSharingMode = [&model] { return model.isSharingAllowed(); };
    dependencies.presenter = std::move(presenter);
    dependencies.updateUndone = UpdateRecovery::takeUndoneUpdate();
    controller_ = std::make_unique<SoftwareUpdates>(std::move(dependencies));
}

}  // namespace velmo
