// The sheet of an open QR send: the code a phone scans, the steps while nobody has joined,
// the phones that joined with the state of the send to each, and the way to close it.
#pragma once

#include "velmo/model/QRSend.h"

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <chrono>
#include <set>
#include <vector>

class QLabel;
class QVBoxLayout;

namespace velmo {

class AppModel;
class NetworkHint;
class ProgressBar;
class QRCodeView;

// Status line of one recipient, e.g. "Sending · 42%".
QString recipientStatusText(const QRSend::Recipient& recipient);

class QRSendSheet : public QDialog {
    Q_OBJECT
public:
    // Shown window-modal over `parent`; the hint delay is a parameter for tests.
    QRSendSheet(AppModel& model, QWidget* parent = nullptr,
                std::chrono::milliseconds hintDelay = std::chrono::seconds(45));

protected:
    // Escape cancels only while no phone has joined; "Stop" has no key.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void rebuild();
    // After a rebuild: the focus that was on a phone's answer, or a new question.
    void focusAnswer(bool onAnswer, const QString& recipient, const QString& answer);
    // The last part of the column kept whole below the code on a short screen, where the code
    // shrinks: a phone's row, its question first; before any phone, all of it (none).
    QWidget* keptBelowCode() const;
    // What the sheet shows apart from progress: while it stays the same, progress changes the
    // rows in place, so a button under the pointer survives.
    QString layoutKey() const;
    struct RecipientView {
        QPointer<QWidget> row;
        QPointer<QLabel> status;
        QPointer<ProgressBar> bar;
    };
    AppModel& model_;
    QString builtKey_;
    std::vector<RecipientView> recipientViews_;
    QVBoxLayout* column_ = nullptr;
    // The header and the code, above the column.
    QVBoxLayout* top_ = nullptr;
    QPointer<QRCodeView> code_;
    std::chrono::milliseconds hintDelay_;
    NetworkHint* hint_ = nullptr;
    // The phones asked to compare codes in the last build.
    std::set<QString> questions_;
};

}  // namespace velmo
