// Child commands of the crash tests (tests/engine/core/crash_test.cpp).
//
// crash-writer DIR TABLE SEED INITIAL STEPS AT ACTION FORCE: carries out the crash
//   script (CrashScript.h) on the table, with the file layer's fault seam armed at
//   write call AT (0: never) with ACTION stop, tear or pause; FORCE 1 sets
//   ForceBufferFlush; a ninth argument "exclusive" opens the table exclusively with
//   caches of a few items. After each step it says "step <i> <write calls so far>",
//   at the end "done". Exit code 0 when the script ran to its end.
// crash-reader DIR TABLE: opens the table, says "ready", waits for "go", says "waiting" once
//   the reader lock is refused (another program writes), then waits for that lock and reads
//   every record in primary order and says "row <code> <name|note>" for each, then
//   "count <record count>"; "error <n>" for an engine error.
// crash-appender DIR TABLE CODE: opens the table, says "ready", waits for "go", says
//   "waiting" once the writer lock is refused, then appends a record with that code and says
//   "ok" or "error <n>".
// spill-writer DIR PRIVATE TABLE ROWS: with caches of a few items and a transaction
//   budget of a few pages, starts a transaction, appends ROWS records (which spill past
//   the budget into PRIVATE) and says "open <files the process has open in PRIVATE>";
//   then waits for "commit" (and says "done") or to be killed.
// result-builder DIR PRIVATE SQL: runs the query (its result table made in PRIVATE) and
//   counts its write calls, then runs it again with the file layer's fault seam
//   stopping the process (SIGSTOP) at three quarters of them, while it builds its
//   result; once continued it says "done".
// rename-met DIR FROM TO AT: renames the table FROM to TO, stopping right before its
//   ATth call on a file of DIR (a rename marker or its draft opened, a file made,
//   written, deleted or moved) to say "at <n> <file>" and wait for "go" while another
//   program opens the tables; then says "done <0 or the engine error> <calls made>".
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "engine/sql/QueryStatement.h"
#include "platform/FileCalls.h"
#include "tests/common/EngineTestSupport.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CrashScript.h"
#include "tests/engine/core/RecordTestSupport.h"
#include "tests/engine/core/StressTestSupport.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using namespace kura;
using namespace kura::test;
using kura::testchild::hear;
using kura::testchild::say;

platform::FileFaultAction ActionOf(const std::string& word) {
    if (word == "tear") return platform::FileFaultAction::TearAndStop;
    if (word == "pause") return platform::FileFaultAction::Pause;
    return platform::FileFaultAction::Stop;
}

// Tries the lock `take` takes once, without waiting, and says "waiting" when it is refused;
// the caller then waits for it. A lock taken at once is given back with `giveBack`.
template <typename Take, typename GiveBack>
void SayWhenRefused(TDataTable& table, Take&& take, GiveBack&& giveBack) {
    const int32_t attempts = table.GetIndexFile().LockAttempts;
    const int32_t semaphoreAttempts = table.SemaphoreAttempts;
    table.GetIndexFile().LockAttempts = 1;
    table.SemaphoreAttempts = 1;
    try {
        take(table);
        giveBack(table);
        say("not refused");
    } catch (const EKuraEngineError&) {
        say("waiting");
    }
    table.GetIndexFile().LockAttempts = attempts;
    table.SemaphoreAttempts = semaphoreAttempts;
}

// Runs body inside the engine library with a session on DIR; reports an engine
// error or another failure as "error <n>" / "fail <what>" with exit code 1.
template <typename Body>
int WithDatabase(const std::string& dir, bool force, Body&& body) {
    InitEngineLibrary();
    int exitCode = 0;
    {
        RecordDb db(dir, lpPessimistic);
        db.session.SetLockRetryCount(50);
        if (force) db.session.SetForceBufferFlush(true);
        try {
            body(db);
        } catch (const EKuraEngineError& e) {
            say("error " + std::to_string(e.ErrorCode()) + " " + e.what());
            exitCode = 1;
        } catch (const std::exception& e) {
            say(std::string("fail ") + e.what());
            exitCode = 1;
        }
    }
    DoneEngineLibrary();
    return exitCode;
}

// rename-met's folder, the call to stop before, and the calls on its files so far.
struct {
    std::string Folder;
    int At = 0, Made = 0;
} gRename;

// Counts a call on a file of the folder and, at the chosen one, stops before it.
void Meet(const std::string& path) {
    if (path.rfind(gRename.Folder + "/", 0) != 0 || ++gRename.Made != gRename.At) return;
    say("at " + std::to_string(gRename.Made) + " " + path.substr(gRename.Folder.size() + 1));
    hear();
}
int MetOpen(const char* path, int flags, mode_t mode) {
    const std::string_view name(path);
    if ((flags & O_CREAT) || name.ends_with(".RNM") || name.ends_with(".RN$")) Meet(path);
    return platform::SystemFileCalls().open(path, flags, mode);
}
ssize_t MetPwrite(int fd, const void* buffer, size_t count, off_t offset) {
    std::error_code ec;
    Meet(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string());
    return platform::SystemFileCalls().pwrite(fd, buffer, count, offset);
}
int MetUnlink(const char* path) {
    Meet(path);
    return platform::SystemFileCalls().unlink(path);
}
int MetRename(const char* from, const char* to) {
    Meet(from);
    return platform::SystemFileCalls().renameNoReplace(from, to);
}

