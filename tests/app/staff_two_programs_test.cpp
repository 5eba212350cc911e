// Two programs on one "DB" folder: the editor's record lock keeps the other program
// out of the employee being edited, its commit is seen by the other afterwards, and
// a program killed in the middle of its transaction leaves nothing half written.
// With the real program as the other desk: an editor open there never freezes this one.
#include <signal.h>
#include <unistd.h>

#include <optional>
#include <QLabel>
#include <QPlainTextEdit>
#include <functional>

#include "app/DBGridEx.h"
#include "app/MasterMente.h"
#include "app/SqlWindow.h"
#include "app/TransactionStart.h"
#include "components/KuraDatabase.h"
#include "components/KuraTable.h"
#include "platform/CodePage.h"
#include "tests/app/EditorTestSupport.h"

namespace app::test {
namespace {

using kura::test::ChildProcess;

class TwoPrograms : public EditorTest {
protected:
    std::unique_ptr<ChildProcess> Other() {
        auto child = std::make_unique<ChildProcess>(std::vector<std::string>{"staff-shell", dir.file("DB")});
        EXPECT_EQ(child->readLine(), "ready");
        return child;
    }
    static std::string Simei(const char* utf8) { return "simei " + platform::Utf8ToCp932(utf8); }
};

TEST_F(TwoPrograms, TheEmployeeBeingEditedIsRefusedToTheOtherAndItsChangeSeenAfterOK) {
    AddStaff(7, "佐藤");
    auto other = Other();
    OnModal("FstaffDaityo", [&](QWidget* w) {
        Type(w, "SimeiEDT", QString::fromUtf8("鈴木"));
        other->send("edit 7");
        EXPECT_EQ(other->readLine().rfind("error ", 0), 0u);
        Click(w, "OkBTN");
    });
    ASSERT_EQ(OpenStaffEditor(7), gui::mrOk);
    other->send("read 7");
    EXPECT_EQ(other->readLine(), Simei("鈴木"));
    // Free again: the other program edits it now.
    other->send("edit 7");
    EXPECT_EQ(other->readLine(), "ok");
    other->send("cancel");
    EXPECT_EQ(other->readLine(), "ok");
    other->send("quit");
    EXPECT_EQ(other->wait(), 0);
}

TEST_F(TwoPrograms, AnEmployeeTheOtherEditsCannotBeOpenedAndNothingIsLeftOpen) {
    AddStaff(7, "佐藤");
    auto other = Other();
    other->send("edit 7");
    ASSERT_EQ(other->readLine(), "ok");
    EXPECT_EQ(OpenStaffEditor(7), gui::mrCancel);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("is in use by another user")) << messages[0].toStdString();
    EXPECT_EQ(FstaffDaityo, nullptr);
    EXPECT_FALSE(DMdata->DataDB->InTransaction());
    other->send("cancel");
    EXPECT_EQ(other->readLine(), "ok");
    OnModal("FstaffDaityo", [&](QWidget* w) { Click(w, "CanBTN"); });
    EXPECT_EQ(OpenStaffEditor(7), gui::mrCancel);
    EXPECT_EQ(messages.size(), 1);
    other->send("quit");
    EXPECT_EQ(other->wait(), 0);
}

TEST_F(TwoPrograms, AProgramKilledWhileEditingLeavesNothingHalfWritten) {
    AddStaff(7, "佐藤");
    auto other = Other();
    for (const char* line : {"begin", "edit 7", "simei X", "family 7 1 Y"}) {
        other->send(line);
        ASSERT_EQ(other->readLine(), "ok") << line;
    }
    other->kill(SIGKILL);
    other->wait();
    CloseMain();
    StartMain();
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    EXPECT_EQ(Column("SELECT SIMEI FROM STAFF WHERE STAFFCD = 7"), std::vector<std::string>{"佐藤"});
    EXPECT_TRUE(Column("SELECT SIMEI FROM KAZOKU").empty());
    // And the employee can be edited again.
    OnModal("FstaffDaityo", [&](QWidget* w) { Click(w, "CanBTN"); });
    EXPECT_EQ(OpenStaffEditor(7), gui::mrCancel);
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
}

// The delete removes an employee from four tables in one transaction: when the other
// program holds the employee's STAFF row, the delete fails as a whole and every table
// keeps the employee's rows; once the row is free the delete takes all of them.
TEST_F(TwoPrograms, ADeleteTheOtherProgramBlocksLeavesAllFourTablesWhole) {
    AddStaff(7, "佐藤");
    AddStaff(8, "鈴木");
    for (const char* sql : {"INSERT INTO GAKUREKI (StaffCD, YMD, NAIYO) VALUES (7, '2001-04-01', 'x')",
                            "INSERT INTO KAZOKU (StaffCD, Seq, Simei) VALUES (7, 1, 'k')",
                            "INSERT INTO RIREKISYO (StaffCD) VALUES (7)"}) {
        kura::TKuraQuery q;
        q.SetDatabaseName("DataDB");
        q.SetSessionName("MySession");
        q.SetSQL(sql);
        q.ExecSQL();
    }
    const char* const tables[] = {"STAFF", "GAKUREKI", "KAZOKU", "RIREKISYO"};
    auto rowsOf7 = [&] {
        std::vector<std::size_t> counts;
        for (const char* t : tables) counts.push_back(Column(std::string("SELECT StaffCD FROM ") + t + " WHERE StaffCD = 7").size());
        return counts;
    };
    ASSERT_EQ(rowsOf7(), (std::vector<std::size_t>{1, 1, 1, 1}));
    Fmain->SaisinBTNClick();
    auto other = Other();
    other->send("edit 7");
    ASSERT_EQ(other->readLine(), "ok");
    Fmain->Qstaff->First();  // employee 7, the current row
    answer = gui::mrYes;
    Click(Fmain, "STAFFdelBTN");
    ASSERT_EQ(messages.size(), 2);
    EXPECT_EQ(messages[1], QString::fromUtf8("削除に失敗しました"));
    EXPECT_EQ(rowsOf7(), (std::vector<std::size_t>{1, 1, 1, 1}));
    EXPECT_FALSE(DMdata->DataDB->InTransaction());
    other->send("cancel");
    EXPECT_EQ(other->readLine(), "ok");
    messages.clear();
    Fmain->Qstaff->First();
    Click(Fmain, "STAFFdelBTN");
    EXPECT_EQ(messages.size(), 1);
    EXPECT_EQ(rowsOf7(), (std::vector<std::size_t>{0, 0, 0, 0}));
    EXPECT_EQ(Column("SELECT StaffCD FROM STAFF"), std::vector<std::string>{"8"});
    other->send("quit");
    EXPECT_EQ(other->wait(), 0);
}

// Two desks: this program and the real program in a second process on one folder.
class TwoDesks : public EditorTest {
protected:
    std::unique_ptr<ChildProcess> Desk() {
        // This program's second start upgrades Gakureki (it needs the table to itself,
        // and waits for a start that has it alone): both desks then work on the
        // finished tables.
        CloseMain();
        StartMain();
        EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
        auto desk = std::make_unique<ChildProcess>(KURA_TEST_DESK, std::vector<std::string>{dir.path()});
        EXPECT_EQ(desk->readLine(60000), "ready");
        return desk;
    }
    // What the event loop did while the user's action ran: how often it ran a 10 ms
    // timer (it stands still while the program is frozen), and whether a start waited
    // for the other desk meanwhile (its busy cursor was up at one of those runs). Counted
    // in events, never in time, so that a loaded machine changes nothing.
    struct Took {
        int ticks = 0;
        bool waited = false;
    };
    // The action being watched; callbacks inside it read how far it got.
    static inline Took* watched = nullptr;
    static Took Measure(const std::function<void()>& act) {
        Took took;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            ++took.ticks;
            if (QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::BusyCursor)
                took.waited = true;
        });
        ticker.start(10);
        Took* outer = std::exchange(watched, &took);
        act();
        watched = outer;
        return took;
    }
    // Measure for something the other desk refuses: a window of this program left open
    // meanwhile (it would keep the test waiting) is a failure and is closed.
    static Took MeasureRefused(const std::function<void()>& act) {
        QTimer late;
        late.setSingleShot(true);
        QObject::connect(&late, &QTimer::timeout, [] {
            if (auto* window = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                ADD_FAILURE() << window->objectName().toStdString() << " opened although refused";
                window->reject();
            }
        });
        late.start(TransactionWaitMs + 3000);
        return Measure(act);
    }
    // Makes the employee's row of this program's staff list the current one, the list
    // read again first or as it stands.
    static void ChooseRow(int code, bool refresh = true) {
        if (refresh) Fmain->SaisinBTNClick();
        kura::TDataSet& q = *Fmain->Qstaff;
        for (q.First(); !q.Eof() && q.FieldByName("StaffCD")->AsInteger() != code;) q.Next();
        EXPECT_FALSE(q.Eof()) << code;
    }
    // Double-clicks the employee's row in this program's staff list, as a person opens
    // it; answers what the event loop did meanwhile.
    Took DoubleClick(int code, bool refresh = true) {
        ChooseRow(code, refresh);
        return Measure([] { Q_EMIT Fmain->StaffGrid->doubleClicked(Fmain->StaffGrid->currentIndex()); });
    }
    // Opens table maintenance, gives its first row the name and saves with OK; answers
    // the name the row had.
    static QString RenameInTableMaintenance(const std::string& name) {
        QString had;
        OnModal("Fstaff", [&](QWidget* f) {
            kura::TKuraTable& t = *static_cast<TFstaff*>(f)->Table1;
            had = QString::fromStdString(t.FieldByName("Simei")->AsString());
            gui::Guarded([&] {
                t.Edit();
                t.FieldByName("Simei")->SetAsString(name);
            });
            Click(f, "BitBtn2");
        });
        Fmain->findChild<QAction*>("Staff1")->trigger();
        return had;
    }
    // Runs a statement in the SQL window as the user does, confirming a change.
    void RunSql(TFsql& window, const char* text) {
        window.findChild<QPlainTextEdit*>("Memo1")->setPlainText(QString::fromUtf8(text));
        Click(&window, "CuteButton1");
    }
    // The message said while the other desk (process `holder`) holds the tables: the
    // refusal, the table and the holder, after a wait that the event loop ran through.
    void ExpectHeld(const Took& took, const QString& refusal, pid_t holder) {
        ASSERT_FALSE(messages.isEmpty());
        const std::string said = messages.back().toStdString();
        EXPECT_TRUE(messages.back().startsWith(refusal)) << said;
        EXPECT_TRUE(messages.back().contains(QString::fromUtf8("使用中のテーブル：STAFF"), Qt::CaseInsensitive)) << said;
        EXPECT_TRUE(messages.back().contains(QString::fromUtf8("プロセス番号 %1").arg(holder))) << said;
        EXPECT_TRUE(took.waited);
        EXPECT_GE(took.ticks, 10) << "the event loop stood still while it waited";
        EXPECT_FALSE(DMdata->DataDB->InTransaction());
        EXPECT_EQ(FstaffDaityo, nullptr);
        EXPECT_EQ(Fstaff, nullptr);
    }
};

