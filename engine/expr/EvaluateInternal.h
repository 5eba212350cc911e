#pragma once
// Shared by the evaluation driver and its function and predicate parts; not for
// users of the library.
#include <cstdint>

#include "engine/expr/Evaluate.h"
#include "engine/expr/ExpTokenPool.h"

namespace kura::evalimpl {

struct TEvalContext {
    void* Context;
    void* Owner;
    uint16_t LocaleId;
    uint16_t SortId;
    TColumnValueProc ColumnValue;
};

// A pooled node released when the holder goes out of scope, also when an error passes.
class TPooledToken {
public:
    explicit TPooledToken(TExpToken* node = nullptr) : FNode(node) {}
    ~TPooledToken() { ReleaseExpToken(FNode); }
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
        ReleaseExpToken(FNode);
        FNode = node;
    }

private:
    TExpToken* FNode;
};

// The value of a node (an empty slot gives a NULL constant); a new pooled node.
TExpToken* Eval(const TExpToken* node, const TEvalContext& c);

// Copies the value, its size and its NULL flag (not the type).
void CopyValue(TExpToken& target, const TExpToken& source);
// Stores a number in the result's own integer or float type.
void PutNumber(TExpToken& result, int64_t value);
void PutBoolean(TExpToken& result, bool value);
void PutNull(TExpToken& result);

void EvaluateFunction(const TExpToken& node, TExpToken& result, const TEvalContext& c);
void EvaluatePredicate(const TExpToken& node, TExpToken& result, const TEvalContext& c);

}  // namespace kura::evalimpl
