#pragma once

// A set of record numbers 1..RecordCount kept as 32-bit words: record R is
// bit (R - 1) mod 32 of word (R - 1) div 32, bit 0 the least significant.
// Used for record locks, filter results and a cursor's record set; filters
// make and drop many of them, so a process-wide pool recycles them.
//
// Invariant: no bit beyond RecordCount is ever set, so growing the record
// count never brings back stale records.
//
// The words are grouped in blocks of BLOCK_WORDS (one cache line), each with a
// mark: a block whose mark is clear holds no bit (a set mark only says it may).
// Counts, searches and set operations visit the marked blocks alone, so a set of
// a few records costs little however many records the table has. A set of every
// record is held as such (Full_) without words: the words are then all clear and
// no block is marked, until a record leaves the set.

#include <cstdint>
#include <mutex>
#include <vector>

namespace kura {

class TRecordsBitmap {
public:
    // The block grows in granules of this many bytes.
    static constexpr int32_t GRANULE = 256;
    // Largest record count: BitCount must stay a 32-bit value.
    static constexpr int32_t MAX_RECORD_COUNT = 0x7FFFFFE0;
    // Words per marked block.
    static constexpr int32_t BLOCK_WORDS = 16;

    TRecordsBitmap() = default;
    TRecordsBitmap(const TRecordsBitmap&) = delete;
    TRecordsBitmap& operator=(const TRecordsBitmap&) = delete;
    ~TRecordsBitmap() = default;

    int32_t Capacity() const { return Capacity_; }
    int32_t RecordCount() const { return RecordCount_; }
    int32_t BitCount() const { return BitCount_; }
    int32_t WordCount() const { return WordCount_; }
    // The words; empty while no block is held, and all clear while the set holds
    // every record (IsFull).
    bool IsFull() const { return Full_; }
    const uint32_t* Bits() const { return Bits_.empty() ? nullptr : Bits_.data(); }

    // Covers records 1..n. The block grows (new part zero) and never shrinks
    // while n stays above 0; n <= 0 frees it. Records above a smaller n are
    // cleared. n is held to MAX_RECORD_COUNT.
    void SetRecordCount(int32_t n);

    // Record numbers outside 1..RecordCount read as clear and are not
    // written.
    bool GetBit(int32_t r) const;
    void SetBit(int32_t r);
    void ClearBit(int32_t r);

    // Set records among 1..RecordCount.
    int32_t Count() const;
    // Set records among 1..r-1: the position of r within the set from 0.
    int32_t CountBefore(int32_t r) const;

    // Moves to the n-th set record after (before) recNo. True when found:
    // recNo is that record and position has moved by n. False otherwise:
    // recNo is the last set record passed (unchanged when none) and position
    // has moved by every set record passed.
    bool FindNext(int32_t& recNo, int32_t n, int32_t& position) const;
    bool FindPrior(int32_t& recNo, int32_t n, int32_t& position) const;
    // Every set record, ascending, added to the end of `into`: the walk of
    // FindNext one record at a time, a word at a time.
    void AppendSetRecords(std::vector<uint32_t>& into) const;

    // Word by word over this bitmap's words; words the other lacks count as
    // clear.
    void AndWith(const TRecordsBitmap& other);
    void OrWith(const TRecordsBitmap& other);
    // Complements records 1..RecordCount.
    void Invert();
    // Clears the whole block / sets records 1..RecordCount.
    void ClearAll();
    void SetAll();
    // Becomes a copy of the other: its record count and bits.
    void Assign(const TRecordsBitmap& other);

private:
    // Mask of the valid bits of the last word (all ones when it is full).
    uint32_t LastWordMask() const;
    void ClearBeyondRecordCount();
    // Writes out the words of a full set before one of its records leaves it.
    void Materialise();
    static uint32_t PartnerWord(const TRecordsBitmap& other, int32_t w);
    bool Marked(int32_t block) const;
    void MarkWord(int32_t w);
    // The first marked block at or after (the last at or before) `block`; the
    // number of blocks (-1) when there is none.
    int32_t NextMarkedBlock(int32_t block) const;
    int32_t PriorMarkedBlock(int32_t block) const;
    // Marks exactly the blocks that hold any of the first `words` words.
    void MarkAllThrough(int32_t words);
    void ResizeBlock(size_t words);
    // Set bits of the first `words` words.
    int64_t CountWordsBelow(int32_t words) const;

    std::vector<uint32_t> Bits_;
    std::vector<uint64_t> Marks_;
    int32_t Capacity_ = 0;
    int32_t RecordCount_ = 0;
    int32_t BitCount_ = 0;
    int32_t WordCount_ = 0;
    bool Full_ = false;
};

// The pool of idle bitmaps; one instance lives from library start-up to
// shut-down (RecordsBitmapStack).
class TRecordsBitmapStack {
public:
    static constexpr int POOL_LIMIT = 64;

    TRecordsBitmapStack();
    ~TRecordsBitmapStack();
    TRecordsBitmapStack(const TRecordsBitmapStack&) = delete;
    TRecordsBitmapStack& operator=(const TRecordsBitmapStack&) = delete;

    // The most recently pushed bitmap, cleared, keeping its record count and
    // block; a new empty one when none is pooled. The caller owns it.
    TRecordsBitmap* Pop();
    // Pools the bitmap while fewer than POOL_LIMIT are held, else frees it;
    // the variable becomes nullptr. Nothing happens for nullptr.
    void Push(TRecordsBitmap*& bitmap);
    // Number of pooled bitmaps.
    int Size() const;

private:
    mutable std::mutex Section_;
    std::vector<TRecordsBitmap*> Items_;
};

// The global pool, created and freed by the library start-up.
extern TRecordsBitmapStack* RecordsBitmapStack;

// A cleared bitmap from the global pool (a new one when the pool is empty or
// not created); the caller sets its record count.
TRecordsBitmap* AllocRecordsBitmap();
// Gives the bitmap back to the global pool (frees it when there is no pool)
// and sets the variable to nullptr; nothing happens for nullptr.
void ReleaseRecordsBitmap(TRecordsBitmap*& bitmap);

}  // namespace kura
