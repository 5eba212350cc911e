#pragma once
// INSERT, UPDATE and DELETE on the query's target table (its first source table).
//
// Planning (PrepareDataChange) opens the target, binds every target column of the
// column list ("*": every column in table order), types the values against their
// columns and the WHERE condition against the table, and refuses what cannot work
// with the messages of the SQL dialect (KURA_SQLPARSE). Execution
// (ExecuteDataChange) then writes the rows:
//   - INSERT ... VALUES appends one record, in no transaction of its own.
//   - INSERT ... SELECT appends one record per row of the source query's result.
//   - UPDATE and DELETE first note every record the WHERE condition accepts, then
//     change or delete exactly those, in record-number order whichever index found
//     them. A change to a key of any index, also the one the table is walked in,
//     can neither bring a record round a second time nor keep the walk going for
//     ever. With further tables, UPDATE steps the join's nested loops in the
//     join tree's order (JoinTree.h: the target first, unless a RIGHT OUTER JOIN
//     turns the loops round, which runs its joined table, then the table that
//     owns the join, then the tables that one was joined to), every table in
//     record order, and applies each joined row as it comes, the target's record
//     stored and read again before the loop goes on: each condition sees the
//     record as the rows before left it, where the loop decides it
//     (TQueryPlan::PlaceConditions). The joined rows of a record that follow one
//     another count once; a record changed again after another counts again.
//     DELETE deletes once each record a joined row accepts; deleting changes
//     nothing a condition reads. Another name of the target's table reads the
//     rows as they were when the statement started.
// Outside a transaction of the caller, the last three run in a transaction of
// their own, committed every commit interval rows and at the end, and rolled back
// when a row fails: the table is then as it was after the last intermediate
// commit (with the default interval, as before the statement). Inside the
// caller's transaction nothing is rolled back: the caller decides.
//
// Values are converted to the column's type; a string longer than a string column
// is cut to the column's size (on a character boundary), never written past it.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/files/FieldDesc.h"
#include "engine/sql/QueryModel.h"

namespace kura {

class TTargetTable;
class TQueryPlan;

struct TDataChangePlan {
    explicit TDataChangePlan(TDataQuery* query);
    ~TDataChangePlan();
    TDataChangePlan(const TDataChangePlan&) = delete;
    TDataChangePlan& operator=(const TDataChangePlan&) = delete;

    struct TColumn {
        uint16_t FieldNo = 0;
        TFieldDesc Desc;
        TExpToken* Value = nullptr;  // the query's value tree (INSERT VALUES, UPDATE)
        std::string ValueText;
    };

    TDataQuery* Query;
    std::unique_ptr<TTargetTable> Target;
    std::vector<TColumn> Columns;
    std::vector<uint8_t> Record;
    // UPDATE and DELETE over several tables: the joined rows, stepped by the
    // planner's join engine on cursors of its own; the target is written through
    // Target.
    std::unique_ptr<TQueryPlan> Join;
    // INSERT ... SELECT: the source query's result, set before execution.
    TDataCursor* SourceCursor = nullptr;
    // INSERT ... SELECT from a plain row source (no grouping, DISTINCT, ORDER BY,
    // TOP, UNION or aggregates, and not reading the target table): its rows are
    // stepped directly instead of being copied into a result table first.
    bool DirectSource = false;
    bool Prepared = false;
};

// Plans the query (kind skInsert, skUpdate or skDelete); its INSERT source, when
// it has one, is planned already.
void PrepareDataChange(TDataQuery& query, TDataChangePlan& plan);
// Runs the planned query; the INSERT source has run already. Sets RowsAffected.
void ExecuteDataChange(TDataQuery& query, TDataChangePlan& plan);

}  // namespace kura
