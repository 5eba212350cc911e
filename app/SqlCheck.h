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
// an error); whether any statement begins with DELETE, UPDATE or INSERT; how many
// statements the text holds, and whether every one of them is a query (its first word
// SELECT). A text whose first line begins with SELECT is opened as a query: the engine
// runs each statement and gives the rows of the last one. A text of queries only runs
// so (a SELECT ... INTO, which makes a table, is a query); one where a statement that
// is not a query follows is refused before anything runs, since that statement would
// be done and then reported as a failure for want of rows to show.
//
// A query that makes a table in the database's folder (SELECT ... INTO a name that is
// not MEMORY ...) changes the database as a change does: a start that may not write
// there refuses it.
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
    bool OnlyQueries = false;
    bool MakesTable = false;
};

// The statements of a text, each without its leading blanks and comments.
std::vector<std::string> SplitStatements(const std::string& text);
// The words of a statement in upper case, outside strings, quoted names and comments.
std::vector<std::string> StatementWords(const std::string& statement);
TSqlVerdict CheckSql(const std::string& text);

}  // namespace app
