// Running a planned SELECT: one result row per joined row (or one row in all for
// an aggregate-only query), then grouping, DISTINCT, ORDER BY and TOP with the
// record sort, UNION members appended, and the IN (SELECT ...) test.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "engine/core/DataCursor.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/Evaluate.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/Locale.h"
#include "engine/files/RecordSort.h"
#include "engine/files/Routines.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/QueryStatement.h"

namespace kura {

namespace {

// A value token shaped like the field, to read a field of a result record.
void ShapeToken(TExpToken& token, const TFieldDesc& d) {
    token.Kind = ekColumn;
    token.FieldNumber = d.FieldNo();
    token.DataType = d.FieldType();
    token.DataSubtype = d.SubType();
    token.DataSize = d.FieldType() == fldBCD ? 34 : d.StoredSize();
    token.Scale = d.FieldType() == fldBCD ? d.StoredDecimals() : 0;
}

}  // namespace

// --- Writing values into result records

namespace {

void PutValue(TDataCursor& cursor, const TFieldDesc& d, uint8_t* record, const TExpToken& value) {
    const uint16_t n = d.FieldNo();
    if (value.IsNull != 0 || value.DataType == fldUNKNOWN) {
        cursor.PutField(n, record, nullptr);
        return;
    }
    if (d.FieldType() == fldBLOB) {
        // The whole value goes into a BLOB opened on the record; the append that
        // follows stores it. A text or memo value leaves its terminator out.
        int32_t length = std::max<int32_t>(value.DataSize, 0);
        if (exv::IsText(value)) length = static_cast<int32_t>(exv::TextLength(value));
        length = std::min<int32_t>(length, static_cast<int32_t>(value.Value.size()));
        if (length == 0) {
            cursor.PutField(n, record, nullptr);
            return;
        }
        uint32_t size = 0;
        cursor.CheckBlobError(cursor.OpenBlob(n, record, 2, false, true, size), d.Name());
        cursor.CheckBlobError(cursor.PutBlob(n, record, 0, value.Value.data(), static_cast<uint32_t>(length), false),
                              d.Name());
        return;
    }
    if (d.FieldType() == fldZSTRING) {
        std::string text;
        if (value.DataType == fldZSTRING || exv::IsText(value)) {
            text = std::string(exv::TextView(value));
        } else {
            TExpToken converted;
            converted.DataType = fldZSTRING;
            converted.DataSize = 256;
            AssignConvertedValue(converted, value);
            if (converted.IsNull != 0) {
                cursor.PutField(n, record, nullptr);
                return;
            }
            text = std::string(exv::TextView(converted));
        }
        const size_t room = d.StoredSize() > 0 ? d.StoredSize() - 1u : 0u;
        // A text cut to the column never ends in half a character.
        if (text.size() > room) text.resize(CharPrefixDBCS(text, SIZE_MAX, room));
        cursor.PutField(n, record, text.c_str());
        return;
    }
    if (value.DataType == d.FieldType() && (d.FieldType() != fldBCD || value.Scale == d.StoredDecimals())) {
        cursor.PutField(n, record, value.Value.data());
        return;
    }
    TExpToken converted;
    ShapeToken(converted, d);
    AssignConvertedValue(converted, value);
    cursor.PutField(n, record, converted.IsNull != 0 ? nullptr : converted.Value.data());
}

void PutInt32(TDataCursor& cursor, uint16_t n, uint8_t* record, int32_t v) {
    uint8_t bytes[8] = {};
    std::memcpy(bytes, &v, 4);
    cursor.PutField(n, record, bytes);
}

void PutInt64(TDataCursor& cursor, uint16_t n, uint8_t* record, int64_t v) {
    uint8_t bytes[8] = {};
    std::memcpy(bytes, &v, 8);
    cursor.PutField(n, record, bytes);
}

struct TFieldReader {
    explicit TFieldReader(TDataCursor& cursor)
        : Cursor(cursor), Own(std::make_unique<TExpToken>()), Token(*Own) {}
    TFieldReader(TDataCursor& cursor, TExpToken& token) : Cursor(cursor), Token(token) {}
    TExpToken& Read(const TFieldDesc& d, const uint8_t* record) {
        ShapeToken(Token, d);
        Token.IsNull = 0;
        Cursor.GetFieldValue(record, &Token);
        return Token;
    }
    TDataCursor& Cursor;
    std::unique_ptr<TExpToken> Own;
    TExpToken& Token;
};

}  // namespace

namespace {

// A result row of many plain columns (a whole employee record) would otherwise
// cost one small copy per column.
void BuildCopyRuns(TQueryPlan& plan) {
    plan.CopyRuns.clear();
    for (const TPlanColumn& c : plan.Columns) {
        if (!c.DirectCopy || c.CountStar) continue;
        const uint32_t length = c.Desc.StoredSize() + 1u;
        TCopyRun* last = plan.CopyRuns.empty() ? nullptr : &plan.CopyRuns.back();
        if (last && last->Level == c.SourceLevel && last->Source + last->Length == c.SourceOffset &&
            last->Target + last->Length == c.Desc.Offset()) {
            last->Length += length;
            continue;
        }
        plan.CopyRuns.push_back({c.SourceLevel, c.SourceOffset, c.Desc.Offset(), length});
    }
    // Every row starts as this one: COUNT(*) 1, every other column NULL.
    plan.RowTemplate.assign(plan.Result->GetRecordSize(), 0);
    for (const TPlanColumn& c : plan.Columns)
        if (c.CountStar) PutInt32(*plan.Result, c.ResultNo, plan.RowTemplate.data(), 1);
}

void CopyResultRow(TQueryPlan& plan, uint8_t* record) {
    TDataCursor& result = *plan.Result;
    std::copy(plan.RowTemplate.begin(), plan.RowTemplate.end(), record);
    for (const TCopyRun& run : plan.CopyRuns) {
        // A level without a current record leaves its columns NULL (zeroed).
        const TPlanTable& t = plan.Tables[static_cast<size_t>(run.Level)];
        if (!t.AtEnd) std::memcpy(record + run.Target, t.Record() + run.Source, run.Length);
    }
    for (TPlanColumn& c : plan.Columns) {
        if (c.CountStar || c.DirectCopy) continue;
        TExpToken* value = EvaluateExpression(c.Value, nullptr, &plan, plan.LocaleId, plan.SortId,
                                              &TQueryPlan::ColumnValue);
        try {
            const bool present = value->IsNull == 0 && value->DataType != fldUNKNOWN;
            if (c.Aggregate == akCount) {
                PutInt32(result, c.ResultNo, record, present ? 1 : 0);
            } else if (c.Aggregate == akAvg) {
                PutInt32(result, c.CountNo, record, present ? 1 : 0);
                if (present && c.SumNo) PutInt64(result, c.SumNo, record, exv::Integer(*value));
                if (present && !c.SumNo) PutValue(result, c.Desc, record, *value);
            } else {
                PutValue(result, c.Desc, record, *value);
            }
        } catch (...) {
            ReleaseExpToken(value);
            throw;
        }
        ReleaseExpToken(value);
    }
}

int32_t CompareValues(const TQueryPlan& plan, const TExpToken& a, const TExpToken& b) {
    if (a.DataType == fldZSTRING)
        return CompareStringsByLocale(plan.LocaleId, plan.SortId, exv::Text(a), false, 0, exv::Text(b));
    if (a.DataType == fldFLOAT || a.DataType == fldTIMESTAMP || a.DataType == fldBCD) {
        const long double x = exv::Float(a), y = exv::Float(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    const int64_t x = exv::Integer(a), y = exv::Integer(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

// target + source in the column's type; integer sums wrap as unsigned arithmetic.
void AddInto(TExpToken& target, const TExpToken& source) {
    switch (target.DataType) {
        case fldINT16: exv::Store<int16_t>(target, static_cast<int16_t>(exv::Add32(exv::Integer(target), exv::Integer(source)))); break;
        case fldUINT16: exv::Store<uint16_t>(target, static_cast<uint16_t>(exv::Add32(exv::Integer(target), exv::Integer(source)))); break;
        case fldINT64: exv::Store<int64_t>(target, exv::Add64(exv::Integer(target), exv::Integer(source))); break;
        case fldFLOAT:
        case fldTIMESTAMP: exv::Store<double>(target, exv::Load<double>(target) + exv::Load<double>(source)); break;
        case fldBCD: exv::PutCurrency(target, exv::Currency(target) + exv::Currency(source), target.Scale); break;
        default: exv::Store<int32_t>(target, exv::Add32(exv::Integer(target), exv::Integer(source))); break;
    }
}

}  // namespace

namespace {

// The INTEGER at `at` of both records, present in both, added into the target's
// (wrapping as 32-bit integers do).
void AddStoredInt32(uint16_t at, const uint8_t* source, uint8_t* target) {
    int32_t a = 0, b = 0;
    std::memcpy(&a, source + at + 1, 4);
    std::memcpy(&b, target + at + 1, 4);
    b = exv::Add32(b, a);
    std::memcpy(target + at + 1, &b, 4);
}

// SUM and RUNSUM of DOUBLE and INTEGER columns added in place in the stored
// records (presence byte, then the value as stored), as AddInto and PutValue
// would; false for any other column.
bool AddStored(const TFieldDesc& d, const uint8_t* source, uint8_t* target) {
    const uint8_t type = d.FieldType();
    if ((type != fldFLOAT || d.StoredSize() != 8) && (type != fldINT32 || d.StoredSize() != 4)) return false;
    const uint16_t at = d.Offset();
    if (source[at] == 0) return true;
    if (target[at] == 0) {
        std::memcpy(target + at, source + at, d.StoredSize() + 1u);
        return true;
    }
    if (type == fldFLOAT) {
        double a = 0, b = 0;
        std::memcpy(&a, source + at + 1, 8);
        std::memcpy(&b, target + at + 1, 8);
        b += a;
        std::memcpy(target + at + 1, &b, 8);
    } else {
        AddStoredInt32(at, source, target);
    }
    return true;
}

// COUNT of a member added to its group's in the stored records, as MergeRows
// would; false when the column is not the INTEGER count or the group's count is
// missing (then MergeRows reads both values).
bool AddStoredCount(const TFieldDesc& d, const uint8_t* source, uint8_t* target) {
    if (d.FieldType() != fldINT32 || d.StoredSize() != 4) return false;
    const uint16_t at = d.Offset();
    if (source[at] == 0) return true;
    if (target[at] == 0) return false;
    AddStoredInt32(at, source, target);
    return true;
}

}  // namespace

void TQueryPlan::MergeRows(bool first, uint8_t* source, uint8_t* target) {
    TDataCursor& result = *Result;
    TFieldReader sourceReader(result, ScratchA), targetReader(result, ScratchB);
    for (const TPlanColumn& c : Columns) {
        if (c.Aggregate == akNone) continue;
        // A group's first record carries the running sum of the group before it.
        if (first && (c.Aggregate != akRunSum || source == target)) continue;
        if ((c.Aggregate == akSum || c.Aggregate == akRunSum) && AddStored(c.Desc, source, target)) continue;
        if (c.Aggregate == akCount && AddStoredCount(c.Desc, source, target)) continue;
        TExpToken& s = sourceReader.Read(c.Desc, source);
        TExpToken& t = targetReader.Read(c.Desc, target);
        switch (c.Aggregate) {
            case akCount:
                if (s.IsNull == 0) PutInt32(result, c.ResultNo, target, exv::Add32(exv::Integer(t), exv::Integer(s)));
                break;
            case akSum:
            case akRunSum:
                if (s.IsNull != 0) break;
                if (t.IsNull == 0) AddInto(t, s);
                PutValue(result, c.Desc, target, t.IsNull == 0 ? t : s);
                break;
            case akMin:
            case akMax: {
                if (s.IsNull != 0) break;
                const int32_t order = t.IsNull != 0 ? 0 : CompareValues(*this, s, t);
                if (t.IsNull != 0 || (c.Aggregate == akMin ? order < 0 : order > 0))
                    PutValue(result, c.Desc, target, s);
                break;
            }
            case akAvg: {
                TFieldDesc countDesc, sumDesc;
                result.GetFieldDesc(c.CountNo, countDesc);
                const int32_t count = exv::Add32(exv::Integer(sourceReader.Read(countDesc, source)),
                                                 exv::Integer(targetReader.Read(countDesc, target)));
                PutInt32(result, c.CountNo, target, count);
                if (c.SumNo) {
                    result.GetFieldDesc(c.SumNo, sumDesc);
                    const int64_t sum = exv::Add64(exv::Integer(sourceReader.Read(sumDesc, source)),
                                                   exv::Integer(targetReader.Read(sumDesc, target)));
                    PutInt64(result, c.SumNo, target, sum);
                } else {
                    TExpToken& ss = sourceReader.Read(c.Desc, source);
                    TExpToken& tt = targetReader.Read(c.Desc, target);
                    if (ss.IsNull != 0) break;
                    if (tt.IsNull == 0) AddInto(tt, ss);
                    PutValue(result, c.Desc, target, tt.IsNull == 0 ? tt : ss);
                }
                break;
            }
            default: break;
        }
    }
}

void TQueryPlan::FinishAverages(uint8_t* record) {
    TDataCursor& result = *Result;
    TFieldReader reader(result);
    for (const TPlanColumn& c : Columns) {
        if (c.Aggregate != akAvg) continue;
        TFieldDesc countDesc;
        result.GetFieldDesc(c.CountNo, countDesc);
        const int64_t count = exv::Integer(reader.Read(countDesc, record));
        TExpToken value;
        ShapeToken(value, c.Desc);
        exv::ZeroValue(value, 64);
        const uint8_t type = c.Desc.FieldType();
        if (c.SumNo) {
            TFieldDesc sumDesc;
            result.GetFieldDesc(c.SumNo, sumDesc);
            const int64_t sum = exv::Integer(reader.Read(sumDesc, record));
            if (type == fldFLOAT)
                exv::Store<double>(value, count ? static_cast<double>(sum) / static_cast<double>(count) : 0.0);
            else if (type == fldINT64)
                exv::Store<int64_t>(value, count ? sum / count : 0);
            else
                exv::Store<int32_t>(value, static_cast<int32_t>(count ? sum / count : 0));
        } else {
            TExpToken& sum = reader.Read(c.Desc, record);
            if (type == fldBCD) {
                const TCurrency total = sum.IsNull ? 0 : exv::Currency(sum);
                TCurrency mean = 0;
                if (count) {
                    const long double exact = static_cast<long double>(total) / static_cast<long double>(count);
                    mean = static_cast<TCurrency>(exact < 0 ? exact - 0.5L : exact + 0.5L);
                }
                exv::PutCurrency(value, mean, c.Desc.StoredDecimals());
            } else {
                const double total = sum.IsNull ? 0.0 : static_cast<double>(exv::Float(sum));
                exv::Store<double>(value, count ? total / static_cast<double>(count) : 0.0);
                if (type != fldFLOAT && type != fldTIMESTAMP) {
                    TExpToken asDouble;
                    asDouble.DataType = fldFLOAT;
                    asDouble.DataSize = 8;
                    exv::Store<double>(asDouble, count ? total / static_cast<double>(count) : 0.0);
                    value.Clear();
                    ShapeToken(value, c.Desc);
                    AssignConvertedValue(value, asDouble);
                }
            }
        }
        value.IsNull = 0;
        PutValue(result, c.Desc, record, value);
    }
}

namespace {

TSortRequest SortRequest(TQueryPlan& plan, const std::vector<std::pair<uint16_t, bool>>& keys, bool distinct,
                         bool grouping, bool caseInsensitive, int32_t limit) {
    TSortRequest request;
    for (const auto& [field, descending] : keys) {
        TFieldDesc d = plan.ResultDefs[field - 1u];
        d.Bytes[fdo::Descending] = descending ? 1 : 0;
        request.Fields.push_back(d);
    }
    request.Distinct = distinct;
    request.CaseInsensitive = caseInsensitive;
    request.MaxRecords = limit;
    request.CallbackData = &plan;
    if (grouping) {
        request.Grouping = true;
        // MergeRows adds counts and sums and compares minima and maxima, which
        // holds for partial groups as well.
        request.Combinable = true;
        // A running sum takes the group before it into a group's first row, before
        // that group's members: only without one may members fold in first.
        request.FoldOnEntry = std::none_of(plan.Columns.begin(), plan.Columns.end(),
                                           [](const TPlanColumn& c) { return c.Aggregate == akRunSum; });
        request.Accumulate = [](void* data, bool first, uint8_t* a, uint8_t* group) {
            static_cast<TQueryPlan*>(data)->MergeRows(first, a, group);
        };
        request.HasFinish = plan.Query.HasAvg != 0;
        request.Finish = [](void* data, void*, uint8_t* group, uint8_t*) {
            static_cast<TQueryPlan*>(data)->FinishAverages(group);
        };
        request.HasFilter = plan.Query.Having != nullptr;
        request.Filter = [](void* data, void*, uint8_t* record, uint8_t*) {
            auto* p = static_cast<TQueryPlan*>(data);
            return p->Accepts(p->Query.Having, record);
        };
    }
    return request;
}

void SortTable(TQueryPlan& plan, TDataCursor& table, const std::vector<std::pair<uint16_t, bool>>& keys,
               bool distinct, bool grouping, bool caseInsensitive, int32_t limit) {
    table.SortRecords(SortRequest(plan, keys, distinct, grouping, caseInsensitive, limit));
}

void SortResult(TQueryPlan& plan, const std::vector<std::pair<uint16_t, bool>>& keys, bool distinct, bool grouping,
                bool caseInsensitive, int32_t limit) {
    SortTable(plan, *plan.Result, keys, distinct, grouping, caseInsensitive, limit);
}

// Every result column as a key, ascending: the DISTINCT of a UNION.
std::vector<std::pair<uint16_t, bool>> AllColumns(const TQueryPlan& plan) {
    std::vector<std::pair<uint16_t, bool>> keys;
    for (const TPlanColumn& c : plan.Columns) keys.emplace_back(c.ResultNo, false);
    return keys;
}

int32_t TopLimit(const TDataQuery& q, bool orderDone) {
    int32_t limit = -1;
    if (q.Top >= 0 && orderDone) limit = q.Top;
    if (q.RowLimit >= 0 && (limit < 0 || q.RowLimit < limit)) limit = q.RowLimit;
    return limit;
}

// The read stretch of a row loop that writes only to the result table, which also
// reads its sources' records in place; a loop left by an error gives both up as
// well.
class TReadStretch {
public:
    explicit TReadStretch(TQueryPlan& plan) : FPlan(plan) {
        FPlan.BeginReadStretch();
        FPlan.ReadInPlace(true);
    }
    ~TReadStretch() {
        try {
            End();
        } catch (...) {
            // The loop's own error is the one to report.
        }
    }
    TReadStretch(const TReadStretch&) = delete;
    TReadStretch& operator=(const TReadStretch&) = delete;
    void End() {
        FPlan.ReadInPlace(false);
        FPlan.EndReadStretch();
    }

private:
    TQueryPlan& FPlan;
};

// The sort that follows the row loop of an execution (DISTINCT, GROUP BY, else
// ORDER BY when the result table is finished right after), as a request; false
// when none follows.
bool FirstSort(TQueryPlan& plan, TSortRequest& request) {
    TDataQuery& q = plan.Query;
    const bool inUnion = q.HasUnion || q.IsUnionMember;
    if (q.Distinct) {
        request = SortRequest(plan, AllColumns(plan), true, false, false,
                              inUnion ? -1 : TopLimit(q, plan.OrderFields.empty() || plan.OrderServedByGroup));
        return true;
    }
    if (q.HasGroupBy) {
        std::vector<std::pair<uint16_t, bool>> keys;
        for (uint16_t g : plan.GroupFields) keys.emplace_back(g, false);
        request = SortRequest(plan, keys, false, true, false,
                              inUnion ? -1 : TopLimit(q, plan.OrderFields.empty() || plan.OrderServedByGroup));
        return true;
    }
    if (!inUnion && !plan.OrderFields.empty() && !plan.OrderServedByGroup) {
        request = SortRequest(plan, plan.OrderFields, false, false, q.OrderByNoCase != 0, TopLimit(q, true));
        return true;
    }
    return false;
}

void ExecuteRows(TQueryPlan& plan, std::vector<uint8_t>& work) {
    TDataQuery& q = plan.Query;
    // A member's TOP limits its own rows; the TOP of a UNION's first query limits
    // the whole result once every member is in.
    const bool unionMaster = q.HasUnion && !q.IsUnionMember;
    const bool unordered = q.OrderBy.empty() && !q.HasGroupBy && !q.Distinct && !unionMaster;
    int32_t appended = 0;
    // The next accepted row, built in `work`; false after the last one.
    auto nextRow = [&] {
        while (plan.NextRow()) {
            if (!plan.StepProgress()) return false;
            bool accepted = true;
            for (const TExpToken* c : plan.Residual) accepted = accepted && plan.Accepts(c);
            if (!accepted) continue;
            if (q.RowLimit >= 0 && appended >= q.RowLimit && unordered) return false;
            if (q.Top >= 0 && unordered && appended >= q.Top) return false;
            CopyResultRow(plan, work.data());
            ++appended;
            return true;
        }
        return false;
    };
    TSortRequest request;
    const bool sorted = FirstSort(plan, request);
    TReadStretch stretch(plan);
    if (sorted && plan.Result->CanSortRows()) {
        // The rows are sorted on their way in: none is written before its place
        // is known.
        plan.Result->SortRows(request, [&]() -> const uint8_t* {
            if (nextRow()) return work.data();
            // The sources are read to their end before the sort writes its output.
            stretch.End();
            return nullptr;
        });
        plan.OrderedOnEntry = !q.Distinct && !q.HasGroupBy;
        return;
    }
    // The rows are filed under their row identifiers once they are all in (or by
    // the sort that re-files the rows it keeps), not one by one.
    plan.Result->DeferRowIds();
    while (nextRow()) plan.Result->AppendRecord(work.data(), false);
    stretch.End();
    if (sorted && (q.Distinct || q.HasGroupBy)) plan.Result->SortRecords(request);
}

void ExecuteAggregate(TQueryPlan& plan, std::vector<uint8_t>& work) {
    TDataCursor& result = *plan.Result;
    std::vector<uint8_t> total(work.size(), 0);
    uint32_t count = 0;
    if (plan.Query.CountStarOnly && plan.CountThroughFilters(count)) {
        PutInt32(result, plan.Columns[0].ResultNo, total.data(), static_cast<int32_t>(count));
    } else {
        bool first = true;
        TReadStretch stretch(plan);
        while (plan.NextRow()) {
            if (!plan.StepProgress()) break;
            bool accepted = true;
            for (const TExpToken* c : plan.Residual) accepted = accepted && plan.Accepts(c);
            if (!accepted) continue;
            CopyResultRow(plan, work.data());
            if (first) {
                total = work;
                first = false;
            } else {
                plan.MergeRows(false, work.data(), total.data());
            }
        }
        stretch.End();
        // No accepted row: every column NULL, but COUNT counts nothing as 0.
        for (const TPlanColumn& c : plan.Columns)
            if (first && c.Aggregate == akCount) PutInt32(result, c.ResultNo, total.data(), 0);
        if (!first && plan.Query.HasAvg) plan.FinishAverages(total.data());
    }
    result.AppendRecord(total.data(), false);
}

}  // namespace

TDataCursor* ExecuteSelectQuery(TDataQuery& q) {
    if (!q.Plan) RaiseSqlError("Internal error: the query has not been prepared");
    TQueryPlan& plan = *q.Plan;
    const auto started = std::chrono::steady_clock::now();
    plan.InSetLoaded = false;
    plan.InSet.clear();
    if (plan.LiveResult) {
        plan.Tables[0].Cursor->Refresh();
        TDataCursor* live = plan.ExecuteLive();
        q.RowsAffected = live->GetRecordCount();
        q.Executed = 1;
        q.ExecutionTime = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return live;
    }
    std::vector<TDataCursor*> locked;
    try {
        for (TPlanTable& t : plan.Tables) {
            t.Cursor->Refresh();
            if (q.WithLocks) {
                t.Cursor->BeginTableRead();
                locked.push_back(t.Cursor.get());
            }
        }
        // A result table that never held a row (the first execution) is empty
        // as it is.
        TDataTable* resultTable = plan.Result->GetTable();
        const bool fresh = resultTable && !plan.Result->IsRemote() && plan.Result->GetRecordCount() == 0 &&
                           resultTable->GetDataFile().GetNextRecordNumber() == 1 && resultTable->GetLastAutoInc() == 0;
        if (!fresh) plan.Result->EmptyTable();
        if (plan.Tables.size() > 1) plan.ChooseDrivingTable();
        plan.ResetRows();
        if (!q.CountStarOnly) plan.ApplyLevelFilters();
        plan.ResetProgress();
        std::vector<uint8_t> work(plan.Result->GetRecordSize() + 16u, 0);
        BuildCopyRuns(plan);
        plan.OrderedOnEntry = false;
        if (q.AggregateOnly)
            ExecuteAggregate(plan, work);
        else
            ExecuteRows(plan, work);
        if (!q.HasUnion && !q.IsUnionMember) FinishResultTable(q);
        plan.Result->CompleteRowIds();
        plan.EndProgress();
    } catch (...) {
        try {
            plan.Result->CompleteRowIds();
        } catch (...) {
            // The statement's own error is the one to report.
        }
        plan.DropLevelFilters();
        for (TDataCursor* c : locked) c->EndTableRead();
        throw;
    }
    plan.DropLevelFilters();
    for (TDataCursor* c : locked) c->EndTableRead();
    TDataCursor* result = plan.ResultCursor();
    result->Refresh();
    result->SetToBegin();
    q.RowsAffected = result->GetRecordCount();
    q.Executed = 1;
    q.ExecutionTime = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return result;
}

namespace {

// Appends every record of the cursor to the table, each field of `fields` into
// the column of `columns` at the same place, converted to it.
void CopyRows(TDataCursor& from, const std::vector<TFieldDesc>& fields, TDataCursor& table,
              const std::vector<TFieldDesc>& columns) {
    std::vector<uint8_t> record(from.GetCursorRecordSize() + 16u, 0);
    std::vector<uint8_t> row(table.GetRecordSize() + 16u, 0);
    TFieldReader reader(from);
    from.SetToBegin();
    while (from.GetNextRecord(record.data()) == 0) {
        std::fill(row.begin(), row.end(), 0);
        for (size_t i = 0; i < columns.size(); ++i)
            PutValue(table, columns[i], row.data(), reader.Read(fields[i], record.data()));
        table.AppendRecord(row.data(), false);
    }
}

std::vector<TFieldDesc> ColumnDefs(const TQueryPlan& plan) {
    std::vector<TFieldDesc> defs;
    for (const TPlanColumn& c : plan.Columns) defs.push_back(c.Desc);
    return defs;
}

// The rows of the source plan's result cursor appended to the table, whose
// columns are the target plan's.
void AppendRows(TQueryPlan& target, TDataCursor& table, TQueryPlan& source, TDataCursor& from) {
    std::vector<TFieldDesc> fields(source.Columns.size());
    for (size_t i = 0; i < fields.size(); ++i) from.GetFieldDesc(source.ResultFieldNo(i), fields[i]);
    CopyRows(from, fields, table, ColumnDefs(target));
}

// The finished rows of a query whose AVG helpers must not be stored, into its
// INTO table.
void CopyIntoTable(TQueryPlan& plan) {
    TDataCursor& into = *plan.Into;
    into.EmptyTable();
    std::vector<TFieldDesc> visible(plan.Columns.size());
    for (size_t i = 0; i < visible.size(); ++i) into.GetFieldDesc(static_cast<uint16_t>(i + 1), visible[i]);
    CopyRows(*plan.Result, ColumnDefs(plan), into, visible);
    into.Refresh();
    into.SetToBegin();
}

}  // namespace

void FinishResultTable(TDataQuery& q) {
    TQueryPlan& plan = *q.Plan;
    if (plan.OrderedOnEntry) {
        // Sorted as the rows came in.
    } else if (!plan.OrderFields.empty() && !plan.OrderServedByGroup) {
        SortResult(plan, plan.OrderFields, false, false, q.OrderByNoCase != 0, TopLimit(q, true));
    } else if ((q.HasUnion || q.IsUnionMember) && (q.Top >= 0 || q.RowLimit >= 0)) {
        // A UNION result is limited once every member is in.
        std::vector<std::pair<uint16_t, bool>> none;
        if (plan.Result->GetRecordCount() > static_cast<uint32_t>(TopLimit(q, true))) {
            plan.Result->SetToBegin();
            std::vector<uint8_t> record(plan.Result->GetRecordSize() + 16u, 0);
            uint32_t kept = 0;
            while (plan.Result->GetNextRecord(record.data()) == 0) {
                if (kept++ >= static_cast<uint32_t>(TopLimit(q, true))) plan.Result->DeleteRecord(record.data(), false);
            }
        }
    }
    plan.Result->Refresh();
    plan.Result->SetToBegin();
    if (plan.Into) CopyIntoTable(plan);
    q.RowsAffected = plan.ResultCursor()->GetRecordCount();
}

void AppendUnionResult(TDataQuery& q) {
    TQueryPlan& plan = *q.Plan;
    std::vector<TDataQuery*> members;
    for (TDataQuery* member = q.NextUnion; member; member = member->NextUnion) {
        TQueryPlan& mp = *member->Plan;
        if (mp.Columns.size() != plan.Columns.size())
            RaiseSqlError(std::string("The number of columns  in the ") + (member->UnionAll ? "UNION ALL" : "UNION") +
                          " query must match the  number of columns in the master query");
        members.push_back(member);
    }
    // A chain reads from its end: each query's rows come with the result of the
    // queries after it, and that whole result loses its duplicates when the next
    // member was joined by UNION alone. So the rows up to the query before the
    // first such member stay as they are, and every row from there on is
    // distinct among those.
    size_t plain = 0;
    while (plain < members.size() && members[plain]->UnionAll != 0) ++plain;
    if (plain == members.size() || plain == 0) {
        for (TDataQuery* member : members) AppendRows(plan, *plan.Result, *member->Plan, *member->Plan->ResultCursor());
        if (plain == 0) SortResult(plan, AllColumns(plan), true, false, false, -1);
    } else {
        // The distinct part is worked out apart, then follows the rows kept whole.
        TDataDirectory* database = nullptr;
        std::unique_ptr<TDataCursor> scratch = CreateScratchResult(plan, database);
        auto dropScratch = [&] {
            scratch->CloseCursor(true);
            scratch.reset();
            if (database != plan.Context.Database) plan.Context.Session->CloseDataDirectory(database);
        };
        try {
            for (size_t i = plain - 1; i < members.size(); ++i)
                AppendRows(plan, *scratch, *members[i]->Plan, *members[i]->Plan->ResultCursor());
            SortTable(plan, *scratch, AllColumns(plan), true, false, false, -1);
            for (size_t i = 0; i + 1 < plain; ++i)
                AppendRows(plan, *plan.Result, *members[i]->Plan, *members[i]->Plan->ResultCursor());
            scratch->Refresh();
            AppendRows(plan, *plan.Result, plan, *scratch);
        } catch (...) {
            dropScratch();
            throw;
        }
        dropScratch();
    }
    plan.Result->Refresh();
    plan.Result->SetToBegin();
}

// --- IN (SELECT ...)

// Two NULLs are equal under "=" (as in an IN list), so a NULL is found exactly
// when the sub-query's result holds one.
bool SubSelectContains(TDataQuery* query, const TExpToken& value) {
    if (!query || !query->Plan || !query->Plan->ResultCursor() || query->Plan->Columns.empty()) return false;
    TQueryPlan& plan = *query->Plan;
    if (!plan.InSetLoaded) {
        plan.InSet.clear();
        plan.InSetHasNull = false;
        TDataCursor& from = *plan.ResultCursor();
        TFieldDesc field;
        from.GetFieldDesc(plan.ResultFieldNo(0), field);
        std::vector<uint8_t> record(from.GetCursorRecordSize() + 16u, 0);
        TFieldReader reader(from);
        from.SetToBegin();
        while (from.GetNextRecord(record.data()) == 0) {
            const TExpToken& v = reader.Read(field, record.data());
            if (v.IsNull == 0)
                plan.InSet.insert(CanonicalValueKey(v));
            else
                plan.InSetHasNull = true;
        }
        from.SetToBegin();
        plan.InSetLoaded = true;
    }
    if (value.IsNull != 0 || value.DataType == fldUNKNOWN) return plan.InSetHasNull;
    TExpToken converted;
    const TFieldDesc& d = plan.Columns[0].Desc;
    const bool numericPair = !exv::IsText(value) && d.FieldType() != fldZSTRING;
    if (numericPair || value.DataType == d.FieldType()) return plan.InSet.count(CanonicalValueKey(value)) != 0;
    ShapeToken(converted, d);
    AssignConvertedValue(converted, value);
    return converted.IsNull == 0 && plan.InSet.count(CanonicalValueKey(converted)) != 0;
}

// Values equal under "=" share a key: numbers, dates and times by their numeric
// value, texts by their bytes.
size_t CanonicalScalarKey(const TExpToken& v, char (&key)[9]) {
    if (v.DataType == fldBOOL) {
        key[0] = 'B';
        key[1] = exv::Integer(v) != 0 ? '1' : '0';
        return 2;
    }
    // Numbers, dates and times: an integral value as its 64-bit integer, any other
    // as its double, so that 5 and 5.0 share a key.
    long double x = 0;
    if (v.DataType == fldFLOAT || v.DataType == fldTIMESTAMP || v.DataType == fldBCD) {
        x = exv::Float(v);
    } else {
        const int64_t n = exv::Integer(v);
        key[0] = 'I';
        std::memcpy(key + 1, &n, 8);
        return 9;
    }
    if (x == static_cast<long double>(static_cast<int64_t>(x < -9.2e18L || x > 9.2e18L ? 0 : x)) &&
        x >= -9.2e18L && x <= 9.2e18L) {
        const auto n = static_cast<int64_t>(x);
        key[0] = 'I';
        std::memcpy(key + 1, &n, 8);
        return 9;
    }
    const auto d = static_cast<double>(x);
    key[0] = 'F';
    std::memcpy(key + 1, &d, 8);
    return 9;
}

std::string CanonicalValueKey(const TExpToken& v) {
    if (exv::IsText(v)) return "S" + std::string(exv::TextView(v));
    char key[9];
    return std::string(key, CanonicalScalarKey(v, key));
}

// --- A whole SELECT statement

TDataCursor* RunSelectStatement(TQueryStatement& statement, const TQueryContext& context) {
    const auto& queries = statement.Queries();
    if (queries.empty()) return nullptr;
    for (size_t i = queries.size(); i-- > 0;) {
        TDataQuery& q = *queries[i];
        if (q.Kind != skSelect) RaiseSqlError("Only SELECT statements are run here");
        PrepareSelectQuery(q, context);
    }
    TDataCursor* result = nullptr;
    for (size_t i = queries.size(); i-- > 0;) {
        TDataQuery& q = *queries[i];
        TDataCursor* cursor = ExecuteSelectQuery(q);
        if (q.HasUnion && !q.IsUnionMember) {
            AppendUnionResult(q);
            FinishResultTable(q);
        }
        if (i == 0) result = cursor;
    }
    return result;
}

}  // namespace kura
