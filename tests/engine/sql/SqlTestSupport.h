#pragma once
// Parse runs for the SQL parser tests: a statement that either parsed or holds the
// engine error it raised, and a one-line description of a query model that the
// table-driven tests compare with.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "engine/errors/EngineErrors.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"
#include "tests/engine/expr/ExprTestSupport.h"

namespace kura::sqltest {

using exprtest::Dump;
using exprtest::PoolScope;

struct SqlOutcome {
    std::unique_ptr<TQueryStatement> Statement = std::make_unique<TQueryStatement>();
    TEngineErrorCode Code = 0;
    std::string Message;
    TDataQuery* Master() const { return Statement->MasterQuery(); }
};

inline SqlOutcome ParseSql(std::string_view text) {
    SqlOutcome outcome;
    outcome.Statement->Tokenizer().Clock = [] { return 45000.5; };
    try {
        outcome.Statement->ParseFirst(text);
    } catch (const EKuraEngineError& e) {
        outcome.Code = e.ErrorCode();
        outcome.Message = e.ErrorContext(ctxMessage);
    }
    return outcome;
}

// The message of the error a text raises ("" when it parses).
inline std::string ErrorOf(std::string_view text) { return ParseSql(text).Message; }

inline std::string ItemName(const std::string& correlation, const std::string& column, uint16_t number) {
    if (number) return "#" + std::to_string(number);
    return correlation.empty() ? column : correlation + "." + column;
}

inline const char* AggregateName(uint8_t kind) {
    static const char* const names[] = {"", "SUM", "RUNSUM", "MIN", "MAX", "AVG", "COUNT"};
    return kind < 7 ? names[kind] : "?";
}

// kind, result columns, INTO, tables, joins, WHERE, GROUP BY, HAVING, ORDER BY,
// options and the targets of the data-changing statements, each part present only
// when the query has it.
inline std::string Describe(const TDataQuery& q) {
    std::string s(StatementName(q.Kind));
    auto add = [&](const std::string& part) { s += " " + part; };
    if (q.Distinct) add("distinct");
    if (q.SelectAll) add("all*");
    if (!q.ResultFields.empty()) {
        std::string cols;
        for (const auto& f : q.ResultFields) {
            std::string c;
            if (f->Computed) {
                c = "=" + Dump(f->Expression);
            } else {
                c = ItemName(f->CorrelationName, f->ColumnName, 0);
                if (f->AggregateKind) c = std::string(AggregateName(f->AggregateKind)) + "(" + c + ")";
            }
            if (!f->ResultName.empty()) c += (f->NameIsGenerated ? ":" : "@") + f->ResultName;
            cols += (cols.empty() ? "" : ",") + c;
        }
        add("cols[" + cols + "]");
    }
    if (q.HasInto) add(std::string("into[") + (q.InMemory ? "mem:" : "") + q.IntoTableName + "]");
    if (!q.SourceTables.empty()) {
        std::string tables;
        for (const auto& t : q.SourceTables) {
            std::string d = std::to_string(t->TableNumber) + ":" + (t->InMemory ? "mem:" : "");
            if (!t->Database.empty() && !t->InMemory) d += t->Database + "\\";
            d += t->TableName;
            if (t->CorrelationName != t->TableName) d += " " + t->CorrelationName;
            tables += (tables.empty() ? "" : ",") + d;
        }
        add("from[" + tables + "]");
    }
    for (const auto& j : q.Joins) {
        static const char* const kinds[] = {"link", "inner", "left", "right"};
        add(std::string(kinds[j->Kind & 3]) + "[" + j->Table->CorrelationName + " on " + Dump(j->Condition) + "]");
    }
    if (q.SeveralTables) add("joined");
    if (q.Where) add("where[" + Dump(q.Where) + "]");
    if (q.HasGroupBy) {
        std::string g;
        for (const auto& f : q.GroupBy) g += (g.empty() ? "" : ",") + ItemName(f->CorrelationName, f->ColumnName, f->ColumnNumber);
        add("group[" + g + "]");
    }
    if (q.Having) add("having[" + Dump(q.Having) + "]");
    if (q.HasOrderBy) {
        std::string o;
        for (const auto& f : q.OrderBy) {
            o += (o.empty() ? "" : ",") + ItemName(f->CorrelationName, f->ColumnName, f->ColumnNumber) +
                 (f->Descending ? " desc" : "");
        }
        add("order[" + o + "]" + (q.OrderByNoCase ? " nocase" : ""));
    }
    if (q.Top >= 0) add("top " + std::to_string(q.Top));
    if (q.WithLocks) add("locks");
    if (q.LanguageGiven) add("lang " + std::to_string(q.LanguageId));
    if (q.SortGiven) add("sort " + std::to_string(q.SortId));
    if (q.EncryptionGiven) add("password[" + q.Password + "]");
    if (q.NoJoinOptimize) add("nojoinopt");
    if (q.NoAutoInc) add("noautoinc");
    if (q.CommitIntervalGiven) add("interval " + std::to_string(q.CommitInterval));
    if (q.CommitFlush) add("flush");
    if (q.HasUnion) add(std::string("union") + (q.NextUnion && q.NextUnion->UnionAll ? " all" : ""));
    if (!q.UpdateFields.empty()) {
        std::string f;
        for (const auto& u : q.UpdateFields) f += (f.empty() ? "" : ",") + ItemName(u->CorrelationName, u->ColumnName, 0);
        add("set[" + f + "]");
    }
    if (!q.UpdateValues.empty()) {
        std::string v;
        for (const auto& u : q.UpdateValues) v += (v.empty() ? "" : ",") + Dump(u->Expression);
        add("values[" + v + "]");
    }
    if (q.InsertFromSelect) add("from-select");
    return s;
}

inline std::string DescribeText(std::string_view text) {
    SqlOutcome outcome = ParseSql(text);
    if (outcome.Code) return "error: " + outcome.Message;
    return Describe(*outcome.Master());
}

}  // namespace kura::sqltest
