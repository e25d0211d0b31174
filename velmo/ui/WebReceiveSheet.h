// The sheet of an open web receive session: the upload link as a QR code, three steps, the
// files received in this session as they arrive, and the way to close it.
#pragma once

#include <QDialog>
#include <QList>
#include <QPointer>
#include <chrono>

class QVBoxLayout;

namespace velmo {

class AppModel;
class NetworkHint;
class TransferRow;

class WebReceiveSheet : public QDialog {
    Q_OBJECT
public:
    WebReceiveSheet(AppModel& model, QWidget* parent = nullptr,
                    std::chrono::milliseconds hintDelay = std::chrono::seconds(45));

private:
    void refresh();
    void rebuild();
    AppModel& model_;
    // Set by changes other than the rows' own (the session, the texts): the sheet is built anew.
    bool stale_ = false;
    QList<QPointer<TransferRow>> rows_;
    QVBoxLayout* column_;
    std::chrono::milliseconds hintDelay_;
    NetworkHint* hint_ = nullptr;
};

}  // namespace velmo
