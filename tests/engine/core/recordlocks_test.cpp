// Record edits between two programs under both lock protocols, and the moment a
// write becomes visible to the other program. The second program is the test
// child's "rec-shell" command (tests/helpers/child_records.cpp).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/IndexFile.h"
#include "engine/sql/QueryStatement.h"
#include "platform/FileCalls.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/RecordTestSupport.h"
#include "tests/engine/core/TableTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

std::string Ask(ChildProcess& child, const std::string& line) {
    child.send(line);
    return child.readLine();
}

struct TwoPrograms {
    explicit TwoPrograms(uint8_t protocol) : db(tmp.path(), protocol) {
        EXPECT_TRUE(CreateRecordTable(*db.dir, "REC", RecordTable()));
        cursor = OpenRecordCursor(*db.dir, "REC");
        std::vector<uint8_t> record = MakeRecord(*cursor, 1, "A");
        cursor->AppendRecord(record.data(), true);
        buffer.resize(cursor->GetCursorRecordSize());
        child = std::make_unique<ChildProcess>(
            std::vector<std::string>{"rec-shell", tmp.path(), "REC", std::to_string(protocol)});
        EXPECT_EQ(child->readLine(), "ready");
    }
    ~TwoPrograms() {
        if (child) {
            child->send("quit");
            child->wait();
        }
    }
    // The first record read again into the buffer; its name.
    std::string ReadFirst() {
        cursor->SetToBegin();
        EXPECT_EQ(cursor->GetNextRecord(buffer.data()), 0);
        return TextOf(*cursor, buffer);
    }
    TempDir tmp;
    RecordDb db;
    std::unique_ptr<TDataCursor> cursor;
    std::vector<uint8_t> buffer;
    std::unique_ptr<ChildProcess> child;
};

}  // namespace

TEST(RecordLocks, PessimisticLockRefusesTheOtherProgramUntilPostOrCancel) {
    TwoPrograms p(lpPessimistic);
    EXPECT_EQ(Ask(*p.child, "first"), "rec 1 A");
    ASSERT_EQ(Ask(*p.child, "lock"), "ok");

    EXPECT_EQ(p.ReadFirst(), "A");
    EXPECT_EQ(ErrorOf([&] { p.cursor->GetCurrentRecord(p.buffer.data(), true); }), KURA_RECLOCKFAILED);
    // Posting without a lock takes the lock first, so it is refused as well.
    std::vector<uint8_t> change = p.buffer;
    SetName(*p.cursor, change, "Parent");
    EXPECT_EQ(ErrorOf([&] { p.cursor->ModifyRecord(change.data(), true, true); }), KURA_RECLOCKFAILED);
    EXPECT_EQ(ErrorOf([&] { p.cursor->DeleteRecord(p.buffer.data(), true); }), KURA_RECLOCKFAILED);

    // The post releases the lock; the parent's copy is then stale.
    EXPECT_EQ(Ask(*p.child, "name Child"), "ok");
    EXPECT_EQ(ErrorOf([&] { p.cursor->GetCurrentRecord(p.buffer.data(), true); }), KURA_KEYORRECDELETED);
    EXPECT_EQ(p.ReadFirst(), "Child");
    ASSERT_EQ(p.cursor->GetCurrentRecord(p.buffer.data(), true), 0);
    EXPECT_EQ(Ask(*p.child, "read"), "rec 1 Child");
    EXPECT_EQ(Ask(*p.child, "lock"), "error 10258");
    p.cursor->CancelRecord();

    // A cancel releases the lock as well.
    ASSERT_EQ(Ask(*p.child, "lock"), "ok");
    EXPECT_EQ(ErrorOf([&] { p.cursor->GetCurrentRecord(p.buffer.data(), true); }), KURA_RECLOCKFAILED);
    EXPECT_EQ(Ask(*p.child, "cancel"), "ok");
    ASSERT_EQ(p.cursor->GetCurrentRecord(p.buffer.data(), true), 0);
    SetName(*p.cursor, p.buffer, "Parent");
    p.cursor->ModifyRecord(p.buffer.data(), true, true);
    // The child's copy is stale now: its lock request says so and refreshes it.
    EXPECT_EQ(Ask(*p.child, "lock"), "error 8708");
    EXPECT_EQ(Ask(*p.child, "read"), "rec 1 Parent");
    EXPECT_EQ(Ask(*p.child, "lock"), "ok");
    EXPECT_EQ(Ask(*p.child, "cancel"), "ok");
}

