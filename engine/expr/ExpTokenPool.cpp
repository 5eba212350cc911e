#include "engine/expr/ExpTokenPool.h"

namespace kura {

TExpTokenStack* ExpTokenStack = nullptr;

TExpTokenStack::TExpTokenStack() { FList.reserve(static_cast<size_t>(Capacity)); }

TExpTokenStack::~TExpTokenStack() {
    for (TExpToken* node : FList) delete node;
}

TExpToken* TExpTokenStack::Pop() {
    TExpToken* node = nullptr;
    {
        platform::CriticalSectionLock lock(FSection);
        if (!FList.empty()) {
            node = FList.back();
            FList.pop_back();
        }
    }
    if (!node) return new TExpToken();
    node->Clear();
    return node;
}

void TExpTokenStack::Push(TExpToken*& node) {
    if (!node) return;
    TExpToken* released = node;
    node = nullptr;
    {
        platform::CriticalSectionLock lock(FSection);
        if (static_cast<int32_t>(FList.size()) < Capacity) {
            FList.push_back(released);
            return;
        }
    }
    delete released;
}

int32_t TExpTokenStack::Count() {
    platform::CriticalSectionLock lock(FSection);
    return static_cast<int32_t>(FList.size());
}

TExpToken* AllocExpToken() { return ExpTokenStack ? ExpTokenStack->Pop() : new TExpToken(); }

void ReleaseExpToken(TExpToken*& node) {
    if (ExpTokenStack) {
        ExpTokenStack->Push(node);
    } else {
        delete node;
        node = nullptr;
    }
}

}  // namespace kura
