// The phones discovery sees, one row each with a send button that also takes dropped files.
#pragma once

#include "quickshare/QuickSharePhone.h"
#include "velmo/ui/EasedFlag.h"

#include <QWidget>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

class QMimeData;
class QVBoxLayout;

namespace velmo {

class AppModel;

// The local files of a drag, in order; other URLs are left out.
std::vector<std::filesystem::path> droppedFiles(const QMimeData* data);

// A send target: badge, name, subtitle, one button, and optionally a drop target for files.
class TargetRow : public QWidget {
    Q_OBJECT
public:
    using OnDrop = std::function<void(const std::vector<std::filesystem::path>&)>;
    TargetRow(const QString& icon, const QString& name, const QString& subtitle, const QString& buttonTitle,
              std::function<void()> action, OnDrop onDrop, QWidget* parent = nullptr);
    bool isTargeted() const { return targeted_->isOn(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    OnDrop onDrop_;
    // The drop tint fades in and out.
    EasedFlag* targeted_;
};

// The row of one discovered phone.
TargetRow* makeQuickSharePhoneRow(AppModel& model, const QuickSharePhone& phone, QWidget* parent);

// One row per phone, a divider between rows; follows the model's phones and staged files.
class DeviceList : public QWidget {
    Q_OBJECT
public:
    explicit DeviceList(AppModel& model, QWidget* parent = nullptr);

private:
    void rebuild();
    AppModel& model_;
    QVBoxLayout* rows_;
};

// The card of nearby phones: the device list and, for two or more, a "Send to all" button.
// The object names let each window's tests find its own card and button.
QWidget* makePhonesCard(AppModel& model, const QString& cardName, const QString& sendToAllName, QWidget* parent);

}  // namespace velmo
