#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CursorTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

const std::vector<uint8_t> kAllOrders = {NATURAL_ORDER, NAV_PRIMARY, NAV_BY_NAME, NAV_BY_NAME_CI, NAV_BY_SCORE_DESC,
                                         NAV_BY_NAME_ID};

void Select(TDataCursor& c, uint8_t order) { c.SwitchToIndex(order); }

// Records with repeated names in mixed case, repeated scores and ids out of order.
void Fill(NavFixture& f, int count, uint32_t seed) {
    std::mt19937 rng(seed);
    const char* names[] = {"alice", "Alice", "ALICE", "bob", "Bob", "carol", "dave", "Eve", "mallory", "zed", ""};
    std::vector<int32_t> ids(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) ids[static_cast<std::size_t>(i)] = i * 3 + 1;
    std::shuffle(ids.begin(), ids.end(), rng);
    for (int i = 0; i < count; ++i) {
        std::string name = names[rng() % 11];
        if (!name.empty() && rng() % 2) name += std::to_string(rng() % 50);
        f.Add(ids[static_cast<std::size_t>(i)], name, static_cast<int32_t>(rng() % 40) - 10);
    }
}

}  // namespace

TEST(CursorNavigation, EmptyTableGivesTheEmptyPositionInEveryOrder) {
    TempDir tmp;
    NavDb db(tmp.path());
    auto c = db.Open();
    for (uint8_t order : kAllOrders) {
        SCOPED_TRACE(static_cast<int>(order));
        Select(*c, order);
        c->SetToBegin();
        EXPECT_TRUE(c->FBOF && c->FEOF);
        EXPECT_EQ(c->GetRecordCount(), 0u);
        EXPECT_EQ(c->GetRecordNumber(), 0u);
        EXPECT_EQ(c->GetCurrentRecordNumber(), 0u);
        c->SetToEnd();
        EXPECT_TRUE(c->FBOF && c->FEOF);
        c->MoveBy(1);
        c->MoveBy(-1);
        EXPECT_TRUE(c->FBOF && c->FEOF);
        EXPECT_EQ(c->SetToRecordNumber(1), 0);
        EXPECT_TRUE(c->FBOF && c->FEOF);
        EXPECT_TRUE(WalkForward(*c).empty());
        // The current key on no key is all zeros.
        const uint8_t* key = c->GetCurrentKey();
        EXPECT_TRUE(std::all_of(key, key + c->GetKeySize(), [](uint8_t b) { return b == 0; }));
    }
}

TEST(CursorNavigation, WalksMatchTheSortedModelInEveryOrder) {
    TempDir tmp;
    NavDb db(tmp.path());
    Fill(*db.Fixture, 700, 7);  // several leaves in every index
    auto c = db.Open();
    for (uint8_t order : kAllOrders) {
        SCOPED_TRACE(static_cast<int>(order));
        Select(*c, order);
        const std::vector<uint32_t> model = db.Fixture->Order(order);
        std::vector<uint32_t> numbers;
        EXPECT_EQ(WalkForward(*c, &numbers), model);
        for (std::size_t i = 0; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], i + 1);
        EXPECT_EQ(WalkBackward(*c), model);
        EXPECT_EQ(c->GetRecordCount(), model.size());
        EXPECT_EQ(c->GetTableRecordCount(), model.size());

        // SetToBegin and SetToEnd leave the cursor before the first / after the
        // last record, on that record's key.
        c->SetToBegin();
        EXPECT_TRUE(c->FBOF);
        EXPECT_FALSE(c->FEOF);
        EXPECT_EQ(c->GetCurrentRecordNumber(), model.front());
        c->SetToEnd();
        EXPECT_TRUE(c->FEOF);
        EXPECT_FALSE(c->FBOF);
        EXPECT_EQ(c->GetCurrentRecordNumber(), model.back());
        EXPECT_EQ(c->GetRecordNumber(), model.size());
        EXPECT_EQ(c->FRecord->GetRecordNumber(), model.back());
    }
}

TEST(CursorNavigation, MoveByCountsStopAtBothEnds) {
    TempDir tmp;
    NavDb db(tmp.path());
    Fill(*db.Fixture, 400, 11);
    auto c = db.Open();
    for (uint8_t order : kAllOrders) {
        SCOPED_TRACE(static_cast<int>(order));
        Select(*c, order);
        const std::vector<uint32_t> model = db.Fixture->Order(order);
        const auto n = static_cast<int32_t>(model.size());
        c->MoveToFirstKey();
        c->MoveBy(150);
        EXPECT_EQ(c->GetCurrentRecordNumber(), model[150]);
        EXPECT_EQ(c->GetRecordNumber(), 151u);
        c->MoveBy(-37);
        EXPECT_EQ(c->GetCurrentRecordNumber(), model[113]);
        EXPECT_FALSE(c->FBOF || c->FEOF);
        // Past the end: EOF on the last record.
        c->MoveBy(n * 2);
        EXPECT_TRUE(c->FEOF);
        EXPECT_FALSE(c->FBOF);
        EXPECT_EQ(c->GetCurrentRecordNumber(), model.back());
        EXPECT_EQ(c->GetRecordNumber(), static_cast<uint32_t>(n));
        // Before the start: BOF on the first record.
        c->MoveBy(INT32_MIN);
        EXPECT_TRUE(c->FBOF);
        EXPECT_FALSE(c->FEOF);
        EXPECT_EQ(c->GetCurrentRecordNumber(), model.front());
        EXPECT_EQ(c->GetRecordNumber(), 1u);
        c->MoveBy(-1);
        EXPECT_TRUE(c->FBOF);
        EXPECT_EQ(c->GetCurrentRecordNumber(), model.front());
        c->MoveBy(INT32_MAX);
        EXPECT_TRUE(c->FEOF);
        EXPECT_EQ(c->GetCurrentRecordNumber(), model.back());
        c->MoveBy(0);
        EXPECT_TRUE(c->FEOF);
    }
}

