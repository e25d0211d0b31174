// One entry of the transfer list: direction, what moves, a status line per state, progress
// while bytes move, and the buttons that fit the state.
#pragma once

#include "velmo/model/TransferItem.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <vector>

namespace velmo {

class AppModel;
class ElidedLabel;
class LineLimitedLabel;
class ProgressBar;

// The row's status line, e.g. "Waiting for Pixel to accept · code 1234".
QString transferStatusText(const TransferItem& item);

class TransferRow : public QWidget {
    Q_OBJECT
public:
    TransferRow(AppModel& model, TransferItem item, QWidget* parent = nullptr);
    const TransferItem& item() const { return item_; }
    // Whether a newer copy of the item needs only new texts and progress: the same transfer
    // with the same state, code check and saved files, so the same badge and buttons.
    bool fits(const TransferItem& item) const;
    // Whether the row shows exactly this copy of its transfer.
    bool shows(const TransferItem& item) const;
    // Shows a newer copy that fits in place, so a button under the pointer survives progress.
    void setItem(TransferItem item);
    // "Codes match" while the row asks to compare the codes, else nothing.
    QWidget* question() const { return question_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The status line, fitted to its width.
    void showStatus();
    void reveal();
    AppModel& model_;
    TransferItem item_;
    ElidedLabel* summary_;
    LineLimitedLabel* status_;
    ProgressBar* bar_ = nullptr;
    QWidget* question_ = nullptr;
};

// Brings each row up to the item at its place when all of them fit; false, changing nothing,
// when rows come or go or one no longer fits, and the host builds its rows anew.
bool updateTransferRows(const QList<QPointer<TransferRow>>& rows, const std::vector<TransferItem>& items);
// A card of one row per item, a divider between rows; `rows` receives the rows in order.
QWidget* makeTransferCard(AppModel& model, const std::vector<TransferItem>& items, const QString& name,
                          QList<QPointer<TransferRow>>& rows, QWidget* parent);

// Shows a file selected in the file manager (FileManager1), or opens its folder.
void revealInFileManager(const std::filesystem::path& file);

}  // namespace velmo
