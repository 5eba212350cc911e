// The staff table maintenance window driven by object names: grid edits committed by
// OK and undone by Cancel, CSV export and import round trip, and a failed import that
// Cancel undoes.
#include <QKeyEvent>
#include <QPushButton>

#include <fstream>
#include <random>

#include "app/MasterMente.h"
#include "components/KuraDatabase.h"
#include "components/KuraTable.h"
#include "platform/dataset/Field.h"
#include "platform/gui/DataGrid.h"
#include "platform/gui/Text.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/StaffRows.h"

namespace app::test {
namespace {

const QString kImportFailed =
    gui::U8("インポートに失敗しましたが元のデータは消されています\n\r復活させるにはキャンセルを押してください");

class MasterMente : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        StartMain();
        AddStaffRows(3);
        DMdata->Tstaff->Close();
    }
    void TearDown() override {
        SetFileDialogHook(nullptr);
        AppTest::TearDown();
    }
    std::unique_ptr<TFstaff> Show() {
        auto form = std::make_unique<TFstaff>();
        form->show();
        QApplication::processEvents();
        return form;
    }
    void Click(QWidget& form, const char* name) {
        form.findChild<QPushButton*>(name)->click();
        QApplication::processEvents();
    }
    // The names of the staff table, in code order, as another reader sees them.
    std::vector<std::string> Names() {
        kura::TKuraTable& t = *DMdata->Tstaff;
        t.Close();
        t.Open();
        std::vector<std::string> names;
        for (t.First(); !t.Eof(); t.Next()) names.push_back(t.FieldByName("Simei")->AsString());
        t.Close();
        return names;
    }
    void AnswerFile(const std::string& path, int filterIndex = 1) {
        SetFileDialogHook([path, filterIndex](TFileDialog& d) {
            d.FileName = QString::fromStdString(path);
            d.FilterIndex = filterIndex;
            return true;
        });
    }
};

TEST_F(MasterMente, GridEditsAreKeptByOkAndUndoneByCancel) {
    auto form = Show();
    EXPECT_FALSE(form->findChild<QPushButton*>("PrintBTN")->isVisible());
    auto* grid = form->findChild<gui::TDBGrid*>("DBGrid1");
    ASSERT_EQ(grid->model()->rowCount(), 3);
    const int simei = [&] {
        for (int c = 0; c < grid->ColumnCount(); ++c)
            if (grid->ColumnTitle(c) == "Simei") return c;
        return -1;
    }();
    ASSERT_GE(simei, 0);
    EXPECT_TRUE(grid->model()->setData(grid->model()->index(1, simei), gui::U8("二郎"), Qt::EditRole));
    Click(*form, "BitBtn1");  // Cancel
    EXPECT_EQ(Names(), (std::vector<std::string>{"N1", "N2", "N3"}));

    form = Show();
    grid = form->findChild<gui::TDBGrid*>("DBGrid1");
    EXPECT_TRUE(grid->model()->setData(grid->model()->index(1, simei), gui::U8("二郎"), Qt::EditRole));
    EXPECT_EQ(grid->model()->index(1, simei).data().toString(), gui::U8("二郎"));
    Click(*form, "BitBtn2");  // OK
    EXPECT_EQ(Names(), (std::vector<std::string>{"N1", gui::Cp932(gui::U8("二郎")), "N3"}));
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
}

