#pragma once
// The plan of one SELECT query and the routines that make and run it.
//
// Planning (PrepareSelectQuery) opens a cursor on every source table, binds every
// column of the select list, WHERE, ON and HAVING clauses, names and types the
// result columns, orders the join levels (a RIGHT OUTER JOIN turned round into a
// left outer group) and places each conjunct on the earliest level that can decide
// it (JoinOrder.cpp), checks GROUP BY, ORDER BY and DISTINCT, and either makes
// the single source table's cursor the live result (LivePlanning.cpp) or creates
// the result table: an exclusive table without indexes in the session's private
// directory, in "Memory", or the INTO table.
//
// Execution (ExecuteSelectQuery) lets the smallest filtered table drive the inner
// joins, steps the joined rows with nested loops, writes one result row per
// accepted row (one row in all for an aggregate-only query) and then groups,
// de-duplicates and orders the result table with the record sort. A query may be
// executed again: the result table is emptied first. A live result is only
// filtered by the WHERE clause and set to its ORDER BY index.
//
// The plan belongs to its query (TDataQuery::Plan) and owns the cursors it opened;
// the result cursor stays valid until the query is freed or planned again.
// Errors are engine errors: KURA_SQLPARSE with the message as third context
// string for planning messages, the storage error's own code otherwise.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/expr/ExpTree.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/RecordCache.h"
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
    // Asked when a source table is encrypted and the session has no password for it:
    // true when one was added (the statement's password event).
    std::function<bool()> Password;
};

// The in-memory join key of a value: its CanonicalValueKey (at most 9 bytes for
// the non-text values a memory join is keyed by) packed into two words, so that
// sorting and searching the keys compares words instead of strings.
struct THashKey {
    uint64_t Head = 0;
    uint64_t Tail = 0;  // bytes 8..14, and the length in the top byte
    friend bool operator==(const THashKey&, const THashKey&) = default;
    friend bool operator<(const THashKey& a, const THashKey& b) {
        return a.Head != b.Head ? a.Head < b.Head : a.Tail < b.Tail;
    }
};

// Above this many bytes of records a joined level is read through its index (or
// scanned) for every outer row instead of being held in memory.
constexpr uint64_t MaxHashJoinBytes = 256ull << 20;

struct THashKeyHash {
    size_t operator()(const THashKey& key) const noexcept {
        uint64_t h = key.Head * 0x9E3779B97F4A7C15ull ^ (key.Tail + 0x632BE59BD9B4E019ull) * 0xC2B2AE3D27D4EB4Full;
        h ^= h >> 29;
        return static_cast<size_t>(h);
    }
};

