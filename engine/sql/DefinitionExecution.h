#pragma once
// Running CREATE TABLE, ALTER TABLE, CREATE INDEX, DROP TABLE and DROP INDEX: the
// column and index definitions of the query become the engine's field and index
// descriptors, and the engine core creates, restructures, indexes or deletes the
// table. Each statement works on its own exclusive cursor, closed again before it
// returns or raises.
//
// Messages are KURA_SQLPARSE; errors of the engine calls (table in use, exists, no
// such table, key violations while restructuring) keep their own codes. IF NOT
// EXISTS and IF EXISTS turn "already there" and "not there" into silent success.
// A statement that fails changes nothing: every check is made before the engine
// call, which itself leaves the table as it was when it fails.
#include "engine/sql/QueryModel.h"

namespace kura {

// Runs a query of kind skCreateTable .. skDropIndex.
void ExecuteDefinition(TDataQuery& query);

}  // namespace kura
