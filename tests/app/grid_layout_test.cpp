// The grids as they first appear: every title readable in full, the staff list's
// columns wide enough for their data, the family flags centred, and the history
// grid's text column in sight.
#include <QFontMetrics>
#include <QHeaderView>

#include "app/DBGridEx.h"
#include "app/MakatiButton.h"
#include "app/MasterMente.h"
#include "app/SqlWindow.h"
#include "components/KuraTable.h"
#include "platform/gui/DataGrid.h"
#include "tests/app/EditorTestSupport.h"

namespace app::test {
namespace {

class GridLayout : public EditorTest {
protected:
    // Columns whose title does not fit their width, as "title (width < needed)".
    static std::vector<std::string> CutTitles(gui::TDBGrid& grid) {
        std::vector<std::string> cut;
        const QFontMetrics metrics(grid.horizontalHeader()->font());
        for (int c = 0; c < grid.ColumnCount(); ++c) {
            if (!grid.Column(c).Visible) continue;
            const int needed = metrics.horizontalAdvance(grid.ColumnTitle(c)) + 8;
            const int width = grid.horizontalHeader()->sectionSize(c);
            if (width < needed)
                cut.push_back(grid.ColumnTitle(c).toStdString() + " (" + std::to_string(width) + " < " +
                              std::to_string(needed) + ")");
        }
        return cut;
    }
};

TEST_F(GridLayout, TitlesFitTheListFitsItsDataAndFlagsAreCentred) {
    AddStaff(1234567, "長谷川 健太郎");
    Fmain->OpenStaffList();
    TDBGridEx& list = *Fmain->StaffGrid;
    EXPECT_EQ(CutTitles(list), std::vector<std::string>{});
    // The data of the first row fits its column: the name, the code, the dates.
    const QFontMetrics text(list.font());
    for (int c = 0; c < list.ColumnCount(); ++c) {
        const QString shown = list.model()->index(0, c).data().toString();
        EXPECT_GE(list.horizontalHeader()->sectionSize(c), text.horizontalAdvance(shown))
            << list.Column(c).FieldName << ": " << shown.toStdString();
    }
    const QString name = QString::fromUtf8("長谷川 健太郎");
    for (int c = 0; c < list.ColumnCount(); ++c) {
        if (list.Column(c).FieldName != "Simei") continue;
        EXPECT_GE(list.horizontalHeader()->sectionSize(c), text.horizontalAdvance(name + name));
    }

    OnModal("FstaffDaityo", [&](QWidget* w) {
        auto* form = static_cast<TFstaffDaityo*>(w);
        OnModal("Fkazoku", [&](QWidget* d) {
            Type(d, "SeqEDT", "1");
            Type(d, "SimeiEDT", QString::fromUtf8("長谷川 花子"));
            Click(d, "OkBTN");
        });
        Click(w, "KazokuAddBTN");
        form->PageControl1->setCurrentIndex(5);
        QApplication::processEvents();
        EXPECT_EQ(CutTitles(*form->KazokuGrid), std::vector<std::string>{});
        for (int c = 0; c < form->KazokuGrid->ColumnCount(); ++c) {
            const bool flag = form->KazokuGrid->Column(c).FieldName.find("KBN") != std::string::npos;
            const QVariant align = form->KazokuGrid->model()->index(0, c).data(Qt::TextAlignmentRole);
            EXPECT_EQ(flag, align.isValid() && (align.toInt() & Qt::AlignHCenter))
                << form->KazokuGrid->Column(c).FieldName;
        }
        form->PageControl1->setCurrentIndex(2);
        QApplication::processEvents();
        TDBGridEx& history = *form->GakurekiGrid;
        EXPECT_EQ(CutTitles(history), std::vector<std::string>{});
        // The wide text column's title (内　　容) is in sight at its column's left.
        QHeaderView* header = history.horizontalHeader();
        const int last = history.ColumnCount() - 1;
        EXPECT_TRUE(header->defaultAlignment() & Qt::AlignLeft);
        EXPECT_LE(header->sectionViewportPosition(last) +
                      QFontMetrics(header->font()).horizontalAdvance(history.ColumnTitle(last)) + 8,
                  header->viewport()->width());
        Click(w, "CanBTN");
    });
    OpenStaffEditor(1234567);
}

// Table maintenance and the SQL window: the columns the dataset brings fit their data
// (a name, a date), query after query, as the staff list's do.
TEST_F(GridLayout, TableMaintenanceAndSqlGridsFitTheirData) {
    AddStaff(1965, "山田 太郎右衛門");
    kura::TKuraTable& t = *DMdata->Tstaff;
    t.Open();
    t.SetKey();
    t.FieldByName("StaffCD")->SetAsInteger(1965);
    ASSERT_TRUE(t.GotoKey());
    t.Edit();
    t.FieldByName("SeinenYMD")->SetAsString("1965/04/01");
    t.FieldByName("Jyusyo1")->SetAsUtf8("東京都千代田区千代田一丁目");
    t.Post();
    t.Close();
    // Columns whose value of row 0 is wider than the column.
    auto cut = [](gui::TDBGrid& grid) {
        std::vector<std::string> cut;
        const QFontMetrics text(grid.font());
        for (int c = 0; c < grid.ColumnCount(); ++c) {
            const QString shown = grid.model()->index(0, c).data().toString();
            if (grid.horizontalHeader()->sectionSize(c) < text.horizontalAdvance(shown) + 6)
                cut.push_back(grid.Column(c).FieldName + ": " + shown.toStdString());
        }
        return cut;
    };
    {
        TFstaff form;
        form.show();
        QApplication::processEvents();
        auto& grid = *form.findChild<gui::TDBGrid*>("DBGrid1");
        ASSERT_EQ(grid.model()->rowCount(), 1);
        EXPECT_EQ(cut(grid), std::vector<std::string>{});
        EXPECT_EQ(CutTitles(grid), std::vector<std::string>{});
        form.BitBtn1->click();
    }
    TFsql sql;
    sql.show();
    QApplication::processEvents();
    auto& grid = *sql.findChild<TDBGridEx*>("DBGridEx1");
    for (const char* text : {"SELECT Simei, SeinenYMD FROM STAFF", "SELECT * FROM STAFF",
                             "SELECT SeinenYMD, Jyusyo1, StaffCD FROM STAFF"}) {
        sql.Memo1->setPlainText(text);
        sql.CuteButton1->click();
        QApplication::processEvents();
        ASSERT_EQ(grid.model()->rowCount(), 1) << text;
        EXPECT_EQ(cut(grid), std::vector<std::string>{}) << text;
        EXPECT_EQ(CutTitles(grid), std::vector<std::string>{}) << text;
    }
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
}

}  // namespace
}  // namespace app::test
