// Record operations of the cursor in one process: reads and their result codes,
// appends, changes and deletes with their keys, unique keys, reuse of deleted
// slots, auto-increment values, transactions, failed writes, record locks between
// cursors, and the removal of records a new unique index rejects.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
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

struct Fixture {
    explicit Fixture(uint8_t protocol = lpPessimistic, bool textIndex = false)
        : db(tmp.path(), protocol) {
        EXPECT_TRUE(CreateRecordTable(*db.dir, "REC", RecordTable(textIndex)));
    }
    std::unique_ptr<TDataCursor> Open(bool exclusive = false) { return OpenRecordCursor(*db.dir, "REC", exclusive); }
    TempDir tmp;
    RecordDb db;
};

// The key of a record image in one index: index 31 takes the row-id key.
bool HasKey(TDataCursor& c, uint8_t index, const std::vector<uint8_t>& image, bool deletedForm = false) {
    const uint8_t saved = c.GetCurrentIndexNo();
    std::vector<uint8_t> copy = image;
    std::array<uint8_t, 1024> key{};
    c.SetIndexNumber(index);
    if (index == SYS_DELETED_SLOT) {
        copy[0] = deletedForm ? 1 : 0;
        c.BuildRowIdKey(copy.data(), key.data());
    } else {
        c.BuildIndexKey(copy.data(), key.data());
    }
    c.BeginRead();
    const bool found = c.KeyExists(key.data());
    c.EndRead();
    c.SetIndexNumber(saved);
    return found;
}

std::vector<uint8_t> Append(TDataCursor& c, int32_t code, const std::string& name, const std::string& note = "") {
    std::vector<uint8_t> buffer = MakeRecord(c, code, name, note);
    c.AppendRecord(buffer.data(), true);
    std::vector<uint8_t> stored(c.GetCursorRecordSize());
    EXPECT_EQ(c.GetCurrentRecord(stored.data(), false), 0);
    return stored;
}

// The record with this primary key, read into a fresh buffer; empty when missing.
std::vector<uint8_t> Find(TDataCursor& c, int32_t code) {
    c.SetToBegin();
    std::vector<uint8_t> buffer(c.GetCursorRecordSize());
    while (c.GetNextRecord(buffer.data()) == 0)
        if (CodeOf(c, buffer) == code) return buffer;
    return {};
}

// Removes the key of a record image from one index behind the cursor's back, the
// way a damaged index would lack it.
void DropKey(TDataCursor& c, uint8_t index, std::vector<uint8_t> image, bool deletedForm = false) {
    const uint8_t saved = c.GetCurrentIndexNo();
    std::array<uint8_t, 1024> key{};
    c.BeginWrite();
    c.SetIndexNumber(index);
    if (index == SYS_DELETED_SLOT) {
        image[0] = deletedForm ? 1 : 0;
        c.BuildRowIdKey(image.data(), key.data());
    } else {
        c.BuildIndexKey(image.data(), key.data());
    }
    c.DeleteIndexKey2(key.data());
    c.FlushBuffers(true, false, false, true, false);
    c.SetIndexNumber(saved);
    c.EndWrite();
}

}  // namespace

