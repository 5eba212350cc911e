#pragma once
// A table of every indexable field type for the filter tests, random records and
// random filter texts over it, and the answers a filter must agree on: the records
// the cursor shows, the records its expressions accept one by one, and the records
// its text accepts evaluated as written.
#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/core/Filters.h"
#include "engine/expr/Evaluate.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpTree.h"
#include "engine/expr/ValueAccess.h"
#include "tests/common/EngineTestSupport.h"
#include "tests/engine/core/CursorTableTestSupport.h"

namespace kura::test::filters {

// Field numbers.
enum : uint16_t { F_ID = 1, F_SMALL, F_NUM, F_REAL, F_TEXT, F_DAY, F_FLAG, F_CLOCK, F_BIG, F_CODE, F_FREE };

inline const char* const FIELD_NAMES[] = {"", "Id", "Small", "Num", "Real", "Txt", "Day", "Flag", "Clock", "Big",
                                          "Code", "Free"};

constexpr uint8_t TEXT_SIZE = 6;

// Id primary; Num descending; Txt both case-sensitive and case-insensitive;
// Day first of two fields; Code unique; Free has no index; the others one plain
// index each.
inline TTableDefinition FilterTable() {
    TableBuilder b;
    b.Field("Id", fldINT32);
    b.Field("Small", fldINT16);
    b.Field("Num", fldINT32);
    b.Field("Real", fldFLOAT);
    b.Field("Txt", fldZSTRING, TEXT_SIZE);
    b.Field("Day", fldDATE);
    b.Field("Flag", fldBOOL);
    b.Field("Clock", fldTIME);
    b.Field("Big", fldINT64);
    b.Field("Code", fldZSTRING, 8);
    b.Field("Free", fldZSTRING, TEXT_SIZE);
    b.Primary({F_ID});
    b.Secondary("BySmall", {F_SMALL}, false);
    b.Secondary("ByNum", {F_NUM}, false);
    b.Def.Indexes.back().SetByte(ido::Descending, 1);
    b.Secondary("ByReal", {F_REAL}, false);
    b.Secondary("ByTxt", {F_TEXT}, false);
    b.Secondary("ByTxtCI", {F_TEXT}, false);
    b.Def.Indexes.back().SetByte(ido::CaseInsensitive, 1);
    b.Secondary("ByDay", {F_DAY, F_CLOCK}, false);
    b.Secondary("ByFlag", {F_FLAG}, false);
    b.Secondary("ByClock", {F_CLOCK}, false);
    b.Secondary("ByBig", {F_BIG}, false);
    b.Secondary("ByCode", {F_CODE}, true);
    return b.Def;
}

// Day number of 2020-01-01 (0001-01-01 is day 1).
constexpr int32_t DAY_2020 = 737425;

// Texts of a small alphabet, a double-byte character among them, so that
// values repeat and compare in every way.
inline std::string RandomText(std::mt19937& rng) {
    static const char* const pieces[] = {"a", "b", "A", "B", "_", "\x83\x5C", "z"};
    std::string s;
    const int n = static_cast<int>(rng() % 4);
    for (int i = 0; i < n; ++i) s += pieces[rng() % 7];
    if (s.size() > TEXT_SIZE) s.resize(TEXT_SIZE);
    // Now and then the column's whole width, which a longer text can begin with.
    if (rng() % 8 == 0) s.resize(TEXT_SIZE, 'a');
    return s;
}

class FilterModel {
public:
    explicit FilterModel(uint32_t seed) : rng(seed) {}
    std::mt19937 rng;
    int32_t nextId = 1;

    bool Chance(int percent) { return static_cast<int>(rng() % 100) < percent; }
    int Pick(int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); }

