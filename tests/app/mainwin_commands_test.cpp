// The main window's commands and menus driven by object name: the delete's question
// for one and for several employees, the rows of all four tables gone with it, and
// each menu item and button opening its window.
#include <QAction>
#include <QItemSelectionModel>
#include <QMenu>
#include <QTimer>

#include "app/DBGridEx.h"
#include "app/LRstaffSheet.h"
#include "app/MakatiButton.h"
#include "components/KuraDatabase.h"
#include "platform/gui/Desktop.h"
#include "tests/app/EditorTestSupport.h"
#include "tests/app/StaffRows.h"

namespace app::test {
namespace {

class MainCommands : public EditorTest {
protected:
    void SetUp() override {
        EditorTest::SetUp();
        AddStaffRows(5);
        for (int code = 1; code <= 5; ++code)
            for (const char* table : {"GAKUREKI", "KAZOKU", "RIREKISYO"}) Exec(table, code);
        Fmain->SaisinBTNClick();
        Fmain->PageControl1->setCurrentWidget(Fmain->TabSheet2);
    }
    static void Exec(const char* table, int code) {
        kura::TKuraQuery q;
        q.SetDatabaseName("DataDB");
        q.SetSessionName("MySession");
        const std::string t = table, c = std::to_string(code);
        q.SetSQL(t == "KAZOKU" ? "INSERT INTO KAZOKU (StaffCD, Seq, Simei) VALUES (" + c + ", 1, 'K')"
                               : "INSERT INTO " + t + " (StaffCD) VALUES (" + c + ")");
        q.ExecSQL();
    }
    static int Count(const char* table) {
        return static_cast<int>(Column(std::string("SELECT StaffCD FROM ") + table).size());
    }
    void SelectRows(std::initializer_list<int> rows) {
        QItemSelectionModel* s = Fmain->StaffGrid->selectionModel();
        s->clearSelection();
        for (int r : rows)
            s->select(Fmain->StaffGrid->model()->index(r, 0),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    static int Rows() {
        kura::TDataSet& q = *Fmain->Qstaff;
        int n = 0;
        for (q.First(); !q.Eof(); q.Next()) ++n;
        return n;
    }
    QAction* Action(const char* name) { return Fmain->findChild<QAction*>(name); }
};

TEST_F(MainCommands, DeletingOneEmployeeAsksByNameAndEmptiesAllFourTables) {
    ASSERT_EQ(Count("STAFF"), 5);
    Fmain->Qstaff->First();
    Fmain->Qstaff->Next();
    SelectRows({1});
    answer = gui::mrYes;
    Click(Fmain, "STAFFdelBTN");
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0], QString::fromUtf8("N2に関する情報をすべて削除します。\n\rよろしいですか？"));
    EXPECT_EQ(Column("SELECT StaffCD FROM STAFF WHERE StaffCD = 2"), std::vector<std::string>{});
    for (const char* table : {"STAFF", "GAKUREKI", "KAZOKU", "RIREKISYO"}) EXPECT_EQ(Count(table), 4) << table;
    EXPECT_FALSE(DMdata->DataDB->InTransaction());
    EXPECT_EQ(Rows(), 4);
}

TEST_F(MainCommands, DeletingSeveralNamesTheFirstAndCountsTheOthers) {
    SelectRows({0, 2, 3, 4});
    answer = gui::mrYes;
    Click(Fmain, "STAFFdelBTN");
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0], QString::fromUtf8("N1、\n\r他3人に関する情報をすべて削除します。\n\rよろしいですか？"));
    EXPECT_EQ(Column("SELECT StaffCD FROM STAFF"), std::vector<std::string>{"2"});
    for (const char* table : {"GAKUREKI", "KAZOKU", "RIREKISYO"}) EXPECT_EQ(Count(table), 1) << table;
}

TEST_F(MainCommands, AnsweringNoDeletesNothing) {
    SelectRows({0, 1});
    answer = gui::mrNo;
    Click(Fmain, "STAFFdelBTN");
    for (const char* table : {"STAFF", "GAKUREKI", "KAZOKU", "RIREKISYO"}) EXPECT_EQ(Count(table), 5) << table;
}