// The other desk has employee 31 open in its editor (its transaction holds every
// table). Here employee 32 does not freeze the program: within two seconds it says
// what is held and by which program (the other desk's process), the event loop
// running all the while, and nothing is left open; 31 itself is "in use". Once the
// other desk closes its editor, 32 opens at once. And the other way round: while this
// program edits, the other desk answers at once and says the same of this program.
TEST_F(TwoDesks, AnEditorOpenOnTheOtherDeskNeverFreezesThisOne) {
    AddStaff(31, "佐藤");
    AddStaff(32, "鈴木");
    auto desk = Desk();
    desk->send("open 31");
    ASSERT_EQ(desk->readLine(), "editing 31");

    const Took took = DoubleClick(32);
    ASSERT_EQ(messages.size(), 1);
    const std::string said = messages[0].toStdString();
    EXPECT_TRUE(messages[0].startsWith(QString::fromUtf8("他のプログラムが編集中のため、従業員コード 32 を開けません。")))
        << said;
    EXPECT_TRUE(messages[0].contains("STAFF", Qt::CaseInsensitive)) << said;
    EXPECT_TRUE(messages[0].contains(QString::fromUtf8("プロセス番号 %1").arg(desk->pid()))) << said;
    EXPECT_TRUE(took.waited);
    EXPECT_GE(took.ticks, 10) << "the event loop stood still while it waited";
    EXPECT_EQ(FstaffDaityo, nullptr);
    EXPECT_FALSE(DMdata->DataDB->InTransaction());
    // The employee the other desk edits is refused as in use.
    messages.clear();
    DoubleClick(31);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("is in use by another user")) << messages[0].toStdString();

    desk->send("cancel");
    EXPECT_EQ(desk->readLine(), "ok");
    EXPECT_EQ(desk->readLine(), "closed");
    messages.clear();
    std::optional<bool> waitedBeforeShown;
    OnModal("FstaffDaityo", [&](QWidget* w) {
        waitedBeforeShown = watched->waited;
        // This program edits 32 now: the other desk is told so at once, and answers
        // meanwhile.
        desk->send("open 31");
        desk->send("ping");
        EXPECT_EQ(desk->readLine(), "pong");
        const std::string message = desk->readLine();
        EXPECT_EQ(message.rfind("message 他のプログラムが編集中のため、従業員コード 31 を開けません。", 0), 0u) << message;
        EXPECT_NE(message.find("プロセス番号 " + std::to_string(getpid())), std::string::npos) << message;
        EXPECT_EQ(desk->readLine(), "closed");
        Click(w, "CanBTN");
    });
    DoubleClick(32);
    EXPECT_EQ(waitedBeforeShown, false);  // at once: nothing it needs is held
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    desk->send("quit");
    EXPECT_EQ(desk->wait(20000), 0);
}