TEST(RecordLocks, OptimisticStaleCopyIsRefusedUntilCancelledAndReread) {
    TwoPrograms p(lpOptimistic);
    EXPECT_EQ(Ask(*p.child, "first"), "rec 1 A");
    ASSERT_EQ(Ask(*p.child, "lock"), "ok");
    EXPECT_EQ(p.ReadFirst(), "A");
    ASSERT_EQ(p.cursor->GetCurrentRecord(p.buffer.data(), true), 0);

    // Both edit; the first post wins.
    EXPECT_EQ(Ask(*p.child, "name Child"), "ok");
    std::vector<uint8_t> change = p.buffer;
    SetName(*p.cursor, change, "Parent");
    EXPECT_EQ(ErrorOf([&] { p.cursor->ModifyRecord(change.data(), true, true); }), KURA_KEYORRECDELETED);
    EXPECT_EQ(p.ReadFirst(), "Child");
    change = p.buffer;
    SetName(*p.cursor, change, "Parent");
    EXPECT_EQ(ErrorOf([&] { p.cursor->ModifyRecord(change.data(), true, true); }), KURA_KEYORRECDELETED);
    EXPECT_EQ(Ask(*p.child, "read"), "rec 1 Child");

    p.cursor->CancelRecord();
    EXPECT_EQ(p.ReadFirst(), "Child");
    SetName(*p.cursor, p.buffer, "Parent");
    p.cursor->ModifyRecord(p.buffer.data(), true, true);
    // The child's own copy is now the stale one.
    EXPECT_EQ(Ask(*p.child, "name Again"), "error 8708");
    EXPECT_EQ(Ask(*p.child, "read"), "rec 1 Parent");
}

TEST(RecordLocks, WritesReachTheOtherProgramAtTheirFlushOrCommit) {
    TwoPrograms p(lpPessimistic);
    EXPECT_EQ(Ask(*p.child, "count"), "count 1");
    std::vector<uint8_t> record = MakeRecord(*p.cursor, 2, "B");
    p.cursor->AppendRecord(record.data(), true);
    EXPECT_EQ(Ask(*p.child, "count"), "count 2");

    p.db.dir->StartTransaction();
    record = MakeRecord(*p.cursor, 3, "C");
    p.cursor->AppendRecord(record.data(), true);
    EXPECT_EQ(p.ReadFirst(), "A");
    SetName(*p.cursor, p.buffer, "Changed");
    p.cursor->ModifyRecord(p.buffer.data(), true, true);
    EXPECT_EQ(Ask(*p.child, "count"), "count 2");
    EXPECT_EQ(Ask(*p.child, "first"), "rec 1 A");
    p.db.dir->Commit();
    EXPECT_EQ(Ask(*p.child, "count"), "count 3");
    EXPECT_EQ(Ask(*p.child, "first"), "rec 1 Changed");

    // The other program's append lands in the parent's view too.
    EXPECT_EQ(Ask(*p.child, "append 4 D"), "ok");
    p.cursor->Refresh();
    EXPECT_EQ(p.cursor->GetTable()->GetRecordCount(), 4u);
}

