// The shared controls over a real table: the extended grid's copies, wheel and
// columns (settings out of range clamped), Enter in a grid, and the owner-drawn
// button's painting and events.
#include <QApplication>
#include <QMouseEvent>
#include <QWheelEvent>

#include "app/DBGridEx.h"
#include "app/Form1.h"
#include "app/MainSettings.h"
#include "app/MakatiButton.h"
#include "components/KuraTable.h"
#include "platform/dataset/DataSource.h"
#include "platform/dataset/Field.h"
#include "platform/CodePage.h"
#include "platform/gui/Color.h"
#include "platform/gui/Desktop.h"
#include "tests/app/AppTestSupport.h"

#include <fstream>

namespace app::test {
namespace {

class Controls : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        table = std::make_unique<kura::TKuraTable>();
        table->SetDatabaseName(dir.path());
        table->SetTableName("People");
        table->FieldDefs().Add("Code", kura::ftInteger, 0, true);
        table->FieldDefs().Add("Name", kura::ftString, 20);
        table->FieldDefs().Add("Town", kura::ftString, 20);
        table->IndexDefs().Add("", "Code", kura::ixPrimary | kura::ixUnique);
        table->CreateTable();
        table->Open();
        table->Fields(0)->DisplayLabel = platform::Utf8ToCp932("コード");
        source.SetDataSet(table.get());
        gridPtr = std::make_unique<TDBGridEx>();
        gridPtr->SetDataSource(&source);
    }
    void TearDown() override {
        gridPtr.reset();
        source.SetDataSet(nullptr);
        table.reset();
        AppTest::TearDown();
    }
    void Add(int code, const std::string& name, const std::string& town) {
        table->Append();
        table->FieldByName("Code")->SetAsInteger(code);
        table->FieldByName("Name")->SetAsUtf8(name);
        if (!town.empty()) table->FieldByName("Town")->SetAsUtf8(town);
        table->Post();
    }
    std::unique_ptr<kura::TKuraTable> table;
    kura::TDataSource source;
    std::unique_ptr<TDBGridEx> gridPtr;
    TDBGridEx& G() { return *gridPtr; }
};

TEST_F(Controls, AnEmptyTableCopiesItsHeaderLineOnly) {
    EXPECT_EQ(G().AllText(), QString::fromUtf8("コード\tName\tTown\r"));
    G().CopyAllToClipboard();
    EXPECT_EQ(gui::ClipboardText(), QString::fromUtf8("コード\tName\tTown\r"));
}

TEST_F(Controls, CopiesAreTabSeparatedWithLoneCarriageReturnsAndKeepTheCurrentRecord) {
    Add(1, "山田", "東京");
    Add(2, "a\tb", "");
    Add(3, "Ito", "Nara");
    table->First();
    table->Next();
    EXPECT_EQ(G().AllText(), QString::fromUtf8("コード\tName\tTown\r1\t山田\t東京\r2\ta\tb\t\r3\tIto\tNara\r"));
    EXPECT_EQ(table->FieldByName("Code")->AsInteger(), 2);
    G().SetColumnVisible(0, false);
    EXPECT_EQ(G().VisibleText(), QString::fromUtf8("\tName\tTown\r\t山田\t東京\r\ta\tb\t\r\tIto\tNara\r"));
    G().SetColumnVisible(0, true);
    G().SetColumnVisible(2, false);
    EXPECT_EQ(G().VisibleText(), QString::fromUtf8("コード\tName\r1\t山田\r2\ta\tb\r3\tIto\r"));
    EXPECT_EQ(table->FieldByName("Code")->AsInteger(), 2);
}

TEST_F(Controls, TheWheelMovesTheRecordAndWithoutADatasetScrollsAsUsual) {
    for (int i = 1; i <= 5; ++i) Add(i, "N" + std::to_string(i), "");
    table->First();
    EXPECT_TRUE(G().DoMouseWheelDown(Qt::NoModifier));
    EXPECT_TRUE(G().DoMouseWheelDown(Qt::NoModifier));
    EXPECT_EQ(table->FieldByName("Code")->AsInteger(), 3);
    EXPECT_TRUE(G().DoMouseWheelUp(Qt::ShiftModifier));
    EXPECT_EQ(table->FieldByName("Code")->AsInteger(), 2);
    EXPECT_EQ(G().currentIndex().row(), 1);  // the grid follows
    QWheelEvent down(QPointF(5, 5), QPointF(5, 5), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                     Qt::NoScrollPhase, false);
    QApplication::sendEvent(G().viewport(), &down);
    EXPECT_EQ(table->FieldByName("Code")->AsInteger(), 3);
    table->Close();
    EXPECT_FALSE(G().DoMouseWheelDown(Qt::NoModifier));
    TDBGridEx bare;
    EXPECT_FALSE(bare.DoMouseWheelUp(Qt::NoModifier));
}