// Every other way this program starts a transaction, while the other desk's editor
// holds the tables: each says within two seconds what is held and by which program,
// the event loop running all the while, and changes nothing; what only reads goes on
// at once. Once the other desk closes its editor, each runs at once.
TEST_F(TwoDesks, EveryChangeSaysWhoHoldsTheTablesInsteadOfFreezing) {
    AddStaff(31, "佐藤");
    AddStaff(32, "鈴木");
    auto desk = Desk();
    desk->send("open 31");
    ASSERT_EQ(desk->readLine(), "editing 31");
    TFsql sql;
    sql.show();
    const std::vector<std::string> before{"佐藤", "鈴木"};
    const auto names = [] { return Column("SELECT Simei, StaffCD FROM STAFF ORDER BY StaffCD"); };

    const struct {
        const char* what;
        const char* refusal;
        int messages;  // a change asks first
        int answer;    // to the question: go on
        std::function<void()> act;
    } changes[] = {
        {"a new employee", "他のプログラムが編集中のため、従業員を追加できません。", 1, gui::mrOk,
         [] { Click(Fmain, "STAFFaddBTN"); }},
        {"the editor shown without its start", "他のプログラムが編集中のため、従業員を開けません。", 1, gui::mrOk,
         [] {
             std::unique_ptr<TFstaffDaityo> form(FstaffDaityo = new TFstaffDaityo);
             form->Tstaff->Open();
             form->Tstaff->Append();
             EXPECT_EQ(form->exec(), gui::mrCancel);
             EXPECT_EQ(form->Tstaff->State(), kura::dsBrowse);
             FstaffDaityo = nullptr;
         }},
        {"table maintenance", "他のプログラムが編集中のため、テーブル STAFF を編集できません。", 1, gui::mrOk,
         [] { Fmain->findChild<QAction*>("Staff1")->trigger(); }},
        {"the delete of an employee", "他のプログラムが編集中のため、削除できません。", 2, gui::mrYes,
         [] {
             ChooseRow(32);
             Click(Fmain, "STAFFdelBTN");
         }},
        {"a change in the SQL window", "他のプログラムが編集中のため、このSQLを実行できません。", 2, gui::mrOk,
         [&] { RunSql(sql, "UPDATE STAFF SET Simei = 'Z' WHERE StaffCD = 32"); }},
        {"a change and a query in the SQL window", "他のプログラムが編集中のため、このSQLを実行できません。", 2,
         gui::mrOk,
         [&] { RunSql(sql, "DELETE FROM STAFF WHERE StaffCD = 32; SELECT * FROM STAFF"); }},
        {"a text with its own transaction in the SQL window", "他のプログラムが編集中のため、このSQLを実行できません。", 2,
         gui::mrOk,
         [&] { RunSql(sql, "DELETE FROM STAFF WHERE StaffCD = 32; START TRANSACTION; ROLLBACK"); }},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.what);
        messages.clear();
        answer = c.answer;
        const Took took = MeasureRefused(c.act);
        EXPECT_EQ(messages.size(), c.messages) << messages.join("\n").toStdString();
        ExpectHeld(took, QString::fromUtf8(c.refusal), desk->pid());
        EXPECT_EQ(names(), before);
    }
    // Reading waits for nothing.
    const struct {
        const char* what;
        std::function<void()> act;
    } reads[] = {
        {"the staff list refreshed", [] { Fmain->SaisinBTNClick(); }},
        {"a query in the SQL window", [&] { RunSql(sql, "SELECT * FROM STAFF WHERE StaffCD = 32"); }},
    };
    for (const auto& r : reads) {
        SCOPED_TRACE(r.what);
        messages.clear();
        EXPECT_FALSE(Measure(r.act).waited);
        EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    }
    EXPECT_EQ(sql.Query1->RecordCount(), 1);

    desk->send("cancel");
    EXPECT_EQ(desk->readLine(), "ok");
    EXPECT_EQ(desk->readLine(), "closed");
    messages.clear();
    OnModal("Fstaff", [](QWidget* w) { Click(w, "BitBtn1"); });
    EXPECT_FALSE(Measure([] { Fmain->findChild<QAction*>("Staff1")->trigger(); }).waited);
    EXPECT_EQ(Fstaff, nullptr);
    answer = gui::mrOk;
    EXPECT_FALSE(Measure([&] { RunSql(sql, "UPDATE STAFF SET Simei = 'Z' WHERE StaffCD = 31"); }).waited);
    answer = gui::mrYes;
    EXPECT_FALSE(Measure([] {
                     ChooseRow(32);
                     Click(Fmain, "STAFFdelBTN");
                 }).waited);
    EXPECT_EQ(messages.size(), 2);  // the two confirmations
    EXPECT_EQ(names(), std::vector<std::string>{"Z"});
    EXPECT_FALSE(DMdata->DataDB->InTransaction());
    desk->send("quit");
    EXPECT_EQ(desk->wait(20000), 0);
}

