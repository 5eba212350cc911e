// Second-process commands for the program's tests: another copy of the program's
// data work on the same "DB" folder (session settings as the program's), driven line
// by line by the parent.
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "components/KuraDatabase.h"
#include "components/KuraQuery.h"
#include "components/KuraSession.h"
#include "components/KuraTable.h"
#include "engine/errors/EngineErrors.h"
#include "platform/FileCalls.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using kura::testchild::hear;
using kura::testchild::say;

// staff-shell DIR: the database "DataDB" on DIR, tables Staff and Kazoku open; says
// "ready", then answers one line per command until "quit":
//   edit <code>               -> the employee in edit mode: "ok" / "missing" / "error <n>"
//   simei <text>              -> sets Simei and posts: "ok" / "error <n>"
//   cancel                    -> "ok"
//   begin / commit            -> transaction: "ok" / "error <n>"
//   family <code> <seq> <nm>  -> a Kazoku row posted: "ok" / "error <n>"
//   read <code>               -> "simei <text>" / "missing"
const kura::testchild::ChildCommand staffShell("staff-shell", [](const std::vector<std::string>& args) {
    if (args.empty()) return 2;
    kura::Session().SetLockProtocol(kura::lpPessimistic);
    kura::Session().SetLockRetryCount(2);
    kura::Session().SetLockWaitTime(10);
    auto db = std::make_unique<kura::TKuraDatabase>();
    auto staff = std::make_unique<kura::TKuraTable>();
    auto family = std::make_unique<kura::TKuraTable>();
    auto answer = [&](const std::function<void()>& f) {
        try {
            f();
            say("ok");
        } catch (const kura::EKuraEngineError& e) {
            say("error " + std::to_string(e.ErrorCode()));
        } catch (const std::exception& e) {
            say(std::string("failed ") + e.what());
        }
    };
    auto seek = [&](int code) {
        staff->Refresh();
        staff->SetKey();
        staff->FieldByName("StaffCD")->SetAsInteger(code);
        return staff->GotoKey();
    };
    try {
        db->SetDatabaseName("DataDB");
        db->SetDirectory(args[0]);
        db->SetConnected(true);
        for (auto* t : {staff.get(), family.get()}) t->SetDatabaseName("DataDB");
        staff->SetTableName("Staff");
        family->SetTableName("Kazoku");
        staff->Open();
        family->Open();
    } catch (const std::exception& e) {
        say(std::string("failed ") + e.what());
        return 1;
    }
    say("ready");
    for (;;) {
        const std::string line = hear();
        if (line.empty() || line == "quit") break;
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "edit") {
            int code = 0;
            in >> code;
            try {
                if (!seek(code)) {
                    say("missing");
                    continue;
                }
            } catch (...) {
            }
            answer([&] { staff->Edit(); });
        } else if (command == "simei") {
            std::string text;
            in >> text;
            answer([&] {
                staff->FieldByName("Simei")->SetAsString(text);
                staff->Post();
            });
        } else if (command == "cancel") {
            answer([&] { staff->Cancel(); });
        } else if (command == "begin") {
            answer([&] { db->StartTransaction(); });
        } else if (command == "commit") {
            answer([&] { db->Commit(true); });
        } else if (command == "family") {
            int code = 0, seq = 0;
            std::string name;
            in >> code >> seq >> name;
            answer([&] {
                family->Append();
                family->FieldByName("StaffCD")->SetAsInteger(code);
                family->FieldByName("Seq")->SetAsInteger(seq);
                family->FieldByName("Simei")->SetAsString(name);
                family->Post();
            });
        } else if (command == "read") {
            int code = 0;
            in >> code;
            if (seek(code)) say("simei " + staff->FieldByName("Simei")->AsString());
            else say("missing");
        } else {
            say("unknown");
        }
    }
    family.reset();
    staff.reset();
    db.reset();
    kura::DoneSessions();
    return 0;
});

// cut-commit DIR AT TABLES SQL: a save over several of the program's tables on DIR
// ("DataDB"), TABLES (comma-separated) opened in that order (the last one decides a
// commit over several), the statements SQL (";"-separated) run in one transaction and
// committed, the file layer's fault seam killing the process at the commit's write
// call AT; with AT 0 it says "done <the commit's write calls>"; "error <n>" for an
// engine error.
const kura::testchild::ChildCommand cutCommit("cut-commit", [](const std::vector<std::string>& args) {
    if (args.size() < 4) return 2;
    kura::Session().SetLockProtocol(kura::lpPessimistic);
    int result = 0;
    {
        kura::TKuraDatabase db;
        std::vector<std::unique_ptr<kura::TKuraTable>> tables;
        try {
            db.SetDatabaseName("DataDB"), db.SetDirectory(args[0]), db.SetConnected(true);
            std::istringstream names(args[2]);
            for (std::string name; std::getline(names, name, ',');) {
                auto& table = *tables.emplace_back(std::make_unique<kura::TKuraTable>());
                table.SetDatabaseName("DataDB"), table.SetTableName(name), table.Open();
            }
            db.StartTransaction();
            std::istringstream statements(args[3]);
            for (std::string sql; std::getline(statements, sql, ';');) {
                kura::TKuraQuery q;
                q.SetDatabaseName("DataDB"), q.SetSQL(sql), q.ExecSQL();
            }
            platform::ArmFileFault({std::stoull(args[1]), platform::FileFaultAction::Stop, 5});
            db.Commit(true);
            say("done " + std::to_string(platform::FileWriteCalls()));
        } catch (const kura::EKuraEngineError& e) {
            say("error " + std::to_string(e.ErrorCode()));
            result = 1;
        }
    }
    kura::DoneSessions();
    return result;
});

}  // namespace
