// The record sort against a model: std::stable_sort over decoded values, then the
// distinct, grouping (accumulate, finish, filter) and limit rules. Tables are large
// enough for several external runs, so groups and duplicates cross run boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>

#include "engine/files/Bcd.h"
#include "tests/engine/core/CursorTableTestSupport.h"

namespace kura::test {
namespace {

// Sort-able columns of every key type, then three the group callbacks fill.
enum Col { cS = 1, cI16, cI32, cF, cD, cB, cL, cT, cTS, cW, cBCD, cCnt, cSum, cAvg };
constexpr int KEY_COLUMNS = 11;

// wide: two long texts after the others, left blank, make the records some 600
// bytes, so that a few thousand of them fill more than the 1 MB the sort keeps in
// memory.
TTableDefinition SortTable(bool wide = false) {
    TableBuilder b;
    b.Field("S", fldZSTRING, 6);
    b.Field("I16", fldINT16);
    b.Field("I32", fldINT32);
    b.Field("F", fldFLOAT);
    b.Field("D", fldDATE);
    b.Field("B", fldBOOL);
    b.Field("L", fldINT64);
    b.Field("T", fldTIME);
    b.Field("TS", fldTIMESTAMP);
    b.Field("W", fldUINT16);
    b.Field("BCD", fldBCD, 0, 2);
    b.Field("Cnt", fldINT32);
    b.Field("Sum", fldFLOAT);
    b.Field("Avg", fldFLOAT);
    if (wide) {
        b.Field("Pad1", fldZSTRING, 250);
        b.Field("Pad2", fldZSTRING, 250);
    }
    return b.Def;
}

// One row as the model sees it: per key column null or a value (strings as text,
// everything else as a double or integer that orders like the field).
struct Row {
    bool null[KEY_COLUMNS + 1] = {};
    std::string s;
    int64_t n[KEY_COLUMNS + 1] = {};
    double f[KEY_COLUMNS + 1] = {};
    uint32_t autoInc = 0;
    int32_t cnt = 0;
    double sum = 0, avg = 0;
};

bool IsFloatCol(int c) { return c == cF || c == cTS; }

std::string Upper(std::string s) {
    for (char& ch : s)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    return s;
}

struct Order {
    std::vector<int> cols;
    std::vector<bool> desc;
    bool ci = false;
    // <0, 0, >0 over the sort columns only.
    int Compare(const Row& a, const Row& b) const {
        for (std::size_t i = 0; i < cols.size(); ++i) {
            const int c = cols[i];
            int r = 0;
            if (a.null[c] != b.null[c]) {
                r = a.null[c] ? -1 : 1;
            } else if (!a.null[c]) {
                if (c == cS) {
                    const std::string x = ci ? Upper(a.s) : a.s, y = ci ? Upper(b.s) : b.s;
                    r = x < y ? -1 : (x > y ? 1 : 0);
                } else if (IsFloatCol(c)) {
                    r = a.f[c] < b.f[c] ? -1 : (a.f[c] > b.f[c] ? 1 : 0);
                } else {
                    r = a.n[c] < b.n[c] ? -1 : (a.n[c] > b.n[c] ? 1 : 0);
                }
            }
            if (r != 0) return desc[i] ? -r : r;
        }
        return 0;
    }
};

struct Case;

class SortFixture : public ::testing::Test {
protected:
    LibraryScope lib;
    TestDb db;
    std::unique_ptr<TDataCursor> c;
    std::mt19937 rng{12345};

    void Make(int32_t bufferCount, bool wide = false) {
        db.session.RecordBufferCount = bufferCount;
        db.Create("Result", SortTable(wide));
        c = db.Open("Result");
    }

    Row RandomRow() {
        Row r;
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        for (int col = 1; col <= KEY_COLUMNS; ++col) r.null[col] = pick(8) == 0;
        static const char* words[] = {"apple", "Apple", "APPLE", "b", "B", "banana", "c", "zz", "Zz", "cherry"};
        r.s = words[pick(10)];
        r.n[cI16] = pick(7) - 3;
        r.n[cI32] = (pick(5) - 2) * 100000;
        r.f[cF] = (pick(9) - 4) * 0.5;
        r.n[cD] = 730000 + pick(4);
        r.n[cB] = pick(2);
        r.n[cL] = (static_cast<int64_t>(pick(5)) - 2) << 40;
        r.n[cT] = pick(4) * 1000;
        r.f[cTS] = 6.3e13 + pick(3) * 86400000.0;
        r.n[cW] = pick(3) * 30000;
        r.n[cBCD] = (pick(5) - 2) * 125;  // hundredths
        return r;
    }

