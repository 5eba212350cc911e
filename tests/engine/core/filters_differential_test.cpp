// Random tables and random filters: the records a filtered cursor shows, built
// from index scans wherever the optimiser could, are exactly the records its
// expressions accept one by one, in natural and in index order, and stay so while
// records are appended, changed and deleted through the cursor.
#include <gtest/gtest.h>

#include "tests/engine/core/FilterTestSupport.h"

using namespace kura;
using namespace kura::test;
using namespace kura::test::filters;

namespace {

struct FilterDifferential : ::testing::Test {
    LibraryScope library;
    TestDb db;
    std::unique_ptr<TDataCursor> c;

    void Open(FilterModel& m, int records, const std::string& name) {
        c.reset();
        db.Create(name, FilterTable());
        c = db.Open(name, true);
        for (int i = 0; i < records; ++i) {
            std::vector<uint8_t> rec = m.Record(*c);
            c->AppendRecord(rec.data(), false);
        }
        // Leave deleted slots behind.
        std::vector<uint8_t> rec(c->GetCursorRecordSize());
        for (int i = 0; i < records / 8; ++i) {
            c->SetToBegin();
            c->MoveBy(1 + m.Pick(records / 2));
            if (c->GetCurrentRecord(rec.data(), false) == 0) c->DeleteRecord(rec.data(), false);
        }
    }

    void RandomWrite(FilterModel& m) { m.RandomWrite(*c); }

    // A key range on BySmall: Small between low and high.
    bool ranged = false;
    int16_t low = 0, high = 0;
    void SetSmallRange(FilterModel& m) {
        low = static_cast<int16_t>(m.Pick(9) - 5);
        high = static_cast<int16_t>(low + m.Pick(5));
        std::vector<uint8_t> from(c->GetCursorRecordSize(), 0), to(c->GetCursorRecordSize(), 0);
        c->PutField(F_SMALL, from.data(), &low);
        c->PutField(F_SMALL, to.data(), &high);
        c->SwitchToIndex(1);
        c->SetRange(0, from.data(), 1, to.data(), 1);
        ranged = true;
    }
    bool InRange(uint32_t recordNo) {
        TRecord* record = nullptr;
        while (!c->GetRecord(recordNo, 0, record)) {
        }
        uint8_t v[8] = {};
        bool blank = true;
        c->GetField(F_SMALL, record->GetBuffer(), v, blank);
        c->ReleaseRecord(record);
        int16_t small = 0;
        std::memcpy(&small, v, 2);
        return !blank && small >= low && small <= high;
    }

    void ExpectAgreement(const std::string& what) {
        std::set<uint32_t> accepted = AcceptedRecords(*c);
        if (ranged) std::erase_if(accepted, [&](uint32_t r) { return !InRange(r); });
        ASSERT_EQ(ShownRecords(*c), accepted) << what;
        ASSERT_EQ(c->GetRecordCount(), accepted.size()) << what;
    }
};

TEST_F(FilterDifferential, IndexScansGiveTheRecordsTheExpressionsAccept) {
    int levels[4] = {};
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        FilterModel m(seed);
        Open(m, 120 + m.Pick(200), "F" + std::to_string(seed));
        for (int trial = 0; trial < 20; ++trial) {
            std::string what = "seed " + std::to_string(seed) + " trial " + std::to_string(trial) + ":";
            const int count = 1 + m.Pick(3);
            for (int i = 0; i < count; ++i) {
                TCursorFilterOptions options;
                options.StatisticsAllowed = m.Chance(50);
                options.EstimateCounts = m.Chance(50);
                options.CombineFirst = m.Chance(30);
                options.CaseInsensitive = m.Chance(15);
                options.NoPartialCompare = m.Chance(15);
                const std::string text = m.Expression(3);
                what += " [" + text + "]";
                // Texts the type check refuses (an ordered comparison of a
                // boolean, ...) leave the cursor with its other filters.
                TFilter* f = nullptr;
                const TEngineErrorCode refused = ErrorOf([&] { f = c->AddFilter(text, options); });
                ASSERT_TRUE(refused == 0 || refused == KURA_INVALIDFILTER) << what;
                if (f) ++levels[f->OptimizeLevel]; else ++levels[3];
                if (f && m.Chance(85)) c->ActivateFilter(f);
            }
            // Natural order, then an index order (the sets are walked through
            // the index's keys).
            c->SwitchToIndex(NATURAL_ORDER);
            ExpectAgreement(what + " natural");
            if (m.Chance(30)) {
                SetSmallRange(m);
                ExpectAgreement(what + " range " + std::to_string(low) + ".." + std::to_string(high));
            } else {
                const uint8_t index = static_cast<uint8_t>(m.Pick(11));
                c->SwitchToIndex(index);
                ExpectAgreement(what + " index " + std::to_string(index));
            }
            for (int w = 0; w < 6; ++w) RandomWrite(m);
            ExpectAgreement(what + " after writes");
            if (ranged) {
                c->ResetRange();
                ranged = false;
            }
            c->SwitchToIndex(NATURAL_ORDER);
            for (int w = 0; w < 6; ++w) RandomWrite(m);
            ExpectAgreement(what + " after writes in natural order");
            c->DropFilter(nullptr);
            ASSERT_EQ(c->GetRecordCount(), c->GetTableRecordCount());
        }
    }
    // Most filters are answered at least partly from the indexes.
    EXPECT_GT(levels[2] + levels[1], levels[0]);
    EXPECT_LT(levels[3], levels[0] + levels[1] + levels[2]);

}

// Many single filters over one table, compared in natural order: every kind of
// condition on every type meets its index often enough to be caught.
TEST_F(FilterDifferential, EverySingleConditionAgrees) {
    for (uint32_t seed = 11; seed <= 13; ++seed) {
        FilterModel m(seed);
        Open(m, 150 + m.Pick(100), "S" + std::to_string(seed));
        c->SwitchToIndex(NATURAL_ORDER);
        for (int trial = 0; trial < 400; ++trial) {
            TCursorFilterOptions options;
            options.StatisticsAllowed = m.Chance(50);
            options.EstimateCounts = m.Chance(50);
            options.CaseInsensitive = m.Chance(10);
            const std::string text = trial % 3 == 0 ? m.Expression(2) : m.Condition();
            TFilter* f = nullptr;
            if (ErrorOf([&] { f = c->AddFilter(text, options); }) != 0) continue;
            c->ActivateFilter(f);
            ExpectAgreement("seed " + std::to_string(seed) + ": " + text);
            c->DropFilter(f);
        }
    }
}

}  // namespace
