#pragma once
// Shared by the evaluation driver and its function and predicate parts; not for
// users of the library.
#include <cstdint>
#include <vector>

#include "engine/expr/Evaluate.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpTokenPool.h"

namespace kura::evalimpl {

struct TEvalContext {
    void* Context;
    void* Owner;
    uint16_t LocaleId;
    uint16_t SortId;
    TColumnValueProc ColumnValue;
};

// Nodes for intermediate values. While an evaluation runs on a thread, released
// intermediate nodes wait in a small spare list of that thread and serve the next
// nodes of the same evaluation, so that the shared pool (and its lock) is visited
// only a few times per record; the outermost evaluation gives them all back to the
// pool when it ends, also when an error passes.
TExpToken* TakeToken();
void RecycleToken(TExpToken*& node);

// A node recycled when the holder goes out of scope, also when an error passes.
class TPooledToken {
public:
    explicit TPooledToken(TExpToken* node = nullptr) : FNode(node) {}
    ~TPooledToken() { RecycleToken(FNode); }
    TPooledToken(const TPooledToken&) = delete;
    TPooledToken& operator=(const TPooledToken&) = delete;
    TExpToken* operator->() const { return FNode; }
    TExpToken& operator*() const { return *FNode; }
    TExpToken* Get() const { return FNode; }
    TExpToken* Release() {
        TExpToken* node = FNode;
        FNode = nullptr;
        return node;
    }
    void Reset(TExpToken* node) {
        RecycleToken(FNode);
        FNode = node;
    }

private:
    TExpToken* FNode;
};

// The value of a node (an empty slot gives a NULL constant); a new pooled node.
TExpToken* Eval(const TExpToken* node, const TEvalContext& c);

// An operand's value for reading: a constant is read where it stands, anything
// else is evaluated into a node of its own. With optional, an empty slot gives
// Get() == nullptr instead of a NULL constant.
class TOperand {
public:
    TOperand(const TExpToken* node, const TEvalContext& c, bool optional = false) {
        if (node && node->Kind == ekConstant) {
            FValue = node;
        } else if (node || !optional) {
            FOwned.Reset(Eval(node, c));
            FValue = FOwned.Get();
        }
    }
    const TExpToken& operator*() const { return *FValue; }
    const TExpToken* operator->() const { return FValue; }
    const TExpToken* Get() const { return FValue; }

private:
    TPooledToken FOwned;
    const TExpToken* FValue = nullptr;
};

// Copies the value, its size and its NULL flag (not the type).
void CopyValue(TExpToken& target, const TExpToken& source);
// Stores a number in the result's own integer or float type.
void PutNumber(TExpToken& result, int64_t value);
void PutBoolean(TExpToken& result, bool value);
void PutNull(TExpToken& result);

void EvaluateFunction(const TExpToken& node, TExpToken& result, const TEvalContext& c);
void EvaluatePredicate(const TExpToken& node, TExpToken& result, const TEvalContext& c);

}  // namespace kura::evalimpl