    void Append(const Row& r) {
        std::vector<uint8_t> rec = Image(r);
        c->AppendRecord(rec.data(), false);
    }

    // The record buffer AppendRecord takes for the row.
    std::vector<uint8_t> Image(const Row& r) {
        std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
        auto put = [&](int col, const void* v) { c->PutField(static_cast<uint16_t>(col), rec.data(), r.null[col] ? nullptr : v); };
        std::vector<char> text(r.s.begin(), r.s.end());
        text.resize(16, 0);
        put(cS, text.data());
        int16_t i16 = static_cast<int16_t>(r.n[cI16]);
        put(cI16, &i16);
        int32_t i32 = static_cast<int32_t>(r.n[cI32]);
        put(cI32, &i32);
        put(cF, &r.f[cF]);
        int32_t d = static_cast<int32_t>(r.n[cD]);
        put(cD, &d);
        uint16_t b = static_cast<uint16_t>(r.n[cB]);
        put(cB, &b);
        put(cL, &r.n[cL]);
        int32_t t = static_cast<int32_t>(r.n[cT]);
        put(cT, &t);
        put(cTS, &r.f[cTS]);
        uint16_t w = static_cast<uint16_t>(r.n[cW]);
        put(cW, &w);
        uint8_t bcd[34] = {};
        CurrToBCDValue(r.n[cBCD] * 100, 2, bcd);
        put(cBCD, bcd);
        int32_t zero = 0;
        c->PutField(cCnt, rec.data(), &zero);
        return rec;
    }

    // Every live record in natural order.
    std::vector<Row> ReadBack() {
        std::vector<Row> rows;
        std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
        c->RebuildFilterSet();
        c->SetToBegin();
        while (c->GetNextRecord(rec.data()) == 0) {
            Row r;
            uint8_t v[64] = {};
            bool blank = false;
            c->GetField(cS, rec.data(), v, blank);
            r.null[cS] = blank;
            r.s = reinterpret_cast<const char*>(v);
            for (int col = cI16; col <= cBCD; ++col) {
                std::memset(v, 0, sizeof v);
                c->GetField(static_cast<uint16_t>(col), rec.data(), v, blank);
                r.null[col] = blank;
                if (blank) continue;
                switch (col) {
                    case cI16: r.n[col] = static_cast<int16_t>(v[0] | v[1] << 8); break;
                    case cB:
                    case cW: r.n[col] = static_cast<uint16_t>(v[0] | v[1] << 8); break;
                    case cL: std::memcpy(&r.n[col], v, 8); break;
                    case cF:
                    case cTS: std::memcpy(&r.f[col], v, 8); break;
                    case cBCD: {
                        TCurrency cur = 0;
                        BCDToCurrValue(v, cur);
                        r.n[col] = cur / 100;
                        break;
                    }
                    default: r.n[col] = GetI32(v);
                }
            }
            c->GetField(cCnt, rec.data(), v, blank);
            r.cnt = GetI32(v);
            c->GetField(cSum, rec.data(), v, blank);
            std::memcpy(&r.sum, v, 8);
            c->GetField(cAvg, rec.data(), v, blank);
            std::memcpy(&r.avg, v, 8);
            r.autoInc = TDataCursor::GetBufferAutoInc(rec.data());
            rows.push_back(r);
        }
        return rows;
    }

    // The model's rows appended then sorted, and handed to SortRows on a table made
    // afresh: the same table both times, and the model's rows.
    void ExpectSortedOnEntryAsAfterwards(std::vector<Row> model, const Order& o, const Case& k, int32_t bufferCount,
                                         bool wide);

