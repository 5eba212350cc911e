#pragma once
// What the SQL window lets through. The text may hold several statements separated by
// ";"; every one of them is looked at, after its leading blanks and "/* */" comments,
// so a schema change cannot hide behind a harmless first statement, a comment or an
// empty first line. Semicolons inside quoted strings, quoted names, [names] and
// comments do not separate statements.
//
// CheckSql answers, in this order: a refusal for the first statement that begins with
// CREATE, ALTER or DROP (in any letter case); otherwise the verdict of the text's first
// line (SELECT runs as a query, DELETE / UPDATE / INSERT change data, anything else is
// an error); whether any statement begins with DELETE, UPDATE or INSERT; and how many
// statements the text holds. A text whose first line begins with SELECT runs as one
// query: the engine gives the rows of a text's last statement only, so one that goes on
// after its query is refused before it runs (a SELECT ... INTO, which makes a table,
// passes as a query).
//
// A text manages its own transaction when one of its statements is START TRANSACTION,
// COMMIT or ROLLBACK, or a change with a COMMIT clause (COMMIT INTERVAL / FLUSH, which
// commits on its own). Words count as the statement's words only: the same word in a
// quoted string, a quoted name or a comment does not.
#include <string>
#include <vector>

namespace app {

enum class TSqlKind { Empty, RefusedCreate, RefusedAlter, RefusedDrop, Select, Change, Unknown };

struct TSqlVerdict {
    TSqlKind Kind = TSqlKind::Empty;
    bool ChangesData = false;
    bool ManagesTransaction = false;
    int Statements = 0;
};

// The statements of a text, each without its leading blanks and comments.
std::vector<std::string> SplitStatements(const std::string& text);
// The words of a statement in upper case, outside strings, quoted names and comments.
std::vector<std::string> StatementWords(const std::string& statement);
TSqlVerdict CheckSql(const std::string& text);

}  // namespace app