TEST(Records, ReadsAnswerPositionCodesAndZeroTheBuffer) {
    Fixture f;
    auto c = f.Open();
    std::vector<uint8_t> buffer(c->GetCursorRecordSize(), 0xAA);
    EXPECT_EQ(c->GetCurrentRecord(buffer.data(), false), KURA_NOCURRREC);
    EXPECT_EQ(buffer, std::vector<uint8_t>(buffer.size(), 0));
    // An empty table has no record to lock: the position code, not a lock error.
    EXPECT_EQ(c->GetCurrentRecord(buffer.data(), true), KURA_NOCURRREC);
    EXPECT_EQ(c->GetNextRecord(buffer.data()), KURA_EOF);
    EXPECT_EQ(c->GetPriorRecord(nullptr), KURA_BOF);

    // Appended out of order, read in primary-key order.
    Append(*c, 30, "C");
    Append(*c, 10, "A");
    Append(*c, 20, "B");
    c->SetToBegin();
    ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
    EXPECT_EQ(CodeOf(*c, buffer), 10);
    c->SetToEnd();
    ASSERT_EQ(c->GetPriorRecord(buffer.data()), 0);
    EXPECT_EQ(CodeOf(*c, buffer), 30);
    EXPECT_EQ(TextOf(*c, buffer), "C");

    const std::size_t size = c->GetCursorRecordSize();
    std::vector<uint8_t> block(5 * size, 0xAA);
    int32_t count = 5;
    c->SetToBegin();
    EXPECT_EQ(c->ReadRecordBlock(count, block.data()), KURA_EOF);
    EXPECT_EQ(count, 3);
    for (int i = 0; i < 3; ++i) {
        std::vector<uint8_t> one(block.begin() + i * size, block.begin() + (i + 1) * size);
        EXPECT_EQ(CodeOf(*c, one), 10 * (i + 1));
    }
    EXPECT_EQ(std::vector<uint8_t>(block.begin() + 3 * size, block.begin() + 4 * size), std::vector<uint8_t>(size, 0));
    count = 0;
    c->SetToBegin();
    EXPECT_EQ(c->ReadRecordBlock(count, block.data()), 0);
    EXPECT_EQ(count, 0);

    // A clone of the current record takes its fields, the auto-increment field
    // among them, but not its slot.
    c->SetToBegin();
    ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
    std::vector<uint8_t> clone(size, 0xAA);
    EXPECT_EQ(c->CloneCurrentRecord(clone.data()), 0);
    EXPECT_EQ(CodeOf(*c, clone), 10);
    EXPECT_EQ(TextOf(*c, clone), "A");
    EXPECT_EQ(SeqOf(clone), SeqOf(buffer));
    EXPECT_EQ(RecordNoOf(clone), 0u);
}

TEST(Records, WritesKeepEveryIndexInStep) {
    Fixture f;
    auto c = f.Open();
    std::vector<uint8_t> rec = Append(*c, 1, "Alpha", "n");
    Append(*c, 2, "Beta", "n");
    EXPECT_TRUE(HasKey(*c, 0, rec));
    EXPECT_TRUE(HasKey(*c, 1, rec));
    EXPECT_TRUE(HasKey(*c, 2, rec));
    EXPECT_TRUE(HasKey(*c, SYS_DELETED_SLOT, rec));
    EXPECT_EQ(c->GetTableRecordCount(), 2u);

    // A change of no key leaves the index file alone.
    rec = Find(*c, 1);
    TDataTable* table = c->GetTable();
    uint32_t indexChanges = table->GetIndexChangeCount();
    std::vector<uint8_t> changed = rec;
    int32_t code = 1;
    c->PutField(F_CODE, changed.data(), &code);
    c->ModifyRecord(changed.data(), true, true);
    EXPECT_EQ(table->GetIndexChangeCount(), indexChanges);

    SetName(*c, changed, "Gamma");
    ASSERT_EQ(c->GetCurrentRecord(rec.data(), false), 0);
    c->ModifyRecord(changed.data(), true, true);
    EXPECT_NE(table->GetIndexChangeCount(), indexChanges);
    EXPECT_FALSE(HasKey(*c, 1, rec));
    EXPECT_TRUE(HasKey(*c, 1, changed));
    EXPECT_EQ(TextOf(*c, Find(*c, 1)), "Gamma");

    rec = Find(*c, 1);
    c->DeleteRecord(rec.data(), true);
    EXPECT_EQ(c->GetTableRecordCount(), 1u);
    EXPECT_FALSE(HasKey(*c, 0, rec));
    EXPECT_FALSE(HasKey(*c, 1, rec));
    EXPECT_FALSE(HasKey(*c, 2, rec));
    EXPECT_FALSE(HasKey(*c, SYS_DELETED_SLOT, rec));
    EXPECT_TRUE(HasKey(*c, SYS_DELETED_SLOT, rec, true));
    EXPECT_TRUE(Find(*c, 1).empty());

    // A buffer that is not the record as read is refused.
    std::vector<uint8_t> other = Find(*c, 2);
    SetName(*c, other, "Changed");
    EXPECT_EQ(ErrorOf([&] { c->DeleteRecord(other.data(), true); }), KURA_KEYORRECDELETED);
    EXPECT_EQ(c->GetTableRecordCount(), 1u);
}

