#pragma once
// The plan of one SELECT query and the routines that make and run it.
//
// Planning (PrepareSelectQuery) opens a cursor on every source table, binds every
// column of the select list, WHERE, ON and HAVING clauses, names and types the
// result columns, places each WHERE conjunct at the shallowest join level that
// can decide it (or keeps it for the whole joined row when an outer join lies in
// between), finds index ranges for equality conditions, checks GROUP BY, ORDER BY
// and DISTINCT, and creates the result table: an exclusive table without indexes
// in the session's private directory, in "Memory", or the INTO table.
//
// Execution (ExecuteSelectQuery) steps the joined rows with nested loops, writes
// one result row per accepted row (one row in all for an aggregate-only query)
// and then groups, de-duplicates and orders the result table with the record sort.
// A query may be executed again: the result table is emptied first.
//
// The plan belongs to its query (TDataQuery::Plan) and owns the cursors it opened;
// the result cursor stays valid until the query is freed or planned again.
// Errors are engine errors: KURA_SQLPARSE with the message as third context
// string for planning messages, the storage error's own code otherwise.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/expr/ExpTree.h"
#include "engine/files/FieldDesc.h"
#include "engine/sql/QueryModel.h"

namespace kura {

class TDataSession;
class TDataDirectory;
class TDataCursor;
class TSourceTable;
class TQueryStatement;

// What planning needs of the statement that owns the query.
struct TQueryContext {
    TDataSession* Session = nullptr;
    // The statement's own database: tables named without a path live there.
    TDataDirectory* Database = nullptr;
    // Progress in percent; the callee may set abort, which ends the row loop with
    // the rows produced so far.
    std::function<void(uint16_t percent, bool& abort)> Progress;
};

// One nested-loop level: a source table, how it joins to the levels before it and
// the conditions decided on its records.
struct TPlanTable {
    TSourceTable* Source = nullptr;
    TDataDirectory* Database = nullptr;
    std::unique_ptr<TDataCursor> Cursor;
    std::vector<uint8_t> Buffer;
    bool AtEnd = true;      // no current record: every column reads as NULL
    uint8_t JoinKind = 0;   // of this level to the ones before it (jk* of QueryNodes.h)
    // Conjuncts decided on this level's record (ON conditions and WHERE parts that
    // refer to no later level); not owned: they live in the query's trees.
    std::vector<TExpToken*> Conditions;
    // An equality "column = value of earlier levels or constant" an index serves.
    uint8_t RangeIndex = 255;
    uint16_t RangeField = 0;
    TExpToken* RangeValue = nullptr;  // not owned
    std::vector<uint8_t> RangeBuffer;
    bool RangeActive = false;
    bool Matched = false;   // a record of this level passed since the outer row moved
    bool NullRowGiven = false;  // left outer join: the null row was handed out
    bool Empty = false;     // the range value was NULL: no record can match
    bool RangeExact = false;  // the range alone decides the level's conditions
    // An equality "column = value of earlier levels" on a column that is not a
    // text: the level's records are read once per execution into memory, keyed by
    // that column, and each restart takes the records of one key.
    TExpToken* HashColumn = nullptr;  // not owned
    TExpToken* HashValue = nullptr;   // not owned
    // Conditions on this level's columns alone: records failing them never enter
    // the memory copy.
    std::vector<TExpToken*> LocalConditions;
    bool HashBuilt = false;
    std::vector<uint8_t> HashRecords;
    std::unordered_map<std::string, std::vector<uint32_t>> HashIndex;  // key -> record offsets
    const std::vector<uint32_t>* HashMatches = nullptr;
    size_t HashPosition = 0;
};

// One column of the result table.
struct TPlanColumn {
    TResultField* Field = nullptr;
    uint8_t Aggregate = akNone;
    bool CountStar = false;
    TExpToken* Value = nullptr;  // the column, the aggregate's argument or the expression
    uint16_t ResultNo = 0;       // field number in the result table
    uint16_t CountNo = 0;        // AVG: hidden count column
    uint16_t SumNo = 0;          // AVG over dates, times and integers: hidden 64-bit sum
    TFieldDesc Desc;
};

class TQueryPlan {
public:
    explicit TQueryPlan(TDataQuery& query, const TQueryContext& context);
    ~TQueryPlan();
    TQueryPlan(const TQueryPlan&) = delete;
    TQueryPlan& operator=(const TQueryPlan&) = delete;

    TDataQuery& Query;
    TQueryContext Context;
    std::vector<TPlanTable> Tables;
    std::vector<TPlanColumn> Columns;
    std::vector<TExpToken*> Residual;  // decided on the whole joined row (not owned)
    std::vector<uint16_t> GroupFields;  // result field numbers
    std::vector<std::pair<uint16_t, bool>> OrderFields;  // result field number, descending
    bool OrderServedByGroup = false;
    bool CountStarFast = false;
    // Answered by the single source table's own cursor, filtered by the WHERE
    // clause: no result table.
    bool LiveResult = false;
    uint16_t LocaleId = 0;
    uint16_t SortId = 0;