// A transaction holds the lock of every record it appends until it ends (those
// of new slots are taken ahead, a run per call): the other program can lock none
// of them before, every one after the commit but the one still being edited here,
// and no lock of a slot the transaction did not fill is left behind.
TEST(RecordLocks, ATransactionsAppendsAreLockedUntilItEndsAndNoLongerAfter) {
    TwoPrograms p(lpPessimistic);
    constexpr int32_t LAST = 41;
    auto appendAll = [&](int committed) {
        p.db.dir->StartTransaction();
        for (int32_t code = 2; code <= LAST; ++code) {
            std::vector<uint8_t> record = MakeRecord(*p.cursor, code, "T" + std::to_string(code));
            p.cursor->AppendRecord(record.data(), true);
        }
        // The other program reads and locks what was committed meanwhile.
        EXPECT_EQ(Ask(*p.child, "count"), "count " + std::to_string(committed));
        EXPECT_EQ(Ask(*p.child, "first"), "rec 1 A");
        EXPECT_EQ(Ask(*p.child, "lock"), "ok");
        EXPECT_EQ(Ask(*p.child, "cancel"), "ok");
    };
    appendAll(1);
    p.db.dir->Rollback();
    p.cursor->SetToBegin();  // off the records that are gone
    EXPECT_EQ(Ask(*p.child, "count"), "count 1");
    // The slot after the last record is free for the other program's append.
    EXPECT_EQ(Ask(*p.child, "append 99 R"), "ok");

    appendAll(2);
    ASSERT_EQ(p.cursor->GetCurrentRecord(p.buffer.data(), false), 0);
    ASSERT_EQ(p.cursor->GetCurrentRecord(p.buffer.data(), true), 0);
    EXPECT_EQ(CodeOf(*p.cursor, p.buffer), LAST);
    p.db.dir->Commit();
    EXPECT_EQ(Ask(*p.child, "count"), "count " + std::to_string(LAST + 1));
    EXPECT_EQ(Ask(*p.child, "first"), "rec 1 A");
    for (int32_t code = 2; code <= LAST; ++code) {
        SCOPED_TRACE(code);
        ASSERT_EQ(Ask(*p.child, "next"), "rec " + std::to_string(code) + " T" + std::to_string(code));
        if (code == LAST) {
            EXPECT_EQ(Ask(*p.child, "lock"), "error 10258");
        } else {
            EXPECT_EQ(Ask(*p.child, "lock"), "ok");
            EXPECT_EQ(Ask(*p.child, "cancel"), "ok");
        }
    }
    p.cursor->CancelRecord();
    EXPECT_EQ(Ask(*p.child, "lock"), "ok");
    EXPECT_EQ(Ask(*p.child, "cancel"), "ok");
    EXPECT_EQ(Ask(*p.child, "append 100 S"), "ok");
    EXPECT_EQ(Ask(*p.child, "count"), "count " + std::to_string(LAST + 2));
}

namespace {

// Records 1..count with code = record number; the cursor is the table's first.
std::unique_ptr<TDataCursor> FilledTable(RecordDb& db, int32_t count) {
    EXPECT_TRUE(CreateRecordTable(*db.dir, "REC", RecordTable()));
    auto cursor = OpenRecordCursor(*db.dir, "REC");
    for (int32_t code = 1; code <= count; ++code) {
        std::vector<uint8_t> record = MakeRecord(*cursor, code, "N" + std::to_string(code));
        cursor->AppendRecord(record.data(), true);
    }
    return cursor;
}

// Puts the cursor on the record with this code and reads it, locked when asked.
void Edit(TDataCursor& cursor, std::vector<uint8_t>& buffer, int32_t code, bool lock) {
    cursor.SetToBegin();
    while (cursor.GetNextRecord(buffer.data()) == 0)
        if (CodeOf(cursor, buffer) == code) break;
    ASSERT_EQ(CodeOf(cursor, buffer), code);
    ASSERT_EQ(cursor.GetCurrentRecord(buffer.data(), lock), 0);
}

std::string Refused(const std::vector<int32_t>& records) {
    std::string line = "refused";
    for (int32_t r : records) line += " " + std::to_string(r);
    return line;
}

// Beside the table REC of records 1 .. count: a probe of its record locks and the
// other program on it.
struct LockWatchers {
    LockWatchers(const TempDir& tmp, int32_t count)
        : Probe({"files_probe", tmp.file("REC.DAT")}),
          Other({"rec-shell", tmp.path(), "REC", std::to_string(lpPessimistic)}), Last(count + 10) {
        EXPECT_EQ(Probe.readLine(), "ready");
        EXPECT_EQ(Other.readLine(), "ready");
    }
    // "refused" and each record of 1 .. count + 10 whose lock somebody holds.
    std::string Held() {
        Probe.send("records 0 1 " + std::to_string(Last));
        return Probe.readLine();
    }
    // Both children end on their own.
    void Quit() {
        for (ChildProcess* child : {&Other, &Probe}) {
            child->send("quit");
            EXPECT_EQ(child->wait(), 0);
        }
    }
    ChildProcess Probe;
    ChildProcess Other;
    int32_t Last;
};

std::vector<int32_t> Numbers(int32_t first, int32_t last, int32_t step = 1) {
    std::vector<int32_t> numbers;
    for (int32_t r = first; r <= last; r += step) numbers.push_back(r);
    return numbers;
}

}  // namespace

