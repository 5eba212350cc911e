#pragma once
// Memory services of the original platform for pictures and the clipboard.
//
// - A "page-file mapping" is an anonymous in-memory file (memfd) mapped read-write;
//   its pages start zero-filled and stay out of the heap. The handle is the file
//   descriptor; CloseMapping closes it, UnmapView unmaps the view.
// - A global memory block is a zero-filled heap block that knows its size (GlobalSize);
//   ownership moves with the handle, as with the clipboard's blocks.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

using MappingHandle = std::intptr_t;  // 0: no mapping

// Creates an anonymous zero-filled mapping object of size bytes; 0 on failure.
MappingHandle CreateFileMapping(std::size_t size);
// Maps the whole object read-write; nullptr on failure.
void* MapViewOfFile(MappingHandle mapping, std::size_t size);
bool UnmapViewOfFile(void* view, std::size_t size);
bool CloseMapping(MappingHandle mapping);  // CloseHandle of a mapping

// A movable block of global memory (GMEM_MOVEABLE | GMEM_ZEROINIT).
class GlobalBlock {
public:
    explicit GlobalBlock(std::size_t size) : bytes_(size, 0) {}
    std::size_t GlobalSize() const { return bytes_.size(); }
    uint8_t* Lock() { return bytes_.data(); }
    const uint8_t* Lock() const { return bytes_.data(); }

private:
    std::vector<uint8_t> bytes_;
};
using HGlobal = std::unique_ptr<GlobalBlock>;

// nullptr when the size cannot be had.
HGlobal GlobalAlloc(std::size_t size);

// Gives the heap's free memory back to the system (after a burst of large
// allocations that have been freed again).
void ReleaseFreeMemory();

}  // namespace platform
