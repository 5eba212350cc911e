// The hooks the SQL engine lends to type checking and evaluation.
#include "engine/expr/ExpressionOwner.h"

namespace kura {

namespace {
TQueryHooks& Hooks() {
    static TQueryHooks hooks;
    return hooks;
}
}  // namespace

void SetQueryHooks(const TQueryHooks& hooks) { Hooks() = hooks; }
const TQueryHooks& QueryHooks() { return Hooks(); }

}  // namespace kura