    TSortRequest Request(const Order& o) const {
        TSortRequest q;
        for (std::size_t i = 0; i < o.cols.size(); ++i) {
            TFieldDesc d;
            c->GetTableFieldDesc(static_cast<uint16_t>(o.cols[i]), d);
            d.Bytes[fdo::Descending] = o.desc[i] ? 1 : 0;
            q.Fields.push_back(d);
        }
        q.CaseInsensitive = o.ci;
        return q;
    }
};

// Group callbacks: Cnt counts members, Sum adds I16, Avg = Sum / Cnt; the filter
// keeps groups of an odd size (a HAVING).
struct GroupData {
    TDataCursor* cursor;
    TFieldDesc cnt, sum, avg, i16;
};

double ReadDoubleField(const TFieldDesc& d, const uint8_t* rec) {
    double v = 0;
    std::memcpy(&v, rec + d.Offset() + 1, 8);
    return v;
}
void WriteDoubleField(const TFieldDesc& d, uint8_t* rec, double v) {
    rec[d.Offset()] = 1;
    std::memcpy(rec + d.Offset() + 1, &v, 8);
}
int32_t ReadI16Field(const TFieldDesc& d, const uint8_t* rec) {
    return rec[d.Offset()] ? static_cast<int16_t>(rec[d.Offset() + 1] | rec[d.Offset() + 2] << 8) : 0;
}

void Accumulate(void* data, bool first, uint8_t* a, uint8_t* b) {
    auto* g = static_cast<GroupData*>(data);
    if (first) {
        PutI32(b + g->cnt.Offset() + 1, 1);
        WriteDoubleField(g->sum, b, ReadI16Field(g->i16, b));
    } else {
        PutI32(b + g->cnt.Offset() + 1, GetI32(b + g->cnt.Offset() + 1) + 1);
        WriteDoubleField(g->sum, b, ReadDoubleField(g->sum, b) + ReadI16Field(g->i16, a));
    }
}
void FinishGroup(void* data, void*, uint8_t* rec, uint8_t*) {
    auto* g = static_cast<GroupData*>(data);
    WriteDoubleField(g->avg, rec, ReadDoubleField(g->sum, rec) / GetI32(rec + g->cnt.Offset() + 1));
}
bool OddGroups(void* data, void*, uint8_t* rec, uint8_t*) {
    auto* g = static_cast<GroupData*>(data);
    return GetI32(rec + g->cnt.Offset() + 1) % 2 == 1;
}

// The model of the whole sort.
std::vector<Row> ModelSort(std::vector<Row> rows, const Order& o, bool distinct, bool grouping, bool filter,
                           int32_t limit) {
    std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
        int r = o.Compare(a, b);
        return r != 0 ? r < 0 : a.autoInc < b.autoInc;
    });
    std::vector<Row> out;
    auto full = [&] { return limit >= 0 && static_cast<int32_t>(out.size()) >= limit; };
    if (full()) return out;
    for (std::size_t i = 0; i < rows.size() && !full();) {
        std::size_t j = i + 1;
        while (j < rows.size() && o.Compare(rows[i], rows[j]) == 0) ++j;
        if (distinct) {
            out.push_back(rows[i]);
        } else if (grouping) {
            Row g = rows[i];
            g.cnt = static_cast<int32_t>(j - i);
            g.sum = 0;
            for (std::size_t k = i; k < j; ++k) g.sum += rows[k].null[cI16] ? 0 : static_cast<double>(rows[k].n[cI16]);
            g.avg = g.sum / g.cnt;
            if (!filter || g.cnt % 2 == 1) out.push_back(g);
        } else {
            for (std::size_t k = i; k < j && !full(); ++k) out.push_back(rows[k]);
        }
        i = j;
    }
    return out;
}

void ExpectSameRows(const std::vector<Row>& want, const std::vector<Row>& got, bool grouping) {
    ASSERT_EQ(want.size(), got.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        EXPECT_EQ(got[i].autoInc, i + 1);
        for (int col = 1; col <= KEY_COLUMNS; ++col) {
            ASSERT_EQ(want[i].null[col], got[i].null[col]) << "column " << col;
            if (want[i].null[col]) continue;
            if (col == cS)
                EXPECT_EQ(want[i].s, got[i].s);
            else if (IsFloatCol(col))
                EXPECT_EQ(want[i].f[col], got[i].f[col]) << "column " << col;
            else
                EXPECT_EQ(want[i].n[col], got[i].n[col]) << "column " << col;
        }
        if (grouping) {
            EXPECT_EQ(want[i].cnt, got[i].cnt);
            EXPECT_DOUBLE_EQ(want[i].sum, got[i].sum);
            EXPECT_DOUBLE_EQ(want[i].avg, got[i].avg);
        }
    }
}

