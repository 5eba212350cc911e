#pragma once
// Our SELECT run the way the benchmarks compare it with SQLite's: planned, its
// result built, and every result row read back.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/QueryStatement.h"

namespace kura::bench {

// The rows read back.
inline int64_t ReadSelectRows(TDataSession& session, TDataDirectory* database, const std::string& sql) {
    TQueryStatement statement;
    statement.ParseFirst(sql);
    TQueryContext context;
    context.Session = &session;
    context.Database = database;
    TDataCursor* result = RunSelectStatement(statement, context);
    std::vector<uint8_t> record(result->GetRecordSize() + 16u);
    int64_t rows = 0;
    result->SetToBegin();
    while (result->GetNextRecord(record.data()) == 0) ++rows;
    return rows;
}

}  // namespace kura::bench
