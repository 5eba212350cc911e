#pragma once
// What an expression reaches beyond the values of the current record: the
// full-text search of the table a column belongs to, the last auto-increment value
// of a table, and the sub-selects of the SQL engine. The expression library lies
// below the cursor and the SQL engine, so they lend these services through the
// objects and hooks declared here instead of being included.
//
// TExpToken::Owner of a column (and of LASTAUTOINC, IDENT_CURRENT) holds a
// TExpressionOwner: store it with SetTokenOwner and read it with TokenOwner, so
// that the pointer always passes through this one type.
#include <cstdint>

#include "engine/expr/ExpToken.h"

namespace kura {

class TExpressionOwner {
public:
    virtual ~TExpressionOwner() = default;
    // TEXTSEARCH: whether the field text holds the search words under the table's
    // text-index rules.
    virtual bool ExpressionTextSearch(const char* search, int32_t searchLength, const char* text,
                                      int32_t textLength) = 0;
    // TEXTOCCURS: how often the search words occur in the field text.
    virtual int32_t ExpressionTextOccurs(const char* search, int32_t searchLength, const char* text,
                                         int32_t textLength) = 0;
    // LASTAUTOINC, IDENT_CURRENT.
    virtual int64_t ExpressionLastAutoInc() = 0;
};

inline void SetTokenOwner(TExpToken& node, TExpressionOwner* owner) { node.Owner = owner; }
inline TExpressionOwner* TokenOwner(const TExpToken& node) { return static_cast<TExpressionOwner*>(node.Owner); }

// The SQL engine's part in sub-selects and in the table functions, registered once
// by the SQL library; without it a sub-select matches nothing and has no column.
struct TQueryHooks {
    // Result columns of a sub-select's query.
    int32_t (*ColumnCount)(TDataQuery* query) = nullptr;
    // Types a sub-select node from its query's one column; false when it cannot.
    bool (*ResolveColumn)(TDataQuery* query, TExpToken& node) = nullptr;
    // IN (SELECT ...): whether the query's result holds the value.
    bool (*Contains)(TDataQuery* query, const TExpToken& value) = nullptr;
    // LASTAUTOINC, IDENT_CURRENT during type checking: when the resolver data is a
    // query, add the named table to it and make it the node's owner.
    void (*AddFunctionTable)(void* resolverData, TExpToken& node, const char* tableName) = nullptr;
};

void SetQueryHooks(const TQueryHooks& hooks);
const TQueryHooks& QueryHooks();

}  // namespace kura