TEST(CursorNavigation, GoToRecordNumbersInEveryOrder) {
    TempDir tmp;
    NavDb db(tmp.path());
    Fill(*db.Fixture, 900, 5);
    auto c = db.Open();
    for (uint8_t order : kAllOrders) {
        SCOPED_TRACE(static_cast<int>(order));
        Select(*c, order);
        const std::vector<uint32_t> model = db.Fixture->Order(order);
        const auto n = static_cast<int32_t>(model.size());
        for (int32_t k = 1; k <= n; k += (k < 20 ? 1 : 13)) {
            ASSERT_EQ(c->SetToRecordNumber(k), 1) << k;
            ASSERT_EQ(c->GetCurrentRecordNumber(), model[static_cast<std::size_t>(k - 1)]) << k;
            ASSERT_EQ(c->GetRecordNumber(), static_cast<uint32_t>(k));
            ASSERT_FALSE(c->FBOF || c->FEOF);
        }
        EXPECT_EQ(c->SetToRecordNumber(n), 1);
        EXPECT_EQ(c->GetCurrentRecordNumber(), model.back());
        EXPECT_EQ(c->SetToRecordNumber(0), 0);
        EXPECT_TRUE(c->FBOF);
        EXPECT_EQ(c->GetCurrentRecordNumber(), model.front());
        EXPECT_EQ(c->SetToRecordNumber(-5), 0);
        EXPECT_TRUE(c->FBOF);
        EXPECT_EQ(c->SetToRecordNumber(n + 1), 0);
        EXPECT_TRUE(c->FEOF);
        EXPECT_EQ(c->GetCurrentRecordNumber(), model.back());
        // The record read is the one the position names.
        EXPECT_EQ(c->FRecord->GetRecordNumber(), model.back());
    }
}

TEST(CursorNavigation, DeletedRecordsAreSkippedAndCounted) {
    TempDir tmp;
    NavDb db(tmp.path());
    Fill(*db.Fixture, 300, 3);
    for (uint32_t r = 2; r <= 300; r += 3) db.Fixture->Remove(r);
    db.Fixture->Remove(1);
    db.Fixture->Remove(300);
    auto c = db.Open();
    for (uint8_t order : kAllOrders) {
        SCOPED_TRACE(static_cast<int>(order));
        Select(*c, order);
        const std::vector<uint32_t> model = db.Fixture->Order(order);
        EXPECT_EQ(c->GetRecordCount(), model.size());
        EXPECT_EQ(WalkForward(*c), model);
        EXPECT_EQ(WalkBackward(*c), model);
        EXPECT_EQ(c->SetToRecordNumber(static_cast<int32_t>(model.size())), 1);
        EXPECT_EQ(c->GetCurrentRecordNumber(), model.back());
    }
    // Natural order: physical record numbers snap to the next live record, then
    // to the prior one at the end; the logical number counts live records only.
    Select(*c, NATURAL_ORDER);
    c->GotoRecordNumber(2);
    EXPECT_EQ(c->GetCurrentRecordNumber(), 3u);
    EXPECT_EQ(c->GetRecordNumber(), 1u);
    c->GotoRecordNumber(1);
    EXPECT_EQ(c->GetCurrentRecordNumber(), 3u);
    c->GotoRecordNumber(10);
    EXPECT_EQ(c->GetCurrentRecordNumber(), 10u);
    EXPECT_EQ(c->GetRecordNumber(), 6u);  // 3 4 6 7 9 10
    c->GotoRecordNumber(100000);
    EXPECT_EQ(c->GetCurrentRecordNumber(), 298u);  // 299 and 300 are gone
    EXPECT_EQ(c->GetRecordNumber(), c->GetRecordCount());
    c->GotoRecordNumber(-4);
    EXPECT_EQ(c->GetCurrentRecordNumber(), 3u);
    // The read-ahead run of a step follows the visible records.
    c->GotoRecordNumber(3);
    c->FStepping = true;
    EXPECT_EQ(c->GetReadAheadCount(10, 1), 2);  // 3 4, then 5 is deleted
    EXPECT_EQ(c->GetReadAheadCount(10, 2), 1);
    EXPECT_EQ(c->GetReadAheadCount(1, 1), 1);
    c->FStepping = false;
    // A jump (to a record number, a bookmark) reads its own slot.
    c->GotoRecordNumber(6);
    EXPECT_EQ(c->GetReadAheadCount(10, 1), 1);
}

