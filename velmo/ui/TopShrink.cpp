#include "velmo/ui/TopShrink.h"

#include "velmo/ui/QRCodeView.h"
#include "velmo/ui/WindowFitter.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <utility>

namespace velmo {

namespace {

bool holds(QLayoutItem* item, const QWidget* widget) {
    if (QWidget* shown = item->widget()) return shown == widget || shown->isAncestorOf(widget);
    if (QLayout* inner = item->layout())
        for (int i = 0; i < inner->count(); ++i)
            if (holds(inner->itemAt(i), widget)) return true;
    return false;
}

// The spacings a layout puts between the items it shows, up to the one that holds `upTo`, or
// all of them without it.
int gaps(QLayout* layout, const QWidget* upTo) {
    int shown = 0;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (!item->isEmpty()) ++shown;
        if (upTo && holds(item, upTo)) break;
    }
    return std::max(shown - 1, 0);
}

int vertical(const QMargins& margins) { return margins.top() + margins.bottom(); }

}  // namespace

void TopShrink::installForCode(QWidget* window, const QPointer<QRCodeView>& code, std::function<QWidget*()> keep) {
    new TopShrink(window, code, std::move(keep));
}

TopShrink* TopShrink::of(QWidget* window) {
    return window->findChild<TopShrink*>(QStringLiteral("fittedShrink"), Qt::FindDirectChildrenOnly);
}

TopShrink::TopShrink(QWidget* window, const QPointer<QRCodeView>& code, std::function<QWidget*()> keep)
    : QObject(window), code_(code), keep_(std::move(keep)), top_(fittedTop(window)), column_(fittedColumnLayout(window)),
      footer_(fittedFooter(window)),
      normal_{top_->contentsMargins(), column_->contentsMargins(), footer_ ? footer_->contentsMargins() : QMargins(),
              top_->spacing(), column_->spacing()},
      now_(normal_) {
    setObjectName(QStringLiteral("fittedShrink"));
}

TopShrink::Spacing TopShrink::tightened() const {
    Spacing tight = normal_;
    tight.top.setTop(std::min(normal_.top.top(), 8));
    tight.column.setTop(std::min(normal_.column.top(), 8));
    tight.footer.setTop(std::min(normal_.footer.top(), 8));
    tight.footer.setBottom(std::min(normal_.footer.bottom(), 8));
    tight.topSpacing = std::min(normal_.topSpacing, 8);
    tight.columnSpacing = std::min(normal_.columnSpacing, 12);
    return tight;
}

void TopShrink::apply(const Spacing& spacing) {
    now_ = spacing;
    // Set only when changed: each change asks for a new fit.
    if (top_->contentsMargins() != spacing.top) top_->setContentsMargins(spacing.top);
    if (column_->contentsMargins() != spacing.column) column_->setContentsMargins(spacing.column);
    if (footer_ && footer_->contentsMargins() != spacing.footer) footer_->setContentsMargins(spacing.footer);
    if (top_->spacing() != spacing.topSpacing) top_->setSpacing(spacing.topSpacing);
    if (column_->spacing() != spacing.columnSpacing) column_->setSpacing(spacing.columnSpacing);
}

int TopShrink::measure(int width) {
    int column = contentHeight(column_, width);
    const QWidget* kept = keep_();
    follow(kept);
    if (kept) column = std::min(column, kept->mapTo(column_->parentWidget(), QPoint(0, kept->height())).y());
    return contentHeight(top_, width) + column + (footer_ ? contentHeight(footer_, width) : 0);
}

void TopShrink::follow(const QWidget* kept) {
    QList<QPointer<QWidget>> chain;
    for (auto* up = const_cast<QWidget*>(kept); up && up != column_->parentWidget(); up = up->parentWidget())
        chain.append(up);
    if (chain == followed_) return;
    for (const auto& widget : followed_)
        if (widget) widget->removeEventFilter(this);
    followed_ = chain;
    for (const auto& widget : followed_) widget->installEventFilter(this);
}

bool TopShrink::eventFilter(QObject*, QEvent* event) {
    // A fit follows each layout request of the window's top.
    if (event->type() == QEvent::Move || event->type() == QEvent::Resize)
        QCoreApplication::postEvent(top_->parentWidget(), new QEvent(QEvent::LayoutRequest));
    return false;
}

int TopShrink::change(const Spacing& other) const {
    // Worked out rather than tried: a trial would lay the window out again, and fit it again.
    const QWidget* kept = keep_();
    const int column = kept ? other.column.top() - now_.column.top() : vertical(other.column) - vertical(now_.column);
    return vertical(other.top) - vertical(now_.top) + column + vertical(other.footer) - vertical(now_.footer) +
           (other.topSpacing - now_.topSpacing) * gaps(top_, nullptr) +
           (other.columnSpacing - now_.columnSpacing) * gaps(column_, kept);
}

void TopShrink::fit(int width, int room) {
    // Between rebuilds the window may hold no code: its paddings still follow the room.
    const int side = code_ ? code_->side() : QRCodeView::fullSide;
    const auto setSide = [this](int to) {
        if (code_) code_->setSide(to);
    };
    const int measured = measure(width);
    if (measured + change(normal_) + QRCodeView::fullSide - side <= room) {
        apply(normal_);
        setSide(QRCodeView::fullSide);
        return;
    }
    const Spacing tight = tightened();
    const int needed = measured + change(tight);
    apply(tight);
    // The code's side adds to the top's height one for one: from one measure the side that fits
    // follows, and a code that does not set the top's height alone settles over the next fits.
    setSide(std::clamp(side + room - needed, QRCodeView::leastSide, QRCodeView::fullSide));
}

}  // namespace velmo
