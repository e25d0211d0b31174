// Runs an action when one window is about to close (and only that window).
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>

namespace velmo {

class SharingWindowObserver : public QObject {
    Q_OBJECT
public:
    SharingWindowObserver(QWidget* window, std::function<void()> onClose);
    void setOnClose(std::function<void()> onClose) { onClose_ = std::move(onClose); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> window_;
    std::function<void()> onClose_;
};

}  // namespace velmo
