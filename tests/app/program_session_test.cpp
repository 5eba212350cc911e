// The program as a person uses it, from an empty folder to a second start: employees
// with their history and family typed into the editor, the list sorted by a title
// click, retired staff hidden, both CSV exports, the worker register printed to PDF,
// one employee deleted, the window closed by its own button (the event loop ends as
// the program's does), and everything found again at the next start. Also: both ways
// of closing the main window end the program and write its settings. And two desks on
// one folder with the data menu's windows: table maintenance, a failed import and an
// encrypted copy made in the SQL window.
#include <QAction>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

#include "app/DBGridEx.h"
#include "app/HyojiJyun.h"
#include "app/LRstaffSheet.h"
#include "app/MasterMente.h"
#include "app/MakatiButton.h"
#include "app/ScanPicture.h"
#include "app/SqlWindow.h"
#include "components/KuraDatabase.h"
#include "components/KuraSession.h"
#include "platform/gui/FileDialogs.h"
#include "platform/gui/IniFile.h"
#include "platform/print/Printer.h"
#include "tests/app/EditorTestSupport.h"
#include "tests/report/ReportTestSupport.h"

namespace app::test {
namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }
std::string Sjis(const char* utf8) { return platform::Utf8ToCp932(utf8); }

// Runs the application's event loop as the program's main block does, with close run
// from inside it; answers the loop's result, or -1 when the loop had not ended after
// ten seconds.
int RunLoopUntilClosed(const std::function<void()>& close) {
    QTimer::singleShot(0, close);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QApplication::exit(-1); });
    watchdog.start(10000);
    return App().exec();
}

class ClosingTheMainWindow : public AppTest {};

TEST_F(ClosingTheMainWindow, TheButtonAndTheMenuItemEachEndTheLoopAndWriteTheSettings) {
    const std::pair<const char*, std::function<void()>> ways[] = {
        {"CloseBTN", [] { Click(Fmain, "CloseBTN"); }},
        {"Exit1", [] { Fmain->findChild<QAction*>("Exit1")->trigger(); }},
    };
    const char* const keys[] = {"氏名", "電話"};
    for (int i = 0; i < 2; ++i) {
        const auto& [name, close] = ways[i];
        StartMain();
        ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
        Fmain->Settings.Komoku[0] = keys[i];
        Fmain->Settings.HiHyoji = i == 0;
        EXPECT_EQ(RunLoopUntilClosed(close), 0) << name;
        EXPECT_FALSE(Fmain->isVisible()) << name;
        EndProgram();
        const gui::TIniFile ini(IniPath().toStdString());
        EXPECT_EQ(ini.ReadString("Sort", "Komoku1", ""), keys[i]) << name;
        EXPECT_NE(Read(IniPath().toStdString()).find("Komoku1=" + Sjis(keys[i]) + "\r\n"), std::string::npos) << name;
        EXPECT_EQ(ini.ReadBool("Taisyoku", "HiHyoji", i != 0), i == 0) << name;
        EXPECT_EQ(ini.ReadString("Fmain", "WindowState", ""), "wsNormal") << name;
        EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    }
}

struct NewEmployee {
    int code;
    const char* name;
    const char* kana;
    const char* bu;
    const char* birth;    // as typed, era form allowed
    const char* retired;  // empty: still employed
    std::vector<std::pair<const char*, const char*>> history;            // date as typed, text
    std::vector<std::tuple<const char*, const char*, const char*>> family;  // number, name, relation
};

const NewEmployee kStaff[] = {
    {10, "渡辺 一郎", "わたなべ いちろう", "営業", "S450515", "",
     {{"H010331", "東西高校卒業"}, {"20010401", "株式会社南北入社"}},
     {{"1", "渡辺 花子", "妻"}, {"2", "渡辺 太一", "長男"}}},
    {20, "阿部 二郎", "あべ じろう", "総務", "19800202", "",
     {{"H140331", "北国大学卒業"}, {"H140401", "当社入社"}},
     {{"1", "阿部 和子", "母"}}},
    {30, "加藤 三郎", "かとう さぶろう", "営業", "19901212", "", {}, {}},
    {40, "斎藤 四郎", "さいとう しろう", "製造", "S300303", "H310331", {}, {}},
};

