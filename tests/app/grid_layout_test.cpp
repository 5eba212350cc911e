// The grids as they first appear: every title readable in full, the staff list's
// columns wide enough for their data, the family flags centred, and the history
// grid's text column in sight.
#include <QFontMetrics>
#include <QHeaderView>

#include "app/DBGridEx.h"
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

}  // namespace
}  // namespace app::test
