#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>


namespace velmo {

// Runs `work` once, shortly after one or more requests: model changes such as progress come
// in bursts, and a list is rebuilt once per burst rather than once per change.
class Throttle : public QObject {
    Q_OBJECT
public:
    Throttle(QObject* parent, std::function<void()> work,
             std::chrono::milliseconds delay = std::chrono::milliseconds(30));
    void request();

private:
    QTimer timer_;
};

}  // namespace velmo
