#include "engine/expr/ExpTree.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "engine/files/FieldTypes.h"

namespace kura {

namespace {

TExpToken* CopyNode(const TExpToken* source, TExpToken* parent) {
    TExpToken* copy = AllocExpToken();
    TExpressionPtr guard(copy);
    copy->Assign(*source);
    copy->Parent = source->Parent ? parent : nullptr;
    copy->Left = nullptr;
    copy->Right = nullptr;
    copy->Arguments.assign(source->Arguments.size(), nullptr);
    if (source->Left) copy->Left = CopyNode(source->Left, copy);
    if (source->Right) copy->Right = CopyNode(source->Right, copy);
    for (size_t i = 0; i < source->Arguments.size(); ++i) {
        if (source->Arguments[i]) copy->Arguments[i] = CopyNode(source->Arguments[i], copy);
    }
    return guard.release();
}

template <typename Visit>
bool AnyBelow(const TExpToken* node, Visit visit) {
    if (node->Kind == ekUnary || node->Kind == ekBinary || node->Kind == ekPartialCompare) {
        return (node->Left && visit(node->Left)) || (node->Right && visit(node->Right));
    }
    if (node->Kind == ekFunction || node->Kind == ekPredicate) {
        for (const TExpToken* argument : node->Arguments) {
            if (argument && visit(argument)) return true;
        }
    }
    return false;
}

}  // namespace

TExpToken* CopyExpression(const TExpToken* root) {
    if (!root) return nullptr;
    TExpToken* copy = CopyNode(root, nullptr);
    copy->Parent = nullptr;
    return copy;
}

bool SameExpression(const TExpToken* a, const TExpToken* b) {
    if (!a || !b) return a == b;
    if (!a->SameValue(*b)) return false;
    if (!SameExpression(a->Left, b->Left) || !SameExpression(a->Right, b->Right)) return false;
    if (a->Arguments.size() != b->Arguments.size()) return false;
    for (size_t i = 0; i < a->Arguments.size(); ++i) {
        if (!SameExpression(a->Arguments[i], b->Arguments[i])) return false;
    }
    return true;
}

void FreeExpression(TExpToken*& root) {
    if (!root) return;
    std::vector<TExpToken*> pending{root};
    root = nullptr;
    while (!pending.empty()) {
        TExpToken* node = pending.back();
        pending.pop_back();
        if (node->Left) pending.push_back(node->Left);
        if (node->Right) pending.push_back(node->Right);
        if (node->Third) pending.push_back(node->Third);
        for (TExpToken*& argument : node->Arguments) {
            if (argument) pending.push_back(argument);
            argument = nullptr;
        }
        node->Left = node->Right = node->Third = nullptr;
        ReleaseExpToken(node);
    }
}

int32_t ExpressionDepth(const TExpToken* root, int32_t limit) {
    if (!root) return 0;
    std::vector<std::pair<const TExpToken*, int32_t>> pending{{root, 1}};
    int32_t deepest = 0;
    while (!pending.empty()) {
        auto [node, level] = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, level);
        if (deepest > limit) return deepest;
        for (const TExpToken* child : {node->Left, node->Right, node->Third}) {
            if (child) pending.emplace_back(child, level + 1);
        }
        for (const TExpToken* argument : node->Arguments) {
            if (argument) pending.emplace_back(argument, level + 1);
        }
    }
    return deepest;
}

bool ContainsColumn(const TExpToken* node) {
    if (!node) return false;
    if (node->Kind == ekColumn) return true;
    return AnyBelow(node, [](const TExpToken* child) { return ContainsColumn(child); });
}

bool ContainsAggregate(const TExpToken* node) {
    if (!node) return false;
    if (node->Kind == ekFunction && IsAggregateCode(node->Code)) return true;
    if (node->Kind == ekPartialCompare) return false;
    return AnyBelow(node, [](const TExpToken* child) { return ContainsAggregate(child); });
}

TExpToken* FindFirstColumn(TExpToken* node) {
    if (!node) return nullptr;
    if (node->Kind == ekColumn) return node;
    if (TExpToken* found = FindFirstColumn(node->Left)) return found;
    if (TExpToken* found = FindFirstColumn(node->Right)) return found;
    for (TExpToken* argument : node->Arguments) {
        if (TExpToken* found = FindFirstColumn(argument)) return found;
    }
    return nullptr;
}

