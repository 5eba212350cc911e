// The data grid over a dataset of plain rows: what it reads of the dataset. A walk
// over the records (a report, an export, a benchmark) reads each record once, not
// the rows in view again at every step; the rows in view stay drawn while a record
// is edited and the dataset cannot move.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QScrollBar>
#include <QTabWidget>
#include <cstring>
#include <string>

#include "platform/dataset/DataSource.h"
#include "platform/gui/Application.h"
#include "platform/gui/DataGrid.h"
#include "tests/platform/dataset/VectorDataSet.h"

namespace gui {
namespace {

TApplication& App() {
    static int argc = 1;
    static char name[] = "data_grid_test";
    static char* argv[] = {name, nullptr};
    static TApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new TApplication(argc, argv);
    }();
    return *app;
}

// Counts the records the dataset reads; rows have record numbers, as the grid's rows.
class TCountingDataSet : public kura::test::TVectorDataSet {
public:
    long Reads = 0;
    kura::TGetResult GetRecord(uint8_t* buffer, kura::TGetMode mode, bool check) override {
        ++Reads;
        return TVectorDataSet::GetRecord(buffer, mode, check);
    }
    int GetRecNo() override {
        if (State() != kura::dsBrowse || IsEmpty()) return -1;
        int32_t row = 0;
        std::memcpy(&row, ActiveBuffer() + InfoOfs(), 4);
        return row + 1;
    }
    void SetRecNoValue(int value) override {
        First();
        MoveBy(value - 1);
    }
};

TEST(DataGrid, AWalkReadsEachRecordOnceAndTheRowsInViewStayThroughAnEdit) {
    App();
    struct Case {
        int rows;
        bool disabled;  // the walk between DisableControls and EnableControls
    };
    // 1,000 rows: more than the grid reads whole before an edit.
    for (const Case c : {Case{1000, false}, Case{1000, true}, Case{40, false}}) {
        SCOPED_TRACE(c.rows);
        TCountingDataSet ds;
        for (int i = 0; i < c.rows; ++i) ds.Rows.push_back({i + 1, "n" + std::to_string(i + 1)});
        kura::TDataSource source;
        source.SetDataSet(&ds);
        TDBGrid grid;
        grid.resize(400, 300);
        grid.SetDataSource(&source);
        grid.show();
        ds.Open();
        ds.Reads = 0;
        if (c.disabled) ds.DisableControls();
        int seen = 0;
        for (ds.First(); !ds.Eof(); ds.Next()) ++seen;
        if (c.disabled) ds.EnableControls();
        EXPECT_EQ(seen, c.rows);
        // The walk's own reads, the dataset's buffers refilled at First, and a block of
        // rows read once for the enabled controls.
        EXPECT_LT(ds.Reads, 2L * c.rows + 400);

        // Editing the first record: the rows in view stay drawn while it is edited.
        ds.First();
        QApplication::processEvents();
        ds.Edit();
        ASSERT_EQ(ds.State(), kura::dsEdit);
        const int shown = std::min(c.rows, 10);
        for (int row = 1; row < shown; ++row)
            EXPECT_EQ(grid.model()->index(row, 1).data(Qt::DisplayRole).toString(),
                      QString("n%1").arg(row + 1));
        ds.Cancel();
    }
}

// The current row is in sight: at once for a grid in sight, when it is shown for a
// grid on a page not shown (it scrolls once then, not at every record of a walk).
TEST(DataGrid, TheCurrentRowIsInSightOnceTheGridIs) {
    App();
    for (const bool onHiddenPage : {false, true}) {
        SCOPED_TRACE(onHiddenPage);
        TCountingDataSet ds;
        for (int i = 0; i < 500; ++i) ds.Rows.push_back({i + 1, "n" + std::to_string(i + 1)});
        kura::TDataSource source;
        source.SetDataSet(&ds);
        QTabWidget pages;
        pages.resize(400, 300);
        auto* first = new QWidget;
        auto* grid = new TDBGrid;
        pages.addTab(first, "a");
        pages.addTab(grid, "b");
        if (!onHiddenPage) pages.setCurrentIndex(1);
        grid->SetDataSource(&source);
        pages.show();
        QApplication::processEvents();
        ds.Open();
        auto inSight = [&](int row) {
            const QRect cell = grid->visualRect(grid->model()->index(row, 0));
            return cell.isValid() && grid->viewport()->rect().intersects(cell);
        };
        for (const int target : {450, 3, 250}) {
            ds.First();
            ds.MoveBy(target);
            EXPECT_EQ(grid->currentIndex().row(), target);
            if (onHiddenPage) {
                pages.setCurrentIndex(1);
                QApplication::processEvents();
            }
            EXPECT_TRUE(inSight(target)) << target;
            if (onHiddenPage) pages.setCurrentIndex(0);
        }
        // Scrolled away from the current row by hand, then the current record ends an
        // edit (the row stays current): the grid brings the row back into sight.
        pages.setCurrentIndex(1);
        QApplication::processEvents();
        grid->verticalScrollBar()->setValue(0);
        ASSERT_FALSE(inSight(250));
        if (onHiddenPage) pages.setCurrentIndex(0);
        ds.Edit();
        ds.Cancel();
        pages.setCurrentIndex(1);
        QApplication::processEvents();
        EXPECT_TRUE(inSight(250));
    }
}

}  // namespace
}  // namespace gui