class ProgramSession : public AppTest {
protected:
    void TearDown() override {
        gui::SetSaveDialogHook(nullptr);
        report::TBaseLRep::MessageHandler = nullptr;
        AppTest::TearDown();
    }
    // 追　加, then the editor filled field by field with its history and family rows
    // made through their own dialogs, then Ｏ　Ｋ.
    void AddThroughEditor(const NewEmployee& e) {
        bool shown = false;
        OnModal("FstaffDaityo", [&](QWidget* w) {
            shown = true;
            Type(w, "KeyEDT", QString::number(e.code));
            Type(w, "SimeiEDT", U(e.name));
            Type(w, "FuriganaEDT", U(e.kana));
            Type(w, "SeinenYMDEDT", U(e.birth));
            Child<QComboBox>(w, "BuCMB")->setCurrentText(U(e.bu));
            if (*e.retired) Type(w, "TaisyokuYMDEDT", U(e.retired));
            for (const auto& [date, text] : e.history) {
                OnModal("Fgakureki", [&](QWidget* d) {
                    Type(d, "YMDEDT", U(date));
                    Type(d, "NaiyoEDT", U(text));
                    Click(d, "MakatiButton1");
                });
                Click(w, "GakurekiaddBTN");
            }
            for (const auto& [seq, name, relation] : e.family) {
                OnModal("Fkazoku", [&](QWidget* d) {
                    Type(d, "SeqEDT", U(seq));
                    Type(d, "SimeiEDT", U(name));
                    Child<QComboBox>(d, "ZokugaraCMB")->setCurrentText(U(relation));
                    Click(d, "OkBTN");
                });
                Click(w, "KazokuAddBTN");
            }
            Click(w, "OkBTN");
        });
        Click(Fmain, "STAFFaddBTN");
        EXPECT_TRUE(shown) << e.code;
        EXPECT_EQ(FstaffDaityo, nullptr);
    }
    // A click on the column's title as the mouse gives it.
    static void ClickTitle(const QString& title) {
        TDBGridEx& grid = *Fmain->StaffGrid;
        int column = -1;
        for (int c = 0; c < grid.ColumnCount(); ++c)
            if (grid.ColumnTitle(c) == title) column = c;
        ASSERT_GE(column, 0) << title.toStdString();
        QHeaderView* header = grid.horizontalHeader();
        const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                        header->height() / 2);
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent event(type, at, header->viewport()->mapToGlobal(at), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(header->viewport(), &event);
        }
    }
    // The codes the staff list shows, top to bottom (its rows are Qstaff's records).
    static std::vector<int> Listed() {
        std::vector<int> codes;
        kura::TDataSet& q = *Fmain->Qstaff;
        for (q.First(); !q.Eof(); q.Next()) codes.push_back(q.FieldByName("StaffCD")->AsInteger());
        q.First();
        return codes;
    }
    static void SelectCodes(std::initializer_list<int> codes) {
        QItemSelectionModel* s = Fmain->StaffGrid->selectionModel();
        s->clearSelection();
        const std::vector<int> listed = Listed();
        for (int code : codes)
            for (int r = 0; r < static_cast<int>(listed.size()); ++r)
                if (listed[r] == code)
                    s->select(Fmain->StaffGrid->model()->index(r, 0),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    // The file the program wrote, as UTF-8 lines split at CR LF (a file ending in CR LF
    // ends with an empty line).
    std::vector<std::string> Lines(const std::string& path) const {
        const std::string text = platform::Cp932ToUtf8(Read(path));
        std::vector<std::string> lines;
        for (std::size_t at = 0;;) {
            const std::size_t end = text.find("\r\n", at);
            lines.push_back(text.substr(at, end - at));
            if (end == std::string::npos) break;
            at = end + 2;
        }
        return lines;
    }
    void Export(QAction* item, const std::string& path) {
        gui::SetSaveDialogHook([path](gui::TSaveDialog& d) {
            d.FileName = QString::fromStdString(path);
            d.FilterIndex = 1;
            return true;
        });
        item->trigger();
        gui::SetSaveDialogHook(nullptr);
    }
    // 労働者名簿印刷 for the selection, printed from the preview on the printer once the
    // preview has every page; answers the preview's page count (-1: no preview).
    static int PrintRegister(platform::TPrinter& printer) {
        int pages = -1;
        OnModal("LRstaffSheet", [&](QWidget*) {
            auto* wait = new QTimer;
            wait->setInterval(5);
            QObject::connect(wait, &QTimer::timeout, [&, wait] {
                if (LRstaffSheet->ThreadRunning()) return;
                wait->stop();
                wait->deleteLater();
                pages = LRstaffSheet->LRPreviewControl1.GetPageCount();
                LRstaffSheet->LightRep1->SetPrinter(&printer);
                LRstaffSheet->findChild<QAction*>("ActPrint")->trigger();
                LRstaffSheet->close();
            });
            wait->start();
        });
        Click(Fmain, "KanriSheetBTN");
        return pages;
    }
    std::vector<std::string> reportMessages;
};

TEST_F(ProgramSession, FromAnEmptyFolderThroughAllTheWorkToASecondStart) {
    namespace fs = std::filesystem;
    report::TBaseLRep::MessageHandler = [this](const std::string& text) { reportMessages.push_back(text); };

    // ---- first start in an empty folder ----
    ASSERT_TRUE(fs::is_empty(dir.path()));
    StartMain();
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    ASSERT_TRUE(fs::is_directory(dir.file("DB")));
    EXPECT_EQ(Fmain->JyokyoLBL->text(), U("人数：0 人"));
    EXPECT_FALSE(Fmain->STAFFeditBTN->isEnabled());
    Fmain->PageControl1->setCurrentWidget(Fmain->TabSheet2);
    QApplication::processEvents();

    for (const NewEmployee& e : kStaff) AddThroughEditor(e);
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    EXPECT_EQ(Fmain->JyokyoLBL->text(), U("人数：4 人"));
    EXPECT_EQ(Column("SELECT StaffCD FROM STAFF"), (std::vector<std::string>{"10", "20", "30", "40"}));
    EXPECT_EQ(Column("SELECT NAIYO, YMD FROM GAKUREKI WHERE StaffCD = 10 ORDER BY YMD"),
              (std::vector<std::string>{"東西高校卒業", "株式会社南北入社"}));
    EXPECT_EQ(Column("SELECT Zokugara, Seq FROM KAZOKU WHERE StaffCD = 10 ORDER BY Seq"),
              (std::vector<std::string>{"妻", "長男"}));
    EXPECT_EQ(Column("SELECT TaisyokuYMD FROM STAFF WHERE StaffCD = 40"), std::vector<std::string>{"2019/03/31"});
    EXPECT_FALSE(DMdata->DataDB->InTransaction());

    // ---- sort by kana, descending: two clicks on its title ----
    ClickTitle(U("ふりがな"));
    EXPECT_EQ(Listed(), (std::vector<int>{20, 30, 40, 10}));
    ClickTitle(U("ふりがな"));
    EXPECT_EQ(Listed(), (std::vector<int>{10, 40, 30, 20}));

    // ---- display settings: retired hidden, a larger font, the former name's column hidden ----
    QTimer::singleShot(0, [] {
        ASSERT_NE(FhyojiJyun, nullptr);
        FhyojiJyun->TaisyokuCB->setChecked(true);
        FhyojiJyun->FontSizeCB->setCurrentText("14");
        FhyojiJyun->CheckListBox1->item(3)->setCheckState(Qt::Unchecked);  // 旧姓
        FhyojiJyun->OkBTN->click();
    });
    Click(Fmain, "CuteButton6");
    EXPECT_EQ(Listed(), (std::vector<int>{10, 30, 20}));
    EXPECT_EQ(Fmain->JyokyoLBL->text(), U("人数：4 人"));  // the overview still counts everyone
    // The user drags the kana column to the front, widens it and turns auto-refresh off.
    Fmain->StaffGrid->horizontalHeader()->moveSection(2, 0);
    Fmain->StaffGrid->horizontalHeader()->resizeSection(0, 177);
    Click(Fmain, "JidoCB");
    EXPECT_TRUE(Fmain->SaisinBTN->isEnabled());

    // ---- both CSV exports ----
    Export(Fmain->PCP2, dir.file("staff.csv"));
    Export(Fmain->A1, dir.file("rireki.csv"));
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    const std::vector<std::string> staff = Lines(dir.file("staff.csv"));
    ASSERT_EQ(staff.size(), 6u);  // header, four employees in code order, nothing after the last CR LF
    EXPECT_EQ(staff[0].substr(0, 23), "StaffCD,Simei,Furigana,");
    const char* const staffStarts[] = {"10,\"渡辺 一郎\",\"わたなべ いちろう\"", "20,\"阿部 二郎\"", "30,\"加藤 三郎\"",
                                       "40,\"斎藤 四郎\""};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(staff[i + 1].rfind(staffStarts[i], 0), 0u) << staff[i + 1];
    EXPECT_EQ(staff[5], "");
    EXPECT_EQ(Lines(dir.file("rireki.csv")),
              (std::vector<std::string>{"StaffCD,YMD,NAIYO", "10,\"1989/03/31\",\"東西高校卒業\"",
                                        "10,\"2001/04/01\",\"株式会社南北入社\"", "20,\"2002/03/31\",\"北国大学卒業\"",
                                        "20,\"2002/04/01\",\"当社入社\"", ""}));

    // ---- the worker register of the two with history, printed to a PDF file ----
    SelectCodes({20, 10});
    const std::string pdf = dir.file("meibo.pdf");
    platform::TPrinter printer;
    printer.SetOutputFileName(pdf);
    printer.SetResolution(150);
    ASSERT_EQ(PrintRegister(printer), 2);
    ASSERT_TRUE(reportMessages.empty()) << reportMessages.front();
    EXPECT_EQ(LRstaffSheet, nullptr);
    EXPECT_EQ(report_test::PdfInfo(pdf, "Pages"), "2");
    auto page = [&](int n) {
        return report_test::RunCommand("pdftotext -f " + std::to_string(n) + " -l " + std::to_string(n) + " '" + pdf +
                                       "' - 2>/dev/null");
    };
    const std::string first = page(1), second = page(2);
    for (const char* text : {"労 働 者 名 簿", "渡辺 一郎", "東西高校卒業", "株式会社南北入社"})
        EXPECT_NE(first.find(text), std::string::npos) << text << "\n" << first;
    for (const char* text : {"労 働 者 名 簿", "阿部 二郎", "北国大学卒業", "当社入社"})
        EXPECT_NE(second.find(text), std::string::npos) << text << "\n" << second;
    EXPECT_EQ(first.find("阿部"), std::string::npos);
    EXPECT_EQ(second.find("渡辺"), std::string::npos);
    EXPECT_EQ(Listed(), (std::vector<int>{10, 30, 20}));

    // ---- delete employee 10, answering the question with Yes ----
    SelectCodes({10});
    messages.clear();
    answer = gui::mrYes;
    Click(Fmain, "STAFFdelBTN");
    EXPECT_EQ(messages, QStringList{U("渡辺 一郎に関する情報をすべて削除します。\n\rよろしいですか？")});
    EXPECT_EQ(Listed(), (std::vector<int>{30, 20}));
    EXPECT_EQ(Fmain->JyokyoLBL->text(), U("人数：3 人"));
    messages.clear();

    // ---- 終　了: the loop ends as the program's does, then the program ends ----
    const QRect bounds = Fmain->geometry();
    EXPECT_EQ(RunLoopUntilClosed([] { Click(Fmain, "CloseBTN"); }), 0);
    EndProgram();
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();

    // ---- second start on the same folder ----
    StartMain();
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    TFmain& m = *Fmain;
    const struct {
        const char* what;
        std::string got, expected;
    } settings[] = {
        {"sort key 1", m.Settings.Komoku[0], "ふりがな"},
        {"direction 1", m.Settings.Jyun[0], "降順"},
        {"sort key 2", m.Settings.Komoku[1], "（なし）"},
        {"hide retired", m.Settings.HiHyoji ? "on" : "off", "on"},
        {"auto-refresh", m.Settings.JidoKosin ? "on" : "off", "off"},
        {"auto-refresh box", m.JidoCB->isChecked() ? "on" : "off", "off"},
        {"refresh button", m.SaisinBTN->isEnabled() ? "on" : "off", "on"},
        {"font size", std::to_string(m.StaffGrid->GridFontSize()), "14"},
        {"first column", m.StaffGrid->Column(0).FieldName, "Furigana"},
        {"its width", std::to_string(m.StaffGrid->ColumnWidth(0)), "177"},
        {"second column", m.StaffGrid->Column(1).FieldName, "StaffCD"},
        {"former name shown", m.StaffGrid->Column(3).FieldName + (m.StaffGrid->Column(3).Visible ? " on" : " off"),
         "Kyusei off"},
        {"window", std::to_string(m.geometry().width()) + "x" + std::to_string(m.geometry().height()),
         std::to_string(bounds.width()) + "x" + std::to_string(bounds.height())},
        {"total", m.JyokyoLBL->text().toStdString(), "人数：3 人"},
    };
    for (const auto& s : settings) EXPECT_EQ(s.got, s.expected) << s.what;
    EXPECT_EQ(Listed(), (std::vector<int>{30, 20}));

    // Every table holds the survivors' rows and nothing of employee 10.
    const struct {
        const char* sql;
        std::vector<std::string> rows;
    } tables[] = {
        {"SELECT StaffCD FROM STAFF", {"20", "30", "40"}},
        {"SELECT Simei FROM STAFF WHERE StaffCD = 20", {"阿部 二郎"}},
        {"SELECT SeinenYMD FROM STAFF WHERE StaffCD = 20", {"1980/02/02"}},
        {"SELECT Bu FROM STAFF WHERE StaffCD = 20", {"総務"}},
        {"SELECT StaffCD FROM GAKUREKI", {"20", "20"}},
        {"SELECT NAIYO, YMD FROM GAKUREKI ORDER BY YMD", {"北国大学卒業", "当社入社"}},
        {"SELECT Simei FROM KAZOKU", {"阿部 和子"}},
        {"SELECT Zokugara FROM KAZOKU", {"母"}},
        {"SELECT StaffCD FROM RIREKISYO WHERE StaffCD = 10", {}},
        {"SELECT TaisyokuYMD FROM STAFF WHERE StaffCD = 40", {"2019/03/31"}},
    };
    for (const auto& t : tables) EXPECT_EQ(Column(t.sql), t.rows) << t.sql;

    // The survivor opens in the editor with its history and family.
    SelectCodes({20});
    bool seen = false;
    OnModal("FstaffDaityo", [&](QWidget* w) {
        auto* form = static_cast<TFstaffDaityo*>(w);
        seen = true;
        EXPECT_EQ(form->KeyEDT->text(), "20");
        EXPECT_EQ(Child<QLineEdit>(w, "SimeiEDT")->text(), U("阿部 二郎"));
        EXPECT_EQ(form->GakurekiGrid->model()->rowCount(), 2);
        EXPECT_EQ(form->KazokuGrid->model()->rowCount(), 1);
        Click(w, "CanBTN");
    });
    Click(Fmain, "STAFFeditBTN");
    EXPECT_TRUE(seen);
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
}

// The staff list as a person selects in it: Ctrl+click on two employees that are not
// next to each other, Ctrl+Space on the keyboard, the selection kept when the delete
// question is answered No and after the worker register's preview closes; both are
// printed and then both deleted.
TEST_F(ProgramSession, CtrlClickSelectsEmployeesApartAndBothArePrintedAndDeleted) {
    report::TBaseLRep::MessageHandler = [this](const std::string& text) { reportMessages.push_back(text); };
    StartMain();
    Fmain->PageControl1->setCurrentWidget(Fmain->TabSheet2);
    Fmain->resize(900, 700);
    QApplication::processEvents();
    for (const NewEmployee& e : kStaff) AddThroughEditor(e);
    ASSERT_EQ(Listed(), (std::vector<int>{10, 20, 30, 40}));
    TDBGridEx& grid = *Fmain->StaffGrid;
    auto click = [&](int row, Qt::KeyboardModifiers modifiers) {
        const QRect cell = grid.visualRect(grid.model()->index(row, 1));
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent event(type, cell.center(), grid.viewport()->mapToGlobal(cell.center()), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, modifiers);
            QApplication::sendEvent(grid.viewport(), &event);
        }
        QApplication::processEvents();
    };
    auto key = [&](int code, Qt::KeyboardModifiers modifiers) {
        QKeyEvent press(QEvent::KeyPress, code, modifiers, code == Qt::Key_Space ? " " : "");
        QApplication::sendEvent(&grid, &press);
        QApplication::processEvents();
    };
    // The codes of the selected rows as the grid shows them (column 0 is the code).
    auto selected = [&] {
        QModelIndexList rows = grid.selectionModel()->selectedRows();
        std::vector<int32_t> codes;
        for (const QModelIndex& r : rows) codes.push_back(grid.model()->index(r.row(), 0).data().toInt());
        std::sort(codes.begin(), codes.end());
        EXPECT_EQ(grid.SelectedRows().size(), codes.size());
        return codes;
    };
    click(0, Qt::NoModifier);
    click(2, Qt::ControlModifier);
    EXPECT_EQ(selected(), (std::vector<int32_t>{10, 30}));
    // The keyboard: Ctrl+Down moves without selecting, Ctrl+Space toggles.
    key(Qt::Key_Down, Qt::ControlModifier);
    key(Qt::Key_Space, Qt::ControlModifier);
    EXPECT_EQ(selected(), (std::vector<int32_t>{10, 30, 40}));
    key(Qt::Key_Space, Qt::ControlModifier);
    EXPECT_EQ(selected(), (std::vector<int32_t>{10, 30}));

    // The delete question answered No leaves the selection as it was.
    answer = gui::mrNo;
    Click(Fmain, "STAFFdelBTN");
    EXPECT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages.back().startsWith(U("渡辺 一郎、"))) << messages.back().toStdString();
    EXPECT_EQ(selected(), (std::vector<int32_t>{10, 30}));

    // The worker register of both, printed to a PDF file from the preview.
    const std::string pdf = dir.file("both.pdf");
    platform::TPrinter printer;
    printer.SetOutputFileName(pdf);
    printer.SetResolution(100);
    ASSERT_EQ(PrintRegister(printer), 2);
    ASSERT_TRUE(reportMessages.empty()) << reportMessages.front();
    EXPECT_EQ(report_test::PdfInfo(pdf, "Pages"), "2");
    const std::string text = report_test::RunCommand("pdftotext '" + pdf + "' - 2>/dev/null");
    for (const char* name : {"渡辺 一郎", "加藤 三郎"}) EXPECT_NE(text.find(name), std::string::npos) << name;
    EXPECT_EQ(text.find("阿部"), std::string::npos);
    EXPECT_EQ(selected(), (std::vector<int32_t>{10, 30}));

    // Yes: both go, with their history and family rows; the others stay.
    messages.clear();
    answer = gui::mrYes;
    Click(Fmain, "STAFFdelBTN");
    EXPECT_EQ(messages, QStringList{U("渡辺 一郎、\n\r他1人に関する情報をすべて削除します。\n\rよろしいですか？")});
    EXPECT_EQ(Listed(), (std::vector<int>{20, 40}));
    EXPECT_EQ(Column("SELECT StaffCD FROM GAKUREKI WHERE StaffCD = 10"), std::vector<std::string>{});
    EXPECT_EQ(Column("SELECT StaffCD FROM KAZOKU"), std::vector<std::string>{"20"});
}