    // The result table.
    TDataDirectory* ResultDatabase = nullptr;
    std::unique_ptr<TDataCursor> Result;
    std::vector<TFieldDesc> ResultDefs;
    bool ResultIsInto = false;

    // IN (SELECT ...): the result values of this query, keyed by their canonical
    // form, filled on first use after each execution.
    bool InSetLoaded = false;
    std::unordered_set<std::string> InSet;
    bool InSetHasNull = false;

    // --- Planning (JoinPlanning.cpp)
    void OpenTables();
    // Index of the table with that correlation name; -1 when none.
    int32_t FindTable(const std::string& correlation) const;
    // Types a clause; result columns instead of source columns for HAVING.
    void TypeCheck(TExpToken* tree, const char* context, bool resultColumns, bool condition = false);
    // Places the JOIN conditions and the WHERE conjuncts on the nested-loop levels.
    void PlanJoins();
    bool OwnsResultDatabase = false;
    // Cursors of the tables LASTAUTOINC() and IDENT_CURRENT() name.
    std::vector<std::pair<TDataDirectory*, std::unique_ptr<TDataCursor>>> FunctionCursors;

    // --- Row stepping (JoinEngine.cpp)
    void ResetRows();
    // The next joined row of every level; false at the end.
    bool NextRow();
    // COUNT(*) over one table: its conditions become filters on the cursor, whose
    // optimiser answers them from indexes where it can.
    bool CountThroughFilters(uint32_t& count);
    // The live result: the source cursor with the WHERE clause as its filter.
    TDataCursor* ExecuteLive();

    // Expression binding: columns of source tables read the current record of
    // their level; result columns read the record given as context.
    static void ColumnValue(void* plan, void* record, TExpToken* node);
    bool Accepts(const TExpToken* condition, void* record = nullptr);

    // Grouping of result records (record sort callbacks and aggregate-only rows).
    void MergeRows(bool first, uint8_t* source, uint8_t* target);
    void FinishAverages(uint8_t* record);

    // Progress over the driving table.
    void ResetProgress();
    bool StepProgress();  // false: aborted
    void EndProgress();

    // Work tokens of the grouping callbacks, reused from record to record.
    TExpToken ScratchA;
    TExpToken ScratchB;

private:
    bool FirstAt(size_t level);
    void BuildHash(TPlanTable& t);
    bool NextAt(size_t level);
    bool FStarted = false;
    uint32_t FProgressTotal = 0;
    uint32_t FProgressCount = 0;
    uint32_t FLastRecordNo = 0;
    int32_t FLastPercent = -1;
    bool FAborted = false;
};

// A SELECT that a live result can answer when one is requested: the whole row of
// one table, an optional WHERE, nothing that needs a copy, and no other query in
// its statement.
bool CanBeLive(const TDataQuery& query);

// Plans a SELECT query (master, UNION member or sub-query). The statement's
// queries are planned from the last to the first, so a sub-query is planned
// before the query that uses it.
void PrepareSelectQuery(TDataQuery& query, const TQueryContext& context);
// Runs a planned SELECT query; returns its result cursor (owned by the plan).
// Without UNION members the result is grouped, de-duplicated and ordered; a query
// that starts a UNION chain leaves ordering to FinishResultTable after
// AppendUnionResult.
TDataCursor* ExecuteSelectQuery(TDataQuery& query);
// Appends the results of the UNION members that follow the query (each already
// executed) and removes duplicates unless every link is UNION ALL.
void AppendUnionResult(TDataQuery& query);
// ORDER BY and TOP over the finished result table.
void FinishResultTable(TDataQuery& query);

// Plans and runs every query of a parsed statement whose master is a SELECT:
// queries from the last to the first, UNION chains appended and finished. Returns
// the master's result cursor.
TDataCursor* RunSelectStatement(TQueryStatement& statement, const TQueryContext& context);

// The key under which "=" finds a value: numbers, dates and times by their
// numeric value, texts by their bytes.
std::string CanonicalValueKey(const TExpToken& value);

// IN (SELECT ...): whether the executed query's result holds the value.
bool SubSelectContains(TDataQuery* query, const TExpToken& value);

// Registers the hooks through which expressions reach sub-selects (IN (SELECT
// ...)) and the tables of LASTAUTOINC() and IDENT_CURRENT(). Idempotent.
void RegisterSqlQueryHooks();

// Raises KURA_SQLPARSE with the message.
[[noreturn]] void RaiseSqlError(const std::string& message);

}  // namespace kura
