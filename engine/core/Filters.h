#pragma once
// A cursor's filter: an expression over the cursor's fields or a callback the
// caller supplies, and the set of record numbers it lets through.
//
// An expression filter is analysed once when it is made: every node gets an
// optimisation level (0 read records, 1 partly from indexes, 2 wholly from
// indexes) and a cost. Evaluation then answers the indexed parts by key-range
// scans and set operations and reads only the records still in question for the
// rest. Both ways follow one rule for every record, so the optimised set always
// equals the set found by evaluating the expression record by record:
//   - a text column that is NULL compares in <, <=, >, >= and BETWEEN as the
//     empty text (the evaluator reads a NULL text as ""), so a key range on a
//     text column takes in the NULL keys whenever "" satisfies the condition;
//   - an ordered comparison of any other type with a NULL operand is false;
//     = NULL is IS NULL and <> NULL is IS NOT NULL;
//   - UPPER(column) compares the constant as written against the upper-cased
//     keys of a case-insensitive index; LOWER(column) is served only for equality
//     with an all-lower-case constant;
//   - a comparison with the constant written first (5 < k) is served as the one
//     with the column first (k > 5);
//   - comparisons (= < <= > >=, BETWEEN) of one AND chain on the first field of
//     one index bound one range together: it is scanned once for them all, and
//     the first of them the evaluation meets scans it;
//   - conditions the index cannot answer exactly (a constant of another type
//     than the column, a text longer than the field, a locale-collated text
//     column, a per-field descending key) are left to the record pass.
//
// Filter sets are TRecordsBitmap objects of the global pool; a filter's Result
// may hold deleted records, which the cursor's live set removes.
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "engine/files/RecordsBitmap.h"

namespace kura {

class TDataCursor;
class TExpToken;

// A callback filter's test: true keeps the record.
using TFilterCallback = bool (*)(void* data, TDataCursor* cursor, const uint8_t* recordBuffer, uint32_t recordNo);

// What the analysis pass knows of one node. The terms of a range group carry the
// key count and cost of the group's range.
struct TFilterNodeInfo {
    uint8_t Level = 0;
    bool NotSelective = false;
    int32_t KeyCount = -1;
    int32_t Cost = -1;   // -1 unknown
    int32_t Group = -1;  // the node's range group, -1 none
};

// Terms of one AND chain that each bound one range of the same index: the range
// they share answers them all.
struct TRangeGroup {
    std::vector<const TExpToken*> Terms;
    // During an evaluation: the range was scanned into the chain's set, so the
    // group's other terms, met later in the chain, let that set through as it is.
    bool Scanned = false;
};

class TFilter {
public:
    // An expression filter (callback nullptr) is analysed at once; the filter
    // takes its Result set from the pool and starts inactive.
    TFilter(TDataCursor* cursor, TFilterCallback callback, void* callbackData, bool statisticsAllowed,
            bool estimateCounts, bool combineFirst, bool ownsExpression, TExpToken* expression);
    ~TFilter();
    TFilter(const TFilter&) = delete;
    TFilter& operator=(const TFilter&) = delete;

    void Activate() { Active = true; }
    void Deactivate() { Active = false; }
    // Narrows Result, which holds the records in question on entry. aborted: an
    // index page could not be read; Result is then incomplete.
    void Evaluate(bool& aborted);
    // Replaces the tree (freeing the old one when owned) and analyses it again
    // without estimates.
    void ReplaceExpression(TExpToken* expression);
    // After a record was written: its bit follows the record's new values. The
    // answer is whether the record passes.
    bool UpdateRecord(uint32_t recordNo, const uint8_t* recordBuffer);
    void RemoveRecord(uint32_t recordNo);
    // One record through the filter's test.
    bool Passes(const uint8_t* recordBuffer, uint32_t recordNo);

    TDataCursor* Cursor;
    bool OwnsExpression;
    TExpToken* Expression;
    void* CallbackData;
    TFilterCallback Callback;
    TRecordsBitmap* Result = nullptr;
    bool Active = false;
    bool IsCallback;
    uint8_t OptimizeLevel = 0;
    bool CombineFirst;
    bool EstimateCounts;
    bool StatisticsAllowed;
    uint32_t RemoteHandle = 0;
    // Annotations of the analysis pass, by node.
    std::unordered_map<const TExpToken*, TFilterNodeInfo> Nodes;
    std::vector<TRangeGroup> Groups;

private:
    void Analyse(bool estimate, bool selectivityCheck);
};

// The analysis pass: annotates every node below node in info, collects the range
// groups and returns the root's level. The cursor's current index is the same
// afterwards.
uint8_t OptimizeFilter(TDataCursor& cursor, TExpToken* node, bool estimate, bool selectivityCheck,
                       std::unordered_map<const TExpToken*, TFilterNodeInfo>& info, std::vector<TRangeGroup>& groups);
// Puts the cheaper side of every AND first.
void ReorderAndTerms(TExpToken* node, const std::unordered_map<const TExpToken*, TFilterNodeInfo>& info);
// The evaluation pass over set (see above); mode is opAnd for "only the records in
// set", any other operator code for "every record of the table".
void BuildOptimizedBitmap(TFilter& filter, TRecordsBitmap& set, const TExpToken* node, bool& aborted, uint8_t mode);
// The expression is true for the record image.
bool RecordPasses(TDataCursor& cursor, const TExpToken* node, const uint8_t* image);
// Tests records one by one (node or, with node nullptr, the filter's callback).
void EvaluateRecords(TFilter& filter, TRecordsBitmap& set, const TExpToken* node, bool& aborted, uint8_t mode);

}  // namespace kura