// Combinable callbacks, for folding on entry: a record is a group of one until
// something is folded into it (Cnt 0 counts as 1, a missing Sum as its I16), and a
// group's first call leaves it as it is.
int32_t CountOf(const GroupData& g, const uint8_t* rec) {
    const int32_t n = GetI32(rec + g.cnt.Offset() + 1);
    return n == 0 ? 1 : n;
}
double SumOf(const GroupData& g, const uint8_t* rec) {
    return rec[g.sum.Offset()] ? ReadDoubleField(g.sum, rec) : ReadI16Field(g.i16, rec);
}
void Combine(void* data, bool first, uint8_t* a, uint8_t* b) {
    const auto& g = *static_cast<GroupData*>(data);
    if (first) return;
    PutI32(b + g.cnt.Offset() + 1, CountOf(g, b) + CountOf(g, a));
    WriteDoubleField(g.sum, b, SumOf(g, b) + SumOf(g, a));
}
void FinishCombined(void* data, void*, uint8_t* rec, uint8_t*) {
    const auto& g = *static_cast<GroupData*>(data);
    PutI32(rec + g.cnt.Offset() + 1, CountOf(g, rec));
    WriteDoubleField(g.sum, rec, SumOf(g, rec));
    WriteDoubleField(g.avg, rec, SumOf(g, rec) / CountOf(g, rec));
}

struct Case {
    const char* name;
    bool distinct, grouping, filter;
    int32_t limit;
    // Grouping through the combinable callbacks, folded on entry where rows are.
    bool fold = false;
};

// The request of a case: its DISTINCT, its limit, and for grouping the callbacks
// over `g` (filled here).
TSortRequest CaseRequest(TDataCursor& c, TSortRequest q, const Case& k, GroupData& g) {
    q.Distinct = k.distinct;
    g = GroupData{&c, {}, {}, {}, {}};
    c.GetTableFieldDesc(cCnt, g.cnt);
    c.GetTableFieldDesc(cSum, g.sum);
    c.GetTableFieldDesc(cAvg, g.avg);
    c.GetTableFieldDesc(cI16, g.i16);
    if (k.grouping) {
        q.Grouping = true;
        q.CallbackData = &g;
        q.Accumulate = k.fold ? Combine : Accumulate;
        q.Combinable = q.FoldOnEntry = k.fold;
        q.HasFinish = true;
        q.Finish = k.fold ? FinishCombined : FinishGroup;
        q.HasFilter = k.filter;
        q.Filter = OddGroups;
    }
    q.MaxRecords = k.limit;
    return q;
}

