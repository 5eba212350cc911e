// Planning of a SELECT: source cursors, the select list with its types and names,
// HAVING, GROUP BY, ORDER BY and DISTINCT, and the result table.
#include <algorithm>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/core/TableCreation.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpressionOwner.h"
#include "engine/expr/TypeCheck.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"

namespace kura {

namespace {

constexpr size_t MaxResultNameLength = 30;

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

std::string AggregatePrefix(uint8_t kind) {
    switch (kind) {
        case akSum: return "Sum Of ";
        case akRunSum: return "Running Sum Of ";
        case akMin: return "Min Of ";
        case akMax: return "Max Of ";
        case akAvg: return "Average Of ";
        case akCount: return "Count Of ";
        default: return "";
    }
}

// The alias cut to its last 30 characters, else the generated name.
std::string BaseResultName(const TResultField& f) {
    if (!f.NameIsGenerated) {
        const std::string& a = f.ResultName;
        return a.size() > MaxResultNameLength ? a.substr(a.size() - MaxResultNameLength) : a;
    }
    std::string name;
    if (f.ColumnName.empty())
        name = f.AggregateKind ? AggregatePrefix(f.AggregateKind) + "Expr" : "Expression";
    else
        name = AggregatePrefix(f.AggregateKind) + f.ColumnName;
    return name.substr(0, MaxResultNameLength);
}

std::string MakeUniqueName(const std::vector<std::string>& taken, const std::string& base) {
    std::string candidate = base;
    int32_t counter = 0;
    for (bool clash = true; clash;) {
        clash = false;
        for (const std::string& other : taken) {
            if (!SameNameText(other, candidate)) continue;
            clash = true;
            ++counter;
            const std::string suffix = "_" + std::to_string(counter);
            std::string cut = base;
            if (cut.size() + suffix.size() > MaxResultNameLength)
                cut = cut.substr(cut.size() - (MaxResultNameLength - suffix.size()));
            candidate = cut + suffix;
            break;
        }
    }
    return candidate;
}

TExpToken* NewColumnNode(const std::string& name, const std::string& correlation) {
    TExpToken* node = AllocExpToken();
    node->Kind = ekColumn;
    node->Name = name;
    node->TableName = correlation;
    node->Text = correlation.empty() ? name : correlation + "." + name;
    return node;
}

void ExpandStar(TDataQuery& q, TQueryPlan& plan) {
    TNodeList<TResultField> expanded;
    for (auto& field : q.ResultFields) {
        if (field->ColumnName != "*" || field->AggregateKind != akNone || field->Computed) {
            expanded.push_back(std::move(field));
            continue;
        }
        if (!field->NameIsGenerated)
            RaiseSqlError("Invalid use of column correlation name " + Quoted(field->ResultName) + " for " +
                          Quoted("*") + " specified in source columns");
        bool found = false;
        for (const TPlanTable& t : plan.Tables) {
            if (!field->CorrelationName.empty() && !SameNameText(field->CorrelationName, t.Source->CorrelationName))
                continue;
            found = true;
            for (uint16_t n = 1; n <= t.Cursor->GetFieldCount(); ++n) {
                TFieldDesc d;
                t.Cursor->GetFieldDesc(n, d);
                auto column = std::make_unique<TResultField>(&q);
                column->CorrelationName = t.Source->CorrelationName;
                column->SetColumnName(d.Name());
                column->ExpressionText = d.Name();
                column->Expression = NewColumnNode(d.Name(), t.Source->CorrelationName);
                expanded.push_back(std::move(column));
            }
        }
        if (!found)
            RaiseSqlError("Invalid column name " + Quoted("*") + " or table correlation name " +
                          Quoted(field->CorrelationName) + " specified in source columns");
    }
    q.ResultFields = std::move(expanded);
    if (static_cast<int32_t>(q.ResultFields.size()) > MaxResultColumns)
        RaiseSqlError("Maximum number of columns (1024) in result set exceeded");
}

// The type, size and decimals of a result column from its typed expression.
void DescribeColumn(TPlanColumn& c, TQueryPlan& plan) {
    TExpToken* root = c.Field->Expression;
    TFieldDesc& d = c.Desc;
    const bool plain = c.Aggregate == akNone && root->Kind == ekColumn && root->BindSlot1 >= 0;
    const bool sameAsArgument = (c.Aggregate == akMin || c.Aggregate == akMax) && c.Value &&
                                c.Value->Kind == ekColumn && c.Value->BindSlot1 >= 0;
    if (plain || sameAsArgument) {
        const TExpToken* column = plain ? root : c.Value;
        plan.Tables[static_cast<size_t>(column->BindSlot1)].Cursor->GetFieldDesc(column->FieldNumber, d);
        if (d.IsAutoInc()) d.SetSubType(fldstNONE);
        d.SetRequired(0);
        d.Bytes[fdo::Reserved] = 0;
        d.SetComputed(0);
    } else {
        uint8_t type = root->DataType;
        if (type == fldUNKNOWN)
            RaiseSqlError("Column expression cannot be a NULL constant, use the CAST() function to specify a data type");
        d.SetFieldType(type);
        d.SetSubType(root->DataSubtype == fldstAUTOINC ? fldstNONE : root->DataSubtype);
        int32_t size = 0;
        if (type == fldZSTRING) {
            size = root->DataSize;  // terminator included
            if (size > 251)
                RaiseSqlError("Column expression " + Quoted(c.Field->ExpressionText) +
                              " exceeds the maximum allowable field size");
            if (size <= 1) size = 251;
            size -= 1;
        } else if (type == fldBYTES || type == fldVARBYTES) {
            size = root->DataSize;
            if (size > 250)
                RaiseSqlError("Column expression " + Quoted(c.Field->ExpressionText) +
                              " exceeds the maximum allowable field size");
            if (size == 0) size = 250;
        }
        // Every other type, DECIMAL among them, has its size from its type alone
        // (a declared size would make the result table's header invalid).
        d.SetDeclaredSize(static_cast<uint8_t>(size));
        d.SetDeclaredDecimals(type == fldBCD ? root->Scale : 0);
    }
    d.SetMinValue("");
    d.SetMaxValue("");
    d.SetDefaultValue("");
}

void ResolveSelectList(TDataQuery& q, TQueryPlan& plan) {
    ExpandStar(q, plan);
    const bool hasAggregate = std::any_of(q.ResultFields.begin(), q.ResultFields.end(),
                                          [](const auto& f) { return f->AggregateKind != akNone; });
    std::vector<std::string> names;
    for (auto& field : q.ResultFields) {
        TPlanColumn c;
        c.Field = field.get();
        c.Aggregate = field->AggregateKind;
        TExpToken* root = field->Expression;
        if (!root) RaiseSqlError("Source column expression is empty");
        if (c.Aggregate != akNone) {
            TExpToken* argument = root->GetArgument(0);
            c.CountStar = c.Aggregate == akCount && argument && argument->Kind == ekColumn && argument->Name == "*";
            if (c.CountStar && !argument->TableName.empty() && plan.FindTable(argument->TableName) < 0)
                RaiseSqlError("Invalid column name " + Quoted("*") + " or table correlation name " +
                              Quoted(argument->TableName) + " specified in source columns");
            c.Value = c.CountStar ? nullptr : argument;
        } else {
            c.Value = root;
        }
        plan.TypeCheck(root, "source columns", false);
        DescribeColumn(c, plan);
        if (c.CountStar && field->NameIsGenerated) field->ColumnName = "*";
        const std::string name = MakeUniqueName(names, BaseResultName(*field));
        names.push_back(name);
        c.Desc.SetName(name);
        field->ResultName = name;
        // A plain column, or an aggregate over one: anything else counts as an
        // expression for the aggregate rule.
        if (hasAggregate && c.Aggregate == akNone && ContainsColumn(root) && !q.HasGroupBy && !q.IsSubQuery &&
            !q.IsUnionMember)
            RaiseSqlError("Invalid use of aggregate function(s), the necessary GROUP BY clause is missing");
        c.ResultNo = static_cast<uint16_t>(plan.Columns.size() + 1);
        plan.Columns.push_back(std::move(c));
    }
}

// Hidden columns: per AVG a counter, and for AVG over integers, dates and times
// a 64-bit sum, so that many large values cannot overflow a 32-bit column. They
// follow the result columns and are marked hidden, so datasets leave them out.
std::vector<TFieldDesc> BuildResultDefs(TQueryPlan& plan) {
    std::vector<TFieldDesc> defs;
    for (TPlanColumn& c : plan.Columns) defs.push_back(c.Desc);
    int32_t avg = 0;
    for (TPlanColumn& c : plan.Columns) {
        if (c.Aggregate != akAvg) continue;
        ++avg;
        TFieldDesc count;
        count.SetName("Sys__Avg__Count" + std::to_string(avg));
        count.SetFieldType(fldINT32);
        count.Bytes[fdo::Hidden] = 1;
        defs.push_back(count);
        c.CountNo = static_cast<uint16_t>(defs.size());
        const uint8_t argumentType = c.Value ? c.Value->DataType : fldUNKNOWN;
        if (argumentType == fldDATE || argumentType == fldTIME || argumentType == fldINT16 ||
            argumentType == fldINT32 || argumentType == fldUINT16 || argumentType == fldINT64) {
            TFieldDesc sum;
            sum.SetName("Sys__Avg__Sum" + std::to_string(avg));
            sum.SetFieldType(fldINT64);
            sum.Bytes[fdo::Hidden] = 1;
            defs.push_back(sum);
            c.SumNo = static_cast<uint16_t>(defs.size());
        }
    }
    for (size_t i = 0; i < defs.size(); ++i) {
        defs[i].SetFieldNo(static_cast<uint16_t>(i + 1));
        defs[i].SetPosition(static_cast<uint16_t>(i + 1));
    }
    // Checked as any new table's definition is, so that a column the engine cannot
    // store is refused for what it is, never found "corrupt" when the table opens.
    TDefinitionContext context;
    context.Database = plan.Context.Database ? plan.Context.Database->GetDatabaseName() : std::string();
    ValidateFieldDefs(context, false, defs, true);
    for (TPlanColumn& c : plan.Columns) {
        c.Desc = defs[c.ResultNo - 1u];
        const TExpToken* v = c.Value;
        // A row's share of SUM, RUNSUM, MIN or MAX over a plain column is that
        // column's value, so it copies like the column itself.
        const bool valueAggregate =
            c.Aggregate == akSum || c.Aggregate == akRunSum || c.Aggregate == akMin || c.Aggregate == akMax;
        if ((c.Aggregate != akNone && !valueAggregate) || !v || v->Kind != ekColumn || v->BindSlot2 != 0 ||
            v->BindSlot1 < 0)
            continue;
        TFieldDesc source;
        plan.Tables[static_cast<size_t>(v->BindSlot1)].Cursor->GetFieldDesc(v->FieldNumber, source);
        if (source.IsAutoInc() || source.Computed() || source.FieldType() == fldBLOB ||
            source.FieldType() != c.Desc.FieldType() || source.StoredSize() != c.Desc.StoredSize() ||
            source.StoredDecimals() != c.Desc.StoredDecimals())
            continue;
        c.DirectCopy = true;
        c.SourceLevel = v->BindSlot1;
        c.SourceOffset = source.Offset();
    }
    return defs;
}

// The password of an INTO table's ENCRYPTED WITH; empty when none was given (an
// empty password leaves the table unencrypted).
std::string IntoPassword(const TDataQuery& q) { return q.EncryptionGiven && q.Encrypted ? q.Password : std::string(); }

// Creates and opens a table of the definition: exclusive, marked as a query
// result, with temporary files unless it is a named INTO table. With a password the
// table is encrypted with it, or refused (10015) when the header could not keep it:
// the rows asked to be encrypted are never written as plain text.
std::unique_ptr<TDataCursor> CreateTableCursor(TQueryPlan& plan, TDataDirectory* database, std::string name,
                                               bool memory, bool temporary, const std::vector<TFieldDesc>& fields,
                                               const std::string& password = {}) {
    TTableDefinition def;
    def.Fields = fields;
    def.LocaleId = plan.LocaleId;
    def.SortId = plan.SortId;
    if (!password.empty()) {
        const std::string trimmed = TrimDefinitionName(password);
        if (trimmed.empty() || password.size() > TABLE_PASSWORD_LENGTH)
            RaiseEngineError(KURA_INVALIDPASSWORD, {}, {}, database->GetDatabaseName(), name);
        def.Encrypted = true;
        def.Password = password;
    }
    // An INTO table never replaces a table that exists: its creation is refused.
    if (!temporary && database->TableExists(name, memory))
        RaiseEngineError(KURA_TABLEEXISTS, {}, {}, database->GetDatabaseName(), name);
    TDataTable* table = nullptr;
    const int32_t code = database->CreateTable(table, name, memory, temporary, def);
    if (code != 0 || !table) RaiseEngineError(static_cast<uint32_t>(code ? code : KURA_OSUNKNOWN), {}, {}, {}, name);
    name = table->GetName();
    // The session knows the password for the open only, unless it knew it before.
    TDataSession* session = plan.Context.Session;
    const bool lend = !password.empty() && session && !session->PasswordExists(password);
    std::unique_ptr<TDataCursor> cursor;
    try {
        database->CloseTable(table, false, false, false);
        cursor = std::make_unique<TDataCursor>(database);
        cursor->SetTableName(name);
        cursor->SetExclusive(true);
        cursor->SetInMemory(memory);
        cursor->SetTemporaryFiles(temporary);
        cursor->SetQueryResult(true);
        if (lend) session->AddPassword(password);
        try {
            cursor->OpenCursor();
        } catch (...) {
            if (lend) session->RemovePassword(password);
            throw;
        }
        if (lend) session->RemovePassword(password);
        // The file keeps no hidden mark: the cursor's fields carry it.
        if (std::any_of(fields.begin(), fields.end(), [](const TFieldDesc& d) { return d.Bytes[fdo::Hidden] != 0; })) {
            std::vector<TFieldDesc> own(cursor->GetCursorFieldCount());
            for (size_t i = 0; i < own.size() && i < fields.size(); ++i) {
                cursor->GetFieldDesc(static_cast<uint16_t>(i + 1), own[i]);
                own[i].Bytes[fdo::Hidden] = fields[i].Bytes[fdo::Hidden];
            }
            cursor->SetResultFieldDefs(own, {});
        }
    } catch (...) {
        // The files exist from the create on, but only an open cursor deletes temporary
        // ones as it closes: a table that never got that far goes here, or the temporary
        // folder (or the INTO table's folder) keeps a half-made table for good.
        cursor.reset();
        try {
            if (database->TableExists(name, memory)) database->DeleteTable(name, memory);
        } catch (...) {
            // The statement's own error is what the caller must see.
        }
        throw;
    }
    return cursor;
}

// The database of a result table that is not a named INTO table: the in-memory
// database or the session's own folder in its private directory, which a program
// killed while it builds a result leaves for the next one to clear.
TDataDirectory* OpenWorkDatabase(const TQueryContext& context, bool memory) {
    TDataSession* session = context.Session;
    if (memory) return NotOwnTwice(context, OpenMemoryDatabase(*session));
    const std::string work = session->GetWorkPath();
    return NotOwnTwice(context, session->OpenDataDirectory(work, work));
}

std::string TempTableName(TDataDirectory* database, bool memory) {
    std::string name = database->GetTempTableName(memory);
    if (name.size() > 4) name.resize(name.size() - 4);
    return name;
}

// The visible result columns: the hidden AVG helpers left out.
std::vector<TFieldDesc> VisibleDefs(const std::vector<TFieldDesc>& defs) {
    std::vector<TFieldDesc> visible;
    for (const TFieldDesc& d : defs)
        if (d.Bytes[fdo::Hidden] == 0) visible.push_back(d);
    return visible;
}

void CreateResultTable(TDataQuery& q, TQueryPlan& plan) {
    const bool memory = q.InMemory != 0;
    plan.ResultDefs = BuildResultDefs(plan);
    const std::vector<TFieldDesc> visible = VisibleDefs(plan.ResultDefs);
    const bool helpers = visible.size() != plan.ResultDefs.size();
    if (q.HasInto && !q.IntoTableName.empty()) {
        // A name without a path lives in the statement's own database, which may be
        // the in-memory one.
        TSourceTable target(&q);
        target.SetTableName(q.IntoTableName, memory, q.Statement ? q.Statement->DatabasePath : std::string());
        TDataDirectory* database = OpenDatabaseOf(plan.Context, target);
        // The AVG helpers never reach a stored table: the rows are worked out in a
        // temporary table and copied into the INTO table once finished.
        if (helpers) {
            plan.IntoDatabase = database;
            plan.Into =
                CreateTableCursor(plan, database, target.TableName, target.InMemory != 0, false, visible, IntoPassword(q));
        } else {
            plan.ResultDatabase = database;
            plan.ResultIsInto = true;
            plan.OwnsResultDatabase = database != plan.Context.Database;
            plan.Result = CreateTableCursor(plan, database, target.TableName, target.InMemory != 0, false,
                                           plan.ResultDefs, IntoPassword(q));
            return;
        }
    }
    plan.ResultDatabase = OpenWorkDatabase(plan.Context, memory);
    plan.OwnsResultDatabase = plan.ResultDatabase != plan.Context.Database;
    plan.Result = CreateTableCursor(plan, plan.ResultDatabase, TempTableName(plan.ResultDatabase, memory), memory,
                                   true, plan.ResultDefs);
}

}  // namespace

std::unique_ptr<TDataCursor> CreateScratchResult(TQueryPlan& plan, TDataDirectory*& database) {
    const bool memory = plan.Query.InMemory != 0;
    database = OpenWorkDatabase(plan.Context, memory);
    try {
        return CreateTableCursor(plan, database, TempTableName(database, memory), memory, true, plan.ResultDefs);
    } catch (...) {
        if (database != plan.Context.Database) plan.Context.Session->CloseDataDirectory(database);
        database = nullptr;
        throw;
    }
}

namespace {

// An ORDER BY or GROUP BY item as a result column number. ORDER BY may name an
// aggregate's column (ORDER BY Kensu DESC after COUNT(*) AS Kensu); GROUP BY may not.
uint16_t ResolveItem(const TQueryPlan& plan, const std::string& name, const std::string& correlation,
                     uint16_t number, const char* clause, bool aggregatesAllowed) {
    const auto count = static_cast<uint16_t>(plan.Columns.size());
    if (number != 0 || name.empty()) {
        if (number < 1 || number > count)
            RaiseSqlError("Invalid column number " + Quoted(std::to_string(number)) + " specified in " + clause);
        return number;
    }
    for (const TPlanColumn& c : plan.Columns) {
        if (c.Aggregate != akNone && !aggregatesAllowed) continue;
        const TResultField& f = *c.Field;
        if (!correlation.empty() && !SameNameText(correlation, f.CorrelationName)) continue;
        if (SameNameText(name, f.ResultName) || (!f.Computed && SameNameText(name, f.ColumnName))) return c.ResultNo;
    }
    RaiseSqlError("Invalid column name " + Quoted(name) + " or table correlation name " + Quoted(correlation) +
                  " specified in " + clause);
}

void ResolveOrdering(TDataQuery& q, TQueryPlan& plan) {
    if (static_cast<int32_t>(q.OrderBy.size()) > MaxOrderByColumns)
        RaiseSqlError("Maximum number of columns (1024) in ORDER BY clause exceeded");
    for (const auto& o : q.OrderBy) {
        const uint16_t n = ResolveItem(plan, o->ColumnName, o->CorrelationName, o->ColumnNumber, "ORDER BY clause", true);
        if (o->ColumnNumber != 0 && plan.Columns[n - 1u].Desc.FieldType() == fldBLOB)
            RaiseSqlError("Invalid column number " + Quoted(std::to_string(n)) + " specified in ORDER BY clause");
        plan.OrderFields.emplace_back(n, o->Descending != 0);
    }
    if (q.HasGroupBy && !q.AggregateOnly) {
        if (static_cast<int32_t>(q.GroupBy.size()) > MaxGroupByColumns)
            RaiseSqlError("Maximum number of columns (1024) in GROUP BY clause exceeded");
        for (const auto& g : q.GroupBy) {
            const uint16_t n = ResolveItem(plan, g->ColumnName, g->CorrelationName, g->ColumnNumber, "GROUP BY clause", false);
            if (plan.Columns[n - 1u].Desc.FieldType() == fldBLOB)
                RaiseSqlError("Invalid BLOB column " + Quoted(plan.Columns[n - 1u].Field->ResultName) +
                              " specified in GROUP BY clause");
            plan.GroupFields.push_back(n);
        }
        // A column that is neither a key nor an aggregate keeps the value of its
        // group's first row.
        bool same = plan.OrderFields.size() == plan.GroupFields.size() && !q.OrderByNoCase;
        for (size_t i = 0; same && i < plan.OrderFields.size(); ++i)
            same = plan.OrderFields[i].first == plan.GroupFields[i] && !plan.OrderFields[i].second;
        plan.OrderServedByGroup = same;
    } else if (q.Distinct) {
        for (const TPlanColumn& c : plan.Columns)
            if (c.Desc.FieldType() == fldBLOB)
                RaiseSqlError("Invalid BLOB column " + Quoted(c.Field->ResultName) + " specified in DISTINCT clause");
        bool same = plan.OrderFields.size() == plan.Columns.size() && !q.OrderByNoCase;
        for (size_t i = 0; same && i < plan.OrderFields.size(); ++i)
            same = plan.OrderFields[i].first == i + 1 && !plan.OrderFields[i].second;
        plan.OrderServedByGroup = same;
    }
}

// The same expression as written: typing (done on one side only) aside.
bool SameShape(const TExpToken* a, const TExpToken* b) {
    if (!a || !b) return a == b;
    if (a->Kind != b->Kind || a->Code != b->Code || !SameNameText(a->Name, b->Name) ||
        !SameNameText(a->TableName, b->TableName) || a->Arguments.size() != b->Arguments.size())
        return false;
    if (a->Kind == ekConstant && a->Text != b->Text) return false;
    if (!SameShape(a->Left, b->Left) || !SameShape(a->Right, b->Right)) return false;
    for (size_t i = 0; i < a->Arguments.size(); ++i)
        if (!SameShape(a->Arguments[i], b->Arguments[i])) return false;
    return true;
}

// Aggregates of HAVING become references to the result column that computes the
// same aggregate.
void BindHavingAggregates(TQueryPlan& plan, TExpToken* node) {
    if (!node) return;
    if (node->Kind == ekFunction && IsAggregateCode(node->Code)) {
        for (const TPlanColumn& c : plan.Columns) {
            const TExpToken* e = c.Field->Expression;
            if (c.Aggregate == akNone || !e || e->Code != node->Code) continue;
            if (!SameShape(e->GetArgument(0), node->GetArgument(0))) continue;
            for (TExpToken*& a : node->Arguments) FreeExpression(a);
            node->Arguments.clear();
            node->Kind = ekColumn;
            node->Code = 0;
            node->Name = c.Field->ResultName;
            node->TableName.clear();
            node->PlannerFlag1 = 1;  // a result column by name
            return;
        }
        RaiseSqlError("Expression in HAVING clause not found in source columns");
    }
    BindHavingAggregates(plan, node->Left);
    BindHavingAggregates(plan, node->Right);
    for (TExpToken* a : node->Arguments) BindHavingAggregates(plan, a);
}

}  // namespace

void PrepareSelectQuery(TDataQuery& q, const TQueryContext& context) {
    RegisterSqlQueryHooks();
    q.Plan.reset();
    auto plan = std::make_shared<TQueryPlan>(q, context);
    if (q.Distinct && q.HasGroupBy) q.Distinct = 0;
    plan->OpenTables();
    ResolveSelectList(q, *plan);
    // The members after this one are planned already (the statement plans its
    // queries from the last to the first).
    if (q.NextUnion && q.NextUnion->Plan) {
        const TQueryPlan& member = *q.NextUnion->Plan;
        const std::string kind = q.NextUnion->UnionAll ? "UNION ALL" : "UNION";
        if (member.Columns.size() != plan->Columns.size())
            RaiseSqlError("The number of columns  in the " + kind +
                          " query must match the  number of columns in the master query");
        for (size_t i = 0; i < member.Columns.size(); ++i) {
            if (member.Columns[i].Desc.FieldType() == plan->Columns[i].Desc.FieldType()) continue;
            RaiseSqlError("Type mismatch between column expression " + Quoted(member.Columns[i].Field->ExpressionText) +
                          " in the " + kind + " query and column expression " +
                          Quoted(plan->Columns[i].Field->ExpressionText) + " in the master query");
        }
    }
    // UNION without ALL sorts the rows to drop duplicates, which no BLOB column
    // takes part in: refused here, as DISTINCT does, before any row is read.
    if (q.HasUnion && !q.IsUnionMember) {
        bool distinct = false;
        for (const TDataQuery* member = q.NextUnion; member; member = member->NextUnion)
            distinct = distinct || member->UnionAll == 0;
        for (const TPlanColumn& c : plan->Columns)
            if (distinct && c.Desc.FieldType() == fldBLOB)
                RaiseSqlError("Invalid BLOB column " + Quoted(c.Field->ResultName) + " specified in UNION clause");
    }
    if (!q.HasGroupBy) {
        if (q.Having) RaiseSqlError("A GROUP BY clause must exist in order to use the HAVING clause");
        bool anyAggregate = false, onlyAggregates = true;
        for (const TPlanColumn& c : plan->Columns) {
            if (c.Aggregate != akNone)
                anyAggregate = true;
            else if (ContainsColumn(c.Field->Expression))
                onlyAggregates = false;
        }
        q.AggregateOnly = anyAggregate && onlyAggregates ? 1 : 0;
        if (q.AggregateOnly) q.HasGroupBy = 1;
        q.CountStarOnly = (q.AggregateOnly && plan->Tables.size() == 1 && plan->Columns.size() == 1 &&
                           plan->Columns[0].CountStar)
                              ? 1
                              : 0;
    }
    q.OrderIndex = NATURAL_ORDER;
    const bool candidate = LiveCandidate(q);
    if (candidate) ResolveOrdering(q, *plan);
    plan->LiveResult = candidate && CanBeLive(q, *plan);
    q.Live = q.LiveCompanion = plan->LiveResult ? 1 : 0;
    plan->PlanJoins();
    if (plan->LiveResult) {
        DefineLiveResult(*plan);
        // The source cursor is the result: the dataset does not free it.
        if (!q.IsSubQuery && !q.IsUnionMember) plan->Tables[0].Cursor->SetQueryResult(true);
        q.Plan = std::move(plan);
        return;
    }
    if (q.Having) {
        BindHavingAggregates(*plan, q.Having);
        plan->TypeCheck(q.Having, "HAVING clause", true);
        if (q.Having->DataType != fldBOOL) RaiseSqlError("HAVING clause must be a boolean expression");
    }
    if (!candidate) ResolveOrdering(q, *plan);
    CreateResultTable(q, *plan);
    q.Plan = std::move(plan);
}

}  // namespace kura