const kura::testchild::ChildCommand renameMet("rename-met", [](const std::vector<std::string>& args) {
    if (args.size() < 4) return 2;
    return WithDatabase(args[0], false, [&](RecordDb& db) {
        gRename = {args[0], std::stoi(args[3]), 0};
        platform::FileCalls().open = MetOpen;
        platform::FileCalls().pwrite = MetPwrite;
        platform::FileCalls().unlink = MetUnlink;
        platform::FileCalls().renameNoReplace = MetRename;
        int32_t result = 0;
        const TEngineErrorCode raised = ErrorOf([&] { result = db.dir->RenameTable(args[1], args[2], false, false); });
        platform::FileCalls() = platform::SystemFileCalls();
        const TEngineErrorCode code = raised ? raised : static_cast<TEngineErrorCode>(result < 0 ? -result : 0);
        say("done " + std::to_string(code) + " " + std::to_string(gRename.Made));
    });
});

const kura::testchild::ChildCommand writer("crash-writer", [](const std::vector<std::string>& args) {
    if (args.size() < 8) return 2;
    const bool exclusive = args.size() > 8 && args[8] == "exclusive";
    return WithDatabase(args[0], args[7] == "1", [&](RecordDb& db) {
        if (exclusive) {
            db.session.RecordBufferCount = 2;
            db.session.BlobBufferCount = 2;
            db.session.IndexBufferSize = 1;
        }
        auto cursor = OpenRecordCursor(*db.dir, args[1], exclusive);
        const auto script = CrashScript(static_cast<uint32_t>(std::stoul(args[2])), std::stoi(args[3]),
                                        std::stoi(args[4]));
        platform::ArmFileFault({std::stoull(args[5]), ActionOf(args[6]), 5});
        for (std::size_t i = 0; i < script.size(); ++i) {
            const CrashStep& step = script[i];
            if (step.Transaction) db.dir->StartTransaction();
            for (const CrashOp& op : step.Ops) RunCrashOp(*cursor, op);
            if (step.Transaction) db.dir->Commit();
            say("step " + std::to_string(i + 1) + " " + std::to_string(platform::FileWriteCalls()));
        }
        say("done");
    });
});

const kura::testchild::ChildCommand reader("crash-reader", [](const std::vector<std::string>& args) {
    if (args.size() < 2) return 2;
    return WithDatabase(args[0], false, [&](RecordDb& db) {
        auto cursor = OpenRecordCursor(*db.dir, args[1]);
        say("ready");
        if (hear() != "go") return;
        // The reader lock first, as a key search takes it: the reader waits for a
        // writer inside its flush.
        SayWhenRefused(
            *cursor->GetTable(), [](TDataTable& t) { t.BeginRead(); }, [](TDataTable& t) { t.EndRead(); });
        cursor->GetTable()->BeginRead();
        std::vector<uint8_t> buffer(cursor->GetCursorRecordSize());
        cursor->SetToBegin();
        while (cursor->GetNextRecord(buffer.data()) == 0)
            say("row " + std::to_string(CodeOf(*cursor, buffer)) + " " + TextOf(*cursor, buffer, F_NAME) + "|" +
                TextOf(*cursor, buffer, F_NOTE));
        say("count " + std::to_string(cursor->GetTable()->GetRecordCount()));
        cursor->GetTable()->EndRead();
    });
});

const kura::testchild::ChildCommand appender("crash-appender", [](const std::vector<std::string>& args) {
    if (args.size() < 3) return 2;
    return WithDatabase(args[0], false, [&](RecordDb& db) {
        auto cursor = OpenRecordCursor(*db.dir, args[1]);
        say("ready");
        if (hear() != "go") return;
        SayWhenRefused(
            *cursor->GetTable(), [](TDataTable& t) { t.BeginWrite(); }, [](TDataTable& t) { t.EndWrite(); });
        const int32_t code = std::stoi(args[2]);
        AppendStressRecord(*cursor, code, "late" + std::to_string(code), "", {});
        say("ok");
    });
});

const kura::testchild::ChildCommand spiller("spill-writer", [](const std::vector<std::string>& args) {
    if (args.size() < 4) return 2;
    return WithDatabase(args[0], false, [&](RecordDb& db) {
        db.session.SetPrivateDir(args[1]);
        db.session.RecordBufferSize = 1024;
        db.session.IndexBufferSize = 16384;
        db.session.BlobBufferSize = 4096;
        db.session.TransactionMemory = 12000;
        auto cursor = OpenRecordCursor(*db.dir, args[2]);
        db.dir->StartTransaction();
        std::mt19937 rng(5);
        for (int32_t code = 1; code <= std::stoi(args[3]); ++code)
            RunCrashOp(*cursor, NewRecordOp(rng, 1000 + code, CrashOp::Append));
        say("open " + std::to_string(OpenFilesIn(args[1])));
        if (hear() != "commit") return;
        db.dir->Commit(true, false);
        say("done");
    });
});

const kura::testchild::ChildCommand builder("result-builder", [](const std::vector<std::string>& args) {
    if (args.size() < 3) return 2;
    return WithDatabase(args[0], false, [&](RecordDb& db) {
        db.session.SetPrivateDir(args[1]);
        for (uint64_t run = 0, at = 0; run < 2; ++run, at = platform::FileWriteCalls() * 3 / 4 + 1) {
            platform::ArmFileFault({at, platform::FileFaultAction::Pause, 5});
            TQueryStatement statement(db.dir);
            statement.Prepare(args[2]);
            TDataCursor* result = nullptr;
            statement.Execute(result);
        }
        say("done");
    });
});

}  // namespace
