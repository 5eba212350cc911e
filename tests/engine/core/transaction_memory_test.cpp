// A transaction whose changes outgrow the caches and its memory budget: they move
// to a spill file in the session's private folder, nothing reaches the table's
// files before the commit, and the commit and the rollback leave the table as a
// model of it says. A spill file that cannot be written fails the operation and
// nothing else; the spill file is removed on every path. A commit past the budget
// that appends beyond the table's old end, or that deletes much below it (bytes the
// journal's capture takes from the held changes only as it saves what they
// overwrite and writes them, the journal kept in a spill file of its own) ends
// before or after it, whatever call of it fails or is the last before a kill or a
// power cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <unistd.h>
#include <string>
#include <vector>

#include "engine/core/DataTable.h"
#include "engine/core/EngineLibrary.h"
#include "platform/FileCalls.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/FileCallFaults.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CrashScript.h"
#include "tests/engine/core/CutImages.h"
#include "tests/engine/core/TableCheck.h"

using namespace kura;
using namespace kura::test;
namespace fs = std::filesystem;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

const char* const TABLE = "HELD";

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The table's three files as they lie on the disk.
std::vector<std::vector<uint8_t>> TableFiles(const std::string& folder) {
    std::vector<std::vector<uint8_t>> files;
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) files.push_back(FileBytes(folder + "/" + TABLE + ext));
    return files;
}

// Whether the transaction spilled: its spill file is open, never named in the folder.
bool Spilling(const std::string& folder) {
    EXPECT_TRUE(fs::is_empty(folder));
    return OpenFilesIn(folder) > 0;
}
// No spill file left, named or open.
bool Empty(const std::string& folder) { return fs::is_empty(folder) && OpenFilesIn(folder) == 0; }

// The table as another program finds it, checked whole.
CrashRows SeenByAnotherProgram(const std::string& folder) {
    RecordDb other(folder, lpPessimistic);
    auto c = OpenRecordCursor(*other.dir, TABLE);
    return CheckTable(*c).Rows;
}

// Small caches, so that a transaction of a few dozen records outgrows them, and a
// budget of a few pages, so that its changes move to the spill file.
struct HeldDb : RecordDb {
    HeldDb(const std::string& data, const std::string& privateFolder) : RecordDb(data, lpPessimistic) {
        session.SetPrivateDir(privateFolder);
        session.RecordBufferSize = 1024;
        session.IndexBufferSize = 16384;
        session.BlobBufferSize = 4096;
        session.TransactionMemory = 12000;
    }
};

class HeldTable {
public:
    HeldTable() {
        fs::create_directories(Data());
        fs::create_directories(Private());
        RecordDb db(Data(), lpPessimistic);
        EXPECT_TRUE(CreateRecordTable(*db.dir, TABLE, StressTable()));
    }
    std::string Data() const { return tmp_.file("data"); }
    std::string Private() const { return tmp_.file("private"); }

private:
    TempDir tmp_;
};

// An operation on a random record of the model: a new one, or a change or
// deletion of one it holds.
CrashOp RandomOp(std::mt19937& rng, const CrashRows& rows, int32_t& nextCode) {
    if (rows.empty() || rng() % 5 < 2) return NewRecordOp(rng, nextCode++, CrashOp::Append);
    auto it = rows.begin();
    std::advance(it, static_cast<long>(rng() % rows.size()));
    return NewRecordOp(rng, it->first, rng() % 3 == 0 ? CrashOp::Delete : CrashOp::Modify);
}

