// Planning of INSERT, UPDATE and DELETE: the target opened, the target columns
// bound, the values and the WHERE condition typed.
#include <cstring>

#include "engine/core/DataTable.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpToken.h"
#include "engine/expr/TypeCheck.h"
#include "engine/files/FieldConversions.h"
#include "engine/sql/DataChange.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"
#include "engine/sql/TargetTable.h"

namespace kura {

TDataChangePlan::TDataChangePlan(TDataQuery* query) : Query(query) {}
TDataChangePlan::~TDataChangePlan() = default;

namespace {

enum class TTypeClass { None, Number, Text, DateTime, Boolean, Blob, Bytes, Other };

TTypeClass ClassOf(uint8_t type) {
    switch (type) {
        case fldUNKNOWN: return TTypeClass::None;
        case fldZSTRING: return TTypeClass::Text;
        case fldDATE:
        case fldTIME:
        case fldTIMESTAMP: return TTypeClass::DateTime;
        case fldBOOL: return TTypeClass::Boolean;
        case fldBLOB: return TTypeClass::Blob;
        case fldBYTES:
        case fldVARBYTES: return TTypeClass::Bytes;
        case fldINT16:
        case fldINT32:
        case fldFLOAT:
        case fldBCD:
        case fldUINT16:
        case fldUINT32:
        case fldFLOATIEEE:
        case fldINT64: return TTypeClass::Number;
        default: return TTypeClass::Other;
    }
}

// Whether a value of this type can be stored in a column of that type.
bool Assignable(uint8_t valueType, uint8_t columnType) {
    const TTypeClass value = ClassOf(valueType);
    const TTypeClass column = ClassOf(columnType);
    if (value == TTypeClass::None || value == column) return true;
    if (column == TTypeClass::Blob) return value == TTypeClass::Text || value == TTypeClass::Bytes;
    if (value == TTypeClass::Blob) return column == TTypeClass::Text || column == TTypeClass::Bytes;
    return false;
}

std::string KindWord(const TExpToken& node) {
    switch (node.Kind) {
        case ekColumn: return "column";
        case ekConstant: return "constant";
        case ekFunction: return "function";
        default: return "expression";
    }
}

bool IsDateTimeType(uint8_t type) { return type == fldDATE || type == fldTIME || type == fldTIMESTAMP; }

// A value's text in single quotes, once: a string constant's text has them already.
std::string QuotedOnce(const std::string& text) {
    if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'') return text;
    return "'" + text + "'";
}

// A string constant given for a date, time or timestamp column becomes that value now.
void ConvertDateConstant(TExpToken& value, uint8_t columnType, const std::string& text, const std::string& table) {
    if (value.Kind != ekConstant || value.IsParameter || value.IsNull || value.DataType != fldZSTRING) return;
    if (!IsDateTimeType(columnType)) return;
    uint8_t buffer[FieldValueBufferSize + 8] = {};
    const size_t length = strnlen(reinterpret_cast<const char*>(value.Value.data()),
                                  std::min<size_t>(value.Value.size(), FieldValueBufferSize - 1));
    std::memcpy(buffer, value.Value.data(), length);
    if (!ANSITextToDateTimeValue(buffer, columnType)) {
        RaiseStatementError("Date, time, or timestamp expression expected, instead found " + QuotedOnce(text) +
                                " in update values",
                            table);
    }
    const int32_t size = columnType == fldTIMESTAMP ? 8 : 4;
    value.DataType = columnType;
    value.DataSubtype = 0;
    value.SetDataSize(size);
    std::memcpy(value.Value.data(), buffer, static_cast<size_t>(size));
}

void BindColumns(TDataQuery& query, TDataChangePlan& plan, const TSourceTable& table) {
    TDataCursor& cursor = plan.Target->Cursor();
    for (const auto& field : query.UpdateFields) {
        if (field->ColumnName == "*") {
            for (uint16_t n = 1; n <= cursor.GetFieldCount(); ++n) {
                TDataChangePlan::TColumn column;
                column.FieldNo = n;
                cursor.GetFieldDesc(n, column.Desc);
                plan.Columns.push_back(column);
            }
            continue;
        }
        const bool otherTable = !field->CorrelationName.empty() &&
                                !SameNameText(field->CorrelationName, table.CorrelationName) &&
                                !SameNameText(field->CorrelationName, table.TableName);
        const int32_t fieldNo = otherTable ? 0 : cursor.FindFieldNo(field->ColumnName);
        if (fieldNo <= 0) {
            RaiseStatementError("Invalid column name '" + field->ColumnName + "' or table correlation name '" +
                              field->CorrelationName + "' specified in table columns",
                          table.TableName);
        }
        TDataChangePlan::TColumn column;
        column.FieldNo = static_cast<uint16_t>(fieldNo);
        cursor.GetFieldDesc(column.FieldNo, column.Desc);
        plan.Columns.push_back(column);
    }
}

void TypeValues(TDataQuery& query, TDataChangePlan& plan, const TSourceTable& table) {
    TDataCursor& cursor = plan.Target->Cursor();
    const bool update = query.Kind == skUpdate;
    const char* context = update ? "update values" : "insert values";
    for (size_t i = 0; i < plan.Columns.size(); ++i) {
        TDataChangePlan::TColumn& column = plan.Columns[i];
        TUpdateValue& value = *query.UpdateValues[i];
        if (!value.Expression) continue;
        if (plan.Join) {
            // Values may read any table of the join.
            plan.Join->TypeCheck(value.Expression, context, false);
        } else {
            CheckExpressionTypes(KURA_SQLPARSE, table.TableName, {}, false, false,
                                 update ? &TDataCursor::ResolveColumn : nullptr, update ? &cursor : nullptr, nullptr,
                                 value.Expression, context);
        }
        column.Value = value.Expression;
        column.ValueText = value.ExpressionText.empty() ? value.Expression->Text : value.ExpressionText;
        ConvertDateConstant(*value.Expression, column.Desc.FieldType(), column.ValueText, table.TableName);
        if (value.Expression->IsParameter) continue;
        if (!Assignable(value.Expression->DataType, column.Desc.FieldType())) {
            const std::string kind = KindWord(*value.Expression);
            RaiseStatementError("Type mismatch between column '" + column.Desc.Name() + "' and " + kind + " " +
                                    QuotedOnce(column.ValueText) + " in update values",
                                table.TableName);
        }
    }
}

// Whether the INSERT can read its source's joined rows directly.
bool CanReadDirectly(const TDataQuery& source, const TDataChangePlan& plan) {
    if (!source.Plan || source.Distinct || source.HasGroupBy || source.AggregateOnly || source.HasUnion ||
        source.IsUnionMember || !source.OrderBy.empty() || source.Top >= 0 || source.WithLocks) {
        return false;
    }
    for (const TPlanColumn& column : source.Plan->Columns) {
        if (column.Aggregate != akNone || column.CountStar || !column.Value) return false;
    }
    // Rows appended to a table being read would be read again.
    const TDataTable* target = plan.Target->Cursor().GetTable();
    for (const TPlanTable& level : source.Plan->Tables) {
        if (!level.Cursor || level.Cursor->GetTable() == target) return false;
    }
    return true;
}

}  // namespace