    // A record with random values (about one field in six NULL).
    std::vector<uint8_t> Record(TDataCursor& c) {
        std::vector<uint8_t> rec(c.GetCursorRecordSize(), 0);
        auto put = [&](uint16_t field, const void* value) { c.PutField(field, rec.data(), Chance(16) ? nullptr : value); };
        const int32_t id = nextId++;
        uint8_t v[16] = {};
        std::memcpy(v, &id, 4);
        c.PutField(F_ID, rec.data(), v);
        const int16_t small = static_cast<int16_t>(Pick(11) - 5);
        put(F_SMALL, &small);
        const int32_t num = Pick(21) - 10;
        put(F_NUM, &num);
        const double real = (Pick(17) - 8) / 2.0;
        put(F_REAL, &real);
        char text[TEXT_SIZE + 2] = {};
        std::string t = RandomText(rng);
        std::memcpy(text, t.data(), t.size());
        put(F_TEXT, text);
        const int32_t day = DAY_2020 + Pick(7);
        put(F_DAY, &day);
        const uint16_t flag = static_cast<uint16_t>(Pick(2));
        put(F_FLAG, &flag);
        const int32_t clock = Pick(6) * 3600000;
        put(F_CLOCK, &clock);
        const int64_t big = static_cast<int64_t>(Pick(11)) - 5;
        put(F_BIG, &big);
        char code[12] = {};
        std::snprintf(code, sizeof code, "c%05d", id);
        c.PutField(F_CODE, rec.data(), code);
        char free[TEXT_SIZE + 2] = {};
        t = RandomText(rng);
        std::memcpy(free, t.data(), t.size());
        put(F_FREE, free);
        return rec;
    }

    // One random write through the cursor: an append, or a change or a delete of
    // a record it shows.
    void RandomWrite(TDataCursor& c) {
        std::vector<uint8_t> rec(c.GetCursorRecordSize());
        const int kind = Pick(3);
        if (kind > 0 && c.GetRecordCount() > 0) {
            c.SetToBegin();
            c.MoveBy(1 + Pick(static_cast<int>(c.GetRecordCount())));
            // A plain read first, then the locked one, as the dataset edits.
            if (c.GetCurrentRecord(rec.data(), false) == 0 && (kind == 2 || c.GetCurrentRecord(rec.data(), true) == 0)) {
                if (kind == 2) {
                    c.DeleteRecord(rec.data(), true);
                    return;
                }
                std::vector<uint8_t> fresh = Record(c);
                // Id and Code stay; every other field takes the new value.
                for (uint16_t f = F_SMALL; f <= F_FREE; ++f) {
                    if (f == F_CODE) continue;
                    uint8_t value[64] = {};
                    bool blank = true;
                    c.GetField(f, fresh.data(), value, blank);
                    c.PutField(f, rec.data(), blank ? nullptr : value);
                }
                c.ModifyRecord(rec.data(), true, true);
                return;
            }
        }
        std::vector<uint8_t> fresh = Record(c);
        c.AppendRecord(fresh.data(), true);
    }

    // A constant literal for the field.
    std::string Literal(uint16_t field) {
        char buf[64];
        switch (field) {
            case F_ID: std::snprintf(buf, sizeof buf, "%d", Pick(nextId + 2)); return buf;
            case F_SMALL: std::snprintf(buf, sizeof buf, "%d", Pick(13) - 6); return buf;
            case F_NUM: std::snprintf(buf, sizeof buf, "%d", Pick(23) - 11); return buf;
            case F_REAL: std::snprintf(buf, sizeof buf, "%g", (Pick(19) - 9) / 2.0); return buf;
            case F_DAY: std::snprintf(buf, sizeof buf, "'2020-01-%02d'", 1 + Pick(8)); return buf;
            case F_FLAG: return Chance(50) ? "TRUE" : "FALSE";
            case F_CLOCK: std::snprintf(buf, sizeof buf, "'%02d:00:00'", Pick(7)); return buf;
            case F_BIG: std::snprintf(buf, sizeof buf, "%d", Pick(13) - 6); return buf;
            case F_CODE: std::snprintf(buf, sizeof buf, "'c%05d'", Pick(nextId + 2)); return buf;
            default: return "'" + Text() + "'";
        }
    }

