// TQueryStatement: preparing and running the statements of one SQL text, binding
// parameter values, the transaction statements and the statement's events.
#include <chrono>
#include <cstring>

#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/TypeCheck.h"
#include "engine/files/FieldDesc.h"
#include "engine/sql/DataChange.h"
#include "engine/sql/DefinitionExecution.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"
#include "engine/sql/TargetTable.h"
#include "platform/Files.h"

namespace kura {

namespace {

bool IsDataChange(uint8_t kind) { return kind == skInsert || kind == skUpdate || kind == skDelete; }
bool IsDefinition(uint8_t kind) { return kind >= skCreateTable && kind <= skDropIndex; }
bool IsTransaction(uint8_t kind) { return kind >= skStartTransaction && kind <= skCommit; }

void ExecuteTransaction(TDataQuery& query, TDataDirectory* database) {
    if (!database) RaiseEngineError(KURA_NOTINITIALIZED);
    // A path as the system writes it, not with the engine's separators.
    const std::string name = platform::NormalizeSeparators(database->GetDatabaseName());
    switch (query.Kind) {
        case skStartTransaction:
            if (database->InTransaction()) RaiseStatementError("Transaction already in progress for database '" + name + "'");
            database->StartTransaction();
            break;
        case skRollback:
            if (!database->InTransaction()) RaiseStatementError("Transaction not in progress for database '" + name + "'");
            database->Rollback();
            break;
        case skCommit:
            if (!database->InTransaction()) RaiseStatementError("Transaction not in progress for database '" + name + "'");
            database->Commit(true, query.CommitFlush != 0);
            break;
        default: break;
    }
}

}  // namespace

TQueryStatement::TQueryStatement(TDataDirectory* ownerDatabase) : TQueryStatement() {
    FOwnerDatabase = ownerDatabase;
    if (ownerDatabase) {
        const bool memory = ownerDatabase->Path.empty() && SameNameText(ownerDatabase->Name, MEMORY_DATABASE_NAME);
        DatabasePath = memory ? std::string(MEMORY_DATABASE_NAME)
                              : (ownerDatabase->IsRemote() ? ownerDatabase->Name : ownerDatabase->Path);
        if (ownerDatabase->IsRemote()) CreateRemote();
        ownerDatabase->AddStatement(this);
    }
}

TDataSession* TQueryStatement::Session() const { return FOwnerDatabase ? FOwnerDatabase->Session : nullptr; }

bool TQueryStatement::IsRemote() const { return FOwnerDatabase && FOwnerDatabase->IsRemote(); }

int32_t TQueryStatement::GetProgressInterval() const {
    const TDataSession* session = Session();
    return session ? session->GetProgressInterval() : 100;
}

bool TQueryStatement::DoPassword() { return FOnPassword ? FOnPassword(this) : false; }

void TQueryStatement::DoProgress(uint16_t percent, bool& abort) {
    if (FOnProgress) FOnProgress(this, percent, abort);
}

void TQueryStatement::SetMaxRowCount(int32_t value) {
    if (value < 0) value = -1;
    if (value == FMaxRowCount) return;
    FMaxRowCount = value;
    TDataQuery* master = MasterQuery();
    if (master && master->Kind == skSelect) master->RowLimit = value;
}

TDataChangePlan& TQueryStatement::ChangePlan(TDataQuery* query) {
    for (const auto& plan : FChangePlans) {
        if (plan->Query == query) return *plan;
    }
    FChangePlans.push_back(std::make_shared<TDataChangePlan>(query));
    return *FChangePlans.back();
}

void TQueryStatement::Prepare(std::string_view text) {
    if (IsRemote()) return PrepareRemote(text);
    FLive = FLiveCompanion = FSelectAll = 0;
    FParamCount = 0;
    ParseFirst(text);
    PrepareQueries();
}

void TQueryStatement::PrepareQueries() {
    TDataQuery* master = MasterQuery();
    if (!master) return;
    FKind = master->Kind;
    if (FKind == skSelect) {
        master->LiveRequest = LiveRequest;
        master->RowLimit = FMaxRowCount;
    } else {
        master->LiveRequest = 1;
        master->RowLimit = -1;
    }
    // An INSERT reads its source's rows in select-list order: a result table of
    // its own, never the live source cursor.
    for (const auto& query : FQueries) {
        if (query->Kind == skInsert && query->InsertSource) query->InsertSource->LiveRequest = 0;
    }
    for (auto it = FQueries.rbegin(); it != FQueries.rend(); ++it) {
        TDataQuery* query = it->get();
        if (query->Kind == skSelect) {
            query->Prepare();
        } else if (IsDataChange(query->Kind)) {
            PrepareDataChange(*query, ChangePlan(query));
        }
    }
    FLive = master->Live;
    FLiveCompanion = master->LiveCompanion;
    FSelectAll = master->SelectAll;
    FParamCount = static_cast<uint32_t>(FParameters.size());
    if (OnAfterPrepare) OnAfterPrepare(this, FKind, FSelectAll, FLiveCompanion, FLive);
}

uint16_t TQueryStatement::SetParams(uint16_t count, const TFieldDesc* const* descriptors, const uint8_t* record) {
    if (IsRemote()) return SetParamsRemote(count, descriptors, record);
    if (!descriptors || !record) return 0;
    FBoundCount = std::max(FBoundCount, std::min<size_t>(count, FParameters.size()));
    for (size_t i = 0; i < count && i < FParameters.size(); ++i) {
        const TFieldDesc* desc = descriptors[i];
        TExpToken* token = FParameters[i];
        if (!desc || !token) continue;
        const uint8_t* slot = record + desc->Offset();
        const bool present = slot[0] != 0;
        const uint8_t* value = slot + 1;
        token->DataType = desc->FieldType();
        token->DataSubtype = desc->SubType();
        token->IsNull = present ? 0 : 1;
        if (desc->FieldType() == fldBLOB) {
            uint32_t length = 0;
            const char* bytes = nullptr;
            std::memcpy(&length, value, sizeof length);
            std::memcpy(&bytes, value + sizeof length, sizeof bytes);
            if (!present || !bytes) length = 0;
            const bool memo = desc->SubType() == fldstMEMO;
            const int32_t size = static_cast<int32_t>(length) + (memo ? 1 : 0);
            token->Scale = 0;
            token->SetDataSize(size);
            if (length > 0) std::memcpy(token->Value.data(), bytes, length);
            if (memo) token->Value[length] = 0;
            continue;
        }
        const int32_t size = desc->StoredSize();
        token->SetDataSize(size);
        token->Scale = desc->StoredDecimals();
        if (size > 0) std::memcpy(token->Value.data(), value, static_cast<size_t>(size));
    }
    return 0;
}

void TQueryStatement::CheckParameterValues() const {
    if (FBoundCount >= FParameters.size()) return;
    // An unbound mark would compare as zero or an empty text and quietly pick rows.
    const size_t marks = FParameters.size();
    RaiseStatementError("The statement has " + std::to_string(marks) + (marks == 1 ? " parameter" : " parameters") +
                        " but " + std::to_string(FBoundCount) +
                        (FBoundCount == 1 ? " parameter value was given" : " parameter values were given"));
}

void TQueryStatement::CheckParameterUses() {
    // The clause a use lies in, for the messages.
    const auto contextOf = [this](const TExpToken* node) -> std::string {
        while (node->Parent) node = node->Parent;
        for (const auto& query : FQueries) {
            const bool joined = query->Kind == skSelect || query->SourceTables.size() > 1 || !query->Joins.empty();
            if (query->Where == node) return joined ? "WHERE or JOIN clause" : "WHERE clause";
            for (const auto& join : query->Joins)
                if (join->Condition == node) return "WHERE or JOIN clause";
            for (const auto& value : query->UpdateValues)
                if (value->Expression == node) return query->Kind == skUpdate ? "update values" : "insert values";
        }
        return "statement";
    };
    for (size_t i = 0; i < FParameters.size(); ++i)
        if (FParameters[i] && FParameters[i]->Parent)
            CheckParameterUse(KURA_SQLPARSE, FParameters, i, contextOf(FParameters[i]));
}

void TQueryStatement::ExecuteQuery(TDataQuery* query, TDataCursor*& result) {
    result = nullptr;
    if (query->Kind == skSelect) {
        query->Execute(result);
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    query->RowsAffected = 0;
    if (IsDataChange(query->Kind)) {
        TDataChangePlan& plan = ChangePlan(query);
        if (query->InsertFromSelect && query->InsertSource) {
            plan.SourceCursor = nullptr;
            for (const auto& [source, cursor] : FResults) {
                if (source == query->InsertSource) plan.SourceCursor = cursor;
            }
        }
        ExecuteDataChange(*query, plan);
    } else if (IsDefinition(query->Kind)) {
        ExecuteDefinition(*query);
    } else if (IsTransaction(query->Kind)) {
        ExecuteTransaction(*query, FOwnerDatabase);
    }
    query->ExecutionTime = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void TQueryStatement::ExecuteLocal(TDataCursor*& result) {
    result = nullptr;
    FResults.clear();
    TDataQuery* master = MasterQuery();
    if (!master) return;
    double time = 0;
    uint32_t unionRows = 0;
    bool anyUnion = false;
    for (const auto& query : FQueries) anyUnion = anyUnion || query->HasUnion || query->IsUnionMember;
    // Sub-queries, INSERT sources and UNION members first, last created first, so
    // every result exists before the query that reads it runs.
    // An INSERT that reads its source's rows directly needs no copy of them.
    const TDataQuery* directSource = nullptr;
    if (master->Kind == skInsert && master->InsertSource && ChangePlan(master).DirectSource) {
        directSource = master->InsertSource;
    }
    for (size_t i = FQueries.size(); i-- > 1;) {
        TDataQuery* query = FQueries[i].get();
        if (query == directSource) continue;
        TDataCursor* cursor = nullptr;
        ExecuteQuery(query, cursor);
        FResults.emplace_back(query, cursor);
        time += query->ExecutionTime;
        if (anyUnion) {
            unionRows += query->RowsAffected;
            if (query->HasUnion && !query->IsUnionMember) {
                AppendUnionResult(*query);
                FinishResultTable(*query);
            }
        }
    }
    ExecuteQuery(master, result);
    time += master->ExecutionTime;
    FRowsAffected = master->RowsAffected;
    if (anyUnion && master->Kind == skSelect && master->HasUnion && !master->IsUnionMember) {
        AppendUnionResult(*master);
        FinishResultTable(*master);
        FRowsAffected = unionRows + master->RowsAffected;
        time += master->ExecutionTime;
    }
    FExecutionTime = time;
}

void TQueryStatement::Execute(TDataCursor*& result, uint16_t paramCount, const TFieldDesc* const* descriptors,
                              const uint8_t* record, uint8_t progressWanted) {
    result = nullptr;
    if (IsRemote()) return ExecuteRemote(result, paramCount, descriptors, record, progressWanted);
    FFollowOn = 0;
    if (!MasterQuery()) RaiseStatementError("No SQL statement available");
    if (paramCount > 0) SetParams(std::min<uint16_t>(paramCount, MaxParameters), descriptors, record);
    CheckParameterValues();
    CheckParameterUses();
    ExecuteLocal(result);
    double totalTime = FExecutionTime;
    uint32_t totalRows = FRowsAffected;
    // Rows counted when the last START TRANSACTION ran: a ROLLBACK goes back to it.
    uint32_t rowsAtStart = 0;
    while (HasMoreStatements()) {
        FFollowOn = 1;
        result = nullptr;
        ParseNext();
        PrepareQueries();
        CheckParameterValues();
        ExecuteLocal(result);
        totalTime += FExecutionTime;
        if (FKind == skStartTransaction) {
            rowsAtStart = totalRows;
        } else if (FKind == skRollback) {
            totalRows = rowsAtStart;
        } else {
            totalRows += FRowsAffected;
        }
        FExecutionTime = totalTime;
        FRowsAffected = totalRows;
    }
    FExecutionTime = totalTime;
    FRowsAffected = totalRows;
}

}  // namespace kura
