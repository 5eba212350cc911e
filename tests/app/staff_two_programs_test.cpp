// Two programs on one "DB" folder: the editor's record lock keeps the other program
// out of the employee being edited, its commit is seen by the other afterwards, and
// a program killed in the middle of its transaction leaves nothing half written.
#include <signal.h>

#include "components/KuraDatabase.h"
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

}  // namespace
}  // namespace app::test
