#pragma once
// Slot images read ahead of an index-order scan, beyond what the record cache can
// hold.
//
// An index order visits records scattered over the data file: the record cache
// alone would read nearly every record on its own. The window holds the bytes of
// the slots the cursor will visit over the next stretch of its index, read in spans
// of at most a block, so that the cache's later misses take them from memory.
//
// The window is a second copy of disk bytes and never holds anything the disk does
// not: the data file empties it whenever its record cache is emptied (a change by
// another program, a discard, a close) and whenever it writes records. A miss that
// it serves has passed the same change check as one that reads the disk.
#include <cstdint>
#include <vector>

namespace kura {

// Most bytes of slot images the window holds.
constexpr int32_t RECORD_WINDOW_BYTES = 1 << 20;

class TRecordWindow {
public:
    // Forgets every image (the memory stays for the next fill).
    void Clear() {
        FNumbers.clear();
        FImages.clear();
    }
    // Forgets every image and gives the memory back.
    void Release() {
        std::vector<uint32_t>().swap(FNumbers);
        std::vector<uint8_t>().swap(FImages);
    }
    bool Empty() const { return FNumbers.empty(); }
    int32_t Count() const { return static_cast<int32_t>(FNumbers.size()); }

    // Starts a fill for slots of this size.
    void Begin(int32_t recordSize) {
        Clear();
        FRecordSize = recordSize;
    }
    // Adds the image of slot N; numbers must come in ascending order.
    void Add(uint32_t recordNo, const uint8_t* image) {
        FNumbers.push_back(recordNo);
        FImages.insert(FImages.end(), image, image + FRecordSize);
    }
    // The image of slot N held for slots of this size, or nullptr.
    const uint8_t* Find(uint32_t recordNo, int32_t recordSize) const;

private:
    std::vector<uint32_t> FNumbers;  // ascending
    std::vector<uint8_t> FImages;    // FRecordSize bytes per number, in the same order
    int32_t FRecordSize = 0;
};

}  // namespace kura
