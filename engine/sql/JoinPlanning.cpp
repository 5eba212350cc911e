// Source cursors and the binding of columns to the nested-loop levels of a
// SELECT (the order of the levels and the placement of conditions on them are
// JoinOrder.cpp's).
#include <algorithm>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpressionOwner.h"
#include "engine/expr/TypeCheck.h"
#include "engine/files/IndexFile.h"
#include "engine/files/Routines.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/SourceTable.h"

namespace kura {

namespace {

// The plan whose clauses are being typed: LASTAUTOINC() tables join it.
thread_local TQueryPlan* GTypingPlan = nullptr;

constexpr int32_t ResultBinding = 1;

bool ResolveSourceColumn(void* data, TExpToken* node) {
    auto* plan = static_cast<TQueryPlan*>(data);
    // In the order of the FROM list, whatever order the levels have taken: a name
    // without its table is the column of the first table named that has it.
    const auto& sources = plan->Query.SourceTables;
    for (size_t k = 0; k < sources.size(); ++k) {
        const int32_t i = k < plan->Tables.size() && plan->Tables[k].Source == sources[k].get()
                              ? static_cast<int32_t>(k)
                              : plan->LevelOf(sources[k].get());
        if (i < 0) continue;
        TPlanTable& t = plan->Tables[static_cast<size_t>(i)];
        if (!node->TableName.empty() && !SameNameText(node->TableName, t.Source->CorrelationName)) continue;
        if (!TDataCursor::ResolveColumn(t.Cursor.get(), node)) continue;
        node->BindSlot1 = i;
        node->BindSlot2 = 0;
        return true;
    }
    return false;
}

bool ResolveResultColumn(void* data, TExpToken* node) {
    auto* plan = static_cast<TQueryPlan*>(data);
    for (const TPlanColumn& c : plan->Columns) {
        const TResultField& f = *c.Field;
        const bool byResultName = SameNameText(node->Name, f.ResultName);
        const bool byColumn = node->PlannerFlag1 == 0 && c.Aggregate == akNone && !f.Computed &&
                              SameNameText(node->Name, f.ColumnName) &&
                              (node->TableName.empty() || SameNameText(node->TableName, f.CorrelationName));
        if (!byResultName && !byColumn) continue;
        node->FieldNumber = c.ResultNo;
        node->DataType = c.Desc.FieldType();
        node->DataSubtype = c.Desc.SubType();
        node->DataSize = c.Desc.FieldType() == fldBCD ? 34 : c.Desc.StoredSize();
        node->Scale = c.Desc.FieldType() == fldBCD ? c.Desc.StoredDecimals() : 0;
        node->BindSlot1 = -1;
        node->BindSlot2 = ResultBinding;
        return true;
    }
    return false;
}

}  // namespace

void RaiseSqlError(const std::string& message) {
    RaiseEngineError(KURA_SQLPARSE, {}, {}, {}, {}, {}, {}, message.substr(0, 255));
}

TQueryPlan::TQueryPlan(TDataQuery& query, const TQueryContext& context) : Query(query), Context(context) {}

TQueryPlan::~TQueryPlan() {
    TDataSession* session = Context.Session;
    if (Result) {
        Result->CloseCursor(!ResultIsInto);
        Result.reset();
    }
    if (OwnsResultDatabase && session) session->CloseDataDirectory(ResultDatabase);
    if (Into) {
        Into->CloseCursor(false);
        Into.reset();
    }
    if (IntoDatabase && IntoDatabase != Context.Database && session) session->CloseDataDirectory(IntoDatabase);
    for (auto& [database, cursor] : FunctionCursors) {
        cursor.reset();
        if (database != Context.Database && session) session->CloseDataDirectory(database);
    }
    for (TPlanTable& t : Tables) {
        t.Cursor.reset();
        if (t.Database != Context.Database && session) session->CloseDataDirectory(t.Database);
    }
}

int32_t TQueryPlan::FindTable(const std::string& correlation) const {
    for (size_t i = 0; i < Tables.size(); ++i)
        if (SameNameText(correlation, Tables[i].Source->CorrelationName)) return static_cast<int32_t>(i);
    return -1;
}

namespace {

std::unique_ptr<TDataCursor> OpenSourceCursor(const TQueryContext& context, TDataDirectory* database,
                                              const TSourceTable& source, bool writable = false) {
    auto cursor = std::make_unique<TDataCursor>(database);
    if (context.Password) cursor->SetPasswordEvent([ask = context.Password](TDataCursor*) { return ask(); });
    cursor->SetTableName(source.TableName);
    cursor->SetReadOnly(!writable);
    cursor->SetInMemory(source.InMemory != 0);
    cursor->SetQuerySource(true);
    cursor->OpenCursor();
    return cursor;
}

void AddFunctionTable(void* resolverData, TExpToken& node, const char* tableName) {
    auto* plan = static_cast<TQueryPlan*>(resolverData);
    if (!plan || plan != GTypingPlan) return;
    TSourceTable source(&plan->Query);
    source.SetTableName(tableName, false, {});
    TDataDirectory* database = OpenDatabaseOf(plan->Context, source);
    try {
        plan->FunctionCursors.emplace_back(database, OpenSourceCursor(plan->Context, database, source));
    } catch (...) {
        if (database != plan->Context.Database) plan->Context.Session->CloseDataDirectory(database);
        throw;
    }
    SetTokenOwner(node, plan->FunctionCursors.back().second.get());
}

}  // namespace

TDataDirectory* NotOwnTwice(const TQueryContext& context, TDataDirectory* database) {
    if (database && database == context.Database) context.Session->CloseDataDirectory(database);
    return database;
}

TDataDirectory* OpenDatabaseOf(const TQueryContext& context, const TSourceTable& source) {
    if (source.InMemory) return NotOwnTwice(context, OpenMemoryDatabase(*context.Session));
    if (source.Database.empty() ||
        (context.Database && StripAllTrailingBackslashes(source.Database) ==
                                 StripAllTrailingBackslashes(context.Database->GetDatabaseName())))
        return context.Database;
    return NotOwnTwice(context, context.Session->OpenDataDirectory(source.Database, source.Database));
}

void TQueryPlan::OpenTables() {
    Tables.resize(Query.SourceTables.size());
    for (size_t i = 0; i < Tables.size(); ++i) {
        TPlanTable& t = Tables[i];
        t.Source = Query.SourceTables[i].get();
        t.Source->TableNumber = static_cast<uint16_t>(i + 1);
        t.Database = OpenDatabaseOf(Context, *t.Source);
        // A live result is the table's own cursor, which the dataset may edit.
        const bool edited = LiveCandidate(Query) && !Query.IsSubQuery && !Query.IsUnionMember;
        t.Cursor = OpenSourceCursor(Context, t.Database, *t.Source, edited);
        t.Buffer.assign(t.Cursor->GetRecordSize() + 16u, 0);
        t.RangeBuffer.assign(t.Cursor->GetRecordSize() + 16u, 0);
        Query.NotifyTableAccess(t.Cursor.get());
    }
    if (!Tables.empty() && !Query.LanguageGiven && !Query.SortGiven) {
        LocaleId = Tables[0].Cursor->GetLocaleID();
        SortId = Tables[0].Cursor->GetSortID();
    } else {
        LocaleId = Query.LanguageId;
        SortId = Query.SortId;
    }
}

void TQueryPlan::TypeCheck(TExpToken* tree, const char* context, bool resultColumns, bool condition) {
    TQueryPlan* outer = GTypingPlan;
    GTypingPlan = this;
    try {
        CheckExpressionTypes(KURA_SQLPARSE, {}, {}, false, condition,
                             resultColumns ? &ResolveResultColumn : &ResolveSourceColumn, this, nullptr, tree,
                             context);
    } catch (...) {
        GTypingPlan = outer;
        throw;
    }
    GTypingPlan = outer;
}

// --- Binding at evaluation

void TQueryPlan::ColumnValue(void* owner, void* record, TExpToken* node) {
    auto* plan = static_cast<TQueryPlan*>(owner);
    if (node->BindSlot2 == ResultBinding) {
        plan->Result->GetFieldValue(static_cast<const uint8_t*>(record), node);
        return;
    }
    if (node->BindSlot1 < 0 || static_cast<size_t>(node->BindSlot1) >= plan->Tables.size()) {
        node->IsNull = 1;
        return;
    }
    TPlanTable& t = plan->Tables[static_cast<size_t>(node->BindSlot1)];
    // A level without a current record (the null row of an outer join) reads as
    // NULL in every column, whatever its buffer still holds.
    if (t.AtEnd) {
        node->IsNull = 1;
        return;
    }
    // A BLOB of another name of a changed table: its value as it was at the start.
    if (t.ReadByChange && node->DataType == fldBLOB &&
        plan->Changing->ColumnValue(static_cast<size_t>(node->BindSlot1), node))
        return;
    t.Cursor->GetFieldValue(t.Record(), node);
}

void RegisterSqlQueryHooks() {
    TQueryHooks hooks;
    hooks.ColumnCount = [](TDataQuery* query) {
        return query->Plan ? static_cast<int32_t>(query->Plan->Columns.size())
                           : static_cast<int32_t>(query->ResultFields.size());
    };
    hooks.ResolveColumn = [](TDataQuery* query, TExpToken& node) {
        if (!query->Plan || query->Plan->Columns.empty()) return false;
        const TFieldDesc& d = query->Plan->Columns[0].Desc;
        node.DataType = d.FieldType();
        node.DataSubtype = d.SubType();
        node.DataSize = d.FieldType() == fldBCD ? 34 : d.StoredSize();
        node.Scale = d.FieldType() == fldBCD ? d.StoredDecimals() : 0;
        return true;
    };
    hooks.Contains = &SubSelectContains;
    hooks.AddFunctionTable = &AddFunctionTable;
    SetQueryHooks(hooks);
}

}  // namespace kura
