#pragma once
// The process-wide pool of expression nodes. Building and dropping a tree for every
// record would otherwise allocate all the time; the pool keeps up to Capacity
// released nodes and hands them out cleared.
#include <cstdint>
#include <vector>

#include "engine/expr/ExpToken.h"
#include "platform/Sync.h"

namespace kura {

class TExpTokenStack {
public:
    static constexpr int32_t Capacity = 256;

    TExpTokenStack();
    ~TExpTokenStack();  // frees the pooled nodes
    TExpTokenStack(const TExpTokenStack&) = delete;
    TExpTokenStack& operator=(const TExpTokenStack&) = delete;

    // The last pooled node, cleared; a new node when the pool is empty.
    TExpToken* Pop();
    // Keeps the node while fewer than Capacity are pooled, else frees it; sets the
    // variable to nullptr. Nothing happens for nullptr.
    void Push(TExpToken*& node);
    // The same for many nodes under one lock: up to `count` pooled nodes are
    // appended to `nodes` (not cleared: Pop's caller clears), or every node of
    // `nodes` is pushed and the list emptied.
    void PopMany(std::vector<TExpToken*>& nodes, int32_t count);
    void PushMany(std::vector<TExpToken*>& nodes);
    int32_t Count();

private:
    platform::CriticalSection FSection;
    std::vector<TExpToken*> FList;
};

// The global pool, created and freed by the engine library start-up.
extern TExpTokenStack* ExpTokenStack;

// Pop and Push on the global pool; without a pool nodes are simply created and freed.
TExpToken* AllocExpToken();
void ReleaseExpToken(TExpToken*& node);

}  // namespace kura