// The grid while a row is inserted, as the window is used: 追加 adds the new row and
// every other row stays drawn (also rows beyond the first block the grid reads, which
// it had not read before the insert); Enter moves to the next cell and never inserts;
// OK with the new row left untouched keeps the table as it was, and a new row typed
// into is stored.
TEST_F(MasterMente, RowsStayVisibleWhileARowIsInsertedAndEnterNeverInserts) {
    kura::TKuraTable& t = *DMdata->Tstaff;
    t.Open();
    for (int code = 4; code <= 300; ++code) {  // more than the grid's first block of rows
        t.Append();
        t.FieldByName("StaffCD")->SetAsInteger(code);
        t.FieldByName("Simei")->SetAsString("N" + std::to_string(code));
        t.Post();
    }
    t.Close();
    messages.clear();
    auto form = Show();
    auto* grid = form->findChild<gui::TDBGrid*>("DBGrid1");
    const int simei = [&] {
        for (int c = 0; c < grid->ColumnCount(); ++c)
            if (grid->ColumnTitle(c) == "Simei") return c;
        return -1;
    }();
    ASSERT_GE(simei, 0);
    ASSERT_EQ(grid->model()->rowCount(), 300);
    auto cell = [&](int row, int column = -1) {
        return grid->model()->index(row, column < 0 ? simei : column).data().toString().toStdString();
    };
    EXPECT_EQ(cell(0), "N1");
    Click(*form, "AddBTN");
    EXPECT_EQ(form->Table1->State(), kura::dsInsert);
    ASSERT_EQ(grid->model()->rowCount(), 301);
    EXPECT_EQ(grid->currentIndex().row(), 300);
    for (int row : {0, 1, 2, 150, 299}) EXPECT_EQ(cell(row), "N" + std::to_string(row + 1)) << row;
    EXPECT_EQ(form->Table1->State(), kura::dsInsert);
    EXPECT_EQ(cell(300), "");
    // Enter on a cell: the next cell, no new row.
    form->activateWindow();
    grid->setFocus();
    QApplication::processEvents();
    ASSERT_EQ(QApplication::focusWidget(), grid);
    grid->setCurrentIndex(grid->model()->index(300, 0));
    auto enter = [&] {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
        QApplication::sendEvent(grid, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier, "\r");
        QApplication::sendEvent(grid, &release);
        QApplication::processEvents();
    };
    enter();
    EXPECT_EQ(grid->currentIndex().column(), 1);
    EXPECT_EQ(grid->model()->rowCount(), 301);
    for (int row : {0, 299}) EXPECT_EQ(cell(row), "N" + std::to_string(row + 1)) << row;
    // OK with the new row untouched: nothing to store, no message, the rows as they were.
    Click(*form, "BitBtn2");
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    EXPECT_EQ(Names().size(), 300u);

    // Enter through the last cell of the last row moves to nothing new either.
    form = Show();
    grid = form->findChild<gui::TDBGrid*>("DBGrid1");
    form->activateWindow();
    grid->setFocus();
    QApplication::processEvents();
    form->Table1->Last();
    grid->setCurrentIndex(grid->model()->index(299, grid->ColumnCount() - 1));
    enter();
    EXPECT_EQ(grid->model()->rowCount(), 300);
    EXPECT_EQ(form->Table1->State(), kura::dsBrowse);
    // A new row typed into is posted by OK.
    Click(*form, "AddBTN");
    const int code = [&] {
        for (int c = 0; c < grid->ColumnCount(); ++c)
            if (grid->ColumnTitle(c) == "StaffCD") return c;
        return -1;
    }();
    EXPECT_TRUE(grid->model()->setData(grid->model()->index(300, code), "301", Qt::EditRole));
    EXPECT_TRUE(grid->model()->setData(grid->model()->index(300, simei), "N301", Qt::EditRole));
    EXPECT_EQ(cell(0), "N1");
    Click(*form, "BitBtn2");
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    const std::vector<std::string> names = Names();
    ASSERT_EQ(names.size(), 301u);
    EXPECT_EQ(names.back(), "N301");
}

