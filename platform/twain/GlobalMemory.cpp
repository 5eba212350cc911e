#include "platform/twain/GlobalMemory.h"

#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace platform {
namespace {

struct Block {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
    int locks = 0;
};

std::mutex& Guard() {
    static std::mutex guard;
    return guard;
}

// Handles are the blocks' own addresses, looked up before every use.
std::unordered_map<HGLOBAL, std::unique_ptr<Block>>& Blocks() {
    static std::unordered_map<HGLOBAL, std::unique_ptr<Block>> blocks;
    return blocks;
}

}  // namespace

HGLOBAL GlobalAlloc(uint32_t flags, size_t size) {
    if (size == 0) return nullptr;
    auto block = std::make_unique<Block>();
    block->bytes.reset(flags & GMEM_ZEROINIT ? new (std::nothrow) uint8_t[size]()
                                             : new (std::nothrow) uint8_t[size]);
    if (!block->bytes) return nullptr;
    block->size = size;
    HGLOBAL handle = block.get();
    std::lock_guard lock(Guard());
    Blocks().emplace(handle, std::move(block));
    return handle;
}

void* GlobalLock(HGLOBAL handle) {
    std::lock_guard lock(Guard());
    auto it = Blocks().find(handle);
    if (it == Blocks().end()) return nullptr;
    ++it->second->locks;
    return it->second->bytes.get();
}

bool GlobalUnlock(HGLOBAL handle) {
    std::lock_guard lock(Guard());
    auto it = Blocks().find(handle);
    if (it == Blocks().end() || it->second->locks == 0) return false;
    return --it->second->locks > 0;
}

size_t GlobalSize(HGLOBAL handle) {
    std::lock_guard lock(Guard());
    auto it = Blocks().find(handle);
    return it == Blocks().end() ? 0 : it->second->size;
}

HGLOBAL GlobalFree(HGLOBAL handle) {
    std::lock_guard lock(Guard());
    return Blocks().erase(handle) == 1 ? nullptr : handle;
}

size_t GlobalBlockCount() {
    std::lock_guard lock(Guard());
    return Blocks().size();
}

}  // namespace platform