TEST_F(SortFixture, RandomisedSortsMatchTheModelAcrossSeveralRuns) {
    Make(300);
    std::vector<Row> model;
    for (int i = 0; i < 2400; ++i) {
        Row r = RandomRow();
        Append(r);
        r.autoInc = static_cast<uint32_t>(i + 1);
        model.push_back(r);
    }
    // Deleted slots must never come back.
    std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
    c->RebuildFilterSet();
    for (uint32_t victim : {5u, 77u, 1500u}) {
        c->SetToBegin();
        TEngineErrorCode rc = 0;
        while ((rc = c->GetNextRecord(rec.data())) == 0 && TDataCursor::GetBufferAutoInc(rec.data()) != victim) {
        }
        ASSERT_EQ(rc, 0);
        ASSERT_EQ(TDataCursor::GetBufferAutoInc(rec.data()), victim);
        c->DeleteRecord(rec.data(), false);
        model.erase(std::find_if(model.begin(), model.end(), [&](const Row& r) { return r.autoInc == victim; }));
    }
    const std::vector<Row> original = ReadBack();
    ASSERT_EQ(original.size(), model.size());

    const Case cases[] = {{"plain", false, false, false, -1},   {"distinct", true, false, false, -1},
                          {"groups", false, true, false, -1},   {"having", false, true, true, -1},
                          {"limit", false, false, false, 777},  {"distinct limit", true, false, false, 9},
                          {"group limit", false, true, true, 3}, {"zero limit", false, false, false, 0}};
    std::mt19937 pick(99);
    int caseNo = 0;
    for (const Case& k : cases) {
        for (int round = 0; round < 3; ++round, ++caseNo) {
            Order o;
            const int keys = 1 + static_cast<int>(pick() % 3);
            std::vector<int> all(KEY_COLUMNS);
            std::iota(all.begin(), all.end(), 1);
            std::shuffle(all.begin(), all.end(), pick);
            if (round == 0) all[0] = cS;  // strings in every case
            for (int i = 0; i < keys; ++i) {
                o.cols.push_back(all[static_cast<std::size_t>(i)]);
                o.desc.push_back(pick() % 2 == 1);
            }
            o.ci = round == 1 || (pick() % 2 == 1);
            SCOPED_TRACE(std::string(k.name) + " round " + std::to_string(round));

            // Each case starts from the same table.
            c.reset();
            db.dir->DeleteTable("Result", false);
            db.Create("Result", SortTable());
            c = db.Open("Result");
            for (const Row& r : original) Append(r);
            std::vector<Row> input = ReadBack();

            GroupData g;
            const TSortResult result = c->SortRecords(CaseRequest(*c, Request(o), k, g));
            EXPECT_GE(result.Runs, 3);
            EXPECT_EQ(result.InputCount, input.size());
            const std::vector<Row> want = ModelSort(input, o, k.distinct, k.grouping && !k.distinct, k.filter, k.limit);
            const std::vector<Row> got = ReadBack();
            ExpectSameRows(want, got, k.grouping);
            EXPECT_EQ(result.OutputCount, want.size());
            EXPECT_EQ(c->GetTable()->GetRecordCount(), want.size());
            EXPECT_EQ(c->GetTable()->GetLastRecordNumber(), want.size());
            // The row-identifier index maps every renumbered record to itself.
            std::vector<uint32_t> rowIds(want.size());
            std::iota(rowIds.begin(), rowIds.end(), 1u);
            EXPECT_EQ(KeysOf(*c, SYS_DELETED_SLOT), rowIds);
        }
    }
}

TEST_F(SortFixture, CachedTablesSortInMemoryAndKeepStoredCase) {
    Make(8192);
    db.session.RecordBufferSize = 1 << 20;
    std::vector<Row> model;
    for (int i = 0; i < 40; ++i) {
        Row r = RandomRow();
        r.null[cS] = false;
        Append(r);
        r.autoInc = static_cast<uint32_t>(i + 1);
        model.push_back(r);
    }
    // Every slot in the cache: read them all.
    ReadBack();
    Order o{{cS, cI16}, {false, true}, true};
    const TSortResult result = c->SortRecords(Request(o));
    EXPECT_EQ(result.Runs, 0);
    ExpectSameRows(ModelSort(model, o, false, false, false, -1), ReadBack(), false);
    // Lower-case texts are stored as they were given.
    bool sawLower = false;
    for (const Row& r : ReadBack()) sawLower |= r.s == "apple" || r.s == "banana";
    EXPECT_TRUE(sawLower);
}

// Run files of the folder: named there, or open with no name left (as run files
// are, so that none outlives its program).
int CountRunFiles(const std::string& dir) {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".TMP") ++n;
    const std::string folder = std::filesystem::canonical(dir).string() + "/";
    const std::string nameless = ".TMP (deleted)";
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
        if (!ec && target.rfind(folder, 0) == 0 && target.size() > nameless.size() &&
            target.compare(target.size() - nameless.size(), nameless.size(), nameless) == 0)
            ++n;
    }
    return n;
}

// Counts the merge's callbacks and the run files present meanwhile; fails at the
// thousandth call.
struct Watch {
    std::string dir;
    int calls = 0;
    int mostFiles = 0;
};

void ThrowingAccumulate(void* data, bool, uint8_t*, uint8_t*) {
    auto& watch = *static_cast<Watch*>(data);
    watch.mostFiles = std::max(watch.mostFiles, CountRunFiles(watch.dir));
    if (++watch.calls == 1000) throw std::runtime_error("callback failed");
}

