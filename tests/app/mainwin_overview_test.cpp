// The overview tab with employees in several departments: the grid's rows and the
// pie's slices per department, the total head count, and the count's format.
#include <QChartView>
#include <QHorizontalBarSeries>
#include <QLabel>
#include <QPieSeries>
#include <algorithm>
#include <climits>
#include <functional>
#include <optional>
#include <map>

#include "app/DBGridEx.h"
#include "app/MakatiButton.h"
#include <QRadioButton>
#include "app/ThousandsFormat.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/StaffData.h"

namespace app::test {
namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

class Overview : public AppTest {
protected:
    TFmain& StartWith(const std::vector<Employee>& staff) {
        TFmain& m = StartMain();
        EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
        AddEmployees(staff);
        m.RefreshJyokyo();
        return m;
    }
    static QString Cell(gui::TDBGrid& grid, int row, int column) {
        return grid.model()->index(row, column).data(Qt::DisplayRole).toString();
    }
};

TEST(ThousandsFormat, GroupsDigitsByThreeAndShowsZero) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "0"},         {1, "1"},           {999, "999"},         {1000, "1,000"},
        {1234, "1,234"},  {99999, "99,999"},  {100000, "100,000"},  {1234567, "1,234,567"},
        {-5, "-5"},       {-1234, "-1,234"},  {INT64_MAX, "9,223,372,036,854,775,807"},
        {INT64_MIN, "-9,223,372,036,854,775,808"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(FormatThousands(value), text) << value;
}

TEST_F(Overview, GridAndPieShowTheHeadCountPerDepartmentRetiredStaffIncluded) {
    TFmain& m = StartWith(SampleStaff());
    EXPECT_EQ(m.JyokyoLBL->text(), U("人数：6 人"));

    // The grid: department and count, the largest first.
    gui::TDBGrid& grid = *m.JyokyoGrid;
    ASSERT_EQ(grid.model()->rowCount(), 4);
    ASSERT_EQ(grid.model()->columnCount(), 2);
    EXPECT_EQ(grid.model()->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), U("部"));
    EXPECT_EQ(grid.model()->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), "Kensu");
    EXPECT_EQ(Cell(grid, 0, 0), U("営業部"));
    EXPECT_EQ(Cell(grid, 0, 1), "3");
    std::map<QString, QString> rows;
    for (int r = 0; r < 4; ++r) rows[Cell(grid, r, 0)] = Cell(grid, r, 1);
    EXPECT_EQ(rows, (std::map<QString, QString>{{U("営業部"), "3"}, {U("総務部"), "1"}, {U("製造部"), "1"}, {"", "1"}}));

    // The pie: one slice per row, values ascending; the bar series stays inactive.
    EXPECT_TRUE(m.Series1->isVisible());
    EXPECT_FALSE(m.Series2->isVisible());
    ASSERT_EQ(m.Series1->count(), 4);
    std::map<QString, double> slices;
    double previous = 0;
    for (QPieSlice* s : m.Series1->slices()) {
        EXPECT_GE(s->value(), previous);
        previous = s->value();
        // The employees without a department: a slice without a stray empty label.
        EXPECT_EQ(s->isLabelVisible(), !s->label().isEmpty()) << s->label().toStdString();
        slices[s->label()] = s->value();
    }
    EXPECT_EQ(slices, (std::map<QString, double>{{U("営業部"), 3}, {U("総務部"), 1}, {U("製造部"), 1}, {"", 1}}));
    EXPECT_EQ(m.Series1->slices().back()->label(), U("営業部"));
}

TEST_F(Overview, AnEmptyStaffTableShowsZeroAndNoSlices) {
    TFmain& m = StartWith({});
    EXPECT_EQ(m.JyokyoLBL->text(), U("人数：0 人"));
    EXPECT_EQ(m.Series1->count(), 0);
    EXPECT_EQ(m.JyokyoGrid->model()->rowCount(), 0);
    EXPECT_FALSE(m.STAFFeditBTN->isEnabled());
    EXPECT_FALSE(m.STAFFdelBTN->isEnabled());
}

TEST_F(Overview, RefreshingAgainReplacesTheSlicesAndThousandsAreSeparated) {
    TFmain& m = StartWith(SampleStaff());
    std::vector<Employee> more;
    for (int i = 0; i < 1228; ++i)
        more.push_back({100 + i, "社員", "しゃいん", i % 2 ? "開発部" : "品質部", 1980 + i % 30, std::nullopt, i});
    AddEmployees(more);
    m.BuRB->click();  // the grouping's radio button refreshes
    EXPECT_EQ(m.JyokyoLBL->text(), U("人数：1,234 人"));
    ASSERT_EQ(m.Series1->count(), 6);
    EXPECT_EQ(m.Series1->slices().back()->value(), 614);
    EXPECT_EQ(m.JyokyoGrid->model()->rowCount(), 6);
}

// Refresh after refresh, with the departments' counts, names and number changing, the
// pie shows what a pie built afresh from the grid's rows shows: the rows' values in
// ascending order (rows of equal value in the grid's order), their names, a label
// only where there is a name, the palette's colours in turn.
TEST_F(Overview, EveryRefreshShowsThePieThatTheRowsMake) {
    TFmain& m = StartWith(SampleStaff());
    auto moveTo = [](int code, std::optional<std::string> bu) {
        kura::TKuraTable& t = *DMdata->Tstaff;
        ASSERT_TRUE(t.Locate("StaffCD", kura::TVariant(code), 0));
        t.Edit();
        if (bu) t.FieldByName("Bu")->SetAsUtf8(*bu);
        else t.FieldByName("Bu")->Clear();
        t.Post();
    };
    const std::vector<std::function<void()>> changes = {
        [] { AddEmployees({{20, "a", "a", "総務部", 1980, {}, {}}, {21, "b", "b", "総務部", 1981, {}, {}},
                           {22, "c", "c", "総務部", 1982, {}, {}}}); },  // same departments, new order
        [&] { moveTo(4, "製造部"); },                                    // the unnamed group goes: 3 slices
        [&] { moveTo(2, std::nullopt); },                                // and comes back: 4
        [] {},                                                           // nothing changed
        [] { AddEmployees({{30, "d", "d", "品質部", 1990, {}, {}}}); },  // a fifth
    };
    const QColor palette[] = {QColor(255, 0, 0), QColor(0, 128, 0), QColor(255, 255, 0), QColor(0, 0, 255),
                              QColor(128, 128, 128)};
    for (std::size_t step = 0; step < changes.size(); ++step) {
        SCOPED_TRACE(step);
        changes[step]();
        m.RefreshJyokyo();
        gui::TDBGrid& grid = *m.JyokyoGrid;
        std::vector<std::pair<double, QString>> expected;
        for (int r = 0; r < grid.model()->rowCount(); ++r)
            expected.push_back({Cell(grid, r, 1).toDouble(), Cell(grid, r, 0)});
        std::stable_sort(expected.begin(), expected.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        const QList<QPieSlice*> shown = m.Series1->slices();
        ASSERT_EQ(shown.size(), static_cast<qsizetype>(expected.size()));
        for (std::size_t i = 0; i < expected.size(); ++i) {
            QPieSlice& s = *shown[static_cast<qsizetype>(i)];
            EXPECT_EQ(s.value(), expected[i].first) << i;
            EXPECT_EQ(s.label(), expected[i].second) << i;
            EXPECT_EQ(s.isLabelVisible(), !expected[i].second.isEmpty()) << i;
            EXPECT_EQ(s.color(), palette[i]) << i;
        }
    }
}

}  // namespace
}  // namespace app::test
