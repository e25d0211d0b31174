// The settings popover: sharing mode, the name phones see, receiving from Android phones and
// the folder that receives files. Every control reads and writes the model.
#pragma once

#include <QWidget>
#include <filesystem>

class QComboBox;
class QLabel;
class QLineEdit;
class QCheckBox;
class QPushButton;

namespace velmo {

class AppModel;
class ElidedLabel;
class SoftwareUpdates;

// The folder with the home folder written as "~".
QString displayPath(const std::filesystem::path& folder);

class SettingsView : public QWidget {
    Q_OBJECT
public:
    // The update controls appear only with an update controller that has a feed.
    explicit SettingsView(AppModel& model, QWidget* parent = nullptr, SoftwareUpdates* updates = nullptr);

private:
    void refresh();
    AppModel& model_;
    QComboBox* mode_;
    QLabel* modeCaption_;
    QLineEdit* name_;
    QCheckBox* receive_;
    QLabel* receiveCaption_;
    ElidedLabel* folder_;
    SoftwareUpdates* updates_;
    QPushButton* check_ = nullptr;
    QCheckBox* automatic_ = nullptr;
};

// Opens the settings as a popup under `anchor` and returns it; it deletes itself when closed.
QWidget* showSettingsPopover(AppModel& model, QWidget* anchor, SoftwareUpdates* updates = nullptr);

}  // namespace velmo