// Runs that together fit the size of one stay in memory; larger ones go to one run
// file, which is gone afterwards, also when a callback fails.
TEST_F(SortFixture, RunsShareOneFileThatIsDeletedWhenACallbackFails) {
    db.session.SetPrivateDir(db.tmp.path());
    Make(100);
    const std::pair<int, int> cases[] = {{1200, 0}, {12000, 1}};  // rows, run files
    int appended = 0;
    for (const auto& [rows, files] : cases) {
        SCOPED_TRACE(rows);
        for (; appended < rows; ++appended) Append(RandomRow());
        TSortRequest q = Request(Order{{cI32}, {false}, false});
        Watch watch{db.tmp.path()};
        q.Grouping = true;
        q.CallbackData = &watch;
        q.Accumulate = ThrowingAccumulate;
        EXPECT_THROW(c->SortRecords(q), std::runtime_error);
        EXPECT_EQ(watch.mostFiles, files);
        EXPECT_EQ(CountRunFiles(db.tmp.path()), 0);
        q.Accumulate = nullptr;
        EXPECT_GE(c->SortRecords(q).Runs, 3);
        EXPECT_EQ(CountRunFiles(db.tmp.path()), 0);
    }
}

TEST_F(SortFixture, DescendingStringsUnderALocaleSortInReverseCollationWithBlanksLast) {
    db.session.RecordBufferCount = 50;  // external runs, locale comparison in the merge
    TableBuilder b;
    b.Field("W", fldZSTRING, 12);
    b.Def.LocaleId = 0x0409;
    db.Create("Words", b.Def);
    c = db.Open("Words");
    const char* words[] = {"co-op", "coop", "Apple", "apple", "", "zebra", "Zebra", "\xE9" "clair", "eclair", "b"};
    for (int i = 0; i < 300; ++i) {
        RecordImage image(*c);
        image.Text(1, words[(i * 7) % 10]);
        c->AppendRecord(image.data(), false);
    }
    TFieldDesc d;
    c->GetTableFieldDesc(1, d);
    d.Bytes[fdo::Descending] = 1;
    TSortRequest q;
    q.Fields = {d};
    q.Distinct = true;
    const TSortResult result = c->SortRecords(q);
    EXPECT_GE(result.Runs, 3);
    std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
    std::vector<std::string> got;
    std::vector<bool> blanks;
    c->SetToBegin();
    while (c->GetNextRecord(rec.data()) == 0) {
        char text[32] = {};
        bool blank = false;
        c->GetField(1, rec.data(), text, blank);
        got.emplace_back(text);
        blanks.push_back(blank);
    }
    // The engine collates without regard to accents but with case: "\xE9" "clair"
    // and "eclair" are one value, "Apple" and "apple" two.
    ASSERT_EQ(got.size(), 9u);
    EXPECT_TRUE(blanks.back());
    for (std::size_t i = 1; i + 1 < got.size(); ++i)
        EXPECT_GT(CompareStringsByLocale(0x0409, 0, got[i - 1].c_str(), false, 0, got[i].c_str()), 0)
            << got[i - 1] << " / " << got[i];
}

// Slots may hold leftover bytes after a text's terminator and under a blank value;
// the keys must not see them.
TEST_F(SortFixture, BytesAfterATerminatorOrUnderABlankNeverSplitAGroup) {
    db.session.RecordBufferCount = 20;
    TableBuilder b;
    b.Field("W", fldZSTRING, 8);
    b.Field("N", fldINT32);
    db.Create("Dirty", b.Def);
    c = db.Open("Dirty");
    for (int i = 0; i < 200; ++i) {
        RecordImage image(*c);
        image.Text(1, i % 2 ? "ab" : "AB");
        if (i % 3) image.Int(2, 5);
        c->AppendRecord(image.data(), false);
    }
    TFieldDesc w, n;
    c->GetTableFieldDesc(1, w);
    c->GetTableFieldDesc(2, n);
    for (uint32_t recordNo = 1; recordNo <= 200; ++recordNo) {
        TRecord* record = nullptr;
        ASSERT_TRUE(c->GetRecord(recordNo, grLock, record));
        uint8_t* bytes = record->GetBuffer();
        bytes[w.Offset() + 1 + 3 + recordNo % 5] = static_cast<uint8_t>(recordNo);  // after "ab\0"
        if (bytes[n.Offset()] == 0) bytes[n.Offset() + 1 + recordNo % 4] = static_cast<uint8_t>(recordNo | 1);
        record->Modified = 1;
        c->ReleaseRecord(record);
    }
    c->FlushBuffers(true, false, true, false, false);
    TSortRequest q;
    q.Fields = {w, n};
    q.CaseInsensitive = true;
    q.Distinct = true;
    const TSortResult result = c->SortRecords(q);
    EXPECT_GE(result.Runs, 3);
    // "ab" and "AB" are one text without regard to case; N is blank or 5.
    EXPECT_EQ(result.OutputCount, 2u);
}

