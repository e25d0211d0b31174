// The main window's transfer list: rows kept by transfer as others come and go, and rows with
// long names that keep their sizes in view.
#include "velmo/AppModelHarness.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/LineLimitedLabel.h"
#include "velmo/ui/MainWindow.h"
#include "velmo/ui/TransferList.h"
#include "velmo/ui/ProgressBar.h"
#include "velmo/ui/TransferRow.h"

#include <QDialog>
#include <QPointer>
#include <QPushButton>
#include <gtest/gtest.h>

namespace velmo::test {
namespace {

using namespace std::chrono_literals;

struct TransferListView : ::testing::Test {
    TransferListView() : model({.sharingMode = "askEachTime"}) {
        ensureApplication();
        model->start();
    }
    AppModelHarness model;
};

// The transfer list changes row by row: a row stays the same widget while others come and go,
// the rows follow the model's order, and only the first has no divider above it.
TEST_F(TransferListView, TransferRowsStayAsOtherRowsComeAndGo) {
    MainWindow window(*model, nullptr, 1h);
    window.show();
    const auto receive = [&](bool accept) {
        model.advertiser->connect();
        ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
        model->answerIncoming(accept);
        ASSERT_TRUE(pumpUntil([&] { return !model.row().state.isActive(); }));
    };
    const auto rows = [&] {
        QList<TransferRow*> shown;
        for (auto* row : window.findChildren<TransferRow*>())
            if (row->isVisible()) shown.append(row);
        return shown;
    };
    // The rows in the model's order, each with a divider above it but the first.
    const auto inOrder = [&] {
        const auto shown = rows();
        if (static_cast<std::size_t>(shown.size()) != model->transfers().size()) return false;
        for (qsizetype i = 0; i < shown.size(); ++i) {
            if (!shown[i]->shows(model->transfers()[static_cast<std::size_t>(i)])) return false;
            if (i > 0 && shown[i]->mapTo(&window, QPoint()).y() <= shown[i - 1]->mapTo(&window, QPoint()).y()) return false;
            int dividers = 0;
            for (auto* child : shown[i]->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                dividers += child != shown[i] && child->isVisible() && child->height() == 1;
            if (dividers != (i == 0 ? 0 : 1)) return false;
        }
        return true;
    };
    receive(true);
    ASSERT_TRUE(pumpUntil(inOrder));
    QPointer<TransferRow> first = rows().front();
    receive(false);
    receive(true);
    EXPECT_TRUE(pumpUntil(inOrder));
    EXPECT_EQ(rows().back(), first.data());
    // An active row among finished ones: clearing keeps it alone, without a divider.
    model.receive->holdBeforeOffer = true;
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->transfers().size() == 4; }));
    EXPECT_TRUE(pumpUntil(inOrder));
    EXPECT_EQ(rows().back(), first.data());
    window.findChild<QPushButton*>(QStringLiteral("clearFinished"))->click();
    EXPECT_TRUE(pumpUntil(inOrder));
    EXPECT_EQ(rows().size(), 1);
    model->cancelTransfer(model.row().id);
    EXPECT_TRUE(pumpUntil([&] { return model->incomingCount() == 0; }));
}

// A row with a long file name and a long phone name keeps its size in view: the file name gives
// way in its middle, the phone's name in the status line too.
TEST_F(TransferListView, TransferRowWithLongNamesKeepsItsSize) {
    model.receive->offer = {std::string(200, 'p'), "1234", {{std::string(200, 'a') + ".jpg", 1'200'000}}};
    MainWindow window(*model, nullptr, 1h);
    window.show();
    model.advertiser->connect();
    ASSERT_TRUE(pumpUntil([&] { return model->incoming().has_value(); }));
    model->answerIncoming(true);
    ASSERT_TRUE(pumpUntil([&] { return model.row().state == TransferItem::State::done(); }));
    TransferRow* row = nullptr;
    ASSERT_TRUE(pumpUntil([&] {
        row = window.findChild<TransferRow*>();
        return row && row->item().state == TransferItem::State::done();
    }));
    auto* status = row->findChild<LineLimitedLabel*>(QStringLiteral("status"));
    ASSERT_NE(status, nullptr);
    EXPECT_TRUE(pumpUntil([&] { return status->shownLines().join(QString()).endsWith(QStringLiteral(" · 1.2 MB")); }))
        << status->shownLines().join(QStringLiteral("|")).toStdString();
    auto* summary = row->findChild<ElidedLabel*>(QStringLiteral("summary"));
    EXPECT_TRUE(summary->text().endsWith(QStringLiteral(".jpg")));
    EXPECT_LE(row->mapTo(&window, QPoint(row->width(), 0)).x(), window.width());
    // The whole sentence stays at hand.
    EXPECT_EQ(status->accessibleName(), transferStatusText(model.row()));
}

// Progress changes the row in place: the same row shows the new bytes and bar.
TEST_F(TransferListView, ProgressReachesTheRowInPlace) {
    TransferItem item;
    item.id = Uuid::random();
    item.peer = "Pixel";
    item.state = TransferItem::State::transferring();
    item.done = 5'000'000;
    item.total = 10'000'000;
    TransferList list(*model);
    list.show({item});
    QPointer<TransferRow> row = list.findChild<TransferRow*>();
    ASSERT_NE(row, nullptr);
    item.done = 6'000'000;
    list.show({item});
    const auto status = [&] { return row->findChild<LineLimitedLabel*>(QStringLiteral("status"))->text().toStdString(); };
    EXPECT_TRUE(pumpUntil([&] { return row && status() == "6 MB of 10 MB from \u2068Pixel\u2069"; })) << (row ? status() : "gone");
    ASSERT_EQ(list.findChildren<TransferRow*>(), QList<TransferRow*>{row.data()});
    EXPECT_DOUBLE_EQ(row->findChild<ProgressBar*>()->value(), 0.6);
}

}  // namespace
}  // namespace velmo::test
