// The sheet of an open web receive session: the upload link as a QR code, three steps, the
// files received in this session as they arrive, and the way to close it.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <chrono>

class QVBoxLayout;

namespace velmo {

class AppModel;
class NetworkHint;
class QRCodeView;
class TransferList;

class WebReceiveSheet : public QDialog {
    Q_OBJECT
public:
    WebReceiveSheet(AppModel& model, QWidget* parent = nullptr,
                    std::chrono::milliseconds hintDelay = std::chrono::seconds(45));

protected:
    // Escape closes the session only while no upload runs: it would cancel a running one.
    void keyPressEvent(QKeyEvent* event) override;
    // Rows come on top of the list: Tab follows them as shown.
    bool focusNextPrevChild(bool next) override;

private:
    // Brings the received rows up to the model, each row kept and changed in place.
    void refresh();
    void rebuild();
    void showFooter(bool received);
    AppModel& model_;
    // What the sheet shows apart from the rows: the session and the texts.
    QString layoutKey() const;
    QString builtKey_;
    // The code and the steps above the column, which the code shrinks for on a short screen.
    QVBoxLayout* top_;
    QVBoxLayout* column_;
    QPointer<QRCodeView> code_;
    QPointer<TransferList> list_;
    // Whether the footer offers "Done": something was received.
    bool done_ = false;
    std::chrono::milliseconds hintDelay_;
    NetworkHint* hint_ = nullptr;
};

}  // namespace velmo