// One nested-loop level: a source table, how it joins to the levels before it and
// the conditions decided on its records.
struct TPlanTable {
    TSourceTable* Source = nullptr;
    TDataDirectory* Database = nullptr;
    std::unique_ptr<TDataCursor> Cursor;
    std::vector<uint8_t> Buffer;
    // While a SELECT reads its rows in place (TQueryPlan::ReadInPlace), a level that
    // steps through its cursor reads the record where the cursor has it (View: the
    // cached record, Held pinned, or the cursor's scan block) instead of a copy in
    // Buffer.
    bool InPlace = false;
    const uint8_t* View = nullptr;
    TRecord* Held = nullptr;
    // The current record.
    const uint8_t* Record() const { return View ? View : Buffer.data(); }
    bool AtEnd = true;      // no current record: every column reads as NULL
    uint8_t JoinKind = 0;   // of this level to the ones before it (jk* of QueryNodes.h)
    // A left outer level heads a group of GroupSize consecutive levels (the table
    // of a LEFT OUTER JOIN alone, or the levels joined before the table of a RIGHT
    // OUTER JOIN, which turned round comes before them): the group either yields
    // complete rows for the current outer row or one null row in all its levels.
    // 0 for other levels.
    size_t GroupSize = 0;
    // Placement (PlaceConditions): the last level of the group this level heads,
    // the head of the innermost group around it (-1 none), the heads of the groups
    // this level is the last of (innermost first).
    size_t GroupEnd = 0;
    int32_t Enclosing = -1;
    std::vector<size_t> Completes;
    // Conjuncts of the group's own join that a nested group lies under: tested
    // once the group is complete (not owned).
    std::vector<TExpToken*> GroupConditions;
    // Conjuncts decided on this level's record (ON conditions and WHERE parts that
    // refer to no later level); not owned: they live in the query's trees.
    std::vector<TExpToken*> Conditions;
    // Those of them that a joined UPDATE decides on its target's record as it was
    // when this level restarted, not as the rows since left it (ChangingRows.h).
    std::vector<const TExpToken*> AtRestart;
    // An equality "column = value of earlier levels or constant" an index serves.
    uint8_t RangeIndex = 255;
    uint16_t RangeField = 0;
    TExpToken* RangeValue = nullptr;  // not owned
    std::vector<uint8_t> RangeBuffer;
    bool RangeActive = false;
    bool Matched = false;   // its group gave a complete row since the outer row moved
    bool NullRowGiven = false;  // left outer join: the null row was handed out
    bool Filtered = false;  // the conditions are filters on the cursor
    bool Empty = false;     // no record can match: the key sought is absent, or a null row
    bool RangeExact = false;  // the range alone decides the level's conditions
    // A joined level keyed by an integer, date or time column: each restart finds
    // the first record of the key (one descent) and steps on while the column's
    // stored bytes (SeekOffset, SeekSize with the presence byte) stay the key's,
    // instead of setting a range. SeekPending: the record found is in Buffer.
    bool Seek = false;
    bool SeekPending = false;
    // The record after the one found, read in the same bracket: SeekAheadHeld when
    // it is of the key too, SeekEnd when there is none of the key.
    std::vector<uint8_t> SeekAhead;
    bool SeekAheadHeld = false;
    bool SeekEnd = false;
    uint16_t SeekOffset = 0;
    uint16_t SeekSize = 0;
    // An equality "column = value of earlier levels" on a column that is not a
    // text: the level's records are read once per execution into memory, keyed by
    // that column, and each restart takes the records of one key.
    TExpToken* HashColumn = nullptr;  // not owned
    TExpToken* HashValue = nullptr;   // not owned
    // The equality the memory key decides by itself (keys of integers, dates and
    // times are equal exactly when the values are): not tested again per record.
    const TExpToken* HashCondition = nullptr;  // not owned
    // Conditions on this level's columns alone: records failing them never enter
    // the memory copy.
    std::vector<TExpToken*> LocalConditions;
    bool HashBuilt = false;
    std::vector<uint8_t> HashRecords;
    // (key, record offset), ordered by key and then by table order.
    std::vector<std::pair<THashKey, uint32_t>> HashEntries;
    // Open addressing over the keys: 1 + the first entry of a key, 0 for a free
    // slot; its size is a power of two at least twice the entries.
    std::vector<uint32_t> HashSlots;
    size_t HashPosition = 0;  // next entry of the current key
    size_t HashEnd = 0;       // past the current key's entries
    // A joined UPDATE reads this level its own way (TQueryPlan::Changing): its
    // restarts and steps are the UPDATE's.
    bool ReadByChange = false;
};

// How a joined UPDATE reads the levels it reads otherwise than a SELECT does (the
// changed table's own level and its other names, and the levels it reads in
// record order; ChangingRows.h).
class TLevelReader {
public:
    virtual ~TLevelReader() = default;
    // The level starts its rows again (before the first record of a restart),
    // and, when it is read here (TPlanTable::ReadByChange), finds them.
    virtual void Restart(size_t level) = 0;
    // The level's next record into its buffer; false past its last.
    virtual bool Next(size_t level) = 0;
    // The changed table's record as it was when the level restarted, where a row
    // changed it since; nullptr while none did.
    virtual const uint8_t* TargetAtRestart(size_t level) const = 0;
    // A column whose value the level's record does not hold (a BLOB of another
    // name of the changed table as it was at the start): true when given here.
    virtual bool ColumnValue(size_t level, TExpToken* node) = 0;
    virtual int32_t TargetLevel() const = 0;
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
    // A plain column whose stored form the result column shares: its presence
    // byte and value are copied as they are from the level's record.
    bool DirectCopy = false;
    int32_t SourceLevel = -1;
    uint16_t SourceOffset = 0;
};