TEST(Records, UniqueKeysRefuseDuplicates) {
    Fixture f;
    auto c = f.Open();
    Append(*c, 1, "A", "same");
    const uint32_t last = c->GetTable()->GetLastRecordNumber();
    std::vector<uint8_t> dup = MakeRecord(*c, 1, "B");
    EXPECT_EQ(ErrorOf([&] { c->AppendRecord(dup.data(), true); }), KURA_KEYVIOL);
    dup = MakeRecord(*c, 2, "A");
    EXPECT_EQ(ErrorOf([&] { c->AppendRecord(dup.data(), true); }), KURA_KEYVIOL);
    // Nothing of the refused records is left: no slot, no key, no count.
    EXPECT_EQ(c->GetTable()->GetLastRecordNumber(), last);
    EXPECT_EQ(c->GetTableRecordCount(), 1u);
    EXPECT_FALSE(HasKey(*c, 0, MakeRecord(*c, 2, "A")));

    // The non-unique index takes equal values.
    Append(*c, 2, "B", "same");
    std::vector<uint8_t> third = Append(*c, 3, "C", "same");
    EXPECT_EQ(c->GetTableRecordCount(), 3u);

    // A change onto another record's key is refused; keeping its own key is not.
    std::vector<uint8_t> changed = third;
    SetName(*c, changed, "A");
    EXPECT_EQ(ErrorOf([&] { c->ModifyRecord(changed.data(), true, true); }), KURA_KEYVIOL);
    EXPECT_EQ(TextOf(*c, Find(*c, 3)), "C");
    changed = Find(*c, 3);
    c->PutField(F_NOTE, changed.data(), "other");
    EXPECT_EQ(ErrorOf([&] { c->ModifyRecord(changed.data(), true, true); }), 0);

    // Blank key fields collide like values in a unique index.
    std::vector<uint8_t> blank1 = MakeRecord(*c, 4, "");
    c->AppendRecord(blank1.data(), true);
    std::vector<uint8_t> blank2 = MakeRecord(*c, 5, "");
    EXPECT_EQ(ErrorOf([&] { c->AppendRecord(blank2.data(), true); }), KURA_KEYVIOL);
}

TEST(Records, DeletedSlotsAreReusedLastFreedFirst) {
    Fixture f;
    auto c = f.Open();
    Append(*c, 1, "A");
    std::vector<uint8_t> second = Append(*c, 2, "B");
    Append(*c, 3, "C");
    ASSERT_EQ(RecordNoOf(second), 2u);
    const uint32_t oldSeq = SeqOf(second);
    second = Find(*c, 2);
    c->DeleteRecord(second.data(), true);

    std::vector<uint8_t> reused = Append(*c, 4, "D");
    EXPECT_EQ(RecordNoOf(reused), 2u);
    EXPECT_EQ(SeqOf(reused), 4u);
    EXPECT_EQ(c->GetTable()->GetLastRecordNumber(), 3u);
    // The slot's "Sys Deleted" entry moved from its deleted form to the new record.
    std::vector<uint8_t> old = second;
    TDataCursor::SetBufferAutoInc(old.data(), oldSeq);
    EXPECT_FALSE(HasKey(*c, SYS_DELETED_SLOT, old, true));
    EXPECT_FALSE(HasKey(*c, SYS_DELETED_SLOT, old));
    EXPECT_TRUE(HasKey(*c, SYS_DELETED_SLOT, reused));
    EXPECT_EQ(c->GetTableRecordCount(), 3u);

    std::vector<uint8_t> first = Find(*c, 1);
    c->DeleteRecord(first.data(), true);
    std::vector<uint8_t> third = Find(*c, 3);
    c->DeleteRecord(third.data(), true);
    EXPECT_EQ(RecordNoOf(Append(*c, 5, "E")), 3u);
    EXPECT_EQ(RecordNoOf(Append(*c, 6, "F")), 1u);
    EXPECT_EQ(RecordNoOf(Append(*c, 7, "G")), 4u);
}

