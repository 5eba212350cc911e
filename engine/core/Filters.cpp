// The filter object: its tree or callback, its Result set and the analysis that
// decides how much of it the indexes answer.
#include "engine/core/Filters.h"

#include "engine/core/DataCursor.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpTree.h"

namespace kura {

TFilter::TFilter(TDataCursor* cursor, TFilterCallback callback, void* callbackData, bool statisticsAllowed,
                 bool estimateCounts, bool combineFirst, bool ownsExpression, TExpToken* expression)
    : Cursor(cursor), OwnsExpression(ownsExpression), Expression(callback ? nullptr : expression),
      CallbackData(callbackData), Callback(callback), IsCallback(callback != nullptr), CombineFirst(combineFirst),
      EstimateCounts(estimateCounts), StatisticsAllowed(statisticsAllowed) {
    // A remote cursor's filter is analysed and evaluated by the server.
    if (!IsCallback && !Cursor->IsRemote()) {
        try {
            Analyse(EstimateCounts, StatisticsAllowed && Cursor->IsQuerySource() && !Cursor->IsQueryResult());
        } catch (...) {
            if (OwnsExpression) FreeExpression(Expression);
            throw;
        }
    }
    if (!Cursor->IsRemote()) Result = AllocRecordsBitmap();
}

TFilter::~TFilter() {
    if (OwnsExpression) FreeExpression(Expression);
    ReleaseRecordsBitmap(Result);
}

void TFilter::Analyse(bool estimate, bool selectivityCheck) {
    Nodes.clear();
    Groups.clear();
    OptimizeLevel = OptimizeFilter(*Cursor, Expression, estimate, selectivityCheck, Nodes, Groups);
    ReorderAndTerms(Expression, Nodes);
}

void TFilter::ReplaceExpression(TExpToken* expression) {
    if (OwnsExpression) FreeExpression(Expression);
    Expression = expression;
    Analyse(false, false);
}

void TFilter::Evaluate(bool& aborted) {
    if (!Result) return;
    if (IsCallback) {
        EvaluateRecords(*this, *Result, nullptr, aborted, opAnd);
        return;
    }
    // The pass may widen the set (a NOT, an OR, a true constant): what came in
    // bounds what goes out.
    for (TRangeGroup& group : Groups) group.Scanned = false;
    TRecordsBitmap* input = AllocRecordsBitmap();
    try {
        input->Assign(*Result);
        BuildOptimizedBitmap(*this, *Result, Expression, aborted, opAnd);
        if (Result->RecordCount() != input->RecordCount()) Result->SetRecordCount(input->RecordCount());
        Result->AndWith(*input);
    } catch (...) {
        ReleaseRecordsBitmap(input);
        throw;
    }
    ReleaseRecordsBitmap(input);
}

bool TFilter::Passes(const uint8_t* recordBuffer, uint32_t recordNo) {
    if (IsCallback) return Callback(CallbackData, Cursor, recordBuffer, recordNo);
    return RecordPasses(*Cursor, Expression, recordBuffer);
}

bool TFilter::UpdateRecord(uint32_t recordNo, const uint8_t* recordBuffer) {
    const bool pass = Passes(recordBuffer, recordNo);
    if (!Result || recordNo == 0 || recordNo > static_cast<uint32_t>(TRecordsBitmap::MAX_RECORD_COUNT)) return pass;
    const int32_t r = static_cast<int32_t>(recordNo);
    if (Result->RecordCount() < r) Result->SetRecordCount(r);
    if (pass)
        Result->SetBit(r);
    else
        Result->ClearBit(r);
    return pass;
}

void TFilter::RemoveRecord(uint32_t recordNo) {
    if (Result && recordNo >= 1 && recordNo <= static_cast<uint32_t>(INT32_MAX))
        Result->ClearBit(static_cast<int32_t>(recordNo));
}

}  // namespace kura