void PrepareDataChange(TDataQuery& query, TDataChangePlan& plan) {
    plan.Prepared = false;
    plan.DirectSource = false;
    plan.Columns.clear();
    plan.Target.reset();
    TSourceTable* table = query.FirstSourceTable();
    if (!table || !query.Statement) RaiseStatementError("Table name expected");
    plan.Join.reset();
    plan.Target = std::make_unique<TTargetTable>(*query.Statement, *table);
    TDataCursor& cursor = plan.Target->Cursor();
    cursor.SetReadOnly(false);
    cursor.SetQuerySource(true);
    cursor.OpenCursor();
    query.NotifyTableAccess(&cursor);
    plan.Record.assign(std::max<size_t>(cursor.GetCursorRecordSize(), cursor.GetRecordSize()), 0);
    if (query.Kind != skInsert && (query.SourceTables.size() > 1 || !query.Joins.empty())) {
        TQueryContext context;
        context.Session = query.Statement->Session();
        context.Database = query.Statement->OwnerDatabase();
        TQueryStatement* statement = query.Statement;
        context.Progress = [statement](uint16_t percent, bool& abort) { statement->DoProgress(percent, abort); };
        context.Password = [statement] { return statement->DoPassword(); };
        plan.Join = std::make_unique<TQueryPlan>(query, context);
        plan.Join->OpenTables();
        // Types WHERE and the join conditions and places them on the levels.
        plan.Join->PlanJoins();
    }

    if (query.Kind == skInsert || query.Kind == skUpdate) {
        BindColumns(query, plan, *table);
        size_t values = query.UpdateValues.size();
        if (query.InsertFromSelect && query.InsertSource) values = query.InsertSource->ResultFields.size();
        if (values != plan.Columns.size()) {
            RaiseStatementError("The number of values must match the number of table columns", table->TableName);
        }
        if (!query.InsertFromSelect) TypeValues(query, plan, *table);
        plan.DirectSource = query.InsertFromSelect && query.InsertSource && CanReadDirectly(*query.InsertSource, plan);
    }
    if (query.Kind != skInsert && query.Where && !plan.Join) {
        CheckExpressionTypes(KURA_SQLPARSE, table->TableName, {}, false, true, &TDataCursor::ResolveColumn, &cursor,
                             nullptr, query.Where, "WHERE clause");
        if (query.Where->DataType != fldBOOL) {
            RaiseStatementError("WHERE or JOIN clause must be a boolean expression", table->TableName);
        }
    }
    plan.Prepared = true;
}

}  // namespace kura
