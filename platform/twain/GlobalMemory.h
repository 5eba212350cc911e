#pragma once
// Movable global memory blocks, the way capability containers and native image
// transfers hand memory between the component and the source manager. A handle stays
// valid until GlobalFree; Lock answers the block's bytes (zero-filled on allocation when
// asked), Unlock balances it. An unknown handle is refused, never dereferenced.
#include <cstddef>
#include <cstdint>

namespace platform {

using HGLOBAL = void*;

constexpr uint32_t GMEM_MOVEABLE = 0x0002;
constexpr uint32_t GMEM_ZEROINIT = 0x0040;

// nullptr when the size is 0 or memory is short.
HGLOBAL GlobalAlloc(uint32_t flags, size_t size);
// nullptr for an unknown handle.
void* GlobalLock(HGLOBAL handle);
bool GlobalUnlock(HGLOBAL handle);
// 0 for an unknown handle.
size_t GlobalSize(HGLOBAL handle);
// nullptr on success, the handle when it was unknown.
HGLOBAL GlobalFree(HGLOBAL handle);
// Blocks not yet freed (tests use it to prove nothing leaks).
size_t GlobalBlockCount();

}  // namespace platform
