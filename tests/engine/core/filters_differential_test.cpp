// Random tables and random filters (among them ranges that two or three
// comparisons of one column bound together): the records a filtered cursor shows,
// built from index scans wherever the optimiser could, are exactly the records its
// expressions accept one by one, in natural and in index order, and stay so while
// records are appended, changed and deleted through the cursor; so are the records
// the texts accept evaluated as written, behind which no fault of the cursor's
// preparation (a comparison turned round the wrong way) can hide.
#include <gtest/gtest.h>

#include <map>

#include "tests/engine/core/FilterTestSupport.h"

using namespace kura;
using namespace kura::test;
using namespace kura::test::filters;

namespace {

struct FilterDifferential : ::testing::Test {
    LibraryScope library;
    TestDb db;
    std::unique_ptr<TDataCursor> c;

    void Open(FilterModel& m, int records, const std::string& name, bool querySource) {
        c.reset();
        db.Create(name, FilterTable());
        c = db.Open(name, true, querySource);
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

    std::map<const TFilter*, WrittenFilter> written;  // the filters added, as written
    TFilter* Add(const std::string& text, const TCursorFilterOptions& options) {
        TFilter* f = c->AddFilter(text, options);
        written[f] = {text, options};
        return f;
    }

    void ExpectAgreement(const std::string& what) {
        const auto inRange = [&](std::set<uint32_t> records) {
            if (ranged) std::erase_if(records, [&](uint32_t r) { return !InRange(r); });
            return records;
        };
        const std::set<uint32_t> accepted = inRange(AcceptedRecords(*c));
        std::vector<WrittenFilter> active;
        for (const TFilter* f : c->GetFilters())
            if (f->Active) active.push_back(written.at(f));
        ASSERT_EQ(accepted, inRange(WrittenAccepted(*c, active))) << what;
        ASSERT_EQ(ShownRecords(*c), accepted) << what;
        ASSERT_EQ(c->GetRecordCount(), accepted.size()) << what;
    }
};

TEST_F(FilterDifferential, IndexScansGiveTheRecordsTheExpressionsAccept) {
    int levels[4] = {};
    int ranges = 0;  // filters that scan one range for several comparisons
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        FilterModel m(seed);
        Open(m, 120 + m.Pick(200), "F" + std::to_string(seed), seed % 2 == 0);
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
                const TEngineErrorCode refused = ErrorOf([&] { f = Add(text, options); });
                ASSERT_TRUE(refused == 0 || refused == KURA_INVALIDFILTER) << what;
                if (f) ++levels[f->OptimizeLevel]; else ++levels[3];
                if (f && !f->Groups.empty()) ++ranges;
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
    EXPECT_GT(ranges, 10);

}

// Many single filters over one table, compared in natural order: every kind of
// condition on every type, and ranges two or three comparisons bound together,
// meet their index often enough to be caught.
TEST_F(FilterDifferential, EverySingleConditionAgrees) {
    for (uint32_t seed = 11; seed <= 13; ++seed) {
        FilterModel m(seed);
        Open(m, 150 + m.Pick(100), "S" + std::to_string(seed), seed != 12);
        c->SwitchToIndex(NATURAL_ORDER);
        for (int trial = 0; trial < 400; ++trial) {
            TCursorFilterOptions options;
            options.StatisticsAllowed = m.Chance(50);
            options.EstimateCounts = m.Chance(50);
            options.CaseInsensitive = m.Chance(10);
            const std::string text = trial % 3 != 0 ? m.Condition() : trial % 2 ? m.Range() : m.Expression(2);
            TFilter* f = nullptr;
            if (ErrorOf([&] { f = Add(text, options); }) != 0) continue;
            c->ActivateFilter(f);
            ExpectAgreement("seed " + std::to_string(seed) + ": " + text);
            c->DropFilter(f);
        }
    }
}

}  // namespace

namespace {

// ---- Comparisons answered from the record image ---------------------------------------------

// Columns without an index of every integer width, a date, a time and a text,
// holding their extremes, small values and NULLs (a text NULL also over the bytes
// of the text it held), and a constant of each width and beyond it: a comparison of
// a column with a constant, either written first, or a BETWEEN of the column, which
// the record pass answers without the evaluator's nodes, accepts exactly the
// records the evaluator accepts, on the tree the cursor made and on the text as
// written, alone and among the terms of an AND chain, without a locale and under one
// that passes over accents ("\xE9" "clair" is "eclair" there). The text's only
// index ignores case: it serves the comparisons the case-insensitive option makes.
TEST(FilterDirectComparisons, AgreeWithTheEvaluator) {
    LibraryScope library;
    TestDb db;
    for (const uint16_t locale : {0, 0x0409}) {
        SCOPED_TRACE(locale);
        TableBuilder b;
        b.Field("Id", fldINT32);
        b.Field("S", fldINT16);
        b.Field("W", fldUINT16);
        b.Field("I", fldINT32);
        b.Field("L", fldINT64);
        b.Field("D", fldDATE);
        b.Field("T", fldTIME);
        b.Field("X", fldZSTRING, 12);
        b.Primary({1});
        b.Secondary("ByXFolded", {8}, false);
        b.Def.Indexes.back().SetByte(ido::CaseInsensitive, 1);
        b.Def.LocaleId = locale;
        const std::string table = "N" + std::to_string(locale);
        db.Create(table, b.Def);
        auto c = db.Open(table, false);
        std::mt19937 rng(29);
        const std::vector<int64_t> values[] = {
            {INT16_MIN, -2, -1, 0, 1, 2, INT16_MAX},
            {0, 1, 2, 40000, UINT16_MAX},
            {INT32_MIN, -70000, -1, 0, 1, 70000, INT32_MAX},
            {INT64_MIN, -5000000000, -1, 0, 1, 5000000000, INT64_MAX},
            {DAY_2020, DAY_2020 + 1, DAY_2020 + 2},
            {0, 3600000, 7200000},
        };
        const char* const words[] = {"apple", "Apple", "\xE9" "clair", "eclair", "b", "abcdefghijkl", "zz"};
        TFieldDesc x;
        c->GetFieldDesc(8, x);
        for (int id = 1; id <= 240; ++id) {
            std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
            uint8_t v[8] = {};
            PutI32(v, id);
            c->PutField(1, rec.data(), v);
            for (uint16_t f = 2; f <= 7; ++f) {
                const std::vector<int64_t>& pool = values[f - 2];
                const int64_t n = pool[rng() % pool.size()];
                std::memcpy(v, &n, sizeof v);  // little-endian: the low bytes are the narrower value
                c->PutField(f, rec.data(), rng() % 6 == 0 ? nullptr : v);
            }
            c->PutField(8, rec.data(), rng() % 9 == 0 ? nullptr : words[rng() % 7]);
            if (rng() % 6 == 0) rec[x.Offset()] = 0;
            c->AppendRecord(rec.data(), false);
        }
        c->SwitchToIndex(NATURAL_ORDER);
        const std::vector<std::string> constants[] = {
            {"-32768", "-1", "0", "2", "32767", "40000", "-40000"},
            {"0", "1", "40000", "65535", "-1", "70000"},
            {"-2147483648", "-1", "0", "70000", "2147483647"},
            {"-5000000000", "-1", "0", "1", "5000000000", "7"},
            {"'2020-01-02'", "'2020-01-01'", "'2019-12-31'"},
            {"'01:00:00'", "'00:00:00'", "'02:00:00'"},
            {"'apple'", "'APPLE'", "'eclair'", "'b'", "'abcdefghijkl'", "'abcdefghijklm'", "'a'"},
        };
        const char* const names[] = {"S", "W", "I", "L", "D", "T", "X"};
        const char* const ops[] = {"=", "<>", "<", "<=", ">", ">=", "BETWEEN", "NOT BETWEEN"};
        std::string previous = "S <> 0";
        // The text once more under the case-insensitive option: = and <> ignore case
        // whichever side the constant stands on, the others keep it.
        for (const bool fold : {false, true})
            for (int f = fold ? 6 : 0; f < 7; ++f)
                for (std::size_t i = 0; i < constants[f].size(); ++i)
                    for (int op = 0; op < 14; ++op) {
                        // A BETWEEN's second bound is the next constant: now and then the
                        // bounds cross. From op 8 on the constant is written first, in a
                        // chain with the condition before it and a term the evaluator answers.
                        const std::string &k = constants[f][i], &next = constants[f][(i + 1) % constants[f].size()];
                        const std::string one = op < 8 ? std::string(names[f]) + " " + ops[op] + " " + k +
                                                             (op < 6 ? "" : " AND " + next)
                                                       : k + " " + ops[op - 8] + " " + names[f];
                        const std::string text = op < 8 ? one : previous + " AND " + one + " AND NOT (I = 1)";
                        previous = one;
                        const TCursorFilterOptions options{.CaseInsensitive = fold};
                        TFilter* filter = c->AddFilter(text, options);
                        c->ActivateFilter(filter);
                        const std::set<uint32_t> shown = ShownRecords(*c);
                        EXPECT_EQ(shown, AcceptedRecords(*c)) << text;
                        EXPECT_EQ(shown, WrittenAccepted(*c, {{text, options}})) << fold << " " << text;
                        EXPECT_EQ(c->GetRecordCount(), shown.size()) << text;
                        c->DropFilter(filter);
                    }
    }
}

}  // namespace
