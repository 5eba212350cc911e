// Second-process commands for the record-operation tests: one cursor on a record
// table, driven line by line by the parent.
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "tests/engine/core/RecordTestSupport.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using kura::testchild::hear;
using kura::testchild::say;

std::string Describe(kura::TDataCursor& cursor, const std::vector<uint8_t>& buffer) {
    return "rec " + std::to_string(kura::test::CodeOf(cursor, buffer)) + " " + kura::test::TextOf(cursor, buffer);
}

// rec-shell DIR TABLE PROTOCOL (0 pessimistic, 1 optimistic): opens a cursor, says
// "ready", then answers one line per command until "quit":
//   first            -> "rec <code> <name>" of the first record, or "code <n>"
//   next             -> the record after the current one, as "first"
//   read             -> the current record as the cursor reads it now
//   lock             -> "ok" or "error <n>" (the buffer is the last record read)
//   name <text>      -> changes the name and posts with unlock: "ok" / "error <n>"
//   cancel           -> "ok"
//   append <c> <t>   -> "ok" / "error <n>"
//   count            -> "count <n>" (the table's record count now)
const kura::testchild::ChildCommand shell("rec-shell", [](const std::vector<std::string>& args) {
    if (args.size() < 3) return 2;
    kura::InitEngineLibrary();
    auto db = std::make_unique<kura::test::RecordDb>(args[0], static_cast<uint8_t>(std::stoi(args[2])));
    std::unique_ptr<kura::TDataCursor> cursor;
    try {
        cursor = kura::test::OpenRecordCursor(*db->dir, args[1]);
    } catch (const kura::EKuraEngineError& e) {
        say("error " + std::to_string(e.ErrorCode()));
        return 1;
    }
    std::vector<uint8_t> buffer(cursor->GetCursorRecordSize());
    say("ready");
    for (;;) {
        const std::string line = hear();
        if (line.empty() || line == "quit") break;
        std::istringstream in(line);
        std::string command;
        in >> command;
        try {
            if (command == "first" || command == "next" || command == "read") {
                kura::TEngineErrorCode code = 0;
                if (command == "first") cursor->SetToBegin();
                if (command != "read") {
                    code = cursor->GetNextRecord(buffer.data());
                } else {
                    code = cursor->GetCurrentRecord(buffer.data(), false);
                }
                say(code == 0 ? Describe(*cursor, buffer) : "code " + std::to_string(code));
            } else if (command == "lock") {
                const kura::TEngineErrorCode code = cursor->GetCurrentRecord(buffer.data(), true);
                say(code == 0 ? "ok" : "code " + std::to_string(code));
            } else if (command == "name") {
                std::string text;
                in >> text;
                kura::test::SetName(*cursor, buffer, text);
                cursor->ModifyRecord(buffer.data(), true, true);
                say("ok");
            } else if (command == "cancel") {
                cursor->CancelRecord();
                say("ok");
            } else if (command == "append") {
                int32_t code = 0;
                std::string text;
                in >> code >> text;
                std::vector<uint8_t> record = kura::test::MakeRecord(*cursor, code, text);
                cursor->AppendRecord(record.data(), true);
                say("ok");
            } else if (command == "count") {
                cursor->GetTable()->BeginRead();
                const uint32_t count = cursor->GetTable()->GetRecordCount();
                cursor->GetTable()->EndRead();
                say("count " + std::to_string(count));
            } else {
                say("unknown");
            }
        } catch (const kura::EKuraEngineError& e) {
            say("error " + std::to_string(e.ErrorCode()));
        }
    }
    cursor.reset();
    db.reset();
    kura::DoneEngineLibrary();
    return 0;
});

}  // namespace