// Table maintenance holds the tables as an editor does. The other desk's keeps this
// program's out, said with the other desk's process; this program's keeps the other
// desk's editor and table maintenance out, which answers meanwhile and names this
// process.
TEST_F(TwoDesks, TableMaintenanceOnEitherDeskIsNamedToTheOther) {
    AddStaff(31, "佐藤");
    auto desk = Desk();
    desk->send("table");
    ASSERT_EQ(desk->readLine(), "maintaining");
    const Took took = MeasureRefused([] { Fmain->findChild<QAction*>("Staff1")->trigger(); });
    EXPECT_EQ(messages.size(), 1);
    ExpectHeld(took, QString::fromUtf8("他のプログラムが編集中のため、テーブル STAFF を編集できません。"), desk->pid());
    desk->send("cancel");
    EXPECT_EQ(desk->readLine(), "ok");
    EXPECT_EQ(desk->readLine(), "closed");

    messages.clear();
    bool shown = false;
    OnModal("Fstaff", [&](QWidget* w) {
        shown = true;
        const std::string here = "プロセス番号 " + std::to_string(getpid());
        const struct {
            const char* line;
            const char* refusal;
        } others[] = {
            {"open 31", "message 他のプログラムが編集中のため、従業員コード 31 を開けません。"},
            {"table", "message 他のプログラムが編集中のため、テーブル STAFF を編集できません。"},
        };
        for (const auto& o : others) {
            desk->send(o.line);
            desk->send("ping");
            EXPECT_EQ(desk->readLine(), "pong") << o.line;
            const std::string message = desk->readLine();
            EXPECT_EQ(message.rfind(o.refusal, 0), 0u) << message;
            EXPECT_NE(message.find(here), std::string::npos) << message;
            EXPECT_EQ(desk->readLine(), "closed") << o.line;
        }
        Click(w, "BitBtn1");
    });
    Fmain->findChild<QAction*>("Staff1")->trigger();
    EXPECT_TRUE(shown);
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    EXPECT_FALSE(DMdata->DataDB->InTransaction());
    desk->send("quit");
    EXPECT_EQ(desk->wait(20000), 0);
}

