#pragma once

#include "velmo/model/SoftwareUpdates.h"

namespace velmo {

// QMessageBox with the text shown as plain text.
class MessageBoxUpdatePresenter : public UpdateAlertPresenter {
public:
    bool present(const QString& message, const QString& informative, const std::optional<QString>& firstButton) override;
};

}  // namespace velmo
