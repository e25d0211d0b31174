// One entry of the transfer list: direction, what moves, a status line per state, progress
// while bytes move, and the buttons that fit the state.
#pragma once

#include "velmo/model/TransferItem.h"

#include <QString>
#include <QWidget>

namespace velmo {

class AppModel;

// The row's status line, e.g. "Waiting for Pixel to accept · code 1234".
QString transferStatusText(const TransferItem& item);

class TransferRow : public QWidget {
    Q_OBJECT
public:
    TransferRow(AppModel& model, TransferItem item, QWidget* parent = nullptr);
    const TransferItem& item() const { return item_; }

private:
    void reveal();
    AppModel& model_;
    TransferItem item_;
};

// Shows a file selected in the file manager (FileManager1), or opens its folder.
void revealInFileManager(const std::filesystem::path& file);

}  // namespace velmo