// A table far larger than what the grid reads at once (1,500 rows): while a row is
// inserted the user scrolls, as when looking up a value, to rows the grid had never
// read; every row painted in view shows its record and the insert goes on all the
// while, also once the new row has been typed into. OK then stores it.
TEST_F(MasterMente, RowsScrolledIntoViewWhileARowIsInsertedShowInALargeTable) {
    constexpr int Rows = 1500;
    kura::TKuraTable& t = *DMdata->Tstaff;
    t.Open();
    t.Database()->StartTransaction();
    for (int code = 4; code <= Rows; ++code) {
        t.Append();
        t.FieldByName("StaffCD")->SetAsInteger(code);
        t.FieldByName("Simei")->SetAsString("N" + std::to_string(code));
        t.Post();
    }
    t.Database()->Commit(true);
    t.Close();
    messages.clear();
    auto form = Show();
    auto* grid = form->findChild<gui::TDBGrid*>("DBGrid1");
    const auto column = [&](const char* title) {
        for (int c = 0; c < grid->ColumnCount(); ++c)
            if (grid->ColumnTitle(c) == title) return c;
        return -1;
    };
    const int simei = column("Simei");
    ASSERT_GE(simei, 0);
    ASSERT_EQ(grid->model()->rowCount(), Rows);
    Click(*form, "AddBTN");
    ASSERT_EQ(form->Table1->State(), kura::dsInsert);
    ASSERT_EQ(grid->model()->rowCount(), Rows + 1);

    // Scrolled to each place, painted, and every row in view read back from the grid.
    std::mt19937 random(45);
    std::vector<int> tops{700, 1100, Rows - 5, 0, 260};
    for (int i = 0; i < 6; ++i) tops.push_back(std::uniform_int_distribution<int>(0, Rows)(random));
    auto lookAt = [&](int top) {
        SCOPED_TRACE(top);
        grid->scrollTo(grid->model()->index(top, simei), QAbstractItemView::PositionAtTop);
        grid->viewport()->grab();
        const int first = grid->rowAt(0);
        int last = grid->rowAt(grid->viewport()->height() - 1);
        if (last < 0) last = Rows;  // the view reaches past the last row
        ASSERT_GE(first, 0);
        ASSERT_GT(last, first);
        for (int row = first; row <= std::min(last, Rows - 1); ++row)
            EXPECT_EQ(grid->model()->index(row, simei).data().toString().toStdString(), "N" + std::to_string(row + 1));
        EXPECT_EQ(form->Table1->State(), kura::dsInsert);
    };
    for (int top : tops) lookAt(top);
    EXPECT_TRUE(grid->model()->setData(grid->model()->index(Rows, column("StaffCD")), "1501", Qt::EditRole));
    EXPECT_TRUE(grid->model()->setData(grid->model()->index(Rows, simei), "N1501", Qt::EditRole));
    for (int top : {900, 40}) lookAt(top);
    EXPECT_EQ(grid->model()->index(Rows, simei).data().toString(), "N1501");
    Click(*form, "BitBtn2");
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    const std::vector<std::string> names = Names();
    ASSERT_EQ(names.size(), static_cast<std::size_t>(Rows + 1));
    EXPECT_EQ(names.back(), "N1501");
}

TEST_F(MasterMente, ExportAndImportRoundTripTheTable) {
    auto form = Show();
    AnswerFile(dir.file("staff"));  // no extension, CSV filter: ".csv" is added
    Click(*form, "ExportBTN");
    ASSERT_TRUE(std::filesystem::exists(dir.file("staff.csv")));
    const std::string csv = Read(dir.file("staff.csv"));
    EXPECT_EQ(csv.rfind("StaffCD,", 0), 0u) << csv;
    EXPECT_NE(csv.find("\"N2\""), std::string::npos);
    AnswerFile(dir.file("asis"), 2);  // the other filter: the name as typed
    Click(*form, "ExportBTN");
    EXPECT_TRUE(std::filesystem::exists(dir.file("asis")));
    // A Japanese name reaches the disk as chosen; one with a wave dash, which code page 932
    // holds one way only, is refused and makes no file, under either form of the dash.
    const std::string home = kura::test::Native(dir.path());
    for (const char* name : {"社員台帳.csv", "社員〜台帳.csv"}) {
        AnswerFile(home + "/" + name);
        Click(*form, "ExportBTN");
    }
    EXPECT_EQ(Read(home + "/社員台帳.csv"), csv);
    EXPECT_EQ(messages, QStringList{gui::U8("ファイル名 %1/社員〜台帳.csv はシフトJISで表せない文字を含みます。")
                                        .arg(QString::fromStdString(home))});
    EXPECT_FALSE(std::filesystem::exists(home + "/社員〜台帳.csv") || std::filesystem::exists(home + "/社員～台帳.csv"));
    messages.clear();
    Click(*form, "BitBtn2");

    // Change the table, then bring the exported rows back.
    kura::TKuraTable& t = *DMdata->Tstaff;
    t.Open();
    t.First();
    t.Delete();
    t.Close();
    ASSERT_EQ(Names().size(), 2u);
    form = Show();
    answer = gui::mrYes;
    AnswerFile(dir.file("staff.csv"));
    Click(*form, "InportBTN");
    EXPECT_EQ(messages, QStringList{gui::U8("現在のデータが上書きされます\n\r実行してもよろしいですか？")});
    EXPECT_EQ(form->findChild<gui::TDBGrid*>("DBGrid1")->model()->rowCount(), 3);
    Click(*form, "BitBtn2");
    EXPECT_EQ(Names(), (std::vector<std::string>{"N1", "N2", "N3"}));
    // Exporting again gives the same file.
    form = Show();
    AnswerFile(dir.file("again.csv"));
    Click(*form, "ExportBTN");
    EXPECT_EQ(Read(dir.file("again.csv")), csv);
}

