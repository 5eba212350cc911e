// Source cursors, column binding and the placement of JOIN and WHERE conditions
// on the nested-loop levels of a SELECT.
//
// Each level is one source table in FROM order. A conjunct is decided on the
// deepest level it refers to, so that a record that cannot lead to a result row
// is dropped as early as possible; only when a left outer join lies between the
// first level and that one is it kept for the whole joined row, since the null
// row of the outer join must be formed before it is tested. An equality of a
// column with a value known before its level starts ("b.k = a.k", "k = 5") lets
// an index whose first field is that column restrict the level to a key range.
#include <algorithm>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpressionOwner.h"
#include "engine/expr/TypeCheck.h"
#include "engine/files/IndexFile.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/SourceTable.h"

namespace kura {

namespace {

// The plan whose clauses are being typed: LASTAUTOINC() tables join it.
thread_local TQueryPlan* GTypingPlan = nullptr;

constexpr int32_t ResultBinding = 1;

// Above this many bytes of records an inner table is read through its index (or
// scanned) for every outer row instead of being held in memory.
constexpr uint64_t MaxHashJoinBytes = 256ull << 20;

bool ResolveSourceColumn(void* data, TExpToken* node) {
    auto* plan = static_cast<TQueryPlan*>(data);
    for (size_t i = 0; i < plan->Tables.size(); ++i) {
        TPlanTable& t = plan->Tables[i];
        if (!node->TableName.empty() && !SameNameText(node->TableName, t.Source->CorrelationName)) continue;
        if (!TDataCursor::ResolveColumn(t.Cursor.get(), node)) continue;
        node->BindSlot1 = static_cast<int32_t>(i);
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

// Highest level a tree refers to; -1 for none. Sub-selects are uncorrelated.
int32_t DeepestLevel(const TExpToken* node) {
    if (!node) return -1;
    int32_t level = node->Kind == ekColumn && node->BindSlot2 == 0 ? node->BindSlot1 : -1;
    level = std::max({level, DeepestLevel(node->Left), DeepestLevel(node->Right)});
    for (const TExpToken* a : node->Arguments) level = std::max(level, DeepestLevel(a));
    return level;
}

// Lowest level a tree refers to; INT32_MAX for none.
int32_t ShallowestLevel(const TExpToken* node) {
    if (!node) return INT32_MAX;
    int32_t level = node->Kind == ekColumn && node->BindSlot2 == 0 && node->BindSlot1 >= 0 ? node->BindSlot1 : INT32_MAX;
    level = std::min({level, ShallowestLevel(node->Left), ShallowestLevel(node->Right)});
    for (const TExpToken* a : node->Arguments) level = std::min(level, ShallowestLevel(a));
    return level;
}

bool HasSubSelect(const TExpToken* node) {
    if (!node) return false;
    if (node->Kind == ekSubSelect) return true;
    if (HasSubSelect(node->Left) || HasSubSelect(node->Right)) return true;
    return std::any_of(node->Arguments.begin(), node->Arguments.end(), HasSubSelect);
}

void SplitConjuncts(TExpToken* node, std::vector<TExpToken*>& out) {
    if (node && node->Kind == ekBinary && node->Code == opAnd) {
        SplitConjuncts(node->Left, out);
        SplitConjuncts(node->Right, out);
        return;
    }
    if (node) out.push_back(node);
}

// The number of the index whose first key field is fieldNo; 255 for none.
uint8_t IndexOnField(TDataCursor& cursor, uint16_t fieldNo) {
    const uint8_t count = cursor.GetIndexCount();
    for (uint16_t slot = 0; slot <= count && slot < 32; ++slot) {
        TIndexDesc desc;
        cursor.GetIndexDesc(static_cast<uint8_t>(slot), desc);
        if (desc.GetFieldCount() > 0 && desc.GetField(0) == fieldNo) return static_cast<uint8_t>(slot);
    }
    return 255;
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

TDataDirectory* OpenDatabaseOf(const TQueryContext& context, const TSourceTable& source) {
    if (source.InMemory) return context.Session->OpenDataDirectory(MemoryDatabaseName, MemoryDatabaseName);
    auto trimmed = [](std::string path) {
        while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.pop_back();
        return path;
    };
    if (source.Database.empty() ||
        (context.Database && trimmed(source.Database) == trimmed(context.Database->GetDatabaseName())))
        return context.Database;
    return context.Session->OpenDataDirectory(source.Database, source.Database);
}

std::unique_ptr<TDataCursor> OpenSourceCursor(TDataDirectory* database, const TSourceTable& source,
                                              bool writable = false) {
    auto cursor = std::make_unique<TDataCursor>(database);
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
        plan->FunctionCursors.emplace_back(database, OpenSourceCursor(database, source));
    } catch (...) {
        if (database != plan->Context.Database) plan->Context.Session->CloseDataDirectory(database);
        throw;
    }
    SetTokenOwner(node, plan->FunctionCursors.back().second.get());
}

}  // namespace

void TQueryPlan::OpenTables() {
    Tables.resize(Query.SourceTables.size());
    for (size_t i = 0; i < Tables.size(); ++i) {
        TPlanTable& t = Tables[i];
        t.Source = Query.SourceTables[i].get();
        t.Source->TableNumber = static_cast<uint16_t>(i + 1);
        t.Database = OpenDatabaseOf(Context, *t.Source);
        // A live result is the table's own cursor, which the dataset may edit.
        t.Cursor = OpenSourceCursor(t.Database, *t.Source, CanBeLive(Query));
        t.Buffer.assign(t.Cursor->GetRecordSize() + 16u, 0);
        t.RangeBuffer.assign(t.Cursor->GetRecordSize() + 16u, 0);
        Query.NotifyTableAccess(t.Cursor.get());
    }
    // a RIGHT OUTER JOIN b is b LEFT OUTER JOIN a: the two levels change places
    // before any column is bound to a level.
    for (const auto& join : Query.Joins) {
        if (join->Kind != jkRightOuter) continue;
        if (Tables.size() != 2 || join->Table != Tables[1].Source)
            RaiseSqlError("Internal join error - table correlation name \"" + join->Table->CorrelationName +
                          "\" cannot be the target of a RIGHT OUTER JOIN");
        std::swap(Tables[0], Tables[1]);
        for (size_t i = 0; i < Tables.size(); ++i) Tables[i].Source->TableNumber = static_cast<uint16_t>(i + 1);
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

void TQueryPlan::PlanJoins() {
    const std::string joinContext = "WHERE or JOIN clause";
    // Explicit joins: the kind belongs to the joined table's level.
    std::vector<TExpToken*> conjuncts;
    for (const auto& join : Query.Joins) {
        const int32_t level = FindTable(join->Table->CorrelationName);
        if (level < 0) RaiseSqlError("Internal join error attempting to validate table correlation names involved in join");
        uint8_t kind = join->Kind;
        // OpenTables has put the two levels of a RIGHT OUTER JOIN the other way round.
        if (kind == jkRightOuter) kind = jkLeftOuter;
        if (join->Condition) {
            TypeCheck(join->Condition, joinContext.c_str(), false, true);
            if (join->Condition->DataType != fldBOOL) RaiseSqlError("WHERE or JOIN clause must be a boolean expression");
        }
        const size_t target = join->Kind == jkRightOuter ? 1 : static_cast<size_t>(level);
        Tables[target].JoinKind = kind;
        std::vector<TExpToken*> parts;
        SplitConjuncts(join->Condition, parts);
        for (TExpToken* part : parts) {
            const int32_t deepest = DeepestLevel(part);
            if (deepest > static_cast<int32_t>(target))
                Residual.push_back(part);
            else
                Tables[target].Conditions.push_back(part);
        }
    }
    if (Query.Where) {
        TypeCheck(Query.Where, joinContext.c_str(), false, true);
        if (Query.Where->DataType != fldBOOL) RaiseSqlError("WHERE or JOIN clause must be a boolean expression");
        SplitConjuncts(Query.Where, conjuncts);
    }
    for (TExpToken* part : conjuncts) {
        const int32_t deepest = DeepestLevel(part);
        bool outerBetween = false;
        for (int32_t i = 1; i <= deepest; ++i) outerBetween = outerBetween || Tables[static_cast<size_t>(i)].JoinKind == jkLeftOuter;
        if (outerBetween || Tables.empty())
            Residual.push_back(part);
        else
            Tables[static_cast<size_t>(std::max(deepest, 0))].Conditions.push_back(part);
    }
    // Index ranges for equalities.
    for (size_t level = 0; level < Tables.size(); ++level) {
        TPlanTable& t = Tables[level];
        for (TExpToken* c : t.Conditions) {
            if (c->Kind != ekBinary || c->Code != opEqual || !c->Left || !c->Right) continue;
            for (int side = 0; side < 2; ++side) {
                TExpToken* column = side == 0 ? c->Left : c->Right;
                TExpToken* value = side == 0 ? c->Right : c->Left;
                if (column->Kind != ekColumn || column->BindSlot2 != 0 || column->BindSlot1 != static_cast<int32_t>(level))
                    continue;
                if (DeepestLevel(value) >= static_cast<int32_t>(level) || HasSubSelect(value)) continue;
                if (value->DataType != column->DataType || column->DataType == fldBLOB) continue;
                // A join on a non-text column: one pass over the level per execution
                // instead of one index descent per outer row.
                const uint64_t bytes = static_cast<uint64_t>(t.Cursor->GetRecordCount()) * t.Buffer.size();
                if (!t.HashColumn && level > 0 && DeepestLevel(value) >= 0 && column->DataType != fldZSTRING &&
                    bytes <= MaxHashJoinBytes) {
                    t.HashColumn = column;
                    t.HashValue = value;
                    continue;
                }
                const uint8_t index = IndexOnField(*t.Cursor, column->FieldNumber);
                if (index == 255) continue;
                t.RangeIndex = index;
                t.RangeField = column->FieldNumber;
                t.RangeValue = value;
                // Strings may compare without case in the index: the condition
                // is still tested on each record.
                t.RangeExact = t.Conditions.size() == 1 && column->DataType != fldZSTRING &&
                               column->DataType != fldFLOAT && column->DataType != fldTIMESTAMP;
                break;
            }
            if (t.RangeIndex != 255) break;
        }
        if (t.HashColumn) {
            t.RangeValue = nullptr;
            t.RangeIndex = 255;
            for (TExpToken* c : t.Conditions)
                if (ShallowestLevel(c) == static_cast<int32_t>(level) && !HasSubSelect(c)) t.LocalConditions.push_back(c);
        }
        t.Cursor->SwitchToIndex(t.RangeIndex);
    }
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
    t.Cursor->GetFieldValue(t.Buffer.data(), node);
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