// 追　加 as a person meets its refusals: a code that is taken, then a birth date that is
// no date; each time the message, the editor still in insert mode with everything typed
// (notes, job description and photograph included), and after the corrections one Ｏ　Ｋ
// stores it all and the list shows the new employee.
TEST_F(ProgramSession, ARefusedSaveKeepsEverythingTypedUntilTheCorrectedSave) {
    StartMain();
    Fmain->PageControl1->setCurrentWidget(Fmain->TabSheet2);
    AddThroughEditor(kStaff[2]);  // 30 加藤 三郎
    QImage photo(60, 80, QImage::Format_RGB32);
    photo.fill(QColor(20, 160, 90));
    messages.clear();
    bool shown = false;
    OnModal("FstaffDaityo", [&](QWidget* w) {
        shown = true;
        auto* form = static_cast<TFstaffDaityo*>(w);
        Type(w, "KeyEDT", "30");
        Type(w, "SimeiEDT", U("木村 花"));
        Type(w, "SeinenYMDEDT", "H020202");
        Child<QPlainTextEdit>(w, "BikoMEMO")->setPlainText(U("通勤：自転車"));
        Child<QPlainTextEdit>(w, "GyomuNaiyoMEMO")->setPlainText(U("受付"));
        form->Tstaff->Edit();
        StorePicture(form->Tstaff->FieldByName("Photo"), photo);
        form->ShowPhoto();
        auto typed = [&] {
            return std::vector<QString>{form->KeyEDT->text(), Child<QLineEdit>(w, "SimeiEDT")->text(),
                                        Child<QPlainTextEdit>(w, "BikoMEMO")->toPlainText(),
                                        Child<QPlainTextEdit>(w, "GyomuNaiyoMEMO")->toPlainText(),
                                        form->PhotoIMG->pixmap().isNull() ? "" : "photo"};
        };
        const std::vector<QString> before = typed();
        Click(w, "OkBTN");  // the code is taken
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages[0].contains("Duplicate key")) << messages[0].toStdString();
        EXPECT_EQ(form->ModeLBL->text(), U("追加"));
        EXPECT_EQ(typed(), before);
        Type(w, "KeyEDT", "31");
        Type(w, "SeinenYMDEDT", "H021302");  // month 13: the save stops at the date
        Click(w, "OkBTN");
        EXPECT_TRUE(w->isVisible());
        EXPECT_EQ(w->focusWidget(), Child<QLineEdit>(w, "SeinenYMDEDT"));
        EXPECT_EQ(Child<QLineEdit>(w, "SeinenYMDEDT")->text(), "H021302");
        EXPECT_EQ(form->ModeLBL->text(), U("追加"));
        Type(w, "SeinenYMDEDT", "H020202");
        messages.clear();
        Click(w, "OkBTN");
        EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    });
    Click(Fmain, "STAFFaddBTN");
    ASSERT_TRUE(shown);
    EXPECT_EQ(Listed(), (std::vector<int>{30, 31}));
    const std::string where = " FROM STAFF WHERE StaffCD = 31";
    const struct {
        const char* column;
        std::string value;
    } stored[] = {{"Simei", "木村 花"}, {"SeinenYMD", "1990/02/02"}, {"Biko", "通勤：自転車"}, {"GyomuNaiyo", "受付"}};
    for (const auto& v : stored) EXPECT_EQ(Column(std::string("SELECT ") + v.column + where), std::vector<std::string>{v.value});
    kura::TKuraTable& t = *DMdata->Tstaff;
    t.Close();
    t.Open();
    t.SetKey();
    t.FieldByName("StaffCD")->SetAsInteger(31);
    ASSERT_TRUE(t.GotoKey());
    EXPECT_EQ(LoadPicture(t.FieldByName("Photo")).pixel(30, 40), photo.pixel(30, 40));
    t.Close();
}