// The other desk edits employee 31 (in its editor or in table maintenance) while this
// program is refused employee 32; then it saves 31. This program, its list as it was,
// opens 31 (in its editor or in table maintenance) as the other desk saved it and saves
// it in turn: the record is read afresh, never "changed by another user".
TEST_F(TwoDesks, WhatTheOtherDeskSavedIsReadAfreshAfterARefusal) {
    AddStaff(31, "佐藤");
    AddStaff(32, "鈴木");
    auto desk = Desk();
    const struct {
        const char* other;  // the other desk's window
        const char* shown;  // its answer once shown
        bool hereInTable;   // this program's: table maintenance, else the editor
    } ways[] = {
        {"open 31", "editing 31", false},
        {"table", "maintaining", false},
        {"open 31", "editing 31", true},
        {"table", "maintaining", true},
    };
    int round = 0;
    for (const auto& w : ways) {
        SCOPED_TRACE(std::string(w.other) + (w.hereInTable ? ", here table maintenance" : ", here the editor"));
        const QString theirs = QString("T%1").arg(round), ours = QString("O%1").arg(round++);
        desk->send(w.other);
        ASSERT_EQ(desk->readLine(), w.shown);
        messages.clear();
        MeasureRefused([&] { DoubleClick(32); });
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages[0].startsWith(QString::fromUtf8("他のプログラムが編集中のため"))) << messages[0].toStdString();
        desk->send("simei " + theirs.toStdString());
        ASSERT_EQ(desk->readLine(), "ok");
        desk->send("ok");
        ASSERT_EQ(desk->readLine(), "ok");
        ASSERT_EQ(desk->readLine(), "closed");

        messages.clear();
        QString seen;
        if (w.hereInTable) {
            seen = RenameInTableMaintenance(ours.toStdString());  // 31, the first row
        } else {
            OnModal("FstaffDaityo", [&](QWidget* f) {
                seen = f->findChild<QLineEdit*>("SimeiEDT")->text();
                Type(f, "SimeiEDT", ours);
                Click(f, "OkBTN");
            });
            DoubleClick(31, false);
        }
        EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
        EXPECT_EQ(seen, theirs);
        EXPECT_EQ(Column("SELECT Simei FROM STAFF WHERE StaffCD = 31"), std::vector<std::string>{ours.toStdString()});
        EXPECT_FALSE(DMdata->DataDB->InTransaction());
    }
    desk->send("quit");
    EXPECT_EQ(desk->wait(20000), 0);
}

