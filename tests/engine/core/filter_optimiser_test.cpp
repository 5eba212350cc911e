// What the filter analysis decides, looked at directly: the key counts it
// estimates for open and closed bounds and for the one range several comparisons
// bound together, the 90 % rule that leaves an unselective condition to the
// record pass (at its very boundary, on an ascending and a descending index), the
// level it gives a filter, and the order in which an AND chain is evaluated (the
// cheapest term first). The records shown are checked
// too, so that a wrong decision cannot hide behind a right answer or the reverse.
#include <gtest/gtest.h>

#include "engine/core/Filters.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpTree.h"
#include "tests/engine/core/FilterTestSupport.h"

using namespace kura;
using namespace kura::test;
using namespace kura::test::filters;

namespace {

constexpr int RECORDS = 100;

struct FilterOptimiser : ::testing::Test {
    LibraryScope library;
    TestDb db;
    std::unique_ptr<TDataCursor> c;
    int tables = 0;

    // Records 1..100: Small and Num are 0 for the first `zeros`, 9 for the last
    // `nines` and 5 between; Free is "a" for every tenth record and "b" else.
    void Fill(int zeros, int nines) {
        c.reset();
        const std::string name = "O" + std::to_string(++tables);
        db.Create(name, FilterTable());
        auto writer = db.Open(name, true);
        for (int i = 1; i <= RECORDS; ++i) {
            std::vector<uint8_t> rec(writer->GetCursorRecordSize(), 0);
            const int value = i <= zeros ? 0 : i > RECORDS - nines ? 9 : 5;
            const int16_t small = static_cast<int16_t>(value);
            const int32_t num = value;
            const char* free = i % 10 == 0 ? "a" : "b";
            writer->PutField(F_ID, rec.data(), &i);
            writer->PutField(F_SMALL, rec.data(), &small);
            writer->PutField(F_NUM, rec.data(), &num);
            writer->PutField(F_FREE, rec.data(), free);
            const std::string code = "C" + std::to_string(i);  // a unique index
            writer->PutField(F_CODE, rec.data(), code.c_str());
            writer->AppendRecord(rec.data(), false);
        }
        writer.reset();
        // The selectivity check is made for the cursors an SQL statement reads.
        c = std::make_unique<TDataCursor>(db.dir);
        c->SetTableName(name);
        c->SetQuerySource(true);
        c->OpenCursor();
        c->SwitchToIndex(NATURAL_ORDER);
    }
    TFilter* Add(const std::string& text) {
        TCursorFilterOptions options;
        options.StatisticsAllowed = true;
        options.EstimateCounts = true;
        return c->AddFilter(text, options);
    }
    uint32_t Shown(TFilter* f) {
        c->ActivateFilter(f);
        const uint32_t n = c->GetRecordCount();
        c->DropFilter(f);
        return n;
    }
};

// The term an AND chain evaluates first: the leftmost below its AND nodes.
const TExpToken* FirstTerm(const TExpToken* node) {
    while (node->Kind == ekBinary && node->Code == opAnd) node = node->Left;
    return node;
}

std::string ColumnOf(const TExpToken* term) { return FindFirstColumn(const_cast<TExpToken*>(term))->Text; }

TEST_F(FilterOptimiser, OpenBoundsCountExactlyAndTheNinetyPercentRuleHoldsAtItsBoundary) {
    // trunc(0.9 x 100) = 90 keys still scan; 91 do not.
    struct Case {
        int zeros, nines;
        const char* text;
        int32_t keys;
        uint8_t level;
    };
    const Case cases[] = {
        {10, 5, "Small > 0", 90, 2},  {10, 5, "Small >= 1", 90, 2}, {9, 5, "Small > 0", 91, 0},
        {9, 5, "Small >= 1", 91, 0},  {5, 10, "Small < 9", 90, 2},  {5, 10, "Small <= 8", 90, 2},
        {5, 9, "Small < 9", 91, 0},   {5, 9, "Small <= 8", 91, 0},  {10, 5, "Num > 0", 90, 2},
        {10, 5, "Num >= 1", 90, 2},   {9, 5, "Num > 0", 91, 0},     {5, 10, "Num < 9", 90, 2},
        {5, 9, "Num < 9", 91, 0},     {5, 9, "Num <= 8", 91, 0},    {10, 10, "Small > 5", 10, 2},
        {10, 10, "Small < 5", 10, 2}, {10, 10, "Num > 9", 0, 2},    {10, 10, "Small < 0", 0, 2},
        {0, 0, "Small > 5", 0, 2},    {0, 0, "Small >= 5", 100, 0},
        // Two sides of one range are counted, and judged, as that range: 95 keys
        // each, 90 together; crossed bounds count none.
        {5, 5, "Small > 0 AND Small < 9", 90, 2},  {5, 4, "Small > 0 AND Small < 9", 91, 0},
        {5, 5, "Num >= 1 AND Num <= 8", 90, 2},  {10, 10, "Small > 5 AND Small < 5", 0, 2},
        {10, 10, "Small BETWEEN 0 AND 5 AND Small >= 5 AND Small <= 9", 80, 2},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.text) + " with " + std::to_string(k.zeros) + " zeros, " +
                     std::to_string(k.nines) + " nines");
        Fill(k.zeros, k.nines);
        TFilter* f = Add(k.text);
        EXPECT_EQ(f->Nodes.at(f->Expression).KeyCount, k.keys);
        EXPECT_EQ(f->OptimizeLevel, k.level);
        EXPECT_EQ(Shown(f), static_cast<uint32_t>(k.keys));
    }
}

TEST_F(FilterOptimiser, AnAndChainEvaluatesItsCheapestTermFirst) {
    Fill(10, 20);
    struct Case {
        const char* text;
        const char* first;  // the column of the term evaluated first
        uint8_t level;
        uint32_t shown;
    };
    const Case cases[] = {
        // An unindexed term after an indexed one, whichever was written first.
        {"Free = 'a' AND Small = 0", "Small", 1, 1},
        {"Small = 0 AND Free = 'a'", "Small", 1, 1},
        // Two indexed terms: the one with fewer keys (10 zeros against 70 fives).
        {"Num = 5 AND Small = 0", "Small", 2, 0},
        {"Small = 0 AND Num = 5", "Small", 2, 0},
        {"Small > 0 AND Num = 9", "Num", 2, 20},
        // Down a chain: the cheapest of three, wherever it stands.
        {"Free = 'b' AND (Small >= 5 AND Num = 0)", "Num", 1, 0},
        {"(Free = 'b' AND Num > 0) AND Small = 9", "Small", 1, 18},
        // Two sides of one range around a term no index answers; around a term
        // that leaves one record, whose value then tests each side.
        {"Num >= 1 AND Free = 'b' AND Num <= 8", "Num", 1, 63},
        {"Small >= 1 AND Code = 'C95' AND Small <= 8", "Code", 2, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        TFilter* f = Add(k.text);
        EXPECT_EQ(ColumnOf(FirstTerm(f->Expression)), k.first);
        EXPECT_EQ(f->OptimizeLevel, k.level);
        EXPECT_EQ(Shown(f), k.shown);
    }
}

}  // namespace