// A transaction over many scattered records takes, past a threshold, one lock
// over the whole record-lock range while it holds the write semaphore: the other
// program is refused every record meanwhile (one it edits after the usual
// retries), and at the end finds held exactly what it would without escalation:
// the records this program still edits, whether they were locked before the
// transaction or inside it. While the other program holds a record lock the
// transaction keeps single locks, and it escalates once that lock is gone.
TEST(RecordLocks, AScatteredTransactionEscalatesOnlyWhileNobodyElseHoldsARecord) {
    TempDir tmp;
    RecordDb db(tmp.path(), lpPessimistic);
    constexpr int32_t COUNT = 60;
    auto cursor = FilledTable(db, COUNT);
    cursor->GetTable()->GetDataFile().LockEscalationRuns = 8;
    auto before = OpenRecordCursor(*db.dir, "REC");
    auto during = OpenRecordCursor(*db.dir, "REC");
    std::vector<uint8_t> buffer(cursor->GetCursorRecordSize()), edited = buffer, editedLater = buffer;
    LockWatchers watchers(tmp, COUNT);
    ChildProcess& other = watchers.Other;
    auto held = [&] { return watchers.Held(); };
    // Every even record of first..last changed (or deleted), locked as it goes.
    auto change = [&](int32_t first, int32_t last, bool remove) {
        for (int32_t code = first; code <= last; code += 2) {
            Edit(*cursor, buffer, code, true);
            if (remove) {
                cursor->DeleteRecord(buffer.data(), true);
            } else {
                SetName(*cursor, buffer, "T" + std::to_string(code));
                cursor->ModifyRecord(buffer.data(), true, true);
            }
        }
    };
    const std::string everything = Refused(Numbers(1, COUNT + 10));

    Edit(*before, edited, 3, true);
    EXPECT_EQ(held(), Refused({3}));
    db.dir->StartTransaction();
    change(10, 40, false);
    EXPECT_EQ(held(), everything);
    EXPECT_EQ(Ask(other, "first"), "rec 1 N1");
    EXPECT_EQ(Ask(other, "lock"), "error 10258");
    Edit(*during, editedLater, 51, true);
    db.dir->Commit();
    EXPECT_EQ(held(), Refused({3, 51}));
    during->CancelRecord();

    // The other program's lock on record 1 keeps the range out of reach.
    EXPECT_EQ(Ask(other, "lock"), "ok");
    db.dir->StartTransaction();
    change(10, 40, false);
    std::vector<int32_t> single = {1, 3};
    for (int32_t r : Numbers(10, 40, 2)) single.push_back(r);
    EXPECT_EQ(held(), Refused(single));
    EXPECT_EQ(Ask(other, "cancel"), "ok");
    change(42, 58, false);
    EXPECT_EQ(held(), everything);
    db.dir->Rollback();
    EXPECT_EQ(held(), Refused({3}));

    // Deleted records' locks go at the commit as well.
    db.dir->StartTransaction();
    change(10, 40, true);
    EXPECT_EQ(held(), everything);
    db.dir->Commit();
    EXPECT_EQ(held(), Refused({3}));
    EXPECT_EQ(Ask(other, "count"), "count " + std::to_string(COUNT - 16));
    before->CancelRecord();
    EXPECT_EQ(held(), Refused({}));
    EXPECT_EQ(Ask(other, "first"), "rec 1 N1");
    EXPECT_EQ(Ask(other, "lock"), "ok");
    EXPECT_EQ(Ask(other, "cancel"), "ok");
    watchers.Quit();
}

