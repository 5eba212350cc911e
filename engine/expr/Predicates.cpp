// The extended predicates: LIKE, BETWEEN and IN with a value list or a sub-select.
#include <string>

#include "engine/expr/EvaluateInternal.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpressionOwner.h"
#include "engine/expr/Operators.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/Routines.h"

namespace kura::evalimpl {

using namespace exv;

namespace {

bool IsTrue(const TExpToken& node) { return Load<int16_t>(node) != 0; }

bool Like(const TExpToken& node, const TEvalContext& c) {
    TOperand value(node.GetArgument(0), c);
    TOperand pattern(node.GetArgument(1), c);
    if (value->IsNull != 0 || pattern->IsNull != 0) return false;
    const std::string text(TextView(*value));
    const std::string mask(TextView(*pattern));
    return MatchLikePattern(c.LocaleId, c.SortId, text.c_str(), mask.c_str());
}

bool InList(const TExpToken& node, TExpToken& result, const TEvalContext& c) {
    TOperand value(node.GetArgument(0), c);
    for (int32_t i = 1; i < node.ArgumentCount(); ++i) {
        TOperand member(node.GetArgument(i), c);
        EvaluateBinaryOperator(opEqual, *value, *member, result, c.LocaleId, c.SortId);
        if (IsTrue(result)) return true;
    }
    return false;
}

bool Between(const TExpToken& node, TExpToken& result, const TEvalContext& c) {
    TOperand value(node.GetArgument(0), c);
    {
        TOperand low(node.GetArgument(1), c);
        EvaluateBinaryOperator(opGreaterEqual, *value, *low, result, c.LocaleId, c.SortId);
    }
    if (!IsTrue(result)) return false;
    TOperand high(node.GetArgument(2), c);
    EvaluateBinaryOperator(opLessEqual, *value, *high, result, c.LocaleId, c.SortId);
    return IsTrue(result);
}

bool InSubSelect(const TExpToken& node, const TEvalContext& c) {
    TOperand value(node.GetArgument(0), c);
    const TExpToken* select = node.GetArgument(1);
    const TQueryHooks& hooks = QueryHooks();
    if (!select || !select->Query || !hooks.Contains) return false;
    return hooks.Contains(select->Query, *value);
}

}  // namespace

void EvaluatePredicate(const TExpToken& node, TExpToken& result, const TEvalContext& c) {
    result.DataType = fldBOOL;
    result.DataSize = 2;
    bool value = false;
    switch (node.Code) {
        case prLike: value = Like(node, c); break;
        case prNotLike: value = !Like(node, c); break;
        case prIn: value = InList(node, result, c); break;
        case prNotIn: value = !InList(node, result, c); break;
        case prBetween: value = Between(node, result, c); break;
        case prNotBetween: value = !Between(node, result, c); break;
        case prInSelect: value = InSubSelect(node, c); break;
        case prNotInSelect: value = !InSubSelect(node, c); break;
        default: break;
    }
    PutBoolean(result, value);
}

}  // namespace kura::evalimpl
