#include "engine/expr/ExpTokenPool.h"

#include <algorithm>

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

void TExpTokenStack::PopMany(std::vector<TExpToken*>& nodes, int32_t count) {
    platform::CriticalSectionLock lock(FSection);
    const std::size_t n = std::min(FList.size(), static_cast<std::size_t>(std::max(count, 0)));
    nodes.insert(nodes.end(), FList.end() - static_cast<std::ptrdiff_t>(n), FList.end());
    FList.resize(FList.size() - n);
}

void TExpTokenStack::PushMany(std::vector<TExpToken*>& nodes) {
    std::size_t kept = 0;
    {
        platform::CriticalSectionLock lock(FSection);
        kept = std::min(nodes.size(), static_cast<std::size_t>(Capacity) - std::min(FList.size(), static_cast<std::size_t>(Capacity)));
        FList.insert(FList.end(), nodes.begin(), nodes.begin() + static_cast<std::ptrdiff_t>(kept));
    }
    for (std::size_t i = kept; i < nodes.size(); ++i) delete nodes[i];
    nodes.clear();
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
