#pragma once
// The tables a statement names and its explicit JOIN clauses, as the parsers record
// them: the name split into database and table, the correlation name, the table
// number and the in-memory flag. Opening cursors, record buffers, join links and
// row stepping belong to the join engine, which builds on these classes.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/expr/ExpTree.h"

namespace kura {

class TDataQuery;
class TDataDirectory;
class TDataSession;

// The name of the in-memory database.
inline constexpr std::string_view MemoryDatabaseName = "Memory";

// The session's one in-memory database, as the database component opens it: every
// MEMORY table of a statement (source, target, INTO) lives there. One more
// reference; CloseDataDirectory drops it.
TDataDirectory* OpenMemoryDatabase(TDataSession& session);

class TSourceTable {
public:
    explicit TSourceTable(TDataQuery* query) : Query(query) {}
    virtual ~TSourceTable();
    TSourceTable(const TSourceTable&) = delete;
    TSourceTable& operator=(const TSourceTable&) = delete;

    // Splits a table reference: path delimiters normalised; an in-memory table lives
    // in "Memory"; a name without a path lives in the statement's own database
    // (ownDatabase); a name with a path in that directory. A table whose database
    // is "Memory" (the statement's own being the in-memory one) is in memory. The
    // table name is the file part without ".DAT"; the correlation name, while still
    // empty, becomes it.
    void SetTableName(std::string_view name, bool inMemory, std::string_view ownDatabase);
    void SetCorrelationName(std::string_view name);

    TDataQuery* Query;
    uint8_t InMemory = 0;
    uint16_t TableNumber = 0;  // 1-based, in order of appearance
    std::string Database;
    std::string TableName;
    std::string CorrelationName;
    std::string WrittenName;  // the reference as written, MEMORY aside
    // Condition put on every record the table reads (join engine; owned).
    TExpToken* TableCondition = nullptr;
};

// One explicit JOIN clause until planning turns it into a join link.
class TJoinExpression {
public:
    explicit TJoinExpression(TDataQuery* query) : Query(query) {}
    virtual ~TJoinExpression();
    TJoinExpression(const TJoinExpression&) = delete;
    TJoinExpression& operator=(const TJoinExpression&) = delete;

    TDataQuery* Query;
    uint8_t Kind = 0;  // jk* of QueryModel.h
    TSourceTable* Table = nullptr;  // the joined table, in the query's source list
    TExpToken* Condition = nullptr;  // the ON condition (owned)
    std::string ConditionText;
};

}  // namespace kura