// A stretch of the result row that direct-copy columns fill with one copy from
// one level's record: consecutive columns whose bytes follow each other there and
// in the result row.
struct TCopyRun {
    int32_t Level = -1;
    uint16_t Source = 0;
    uint16_t Target = 0;
    uint32_t Length = 0;
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
    // The direct-copy columns as copy runs, made for each execution (the join
    // order may have moved the levels since planning).
    std::vector<TCopyRun> CopyRuns;
    // The result row every row starts from, made with the copy runs.
    std::vector<uint8_t> RowTemplate;
    std::vector<TExpToken*> Residual;  // decided on the whole joined row (not owned)
    std::vector<uint16_t> GroupFields;  // result field numbers
    std::vector<std::pair<uint16_t, bool>> OrderFields;  // result field number, descending
    bool OrderServedByGroup = false;
    // This execution's rows were ordered on their way into the result table.
    bool OrderedOnEntry = false;
    bool CountStarFast = false;
    // Answered by the single source table's own cursor, filtered by the WHERE
    // clause: no result table.
    bool LiveResult = false;
    // A live result's columns follow the table's own (hidden) fields.
    uint16_t LiveFieldBase = 0;
    // The cursor the result rows are read from, and the field number of result
    // column i (0-based) in it.
    TDataCursor* ResultCursor() const;
    uint16_t ResultFieldNo(size_t column) const;
    uint16_t LocaleId = 0;
    uint16_t SortId = 0;

    // The result table.
    TDataDirectory* ResultDatabase = nullptr;
    std::unique_ptr<TDataCursor> Result;
    std::vector<TFieldDesc> ResultDefs;
    bool ResultIsInto = false;
    // An INTO table of a query with AVG helpers: the rows are worked out in the
    // temporary Result and copied here without the helpers once finished.
    TDataDirectory* IntoDatabase = nullptr;
    std::unique_ptr<TDataCursor> Into;

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
    // Types the JOIN and WHERE conditions, arranges the levels (RIGHT OUTER JOINs
    // turned round) and places the conjuncts on them.
    void PlanJoins();
    // Every conjunct of WHERE and of the ON conditions with the join it came from.
    struct TConjunct {
        TExpToken* Node = nullptr;          // not owned
        const TSourceTable* Join = nullptr;  // the joined table; nullptr for WHERE
        uint8_t Kind = jkLink;               // of that join
    };
    std::vector<TConjunct> Conjuncts;
    // RIGHT OUTER JOIN: the joined (preserved) table and the head of the group the
    // tables before it became.
    std::vector<std::pair<const TSourceTable*, const TSourceTable*>> RightGroups;
    // Level order of the join tree's nested loops, each RIGHT OUTER JOIN turned
    // round (JoinTree.h), with the tables joined before a RIGHT OUTER JOIN's table
    // one left outer group under it.
    void ArrangeLevels();
    // Conditions of each level, group conditions, the residual conjuncts, key
    // ranges and in-memory keys, from the current level order.
    void PlaceConditions();
    // Levels in a new order (Tables[i] becomes the old Tables[order[i]]); every
    // bound column follows its table.
    void Reorder(const std::vector<size_t>& order);
    // Before a joined SELECT runs: the level that reads the fewest records through
    // its index-answered conditions drives the join when it reads fewer than the
    // first level does. Only the levels before the first outer join move.
    void ChooseDrivingTable();
    int32_t LevelOf(const TSourceTable* source) const;
    // Records the driving level reads, once ChooseDrivingTable has counted them;
    // UINT32_MAX while unknown.
    uint32_t OuterRowsEstimate = UINT32_MAX;
    bool OwnsResultDatabase = false;
    // Cursors of the tables LASTAUTOINC() and IDENT_CURRENT() name.
    std::vector<std::pair<TDataDirectory*, std::unique_ptr<TDataCursor>>> FunctionCursors;

