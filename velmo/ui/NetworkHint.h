// A warning that shows after a while on screen when nothing arrives: the Wi-Fi may keep
// devices from reaching each other. Empty (no height) until then.
#pragma once

#include <QTimer>
#include <QWidget>
#include <chrono>

namespace velmo {

class NetworkHint : public QWidget {
    Q_OBJECT
public:
    explicit NetworkHint(std::chrono::milliseconds delay = std::chrono::seconds(45), QWidget* parent = nullptr);
    bool isShown() const { return shown_; }

    static QString text();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void reveal();
    std::chrono::milliseconds delay_;
    QTimer timer_;
    bool shown_ = false;
};

}  // namespace velmo
