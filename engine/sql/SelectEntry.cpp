// The query model's SELECT entry points, through which the statement object plans
// and runs a SELECT with its own session, database and progress event.
#include "engine/sql/QueryPlan.h"
#include "engine/sql/QueryStatement.h"

namespace kura {

void TDataQuery::Prepare() {
    if (Kind != skSelect) return;
    TQueryContext context;
    context.Session = Statement->Session();
    context.Database = Statement->OwnerDatabase();
    TQueryStatement* statement = Statement;
    context.Progress = [statement](uint16_t percent, bool& abort) { statement->DoProgress(percent, abort); };
    context.Password = [statement] { return statement->DoPassword(); };
    PrepareSelectQuery(*this, context);
}

void TDataQuery::Execute(TDataCursor*& result) {
    result = nullptr;
    if (Kind != skSelect) return;
    result = ExecuteSelectQuery(*this);
}

}  // namespace kura
