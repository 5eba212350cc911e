#pragma once
// The query model: one TDataQuery per parsed SQL statement (and one per UNION
// member, INSERT ... SELECT source and IN (SELECT ...) sub-query), with lists of
// small node objects. The parsers fill it; planning and execution read it and add
// their own results to it. Nothing in the model refers back to the text it came
// from except the expression texts kept for messages.
//
// Ownership: a query owns every node of its lists, its expression trees and its
// text index definition; a node owns its expression trees. Queries themselves are
// owned by their statement's query list, so the links between queries (INSERT
// source, UNION neighbours) are plain references.
//
// Parsing bounds every count that planning or the engine keeps in fixed-size
// arrays (constants below): a statement past one of them is refused with
// KURA_SQLPARSE and a message naming the limit.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/expr/ExpTree.h"
#include "engine/files/Routines.h"
#include "engine/files/StringList.h"
#include "engine/sql/QueryNodes.h"

namespace kura {

class TQueryStatement;
class TExpressionParser;
class TSourceTable;
class TJoinExpression;
class TDataDirectory;
class TDataCursor;
class TQueryPlan;

// --- Statement kinds
constexpr uint8_t skSelect = 1;
constexpr uint8_t skInsert = 2;
constexpr uint8_t skUpdate = 3;
constexpr uint8_t skDelete = 4;
constexpr uint8_t skCreateTable = 5;
constexpr uint8_t skAlterTable = 6;
constexpr uint8_t skDropTable = 7;
constexpr uint8_t skCreateIndex = 8;
constexpr uint8_t skDropIndex = 9;
constexpr uint8_t skStartTransaction = 10;
constexpr uint8_t skRollback = 11;
constexpr uint8_t skCommit = 12;

// "SELECT" ... "COMMIT", "UNKNOWN" for any other kind.
std::string_view StatementName(uint8_t kind);
// The table access (taSelect .. taDrop of the engine session) a statement of this
// kind announces; -1 for the transaction statements, which announce nothing.
int32_t TableAccessOf(uint8_t kind);

// --- Bounds checked while parsing
constexpr int32_t MaxResultColumns = 1024;     // select list
constexpr int32_t MaxOrderByColumns = 1024;
constexpr int32_t MaxGroupByColumns = 1024;
constexpr int32_t MaxTableColumns = 1024;      // column lists, VALUES, SET, CREATE/ALTER TABLE
constexpr int32_t MaxIndexColumns = 16;        // an index key holds at most 16 fields
constexpr int32_t MaxParameters = 1024;        // parameter descriptors a statement binds
constexpr int32_t MaxUnionMembers = 256;
constexpr int32_t MaxSubQueryNesting = 32;
constexpr int32_t MaxJoinParentheses = 256;
constexpr int32_t MaxSourceTables = 1024;

// Orderings planning sorts its lists by: ascending, -1, 0 or 1.
int32_t CompareTableNumbers(uint16_t a, uint16_t b);
int32_t CompareJoinOrder(uint16_t a, uint16_t b);

template <typename T>
using TNodeList = std::vector<std::unique_ptr<T>>;

class TDataQuery {
public:
    explicit TDataQuery(TQueryStatement* statement);
    virtual ~TDataQuery();
    TDataQuery(const TDataQuery&) = delete;
    TDataQuery& operator=(const TDataQuery&) = delete;

    // Back to the state of a fresh query: every parse field at its default, every
    // list, tree, text index and stop word dropped, so nothing of an earlier parse
    // survives. The owner, the planned database and cursor (which planning and
    // execution open and close) and the executed flag stay.
    void Reset();

    // --- Parsing (the statement's tokenizer is current at the statement's first
    // token). Raises KURA_SQLPARSE on the first error; the query then holds what was
    // parsed so far, which the next Reset drops.
    void ParseStatement(bool subQuery, bool unionMember, TDataQuery* previous);
    void CheckEndOfStatement();

    TSourceTable* FirstSourceTable() const;
    // Tells the cursor's session which access this statement makes on the cursor.
    void NotifyTableAccess(TDataCursor* cursor) const;