    // --- Row stepping (JoinEngine.cpp)
    void ResetRows();
    // A joined UPDATE's rows are stepped while they are applied; its own reading
    // of some levels, for the length of its row loop (nullptr otherwise).
    TLevelReader* Changing = nullptr;
    // A SELECT's row loop, which only reads its sources, reads the records of the
    // levels that step through a local cursor without computed fields in place
    // (on), or copies them again (off, which also gives back the records held and
    // the cursors' scan blocks).
    void ReadInPlace(bool on);
    // The records held copied into the levels' buffers and given back, before
    // anything that may write to a source runs (a progress event).
    void ReleaseHeld();
    // Forgets the level's view, giving back the record it holds.
    void DropView(TPlanTable& t);
    // The next joined row of every level; false at the end.
    bool NextRow();
    // COUNT(*) over one table: its conditions become filters on the cursor, whose
    // optimiser answers them from indexes where it can.
    bool CountThroughFilters(uint32_t& count);
    // The first level's conditions as filters on its cursor, which its optimiser
    // answers from indexes where it can; dropped again by DropLevelFilters.
    void ApplyLevelFilters();
    void DropLevelFilters();
    // The live result: the source cursor with the WHERE clause as its filter.
    TDataCursor* ExecuteLive();

    // Expression binding: columns of source tables read the current record of
    // their level; result columns read the record given as context.
    static void ColumnValue(void* plan, void* record, TExpToken* node);
    // The condition is true (NULL is not).
    bool Accepts(const TExpToken* condition, void* record = nullptr);

    // Grouping of result records (record sort callbacks and aggregate-only rows).
    void MergeRows(bool first, uint8_t* source, uint8_t* target);
    void FinishAverages(uint8_t* record);

    // Progress over the driving table. StepProgress also renews the read stretch.
    void ResetProgress();
    bool StepProgress();  // false: aborted
    void EndProgress();

    // The row loop reads its sources in stretches: one read bracket held on every
    // source cursor across the rows of a stretch, so that the reader locks and the
    // change check come once per stretch instead of once per record-cache miss.
    // A stretch ends after ReadStretchMs, so that a writer of another program
    // waits no longer than that, and before every progress event, whose handler
    // may write to a source. Only a loop that writes to no source holds one.
    void BeginReadStretch();
    void EndReadStretch();
    void RenewReadStretch();
    static constexpr int64_t ReadStretchMs = 10;

    // Work tokens of the grouping callbacks, reused from record to record.
    TExpToken ScratchA;
    TExpToken ScratchB;

    // The level's range value into its range buffer; a NULL value as the key of
    // the records whose field is NULL.
    void LoadRangeValue(TPlanTable& t);

private:
    bool FirstAt(size_t level);
    // The groups that end at level are complete: their group conditions hold.
    bool CompleteGroups(size_t level);
    // Records of the level that its index-answered single-table conditions let through.
    uint32_t FilteredCount(size_t level);
    void BuildHash(TPlanTable& t);
    bool NextAt(size_t level);
    // The condition on the changed table's record as given (as it was when a
    // level restarted).
    bool AcceptsWithTarget(const TExpToken* condition, const uint8_t* record);
    bool FStarted = false;
    uint32_t FProgressTotal = 0;
    uint32_t FProgressCount = 0;
    uint32_t FLastRecordNo = 0;
    int32_t FLastPercent = -1;
    bool FAborted = false;
    bool FStretchHeld = false;
    uint32_t FStretchRows = 0;
    std::chrono::steady_clock::time_point FStretchStart;
};

// The database of a table the statement names: the in-memory one, the statement's
// own (a name without a path, or with the own database's path) or the directory
// of the path; one more reference unless it is the statement's own.
TDataDirectory* OpenDatabaseOf(const TQueryContext& context, const TSourceTable& source);
// A database just opened that turns out to be the statement's own gives back the
// reference it took: callers close only the databases that are not.
TDataDirectory* NotOwnTwice(const TQueryContext& context, TDataDirectory* database);

