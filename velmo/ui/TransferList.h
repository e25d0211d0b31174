// The transfer list's card: one row per transfer, newest first, a divider between rows. Rows are
// kept by transfer id and updated in place, so a change costs the same however long the list.
#pragma once

#include "velmo/model/TransferItem.h"
#include "velmo/ui/Theme.h"

#include <QPointer>
#include <map>
#include <vector>

class QVBoxLayout;

namespace velmo {

class AppModel;
class TransferRow;

class TransferList : public Card {
    Q_OBJECT
public:
    TransferList(AppModel& model, QWidget* parent = nullptr);
    // Brings the rows up to `items`: rows of transfers gone are removed, new ones inserted at
    // their places, and only rows whose transfer changed are redrawn.
    void show(const std::vector<TransferItem>& items);
    using Card::show;
    // The row shown first (the newest), with its divider; none while the list is empty.
    QWidget* firstRow() const;

private:
    struct Entry {
        QPointer<QWidget> box;
        QPointer<TransferRow> row;
        QPointer<QWidget> divider;
    };
    Entry makeEntry(const TransferItem& item, int index);
    void fill(Entry& entry, const TransferItem& item);
    // Removes the rows of transfers gone and inserts those of new ones.
    void place(const std::vector<TransferItem>& items);
    void remove(const Uuid& id);
    // Brings a new code question into view with the focus, once the list is laid out, when the
    // focus rests on no control.
    void ask(const Uuid& id);
    AppModel& model_;
    QVBoxLayout* list_;
    std::map<Uuid, Entry> entries_;
    // Ids in the order shown.
    std::vector<Uuid> order_;
};

}  // namespace velmo