    // --- Planning and execution of a SELECT (the planner's files). The statement
    // object (StatementExecution.cpp) calls Prepare for every SELECT of its query
    // list, last first, and Execute for each; a master SELECT hands its result
    // cursor back through Execute. Data-changing, definition and transaction
    // statements are planned and run by DataChange*.cpp, DefinitionExecution.cpp
    // and StatementExecution.cpp and never reach these two.
    void Prepare();
    void Execute(TDataCursor*& result);

    // --- Owner
    TQueryStatement* Statement;
    TDataDirectory* Database = nullptr;  // planning: the target or result database
    TDataCursor* Cursor = nullptr;       // planning: the target or result cursor

    // --- Parse state
    uint8_t Executed = 0;  // executed as a SELECT; never cleared
    uint8_t IsSubQuery = 0;
    uint8_t Kind = 0;
    uint8_t Parenthesised = 0;

    // --- Execution results
    double ExecutionTime = 0;
    uint8_t LiveRequest = 0;
    uint32_t RowsAffected = 0;
    int32_t RowLimit = -1;

    // --- SELECT and planning flags
    uint8_t Distinct = 0;
    uint8_t HasAvg = 0;
    uint8_t AggregateOnly = 0;  // planning
    uint8_t CountStarOnly = 0;  // planning
    uint8_t HasComputed = 0;
    uint8_t SeveralTables = 0;
    uint8_t NoJoinOptimize = 0;
    uint8_t HasWhere = 0;
    uint8_t HasHaving = 0;
    uint8_t HasOrderBy = 0;
    uint8_t OrderIndex = 255;  // planning: index serving ORDER BY, 255 = natural order

    TNodeList<TOrderByField> OrderBy;
    uint8_t OrderByNoCase = 0;
    uint8_t HasGroupBy = 0;
    TNodeList<TGroupByField> GroupBy;

    uint8_t HavingPresent = 0;
    uint8_t Live = 0;           // planning: answered by the source cursor
    uint8_t LiveCompanion = 0;  // planning
    uint8_t InMemory = 0;       // MEMORY before the target, or INTO MEMORY
    uint8_t InsertFromSelect = 0;

    TDataQuery* InsertSource = nullptr;  // in the statement's query list

    // --- UNION chain
    uint8_t IsUnionMember = 0;
    uint8_t HasUnion = 0;  // a member follows
    uint8_t UnionAll = 1;  // this member was joined with UNION ALL
    TDataQuery* NextUnion = nullptr;
    TDataQuery* PreviousUnion = nullptr;

    uint8_t HasInto = 0;
    std::string IntoTableName;
    uint8_t WithLocks = 0;

    // --- Lists
    TNodeList<TSourceTable> SourceTables;
    TNodeList<TSourceTable> FunctionTables;  // planning: LASTAUTOINC()/IDENT_CURRENT() tables
    TNodeList<TJoinExpression> Joins;
    TNodeList<TResultField> ResultFields;
    TNodeList<TUpdateField> UpdateFields;
    TNodeList<TUpdateValue> UpdateValues;
    TNodeList<TCreateField> CreateFields;
    TNodeList<TCreateIndex> CreateIndexes;
    std::unique_ptr<TCreateIndex> TextIndex;

    // --- Expression trees (owned)
    TExpToken* Where = nullptr;
    TExpToken* Having = nullptr;
    TExpToken* Residual = nullptr;  // planning
    TExpToken* Deferred = nullptr;  // planning

    // --- Table options
    uint8_t Encrypted = 0;
    std::string Password;
    uint16_t LanguageId = 0;
    uint16_t SortId = 0;
    uint16_t BlobBlockSize = 512;
    std::string Description;
    uint16_t UserMajorVersion = 1;
    uint16_t UserMinorVersion = 0;
    int32_t LastAutoInc = -1;  // -1 = not given

    uint8_t NoAutoInc = 0;
    uint8_t NoBackup = 0;
    uint32_t CommitInterval = 0;
    uint8_t CommitFlush = 0;

