// A warning that shows after a while on screen when nothing arrives: the Wi-Fi may keep
// devices from reaching each other. Until then it stays hidden, so it takes no space and no
// spacing in its host's layout. When it shows below the fold of a column that scrolls, the
// column scrolls to it.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <chrono>

class QScrollArea;
class QVBoxLayout;

namespace velmo {

class NetworkHint : public QWidget {
    Q_OBJECT
public:
    explicit NetworkHint(std::chrono::milliseconds delay = std::chrono::seconds(45), QWidget* parent = nullptr);
    bool isShown() const { return shown_; }
    // The host places or removes the hint; while waiting it stays hidden all the same.
    void setVisible(bool visible) override;

    static QString text();

    // For a host that rebuilds its column: adds `hint` at the column's end, made on first use
    // and otherwise taken over from the last build, so its clock keeps running.
    static void place(NetworkHint*& hint, QVBoxLayout* column, QWidget* host, std::chrono::milliseconds delay);
    // Removes the hint for good; one placed later starts a new clock.
    static void drop(NetworkHint*& hint);

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void watchHost();
    // The clock runs from the moment the hint is placed in a host that is on screen.
    void startIfOnScreen();
    void reveal();
    // Scrolls the column the hint lies in to show it, until the user scrolls or moves the focus.
    void bringIntoView();
    void followInto(QScrollArea* scroll);
    QScrollArea* enclosingScroll() const;
    std::chrono::milliseconds delay_;
    QTimer timer_;
    QPointer<QWidget> host_;
    bool placed_ = true;
    bool shown_ = false;
    QPointer<QScrollArea> following_;
    bool bringing_ = false;
};

}  // namespace velmo