// The other desk lets go of the tables once the wait has begun: whatever this program was
// starting goes on at once, with no message, and saves. The let-go is waited for where
// it is asked, within the limit of the desk's other answers: a desk slow to answer on a
// loaded machine still lets go during the wait.
TEST_F(TwoDesks, WhenTheOtherDeskLetsGoDuringTheWaitTheSaveGoesOn) {
    AddStaff(31, "佐藤");
    AddStaff(32, "鈴木");
    AddStaff(33, "田中");
    auto desk = Desk();
    TFsql sql;
    sql.show();
    const struct {
        const char* what;
        int messages;  // the questions asked first
        int answer;
        std::function<void()> act;
        const char* check;  // a query and the first column it then gives
        std::vector<std::string> expected;
    } starts[] = {
        {"the editor", 0, gui::mrOk,
         [this] {
             OnModal("FstaffDaityo", [](QWidget* f) {
                 Type(f, "SimeiEDT", "A");
                 Click(f, "OkBTN");
             });
             DoubleClick(32);
         },
         "SELECT Simei FROM STAFF WHERE StaffCD = 32", {"A"}},
        {"a new employee", 0, gui::mrOk,
         [] {
             OnModal("FstaffDaityo", [](QWidget* f) {
                 Type(f, "KeyEDT", "34");
                 Type(f, "SimeiEDT", "B");
                 Click(f, "OkBTN");
             });
             Click(Fmain, "STAFFaddBTN");
         },
         "SELECT Simei FROM STAFF WHERE StaffCD = 34", {"B"}},
        {"table maintenance", 0, gui::mrOk,
         [] { RenameInTableMaintenance("C"); },
         "SELECT Simei FROM STAFF WHERE StaffCD = 31", {"C"}},
        {"a change in the SQL window", 1, gui::mrOk,
         [&] { RunSql(sql, "UPDATE STAFF SET Simei = 'D' WHERE StaffCD = 33"); },
         "SELECT Simei FROM STAFF WHERE StaffCD = 33", {"D"}},
        {"the delete", 1, gui::mrYes,
         [] {
             ChooseRow(34);
             Click(Fmain, "STAFFdelBTN");
         },
         "SELECT Simei FROM STAFF WHERE StaffCD = 34", {}},
    };
    for (const auto& s : starts) {
        SCOPED_TRACE(s.what);
        desk->send("open 31");
        ASSERT_EQ(desk->readLine(), "editing 31");
        messages.clear();
        answer = s.answer;
        // The desk lets go at the first run of the event loop that finds the start
        // waiting.
        QTimer letGo;
        std::vector<std::string> said;
        QObject::connect(&letGo, &QTimer::timeout, [&] {
            if (!watched || !watched->waited) return;
            letGo.stop();
            desk->send("cancel");
            for (int line = 0; line < 2; ++line) said.push_back(desk->readLine());
        });
        letGo.start(10);
        const Took took = MeasureRefused(s.act);
        EXPECT_EQ(said, (std::vector<std::string>{"ok", "closed"}));
        EXPECT_EQ(messages.size(), s.messages) << messages.join("\n").toStdString();
        EXPECT_TRUE(took.waited);
        EXPECT_EQ(Column(s.check), s.expected);
        EXPECT_FALSE(DMdata->DataDB->InTransaction());
    }
    desk->send("quit");
    EXPECT_EQ(desk->wait(20000), 0);
}

