// The staff list: its query text from the sort keys, the rows and their order for
// every sort key and direction against a model, retired rows hidden and greyed,
// sorting by a title, and the refresh that keeps the current employee.
#include <QCheckBox>
#include <QImage>
#include <algorithm>
#include <random>

#include "app/DBGridEx.h"
#include "app/MakatiButton.h"
#include "app/Schema.h"
#include "components/KuraQuery.h"
#include "platform/gui/Text.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/StaffData.h"

namespace app::test {
namespace {

const std::string None = "（なし）";
const std::string Asc = "昇順";
const std::string Desc = "降順";

const std::vector<std::string> SelectLines = {
    "SELECT StaffCD, Simei, Furigana, Kyusei, Seibetu,",
    "       SeinenYMD, KetuekiGata, Yubin, Jyusyo1, Jyusyo2, Tel,",
    "       Fax, Keitai, Mail, KeitaiMail, Honseki1, Honseki2, ",
    "       SaisyuGakureki, SotugyoYMD, SyokuinKBN, KeiyakuYMDfrom, KeiyakuYMDto, BumonCD, Bu, ",
    "       Ka, Kakari, Yakusyoku, Furikomi_KinyuKikan, Furikomi_Tenpo,",
    "       Furikomi_Syumoku, Furikomi_Koza, Fututyo_KinyuKikan,",
    "       Fututyo_tenpo, Fututyo_Syumoku, Fututyo_Koza, KariSaiyoYMD,",
    "       HonsaiyoYMD, TaisyokuYMD, TaisyokuRiyu, JyutakuKBN, Yatin, JyutakuTeate,",
    "       MotiieSikyuS, MotiieSikyuE, ",
    "       Furikomi_KozaMeigi, Fututyo_KozaMeigi, KisoNenkin, KenkoHoken, Hosyonin1Simei, Hosyonin2Simei",
    "       FROM STAFF "};

std::vector<std::string> With(std::vector<std::string> lines, const std::vector<std::string>& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

class StaffList : public AppTest {
protected:
    TFmain& StartWith(const std::vector<Employee>& staff) {
        TFmain& m = StartMain();
        EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
        AddEmployees(staff);
        m.OpenStaffList();
        return m;
    }
    void SetKeys(TFmain& m, std::vector<std::pair<std::string, std::string>> keys) {
        keys.resize(3, {None, Asc});
        for (int k = 0; k < 3; ++k) {
            m.Settings.Komoku[k] = keys[static_cast<std::size_t>(k)].first;
            m.Settings.Jyun[k] = keys[static_cast<std::size_t>(k)].second;
        }
    }
    // StaffCD of every row, in list order.
    static std::vector<int> Codes(TFmain& m) {
        std::vector<int> codes;
        kura::TDataSet& q = *m.Qstaff;
        for (q.First(); !q.Eof(); q.Next()) codes.push_back(q.FieldByName("StaffCD")->AsInteger());
        return codes;
    }
};

TEST_F(StaffList, QueryTextFollowsTheSortKeysAndRepairsUnknownOnes) {
    TFmain& m = StartWith({});
    struct Case {
        std::vector<std::pair<std::string, std::string>> keys;
        bool hide;
        std::vector<std::string> tail;
        std::vector<std::string> repairedKomoku, repairedJyun;
    };
    const Case cases[] = {
        {{}, false, {}, {None, None, None}, {Asc, Asc, Asc}},
        {{}, true, {"WHERE TaisyokuYMD is null"}, {None, None, None}, {Asc, Asc, Asc}},
        {{{"氏名", Desc}}, false, {"ORDER BY ", "Simei DESC"}, {"氏名", None, None}, {Desc, Asc, Asc}},
        // A direction that is neither becomes ascending on a used key and stays on an unused one.
        {{{"コード", "x"}, {"nothing", "y"}, {"Fax", Desc}},
         true,
         {"WHERE TaisyokuYMD is null", "ORDER BY ", "StaffCD ASC", ", ", "Fax DESC"},
         {"コード", None, "Fax"},
         {Asc, "y", Desc}},
        // The same column twice gives two terms on the same field.
        {{{"部", Asc}, {"部", Desc}, {"生年月日", Asc}},
         false,
         {"ORDER BY ", "Bu ASC", ", ", "Bu DESC", ", ", "SeinenYMD ASC"},
         {"部", "部", "生年月日"},
         {Asc, Desc, Asc}},
        // Labels compare exactly: the field name of a labelled field is no label.
        {{{"Simei", Asc}, {"", Asc}, {"（なし）", Desc}}, false, {}, {None, None, None}, {Asc, Asc, Desc}},
    };
    for (const Case& c : cases) {
        SetKeys(m, c.keys);
        m.Settings.HiHyoji = c.hide;
        EXPECT_EQ(m.StaffListLines(), With(SelectLines, c.tail));
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(m.Settings.Komoku[k], c.repairedKomoku[static_cast<std::size_t>(k)]);
            EXPECT_EQ(m.Settings.Jyun[k], c.repairedJyun[static_cast<std::size_t>(k)]);
        }
    }
}

TEST_F(StaffList, FieldsCarryTheirLabelsInFieldOrderAndTheGridItsDesignedColumns) {
    TFmain& m = StartWith(SampleStaff());
    ASSERT_EQ(m.Qstaff->FieldCount(), 50);  // the grid shows TaisyokuYMD twice
    EXPECT_EQ(m.Qstaff->Fields(0)->FieldName, "StaffCD");
    EXPECT_EQ(gui::QStr(m.Qstaff->Fields(0)->DisplayName()), QString::fromUtf8("コード"));
    EXPECT_EQ(m.Qstaff->Fields(11)->DisplayName(), "Fax");
    EXPECT_EQ(m.Qstaff->Fields(49)->FieldName, "Hosyonin2Simei");
    ASSERT_EQ(m.StaffGrid->ColumnCount(), 51);
    EXPECT_EQ(m.StaffGrid->Column(31).FieldName, "TaisyokuYMD");
    EXPECT_EQ(m.StaffGrid->Column(39).FieldName, "TaisyokuYMD");
    EXPECT_EQ(m.StaffGrid->ColumnTitle(7), QString::fromUtf8("〒"));
    EXPECT_EQ(m.StaffGrid->model()->rowCount(), 6);
    EXPECT_TRUE(m.STAFFeditBTN->isEnabled());
    EXPECT_TRUE(m.STAFFdelBTN->isEnabled());
}

TEST_F(StaffList, HidingRetiredStaffListsOnlyThoseWithoutARetirementDate) {
    TFmain& m = StartWith(SampleStaff());
    SetKeys(m, {{"コード", Asc}});
    m.OpenStaffList();
    EXPECT_EQ(Codes(m), (std::vector<int>{1, 2, 3, 4, 5, 7}));
    m.Settings.HiHyoji = true;
    m.OpenStaffList();
    EXPECT_EQ(Codes(m), (std::vector<int>{3, 4, 5, 7}));
    m.RefreshJyokyo();
    EXPECT_EQ(m.JyokyoLBL->text(), QString::fromUtf8("人数：6 人"));  // the overview counts everyone
}

TEST_F(StaffList, ClickingTitlesSortsByThatColumnAndTogglesTheFirstKey) {
    TFmain& m = StartWith(SampleStaff());
    const int furigana = 2, birth = 5;
    m.StaffGridTitleClick(furigana);
    EXPECT_EQ(m.Settings.Komoku[0], "ふりがな");
    EXPECT_EQ(m.Settings.Jyun[0], Asc);
    // い, さ, す, た(か), た(な), や
    EXPECT_EQ(Codes(m), (std::vector<int>{4, 1, 7, 2, 5, 3}));
    m.StaffGridTitleClick(furigana);
    EXPECT_EQ(m.Settings.Jyun[0], Desc);
    EXPECT_EQ(Codes(m), (std::vector<int>{3, 5, 2, 7, 1, 4}));
    m.StaffGridTitleClick(furigana);
    EXPECT_EQ(m.Settings.Jyun[0], Asc);
    m.StaffGridTitleClick(furigana);
    // Another column becomes key 1 with the current direction; keys 2 and 3 stay.
    m.Settings.Komoku[1] = "コード";
    m.StaffGridTitleClick(birth);
    EXPECT_EQ(m.Settings.Komoku[0], "生年月日");
    EXPECT_EQ(m.Settings.Jyun[0], Desc);
    EXPECT_EQ(m.Settings.Komoku[1], "コード");
    EXPECT_EQ(Codes(m), (std::vector<int>{5, 7, 1, 4, 3, 2}));
}

// Random employees: every list column filled from small pools (ties and nulls
// included), with one- and two-byte characters of every code page 932 range.
std::vector<std::vector<std::optional<std::string>>> RandomStaff(int count, std::mt19937& rng) {
    const char* texts[] = {"A", "a", "Z", "0", "9", "あ", "ア", "亜", "ｱ", "ﾝ", "漢", "-"};
    std::vector<std::vector<std::optional<std::string>>> rows;
    const auto& columns = StaffSpec().Columns;
    std::vector<int> codes(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) codes[static_cast<std::size_t>(i)] = i * 3 + 1;
    std::shuffle(codes.begin(), codes.end(), rng);
    for (int i = 0; i < count; ++i) {
        std::vector<std::optional<std::string>> row;
        for (const TColumnSpec& c : columns) {
            const bool null = c.Name != "StaffCD" && c.Name != "Simei" && rng() % 4 == 0;
            if (null || c.Type == kura::ftGraphic || c.Type == kura::ftMemo) {
                row.push_back(std::nullopt);
            } else if (c.Name == "StaffCD") {
                row.push_back(std::to_string(codes[static_cast<std::size_t>(i)]));
            } else if (c.Type == kura::ftInteger) {
                row.push_back(std::to_string(static_cast<int>(rng() % 7) * 1000 - 2000));
            } else if (c.Type == kura::ftDate) {
                row.push_back(std::to_string(1950 + rng() % 5 * 17) + "/0" + std::to_string(1 + rng() % 9) + "/1" +
                              std::to_string(rng() % 10));
            } else {
                row.push_back(gui::Cp932(QString::fromUtf8(texts[rng() % std::size(texts)])));
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

// The engine's order of one field's values: nulls lowest, numbers and dates by
// value, text by its code page 932 bytes unsigned.
bool Less(kura::TFieldType type, const std::optional<std::string>& a, const std::optional<std::string>& b) {
    if (!a || !b) return !a && b;
    if (type == kura::ftInteger) return std::stoi(*a) < std::stoi(*b);
    return *a < *b;  // dates as yyyy/mm/dd sort as text; std::string compares bytes unsigned
}

TEST_F(StaffList, EverySortKeyInEitherDirectionOrdersRowsAsTheModelDoes) {
    TFmain& m = StartWith({});
    std::mt19937 rng(20261207);
    const auto rows = RandomStaff(40, rng);
    const auto& columns = StaffSpec().Columns;
    kura::TKuraTable& t = *DMdata->Tstaff;
    for (const auto& row : rows) {
        t.Append();
        for (std::size_t c = 0; c < columns.size(); ++c)
            if (row[c]) t.FieldByName(columns[c].Name)->SetAsString(*row[c]);
        t.Post();
    }
    auto columnOf = [&](const std::string& name) {
        for (std::size_t c = 0; c < columns.size(); ++c)
            if (columns[c].Name == name) return c;
        return columns.size();
    };
    const std::size_t code = columnOf("StaffCD");
    for (int f = 0; f < m.Qstaff->FieldCount(); ++f) {
        const std::string name = m.Qstaff->Fields(f)->FieldName;
        const std::string label = gui::QStr(m.Qstaff->Fields(f)->DisplayName()).toStdString();
        const std::size_t c = columnOf(name);
        ASSERT_LT(c, columns.size()) << name;
        for (const std::string& direction : {Asc, Desc}) {
            // The code as the second key makes the order total.
            SetKeys(m, {{label, direction}, {"コード", Asc}});
            m.OpenStaffList();
            std::vector<const std::vector<std::optional<std::string>>*> expected;
            for (const auto& row : rows) expected.push_back(&row);
            std::sort(expected.begin(), expected.end(), [&](auto* a, auto* b) {
                const bool desc = direction == Desc;
                if (Less(columns[c].Type, (*a)[c], (*b)[c])) return !desc;
                if (Less(columns[c].Type, (*b)[c], (*a)[c])) return desc;
                return std::stoi(*(*a)[code]) < std::stoi(*(*b)[code]);
            });
            std::vector<int> want;
            for (auto* row : expected) want.push_back(std::stoi(*(*row)[code]));
            ASSERT_EQ(Codes(m), want) << name << " " << direction;
        }
    }
}

TEST_F(StaffList, RetiredRowsAreGreyUnlessSelected) {
    TFmain& m = StartWith(SampleStaff());
    SetKeys(m, {{"コード", Asc}});
    m.OpenStaffList();  // codes 1 and 2 are retired: rows 0 and 1
    m.PageControl1->setCurrentWidget(m.TabSheet2);
    m.resize(900, 700);
    QApplication::processEvents();
    gui::TDBGrid& grid = *m.StaffGrid;
    EXPECT_TRUE(m.RowRetired(0));
    EXPECT_TRUE(m.RowRetired(1));
    EXPECT_FALSE(m.RowRetired(2));
    // Kyusei (column 3) is empty in every row: the cell shows its background only.
    auto background = [&](int row) {
        const QRect r = grid.visualRect(grid.model()->index(row, 3));
        const QImage image = grid.viewport()->grab().toImage();
        return image.pixelColor(r.center()).name();
    };
    m.Qstaff->Last();  // the current (selected) row is the last one, not retired
    grid.clearSelection();
    QApplication::processEvents();
    EXPECT_EQ(background(0), "#e0e0e0");
    EXPECT_EQ(background(1), "#e0e0e0");
    EXPECT_NE(background(2), "#e0e0e0");
    grid.selectRow(1);
    QApplication::processEvents();
    EXPECT_NE(background(1), "#e0e0e0");  // the selection's colours
    EXPECT_EQ(background(0), "#e0e0e0");
}

TEST_F(StaffList, RefreshReturnsToTheSameEmployeeAndAutoRefreshSwitchesTheButton) {
    TFmain& m = StartWith(SampleStaff());
    SetKeys(m, {{"コード", Asc}});
    m.OpenStaffList();
    ASSERT_TRUE(m.Qstaff->Locate("StaffCD", kura::TVariant(int32_t(5)), 0));
    AddEmployee({0, "新人", "しんじん", "営業部", 2003, std::nullopt, std::nullopt});  // comes first
    m.SaisinBTNClick();
    EXPECT_EQ(m.Qstaff->FieldByName("StaffCD")->AsInteger(), 5);
    EXPECT_EQ(m.Qstaff->RecordCount(), 7);
    EXPECT_EQ(m.JyokyoLBL->text(), QString::fromUtf8("人数：7 人"));

    EXPECT_TRUE(m.JidoCB->isChecked());
    EXPECT_FALSE(m.SaisinBTN->isEnabled());
    m.JidoCB->click();
    EXPECT_FALSE(m.Settings.JidoKosin);
    EXPECT_TRUE(m.SaisinBTN->isEnabled());
    CloseMain();
    TFmain& again = StartMain();
    EXPECT_FALSE(again.JidoCB->isChecked());
    EXPECT_TRUE(again.SaisinBTN->isEnabled());
}

}  // namespace
}  // namespace app::test
