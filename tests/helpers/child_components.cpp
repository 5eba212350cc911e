// Second-process commands for the component tests: a table component on a staff
// table, and a query component as the SQL window holds it, driven line by line by
// the parent.
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "components/KuraQuery.h"
#include "components/KuraSession.h"
#include "components/KuraTable.h"
#include "engine/errors/EngineErrors.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using kura::testchild::hear;
using kura::testchild::say;

// table-shell DIR TABLE PROTOCOL (0 pessimistic, 1 optimistic): opens the table,
// says "ready", then answers one line per command until "quit":
//   edit <id>     -> locates the record and puts it in edit mode: "ok" / "error <n>"
//   name <text>   -> sets Name and posts: "ok" / "error <n>"
//   cancel        -> "ok"
//   read <id>     -> refreshes, locates: "name <text>" / "missing"
//   count         -> "count <n>"
const kura::testchild::ChildCommand shell("table-shell", [](const std::vector<std::string>& args) {
    if (args.size() < 3) return 2;
    kura::Session().SetLockProtocol(args[2] == "1" ? kura::lpOptimistic : kura::lpPessimistic);
    kura::Session().SetLockRetryCount(2);
    kura::Session().SetLockWaitTime(10);
    auto table = std::make_unique<kura::TKuraTable>();
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
    try {
        table->SetDatabaseName(args[0]);
        table->SetTableName(args[1]);
        table->Open();
    } catch (const std::exception& e) {
        say(std::string("failed ") + e.what());
        return 1;
    }
    say("ready");
    for (;;) {
        const std::string line = hear();
        if (line.empty() || line == "quit") break;
        std::istringstream in(line);
        std::string command, rest;
        in >> command;
        std::getline(in >> std::ws, rest);
        if (command == "edit") {
            answer([&] {
                table->Refresh();
                if (!table->Locate("Id", kura::TVariant(std::stoi(rest)), 0)) throw std::runtime_error("no record");
                table->Edit();
            });
        } else if (command == "name") {
            answer([&] {
                table->FieldByName("Name")->SetAsString(rest);
                table->Post();
            });
        } else if (command == "cancel") {
            answer([&] { table->Cancel(); });
        } else if (command == "read") {
            table->Refresh();
            if (table->Locate("Id", kura::TVariant(std::stoi(rest)), 0))
                say("name " + table->FieldByName("Name")->AsString());
            else
                say("missing");
        } else if (command == "count") {
            table->Refresh();
            say("count " + std::to_string(table->RecordCount()));
        } else {
            say("unknown");
        }
    }
    table.reset();
    kura::DoneSessions();
    return 0;
});

// sql-shell DIR: a query component on the database folder, like the SQL window's;
// says "ready", then per line:
//   <statement>   -> runs it with ExecSQL: "ok" / "error <n>"
//   end           -> the process ends at once, without closing or rolling back
//                    anything (the program ended while a transaction was open)
const kura::testchild::ChildCommand sqlShell("sql-shell", [](const std::vector<std::string>& args) {
    if (args.empty()) return 2;
    auto query = std::make_unique<kura::TKuraQuery>();
    query->SetDatabaseName(args[0]);
    say("ready");
    for (;;) {
        const std::string line = hear();
        if (line.empty() || line == "end") std::_Exit(0);
        try {
            query->SetSQL(line);
            query->ExecSQL();
            say("ok");
        } catch (const kura::EKuraEngineError& e) {
            say("error " + std::to_string(e.ErrorCode()));
        } catch (const std::exception& e) {
            say(std::string("failed ") + e.what());
        }
    }
});

}  // namespace