TEST_F(SortFixture, EdgeCases) {
    Make(8192);
    // An empty table: nothing written, the next record number is 1.
    TSortRequest q = Request(Order{{cI32}, {false}, false});
    q.Distinct = true;
    EXPECT_EQ(c->SortRecords(q).OutputCount, 0u);
    EXPECT_EQ(c->GetTable()->GetLastRecordNumber(), 0u);

    Row r = RandomRow();
    r.null[cI32] = false;
    r.n[cI32] = 7;
    for (int i = 0; i < 3; ++i) Append(r);
    r.n[cI32] = 3;
    Append(r);
    const TSortResult result = c->SortRecords(q);
    EXPECT_EQ(result.OutputCount, 2u);
    std::vector<Row> rows = ReadBack();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].n[cI32], 3);
    EXPECT_EQ(rows[1].n[cI32], 7);
    // A table with an index is left alone, and takes no rows to sort on their way in.
    TableBuilder b;
    b.Field("Id", fldINT32);
    b.Primary({1});
    c.reset();
    db.Create("Indexed", b.Def);
    c = db.Open("Indexed");
    EXPECT_EQ(c->SortRecords(q).InputCount, 0u);
    EXPECT_FALSE(c->CanSortRows());
}

void SortFixture::ExpectSortedOnEntryAsAfterwards(std::vector<Row> model, const Order& o, const Case& k,
                                                  int32_t bufferCount, bool wide) {
    if (c) {
        c.reset();
        db.dir->DeleteTable("Result", false);
    }
    Make(bufferCount, wide);
    std::vector<std::vector<uint8_t>> images;
    for (std::size_t i = 0; i < model.size(); ++i) {
        model[i].autoInc = static_cast<uint32_t>(i + 1);
        images.push_back(Image(model[i]));
    }
    auto request = [&](GroupData& g) { return CaseRequest(*c, Request(o), k, g); };
    struct State {
        TSortResult result;
        std::vector<Row> rows;
        uint32_t count, last, lastAutoInc;
        std::vector<uint32_t> rowIds;
    };
    auto state = [&](const TSortResult& result) {
        return State{result, ReadBack(), c->GetTable()->GetRecordCount(), c->GetTable()->GetLastRecordNumber(),
                     c->GetTable()->GetLastAutoInc(), KeysOf(*c, SYS_DELETED_SLOT)};
    };
    GroupData g;
    for (const std::vector<uint8_t>& image : images) c->AppendRecord(const_cast<uint8_t*>(image.data()), false);
    const State appended = state(c->SortRecords(request(g)));

    c.reset();
    db.dir->DeleteTable("Result", false);
    db.Create("Result", SortTable(wide));
    c = db.Open("Result");
    ASSERT_TRUE(c->CanSortRows());
    std::size_t at = 0;
    const State fed = state(c->SortRows(request(g), [&]() -> const uint8_t* {
        return at < images.size() ? images[at++].data() : nullptr;
    }));
    EXPECT_EQ(fed.result.InputCount, appended.result.InputCount);
    EXPECT_EQ(fed.result.OutputCount, appended.result.OutputCount);
    EXPECT_EQ(fed.result.Runs, appended.result.Runs);
    EXPECT_EQ(fed.count, appended.count);
    EXPECT_EQ(fed.last, appended.last);
    EXPECT_EQ(fed.lastAutoInc, appended.lastAutoInc);
    EXPECT_EQ(fed.rowIds, appended.rowIds);
    ExpectSameRows(appended.rows, fed.rows, k.grouping);
    ExpectSameRows(ModelSort(model, o, k.distinct, k.grouping && !k.distinct, k.filter, k.limit), fed.rows,
                   k.grouping);
    EXPECT_EQ(CountRunFiles(db.tmp.path()), 0);
    // A table with records takes no more rows this way.
    EXPECT_EQ(c->CanSortRows(), fed.count == 0);
}

