#pragma once
// Slot images read ahead of an index-order scan, beyond what the record cache can
// hold.
//
// An index order visits records scattered over the data file: the record cache
// alone would read nearly every record on its own. The window holds the bytes of
// the slots the cursor will visit over the next stretch of its index, read in spans
// of at most a block, so that the cache's later misses take them from memory. The
// images are kept in the cursor's order, so that a scan finds each one where the
// last one ended.
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
// The first fill of a scan reads this many of the cache's batches.
constexpr int32_t WINDOW_START_BATCHES = 16;
// Each following fill of the scan reads this many times as many.
constexpr int32_t WINDOW_GROWTH = 4;

class TRecordWindow {
public:
    // Forgets every image (the memory stays for the next fill).
    void Clear();
    // Forgets every image and gives the memory back.
    void Release();
    bool Empty() const { return FSorted.empty(); }

    // Starts a fill with the record numbers in the cursor's order (duplicates and
    // all); answers the distinct numbers ascending, the slots to read.
    const std::vector<uint32_t>& Begin(const std::vector<uint32_t>& visits, int32_t recordSize);
    // Keeps the image of the k-th slot of those Begin answered.
    void Keep(std::size_t k, const uint8_t* image);

    // The image of slot N for slots of this size, or nullptr. Looking up the slots
    // in the cursor's order costs no search.
    const uint8_t* Find(uint32_t recordNo, int32_t recordSize);
    // Whether slot N is held, without moving where the next look-up starts.
    bool Holds(uint32_t recordNo, int32_t recordSize) const;

private:
    std::vector<uint64_t> FSorted;   // number << 32 | visit index, ascending, one per number
    std::vector<uint64_t> FScratch;  // of the sort
    std::vector<uint32_t> FWanted;   // the numbers of FSorted
    std::vector<uint32_t> FVisits;   // per visit index the number kept there, 0 when none
    std::vector<uint8_t> FImages;    // FRecordSize bytes per visit index
    int32_t FRecordSize = 0;
    std::size_t FNext = 0;           // the visit index the next look-up tries first

    // The visit index holding slot N, or -1.
    int64_t Locate(uint32_t recordNo) const;
};

}  // namespace kura