TEST(CursorNavigation, BookmarksSurviveOtherRecordsComingAndGoing) {
    TempDir tmp;
    NavDb db(tmp.path());
    Fill(*db.Fixture, 200, 21);
    auto c = db.Open();
    for (uint8_t order : {NATURAL_ORDER, NAV_BY_NAME, NAV_BY_SCORE_DESC}) {
        SCOPED_TRACE(static_cast<int>(order));
        Select(*c, order);
        std::vector<uint32_t> model = db.Fixture->Order(order);
        ASSERT_EQ(c->SetToRecordNumber(static_cast<int32_t>(model.size() / 2)), 1);
        const uint32_t held = c->GetCurrentRecordNumber();
        const TCursorBookmark mark = c->GetBookmark();
        EXPECT_EQ(c->GetBookmark().size(), c->GetKeySize());

        // Others come and go, some of them before the held record.
        std::vector<uint32_t> added;
        for (int i = 0; i < 60; ++i) added.push_back(db.Fixture->Add(10000 + i, i % 2 ? "aaron" : "zz", 100 - i));
        int removed = 0;
        for (uint32_t r : model)
            if (r != held && r % 4 == 0 && removed++ < 30) db.Fixture->Remove(r);
        model = db.Fixture->Order(order);

        EXPECT_TRUE(c->SetToBookmark(mark, false, false));
        EXPECT_EQ(c->GetCurrentRecordNumber(), held);
        const auto at = std::find(model.begin(), model.end(), held) - model.begin();
        EXPECT_EQ(c->GetRecordNumber(), static_cast<uint32_t>(at + 1));
        EXPECT_EQ(c->GetRecordCount(), model.size());
        EXPECT_EQ(c->CompareBookmarks(c->GetBookmark(), mark), 0);
        EXPECT_EQ(WalkForward(*c), model);

        // The held record itself goes: the bookmark finds its neighbour.
        db.Fixture->Remove(held);
        const std::vector<uint32_t> after = db.Fixture->Order(order);
        EXPECT_FALSE(c->SetToBookmark(mark, false, false));
        EXPECT_TRUE(c->SetToBookmark(mark, true, false));
        const uint32_t next = at < static_cast<long>(after.size()) ? after[static_cast<std::size_t>(at)] : after.back();
        EXPECT_EQ(c->GetCurrentRecordNumber(), next);
        for (uint32_t r : added) db.Fixture->Remove(r);
    }
}

// A cursor whose change check keeps finding the table changed: every page read
// from the disk has to start over.
class RestlessCursor : public TDataCursor {
public:
    using TDataCursor::TDataCursor;
    bool CheckBeforeCacheMiss() override { return Restless ? true : TDataCursor::CheckBeforeCacheMiss(); }
    bool Restless = false;
};

TEST(CursorNavigation, EndlessIndexChangesEndInALockTimeout) {
    TempDir tmp;
    NavDb db(tmp.path());
    Fill(*db.Fixture, 50, 1);
    RestlessCursor c(db.Dir);
    c.SetTableName(db.Name);
    c.OpenCursor();
    c.SwitchToIndex(NAV_BY_NAME);
    c.ResetBuffers(false, false);
    c.Restless = true;
    try {
        c.MoveToFirstKey();
        FAIL() << "no error";
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_LOCKTIMEOUT);
    }
    c.Restless = false;
    c.MoveToFirstKey();
    EXPECT_EQ(c.GetCurrentRecordNumber(), db.Fixture->Order(NAV_BY_NAME).front());
}

// Reads that miss the caches take the reader lock for the operation's bracket and
// give it back at its end; an outer bracket keeps it, and no miss deepens it.
TEST(CursorNavigation, CacheMissesLockOnlyForTheBracket) {
    TempDir tmp;
    NavDb db(tmp.path());
    Fill(*db.Fixture, 400, 5);
    auto c = db.Open();
    Select(*c, NAV_BY_NAME);
    const uint32_t count = c->GetRecordCount();
    ASSERT_EQ(count, 400u);
    for (uint32_t n : {1u, 200u, 400u}) {
        c->ResetBuffers(false, false);
        c->SetToRecordNumber(n);
        EXPECT_FALSE(db.Table->IsReadLocked()) << n;
        EXPECT_EQ(db.Table->GetReadDepth(), 0u) << n;
    }
    c->BeginRead();
    ASSERT_TRUE(db.Table->IsReadLocked());
    c->ResetBuffers(false, false);
    c->SetToRecordNumber(123);
    // The inner operation's bracket ended, the caller's still holds the lock.
    EXPECT_TRUE(db.Table->IsReadLocked());
    EXPECT_EQ(db.Table->GetReadDepth(), 1u);
    c->EndRead();
    EXPECT_FALSE(db.Table->IsReadLocked());
    EXPECT_EQ(db.Table->GetReadDepth(), 0u);
}