TEST(Records, AutoIncrementRules) {
    Fixture f;
    auto c = f.Open();
    std::vector<uint8_t> buffer = MakeRecord(*c, 1, "A");
    TDataCursor::SetBufferAutoInc(buffer.data(), 999);
    c->AppendRecord(buffer.data(), true);
    EXPECT_EQ(TDataCursor::GetBufferAutoInc(buffer.data()), 1u);
    std::vector<uint8_t> rec = Find(*c, 1);
    EXPECT_EQ(SeqOf(rec), 1u);
    // The engine keeps the stored value whatever the caller puts in.
    TDataCursor::SetBufferAutoInc(rec.data(), 777);
    c->ModifyRecord(rec.data(), true, true);
    EXPECT_EQ(SeqOf(Find(*c, 1)), 1u);

    c->SuppressAutoInc(true);
    std::vector<uint8_t> chosen = MakeRecord(*c, 2, "B");
    TDataCursor::SetBufferAutoInc(chosen.data(), 50);
    c->AppendRecord(chosen.data(), true);
    EXPECT_EQ(SeqOf(Find(*c, 2)), 50u);
    EXPECT_EQ(c->GetTable()->GetLastAutoInc(), 50u);
    std::vector<uint8_t> taken = MakeRecord(*c, 3, "C");
    TDataCursor::SetBufferAutoInc(taken.data(), 50);
    EXPECT_EQ(ErrorOf([&] { c->AppendRecord(taken.data(), true); }), KURA_KEYVIOL);
    TDataCursor::SetBufferAutoInc(taken.data(), 10);
    c->AppendRecord(taken.data(), true);
    EXPECT_EQ(c->GetTable()->GetLastAutoInc(), 50u);
    // A changed value moves the record's "Sys Deleted" entry and raises the counter.
    std::vector<uint8_t> moved = Find(*c, 3);
    std::vector<uint8_t> before = moved;
    TDataCursor::SetBufferAutoInc(moved.data(), 60);
    c->ModifyRecord(moved.data(), true, true);
    EXPECT_EQ(SeqOf(Find(*c, 3)), 60u);
    EXPECT_EQ(c->GetTable()->GetLastAutoInc(), 60u);
    EXPECT_FALSE(HasKey(*c, SYS_DELETED_SLOT, before));
    EXPECT_TRUE(HasKey(*c, SYS_DELETED_SLOT, moved));
    // A clone keeps the row identifier while the cursor suppresses assignment.
    ASSERT_FALSE(Find(*c, 3).empty());
    std::vector<uint8_t> clone(c->GetCursorRecordSize());
    c->CloneCurrentRecord(clone.data());
    EXPECT_EQ(SeqOf(clone), 60u);

    c->SuppressAutoInc(false);
    EXPECT_EQ(SeqOf(Append(*c, 4, "D")), 61u);
}

