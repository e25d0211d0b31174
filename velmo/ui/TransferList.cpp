#include "velmo/ui/TransferList.h"

#include "velmo/ui/TransferRow.h"
#include "velmo/ui/ViewHelpers.h"

#include <QCoreApplication>
#include <QEvent>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>
#include <map>
#include <optional>
#include <set>

namespace velmo {

namespace {

// The heights a layout gave, by width.
struct GivenHeights {
    std::map<int, int> heights;         // for heightForWidth
    std::map<int, int> minimumHeights;  // for minimumHeightForWidth
};

// A column that remembers its heights for a few widths until something in it changes: the list
// asks every row's height whenever one of them changes, and a row's wrapped status line is
// costly to measure.
class RememberingLayout : public QVBoxLayout {
public:
    explicit RememberingLayout(QWidget* parent) : QVBoxLayout(parent) {
        setContentsMargins(0, 0, 0, 0);
        setSpacing(0);
    }
    int heightForWidth(int width) const override {
        return givenOrMeasured(given_.heights, width, [&] { return QVBoxLayout::heightForWidth(width); });
    }
    int minimumHeightForWidth(int width) const override {
        return givenOrMeasured(given_.minimumHeights, width, [&] {
            // Qt's box layout works out both heights for one width at a time.
            QVBoxLayout::heightForWidth(width);
            return QVBoxLayout::minimumHeightForWidth(width);
        });
    }
    void invalidate() override {
        given_ = {};
        QVBoxLayout::invalidate();
    }

protected:
    const GivenHeights& given() const { return given_; }

private:
    // The height given before for this width, or else the one measured now.
    template <class Measure>
    static int givenOrMeasured(std::map<int, int>& heights, int width, Measure measure) {
        if (const auto found = heights.find(width); found != heights.end()) return found->second;
        if (heights.size() >= 4) heights.clear();
        return heights[width] = measure();
    }
    mutable GivenHeights given_;
};

// One entry: a divider and a row. A change that leaves the entry's height as it was (progress,
// a new status of as many lines) goes no further than the entry, where Qt's own layout would
// lay the list out again each time. Disabled, the layout leaves placing the row to the entry,
// which measures itself after a change and tells the list only when its height changed.
class EntryLayout : public RememberingLayout {
public:
    explicit EntryLayout(QWidget* box) : RememberingLayout(box), box_(box) {
        setEnabled(false);
        box->installEventFilter(this);
    }
    void invalidate() override {
        // What the list was told, to be compared once the entry has settled.
        if (!pending_) told_ = given();
        RememberingLayout::invalidate();
        runOnceLater(box_, pending_, [this] { measure(); });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == box_ && (event->type() == QEvent::Resize || event->type() == QEvent::Show))
            setGeometry(box_->rect());
        return false;
    }

private:
    void measure() {
        bool same = box_->isVisible() && heightForWidth(box_->width()) == box_->height();
        for (const auto& [width, height] : told_.heights) same = same && heightForWidth(width) == height;
        for (const auto& [width, height] : told_.minimumHeights) same = same && minimumHeightForWidth(width) == height;
        if (same) setGeometry(box_->rect());
        else box_->updateGeometry();
    }
    QWidget* box_;
    bool pending_ = false;
    GivenHeights told_;
};

// Rows are held in blocks of this many, newest first: a new row moves the blocks below it, not
// every row, and a changed row lays out its block and the blocks, not the whole list.
constexpr int blockRows = 32;

QVBoxLayout* blockLayout(QWidget* block) { return static_cast<QVBoxLayout*>(block->layout()); }

}  // namespace

TransferList::TransferList(AppModel& model, QWidget* parent) : Card(false, parent), model_(model) {
    list_ = new RememberingLayout(this);
}

void TransferList::fill(Entry& entry, const TransferItem& item) {
    auto* column = static_cast<QVBoxLayout*>(entry.box->layout());
    QWidget* focused = window()->focusWidget();
    if (focused && entry.box->isAncestorOf(focused)) {
        // The focus on a row being replaced goes to the new row's control at the same place.
        clearLayout(column);
    } else {
        // Taken out of the window, a widget would walk the window's whole focus chain.
        while (QLayoutItem* item = column->takeAt(0)) {
            if (QWidget* widget = item->widget()) {
                widget->hide();
                widget->deleteLater();
            }
            delete item;
        }
    }
    entry.divider = makeDivider(entry.box);
    column->addWidget(entry.divider);
    entry.row = new TransferRow(model_, item, entry.box);
    column->addWidget(entry.row);
    showNewChildren(entry.box);
}

