// The live result of a SELECT: the source table's own cursor serves the rows, in
// the order of an index that gives the ORDER BY, filtered by the WHERE clause,
// with the select list as its fields.
//
// The cursor keeps the table's fields as its first fields, hidden from datasets,
// so that filters, key ranges and the records written through it still address
// the table's fields by their numbers; the result columns follow, a plain column
// as a copy of its table field under the result name (reading and writing the
// same bytes of the record), any other column as a computed field evaluated from
// the record whenever it is read.
#include <algorithm>

#include "engine/core/DataCursor.h"
#include "engine/files/IndexFile.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"

namespace kura {

namespace {

bool IsPlainColumn(const TPlanColumn& c) {
    const TExpToken* v = c.Value;
    return c.Aggregate == akNone && !c.CountStar && v && v->Kind == ekColumn && v->BindSlot2 == 0 && v->BindSlot1 == 0;
}

}  // namespace

bool LiveCandidate(const TDataQuery& q) {
    if (q.LiveRequest == 0 || q.SourceTables.size() != 1 || !q.Joins.empty() || q.HasInto || q.Distinct ||
        q.HasGroupBy || q.Having || q.Top >= 0 || !q.Statement)
        return false;
    // The first query of a UNION chain receives the members' rows: a table of its own.
    if (q.HasUnion && !q.IsUnionMember) return false;
    // A sub-query or UNION member is read by the statement itself; a master only
    // when it is the statement's one query.
    if (q.IsSubQuery || q.IsUnionMember) return q.Statement->MasterQuery() != &q;
    return q.Statement->Queries().size() == 1;
}

bool CanBeLive(TDataQuery& q, TQueryPlan& plan) {
    if (!LiveCandidate(q) || q.AggregateOnly || plan.Tables.size() != 1) return false;
    for (const TPlanColumn& c : plan.Columns) {
        if (c.Aggregate != akNone || c.CountStar) return false;
        if (!IsPlainColumn(c) && (c.Desc.FieldType() == fldBLOB || q.IsSubQuery)) return false;
    }
    q.OrderIndex = FindOrderByIndex(plan);
    return q.OrderBy.empty() || q.OrderIndex != NATURAL_ORDER;
}

uint8_t FindOrderByIndex(TQueryPlan& plan) {
    if (plan.OrderFields.empty() || plan.OrderFields.size() > 16 || plan.Tables.size() != 1)
        return NATURAL_ORDER;
    TDataCursor& cursor = *plan.Tables[0].Cursor;
    std::vector<uint16_t> fields;
    bool anyText = false;
    for (const auto& [number, descending] : plan.OrderFields) {
        const TPlanColumn& c = plan.Columns[number - 1u];
        // An ordering on a computed column has no index.
        if (!IsPlainColumn(c)) return NATURAL_ORDER;
        fields.push_back(c.Value->FieldNumber);
        anyText = anyText || c.Value->DataType == fldZSTRING;
    }
    const uint8_t count = cursor.GetIndexCount();
    for (uint16_t slot = 0; slot <= count && slot < 32; ++slot) {
        if (slot == 0 && cursor.GetNoPrimaryIndex()) continue;
        TIndexDesc desc;
        cursor.GetIndexDesc(static_cast<uint8_t>(slot), desc);
        if (desc.GetFieldCount() < fields.size()) continue;
        const bool overall = desc.GetByte(ido::Descending) != 0;
        bool serves = !anyText || (desc.GetByte(ido::CaseInsensitive) != 0) == (plan.Query.OrderByNoCase != 0);
        for (size_t i = 0; serves && i < fields.size(); ++i) {
            // A field descending on its own inside a descending index: left to a sort.
            const bool own = desc.GetOption(static_cast<int>(i)) != 0;
            serves = desc.GetField(static_cast<int>(i)) == fields[i] && !(overall && own) &&
                     (overall || own) == plan.OrderFields[i].second;
        }
        if (serves) return static_cast<uint8_t>(slot);
    }
    return NATURAL_ORDER;
}

void DefineLiveResult(TQueryPlan& plan) {
    TPlanTable& table = plan.Tables[0];
    TDataCursor& cursor = *table.Cursor;
    std::vector<TFieldDesc> defs;
    std::vector<const TExpToken*> expressions;
    const uint16_t tableFields = cursor.GetCursorFieldCount();
    for (uint16_t n = 1; n <= tableFields; ++n) {
        TFieldDesc d;
        cursor.GetFieldDesc(n, d);
        d.Bytes[fdo::Hidden] = 1;
        defs.push_back(d);
        expressions.push_back(nullptr);
    }
    for (const TPlanColumn& c : plan.Columns) {
        TFieldDesc d;
        if (IsPlainColumn(c)) {
            cursor.GetFieldDesc(c.Value->FieldNumber, d);
            d.SetDescription(table.Source->TableName + "." + d.Name());
            expressions.push_back(nullptr);
        } else {
            d = c.Desc;
            d.SetComputed(1);
            d.SetFieldNo(static_cast<uint16_t>(defs.size() + 1));
            d.DerivePhysical();
            expressions.push_back(c.Field->Expression);
        }
        d.SetName(c.Field->ResultName);
        d.SetPosition(static_cast<uint16_t>(defs.size() + 1));
        defs.push_back(d);
    }
    plan.LiveFieldBase = tableFields;
    cursor.SetResultFieldDefs(defs, expressions);
}

TDataCursor* TQueryPlan::ResultCursor() const {
    if (LiveResult) return Tables[0].Cursor.get();
    return Into ? Into.get() : Result.get();
}

uint16_t TQueryPlan::ResultFieldNo(size_t column) const {
    return static_cast<uint16_t>((LiveResult ? LiveFieldBase : 0) + Columns[column].ResultNo);
}

}  // namespace kura
