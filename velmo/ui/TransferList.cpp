#include "velmo/ui/TransferList.h"

#include "velmo/ui/TransferRow.h"
#include "velmo/ui/ViewHelpers.h"

#include <QVBoxLayout>
#include <algorithm>
#include <optional>
#include <set>

namespace velmo {

TransferList::TransferList(AppModel& model, QWidget* parent) : Card(false, parent), model_(model) {
    list_ = new QVBoxLayout(this);
    list_->setContentsMargins(0, 0, 0, 0);
    list_->setSpacing(0);
}

void TransferList::fill(Entry& entry, const TransferItem& item) {
    auto* column = static_cast<QVBoxLayout*>(entry.box->layout());
    // The focus on a row being replaced goes to the new row's control at the same place.
    clearLayout(column);
    entry.divider = makeDivider(entry.box);
    column->addWidget(entry.divider);
    entry.row = new TransferRow(model_, item, entry.box);
    column->addWidget(entry.row);
    showNewChildren(entry.box);
}

TransferList::Entry TransferList::makeEntry(const TransferItem& item, int index) {
    Entry entry;
    entry.box = new QWidget(this);
    auto* column = new QVBoxLayout(entry.box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    fill(entry, item);
    list_->insertWidget(index, entry.box);
    // Children in the order shown, as the rows are found and read.
    if (static_cast<std::size_t>(index) < order_.size()) entry.box->stackUnder(entries_.at(order_[index]).box);
    return entry;
}

void TransferList::remove(const Uuid& id) {
    const auto found = entries_.find(id);
    if (found == entries_.end()) return;
    if (QWidget* box = found->second.box) {
        list_->removeWidget(box);
        box->hide();
        // Later, so a button whose click removed the row outlives its handler.
        box->deleteLater();
    }
    entries_.erase(found);
}

void TransferList::show(const std::vector<TransferItem>& items) {
    const std::optional<Uuid> wasFirst = order_.empty() ? std::nullopt : std::optional(order_.front());
    if (items.size() != order_.size() ||
        !std::equal(items.begin(), items.end(), order_.begin(),
                    [](const TransferItem& item, const Uuid& id) { return item.id == id; }))
        place(items);
    for (const TransferItem& item : items) {
        Entry& entry = entries_.at(item.id);
        if (!entry.row || !entry.row->fits(item)) fill(entry, item);
        else if (!entry.row->shows(item)) entry.row->setItem(item);
    }
    // Only the first row goes without a divider above it; rows made anew come with one.
    if (order_.empty()) return;
    if (wasFirst && *wasFirst != order_.front() && entries_.count(*wasFirst))
        if (QWidget* divider = entries_.at(*wasFirst).divider) divider->setVisible(true);
    if (QWidget* divider = entries_.at(order_.front()).divider) divider->setVisible(false);
    showNewChildren(this);
}

void TransferList::place(const std::vector<TransferItem>& items) {
    std::set<Uuid> ids;
    for (const TransferItem& item : items) ids.insert(item.id);
    std::vector<Uuid> kept;
    for (const Uuid& id : order_) {
        if (ids.count(id)) kept.push_back(id);
        else remove(id);
    }
    order_ = std::move(kept);
    // Rows never change places; should they, the list is built anew in the new order.
    std::size_t next = 0;
    for (const TransferItem& item : items) {
        if (!entries_.count(item.id)) continue;
        if (order_[next] != item.id) {
            for (const Uuid& id : order_) remove(id);
            order_.clear();
            break;
        }
        ++next;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Uuid& id = items[i].id;
        if (i < order_.size() && order_[i] == id) continue;
        entries_.emplace(id, makeEntry(items[i], static_cast<int>(i)));
        order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(i), id);
    }
}

}  // namespace velmo