// Rounds of transactions, each committed, rolled back or left to the closing
// session, checked against the model inside and after.
TEST(TransactionMemory, ATransactionPastItsBudgetEndsAsTheModelSays) {
    HeldTable t;
    std::mt19937 rng(43);
    CrashRows model;
    int32_t nextCode = 1;
    bool spilled = false;
    enum End { Commit, Rollback, SessionCloses };
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        const End end = round == 0 ? Commit : static_cast<End>(rng() % 3);
        const std::vector<std::vector<uint8_t>> before = TableFiles(t.Data());
        CrashRows changed = model;
        {
            HeldDb db(t.Data(), t.Private());
            auto c = OpenRecordCursor(*db.dir, TABLE);
            db.dir->StartTransaction();
            const int ops = round == 0 ? 60 : 25 + static_cast<int>(rng() % 30);
            for (int i = 0; i < ops; ++i) {
                const CrashOp op = RandomOp(rng, changed, nextCode);
                RunCrashOp(*c, op);
                ApplyToModel(changed, op);
                spilled = spilled || Spilling(t.Private());
            }
            {
                const auto now = TableFiles(t.Data());
                for (std::size_t f = 0; f < now.size(); ++f) {
                    std::size_t k = 0;
                    while (k < now[f].size() && k < before[f].size() && now[f][k] == before[f][k]) ++k;
                    EXPECT_EQ(now[f], before[f]) << "a change reached file " << f << " before the commit, at " << k
                                                 << " of " << now[f].size() << " / " << before[f].size();
                }
            }
            // The transaction reads its own changes, wherever they are held.
            if (round % 2 == 0) {
                SCOPED_TRACE("inside the transaction");
                EXPECT_EQ(CheckTable(*c).Rows, changed);
            }
            if (end == Commit) {
                db.dir->Commit();
                model = changed;
            } else if (end == Rollback) {
                db.dir->Rollback();
            }
        }
        EXPECT_TRUE(Empty(t.Private()));
        if (end != Commit) {
            EXPECT_EQ(TableFiles(t.Data()), before);
        }
        EXPECT_EQ(SeenByAnotherProgram(t.Data()), model);
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_TRUE(spilled);
}

// The stored size of what the table's caches hold.
int64_t CachedBytes(TDataTable& table) {
    int64_t bytes = int64_t{table.GetDataFile().GetCachedRecordCount()} * table.GetDataFile().GetRecordSize();
    for (uint8_t slot = 0; slot < INDEX_SLOT_COUNT; ++slot)
        bytes += int64_t{table.GetIndexFile().CachedPageCount(slot)} * INDEX_PAGE_SIZE;
    return bytes + int64_t{table.GetBlobFile().GetCachedBlockCount()} * table.GetBlobFile().GetBlockSize();
}

// Under its budget a transaction stays in the caches, however far they grow past
// their usual size: nothing is held, nothing spilled. Past it the caches give up
// their changed items and stay about the budget's size. Either way the
// transaction reads its own changes and the commit leaves the model's table.
TEST(TransactionMemory, TheCachesKeepATransactionUpToItsBudget) {
    struct Case {
        const char* Name;
        int64_t Budget;
        bool Held;
    };
    const Case cases[] = {{"under the budget", int64_t{256} << 20, false}, {"past the budget", 96 * 1024, true}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.Name);
        HeldTable t;
        std::mt19937 rng(11);
        CrashRows model;
        int32_t nextCode = 1;
        int64_t mostCached = 0;
        bool spilled = false;
        {
            HeldDb db(t.Data(), t.Private());
            db.session.TransactionMemory = k.Budget;
            auto c = OpenRecordCursor(*db.dir, TABLE);
            TDataTable& table = *c->GetTable();
            const int32_t usual = db.session.RecordBufferSize / table.GetDataFile().GetRecordSize();
            db.dir->StartTransaction();
            for (int i = 0; i < 300; ++i) {
                const CrashOp op = RandomOp(rng, model, nextCode);
                RunCrashOp(*c, op);
                ApplyToModel(model, op);
                mostCached = std::max(mostCached, CachedBytes(table));
                spilled = spilled || Spilling(t.Private());
            }
            bool held = false;
            for (TFileHandler* file : std::initializer_list<TFileHandler*>{
                     &table.GetDataFile(), &table.GetIndexFile(), &table.GetBlobFile()}) {
                ASSERT_NE(file->Held, nullptr);
                held = held || !file->Held->Empty();
            }
            EXPECT_EQ(held, k.Held);
            EXPECT_EQ(spilled, k.Held);
            if (k.Held) {
                // The growth steps of the caches above the budget, and no more.
                EXPECT_LT(mostCached, k.Budget + 96 * 1024);
            } else {
                EXPECT_GT(table.GetDataFile().GetCachedRecordCount(), 4 * usual);
                EXPECT_GT(mostCached, 96 * 1024);
            }
            EXPECT_EQ(CheckTable(*c).Rows, model);
            db.dir->Commit();
        }
        EXPECT_TRUE(Empty(t.Private()));
        EXPECT_EQ(SeenByAnotherProgram(t.Data()), model);
    }
}