TEST_F(MainCommands, DeletingAnEmployeeAnotherProgramRemovedSaysSoAndRefreshes) {
    SelectRows({0});
    // Employee 1 goes behind the list's back.
    kura::TKuraQuery q;
    q.SetDatabaseName("DataDB");
    q.SetSessionName("MySession");
    q.SetSQL("DELETE FROM STAFF WHERE StaffCD = 1");
    q.ExecSQL();
    answer = gui::mrYes;
    Click(Fmain, "STAFFdelBTN");
    ASSERT_EQ(messages.size(), 2);
    EXPECT_TRUE(messages[1].contains(QString::fromUtf8("削除されています")));
    EXPECT_EQ(Count("GAKUREKI"), 5);
    EXPECT_EQ(Rows(), 4);
}

TEST_F(MainCommands, EachMenuItemOpensItsWindowAndFreesIt) {
    const std::pair<const char*, const char*> items[] = {
        {"Staff1", "Fstaff"}, {"SQL1", "Fsql"}, {"Version1", "Fversion"}};
    for (const auto& [action, window] : items) {
        bool seen = false;
        OnModal(window, [&](QWidget* w) {
            seen = true;
            w->close();
        });
        ASSERT_NE(Action(action), nullptr) << action;
        Action(action)->trigger();
        EXPECT_TRUE(seen) << action;
    }
    EXPECT_EQ(Fstaff, nullptr);
    EXPECT_EQ(Fsql, nullptr);
    EXPECT_EQ(Fversion, nullptr);
    EXPECT_FALSE(DMdata->DataDB->InTransaction());
    // The read-me opens (or says it has none and closes).
    bool seen = false;
    OnModal("FreadMe", [&](QWidget* w) {
        seen = true;
        w->close();
    });
    Action("ReadMe1")->trigger();
    EXPECT_TRUE(seen || !messages.isEmpty());
    EXPECT_EQ(FreadMe, nullptr);
    for (const char* name : {"Help2", "Exit1", "N9", "N11", "Copy1", "Edit1", "Delete1", "Print1", "PCP2", "A1"})
        EXPECT_NE(Action(name), nullptr) << name;
    EXPECT_FALSE(Action("Option1")->isVisible());
}

TEST_F(MainCommands, EditAndAddOpenTheEditor) {
    SelectRows({2});
    bool seen = false;
    OnModal("FstaffDaityo", [&](QWidget* w) {
        seen = Child<QLineEdit>(w, "KeyEDT")->text() == "3";
        Click(w, "CanBTN");
    });
    Click(Fmain, "STAFFeditBTN");
    EXPECT_TRUE(seen);
    EXPECT_EQ(FstaffDaityo, nullptr);
    OnModal("FstaffDaityo", [&](QWidget* w) {
        Type(w, "KeyEDT", "9");
        Type(w, "SimeiEDT", "N9");
        Click(w, "OkBTN");
    });
    Click(Fmain, "STAFFaddBTN");
    EXPECT_EQ(Rows(), 6);
    EXPECT_FALSE(DMdata->DataDB->InTransaction());
}

TEST_F(MainCommands, PrintShowsTheRegisterOfTheChosenEmployees) {
    SelectRows({1, 3});
    int pages = -1;
    OnModal("LRstaffSheet", [&](QWidget*) {
        auto* t = new QTimer;
        t->setInterval(5);
        QObject::connect(t, &QTimer::timeout, [&, t] {
            if (LRstaffSheet->ThreadRunning()) return;
            t->stop();
            t->deleteLater();
            pages = LRstaffSheet->LRPreviewControl1.GetPageCount();
            LRstaffSheet->close();
        });
        t->start();
    });
    Click(Fmain, "KanriSheetBTN");
    EXPECT_EQ(pages, 2);
    EXPECT_EQ(LRstaffSheet, nullptr);
    EXPECT_EQ(Rows(), 5);
}

TEST_F(MainCommands, CopiesPutTheRowsOnTheClipboard) {
    Action("N9")->trigger();
    EXPECT_TRUE(gui::ClipboardText().contains("N5"));
    Action("N11")->trigger();
    EXPECT_TRUE(gui::ClipboardText().contains("N3"));
}

}  // namespace
}  // namespace app::test