TEST(Records, WritesInsideTransactionsWaitForTheCommit) {
    Fixture f;
    auto c = f.Open();
    Append(*c, 1, "A");
    Append(*c, 2, "B");

    f.db.dir->StartTransaction();
    Append(*c, 3, "C");
    std::vector<uint8_t> rec = Find(*c, 1);
    SetName(*c, rec, "Changed");
    c->ModifyRecord(rec.data(), true, true);
    rec = Find(*c, 2);
    c->DeleteRecord(rec.data(), true);
    EXPECT_EQ(c->GetTableRecordCount(), 2u);
    f.db.dir->Rollback();
    c->Refresh();
    EXPECT_EQ(c->GetTableRecordCount(), 2u);
    EXPECT_EQ(TextOf(*c, Find(*c, 1)), "A");
    EXPECT_FALSE(Find(*c, 2).empty());
    EXPECT_TRUE(Find(*c, 3).empty());
    EXPECT_EQ(ErrorOf([&] { Append(*c, 3, "C"); }), 0);

    f.db.dir->StartTransaction();
    Append(*c, 4, "D");
    rec = Find(*c, 3);
    c->DeleteRecord(rec.data(), true);
    f.db.dir->Commit();
    c.reset();
    auto again = f.Open();
    EXPECT_EQ(again->GetTableRecordCount(), 3u);
    EXPECT_FALSE(Find(*again, 4).empty());
    EXPECT_TRUE(Find(*again, 3).empty());
}

TEST(Records, FailedWritesLeaveNothingBehind) {
    Fixture f;
    auto c = f.Open();
    std::vector<uint8_t> one = Append(*c, 1, "A");
    Append(*c, 2, "B");
    TDataTable* table = c->GetTable();

    // A change whose second index lacks the old key fails after the primary key
    // was replaced in the cache: the replacement must not survive.
    DropKey(*c, 1, one);
    one = Find(*c, 1);
    std::vector<uint8_t> changed = one;
    int32_t code = 10;
    c->PutField(F_CODE, changed.data(), &code);
    SetName(*c, changed, "Z");
    EXPECT_EQ(ErrorOf([&] { c->ModifyRecord(changed.data(), true, true); }), KURA_INDEXCORRUPT);
    EXPECT_TRUE(HasKey(*c, 0, one));
    EXPECT_FALSE(HasKey(*c, 0, changed));
    EXPECT_EQ(CodeOf(*c, Find(*c, 1)), 1);
    // The same holds for a delete.
    one = Find(*c, 1);
    EXPECT_EQ(ErrorOf([&] { c->DeleteRecord(one.data(), true); }), KURA_INDEXCORRUPT);
    EXPECT_TRUE(HasKey(*c, 0, one));
    EXPECT_TRUE(HasKey(*c, SYS_DELETED_SLOT, one));
    EXPECT_EQ(table->GetRecordCount(), 2u);

    // An append into a deleted slot whose "Sys Deleted" entry is missing fails
    // after its keys went in: no key, no slot and no counter change survive.
    std::vector<uint8_t> two = Find(*c, 2);
    c->DeleteRecord(two.data(), true);
    DropKey(*c, SYS_DELETED_SLOT, two, true);
    const uint32_t lastAutoInc = table->GetLastAutoInc();
    std::vector<uint8_t> fresh = MakeRecord(*c, 3, "C");
    EXPECT_EQ(ErrorOf([&] { c->AppendRecord(fresh.data(), true); }), KURA_INDEXCORRUPT);
    EXPECT_FALSE(HasKey(*c, 0, fresh));
    EXPECT_FALSE(HasKey(*c, 1, fresh));
    EXPECT_EQ(table->GetRecordCount(), 1u);
    EXPECT_EQ(table->GetLastAutoInc(), lastAutoInc);
    EXPECT_EQ(table->GetNextFreeRecord(), 2u);

    // A later write and a reopen find the table as the failures left it.
    one = Find(*c, 1);
    c->PutField(F_NOTE, one.data(), "later");
    c->ModifyRecord(one.data(), true, true);
    c.reset();
    auto again = f.Open();
    EXPECT_EQ(again->GetTableRecordCount(), 1u);
    one = Find(*again, 1);
    EXPECT_EQ(TextOf(*again, one, F_NOTE), "later");
    EXPECT_TRUE(Find(*again, 10).empty());
    EXPECT_TRUE(Find(*again, 3).empty());
    EXPECT_FALSE(HasKey(*again, 0, MakeRecord(*again, 10, "Z")));
    EXPECT_FALSE(HasKey(*again, 0, MakeRecord(*again, 3, "C")));
}

