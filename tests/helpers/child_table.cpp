// Second-process commands for the shared-table lock tests. Each opens a session of
// its own on the database folder given as the first argument.
#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "tests/engine/core/TableTestSupport.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using kura::testchild::hear;
using kura::testchild::say;

struct ChildDb {
    explicit ChildDb(const std::string& path) {
        kura::InitEngineLibrary();
        session = std::make_unique<kura::TDataSession>();
        session->SetLockRetryCount(2);
        session->SetLockWaitTime(20);
        dir = session->OpenDataDirectory("DB", path);
    }
    std::unique_ptr<kura::TDataSession> session;
    kura::TDataDirectory* dir = nullptr;
};

void SayError(const kura::EKuraEngineError& e) { say("error " + std::to_string(e.ErrorCode())); }

// Opens the table; says "error <code>" and answers nullptr when that fails.
kura::TDataTable* OpenTable(ChildDb& db, const std::string& name, bool exclusive) {
    kura::TDataTable* table = nullptr;
    try {
        const int32_t result = db.dir->OpenTable(name, table, false, false, false, false, false, exclusive);
        if (result != 0) {
            say("error " + std::to_string(-result));
            return nullptr;
        }
    } catch (const kura::EKuraEngineError& e) {
        SayError(e);
        return nullptr;
    }
    return table;
}

// tbl-append DIR NAME ID: opens, says "ready", waits for "go", appends a record
// with ID (waiting for writers of other programs), then says
// "appended <record number> <record count> <id of record 1>" and waits for "quit".
const kura::testchild::ChildCommand append("tbl-append", [](const std::vector<std::string>& args) {
    if (args.size() < 3) return 2;
    ChildDb db(args[0]);
    kura::TDataTable* table = OpenTable(db, args[1], false);
    if (!table) return 1;
    say("ready");
    if (hear() != "go") return 1;
    try {
        const uint32_t recordNo = kura::test::AppendRecord(*table, std::stoi(args[2]));
        const uint32_t count = kura::test::CountNow(*table);
        say("appended " + std::to_string(recordNo) + " " + std::to_string(count) + " " +
            std::to_string(kura::test::ReadId(*table, 1)));
    } catch (const kura::EKuraEngineError& e) {
        SayError(e);
    }
    hear();
    db.dir->CloseTable(table, false, false, false);
    return 0;
});

// tbl-txn DIR NAME ID: commits one record with ID, then starts a second transaction,
// appends ID + 1, locks record 1 and says "ready"; "commit" commits and says "done".
const kura::testchild::ChildCommand txn("tbl-txn", [](const std::vector<std::string>& args) {
    if (args.size() < 3) return 2;
    ChildDb db(args[0]);
    kura::TDataTable* table = OpenTable(db, args[1], false);
    if (!table) return 1;
    const int id = std::stoi(args[2]);
    try {
        db.dir->StartTransaction();
        kura::test::AppendRecord(*table, id);
        db.dir->Commit();
        db.dir->StartTransaction();
        kura::test::AppendRecord(*table, id + 1);
        table->LockRecord(1);
        table->FlushBuffers(false, true, false, false, true);
    } catch (const kura::EKuraEngineError& e) {
        SayError(e);
        return 1;
    }
    say("ready");
    if (hear() == "commit") {
        db.dir->Commit();
        say("done");
        hear();
    }
    db.dir->CloseTable(table, false, false, false);
    return 0;
});

// tbl-open DIR NAME shared|exclusive: says "open" (then waits for "quit") or
// "error <code>".
const kura::testchild::ChildCommand openCmd("tbl-open", [](const std::vector<std::string>& args) {
    if (args.size() < 3) return 2;
    ChildDb db(args[0]);
    kura::TDataTable* table = OpenTable(db, args[1], args[2] == "exclusive");
    if (!table) return 0;
    say("open");
    hear();
    db.dir->CloseTable(table, false, false, false);
    return 0;
});

// tbl-delete DIR NAME: says "deleted" or "error <code>".
const kura::testchild::ChildCommand deleteCmd("tbl-delete", [](const std::vector<std::string>& args) {
    if (args.size() < 2) return 2;
    ChildDb db(args[0]);
    try {
        const int32_t result = db.dir->DeleteTable(args[1], false);
        say(result == 0 ? std::string("deleted") : "error " + std::to_string(-result));
    } catch (const kura::EKuraEngineError& e) {
        SayError(e);
    }
    return 0;
});

// tbl-lockrec DIR NAME N: locks record N, says "locked" (or "error <code>"), and
// unlocks it after "quit".
const kura::testchild::ChildCommand lockRecord("tbl-lockrec", [](const std::vector<std::string>& args) {
    if (args.size() < 3) return 2;
    ChildDb db(args[0]);
    kura::TDataTable* table = OpenTable(db, args[1], false);
    if (!table) return 1;
    const auto recordNo = static_cast<uint32_t>(std::stoul(args[2]));
    try {
        table->LockRecord(recordNo);
        say("locked");
    } catch (const kura::EKuraEngineError& e) {
        SayError(e);
        return 1;
    }
    hear();
    table->UnlockRecord(recordNo);
    db.dir->CloseTable(table, false, false, false);
    return 0;
});

}  // namespace
