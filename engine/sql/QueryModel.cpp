#include "engine/sql/QueryModel.h"

#include "engine/core/DataCursor.h"
#include "engine/core/DataSession.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpParser.h"
#include "engine/files/FieldTypes.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"

namespace kura {

std::string_view StatementName(uint8_t kind) {
    switch (kind) {
        case skSelect: return "SELECT";
        case skInsert: return "INSERT";
        case skUpdate: return "UPDATE";
        case skDelete: return "DELETE";
        case skCreateTable: return "CREATE TABLE";
        case skAlterTable: return "ALTER TABLE";
        case skDropTable: return "DROP TABLE";
        case skCreateIndex: return "CREATE INDEX";
        case skDropIndex: return "DROP INDEX";
        case skStartTransaction: return "START TRANSACTION";
        case skRollback: return "ROLLBACK";
        case skCommit: return "COMMIT";
        default: return "UNKNOWN";
    }
}

int32_t TableAccessOf(uint8_t kind) {
    switch (kind) {
        case skSelect: return taSelect;
        case skInsert: return taInsert;
        case skUpdate: return taUpdate;
        case skDelete: return taDelete;
        case skCreateTable:
        case skCreateIndex: return taCreate;
        case skAlterTable: return taAlter;
        case skDropTable:
        case skDropIndex: return taDrop;
        default: return -1;
    }
}

uint8_t AggregateKindOf(uint8_t functionCode) {
    switch (functionCode) {
        case fnSum: return akSum;
        case fnRunSum: return akRunSum;
        case fnMin: return akMin;
        case fnMax: return akMax;
        case fnAvg: return akAvg;
        case fnCount: return akCount;
        default: return akNone;
    }
}

int32_t CompareTableNumbers(uint16_t a, uint16_t b) { return a < b ? -1 : (a > b ? 1 : 0); }
int32_t CompareJoinOrder(uint16_t a, uint16_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

// ---- Nodes -----------------------------------------------------------------------

TResultField::~TResultField() { FreeExpression(Expression); }

void TResultField::SetColumnName(const std::string& name) {
    ColumnName = name;
    if (ResultName.empty() && name != "*") ResultName = name;
}

TUpdateField::~TUpdateField() { FreeExpression(Expression); }
TUpdateValue::~TUpdateValue() { FreeExpression(Expression); }
TCreateField::~TCreateField() { FreeExpression(Definition); }

void TCreateField::LoadFromToken(uint16_t fieldNumber) {
    FieldNumber = fieldNumber;
    if (!Definition) return;
    // With two names the definition token carries the new one.
    if (NewColumnName.empty()) ColumnName = Definition->Name;
    FieldType = Definition->DataType;
    FieldSubtype = Definition->DataSubtype;
    if (FieldType == fldZSTRING) {
        Size = Definition->DataSize - 1;
    } else if (FieldType == fldBYTES || FieldType == fldVARBYTES) {
        Size = Definition->DataSize;
    }
    if (FieldType == fldBCD) Decimals = Definition->Scale;
}

TCreateIndex::~TCreateIndex() {
    for (TExpToken*& column : Columns) FreeExpression(column);
}

void TCreateIndex::LoadColumnNames() {
    ColumnNames.Clear();
    for (const TExpToken* column : Columns) {
        ColumnNames.Add(column->Kind == ekColumn ? column->Name : column->Text);
    }
}

// ---- Query -------------------------------------------------------------------------

TDataQuery::TDataQuery(TQueryStatement* statement) : Statement(statement) {}

TDataQuery::~TDataQuery() {
    // Join clauses refer to source tables: drop them first.
    Joins.clear();
    SourceTables.clear();
    FunctionTables.clear();
    FreeExpression(Where);
    FreeExpression(Having);
    FreeExpression(Residual);
    FreeExpression(Deferred);
}

void TDataQuery::Reset() {
    Joins.clear();
    SourceTables.clear();
    FunctionTables.clear();
    ResultFields.clear();
    UpdateFields.clear();
    UpdateValues.clear();
    CreateFields.clear();
    CreateIndexes.clear();
    OrderBy.clear();
    GroupBy.clear();
    TextIndex.reset();
    FreeExpression(Where);
    FreeExpression(Having);
    FreeExpression(Residual);
    FreeExpression(Deferred);
    StopWords.Clear();
    SpaceChars.reset();
    IncludeChars.reset();

    IsSubQuery = Kind = Parenthesised = 0;
    ExecutionTime = 0;
    LiveRequest = 0;
    RowsAffected = 0;
    RowLimit = -1;
    Distinct = HasAvg = AggregateOnly = CountStarOnly = HasComputed = SeveralTables = NoJoinOptimize = 0;
    HasWhere = HasHaving = HasOrderBy = 0;
    OrderIndex = 255;
    OrderByNoCase = HasGroupBy = 0;
    HavingPresent = Live = LiveCompanion = InMemory = InsertFromSelect = 0;
    InsertSource = nullptr;
    IsUnionMember = HasUnion = 0;
    UnionAll = 1;
    NextUnion = PreviousUnion = nullptr;
    HasInto = 0;
    IntoTableName.clear();
    WithLocks = 0;
    Encrypted = 0;
    Password.clear();
    LanguageId = SortId = 0;
    BlobBlockSize = 512;
    Description.clear();
    UserMajorVersion = 1;
    UserMinorVersion = 0;
    LastAutoInc = -1;
    NoAutoInc = NoBackup = 0;
    CommitInterval = 0;
    CommitFlush = 0;
    EncryptionGiven = LanguageGiven = SortGiven = BlobBlockSizeGiven = DescriptionGiven = 0;
    MajorVersionGiven = MinorVersionGiven = CommitIntervalGiven = 0;
    Top = Limit2 = Limit3 = -1;
    IfExists = IfNotExists = ExtraFlag = 0;
    StopWordsGiven = 0;
    SelectAll = 0;
    FOpenParentheses = 0;
    FUnionIndex = 0;
    FInsertSource = false;
}

TSourceTable* TDataQuery::FirstSourceTable() const {
    return SourceTables.empty() ? nullptr : SourceTables.front().get();
}

void TDataQuery::NotifyTableAccess(TDataCursor* cursor) const {
    const int32_t access = TableAccessOf(Kind);
    TDataSession* session = cursor ? cursor->GetSession() : nullptr;
    if (access >= 0 && session) session->DoTableAccess(cursor, static_cast<uint8_t>(access));
}

TExpressionParser& TDataQuery::Tokens() const { return Statement->Tokenizer(); }

void TDataQuery::Raise(std::string_view message) const { Tokens().RaiseError(message); }

void TDataQuery::RaiseFound(std::string_view prefix) const {
    Tokens().RaiseError(std::string(prefix) + Tokens().GetTokenText() + "'");
}

}  // namespace kura