// A text of the SQL window that fails inside the transaction it opened ends it, and
// the other desk opens the employee at once. A text that leaves its transaction open
// says so and shows it, and the other desk is refused, naming this program. Whatever
// would end it asks first: cancelled, it stays open and the action does not happen;
// else it is committed or rolled back as chosen and the action goes on.
TEST_F(TwoDesks, ATransactionTheSqlWindowLeavesOpenEndsOnlyAsTheUserSays) {
    for (int code = 1; code <= 3; ++code) AddStaff(code, "佐藤");
    auto desk = Desk();
    auto sql = std::make_unique<TFsql>();
    sql->show();
    const QString question = QString::fromUtf8(OpenTransactionQuestion);
    auto settle = std::make_shared<int>(gui::mrCancel);
    gui::SetMessageHook([this, settle, question](const gui::TMessage& m) {
        messages << m.text;
        return m.text == question ? Clicked(*settle, m.buttons)
                                  : int(m.buttons & gui::mbYes ? gui::mrYes : gui::mrOk);  // or go on
    });
    RunSql(*sql, "UPDATE STAFF SET Bu='F2' WHERE StaffCD=2; START TRANSACTION; "
                 "UPDATE STAFF SET Bu='F1' WHERE StaffCD=1; UPDATE NOSUCH SET X=1; COMMIT");
    ASSERT_EQ(messages.size(), 2);
    desk->send("open 1");
    ASSERT_EQ(desk->readLine(), "editing 1");
    desk->send("cancel");
    for (const char* said : {"ok", "closed"}) EXPECT_EQ(desk->readLine(), said);

    bool shown = false;  // the window the action opens, closed at once
    const struct {
        const char* what;
        int answer;  // once the cancel has been tried
        std::function<void()> act;
        std::function<bool()> wentOn;  // none: the window opened, closed with its cancel button
        const char* window = nullptr;
    } endings[] = {
        {"closing the SQL window", gui::mrYes, [&] { Click(sql.get(), "ExitBTN"); },
         [&] { return !sql->isVisible(); }},
        {"the staff editor", gui::mrNo, [&] { DoubleClick(1); }, {}, "FstaffDaityo"},
        {"a new employee", gui::mrYes, [] { Click(Fmain, "STAFFaddBTN"); }, {}, "FstaffDaityo"},
        {"table maintenance", gui::mrNo, [] { Fmain->findChild<QAction*>("Staff1")->trigger(); }, {}, "Fstaff"},
        {"a delete", gui::mrYes,
         [] {
             ChooseRow(3);
             Click(Fmain, "STAFFdelBTN");
         },
         [] { return Column("SELECT StaffCD FROM STAFF WHERE StaffCD = 3").empty(); }},
        {"the end of the program", gui::mrNo, [] { Fmain->findChild<QAction*>("Exit1")->trigger(); },
         [] { return !Fmain->isVisible(); }},
    };
    std::string kept = "佐藤";
    for (const auto& e : endings) {
        SCOPED_TRACE(e.what);
        const std::string name = std::string("N") + std::to_string(&e - endings);
        sql->show();
        messages.clear();
        RunSql(*sql, ("UPDATE STAFF SET Bu='X' WHERE StaffCD=9; START TRANSACTION; UPDATE STAFF SET Simei='" + name +
                      "' WHERE StaffCD=2").c_str());
        ASSERT_EQ(messages.size(), 2);
        EXPECT_TRUE(sql->TransactionLBL->isVisible());
        if (&e == endings) {
            desk->send("open 1");
            const std::string refused = desk->readLine();
            EXPECT_EQ(refused.rfind("message 他のプログラムが編集中のため、従業員コード 1 を開けません。", 0), 0u) << refused;
            EXPECT_NE(refused.find("プロセス番号 " + std::to_string(getpid())), std::string::npos) << refused;
            EXPECT_EQ(desk->readLine(), "closed");
        }
        for (const int answer : {int(gui::mrCancel), e.answer}) {
            messages.clear();
            shown = false;
            *settle = answer;
            if (answer != gui::mrCancel && e.window)
                OnModal(e.window, [&shown](QWidget* w) {
                    shown = true;
                    Click(w, w->objectName() == "Fstaff" ? "BitBtn1" : "CanBTN");
                });
            MeasureRefused(e.act);
            EXPECT_EQ(messages.count(question), 1) << messages.join("\n").toStdString();
            EXPECT_EQ(e.wentOn ? e.wentOn() : shown, answer != gui::mrCancel);
            EXPECT_EQ(DMdata->DataDB->InTransaction(), answer == gui::mrCancel);
        }
        EXPECT_TRUE(&e != endings || sql->TransactionLBL->isHidden());
        if (e.answer == gui::mrYes) kept = name;
        EXPECT_EQ(Column("SELECT Simei FROM STAFF WHERE StaffCD = 2"), std::vector<std::string>{kept});
    }
    sql.reset();
    desk->send("quit");
    EXPECT_EQ(desk->wait(20000), 0);
}

