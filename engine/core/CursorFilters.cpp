// The cursor's side of filtering: adding, dropping, activating and changing
// filters, and building each filter's Result inside the visible-record sets.
#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/core/Filters.h"
#include "engine/expr/Evaluate.h"
#include "engine/expr/ExpParser.h"
#include "engine/expr/TypeCheck.h"
#include "engine/files/FieldTypes.h"

namespace kura {

namespace {

constexpr std::string_view FILTER_CONTEXT = "filter expression";
constexpr std::size_t FILTER_LIMIT = 64;
// A set build that keeps meeting an index another program is changing gives up
// after this many passes.
constexpr int32_t FILTER_BUILD_ATTEMPTS = 50;
constexpr int32_t FILTER_BUILD_PAUSE_MS = 5;

}  // namespace

bool TDataCursor::AnyFilterActive() const {
    return std::any_of(FFilters.begin(), FFilters.end(), [](const TFilter* f) { return f->Active; });
}

// ---- Parsing and checking ---------------------------------------------------------------------

TExpToken* TDataCursor::ParseFilterExpression(std::string_view text) {
    TExpressionParser parser(this);
    parser.ErrorCode = KURA_INVALIDFILTER;
    parser.ErrorTableName = FTableName;
    parser.ContextName = std::string(FILTER_CONTEXT);
    parser.SetText(std::string(text));
    parser.NextToken();
    TExpressionPtr tree(parser.ParseExpression(pfExtendedPredicates));
    if (!tree) RaiseError(KURA_INVALIDFILTER, {}, {}, "filter expression is empty");
    if (!parser.TokenKindIs(tkEnd))
        RaiseError(KURA_INVALIDFILTER, {}, {},
                   "Unknown or unexpected symbol '" + parser.GetTokenText() + "' found in filter expression");
    return tree.release();
}

void TDataCursor::CheckFilterExpression(TExpToken* tree) {
    CheckExpressionTypes(KURA_INVALIDFILTER, FTableName, {}, false, true, &TDataCursor::ResolveColumn, this, nullptr,
                         tree, FILTER_CONTEXT);
    if (tree->DataType != fldBOOL)
        RaiseError(KURA_INVALIDFILTER, {}, {}, "filter expression must be a boolean expression");
}

TExpToken* TDataCursor::PrepareFilterText(std::string_view text, const TCursorFilterOptions& options) {
    TExpressionPtr parsed(ParseFilterExpression(text));
    CheckFilterExpression(parsed.get());
    return CopyExpressionForCursor(parsed.get(), this, &TDataCursor::ColumnValue, options.NoPartialCompare,
                                   options.CaseInsensitive, FLocaleID, FSortID);
}

// ---- Adding and finding ------------------------------------------------------------------------

TFilter* TDataCursor::InsertFilter(TFilterCallback callback, void* data, TExpToken* tree, bool owns,
                                   const TCursorFilterOptions& options) {
    auto filter = std::make_unique<TFilter>(this, callback, data, options.StatisticsAllowed, options.EstimateCounts,
                                            options.CombineFirst, owns, tree);
    // Filters that narrow themselves by the others come last.
    auto at = FFilters.end();
    if (!options.CombineFirst)
        at = std::find_if(FFilters.begin(), FFilters.end(), [](const TFilter* f) { return f->CombineFirst; });
    FFilters.insert(at, filter.get());
    return filter.release();
}

void TDataCursor::CheckFilterRoom() const {
    if (!FOpen) RaiseError(KURA_NOTINITIALIZED);
    if (FFilters.size() >= FILTER_LIMIT) RaiseError(KURA_INTERNALLIMIT, {}, {}, "filters per table");
}

TFilter* TDataCursor::AddFilter(std::string_view text, const TCursorFilterOptions& options) {
    CheckFilterRoom();
    TExpToken* tree = PrepareFilterText(text, options);
    return RegisterFilter(InsertFilter(nullptr, nullptr, tree, true, options));
}

TFilter* TDataCursor::AddFilter(TExpToken* tree, bool ownsExpression, const TCursorFilterOptions& options) {
    CheckFilterRoom();
    if (!tree) RaiseError(KURA_INVALIDFILTER, {}, {}, "filter expression is invalid");
    if (tree->DataType != fldBOOL) RaiseError(KURA_INVALIDFILTER, {}, {}, "filter expression must be a boolean expression");
    return RegisterFilter(InsertFilter(nullptr, nullptr, tree, ownsExpression, options));
}

TFilter* TDataCursor::AddFilter(TFilterCallback callback, void* data, const TCursorFilterOptions& options) {
    CheckFilterRoom();
    if (!callback) RaiseError(KURA_INVALIDFILTER, {}, {}, "filter expression is invalid");
    return RegisterFilter(InsertFilter(callback, data, nullptr, false, options));
}

TFilter* TDataCursor::RegisterFilter(TFilter* filter) {
    if (IsRemote()) AddRemoteFilter(filter);
    return filter;
}

std::vector<TFilter*>::iterator TDataCursor::FindFilter(const TFilter* handle) {
    const auto it = std::find(FFilters.begin(), FFilters.end(), handle);
    if (it == FFilters.end()) RaiseError(KURA_NOSUCHFILTER);
    return it;
}

void TDataCursor::FreeAllFilters() {
    for (TFilter* f : FFilters) delete f;
    FFilters.clear();
}

// ---- Drop, activate, deactivate, modify ---------------------------------------------------------

void TDataCursor::ChangeFilters(const TFilter* handle, int action) {
    if (!FOpen) RaiseError(KURA_NOTINITIALIZED);
    if (handle) FindFilter(handle);
    if (IsRemote()) return ChangeRemoteFilters(handle, action);
    CheckForChanges();
    try {
        TFilter* activated = UpdateFilterList(handle, action);
        const bool any = AnyFilterActive();
        FVisibleSetActive = IsNaturalOrder() || any;
        if (!FVisibleSetActive)
            for (TRecordsBitmap* set : FRecordSets)
                if (set) set->SetRecordCount(0);
        ComputeRangeBounds();
        if (FVisibleSetActive) {
            if (handle && activated && FRecordSets[RS_VISIBLE] && FRecordSets[RS_VISIBLE]->RecordCount() > 0)
                BuildFilterSet(activated);
            else
                RebuildAllFilterSets();
            ApplyFilterSets();
        }
        Resync();
    } catch (...) {
        EndRead();
        throw;
    }
    EndRead();
}

TFilter* TDataCursor::UpdateFilterList(const TFilter* handle, int action) {
    TFilter* activated = nullptr;
    if (action == 0) {
        if (handle) {
            const auto it = FindFilter(handle);
            delete *it;
            FFilters.erase(it);
        } else {
            FreeAllFilters();
        }
        return nullptr;
    }
    for (TFilter* f : FFilters) {
        if (handle && f != handle) continue;
        if (action == 1) {
            if (!f->Active) activated = f;
            f->Activate();
        } else {
            f->Deactivate();
        }
    }
    return activated;
}

void TDataCursor::DropFilter(const TFilter* handle) { ChangeFilters(handle, 0); }
void TDataCursor::ActivateFilter(const TFilter* handle) { ChangeFilters(handle, 1); }
void TDataCursor::DeactivateFilter(const TFilter* handle) { ChangeFilters(handle, 2); }

void TDataCursor::ModifyFilter(const TFilter* handle, TExpToken* tree) {
    if (IsRemote()) {
        // The tree was built for this call: refused, it is this call's to free.
        FreeExpression(tree);
        RaiseNoRemote();
    }
    if (!tree || tree->DataType != fldBOOL) {
        TExpToken* refused = tree;
        FreeExpression(refused);
        RaiseError(KURA_INVALIDFILTER, {}, {}, tree ? "filter expression must be a boolean expression"
                                                    : "filter expression is invalid");
    }
    CheckForChanges();
    try {
        TFilter* filter = *FindFilter(handle);
        filter->ReplaceExpression(tree);
        tree = nullptr;
        if (filter->Active) {
            BuildFilterSet(filter);
            ApplyFilterSets();
        }
        Resync();
    } catch (...) {
        FreeExpression(tree);
        EndRead();
        throw;
    }
    EndRead();
}

void TDataCursor::ModifyFilter(const TFilter* handle, std::string_view text, const TCursorFilterOptions& options) {
    if (!FOpen) RaiseError(KURA_NOTINITIALIZED);
    FindFilter(handle);
    ModifyFilter(handle, PrepareFilterText(text, options));
}

const std::vector<TFilter*>& TDataCursor::GetFilters() const { return FFilters; }

// ---- Building the filters' sets ---------------------------------------------------------------

void TDataCursor::EvaluateFilterResult(TFilter* filter, bool& aborted) {
    TRecordsBitmap* result = filter->Result;
    TRecordsBitmap* range = FRecordSets[RS_RANGE];
    TRecordsBitmap* live = FRecordSets[RS_LIVE];
    if (!result || !range || !live) return;
    result->Assign(*live);
    if (FRangeActive && !IsNaturalOrder()) result->AndWith(*range);
    if (filter->CombineFirst && filter->OptimizeLevel != 2) {
        for (TFilter* other : FFilters) {
            if (other == filter) break;
            if (other->Active && other->Result) result->AndWith(*other->Result);
        }
    }
    filter->Evaluate(aborted);
}

void TDataCursor::BuildSetsWithRetry(TFilter* only) {
    if (FSetsBuilding || FSetsSuspended) return;
    TRecordsBitmap* visible = FRecordSets[RS_VISIBLE];
    TRecordsBitmap* range = FRecordSets[RS_RANGE];
    TRecordsBitmap* live = FRecordSets[RS_LIVE];
    if (!visible || !range || !live) return;
    FSetsBuilding = true;
    try {
        for (int32_t attempt = 1;; ++attempt) {
            // A change another program made since the last look is taken in
            // before the indexes are walked.
            if (!FIndexSwappedForScan && TableHasChanged()) CheckBeforeCacheMiss();
            const int32_t last = static_cast<int32_t>(std::min<uint32_t>(GetLastRecordNumber(), INT32_MAX));
            visible->SetRecordCount(last);
            range->SetRecordCount(last);
            live->SetRecordCount(last);
            bool aborted = false;
            if (last > 0) {
                BuildRangeSet(aborted);
                if (!aborted) BuildLiveSet(aborted);
                for (TFilter* f : FFilters) {
                    if (aborted) break;
                    if (!f->Active || (only && f != only)) continue;
                    EvaluateFilterResult(f, aborted);
                }
            } else {
                for (TFilter* f : FFilters)
                    if (f->Result) f->Result->SetRecordCount(0);
            }
            if (FSetBuildAbortProbe && FSetBuildAbortProbe()) aborted = true;
            if (!aborted) break;
            if (attempt >= FILTER_BUILD_ATTEMPTS) RaiseError(KURA_LOCKTIMEOUT);
            std::this_thread::sleep_for(std::chrono::milliseconds(FILTER_BUILD_PAUSE_MS));
        }
    } catch (...) {
        FSetsBuilding = false;
        throw;
    }
    FSetsBuilding = false;
}

void TDataCursor::BuildFilterSet(TFilter* filter) {
    if (!filter || !filter->Active) return;
    const TRecordsBitmap* visible = FRecordSets[RS_VISIBLE];
    if (!visible || visible->RecordCount() == 0) {
        RebuildAllFilterSets();
        return;
    }
    BuildSetsWithRetry(filter);
}

void TDataCursor::RebuildAllFilterSets() { BuildSetsWithRetry(nullptr); }

// Keeps each active filter's Result in step with a written record; the answer is
// whether the record passes them all.
bool TDataCursor::UpdateFiltersOnWrite(uint32_t recordNo, const uint8_t* recordBuffer) {
    bool pass = true;
    for (TFilter* f : FFilters)
        if (f->Active && !f->UpdateRecord(recordNo, recordBuffer)) pass = false;
    return pass;
}

void TDataCursor::UpdateFiltersOnDelete(uint32_t recordNo) {
    for (TFilter* f : FFilters)
        if (f->Active) f->RemoveRecord(recordNo);
}

}  // namespace kura
