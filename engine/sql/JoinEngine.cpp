// Nested-loop stepping over the levels of a plan, condition tests and progress.
//
// The levels move like an odometer: the deepest level varies fastest. A level
// restarts (its key range set from the outer levels' current values) whenever the
// level above it moves. A left outer level that found no record for the current
// outer row hands out one null row, during which every one of its columns reads
// as NULL.
#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <functional>
#include <numeric>
#include <ranges>

#include "engine/core/DataCursor.h"
#include "engine/core/DataSession.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/Evaluate.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/FieldTypes.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/SourceTable.h"

namespace kura {

bool TQueryPlan::Accepts(const TExpToken* condition, void* record) {
    if (!condition) return true;
    TExpToken* result = EvaluateExpression(condition, record, this, LocaleId, SortId, &TQueryPlan::ColumnValue);
    const bool accepted = result->IsNull == 0 && exv::Integer(*result) != 0;
    ReleaseExpToken(result);
    return accepted;
}

void TQueryPlan::ResetRows() {
    FStarted = false;
    ReleaseHeld();
    for (TPlanTable& t : Tables) {
        t.AtEnd = true;
        t.Matched = false;
        t.NullRowGiven = false;
        t.HashBuilt = false;
        t.HashRecords.clear();
        t.HashEntries.clear();
        t.HashSlots.clear();
        t.HashPosition = t.HashEnd = 0;
        t.ReadByChange = false;
    }
}

bool TQueryPlan::AcceptsWithTarget(const TExpToken* condition, const uint8_t* record) {
    TPlanTable& changed = Tables[static_cast<size_t>(Changing->TargetLevel())];
    const uint8_t* view = changed.View;
    changed.View = record;
    try {
        const bool accepted = Accepts(condition);
        changed.View = view;
        return accepted;
    } catch (...) {
        changed.View = view;
        throw;
    }
}

void TQueryPlan::ReadInPlace(bool on) {
    if (!on) ReleaseHeld();
    for (TPlanTable& t : Tables) {
        if (t.InPlace && !on) t.Cursor->ReleaseScanBlock();
        t.InPlace = on && t.Cursor->ReadsRecordsInPlace();
    }
}

void TQueryPlan::ReleaseHeld() {
    for (TPlanTable& t : Tables) {
        if (!t.View) continue;
        std::copy(t.View, t.View + std::min<size_t>(t.Cursor->GetRecordSize(), t.Buffer.size()), t.Buffer.begin());
        DropView(t);
    }
}

void TQueryPlan::DropView(TPlanTable& t) {
    t.View = nullptr;
    if (t.Held) t.Cursor->ReleaseRecord(t.Held);
}

namespace {

// The record holds the key a keyed level looks for (its column's stored bytes).
bool SameSeekKey(const TPlanTable& t, const uint8_t* record) {
    return std::memcmp(record + t.SeekOffset, t.RangeBuffer.data() + t.SeekOffset, t.SeekSize) == 0;
}

size_t SlotOf(const THashKey& key, size_t mask) { return THashKeyHash{}(key) & mask; }

// Two NULLs are equal under "=": NULL keys are kept under a key of their own,
// whose length byte no value's key has.
constexpr THashKey NullHashKey{0, uint64_t{0xFF} << 56};

}  // namespace

THashKey PackHashKey(const TExpToken& value) {
    if (value.IsNull != 0) return NullHashKey;
    uint8_t bytes[16] = {};
    if (exv::IsText(value)) {
        const std::string text = CanonicalValueKey(value);
        if (text.size() > 15) RaiseSqlError("Internal error: join key too long");
        std::memcpy(bytes, text.data(), text.size());
        bytes[15] = static_cast<uint8_t>(text.size());
    } else {
        char key[9];
        const size_t size = CanonicalScalarKey(value, key);
        std::memcpy(bytes, key, size);
        bytes[15] = static_cast<uint8_t>(size);
    }
    THashKey key;
    std::memcpy(&key.Head, bytes, 8);
    std::memcpy(&key.Tail, bytes + 8, 8);
    return key;
}

void PrepareKeyToken(TExpToken& key, const TExpToken& column) {
    key.Kind = ekColumn;
    key.FieldNumber = column.FieldNumber;
    key.DataType = column.DataType;
    key.DataSubtype = column.DataSubtype;
    key.DataSize = column.DataSize;
    key.Scale = column.Scale;
}

void TQueryPlan::BuildHash(TPlanTable& t) {
    TExpToken key;
    PrepareKeyToken(key, *t.HashColumn);
    t.HashRecords.clear();
    t.HashEntries.clear();
    t.Cursor->SetToBegin();
    for (;;) {
        const TEngineErrorCode code = t.Cursor->GetNextRecord(t.Buffer.data());
        if (code == KURA_EOF) break;
        if (code != 0) t.Cursor->CheckError(code, {});
        RenewReadStretch();
        t.Cursor->GetFieldValue(t.Buffer.data(), &key);
        t.AtEnd = false;
        bool local = true;
        for (const TExpToken* c : t.LocalConditions) local = local && Accepts(c);
        if (!local) continue;
        const auto offset = static_cast<uint32_t>(t.HashRecords.size());
        t.HashRecords.insert(t.HashRecords.end(), t.Buffer.begin(), t.Buffer.end());
        t.HashEntries.emplace_back(PackHashKey(key), offset);
    }
    std::sort(t.HashEntries.begin(), t.HashEntries.end());
    size_t slots = 16;
    while (slots < t.HashEntries.size() * 2) slots *= 2;
    t.HashSlots.assign(slots, 0);
    for (size_t i = 0; i < t.HashEntries.size(); ++i) {
        if (i > 0 && t.HashEntries[i].first == t.HashEntries[i - 1].first) continue;
        size_t slot = SlotOf(t.HashEntries[i].first, slots - 1);
        while (t.HashSlots[slot] != 0) slot = (slot + 1) & (slots - 1);
        t.HashSlots[slot] = static_cast<uint32_t>(i + 1);
    }
    t.HashBuilt = true;
    t.AtEnd = true;
}

bool TQueryPlan::FirstAt(size_t level) {
    TPlanTable& t = Tables[level];
    DropView(t);
    t.Matched = false;
    t.NullRowGiven = false;
    t.Empty = false;
    // Inside a group on its null row: this level is part of that null row.
    if (t.Enclosing >= 0) {
        const TPlanTable& head = Tables[static_cast<size_t>(t.Enclosing)];
        if (head.AtEnd && head.NullRowGiven) {
            t.AtEnd = true;
            t.Empty = true;
            t.NullRowGiven = true;
            return true;
        }
    }
    if (Changing) {
        Changing->Restart(level);
        if (t.ReadByChange) return NextAt(level);
    }
    if (t.HashColumn) {
        if (!t.HashBuilt) BuildHash(t);
        TExpToken* value = EvaluateExpression(t.HashValue, nullptr, this, LocaleId, SortId, &TQueryPlan::ColumnValue);
        t.HashPosition = t.HashEnd = 0;
        THashKey wanted;
        try {
            wanted = PackHashKey(*value);
        } catch (...) {
            ReleaseExpToken(value);
            throw;
        }
        ReleaseExpToken(value);
        const size_t mask = t.HashSlots.size() - 1;
        for (size_t slot = SlotOf(wanted, mask); t.HashSlots[slot] != 0; slot = (slot + 1) & mask) {
            const size_t first = t.HashSlots[slot] - 1u;
            if (!(t.HashEntries[first].first == wanted)) continue;
            size_t last = first;
            while (last < t.HashEntries.size() && t.HashEntries[last].first == wanted) ++last;
            t.HashPosition = first;
            t.HashEnd = last;
            break;
        }
        return NextAt(level);
    }
    if (t.RangeValue) {
        LoadRangeValue(t);
        // Finding the key (or setting the range and positioning) and reading
        // its first records make one read of the table.
        TDataCursor& cursor = *t.Cursor;
        return ReadInOneBracket(cursor, [&] {
            if (t.Seek) {
                t.SeekPending = cursor.FindKey(0, t.RangeBuffer.data(), 1, 1, 0, t.Buffer.data()) != 0;
                t.Empty = !t.SeekPending;
                t.SeekAheadHeld = t.SeekEnd = false;
                if (t.SeekPending) {
                    // Stepping on reads ahead only the records of this key; the
                    // next one is read now, so that a key of one record needs
                    // no second visit to the table.
                    cursor.BoundReadAhead(t.RangeBuffer.data(), 1);
                    t.SeekAhead.resize(t.Buffer.size());
                    const TEngineErrorCode code = cursor.GetNextRecord(t.SeekAhead.data());
                    if (code != 0 && code != KURA_EOF) cursor.CheckError(code, {});
                    t.SeekEnd = code == KURA_EOF || !SameSeekKey(t, t.SeekAhead.data());
                    t.SeekAheadHeld = !t.SeekEnd;
                }
            } else {
                cursor.SetRange(0, t.RangeBuffer.data(), 1, t.RangeBuffer.data(), 1);
                t.RangeActive = true;
                cursor.SetToBegin();
            }
            return NextAt(level);
        });
    }
    t.Cursor->SetToBegin();
    return NextAt(level);
}

void TQueryPlan::LoadRangeValue(TPlanTable& t) {
    TExpToken* value = EvaluateExpression(t.RangeValue, nullptr, this, LocaleId, SortId, &TQueryPlan::ColumnValue);
    try {
        std::fill(t.RangeBuffer.begin(), t.RangeBuffer.end(), 0);
        // A NULL value leaves the field blank: the key of the records whose field
        // is NULL, which "=" matches.
        if (value->IsNull == 0) t.Cursor->PutField(t.RangeField, t.RangeBuffer.data(), value->Value.data());
    } catch (...) {
        ReleaseExpToken(value);
        throw;
    }
    ReleaseExpToken(value);
}

bool TQueryPlan::NextAt(size_t level) {
    TPlanTable& t = Tables[level];
    while (!t.Empty) {
        if (t.ReadByChange) {
            if (!Changing->Next(level)) break;
        } else if (t.HashColumn) {
            if (t.HashPosition >= t.HashEnd) break;
            const uint32_t offset = t.HashEntries[t.HashPosition++].second;
            std::memcpy(t.Buffer.data(), t.HashRecords.data() + offset, t.Buffer.size());
        } else if (t.SeekPending) {
            t.SeekPending = false;
        } else if (t.Seek && t.SeekEnd) {
            break;
        } else if (t.Seek && t.SeekAheadHeld) {
            std::memcpy(t.Buffer.data(), t.SeekAhead.data(), t.Buffer.size());
            t.SeekAheadHeld = false;
        } else if (t.InPlace && !t.Seek) {
            DropView(t);
            const TEngineErrorCode code = t.Cursor->GetNextRecordView(t.View, t.Held);
            if (code == KURA_EOF) break;
            if (code != 0) t.Cursor->CheckError(code, {});
            // Standing on no record reads as GetNextRecord's zeroed buffer.
            if (!t.View) std::fill(t.Buffer.begin(), t.Buffer.end(), 0);
            RenewReadStretch();
        } else {
            const TEngineErrorCode code = t.Cursor->GetNextRecord(t.Buffer.data());
            if (code == KURA_EOF) break;
            if (code != 0) t.Cursor->CheckError(code, {});
            RenewReadStretch();
            // Past the records of the key sought.
            if (t.Seek && !SameSeekKey(t, t.Buffer.data())) break;
        }
        t.AtEnd = false;
        bool accepted = true;
        const uint8_t* kept = Changing ? Changing->TargetAtRestart(level) : nullptr;
        for (const TExpToken* c : t.Conditions) {
            if (t.Filtered) break;
            if (c == t.HashCondition && t.HashColumn) continue;
            const bool atRestart = kept && std::find(t.AtRestart.begin(), t.AtRestart.end(), c) != t.AtRestart.end();
            if (!(atRestart ? AcceptsWithTarget(c, kept) : Accepts(c))) {
                accepted = false;
                break;
            }
        }
        if (accepted) return true;
    }
    DropView(t);
    t.AtEnd = true;
    // No complete row of the level's group for the current outer row: its null row.
    if (t.JoinKind == jkLeftOuter && !t.Matched && !t.NullRowGiven) {
        t.NullRowGiven = true;
        return true;
    }
    return false;
}

bool TQueryPlan::CompleteGroups(size_t level) {
    // Innermost first: a group that holds its own conditions has its row, whatever
    // the groups around it make of that row, and so hands out no null row; the
    // null row would otherwise be tested against conditions its group never saw
    // (a NULL key of it equals a NULL key outside).
    for (size_t head : Tables[level].Completes) {
        TPlanTable& h = Tables[head];
        if (!h.AtEnd || !h.NullRowGiven) {
            for (const TExpToken* c : h.GroupConditions)
                if (!Accepts(c)) return false;
        }
        h.Matched = true;
    }
    return true;
}

bool TQueryPlan::NextRow() {
    const size_t n = Tables.size();
    if (n == 0) {
        const bool first = !FStarted;
        FStarted = true;
        return first;
    }
    size_t level = 0;
    bool ok = false;
    if (!FStarted) {
        FStarted = true;
        ok = FirstAt(0);
    } else {
        level = n - 1;
        ok = NextAt(level);
    }
    for (;;) {
        if (ok && !CompleteGroups(level)) {
            ok = NextAt(level);
            continue;
        }
        if (ok) {
            if (level == n - 1) return true;
            ++level;
            ok = FirstAt(level);
        } else {
            if (level == 0) return false;
            --level;
            ok = NextAt(level);
        }
    }
}

bool TQueryPlan::CountThroughFilters(uint32_t& count) {
    if (Tables.size() != 1 || !Residual.empty()) return false;
    TPlanTable& t = Tables[0];
    // An equality an index answers alone: the count of its key range, no record
    // read.
    if (t.RangeValue && t.RangeExact) {
        LoadRangeValue(t);
        t.Cursor->SetRange(0, t.RangeBuffer.data(), 1, t.RangeBuffer.data(), 1);
        t.RangeActive = true;
        count = t.Cursor->GetRecordCount();
        return true;
    }
    TDataCursor& cursor = *t.Cursor;
    // The cursor's own filters are dropped first: only the conditions must fit.
    if (t.Conditions.size() > CURSOR_FILTER_LIMIT) return false;
    cursor.DropFilter(nullptr);
    cursor.SwitchToIndex(255);
    try {
        AddConditionFilters(cursor, t.Conditions);
        count = cursor.GetRecordCount();
    } catch (...) {
        cursor.DropFilter(nullptr);
        throw;
    }
    cursor.DropFilter(nullptr);
    cursor.SwitchToIndex(t.RangeIndex);
    return true;
}

bool FiltersFit(const TDataCursor& cursor, size_t conditions) {
    return conditions <= CURSOR_FILTER_LIMIT - std::min(CURSOR_FILTER_LIMIT, cursor.GetFilters().size());
}

void AddConditionFilters(TDataCursor& cursor, const std::vector<TExpToken*>& conditions) {
    // One filter of them all: comparisons that bound one key range together scan
    // that range once, and the others test only the records left.
    TExpressionPtr tree;
    for (const TExpToken* c : conditions) {
        TExpressionPtr copy(CopyExpression(c));
        TExpToken* root = tree.get();
        AppendAndCondition(root, copy.get());
        copy.release();
        tree.release();
        tree.reset(root);
    }
    if (!tree) return;
    TCursorFilterOptions options;
    options.StatisticsAllowed = true;
    cursor.ActivateFilter(cursor.AddFilter(tree.release(), true, options));
}

void TQueryPlan::ApplyLevelFilters() {
    if (Tables.empty()) return;
    TPlanTable& t = Tables[0];
    if (t.Conditions.empty() || t.RangeValue || t.HashColumn || t.Filtered) return;
    TDataCursor& cursor = *t.Cursor;
    // More conditions than the cursor takes filters: the level tests them record
    // by record instead, as it does for every joined level.
    if (!FiltersFit(cursor, t.Conditions.size())) return;
    try {
        AddConditionFilters(cursor, t.Conditions);
    } catch (...) {
        cursor.DropFilter(nullptr);
        throw;
    }
    t.Filtered = true;
}

void TQueryPlan::DropLevelFilters() {
    if (Tables.empty() || !Tables[0].Filtered) return;
    Tables[0].Filtered = false;
    Tables[0].Cursor->DropFilter(nullptr);
}

TDataCursor* TQueryPlan::ExecuteLive() {
    TDataCursor& cursor = *Tables[0].Cursor;
    cursor.DropFilter(nullptr);
    cursor.SwitchToIndex(Query.OrderIndex);
    if (Query.Where) {
        TCursorFilterOptions options;
        options.StatisticsAllowed = true;
        cursor.ActivateFilter(cursor.AddFilter(CopyExpression(Query.Where), true, options));
    }
    cursor.SetToBegin();
    return &cursor;
}

// --- Progress over the driving level

void TQueryPlan::ResetProgress() {
    FProgressTotal = Tables.empty() ? 0 : Tables[0].Cursor->GetRecordCount();
    FProgressCount = 0;
    FLastRecordNo = 0;
    FLastPercent = 0;
    FAborted = false;
}

// Called for every record a level reads, also those its conditions refuse, so that
// a selective scan gives other programs' writers their turn as often as any other.
// The clock is read once every so many records only.
void TQueryPlan::RenewReadStretch() {
    if (!FStretchHeld || ++FStretchRows < 64) return;
    FStretchRows = 0;
    if (std::chrono::steady_clock::now() - FStretchStart >= std::chrono::milliseconds(ReadStretchMs)) {
        EndReadStretch();
        BeginReadStretch();
    }
}

bool TQueryPlan::StepProgress() {
    if (FAborted) return false;
    RenewReadStretch();
    if (!Context.Progress || Tables.empty()) return true;
    const uint32_t recordNo = Tables[0].AtEnd ? 0 : Tables[0].Cursor->GetCurrentRecordNumber();
    if (recordNo != FLastRecordNo) {
        FLastRecordNo = recordNo;
        ++FProgressCount;
    }
    // An empty driving table reports nothing until the end: no division by zero.
    if (FProgressTotal == 0) return true;
    const auto percent = static_cast<int32_t>(
        std::min<uint64_t>(100, static_cast<uint64_t>(FProgressCount) * 100u / FProgressTotal));
    const int32_t interval = Context.Session ? Context.Session->GetProgressInterval() : 100;
    if (percent >= FLastPercent + interval) {
        bool abort = false;
        const bool stretch = FStretchHeld;
        EndReadStretch();
        ReleaseHeld();
        Context.Progress(static_cast<uint16_t>(percent), abort);
        if (stretch) BeginReadStretch();
        FLastPercent = percent;
        FAborted = abort;
    }
    return !FAborted;
}

void TQueryPlan::BeginReadStretch() {
    if (FStretchHeld) return;
    size_t entered = 0;
    try {
        for (; entered < Tables.size(); ++entered) Tables[entered].Cursor->EnterReadBracket();
    } catch (...) {
        for (size_t i = 0; i < entered; ++i) {
            try {
                Tables[i].Cursor->EndRead();
            } catch (...) {
                // The first error is the one to report.
            }
        }
        throw;
    }
    FStretchHeld = true;
    FStretchRows = 0;
    FStretchStart = std::chrono::steady_clock::now();
}

void TQueryPlan::EndReadStretch() {
    if (!FStretchHeld) return;
    FStretchHeld = false;
    std::exception_ptr failed;
    for (TPlanTable& t : Tables) {
        try {
            t.Cursor->EndRead();
        } catch (...) {
            if (!failed) failed = std::current_exception();
        }
    }
    if (failed) std::rethrow_exception(failed);
}

void TQueryPlan::EndProgress() {
    if (!Context.Progress || FLastPercent == 100) return;
    bool abort = false;
    Context.Progress(100, abort);
    FLastPercent = 100;
}

}  // namespace kura