// A second desk starts beside a database folder this program has just made (its
// Gakureki not upgraded yet), and this program starts again beside it: each starts
// cleanly, the upgrade left for a start that has the table alone, which makes it.
TEST_F(TwoDesks, ASecondDeskStartsBesideABrandNewDatabaseFolder) {
    const auto gakureki = [] { return TDMdata::FieldNames(*DMdata->Tgakureki); };
    const std::vector<std::string> made{"StaffCD", "YMD", "NAIYO"};
    auto desk = std::make_unique<ChildProcess>(KURA_TEST_DESK, std::vector<std::string>{dir.path()});
    EXPECT_EQ(desk->readLine(60000), "ready");
    CloseMain();
    StartMain();
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    EXPECT_TRUE(Fmain->StartedUp());
    EXPECT_EQ(gakureki(), made);
    desk->send("quit");
    EXPECT_EQ(desk->wait(20000), 0);
    CloseMain();
    StartMain();
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    EXPECT_EQ(gakureki(), (std::vector<std::string>{"StaffCD", "YMD", "NAIYO", "V102"}));
}

// While another program holds a table to itself, a start tries it again for a moment,
// then says which table it cannot open and why, and ends: no half-started window, exit code 1.
// Once the table is free the program starts.
TEST_F(TwoDesks, AStartThatCannotOpenATableSaysSoAndEnds) {
    CloseMain();
    for (const char* name : {"Gakureki", "Staff"}) {
        SCOPED_TRACE(name);
        {
            kura::TKuraTable held;
            held.SetDatabaseName(dir.file("DB"));
            held.SetTableName(name);
            held.SetExclusive(true);
            held.Open();
            ChildProcess desk(KURA_TEST_DESK, {dir.path()});
            const std::string said = desk.readLine(60000);
            EXPECT_EQ(said, std::string("message テーブル ") + name +
                                " を開けないため、ヨミトラを起動できません。 | "
                                "他のプログラムがこのテーブルを単独で使っています。 | "
                                "そのプログラムを終了してから、もう一度起動してください。 | （エラー番号 11013）");
            // It tried again, as long as another start might have held the table a moment.
            const std::string ended = desk.readLine();
            ASSERT_EQ(ended.rfind("ended ", 0), 0u) << ended;
            EXPECT_GE(std::stoi(ended.substr(6)), 1) << ended;
            EXPECT_EQ(desk.wait(20000), 1);
        }
        kura::DoneSessions();
        ChildProcess desk(KURA_TEST_DESK, {dir.path()});
        EXPECT_EQ(desk.readLine(60000), "ready");
        desk.send("quit");
        EXPECT_EQ(desk.wait(20000), 0);
    }
}

}  // namespace
}  // namespace app::test
