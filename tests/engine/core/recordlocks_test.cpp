// Record edits between two programs under both lock protocols, and the moment a
// write becomes visible to the other program. The second program is the test
// child's "rec-shell" command (tests/helpers/child_records.cpp).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
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