    // A text to compare with: now and then longer than any value of the column
    // (trailing blanks among them), which values can only begin.
    std::string Text() {
        std::string s = RandomText(rng);
        if (!Chance(15)) return s;
        s.resize(TEXT_SIZE, 'a');
        return s + (Chance(50) ? std::string(1 + Pick(2), ' ') : RandomText(rng) + "a");
    }

    std::string Column(uint16_t& field) {
        field = static_cast<uint16_t>(1 + Pick(11));
        return FIELD_NAMES[field];
    }

    std::string Condition() {
        uint16_t f = 0;
        const std::string col = Column(f);
        const bool text = f == F_TEXT || f == F_FREE || f == F_CODE;
        static const char* const ops[] = {"=", "<>", "<", "<=", ">", ">="};
        switch (Pick(text ? 14 : 10)) {
            case 0: case 1: return col + " " + ops[Pick(6)] + " " + Literal(f);
            case 2: return Literal(f) + " " + ops[Pick(6)] + " " + col;
            case 3: return col + (Chance(50) ? " IS NULL" : " IS NOT NULL");
            case 4: return col + (Chance(70) ? " BETWEEN " : " NOT BETWEEN ") + Literal(f) + " AND " + Literal(f);
            case 5: {
                std::string s = col + (Chance(70) ? " IN (" : " NOT IN (");
                const int n = 1 + Pick(3);
                for (int i = 0; i < n; ++i) s += (i ? ", " : "") + (Chance(10) ? std::string("NULL") : Literal(f));
                return s + ")";
            }
            case 6: return col + (Chance(50) ? " = NULL" : " <> NULL");
            case 7: return Chance(50) ? "1 = 1" : "1 = 0";
            case 8: return col + " " + ops[Pick(6)] + " " + col;
            case 9: return col + " " + ops[Pick(2)] + " " + Literal(f);
            case 10: {
                std::string pattern = Text() + (Chance(70) ? "%" : "");
                return col + (Chance(70) ? " LIKE '" : " NOT LIKE '") + pattern + "'";
            }
            case 11: return std::string(Chance(50) ? "UPPER(" : "LOWER(") + col + ") " + ops[Pick(6)] + " " + Literal(f);
            case 12: return col + " " + ops[Pick(2)] + " '" + Text() + "*'";
            default: return "UPPER(" + col + ") IN (" + Literal(f) + ", " + Literal(f) + ")";
        }
    }

    // Two or three comparisons (BETWEEN among them) of one column joined by AND,
    // now and then with a condition between them, that together bound one range:
    // two-sided most often, empty when the bounds cross; a third term may be a <>,
    // and any comparison may be written constant first.
    std::string Range() {
        uint16_t f = 0;
        std::string col = Column(f);
        if ((f == F_TEXT || f == F_FREE || f == F_CODE) && Chance(20)) col = "UPPER(" + col + ")";
        static const char* const ops[] = {">", ">=", "<", "<=", "=", "<>"};
        static const char* const mirrored[] = {"<", "<=", ">", ">=", "=", "<>"};
        // Bounds meet often: a constant is now and then one written before.
        std::vector<std::string> constants;
        auto constant = [&] {
            const int written = static_cast<int>(constants.size());
            return constants.emplace_back(written == 0 || Chance(60) ? Literal(f)
                                                                     : constants[static_cast<std::size_t>(Pick(written))]);
        };
        std::string s;
        for (int i = 0, n = 2 + Pick(2); i < n; ++i) {
            if (i > 0) s += Chance(15) ? " AND (" + Condition() + ") AND " : " AND ";
            if (Chance(15)) {
                const std::string low = constant();
                s += col + " BETWEEN " + low + " AND " + constant();
            } else {
                const int op = i < 2 ? 2 * i + Pick(2) : Pick(6);
                s += Chance(30) ? constant() + " " + mirrored[op] + " " + col : col + " " + ops[op] + " " + constant();
            }
        }
        return s;
    }