TEST(Records, PessimisticLocksBetweenCursorsOfOneProcess) {
    Fixture f(lpPessimistic);
    auto c1 = f.Open();
    auto c2 = f.Open();
    Append(*c1, 1, "A");
    std::vector<uint8_t> b1 = Find(*c1, 1);
    std::vector<uint8_t> b2 = Find(*c2, 1);
    ASSERT_EQ(c1->GetCurrentRecord(b1.data(), true), 0);
    EXPECT_EQ(ErrorOf([&] { c2->GetCurrentRecord(b2.data(), true); }), KURA_RECLOCKFAILED);
    EXPECT_EQ(ErrorOf([&] { c2->DeleteRecord(b2.data(), true); }), KURA_RECLOCKFAILED);
    std::vector<uint8_t> lost = b2;
    SetName(*c2, lost, "Lost");
    EXPECT_EQ(ErrorOf([&] { c2->ModifyRecord(lost.data(), true, true); }), KURA_RECLOCKFAILED);

    SetName(*c1, b1, "Posted");
    c1->ModifyRecord(b1.data(), true, true);
    // Released by the post; the stale copy of the other cursor is refused.
    EXPECT_EQ(ErrorOf([&] { c2->GetCurrentRecord(b2.data(), true); }), KURA_KEYORRECDELETED);
    ASSERT_EQ(c2->GetCurrentRecord(b2.data(), false), 0);
    EXPECT_EQ(TextOf(*c2, b2), "Posted");
    ASSERT_EQ(c2->GetCurrentRecord(b2.data(), true), 0);
    EXPECT_EQ(ErrorOf([&] { c1->GetCurrentRecord(b1.data(), true); }), KURA_RECLOCKFAILED);
    c2->CancelRecord();
    ASSERT_EQ(c1->GetCurrentRecord(b1.data(), true), 0);
    c1->CancelRecord();
    // Cancelling with no lock held has nothing to release.
    EXPECT_EQ(ErrorOf([&] { c1->CancelRecord(); }), 0);

    // A change posted without a lock still checks for another user's change, so
    // that change is not overwritten.
    b1 = Find(*c1, 1);
    b2 = Find(*c2, 1);
    ASSERT_EQ(c2->GetCurrentRecord(b2.data(), true), 0);
    SetName(*c2, b2, "Second");
    c2->ModifyRecord(b2.data(), true, true);
    SetName(*c1, b1, "First");
    EXPECT_EQ(ErrorOf([&] { c1->ModifyRecord(b1.data(), true, true); }), KURA_KEYORRECDELETED);
    EXPECT_EQ(TextOf(*c2, Find(*c2, 1)), "Second");
    // Without a conflict the same post succeeds and holds no lock afterwards.
    b1 = Find(*c1, 1);
    SetName(*c1, b1, "Third");
    c1->ModifyRecord(b1.data(), false, true);
    EXPECT_EQ(c1->GetLockedRecordNo(), 0u);
    b2 = Find(*c2, 1);
    EXPECT_EQ(TextOf(*c2, b2), "Third");
    EXPECT_EQ(c2->GetCurrentRecord(b2.data(), true), 0);
    c2->CancelRecord();
}