    uint8_t EncryptionGiven = 0;
    uint8_t LanguageGiven = 0;
    uint8_t SortGiven = 0;
    uint8_t BlobBlockSizeGiven = 0;
    uint8_t DescriptionGiven = 0;
    uint8_t MajorVersionGiven = 0;
    uint8_t MinorVersionGiven = 0;
    uint8_t CommitIntervalGiven = 0;

    int32_t Top = -1;
    int32_t Limit2 = -1;
    int32_t Limit3 = -1;

    uint8_t IfExists = 0;
    uint8_t IfNotExists = 0;
    uint8_t ExtraFlag = 0;

    TStringList StopWords;
    uint8_t StopWordsGiven = 0;
    TCharSet SpaceChars;
    TCharSet IncludeChars;

    uint8_t SelectAll = 0;

    // The plan of a SELECT (QueryPlan.h): its cursors, bindings and result table.
    std::shared_ptr<TQueryPlan> Plan;

private:
    TExpressionParser& Tokens() const;
    [[noreturn]] void Raise(std::string_view message) const;
    [[noreturn]] void RaiseFound(std::string_view prefix) const;

    // Dispatcher pieces
    void ParseSelect();
    void ParseInsert();
    void ParseUpdate();
    void ParseDelete();
    void ParseCreateTable();
    void ParseAlterTable();
    void ParseCreateIndex();
    void ParseDropTable();
    void ParseDropIndex();
    void ParseTransaction();

    // Shared clause parsers
    bool ParseTableName(std::string& name, bool& memory, std::string_view firstMessage,
                        std::string_view afterMessage);
    TSourceTable* AddSourceTable(const std::string& name, bool memory);
    // AS name or a bare symbol that is not one of the stop words; false when none.
    bool ParseCorrelationName(std::string& name, std::initializer_list<std::string_view> stopWords);
    void CheckDuplicateCorrelationNames(TSourceTable* table);
    void CountJoinParentheses();
    void ParseSourceTables();  // the joins after one table
    void ParseFromList(std::initializer_list<std::string_view> stopWords);
    void ParseWhere();
    void ParseNoJoinOptimize();
    void ParseNoAutoInc();
    void ParseCommitInterval();
    int32_t ParseIntegerValue(std::string_view prefix);

    // Clause-expression routines
    TExpToken* ParseClause(std::string_view context, uint8_t flags, std::string_view emptyMessage,
                           std::string* text);
    void ParseSourceColumnExpression(TResultField& field);
    void ParseWhereExpression();
    void ParseHavingExpression();
    TExpToken* ParseJoinExpression(std::string* text);
    TExpToken* ParseColumnName(std::string_view context, std::string_view emptyMessage, std::string* text);
    TExpToken* ParseValue(std::string* text);

    // SELECT pieces
    void ParseSelectList();
    void ParseInto();
    void ParseGroupBy();
    void ParseHaving();
    void ParseOrderBy();
    void ParseTop();
    void ParseSelectOptions();
    void ParseLanguage();
    void ParseEncryption();
    void ParseUnion();
    bool InsertSourceChain() const;

    // Definition pieces
    void ParseIfNotExists();
    void ParseIfExists();
    void ParseColumnDefinition(TCreateField& field, bool alter);
    void ParseColumnAttributes(TCreateField& field, bool alter);
    std::string ParseDefault(std::string_view message);
    void ParseIndexOptions(TCreateIndex& index);
    void ParseIndexColumns(TCreateIndex& index, std::string_view leftMessage, std::string_view rightMessage);
    void ParseCompress(TCreateIndex& index);
    void ParsePrimaryKey(TCreateIndex& index);
    void ParseCreateTableOptions();
    void ParseAlterTableOptions();
    void ParseTextIndex();
    std::string ParseOptionText(std::string_view context, std::string_view emptyMessage);

    // Open "(" of the FROM list not yet closed by joins.
    int32_t FOpenParentheses = 0;
    // Position in a UNION chain, 0 for its first query.
    int32_t FUnionIndex = 0;
    // The SELECT is the source of an INSERT (or a member of such a chain).
    bool FInsertSource = false;
};

}  // namespace kura