    std::string Expression(int depth) {
        if (depth <= 0 || Chance(35)) return Chance(25) ? Range() : Condition();
        switch (Pick(3)) {
            case 0: return "NOT (" + Expression(depth - 1) + ")";
            case 1: return "(" + Expression(depth - 1) + ") AND (" + Expression(depth - 1) + ")";
            default: return "(" + Expression(depth - 1) + ") OR (" + Expression(depth - 1) + ")";
        }
    }
};

// A table whose index on a wide text is several levels deep with a few hundred
// records (a handful of keys per page): Id primary, Name indexed ("ByName").
constexpr uint8_t WIDE_NAME_SIZE = 200;
constexpr int WIDE_NAME_VALUES = 40;

inline TTableDefinition WideTable() {
    TableBuilder b;
    b.Field("Id", fldINT32);
    b.Field("Name", fldZSTRING, WIDE_NAME_SIZE);
    b.Primary({1});
    b.Secondary("ByName", {2}, false);
    return b.Def;
}

// The name of value v: a short lead that orders the values, then letters drawn
// from v, so that keys neither repeat nor shorten by a shared prefix.
inline std::string WideName(int v) {
    char lead[8];
    std::snprintf(lead, sizeof lead, "n%03d", v);
    std::string name = lead;
    std::mt19937 letters(static_cast<uint32_t>(v) + 1000u);
    while (name.size() < WIDE_NAME_SIZE - 10) name += static_cast<char>('a' + letters() % 26);
    return name;
}

// Random appends, renames and deletes on the wide table.
class WideModel {
public:
    explicit WideModel(uint32_t seed) : rng(seed) {}
    std::mt19937 rng;
    int32_t nextId = 1;

    std::vector<uint8_t> Record(TDataCursor& c) {
        std::vector<uint8_t> rec(c.GetCursorRecordSize(), 0);
        uint8_t id[4] = {};
        PutI32(id, nextId++);
        c.PutField(1, rec.data(), id);
        SetName(c, rec);
        return rec;
    }
    void SetName(TDataCursor& c, std::vector<uint8_t>& rec) {
        const std::string name = WideName(static_cast<int>(rng() % WIDE_NAME_VALUES));
        c.PutField(2, rec.data(), name.c_str());
    }
    void RandomWrite(TDataCursor& c) {
        const uint32_t count = c.GetRecordCount();
        const int kind = static_cast<int>(rng() % 3);
        if (kind > 0 && count > 0) {
            std::vector<uint8_t> rec(c.GetCursorRecordSize());
            c.SetToBegin();
            c.MoveBy(1 + static_cast<int32_t>(rng() % count));
            // A plain read first, then the locked one, as the dataset edits.
            if (c.GetCurrentRecord(rec.data(), false) == 0 && c.GetCurrentRecord(rec.data(), true) == 0) {
                if (kind == 2) {
                    c.DeleteRecord(rec.data(), true);
                } else {
                    SetName(c, rec);
                    c.ModifyRecord(rec.data(), true, true);
                }
                return;
            }
        }
        std::vector<uint8_t> rec = Record(c);
        c.AppendRecord(rec.data(), true);
    }
};

// The records the cursor shows, walked from the start.
inline std::set<uint32_t> ShownRecords(TDataCursor& c) {
    std::set<uint32_t> shown;
    std::vector<uint8_t> rec(c.GetCursorRecordSize());
    c.SetToBegin();
    while (c.GetNextRecord(rec.data()) == 0) shown.insert(TDataCursor::GetBufferRecordNo(rec.data()));
    return shown;
}