// A column of a source table, bound to its level (BindSlot1).
bool IsSourceColumn(const TExpToken* node);
// The highest level a tree reads; -1 for none.
int32_t DeepestLevel(const TExpToken* node);
bool HasSubSelect(const TExpToken* node);
// The number of the index whose first key field is fieldNo; 255 for none.
uint8_t IndexOnField(TDataCursor& cursor, uint16_t fieldNo);

// Runs read (which returns whether it found a record) as one read of the cursor's
// table: one bracket, opened by the cursor's change check, so that the index pages
// missed on the way share that check. The bracket is ended however read leaves;
// where read fails, its own error is the one reported.
template <typename TCursor, typename TRead>
bool ReadInOneBracket(TCursor& cursor, TRead&& read) {
    cursor.CheckForChanges();
    bool found = false;
    try {
        found = read();
    } catch (...) {
        try {
            cursor.EndRead();
        } catch (...) {
        }
        throw;
    }
    cursor.EndRead();
    return found;
}

// Whether the cursor has room for that many more filters.
bool FiltersFit(const TDataCursor& cursor, size_t conditions);
// The conditions, copied and joined by AND, as one active filter on the cursor
// (which its optimiser answers from indexes where it can).
void AddConditionFilters(TDataCursor& cursor, const std::vector<TExpToken*>& conditions);

// A SELECT that may be answered live when one is requested: one table, no join,
// INTO, DISTINCT, GROUP BY, HAVING or TOP; a master only when no other query is
// in its statement (a sub-query or UNION member is read by the statement).
bool LiveCandidate(const TDataQuery& query);
// After the select list and ORDER BY are resolved: a candidate whose columns need
// no aggregate and no computed BLOB (a sub-query: no computed column at all), and
// whose ORDER BY (if any) an index of the table gives; sets the query's OrderIndex.
bool CanBeLive(TDataQuery& query, TQueryPlan& plan);
// The first index of the single source table whose leading fields are the ORDER BY
// columns in order with the same directions (and, for texts, the same case
// rule as NOCASE); NATURAL_ORDER when none, or when an ORDER BY column is computed.
uint8_t FindOrderByIndex(TQueryPlan& plan);
// Gives the live result's cursor its fields: the table's, hidden, then the result
// columns.
void DefineLiveResult(TQueryPlan& plan);

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
// ORDER BY and TOP over the finished result table; an INTO table of a query with
// AVG helpers then receives its rows.
void FinishResultTable(TDataQuery& query);
// A temporary table of the plan's result definition in the database of its work
// tables (the caller closes the database after the cursor).
std::unique_ptr<TDataCursor> CreateScratchResult(TQueryPlan& plan, TDataDirectory*& database);

// Plans and runs every query of a parsed statement whose master is a SELECT:
// queries from the last to the first, UNION chains appended and finished. Returns
// the master's result cursor.
TDataCursor* RunSelectStatement(TQueryStatement& statement, const TQueryContext& context);

// The key under which "=" finds a value: numbers, dates and times by their
// numeric value, texts by their bytes.
std::string CanonicalValueKey(const TExpToken& value);
// The same of a value that is not a text, into key; its length.
size_t CanonicalScalarKey(const TExpToken& value, char (&key)[9]);
// A non-text value's CanonicalValueKey packed as an in-memory join key; NULL as a
// key of its own (two NULLs are equal under "=").
THashKey PackHashKey(const TExpToken& value);
// The token a keyed level's column is read into, record after record.
void PrepareKeyToken(TExpToken& key, const TExpToken& column);

// IN (SELECT ...): whether the executed query's result holds the value.
bool SubSelectContains(TDataQuery* query, const TExpToken& value);

// Registers the hooks through which expressions reach sub-selects (IN (SELECT
// ...)) and the tables of LASTAUTOINC() and IDENT_CURRENT(). Idempotent.
void RegisterSqlQueryHooks();

// Raises KURA_SQLPARSE with the message.
[[noreturn]] void RaiseSqlError(const std::string& message);

}  // namespace kura