// Rows sorted on their way into an empty table leave it exactly as appending them and
// then sorting would: the rows in order with their numbers, the groups' callbacks'
// values, the record count, the auto-increment counter and "Sys Deleted"; sorted in
// memory or in several runs, DISTINCT and combinable groups folded as the rows
// come; and a source that fails leaves no record and no run file.
TEST_F(SortFixture, RowsSortedOnTheirWayInLeaveTheTableAsAppendingThenSorting) {
    db.session.SetPrivateDir(db.tmp.path());
    const Case cases[] = {{"plain", false, false, false, -1},  {"distinct", true, false, false, -1},
                          {"groups", false, true, false, -1},  {"having", false, true, true, -1},
                          {"limit", false, false, false, 777}, {"group limit", false, true, true, 3},
                          {"zero limit", false, false, false, 0}, {"folded", false, true, false, -1, true},
                          {"folded having", false, true, true, -1, true}, {"folded limit", false, true, true, 3, true}};
    std::mt19937 pick(7);
    // Runs of 300 records held in memory or written to a run file; one run.
    const std::pair<int32_t, bool> layouts[] = {{300, false}, {300, true}, {8192, false}};
    for (const auto& [bufferCount, wide] : layouts) {
        for (const int rowCount : {0, 1, 2400}) {
            for (const Case& k : cases) {
                SCOPED_TRACE(std::string(k.name) + " rows " + std::to_string(rowCount) + " runs of " +
                             std::to_string(bufferCount) + (wide ? " wide" : ""));
                Order o;
                o.cols = {cS, static_cast<int>(cI16 + pick() % 9)};
                o.desc = {pick() % 2 == 1, pick() % 2 == 1};
                o.ci = pick() % 2 == 1;
                std::vector<Row> model;
                for (int i = 0; i < rowCount; ++i) model.push_back(RandomRow());
                ExpectSortedOnEntryAsAfterwards(model, o, k, bufferCount, wide);
            }
        }
    }

    // More keys in a run than it folds as they come: it goes on as a sorted run.
    std::vector<Row> model;
    for (int i = 0; i < 9000; ++i) {
        model.push_back(RandomRow());
        model.back().null[cI32] = false;
        model.back().n[cI32] = (i * 7919) % 6000;
    }
    for (const Case& k : {cases[1], cases[7], cases[8]}) {
        SCOPED_TRACE(std::string(k.name) + " with many keys");
        ExpectSortedOnEntryAsAfterwards(model, Order{{cI32}, {false}, false}, k, 8192, false);
    }

    // A source that fails half-way: no record, no run file, and the table takes rows
    // again.
    c.reset();
    db.dir->DeleteTable("Result", false);
    Make(300);
    std::vector<uint8_t> image = Image(RandomRow());
    int handed = 0;
    EXPECT_THROW(c->SortRows(Request(Order{{cI32}, {false}, false}),
                             [&]() -> const uint8_t* {
                                 if (++handed == 1000) throw std::runtime_error("source failed");
                                 return image.data();
                             }),
                 std::runtime_error);
    EXPECT_EQ(CountRunFiles(db.tmp.path()), 0);
    EXPECT_EQ(c->GetTable()->GetRecordCount(), 0u);
    EXPECT_TRUE(ReadBack().empty());
    ASSERT_TRUE(c->CanSortRows());
    handed = 0;
    EXPECT_EQ(c->SortRows(Request(Order{{cI32}, {false}, false}),
                          [&]() -> const uint8_t* { return ++handed <= 5 ? image.data() : nullptr; })
                  .OutputCount,
              5u);
    EXPECT_EQ(ReadBack().size(), 5u);
}

}  // namespace
}  // namespace kura::test