TEST_F(Controls, TheGridShowsTheRowsAndSelectingARowMovesTheDataset) {
    for (int i = 1; i <= 300; ++i) Add(i, "N" + std::to_string(i), "T");
    table->First();
    ASSERT_EQ(G().model()->rowCount(), 300);
    EXPECT_EQ(G().model()->data(G().model()->index(299, 1)).toString(), "N300");
    EXPECT_EQ(G().model()->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QString::fromUtf8("コード"));
    EXPECT_EQ(table->FieldByName("Code")->AsInteger(), 1);  // reading rows leaves the record
    G().setCurrentIndex(G().model()->index(150, 0));
    EXPECT_EQ(table->FieldByName("Code")->AsInteger(), 151);
    G().SetMultiSelect(true);
    G().SetRowSelect(true);
    G().selectionModel()->select(G().model()->index(3, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    G().selectionModel()->select(G().model()->index(7, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const auto rows = G().SelectedRows();
    ASSERT_EQ(rows.size(), 2u);
    table->GotoBookmark(rows[1]);
    EXPECT_EQ(table->FieldByName("Code")->AsInteger(), 8);
}

TEST_F(Controls, ColumnSettingsOutOfRangeAreClampedNeverUsedAsIndexes) {
    G().AddColumn("Code");
    G().AddColumn("Name");
    G().AddColumn("Town");
    std::ofstream(dir.file("cols.INI"), std::ios::binary)
        << "[HyojiColumnIndex]\r\nCode=2\r\nName=-7\r\nTown=99999\r\n"
           "[HyojiColumnWidth]\r\nCode=-50\r\nName=2147483647\r\nTown=0\r\n[HyojiKomoku]\r\nTown=0\r\n";
    const int townWidth = G().ColumnWidth(2);
    ReadGridSettings(gui::TIniFile(dir.file("cols.INI")), G());
    ASSERT_EQ(G().ColumnCount(), 3);
    std::vector<std::string> order;
    for (int i = 0; i < 3; ++i) order.push_back(G().Column(i).FieldName);
    // Positions that contradict each other settle where the four passes leave them.
    EXPECT_EQ(order, (std::vector<std::string>{"Name", "Town", "Code"}));
    EXPECT_EQ(G().ColumnWidth(2), gui::TDBGrid::MinColumnWidth);  // Code: -50
    EXPECT_EQ(G().ColumnWidth(0), gui::TDBGrid::MaxColumnWidth);  // Name: 2147483647
    EXPECT_EQ(G().ColumnWidth(1), townWidth);                     // Town: 0 keeps the designed width
    EXPECT_FALSE(G().Column(1).Visible);
}

TEST_F(Controls, AStoredColumnOrderComesBackAfterFourPassesAndNoOrderKeepsTheDesign) {
    for (const char* f : {"Code", "Name", "Town", "Code"}) G().AddColumn(f);
    // No stored order: the design order survives.
    ReadGridSettings(gui::TIniFile(dir.file("none.INI")), G());
    std::vector<std::string> order;
    for (int i = 0; i < G().ColumnCount(); ++i) order.push_back(G().Column(i).FieldName);
    EXPECT_EQ(order, (std::vector<std::string>{"Code", "Name", "Town", "Code"}));
    G().MoveColumn(2, 0);  // Town, Code, Name, Code
    gui::TIniFile ini(dir.file("order.INI"));
    WriteGridSettings(ini, G());
    ini.UpdateFile();
    TDBGridEx other;
    for (const char* f : {"Code", "Name", "Town", "Code"}) other.AddColumn(f);
    ReadGridSettings(gui::TIniFile(dir.file("order.INI")), other);
    std::vector<std::string> restored;
    for (int i = 0; i < other.ColumnCount(); ++i) restored.push_back(other.Column(i).FieldName);
    // Two columns on one field share a key: the later one's position wins for both.
    EXPECT_EQ(restored.at(0), "Town");
    EXPECT_EQ(restored.size(), 4u);
}

TEST_F(Controls, EnterInTheLastColumnOfAGridGoesToTheFirstColumnOfTheNextRecord) {
    for (int i = 1; i <= 3; ++i) Add(i, "N", "T");
    table->First();
    TForm1 form;
    form.setObjectName("Fgrid");
    G().setParent(form.Client());
    form.show();
    form.activateWindow();
    G().setFocus();
    QApplication::processEvents();
    G().SetSelectedIndex(1);
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
    QApplication::sendEvent(&G(), &enter);
    EXPECT_EQ(G().SelectedIndex(), 2);
    EXPECT_EQ(table->FieldByName("Code")->AsInteger(), 1);
    QApplication::sendEvent(&G(), &enter);
    EXPECT_EQ(G().SelectedIndex(), 0);
    EXPECT_EQ(table->FieldByName("Code")->AsInteger(), 2);
    G().setParent(nullptr);
}

TEST(MakatiButton, DefaultsSettersAndPainting) {
    App();
    TMakatiButton b;
    EXPECT_EQ(b.Color(), syscolor::clWindow);
    EXPECT_EQ(b.CapAlignH(), haCenter);
    EXPECT_EQ(b.CapAlignV(), vaCenter);
    EXPECT_EQ(b.ButtonStyle(), bsStd);
    EXPECT_TRUE(b.CapFixed());
    EXPECT_TRUE(b.Focusline());
    EXPECT_EQ(b.FrameColor(), syscolor::clWindowFrame);
    const int before = b.RepaintCount();
    b.SetColor(syscolor::clWindow);  // unchanged: no repaint
    b.SetCapOffsetH(0);
    EXPECT_EQ(b.RepaintCount(), before);
    b.SetColor(0x00AAAA);
    EXPECT_EQ(b.RepaintCount(), before + 1);
    b.SetCaptionLines({"a", "b"});
    b.SetCaptionLines({"a", "b"});
    EXPECT_EQ(b.RepaintCount(), before + 2);
    EXPECT_EQ(b.DrawnText(), "a\nb");
    b.resize(80, 40);
    // The background is Color ($00BBGGRR), or the button face when disabled.
    QImage image = b.grab().toImage();
    EXPECT_EQ(image.pixelColor(40, 3), gui::ToQColor(0x00AAAA));
    b.setEnabled(false);
    image = b.grab().toImage();
    EXPECT_EQ(image.pixelColor(40, 3), gui::ToQColor(syscolor::clBtnFace));
    // Two caption lines are drawn on two rows of text.
    b.setEnabled(true);
    b.SetColor(0xFFFFFF);
    image = b.grab().toImage();
    // Rows with ink, grouped into runs: two lines of text make two runs.
    int runs = 0;
    bool previous = false;
    for (int y = 3; y < 36; ++y) {
        bool ink = false;
        for (int x = 5; x < 75; ++x) ink |= image.pixelColor(x, y).lightness() < 128;
        if (ink && !previous) ++runs;
        previous = ink;
    }
    EXPECT_EQ(runs, 2);
}

TEST(MakatiButton, HoverEventsAndADoubleClickCountsAsASecondPress) {
    App();
    TMakatiButton b;
    b.resize(80, 30);
    b.show();
    std::vector<std::string> events;
    b.OnMouseEnter = [&](TMakatiButton* s) {
        events.push_back("enter");
        s->SetColor(0xFFFF6A);
    };
    b.OnMouseLeave = [&](TMakatiButton* s) {
        events.push_back("leave");
        s->SetColor(0xAAAA00);
    };
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(&b, &enter);
    QApplication::sendEvent(&b, &enter);  // already hovering
    EXPECT_TRUE(b.Hovering());
    EXPECT_EQ(b.Color(), 0xFFFF6Au);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&b, &leave);
    EXPECT_EQ(events, (std::vector<std::string>{"enter", "leave"}));
    EXPECT_EQ(b.Color(), 0xAAAA00u);
    int clicks = 0;
    QObject::connect(&b, &QPushButton::clicked, [&] { ++clicks; });
    // What the window system sends for a double click.
    const QPointF at(10, 10);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                              QEvent::MouseButtonRelease}) {
        QMouseEvent e(type, at, b.mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&b, &e);
    }
    EXPECT_EQ(clicks, 2);
}

}  // namespace
}  // namespace app::test
