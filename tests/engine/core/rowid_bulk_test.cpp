// Row identifiers filed at once (DeferRowIds, then CompleteRowIds or a sort)
// against the same rows filed one append at a time: both tables must read, count,
// position and take further appends and deletes alike, for trees of one leaf,
// of a leaf boundary, of two levels and of three.
#include <gtest/gtest.h>

#include <vector>

#include "engine/files/RecordSort.h"
#include "tests/engine/core/CursorTableTestSupport.h"

namespace kura::test {
namespace {

TTableDefinition ResultTable() {
    TableBuilder b;
    b.Field("Id", fldINT32);
    b.Field("Grp", fldINT32);
    return b.Def;
}

struct Pair {
    LibraryScope library;
    TestDb db;
    std::unique_ptr<TDataCursor> bulk, plain;

    Pair() {
        db.Create("BULK", ResultTable());
        db.Create("PLAIN", ResultTable());
        bulk = OpenResult("BULK");
        plain = OpenResult("PLAIN");
    }
    std::unique_ptr<TDataCursor> OpenResult(const char* name) {
        auto c = std::make_unique<TDataCursor>(db.dir);
        c->SetTableName(name);
        c->SetExclusive(true);
        c->SetQueryResult(true);
        c->OpenCursor();
        return c;
    }
    void Append(TDataCursor& c, int32_t id) {
        RecordImage r(c);
        r.Int(1, id).Int(2, id % 7);
        c.AppendRecord(r.data(), false);
    }
    void Fill(int32_t from, int32_t to, bool deferred) {
        if (deferred) bulk->DeferRowIds();
        ASSERT_EQ(bulk->RowIdsDeferred(), deferred);
        for (int32_t id = from; id <= to; ++id) {
            Append(*bulk, id);
            Append(*plain, id);
        }
    }
};

std::vector<int32_t> Ids(TDataCursor& c, bool backward) {
    std::vector<uint8_t> record(c.GetCursorRecordSize(), 0);
    std::vector<int32_t> ids;
    if (backward) {
        c.SetToEnd();
        while (c.GetPriorRecord(record.data()) == 0) ids.push_back(GetI32(record.data() + 10));
    } else {
        c.SetToBegin();
        while (c.GetNextRecord(record.data()) == 0) ids.push_back(GetI32(record.data() + 10));
    }
    return ids;
}

void ExpectAlike(Pair& p) {
    ASSERT_FALSE(p.bulk->RowIdsDeferred());
    // Appends without resync leave the cursors where they were, as the SQL
    // engine's row loop does.
    p.bulk->Refresh();
    p.plain->Refresh();
    EXPECT_EQ(p.bulk->GetRecordCount(), p.plain->GetRecordCount());
    EXPECT_EQ(KeysOf(*p.bulk, SYS_DELETED_SLOT), KeysOf(*p.plain, SYS_DELETED_SLOT));
    EXPECT_EQ(Ids(*p.bulk, false), Ids(*p.plain, false));
    EXPECT_EQ(Ids(*p.bulk, true), Ids(*p.plain, true));
    // Positions go through the subtree counts of the pages above the leaves.
    std::vector<uint8_t> a(p.bulk->GetCursorRecordSize()), b(p.plain->GetCursorRecordSize());
    const int32_t count = static_cast<int32_t>(p.plain->GetRecordCount());
    for (int32_t at : {1, 2, count / 3, count / 2, count - 1, count}) {
        if (at < 1 || at > count) continue;
        p.bulk->GotoIndexPosition(at);
        p.plain->GotoIndexPosition(at);
        ASSERT_EQ(p.bulk->GetCurrentRecord(a.data(), false), p.plain->GetCurrentRecord(b.data(), false));
        EXPECT_EQ(GetI32(a.data() + 10), GetI32(b.data() + 10)) << "position " << at;
    }
}

// Further appends split the filled pages, deletes merge them again.
void Edit(Pair& p, int32_t next) {
    p.Fill(next, next + 600, false);
    std::vector<uint8_t> record(p.plain->GetCursorRecordSize(), 0);
    for (TDataCursor* c : {p.bulk.get(), p.plain.get()}) {
        c->Refresh();
        int32_t n = 0;
        c->SetToBegin();
        while (c->GetNextRecord(record.data()) == 0)
            if (++n % 5 == 0) c->DeleteRecord(record.data(), false);
    }
}

class RowIdBulk : public ::testing::TestWithParam<int32_t> {};

TEST_P(RowIdBulk, CompletedRowIdsMatchOneByOne) {
    Pair p;
    const int32_t n = GetParam();
    p.Fill(1, n, true);
    p.bulk->CompleteRowIds();
    ExpectAlike(p);
    std::vector<int32_t> model(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) model[static_cast<size_t>(i)] = i + 1;
    EXPECT_EQ(Ids(*p.bulk, false), model);
    Edit(p, n + 1);
    ExpectAlike(p);
    p.bulk->Refresh();
    EXPECT_EQ(p.bulk->GetRecordCount(), static_cast<uint32_t>(n + 601 - (n + 601) / 5));
}

INSTANTIATE_TEST_SUITE_P(Sizes, RowIdBulk, ::testing::Values(0, 1, 453, 454, 5000, 150000));

TEST(RowIdBulkSort, ASortFilesTheDeferredRowsItKeeps) {
    for (const bool distinct : {false, true}) {
        SCOPED_TRACE(distinct ? "distinct" : "ordered");
        Pair p;
        p.Fill(1, 3000, true);
        TFieldDesc grp;
        p.bulk->GetFieldDesc(2, grp);
        TSortRequest request;
        request.Fields.push_back(grp);
        request.Distinct = distinct;
        p.bulk->SortRecords(request);
        p.plain->SortRecords(request);
        ExpectAlike(p);
        Edit(p, 3001);
        ExpectAlike(p);
    }
}

TEST(RowIdBulkSort, OnlyAnEmptyExclusiveResultTableDefers) {
    Pair p;
    p.Append(*p.bulk, 1);
    p.bulk->DeferRowIds();
    EXPECT_FALSE(p.bulk->RowIdsDeferred());
    auto shared = std::make_unique<TDataCursor>(p.db.dir);
    p.db.Create("SHARED", ResultTable());
    shared->SetTableName("SHARED");
    shared->OpenCursor();
    shared->DeferRowIds();
    EXPECT_FALSE(shared->RowIdsDeferred());
}

}  // namespace
}  // namespace kura::test