TransferList::Entry TransferList::makeEntry(const TransferItem& item, int index) {
    Entry entry;
    // Before the row now at that place, in its block; at either end, in a new block once the
    // block there is full.
    QWidget* before = static_cast<std::size_t>(index) < order_.size() ? entries_.at(order_[index]).box.data() : nullptr;
    QWidget* block = before ? before->parentWidget()
                            : list_->count() > 0 ? list_->itemAt(list_->count() - 1)->widget() : nullptr;
    const bool atTop = before && list_->indexOf(block) == 0 && blockLayout(block)->indexOf(before) == 0;
    if (!block || ((atTop || !before) && blockLayout(block)->count() >= blockRows)) {
        auto* fresh = new QWidget(this);
        new RememberingLayout(fresh);
        list_->insertWidget(atTop ? 0 : list_->count(), fresh);
        // Children in the order shown, as the rows are found and read.
        if (atTop) fresh->stackUnder(block);
        block = fresh;
        before = nullptr;
    }
    entry.box = new QWidget(block);
    new EntryLayout(entry.box);
    fill(entry, item);
    QVBoxLayout* rows = blockLayout(block);
    rows->insertWidget(before ? rows->indexOf(before) : rows->count(), entry.box);
    if (before) entry.box->stackUnder(before);
    showNewChildren(block);
    return entry;
}

void TransferList::remove(const Uuid& id) {
    const auto found = entries_.find(id);
    if (found == entries_.end()) return;
    if (QWidget* box = found->second.box) {
        QWidget* block = box->parentWidget();
        blockLayout(block)->removeWidget(box);
        box->hide();
        // Later, so a button whose click removed the row outlives its handler.
        box->deleteLater();
        if (blockLayout(block)->count() == 0) {
            list_->removeWidget(block);
            block->hide();
            block->deleteLater();
        }
    }
    entries_.erase(found);
}

void TransferList::show(const std::vector<TransferItem>& items) {
    const std::optional<Uuid> wasFirst = order_.empty() ? std::nullopt : std::optional(order_.front());
    std::set<Uuid> asked;
    for (const auto& [id, entry] : entries_)
        if (entry.row && entry.row->question()) asked.insert(id);
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
    for (const TransferItem& item : items)
        if (item.needsPeerCheck && !asked.count(item.id)) return ask(item.id);
}

QWidget* TransferList::firstRow() const { return order_.empty() ? nullptr : entries_.at(order_.front()).box.data(); }

void TransferList::ask(const Uuid& id) {
    QMetaObject::invokeMethod(
        this,
        [this, id] {
            const auto found = entries_.find(id);
            QWidget* question = found != entries_.end() && found->second.row ? found->second.row->question() : nullptr;
            // The user on a control keeps it, and the column stays where they have it: a key
            // meant for that control must never answer a code check they have not looked at.
            if (!question || !isVisible() || focusOnControl(window())) return;
            // The rows measure themselves a round later, and the column then lays itself out.
            for (int round = 0; round < 3; ++round) QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            question->setFocus(Qt::OtherFocusReason);
            for (QWidget* up = parentWidget(); up; up = up->parentWidget())
                if (auto* scroll = qobject_cast<QScrollArea*>(up)) scroll->ensureWidgetVisible(question);
        },
        Qt::QueuedConnection);
}

void TransferList::place(const std::vector<TransferItem>& items) {
    // The usual change: new rows on top of those shown.
    const std::size_t added = items.size() > order_.size() ? items.size() - order_.size() : 0;
    if (added > 0 && std::equal(order_.begin(), order_.end(), items.begin() + static_cast<std::ptrdiff_t>(added),
                                [](const Uuid& id, const TransferItem& item) { return id == item.id; })) {
        for (std::size_t i = added; i-- > 0;) {
            entries_.emplace(items[i].id, makeEntry(items[i], 0));
            order_.insert(order_.begin(), items[i].id);
        }
        return;
    }
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
