// Definition statements through the query component, as the SQL window runs them,
// read back through the table component: ALTER TABLE inside a transaction is
// refused and the table keeps every row however the transaction ends, also when
// the program ends inside it; and with every create, write, sync, rename and
// delete failing in turn, ALTER TABLE, CREATE INDEX and DROP INDEX leave the table
// as it was or as the statement makes it.
#include <filesystem>

#include "components/KuraQuery.h"
#include "tests/common/FileCallFaults.h"
#include "tests/components/ComponentTestSupport.h"

namespace kura::test {
namespace {

namespace fs = std::filesystem;

class QueryRestructure : public ComponentTest {
protected:
    // Runs one statement through a query component of its own.
    void Exec(const std::string& sql) {
        TKuraQuery q;
        q.SetDatabaseName(dir.path());
        q.SetSQL(sql);
        q.ExecSQL();
    }
    // The table as the table component shows it: its fields, its indexes, and
    // every row in primary-key order.
    std::vector<std::string> Shown(const std::string& name = "Staff") {
        auto t = NewTable(name);
        t->Open();
        std::vector<std::string> shown;
        std::string fields;
        for (int i = 0; i < t->FieldCount(); ++i) fields += t->Fields(i)->FieldName + ";";
        shown.push_back(fields);
        t->UpdateIndexDefs();
        std::string indexes;
        for (int i = 0; i < t->IndexDefs().Count(); ++i) indexes += t->IndexDefs()[i].Name + ";";
        shown.push_back(indexes);
        for (t->First(); !t->Eof(); t->Next()) {
            std::string row;
            for (int i = 0; i < t->FieldCount(); ++i) row += t->Fields(i)->AsString() + "|";
            shown.push_back(row);
        }
        return shown;
    }
    bool Exists(const std::string& file) const { return fs::exists(dir.file(file)); }
};

TEST_F(QueryRestructure, AlterInsideATransactionIsRefusedAndNoRowIsLost) {
    StaffTable(5)->Close();
    StaffTable(2, "Other")->Close();
    const std::vector<std::string> staff = Shown();
    const std::vector<std::string> other = Shown("Other");
    for (const char* touch : {"", "INSERT INTO Other (Id, Name) VALUES (9, 'nine')"}) {
        for (const char* end : {"ROLLBACK", "COMMIT"}) {
            SCOPED_TRACE(std::string(touch) + " " + end);
            Exec("START TRANSACTION");
            if (*touch) Exec(touch);
            EXPECT_EQ(EngineErrorOf([&] { Exec("ALTER TABLE Staff ADD Extra INTEGER"); }), KURA_TABLEOPEN);
            Exec(end);
            EXPECT_EQ(Shown(), staff);
            EXPECT_EQ(Shown("Other").size(), other.size() + (*touch && std::string(end) == "COMMIT" ? 1 : 0));
            if (*touch) Exec("DELETE FROM Other WHERE Id = 9");
            for (const char* file : {"Staff.DBK", "Staff.IBK", "Staff.BBK", "Staff.RSW"}) EXPECT_FALSE(Exists(file));
        }
    }
    Exec("ALTER TABLE Staff ADD Extra INTEGER");
    EXPECT_EQ(Shown().size(), staff.size());
    EXPECT_EQ(Shown()[0], staff[0] + "Extra;");
}

// The program ends while its transaction is open, right after the refused ALTER:
// the next start finds the table as it was.
TEST_F(QueryRestructure, TheProgramEndingInsideTheTransactionLosesNoRow) {
    StaffTable(5)->Close();
    const std::vector<std::string> staff = Shown();
    DoneSessions();
    ChildProcess child({"sql-shell", dir.path()});
    ASSERT_EQ(child.readLine(), "ready");
    for (const char* statement : {"START TRANSACTION", "INSERT INTO Staff (Id, Name) VALUES (6, 'six')"}) {
        child.send(statement);
        EXPECT_EQ(child.readLine(), "ok") << statement;
    }
    child.send("ALTER TABLE Staff ADD Extra INTEGER");
    EXPECT_EQ(child.readLine(), "error " + std::to_string(KURA_TABLEOPEN));
    child.send("end");
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(Shown(), staff);
    for (const char* file : {"Staff.DBK", "Staff.IBK", "Staff.BBK", "Staff.RSW", "Staff.RSP"}) EXPECT_FALSE(Exists(file));
}

TEST_F(QueryRestructure, EveryFailingCallLeavesTheOldOrTheNewTable) {
    {
        auto model = StaffTable(8, "Model");
        for (model->First(); !model->Eof(); model->Next()) {
            model->Edit();
            model->FieldByName("Notes")->SetAsString("notes of " + model->FieldByName("Name")->AsString());
            model->Post();
        }
    }
    auto copyModel = [&] {
        for (const char* ext : {".DAT", ".IDX", ".BLB"}) fs::copy_file(dir.file(std::string("Model") + ext), dir.file(std::string("Staff") + ext));
    };
    auto removeCopy = [&] {
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (e.path().stem() != "Model") fs::remove(e.path());
    };
    copyModel();
    const std::vector<std::string> before = Shown();
    removeCopy();
    FileCallFaults faults;
    for (const char* statement : {"ALTER TABLE Staff ADD Extra INTEGER", "CREATE INDEX ByJoined ON Staff (Joined)",
                                  "DROP INDEX Staff.ByName"}) {
        SCOPED_TRACE(statement);
        copyModel();
        faults.Arm(0);
        Exec(statement);
        const uint64_t calls = faults.Calls();
        faults.Disarm();
        const std::vector<std::string> after = Shown();
        ASSERT_NE(after, before);
        removeCopy();
        for (uint64_t at = 1; at <= calls; ++at) {
            copyModel();
            faults.Arm(at);
            const TEngineErrorCode code = EngineErrorOf([&] { Exec(statement); });
            faults.Disarm();
            SCOPED_TRACE("call " + std::to_string(at) + " (" + faults.Failed() + ") failed, error " +
                         std::to_string(code));
            const std::vector<std::string> now = Shown();
            EXPECT_TRUE(now == after || (code != 0 && now == before));
            removeCopy();
        }
    }
}

}  // namespace
}  // namespace kura::test