// A statement over rows scattered over the file, whose first stretch between two
// commits would escalate its record locks anyway, holds the whole range from the
// stretch's first row: the other program is refused every record meanwhile, as it
// is once a transaction escalates part-way, and afterwards finds nothing held.
// While the other program holds a record lock the statement keeps single locks,
// and the other program sees them come in the file's order (the rows' keys run
// the other way), each held from its row's write to the end.
TEST(RecordLocks, AStatementOverScatteredRowsEscalatesAtItsFirstRowOnlyWhileNobodyElseHoldsARecord) {
    TempDir tmp;
    RecordDb db(tmp.path(), lpPessimistic);
    constexpr int32_t COUNT = 120;
    ASSERT_TRUE(CreateRecordTable(*db.dir, "REC", RecordTable()));
    auto cursor = OpenRecordCursor(*db.dir, "REC");
    // Records 2, 5, 8, ... 119 hold codes 120 down to 81, the others 1 .. 80.
    std::vector<int32_t> changed;
    for (int32_t r = 1, low = 1, high = COUNT; r <= COUNT; ++r) {
        const bool marked = r % 3 == 2;
        const int32_t code = marked ? high-- : low++;
        if (marked) changed.push_back(r);
        std::vector<uint8_t> record = MakeRecord(*cursor, code, "N" + std::to_string(code));
        cursor->AppendRecord(record.data(), true);
    }
    cursor->GetTable()->GetDataFile().LockEscalationRuns = 8;
    LockWatchers watchers(tmp, COUNT);
    ChildProcess& other = watchers.Other;
    auto held = [&] { return watchers.Held(); };
    db.session.SetProgressSteps(100);
    // The UPDATE of codes 81 .. 120; what the probe finds held at each row's
    // progress event, which comes before the row is read.
    auto update = [&](const std::string& note, const std::function<void(std::size_t)>& atRow) {
        std::vector<std::string> seen;
        TQueryStatement statement(db.dir);
        statement.SetProgressEvent([&](TQueryStatement*, uint16_t, bool&) {
            seen.push_back(held());
            atRow(seen.size() - 1);
        });
        statement.Prepare("UPDATE REC SET Note = '" + note + "' WHERE Code > 80");
        TDataCursor* result = nullptr;
        statement.Execute(result);
        EXPECT_EQ(statement.RowsAffected(), changed.size());
        return seen;
    };

    std::vector<std::string> seen = update("A", [&](std::size_t row) {
        if (row == 5) {
            EXPECT_EQ(Ask(other, "first"), "rec 1 N1");
            EXPECT_EQ(Ask(other, "lock"), "error 10258");
        }
    });
    ASSERT_EQ(seen.size(), changed.size());
    EXPECT_EQ(seen[0], Refused({}));  // before the stretch's first row
    for (std::size_t row = 1; row < seen.size(); ++row) EXPECT_EQ(seen[row], Refused(Numbers(1, COUNT + 10))) << row;
    EXPECT_EQ(held(), Refused({}));

    // The other program's lock keeps the range out of reach.
    EXPECT_EQ(Ask(other, "lock"), "ok");
    seen = update("B", [](std::size_t) {});
    ASSERT_EQ(seen.size(), changed.size());
    std::vector<int32_t> expected = {1};
    for (std::size_t row = 0; row < seen.size(); ++row) {
        EXPECT_EQ(seen[row], Refused(expected)) << row;
        expected.push_back(changed[row]);
    }
    EXPECT_EQ(held(), Refused({1}));
    EXPECT_EQ(Ask(other, "cancel"), "ok");
    EXPECT_EQ(held(), Refused({}));
    EXPECT_EQ(Ask(other, "lock"), "ok");
    EXPECT_EQ(Ask(other, "cancel"), "ok");
    watchers.Quit();
}

namespace {

// The unlock calls of the seam that fail: the n-th after arming on the table's
// .DAT or .IDX, with ENOLCK (the system found no memory to split a lock), and
// every later one that asks again for the same release.
struct RefusedUnlock {
    static inline int Countdown = 0;
    static inline bool Hit = false;
    static inline ino_t Files[2] = {};
    static inline int File = 0;
    static inline off_t Start = 0, Length = 0;
    static int Unlock(int fd, off_t start, off_t length) {
        struct stat st{};
        fstat(fd, &st);
        const bool table = st.st_ino == Files[0] || st.st_ino == Files[1];
        const bool again = Hit && Countdown == 0 && Start == start && Length == length &&
                           st.st_ino == Files[File];
        if (again || (table && Countdown > 0 && --Countdown == 0)) {
            Hit = true;
            File = st.st_ino == Files[0] ? 0 : 1;
            Start = start;
            Length = length;
            errno = ENOLCK;
            return -1;
        }
        return platform::SystemFileCalls().unlock(fd, start, length);
    }
};

}  // namespace

