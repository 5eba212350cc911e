#pragma once
// Shared fixture of the component tests: a scratch database folder, a staff table
// created through the table component, and the global sessions torn down after
// each test so that every test starts with the engine off.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "components/KuraDatabase.h"
#include "components/KuraSession.h"
#include "components/KuraTable.h"
#include "engine/errors/EngineErrors.h"
#include "platform/dataset/DatabaseError.h"
#include "tests/common/TestSupport.h"

namespace kura::test {

// Id (integer, primary), Name (string 20, case-insensitive index ByName), Score
// (integer), Joined (date), Notes (memo), Photo (BLOB).
inline void DefineStaff(TKuraTable& t) {
    t.FieldDefs().Add("Id", ftInteger, 0, true);
    t.FieldDefs().Add("Name", ftString, 20);
    t.FieldDefs().Add("Score", ftInteger);
    t.FieldDefs().Add("Joined", ftDate);
    t.FieldDefs().Add("Notes", ftMemo);
    t.FieldDefs().Add("Photo", ftBlob);
    t.IndexDefs().Add("", "Id", ixPrimary | ixUnique);
    t.IndexDefs().Add("ByName", "Name", ixCaseInsensitive);
    t.IndexDefs().Add("ByScore", "Score", 0);
}

class ComponentTest : public ::testing::Test {
protected:
    void TearDown() override { DoneSessions(); }

    std::unique_ptr<TKuraTable> NewTable(const std::string& name = "Staff") {
        auto t = std::make_unique<TKuraTable>();
        t->SetDatabaseName(dir.path());
        t->SetTableName(name);
        return t;
    }

    // A created and opened staff table with count rows: Id i, Name "N<i>", Score i % 7.
    std::unique_ptr<TKuraTable> StaffTable(int count = 0, const std::string& name = "Staff") {
        auto t = NewTable(name);
        DefineStaff(*t);
        t->CreateTable();
        t->Open();
        for (int i = 1; i <= count; ++i) AddStaff(*t, i, "N" + std::to_string(i), i % 7);
        if (count > 0) t->First();
        return t;
    }

    static void AddStaff(TKuraTable& t, int id, const std::string& name, int score) {
        t.Append();
        t.FieldByName("Id")->SetAsInteger(id);
        t.FieldByName("Name")->SetAsString(name);
        t.FieldByName("Score")->SetAsInteger(score);
        t.Post();
    }

    // The Ids from First to EOF.
    static std::vector<int> Ids(TDataSet& t) {
        std::vector<int> ids;
        t.First();
        while (!t.Eof()) {
            ids.push_back(t.FieldByName("Id")->AsInteger());
            t.Next();
        }
        return ids;
    }

    TempDir dir;
};

// The message of the EDatabaseError (not an engine error) that f raises; "" when none.
template <typename F>
std::string DatabaseErrorOf(F f) {
    try {
        f();
    } catch (const EKuraEngineError&) {
        return "<engine error>";
    } catch (const EDatabaseError& e) {
        return e.what();
    }
    return {};
}

// The engine code that f raises; 0 when none.
template <typename F>
TEngineErrorCode EngineErrorOf(F f) {
    try {
        f();
    } catch (const EKuraEngineError& e) {
        return e.ErrorCode();
    }
    return 0;
}

}  // namespace kura::test
