#pragma once

#include "velmo/model/SoftwareUpdates.h"

namespace velmo {

// QMessageBox with the text shown as plain text. show() returns at once: the box blocks no
// other window, so an offer that arrives meanwhile can be answered, and it stays above the
// offer's floating panel when it comes while that is up.
class MessageBoxUpdatePresenter : public UpdateAlertPresenter {
public:
    void show(const QString& message, const QString& informative, const std::optional<QString>& firstButton,
              std::function<void(bool)> answered) override;
};

}  // namespace velmo
