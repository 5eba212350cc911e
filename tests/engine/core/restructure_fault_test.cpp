// A restructure whose every create, write, sync, rename and delete fails in turn
// (platform/FileCalls.h): whatever the failing call, the table opens afterwards as
// it was or as the restructure makes it, whole, with nothing left beside it but
// backups; a restructure reported done is there; a failed one can be run again.
// Inside a transaction it is refused before any file changes.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "tests/common/FileCallFaults.h"
#include "tests/engine/core/CursorTableTestSupport.h"
#include "tests/engine/core/TableSnapshot.h"

namespace kura::test {
namespace {

namespace fs = std::filesystem;

struct Change {
    const char* Name;
    std::function<void(TRestructureParams&)> Edit;
    bool SuppressBackups;
};

std::vector<Change> Changes() {
    auto byAge = [] {
        TIndexDesc d;
        d.SetName("ByAge");
        d.SetField(0, sAge);
        return d;
    };
    return {
        {"a field added", [](TRestructureParams& p) {
             TFieldDesc extra = NewField("Extra", fldINT32);
             extra.SetFieldNo(50);
             p.Fields.push_back(extra);
         }, false},
        {"a field shortened, no backups", [](TRestructureParams& p) { p.Fields[1].SetDeclaredSize(12); }, true},
        {"an index added", [&](TRestructureParams& p) { p.Indexes[++p.IndexCount] = byAge(); }, false},
        {"an index dropped, the text index changed, no backups",
         [](TRestructureParams& p) {
             p.IndexCount = 0;
             p.Indexes[SYS_TEXT_SLOT].SetField(1, sName);
             p.Indexes[SYS_TEXT_SLOT].SetByte(ido::FieldCount, 2);
         },
         true},
        {"the primary key replaced", [](TRestructureParams& p) { p.Indexes[0].SetField(1, sAge); }, false},
        {"the description", [](TRestructureParams& p) { p.Description = "changed"; }, false},
    };
}

class RestructureFaults : public ::testing::Test {
protected:
    LibraryScope lib;
    TestDb db;
    FileCallFaults faults;

    void Restructure(const std::string& name, const Change& change) {
        TRestructureParams p = CurrentDefinition(db.dir, name);
        change.Edit(p);
        p.SuppressBackups = change.SuppressBackups;
        TDataCursor c(db.dir);
        c.SetTableName(name);
        c.SetExclusive(true);
        c.RestructureTable(p);
    }
    // The model table's three files under another name.
    void CopyTable(const std::string& from, const std::string& to) {
        for (const char* ext : {".DAT", ".IDX", ".BLB"})
            fs::copy_file(db.tmp.file(from + ext), db.tmp.file(to + ext));
    }
    // Every file in the folder but the model's.
    std::vector<std::string> FilesBeside(const std::string& model) {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(db.tmp.path())) {
            const std::string file = e.path().filename().string();
            if (file.rfind(model + ".", 0) != 0) names.push_back(file);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    void RemoveTable(const std::string& name) {
        for (const auto& e : fs::directory_iterator(db.tmp.path()))
            if (e.path().stem() == name) fs::remove(e.path());
    }
};

TEST_F(RestructureFaults, EveryFailingCallLeavesTheOldOrTheNewTableWhole) {
    db.Create("Model", StaffTable());
    {
        auto c = db.Open("Model");
        FillStaff(*c, 24);
    }
    const TableSnapshot before = Snapshot(db.dir, "Model");
    for (const Change& change : Changes()) {
        SCOPED_TRACE(change.Name);
        // The calls of a clean run, and what it makes.
        CopyTable("Model", "T");
        faults.Arm(0);
        Restructure("T", change);
        const uint64_t calls = faults.Calls();
        faults.Disarm();
        const TableSnapshot after = Snapshot(db.dir, "T");
        ASSERT_FALSE(after == before);
        ASSERT_GT(calls, 0u);
        RemoveTable("T");

        int olds = 0;
        for (uint64_t at = 1; at <= calls; ++at) {
            CopyTable("Model", "T");
            faults.Arm(at);
            bool done = true;
            try {
                Restructure("T", change);
            } catch (const EKuraEngineError&) {
                done = false;
            }
            const std::string failed = faults.Failed();
            faults.Disarm();
            SCOPED_TRACE("call " + std::to_string(at) + " (" + failed + ") failed, reported " +
                         (done ? "done" : "failed"));
            const TableSnapshot now = Snapshot(db.dir, "T");
            const bool isNew = now == after;
            EXPECT_TRUE(isNew || now == before);
            EXPECT_TRUE(isNew || !done);
            // No copy or note left; backups only where the clean run keeps them.
            for (const std::string& file : FilesBeside("Model")) {
                EXPECT_EQ(file.rfind("T.", 0), 0u) << file;
                for (const char* ext : {".RSW", ".RSP", ".RS$"}) EXPECT_EQ(file.find(ext), std::string::npos) << file;
            }
            if (!isNew) {
                ++olds;
                Restructure("T", change);
                EXPECT_TRUE(Snapshot(db.dir, "T") == after);
            }
            RemoveTable("T");
        }
        EXPECT_GT(olds, 0);
    }
}

TEST_F(RestructureFaults, InsideATransactionNothingIsWritten) {
    db.Create("T", StaffTable());
    {
        auto c = db.Open("T");
        FillStaff(*c, 5);
    }
    const TableSnapshot before = Snapshot(db.dir, "T");
    for (const Change& change : Changes()) {
        SCOPED_TRACE(change.Name);
        db.dir->StartTransaction();
        faults.Arm(0);
        try {
            Restructure("T", change);
            ADD_FAILURE() << "not refused";
        } catch (const EKuraEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), KURA_TABLEOPEN);
        }
        EXPECT_EQ(faults.Calls(), 0u);
        db.dir->Rollback();
        EXPECT_TRUE(Snapshot(db.dir, "T") == before);
    }
}

}  // namespace
}  // namespace kura::test
