// The card of files staged for sending: an invitation to drop or choose files while nothing is
// staged, a summary with the first files otherwise. Files dropped on it are staged.
#pragma once

#include "velmo/ui/EasedFlag.h"

#include <QWidget>
#include <cstdint>
#include <filesystem>

class QVBoxLayout;

namespace velmo {

class AppModel;

// The size of a file on disk; 0 when it cannot be read.
std::int64_t fileSizeOrZero(const std::filesystem::path& file);

class DropZone : public QWidget {
    Q_OBJECT
public:
    explicit DropZone(AppModel& model, QWidget* parent = nullptr);
    bool isTargeted() const { return targeted_->isOn(); }
    void setTargeted(bool targeted);

protected:
    void paintEvent(QPaintEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void rebuild();
    AppModel& model_;
    QVBoxLayout* content_;
    EasedFlag* targeted_;
};

}  // namespace velmo
