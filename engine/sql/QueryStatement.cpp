#include "engine/sql/QueryStatement.h"

#include "engine/errors/EngineErrors.h"
#include "engine/sql/SourceTable.h"

namespace kura {

TQueryStatement::TQueryStatement() : FTokenizer(this, this) {
    FTokenizer.ErrorCode = KURA_SQLPARSE;
    FTokenizer.ContextName = "SQL statement";
}

TQueryStatement::~TQueryStatement() {
    FreeRemote();
    ClearQueries();
    if (FOwnerDatabase) FOwnerDatabase->RemoveStatement(this);
}

void TQueryStatement::ClearQueries() {
    FParameters.clear();
    FBoundCount = 0;
    // The plans hold cursors and copies of the queries' trees: first out.
    FChangePlans.clear();
    // Later queries may be referred to by earlier ones' sub-select nodes: free from
    // the end so no tree outlives the query it names.
    while (!FQueries.empty()) FQueries.pop_back();
}

TDataQuery* TQueryStatement::CreateMasterQuery() {
    return AddQuery(std::make_unique<TDataQuery>(this));
}

TDataQuery* TQueryStatement::AddQuery(std::unique_ptr<TDataQuery> query) {
    FQueries.push_back(std::move(query));
    return FQueries.back().get();
}

void TQueryStatement::ParseFirst(std::string_view text) {
    ClearQueries();
    FKind = 0;
    FSubQueryDepth = 0;
    FTokenizer.ErrorCode = KURA_SQLPARSE;
    FTokenizer.ErrorObjectName.clear();
    FTokenizer.ErrorTableName.clear();
    FTokenizer.ContextName = "SQL statement";
    FTokenizer.SetText(text);
    FTokenizer.NextToken();
    ParseCurrent();
}

bool TQueryStatement::HasMoreStatements() const { return !FTokenizer.TokenKindIs(tkEnd); }

void TQueryStatement::ParseNext() {
    ClearQueries();
    FKind = 0;
    FSubQueryDepth = 0;
    FTokenizer.ContextName = "SQL statement";
    ParseCurrent();
}

void TQueryStatement::ParseCurrent() {
    TDataQuery* master = CreateMasterQuery();
    try {
        master->ParseStatement(false, false, nullptr);
    } catch (...) {
        // The marks went back to the pool with the unfinished tree.
        FParameters.clear();
        FBoundCount = 0;
        FTokenizer.ContextName = "SQL statement";
        throw;
    }
    FKind = master->Kind;
}

TDataQuery* TQueryStatement::ParseSubSelect(TExpressionParser& parser) {
    if (FSubQueryDepth >= MaxSubQueryNesting) {
        parser.RaiseError("Maximum nesting of sub-queries (" + std::to_string(MaxSubQueryNesting) + ") exceeded");
    }
    TDataQuery* query = AddQuery(std::make_unique<TDataQuery>(this));
    // The clause that holds the sub-select names its context again afterwards.
    const std::string context = parser.ContextName;
    ++FSubQueryDepth;
    try {
        query->ParseStatement(true, false, nullptr);
        query->LiveRequest = 1;
    } catch (...) {
        --FSubQueryDepth;
        throw;
    }
    --FSubQueryDepth;
    parser.ContextName = context;
    return query;
}

void TQueryStatement::AddParameter(TExpToken* node) {
    if (static_cast<int32_t>(FParameters.size()) >= MaxParameters) {
        FTokenizer.RaiseError("Maximum number of parameters (" + std::to_string(MaxParameters) + ") exceeded");
    }
    FParameters.push_back(node);
}

}  // namespace kura