// The live records whose image passes the test.
template <typename Test>
std::set<uint32_t> LiveRecordsWhere(TDataCursor& c, Test passes) {
    std::set<uint32_t> accepted;
    const uint32_t last = c.GetLastRecordNumber();
    for (uint32_t r = 1; r <= last; ++r) {
        TRecord* record = nullptr;
        while (!c.GetRecord(r, 0, record)) {
        }
        const bool live = !record->IsDeleted();
        std::vector<uint8_t> image(record->GetBuffer(), record->GetBuffer() + c.GetRecordSize());
        c.ReleaseRecord(record);
        if (live && passes(image.data(), r)) accepted.insert(r);
    }
    return accepted;
}

// The live records every active filter's expression (or callback) accepts when
// tested one by one.
inline std::set<uint32_t> AcceptedRecords(TDataCursor& c) {
    return LiveRecordsWhere(c, [&](const uint8_t* image, uint32_t r) {
        return std::ranges::all_of(c.GetFilters(), [&](TFilter* f) { return !f->Active || f->Passes(image, r); });
    });
}

// A filter as its caller wrote it.
struct WrittenFilter { std::string Text; TCursorFilterOptions Options; };

// A filter's options applied to its parsed text on their own, apart from the tree the
// cursor prepares for it, every comparison keeping its operands on the sides they were
// written on: a comparison = or <> with a text constant on either side ignores case
// under the case-insensitive option; one whose text, written second, ends in '*'
// compares a prefix unless partial comparisons are switched off.
inline void ApplyWrittenOptions(TExpToken* node, const TCursorFilterOptions& options) {
    if (!node) return;
    ApplyWrittenOptions(node->Left, options);
    ApplyWrittenOptions(node->Right, options);
    for (int32_t i = 0; i < node->ArgumentCount(); ++i) ApplyWrittenOptions(node->GetArgument(i), options);
    if (node->Kind != ekBinary || (node->Code != opEqual && node->Code != opNotEqual)) return;
    const auto isText = [](const TExpToken* n) {
        return n && n->Kind == ekConstant && n->DataType == fldZSTRING && n->IsNull == 0;
    };
    const bool textSecond = isText(node->Right) && node->Left->Kind != ekConstant;
    const bool textFirst = isText(node->Left) && node->Right->Kind != ekConstant;
    std::string text = textSecond ? std::string(exv::TextView(*node->Right)) : std::string();
    const std::size_t star = text.find('*');
    const bool prefix = star != std::string::npos && star > 0 && text.find_first_not_of('*', star) == std::string::npos;
    if (textSecond && prefix && !options.NoPartialCompare) {
        text.resize(star);
        exv::PutText(*node->Right, text);
        node->PartialLength = static_cast<int32_t>(star);
    } else if (!((textSecond || textFirst) && options.CaseInsensitive)) {
        return;
    }
    node->Kind = ekPartialCompare;
    node->CaseInsensitive = options.CaseInsensitive ? 1 : 0;
}

// The live records every filter's text, evaluated as written, accepts.
inline std::set<uint32_t> WrittenAccepted(TDataCursor& c, const std::vector<WrittenFilter>& filters) {
    std::vector<TExpressionPtr> trees;
    for (const WrittenFilter& filter : filters) {
        trees.emplace_back(c.ParseFilterExpression(filter.Text));
        c.CheckFilterExpression(trees.back().get());
        ApplyWrittenOptions(trees.back().get(), filter.Options);
    }
    return LiveRecordsWhere(c, [&](const uint8_t* image, uint32_t) {
        return std::ranges::all_of(trees, [&](const TExpressionPtr& tree) {
            TExpToken* value = EvaluateExpression(tree.get(), const_cast<uint8_t*>(image), &c, c.GetLocaleID(),
                                                  c.GetSortID(), &TDataCursor::ColumnValue);
            const bool pass = value->IsNull == 0 && exv::Load<int16_t>(*value) != 0;
            ReleaseEvaluationResult(value);
            return pass;
        });
    });
}

}  // namespace kura::test::filters