TEST(Records, OptimisticConflictLastsUntilCancel) {
    Fixture f(lpOptimistic);
    auto c1 = f.Open();
    auto c2 = f.Open();
    Append(*c1, 1, "A");
    std::vector<uint8_t> b1 = Find(*c1, 1);
    std::vector<uint8_t> b2 = Find(*c2, 1);
    ASSERT_EQ(c1->GetCurrentRecord(b1.data(), true), 0);
    ASSERT_EQ(c2->GetCurrentRecord(b2.data(), true), 0);
    SetName(*c1, b1, "One");
    c1->ModifyRecord(b1.data(), true, true);
    SetName(*c2, b2, "Two");
    EXPECT_EQ(ErrorOf([&] { c2->ModifyRecord(b2.data(), true, true); }), KURA_KEYORRECDELETED);
    // Re-reading is not enough: the conflict stands until the edit is cancelled.
    b2 = Find(*c2, 1);
    SetName(*c2, b2, "Two");
    EXPECT_EQ(ErrorOf([&] { c2->ModifyRecord(b2.data(), true, true); }), KURA_KEYORRECDELETED);
    EXPECT_EQ(TextOf(*c1, Find(*c1, 1)), "One");
    c2->CancelRecord();
    b2 = Find(*c2, 1);
    SetName(*c2, b2, "Two");
    c2->ModifyRecord(b2.data(), true, true);
    EXPECT_EQ(TextOf(*c1, Find(*c1, 1)), "Two");
    // A stale copy in a lock request is refused also without a lock.
    EXPECT_EQ(ErrorOf([&] { c1->GetCurrentRecord(b1.data(), true); }), KURA_KEYORRECDELETED);
}

TEST(Records, RejectedRecordsLeaveTheTable) {
    Fixture f;
    {
        auto c = f.Open();
        Append(*c, 1, "A", "same");
        Append(*c, 2, "B", "same");
        Append(*c, 3, "C", "other");
    }
    auto c = f.Open(true);
    std::vector<uint8_t> second = Find(*c, 2);
    TIndexDesc unique;
    unique.SetName("ByNoteUnique");
    unique.SetByte(ido::Unique, 1);
    unique.SetField(0, F_NOTE);
    c->AddSecondaryIndex(unique, 0);
    EXPECT_EQ(c->GetTableRecordCount(), 2u);
    EXPECT_TRUE(Find(*c, 2).empty());
    EXPECT_FALSE(Find(*c, 1).empty());
    // Gone from every index but the new one, where the first record holds the key.
    for (uint8_t index = 0; index < 3; ++index) EXPECT_FALSE(HasKey(*c, index, second));
    EXPECT_TRUE(HasKey(*c, SYS_DELETED_SLOT, second, true));
    // The freed slot is the next one used.
    EXPECT_EQ(RecordNoOf(Append(*c, 4, "D", "new")), 2u);
}

TEST(Records, ChangedAutoIncrementMovesTheTextKeys) {
    Fixture f(lpPessimistic, true);
    auto c = f.Open();
    c->SuppressAutoInc(true);
    std::vector<uint8_t> rec = MakeRecord(*c, 1, "A", "cat dog");
    TDataCursor::SetBufferAutoInc(rec.data(), 1);
    c->AppendRecord(rec.data(), true);
    rec = Find(*c, 1);
    // Same words, new row identifier: the keys filed under 1 go, new ones come.
    TDataCursor::SetBufferAutoInc(rec.data(), 9);
    c->ModifyRecord(rec.data(), true, true);
    // A second record with the old value takes the same words without a clash,
    // and deleting both finds every key where it must be.
    std::vector<uint8_t> other = MakeRecord(*c, 2, "B", "cat dog");
    TDataCursor::SetBufferAutoInc(other.data(), 1);
    c->AppendRecord(other.data(), true);
    rec = Find(*c, 1);
    EXPECT_EQ(ErrorOf([&] { c->DeleteRecord(rec.data(), true); }), 0);
    other = Find(*c, 2);
    EXPECT_EQ(ErrorOf([&] { c->DeleteRecord(other.data(), true); }), 0);
    EXPECT_EQ(c->GetTableRecordCount(), 0u);
}
