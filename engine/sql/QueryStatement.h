#pragma once
// One SQL text and the queries parsed from it. The text may hold several
// statements separated by ";": ParseFirst parses the first into a fresh master
// query, ParseNext the following ones in turn. The statement is the expression
// parser's owner hooks: IN (SELECT ...) sub-queries join its query list, "?" marks
// its parameter list (at most MaxParameters).
//
// Each parse starts from new queries and an empty parameter list, so nothing of an
// earlier text survives a new one; a parse that raises leaves the queries parsed so
// far (planning never sees them: the error propagates) and no parameter marks,
// whose nodes went back to the pool with the unfinished tree.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/expr/ExpParser.h"
#include "engine/sql/QueryModel.h"

namespace kura {

class TQueryStatement : public TExpressionParserOwner {
public:
    TQueryStatement();
    ~TQueryStatement() override;
    TQueryStatement(const TQueryStatement&) = delete;
    TQueryStatement& operator=(const TQueryStatement&) = delete;

    // The statement's own database (its path), where a table named without a path
    // lives; empty until the owner sets it.
    std::string DatabasePath;

    // Loads the text and parses its first statement into a new master query.
    void ParseFirst(std::string_view text);
    // True while text follows the last parsed statement.
    bool HasMoreStatements() const;
    // Parses the next statement of the text into a new master query.
    void ParseNext();

    TExpressionParser& Tokenizer() { return FTokenizer; }
    TDataQuery* MasterQuery() const { return FQueries.empty() ? nullptr : FQueries.front().get(); }
    // The master first, then every UNION member, INSERT source and sub-query in the
    // order the parser created them.
    const std::vector<std::unique_ptr<TDataQuery>>& Queries() const { return FQueries; }
    const std::vector<TExpToken*>& Parameters() const { return FParameters; }
    uint8_t StatementKind() const { return FKind; }

    // Frees every query (and the parameter marks that pointed into them).
    void ClearQueries();
    TDataQuery* CreateMasterQuery();
    // Takes a query into the list; returns it.
    TDataQuery* AddQuery(std::unique_ptr<TDataQuery> query);

    // --- TExpressionParserOwner
    TDataQuery* ParseSubSelect(TExpressionParser& parser) override;
    void AddParameter(TExpToken* node) override;

private:
    void ParseCurrent();

    TExpressionParser FTokenizer;
    std::vector<std::unique_ptr<TDataQuery>> FQueries;
    std::vector<TExpToken*> FParameters;  // nodes inside the queries' trees
    uint8_t FKind = 0;
    int32_t FSubQueryDepth = 0;
};

}  // namespace kura