TEST_F(MasterMente, AFailedImportEmptiesTheGridAndCancelBringsTheRowsBack) {
    std::ofstream(dir.file("bad.csv"), std::ios::binary) << "NoSuchField,Other\r\n1,2\r\n";
    auto form = Show();
    answer = gui::mrNo;
    AnswerFile(dir.file("bad.csv"));
    Click(*form, "InportBTN");  // not confirmed: nothing happens
    EXPECT_EQ(form->findChild<gui::TDBGrid*>("DBGrid1")->model()->rowCount(), 3);
    answer = gui::mrYes;
    messages.clear();
    Click(*form, "InportBTN");
    ASSERT_EQ(messages.size(), 2);
    EXPECT_TRUE(messages[1].startsWith(kImportFailed)) << messages[1].toStdString();
    EXPECT_EQ(form->findChild<gui::TDBGrid*>("DBGrid1")->model()->rowCount(), 0);
    Click(*form, "BitBtn1");
    EXPECT_EQ(Names(), (std::vector<std::string>{"N1", "N2", "N3"}));
}

// A file whose good lines surround a bad one: the failure leaves none of the imported
// rows (OK would have kept them alone in place of the whole table), the message says
// under the window's own text which line stopped it and why, and Cancel brings the old
// rows back. Each case once with Cancel and once with OK, which then stores nothing.
TEST_F(MasterMente, AFailedImportLeavesNoImportedRowAndNamesTheLine) {
    const struct {
        const char* what;
        std::string csv;
        const char* where;  // expected in the detail line
    } cases[] = {
        {"a code that is no number", "StaffCD,Simei\r\n11,\"A\"\r\nabc,\"B\"\r\n12,\"C\"\r\n",
         "3 行目、項目 StaffCD："},
        {"a quoted line break before the bad line", "StaffCD,Simei\r\n11,\"A\r\nA2\"\r\n12,\"B\"\r\nx1,\"C\"\r\n",
         "5 行目、項目 StaffCD："},
        {"a code twice", "StaffCD,Simei\n11,\"A\"\n12,\"B\"\n11,\"C\"\n", "4 行目："},
        {"a field the table lacks", "StaffCD,NoSuchField\r\n11,1\r\n", "1 行目"},
    };
    for (const auto& c : cases) {
        for (const char* leave : {"BitBtn1", "BitBtn2"}) {
            SCOPED_TRACE(std::string(c.what) + " / " + leave);
            std::ofstream(dir.file("bad.csv"), std::ios::binary) << c.csv;
            auto form = Show();
            answer = gui::mrYes;
            messages.clear();
            AnswerFile(dir.file("bad.csv"));
            Click(*form, "InportBTN");
            ASSERT_EQ(messages.size(), 2);
            EXPECT_TRUE(messages[1].startsWith(kImportFailed + "\n\r\n\r")) << messages[1].toStdString();
            EXPECT_TRUE(messages[1].contains(gui::U8(c.where))) << messages[1].toStdString();
            EXPECT_EQ(form->findChild<gui::TDBGrid*>("DBGrid1")->model()->rowCount(), 0);
            Click(*form, leave);
            form.reset();
            if (std::string(leave) == "BitBtn1") {
                EXPECT_EQ(Names(), (std::vector<std::string>{"N1", "N2", "N3"}));
            } else {
                EXPECT_EQ(Names(), std::vector<std::string>{});
                AddStaffRows(3);
                DMdata->Tstaff->Close();
            }
        }
    }
}

}  // namespace
}  // namespace app::test