// Two desks on one folder, then the data menu's windows as a person uses them: the
// other desk (the real program in a process of its own) edits an employee while this
// one tries another and is told at once who holds the tables, then sees the other's
// change; table maintenance adds a row with every other row in sight and Enter moving
// to the next cell, and a failed import says which line stopped it, leaves nothing of
// the file and Cancel brings the rows back; the SQL window copies the staff into a
// table encrypted with a password, which is then asked for.
TEST_F(ProgramSession, TwoDesksTableMaintenanceAFailedImportAndAnEncryptedCopy) {
    namespace fs = std::filesystem;
    StartMain();
    for (int i = 0; i < 3; ++i) AddThroughEditor(kStaff[i]);
    // The second start upgrades a table, which needs it alone: before the other desk.
    EXPECT_EQ(RunLoopUntilClosed([] { Click(Fmain, "CloseBTN"); }), 0);
    EndProgram();
    StartMain();
    Fmain->PageControl1->setCurrentWidget(Fmain->TabSheet2);
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();

    // ---- the other desk edits 阿部; this desk tries 渡辺 meanwhile ----
    kura::test::ChildProcess desk(KURA_TEST_DESK, {dir.path()});
    ASSERT_EQ(desk.readLine(60000), "ready");
    desk.send("open 20");
    ASSERT_EQ(desk.readLine(), "editing 20");
    desk.send("simei 阿部 次郎");
    EXPECT_EQ(desk.readLine(), "ok");
    SelectCodes({10});
    Click(Fmain, "STAFFeditBTN");
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains(QString::fromUtf8("プロセス番号 %1").arg(desk.pid()))) << messages[0].toStdString();
    messages.clear();
    desk.send("ok");
    EXPECT_EQ(desk.readLine(), "ok");
    EXPECT_EQ(desk.readLine(), "closed");
    Click(Fmain, "SaisinBTN");
    EXPECT_EQ(Column("SELECT Simei FROM STAFF WHERE StaffCD = 20"), std::vector<std::string>{"阿部 次郎"});
    desk.send("quit");
    EXPECT_EQ(desk.wait(20000), 0);

    // ---- table maintenance: a row added, Enter, OK ----
    OnModal("Fstaff", [&](QWidget* w) {
        auto* grid = w->findChild<gui::TDBGrid*>("DBGrid1");
        ASSERT_NE(grid, nullptr);
        ASSERT_EQ(grid->model()->rowCount(), 3);
        int code = -1, name = -1;
        for (int c = 0; c < grid->ColumnCount(); ++c) {
            if (grid->ColumnTitle(c) == "StaffCD") code = c;
            if (grid->ColumnTitle(c) == "Simei") name = c;
        }
        Click(w, "AddBTN");
        ASSERT_EQ(grid->model()->rowCount(), 4);
        EXPECT_EQ(grid->model()->index(1, name).data().toString(), U("阿部 次郎"));
        EXPECT_EQ(grid->model()->index(2, name).data().toString(), U("加藤 三郎"));
        EXPECT_TRUE(grid->model()->setData(grid->model()->index(3, code), "50", Qt::EditRole));
        w->activateWindow();
        grid->setFocus();
        grid->setCurrentIndex(grid->model()->index(3, code));
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
        QApplication::sendEvent(grid, &enter);
        EXPECT_EQ(grid->model()->rowCount(), 4);
        EXPECT_EQ(grid->model()->index(0, name).data().toString(), U("渡辺 一郎"));
        EXPECT_TRUE(grid->model()->setData(grid->model()->index(3, name), U("新井 五郎"), Qt::EditRole));
        Click(w, "BitBtn2");
    });
    Fmain->findChild<QAction*>("Staff1")->trigger();
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    EXPECT_EQ(Column("SELECT Simei FROM STAFF WHERE StaffCD = 50"), std::vector<std::string>{"新井 五郎"});

    // ---- a failed import: line 3 of the file holds no code ----
    std::ofstream(dir.file("staff.csv"), std::ios::binary) << "StaffCD,Simei\r\n60,\"a\"\r\nabc,\"b\"\r\n61,\"c\"\r\n";
    answer = gui::mrYes;
    SetFileDialogHook([&](TFileDialog& d) {
        d.FileName = QString::fromStdString(dir.file("staff.csv"));
        return true;
    });
    OnModal("Fstaff", [&](QWidget* w) {
        Click(w, "InportBTN");
        EXPECT_EQ(w->findChild<gui::TDBGrid*>("DBGrid1")->model()->rowCount(), 0);
        Click(w, "BitBtn1");
    });
    Fmain->findChild<QAction*>("Staff1")->trigger();
    SetFileDialogHook(nullptr);
    answer = gui::mrOk;
    ASSERT_EQ(messages.size(), 2);
    EXPECT_TRUE(messages[1].startsWith(U("インポートに失敗しましたが元のデータは消されています\n\r復活させるにはキャンセルを押してください\n\r\n\r3 行目、項目 StaffCD：")))
        << messages[1].toStdString();
    messages.clear();
    EXPECT_EQ(Column("SELECT StaffCD FROM STAFF"), (std::vector<std::string>{"10", "20", "30", "50"}));

    // ---- SELECT … INTO … ENCRYPTED in the SQL window, then read back ----
    DMdata->Session1->RemoveAllPasswords();
    int asked = 0;
    const auto answering = AnswerPasswords([] { return QString("himitsu"); }, asked);
    int rows = -1;
    OnModal("Fsql", [&](QWidget* w) {
        auto* sql = static_cast<TFsql*>(w);
        sql->Memo1->setPlainText("SELECT StaffCD, Simei INTO Kakushi FROM STAFF ENCRYPTED WITH 'himitsu'");
        sql->CuteButton1->click();
        sql->Memo1->setPlainText("SELECT StaffCD, Simei FROM Kakushi ORDER BY StaffCD");
        sql->CuteButton1->click();
        rows = sql->DBGridEx1->model()->rowCount();
        EXPECT_EQ(sql->DBGridEx1->model()->index(0, 1).data().toString(), U("渡辺 一郎"));
        sql->close();
    });
    Fmain->findChild<QAction*>("SQL1")->trigger();
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    EXPECT_EQ(rows, 4);
    EXPECT_EQ(asked, 1);  // the copy is encrypted: its password is asked for
    std::string stored;
    for (const auto& entry : fs::directory_iterator(dir.file("DB")))
        if (QString::fromStdString(entry.path().filename().string()).compare("KAKUSHI.DAT", Qt::CaseInsensitive) == 0)
            stored = Read(entry.path().string());
    ASSERT_GT(stored.size(), 100u);
    EXPECT_EQ(stored.find(Sjis("渡辺")), std::string::npos);
    EXPECT_EQ(stored.find(Sjis("新井")), std::string::npos);
}

// The main window opens where it was closed, start after start: ten restarts of the
// program leave its bounds as the first start left them.
TEST_F(ProgramSession, TheMainWindowKeepsItsPlaceOverTenRestarts) {
    StartMain();
    Fmain->setGeometry(60, 80, 520, 380);
    const QRect placed = Fmain->geometry();
    for (int start = 0; start < 10; ++start) {
        EXPECT_EQ(RunLoopUntilClosed([] { Click(Fmain, "CloseBTN"); }), 0);
        EndProgram();
        StartMain();
        ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
        EXPECT_EQ(Fmain->geometry(), placed) << "start " << start + 2;
    }
}

}  // namespace
}  // namespace app::test
