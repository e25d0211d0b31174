// The first-run choice of how this computer shares files.
#pragma once

#include <QWidget>

namespace velmo {

class AppModel;

class SharingConsentView : public QWidget {
    Q_OBJECT
public:
    explicit SharingConsentView(AppModel& model, QWidget* parent = nullptr);
};

}  // namespace velmo