// A write of the spill file that fails, at every write call of a transaction in
// turn (before its commit they are the only ones): the operation reports 9218,
// the table's files are untouched, the rollback leaves the table as it was and
// removes the spill file, and the program goes on with its next transaction.
TEST(TransactionMemory, AFailedSpillWriteFailsTheOperationOnly) {
    HeldTable t;
    std::mt19937 rng(7);
    CrashRows model;
    int32_t nextCode = 1;
    {
        RecordDb db(t.Data(), lpPessimistic);
        auto c = OpenRecordCursor(*db.dir, TABLE);
        for (int i = 0; i < 20; ++i) {
            const CrashOp op = NewRecordOp(rng, nextCode++, CrashOp::Append);
            RunCrashOp(*c, op);
            ApplyToModel(model, op);
        }
    }
    std::vector<CrashOp> script;
    CrashRows changed = model;
    for (int i = 0; i < 40; ++i) {
        script.push_back(RandomOp(rng, changed, nextCode));
        ApplyToModel(changed, script.back());
    }
    const std::vector<std::vector<uint8_t>> before = TableFiles(t.Data());
    // Runs the script in a transaction with the fault armed; the error it met.
    auto attempt = [&](uint64_t at, uint64_t& calls) {
        HeldDb db(t.Data(), t.Private());
        auto c = OpenRecordCursor(*db.dir, TABLE);
        db.dir->StartTransaction();
        TEngineErrorCode code = 0;
        const FaultedCall faulted = CallFailingAt(at, EIO, [&] { for (const CrashOp& op : script) RunCrashOp(*c, op); });
        code = faulted.Code;
        calls = faulted.Calls;
        EXPECT_EQ(TableFiles(t.Data()), before);
        db.dir->Rollback();
        EXPECT_TRUE(Empty(t.Private()));
        EXPECT_EQ(SeenByAnotherProgram(t.Data()), model);
        return code;
    };
    uint64_t total = 0;
    EXPECT_EQ(attempt(0, total), 0);
    ASSERT_GT(total, 2u) << "the script never spilled";
    // Every call of the first few spills, then spread over the rest.
    int failed = 0;
    for (uint64_t at = 1; at <= total; at = at < 12 ? at + 1 : at + total / 12 + 1) {
        SCOPED_TRACE(at);
        uint64_t calls = 0;
        const TEngineErrorCode code = attempt(at, calls);
        EXPECT_EQ(code, KURA_WRITEERR);
        failed += code != 0;
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(failed, 10);
    // A temporary folder where no file can be made: the refusal names the folder,
    // written as a folder, not the spill file it could not make, as if that were a
    // table.
    {
        const RefusedOpensIn refused(t.Private());
        HeldDb db(t.Data(), t.Private());
        auto c = OpenRecordCursor(*db.dir, TABLE);
        db.dir->StartTransaction();
        try {
            for (const CrashOp& op : script) RunCrashOp(*c, op);
            ADD_FAILURE() << "the script never spilled";
        } catch (const EKuraEngineError& e) {
            const std::string message = e.what();
            EXPECT_EQ(e.ErrorCode(), KURA_OSEACCES);
            EXPECT_NE(message.find("'" + t.Private() + "/'"), std::string::npos) << message;
            EXPECT_EQ(message.find(".TMP"), std::string::npos) << message;
        }
        EXPECT_EQ(TableFiles(t.Data()), before);
        db.dir->Rollback();
    }
    // The program goes on: the whole script in one transaction, committed.
    {
        HeldDb db(t.Data(), t.Private());
        auto c = OpenRecordCursor(*db.dir, TABLE);
        db.dir->StartTransaction();
        for (const CrashOp& op : script) RunCrashOp(*c, op);
        db.dir->Commit();
        EXPECT_TRUE(Empty(t.Private()));
    }
    EXPECT_EQ(SeenByAnotherProgram(t.Data()), changed);
}

// A program started inside a transaction past its budget is killed there, or
// commits: either way it leaves nothing in the temporary folder, where its spill
// file never had a name.
TEST(TransactionMemory, ASpillFileNeverOutlivesItsProgram) {
    HeldTable t;
    for (const bool killed : {true, false}) {
        SCOPED_TRACE(killed ? "killed" : "committed");
        ChildProcess writer({"spill-writer", t.Data(), t.Private(), TABLE, "60"});
        const std::string line = writer.readLine(60000);
        ASSERT_EQ(line.rfind("open ", 0), 0u) << line;
        EXPECT_GE(std::stoi(line.substr(5)), 1) << "the transaction never spilled";
        EXPECT_EQ(FolderNames(t.Private()), std::vector<std::string>{});
        if (killed) {
            writer.kill(SIGKILL);
            EXPECT_EQ(writer.wait(), 128 + SIGKILL);
        } else {
            writer.send("commit");
            EXPECT_EQ(writer.readLine(60000), "done");
            EXPECT_EQ(writer.wait(), 0);
        }
        EXPECT_EQ(FolderNames(t.Private()), std::vector<std::string>{});
    }
}

// The spill file's writes, counted, and the one of them that fails (0: none).
struct SpillFault {
    std::string Folder;  // the private folder as the kernel names it
    uint64_t Writes = 0;
    uint64_t FailAt = 0;

    // Commits with the call at `at` failing (0: none); the error the commit met.
    // Writes counts the calls it made.
    TEngineErrorCode Commit(TDataDirectory& dir, uint64_t at) {
        Writes = 0;
        FailAt = at;
        TEngineErrorCode code = 0;
        try {
            dir.Commit();
        } catch (const EKuraEngineError& e) {
            code = e.ErrorCode();
        }
        FailAt = 0;
        return code;
    }
};
SpillFault* gSpillFault = nullptr;

ssize_t SpillFaultPwrite(int fd, const void* buffer, size_t count, off_t offset) {
    char link[4096] = {};
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(proc.c_str(), link, sizeof link - 1);
    if (gSpillFault && n > 0 && std::string(link, static_cast<std::size_t>(n)).rfind(gSpillFault->Folder + "/", 0) == 0 &&
        ++gSpillFault->Writes == gSpillFault->FailAt) {
        errno = EIO;
        return -1;
    }
    return platform::SystemFileCalls().pwrite(fd, buffer, count, offset);
}

// A commit hands what the caches still hold to the held changes first; a spill
// write that fails then, at each such write in turn, fails the commit with 9218
// before anything reaches the table's files, and the transaction stays whole:
// the same commit, asked again, leaves the changed table, or a rollback the old.
TEST(TransactionMemory, AFailedSpillWriteAtTheCommitLeavesTheTransactionWhole) {
    std::mt19937 rng(5);
    int32_t nextCode = 1;
    std::vector<CrashOp> script;
    CrashRows changed;
    for (int i = 0; i < 90; ++i) {
        script.push_back(RandomOp(rng, changed, nextCode));
        ApplyToModel(changed, script.back());
    }
    SpillFault fault;
    gSpillFault = &fault;
    platform::FileCalls().pwrite = SpillFaultPwrite;
    // On a new table: runs the script and commits with the fault armed; the
    // error the commit met, and the spill writes it made.
    auto attempt = [&](uint64_t at, bool retry, uint64_t& writes) {
        HeldTable t;
        fault.Folder = fs::canonical(t.Private()).string();
        const std::vector<std::vector<uint8_t>> before = TableFiles(t.Data());
        TEngineErrorCode code = 0;
        {
            HeldDb db(t.Data(), t.Private());
            auto c = OpenRecordCursor(*db.dir, TABLE);
            db.dir->StartTransaction();
            for (const CrashOp& op : script) RunCrashOp(*c, op);
            code = fault.Commit(*db.dir, at);
            writes = fault.Writes;
            if (code != 0) {
                EXPECT_EQ(TableFiles(t.Data()), before);
                if (retry) {
                    db.dir->Commit();
                } else {
                    db.dir->Rollback();
                    EXPECT_EQ(TableFiles(t.Data()), before);
                }
            }
        }
        EXPECT_TRUE(Empty(t.Private()));
        EXPECT_EQ(SeenByAnotherProgram(t.Data()), code == 0 || retry ? changed : CrashRows());
        return code;
    };
    uint64_t total = 0;
    EXPECT_EQ(attempt(0, false, total), 0);
    EXPECT_GT(total, 0u) << "the commit wrote nothing to the spill file";
    for (uint64_t at = 1; at <= total; ++at) {
        for (const bool retry : {false, true}) {
            SCOPED_TRACE(std::to_string(at) + (retry ? " committed again" : " rolled back"));
            uint64_t writes = 0;
            EXPECT_EQ(attempt(at, retry, writes), KURA_WRITEERR);
        }
        if (::testing::Test::HasFailure()) break;
    }
    platform::FileCalls().pwrite = platform::SystemFileCalls().pwrite;
    gSpillFault = nullptr;
}

// A transaction well past its budget, of one of two kinds. Appends: on a table of
// a few records, records changed below the old end of the files, many more
// appended beyond it (with BLOBs), some deleted. A delete: a third of a larger
// table's records, scattered over it, all of it below the old end.
enum class BigKind { Appends, Delete };
const BigKind kBigKinds[] = {BigKind::Appends, BigKind::Delete};
const char* NameOf(BigKind kind) { return kind == BigKind::Appends ? "appends" : "a delete"; }

class BigCommit {
public:
    explicit BigCommit(BigKind kind) : kind_(kind) {
        std::mt19937 rng(29);
        const int32_t initial = kind == BigKind::Appends ? 12 : 60;
        {
            RecordDb db(t_.Data(), lpPessimistic);
            auto c = OpenRecordCursor(*db.dir, TABLE);
            if (kind == BigKind::Delete) db.dir->StartTransaction();
            for (; next_ <= initial; ++next_) {
                const CrashOp op = NewRecordOp(rng, next_, CrashOp::Append);
                RunCrashOp(*c, op);
                ApplyToModel(before_, op);
            }
            if (kind == BigKind::Delete) db.dir->Commit();
        }
        after_ = before_;
        for (int i = 0; i < 140 && kind == BigKind::Appends; ++i) {
            CrashOp op = NewRecordOp(rng, next_++, CrashOp::Append);
            if (i % 10 == 3) op = NewRecordOp(rng, 1 + static_cast<int32_t>(rng() % 12), CrashOp::Modify);
            if (i % 29 == 7) op = CrashOp{CrashOp::Delete, 2 + static_cast<int32_t>(i % 9), {}, {}, 0, 0};
            if (op.What != CrashOp::Append && !after_.count(op.Code)) continue;
            script_.push_back(op);
            ApplyToModel(after_, op);
        }
        if (kind == BigKind::Delete) {
            for (int32_t code = 1; code <= initial; ++code)
                if (rng() % 3 == 0) script_.push_back(CrashOp{CrashOp::Delete, code, {}, {}, 0, 0});
            std::shuffle(script_.begin(), script_.end(), rng);
            for (const CrashOp& op : script_) ApplyToModel(after_, op);
        }
        pristine_ = ReadFolder(t_.Data());
    }
    std::string Data() const { return t_.Data(); }
    std::string Private() const { return t_.Private(); }
    const CrashRows& Before() const { return before_; }
    const CrashRows& After() const { return after_; }
    const FolderFiles& Pristine() const { return pristine_; }
    void Restore() const { WriteFolder(t_.Data(), pristine_); }
    // Starts the transaction and makes its changes; true when they spilled.
    bool Change(HeldDb& db, TDataCursor& c) const {
        // The delete is smaller: its budget is too.
        if (kind_ == BigKind::Delete) db.session.TransactionMemory = 4096;
        db.dir->StartTransaction();
        for (const CrashOp& op : script_) RunCrashOp(c, op);
        return Spilling(t_.Private());
    }

private:
    BigKind kind_;
    HeldTable t_;
    int32_t next_ = 1;
    CrashRows before_;
    CrashRows after_;
    std::vector<CrashOp> script_;
    FolderFiles pristine_;
};

// A failure (ENOSPC, EIO) at every write, cut and sync of the commit in turn: the
// commit raises, no byte of the table's files and not their sizes have changed,
// the rollback leaves the table as before and the program goes on; once no call
// fails the table is as after.
TEST(TransactionMemory, ABigCommitThatFailsAtAnyCallLeavesTheTableAsBefore) {
    const NoDiskSyncs noSyncs;
    for (const auto& [kind, forced] : {std::pair{BigKind::Appends, false}, std::pair{BigKind::Appends, true},
                                       std::pair{BigKind::Delete, false}, std::pair{BigKind::Delete, true}}) {
        SCOPED_TRACE(std::string(NameOf(kind)) + (forced ? ", forced" : ", not forced"));
        const BigCommit t(kind);
        int failed = 0;
        for (uint64_t at = 1;; ++at) {
            SCOPED_TRACE("write call " + std::to_string(at));
            t.Restore();
            TEngineErrorCode code = 0;
            uint64_t calls = 0;
            {
                HeldDb db(t.Data(), t.Private());
                auto c = OpenRecordCursor(*db.dir, TABLE);
                ASSERT_TRUE(t.Change(db, *c)) << "the transaction never spilled";
                const FaultedCall faulted = CallFailingAt(at, FullDiskOrFailedDevice(at), [&] { db.dir->Commit(true, forced); });
                code = faulted.Code;
                calls = faulted.Calls;
                if (code != 0) {
                    ++failed;
                    EXPECT_EQ(TableFilesOf(ReadFolder(t.Data())), TableFilesOf(t.Pristine()));
                    db.dir->Rollback();
                    EXPECT_EQ(TableFilesOf(ReadFolder(t.Data())), TableFilesOf(t.Pristine()));
                    // Read by a new cursor, which did not see the failure.
                    auto fresh = OpenRecordCursor(*db.dir, TABLE);
                    EXPECT_EQ(CheckTable(*fresh).Rows, t.Before());
                }
            }
            EXPECT_TRUE(Empty(t.Private()));
            if (code == 0 || at % 8 == 1) {
                EXPECT_EQ(SeenByAnotherProgram(t.Data()), code == 0 ? t.After() : t.Before());
            }
            if (calls < at || ::testing::Test::HasFailure()) break;
        }
        EXPECT_GT(failed, 4);
    }
}

// The commit recorded, then stopped after each of its calls by a kill, or (forced)
// a power cut that loses or tears what was not synced: the next program finds the
// table before or after the commit, and after it once a forced commit returned.
TEST(TransactionMemory, ABigCommitCutAtAnyCallEndsBeforeOrAfterIt) {
    for (const auto& [kind, forced] : {std::pair{BigKind::Appends, false}, std::pair{BigKind::Appends, true},
                                       std::pair{BigKind::Delete, false}, std::pair{BigKind::Delete, true}}) {
        SCOPED_TRACE(std::string(NameOf(kind)) + (forced ? ", forced" : ", not forced"));
        const BigCommit t(kind);
        t.Restore();
        FolderFiles baseline;
        FolderFiles done;
        std::vector<FileEvent> events;
        {
            HeldDb db(t.Data(), t.Private());
            auto c = OpenRecordCursor(*db.dir, TABLE);
            ASSERT_TRUE(t.Change(db, *c)) << "the transaction never spilled";
            baseline = ReadFolder(t.Data());
            CallRecorder recorder(t.Data());
            db.dir->Commit(true, forced);
            events = recorder.Events();
            done = ReadFolder(t.Data());
        }
        const FolderFiles before = Unstamped(baseline);
        const FolderFiles after = Unstamped(done);
        ASSERT_NE(before, after);
        // The appends went beyond the old end of the data file; the delete stayed below it.
        const std::string data = std::string(TABLE) + ".DAT";
        ASSERT_EQ(done.at(data).size() > baseline.at(data).size(), kind == BigKind::Appends);
        const NoDiskSyncs noSyncs;
        int sides[2] = {0, 0};
        for (std::size_t cut = 0; cut <= events.size(); ++cut) {
            std::mt19937 rng(static_cast<uint32_t>(cut));
            const std::vector<CutModel> models = forced
                                                     ? std::vector<CutModel>{CutModel::Kill, CutModel::Lost, CutModel::Torn}
                                                     : std::vector<CutModel>{CutModel::Kill};
            for (const CutModel model : models) {
                SCOPED_TRACE("stopped after call " + std::to_string(cut) + " of " + std::to_string(events.size()) +
                             ", model " + std::to_string(static_cast<int>(model)));
                WriteFolder(t.Data(), CutImage(baseline, events, cut, model, rng));
                EXPECT_EQ(RecoverTables(t.Data(), {TABLE}), 0);
                const FolderFiles now = Unstamped(ReadFolder(t.Data()));
                const bool isBefore = now == before;
                const bool isAfter = now == after;
                EXPECT_TRUE(isBefore || isAfter);
                if (forced && cut == events.size()) {
                    EXPECT_TRUE(isAfter) << "a forced commit that returned";
                }
                sides[isAfter ? 1 : 0] += isBefore || isAfter ? 1 : 0;
                if (cut % 8 == 3 && model == CutModel::Kill) {
                    EXPECT_EQ(SeenByAnotherProgram(t.Data()), isAfter ? t.After() : t.Before());
                }
                if (::testing::Test::HasFailure()) break;
            }
            if (::testing::Test::HasFailure()) break;
        }
        EXPECT_GT(sides[0], 0);
        EXPECT_GT(sides[1], 0);
    }
}

// The spill file's reads, counted, and the one of them that fails (0: none).
SpillFault* gSpillReadFault = nullptr;

ssize_t SpillFaultPread(int fd, void* buffer, size_t count, off_t offset) {
    char link[4096] = {};
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(proc.c_str(), link, sizeof link - 1);
    if (gSpillReadFault && n > 0 &&
        std::string(link, static_cast<std::size_t>(n)).rfind(gSpillReadFault->Folder + "/", 0) == 0 &&
        ++gSpillReadFault->Writes == gSpillReadFault->FailAt) {
        errno = EIO;
        return -1;
    }
    return platform::SystemFileCalls().pread(fd, buffer, count, offset);
}

// The commit reads the held bytes from the spill file as it saves what they
// overwrite and as it writes them in place, and its journal from a spill file of
// its own; a read that fails there, at each in turn, fails the commit with nothing
// of it in the table's files, and the rollback leaves the table as before. A test
// for each kind of commit, each well inside a test's time on a loaded machine.
class SpillReads : public ::testing::TestWithParam<BigKind> {};

TEST_P(SpillReads, AReadThatFailsAtTheCommitLeavesTheTableAsBefore) {
    const BigKind kind = GetParam();
    SCOPED_TRACE(NameOf(kind));
    const BigCommit t(kind);
    SpillFault fault;
    fault.Folder = fs::canonical(t.Private()).string();
    gSpillReadFault = &fault;
    platform::FileCalls().pread = SpillFaultPread;
    uint64_t total = 0;
    int failed = 0;
    for (uint64_t at = 0; at == 0 || at <= total; ++at) {
        SCOPED_TRACE("spill read " + std::to_string(at));
        t.Restore();
        TEngineErrorCode code = 0;
        {
            HeldDb db(t.Data(), t.Private());
            auto c = OpenRecordCursor(*db.dir, TABLE);
            EXPECT_TRUE(t.Change(db, *c));
            code = fault.Commit(*db.dir, at);
            if (at == 0) total = fault.Writes;
            if (code != 0) {
                ++failed;
                EXPECT_EQ(TableFilesOf(ReadFolder(t.Data())), TableFilesOf(t.Pristine()));
                db.dir->Rollback();
                EXPECT_EQ(TableFilesOf(ReadFolder(t.Data())), TableFilesOf(t.Pristine()));
            }
        }
        EXPECT_EQ(code != 0, at != 0);
        EXPECT_TRUE(Empty(t.Private()));
        // Another program's look costs a process: taken at every eighth read (the
        // files are compared at every one above).
        if (code == 0 || at % 8 == 1) {
            EXPECT_EQ(SeenByAnotherProgram(t.Data()), code == 0 ? t.After() : t.Before());
        }
        if (::testing::Test::HasFailure()) break;
    }
    platform::FileCalls().pread = platform::SystemFileCalls().pread;
    gSpillReadFault = nullptr;
    EXPECT_GT(total, 0u) << "the commit read nothing of the spill file";
    EXPECT_EQ(failed, static_cast<int>(total));
}

INSTANTIATE_TEST_SUITE_P(TransactionMemory, SpillReads, ::testing::ValuesIn(kBigKinds),
                         [](const ::testing::TestParamInfo<BigKind>& info) {
                             return info.param == BigKind::Appends ? std::string("Appends") : std::string("Delete");
                         });

}  // namespace