uint8_t AggregateCode(std::string_view name) {
    static constexpr std::pair<std::string_view, uint8_t> codes[] = {
        {"SUM", fnSum}, {"RUNSUM", fnRunSum}, {"COUNT", fnCount}, {"MIN", fnMin}, {"MAX", fnMax}, {"AVG", fnAvg}};
    for (const auto& [keyword, code] : codes) {
        if (SameNameText(name, keyword)) return code;
    }
    return 0;
}

void MirrorOperator(TExpToken* node) {
    if (node) node->Code = MirroredCode(node->Code);
}

void SwapChildren(TExpToken* node) {
    if (node) std::swap(node->Left, node->Right);
}

void SwapComparison(TExpToken* node) {
    MirrorOperator(node);
    SwapChildren(node);
}

void ExchangeNodes(TExpToken* a, TExpToken* b) {
    if (!a || !b || a == b) return;
    TExpToken* parentA = a->Parent;
    TExpToken* parentB = b->Parent;
    auto slotOf = [](TExpToken* parent, TExpToken* child) -> TExpToken** {
        if (!parent) return nullptr;
        if (parent->Left == child) return &parent->Left;
        if (parent->Right == child) return &parent->Right;
        return nullptr;
    };
    TExpToken** slotA = slotOf(parentA, a);
    TExpToken** slotB = slotOf(parentB, b);
    if (slotA) *slotA = b;
    if (slotB) *slotB = a;
    a->Parent = parentB;
    b->Parent = parentA;
}

void AppendAndCondition(TExpToken*& root, TExpToken* condition) {
    if (!root) {
        root = condition;
        return;
    }
    TExpToken* node = AllocExpToken();
    node->Kind = ekBinary;
    if (condition && condition->Parent) {
        node->Text = condition->Parent->Text;
        node->Code = condition->Parent->Code;
    } else {
        node->Text = "AND";
        node->Code = opAnd;
    }
    node->DataType = fldBOOL;
    node->DataSize = 2;
    node->Left = root;
    node->Right = condition;
    root = node;
}

bool IsNotOrOr(const TExpToken* node) {
    while (node && node->Kind == ekUnary && node->Code == opNot) node = node->Left;
    return node && node->Kind == ekBinary && node->Code == opOr;
}

bool IsNotOrAnd(const TExpToken* node) {
    while (node && node->Kind == ekUnary && node->Code == opNot) node = node->Left;
    return node && node->Kind == ekBinary && node->Code == opAnd;
}

bool IsUnderNot(const TExpToken* node) {
    // Walked as a loop: a damaged Parent chain must not recurse without end.
    for (int32_t steps = 0; node && steps <= MaxExpressionDepth * 4; ++steps) {
        if (node->Kind == ekUnary) return node->Code == opNot;
        if (node->Kind != ekBinary) return false;
        node = node->Parent;
    }
    return false;
}

void MakeTrueComparison(TExpToken* node) {
    if (!node) return;
    // The node's content moves to a new node that keeps its children, so nothing is
    // copied twice and nothing is left without an owner.
    TExpToken* moved = AllocExpToken();
    moved->Assign(*node);
    moved->Third = node->Third;
    moved->Parent = node;
    if (moved->Left) moved->Left->Parent = moved;
    if (moved->Right) moved->Right->Parent = moved;
    for (TExpToken* argument : moved->Arguments) {
        if (argument) argument->Parent = moved;
    }
    TExpToken* truth = AllocExpToken();
    truth->Kind = ekConstant;
    truth->Text = "True";
    truth->DataType = fldBOOL;
    truth->SetDataSize(2);
    truth->Value[0] = 1;
    truth->Parent = node;

    node->Kind = ekBinary;
    node->Text = "=";
    node->Code = opEqual;
    node->DataType = fldBOOL;
    node->DataSubtype = 0;
    node->Scale = 0;
    node->SetDataSize(2);
    node->IsNull = 0;
    node->Third = nullptr;
    node->Arguments.clear();
    node->Left = moved;
    node->Right = truth;
}

bool IsUpperCall(const TExpToken* node) { return node && node->Kind == ekFunction && node->Code == fnUpper; }

bool IsCaseFunctionOfColumn(const TExpToken* node) {
    return node && node->Kind == ekFunction && (node->Code == fnUpper || node->Code == fnLower) &&
           node->Arguments.size() == 1 && node->Arguments[0] && node->Arguments[0]->Kind == ekColumn;
}

bool IsTextSearchCall(const TExpToken* node) {
    return node && node->Kind == ekFunction && node->Code == fnTextSearch;
}

}  // namespace kura