// Each release a commit makes on the table's files is refused by the system in
// turn, and again whenever asked again (the index writer range, the write
// semaphore, record locks, an escalated range): the commit never reports success
// while a lock it meant to release is still held. Its writes stay committed; it
// raises the lock error, the lock stays held and known so (the other program is
// still refused it), and the table's next transaction gives it back, after which
// the other program finds nothing held at all.
TEST(RecordLocks, AReleaseRefusedAtCommitIsReportedAndGivenBackLater) {
    for (const bool escalate : {false, true}) {
        SCOPED_TRACE(escalate ? "escalated" : "single locks");
        TempDir tmp;
        RecordDb db(tmp.path(), lpPessimistic);
        const int32_t count = 40;
        auto cursor = FilledTable(db, count);
        cursor->GetTable()->GetDataFile().LockEscalationRuns = escalate ? 2 : 1000;
        std::vector<uint8_t> buffer(cursor->GetCursorRecordSize());
        struct stat dat{}, idx{};
        ASSERT_EQ(stat(tmp.file("REC.DAT").c_str(), &dat), 0);
        ASSERT_EQ(stat(tmp.file("REC.IDX").c_str(), &idx), 0);
        RefusedUnlock::Files[0] = dat.st_ino;
        RefusedUnlock::Files[1] = idx.st_ino;
        ChildProcess probe({"files_probe", tmp.file("REC.DAT"), tmp.file("REC.IDX")});
        ASSERT_EQ(probe.readLine(), "ready");
        auto ask = [&](const std::string& line) {
            probe.send(line);
            return probe.readLine();
        };
        auto nothingHeld = [&] {
            EXPECT_EQ(ask("records 0 1 " + std::to_string(count + 40)), "refused");
            EXPECT_EQ(ask("try 0 " + std::to_string(WRITE_SEMAPHORE_OFFSET) + " 1"), "ok");
            EXPECT_EQ(ask("try 1 " + std::to_string(INDEX_WRITE_LOCK_OFFSET) + " " +
                          std::to_string(INDEX_WRITE_LOCK_LENGTH)),
                      "ok");
        };
        int hits = 0, refusals = 0;
        for (int n = 1; n < 60; ++n) {
            SCOPED_TRACE(n);
            db.dir->StartTransaction();
            for (int32_t changed : {10, 20, 30}) {
                Edit(*cursor, buffer, changed, true);
                SetName(*cursor, buffer, "R" + std::to_string(n) + "_" + std::to_string(changed));
                cursor->ModifyRecord(buffer.data(), true, true);
            }
            // The record appended last round goes, a new one comes.
            Edit(*cursor, buffer, n == 1 ? count : 1000 + n - 1, true);
            cursor->DeleteRecord(buffer.data(), true);
            std::vector<uint8_t> added = MakeRecord(*cursor, 1000 + n, "A" + std::to_string(n));
            cursor->AppendRecord(added.data(), true);
            RefusedUnlock::Countdown = n;
            RefusedUnlock::Hit = false;
            platform::FileCalls().unlock = RefusedUnlock::Unlock;
            TEngineErrorCode error = ErrorOf([&] { db.dir->Commit(); });
            platform::FileCalls().unlock = platform::SystemFileCalls().unlock;
            RefusedUnlock::Countdown = 0;
            if (!RefusedUnlock::Hit) {
                EXPECT_EQ(error, 0);
                nothingHeld();
                break;
            }
            ++hits;
            if (db.dir->InTransaction()) {
                // Refused before the writes went out: the transaction is still open.
                EXPECT_NE(error, 0);
                db.dir->Commit();
            } else if (error != 0) {
                // (With no error the commit found another way to release it all.)
                ++refusals;
                EXPECT_TRUE(error == KURA_UNLOCKFAILED || error == KURA_LOCKTIMEOUT) << error;
                const std::string range = std::to_string(RefusedUnlock::File) + " " +
                                          std::to_string(RefusedUnlock::Start) + " " +
                                          std::to_string(RefusedUnlock::Length);
                EXPECT_EQ(ask("try " + range), "refused") << range;
                db.dir->StartTransaction();
                db.dir->Commit();
            }
            nothingHeld();
            ChildProcess other({"rec-shell", tmp.path(), "REC", std::to_string(lpPessimistic)});
            ASSERT_EQ(other.readLine(), "ready");
            EXPECT_EQ(Ask(other, "count"), "count " + std::to_string(count));
            other.send("quit");
            EXPECT_EQ(other.wait(), 0);
        }
        EXPECT_GE(hits, escalate ? 3 : 6);
        EXPECT_GE(refusals, escalate ? 2 : 6);
        probe.send("quit");
        EXPECT_EQ(probe.wait(), 0);
    }
}
