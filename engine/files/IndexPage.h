#pragma once
// One 4096-byte page of an index file held in memory: its header fields and its
// keys unpacked into fixed-size entries, so that searches and edits address entries
// directly and packing happens only when the page is written.
//
// On disk: type (u8), key count (u16), prior page (u32), next page (u32), used
// bytes (u16), then 4083 bytes of packed entries. Leaf pages may compress their
// keys by the bytes they share with the previous key and by trailing zero bytes.
// In memory every entry is key (ks bytes), u32 record or child page, u32 subtree
// count, u8 leading count, u8 trailing count.
#include <cstdint>
#include <vector>

#include "engine/files/IndexFileOwner.h"
#include "engine/files/RecordsBitmap.h"

namespace kura {

class TIndexFile;

constexpr int32_t INDEX_PAGE_SIZE = 4096;
constexpr int32_t PAGE_HEADER_SIZE = 13;
constexpr int32_t PAGE_DATA_SIZE = 4083;  // INDEX_PAGE_SIZE - PAGE_HEADER_SIZE
constexpr int32_t ENTRY_EXTRA = 10;       // record/child, subtree count, L, T
// The longest key an index can have: 522 bytes of key fields and a row identifier.
constexpr uint16_t MAX_INDEX_KEY_SIZE = 526;

// Page types.
constexpr uint8_t ptRootInternal = 0;
constexpr uint8_t ptInternal = 1;
constexpr uint8_t ptLeaf = 2;
constexpr uint8_t ptRootLeaf = 3;
constexpr uint8_t ptRawData = 4;

// Key compressions.
constexpr uint8_t kcNone = 0;
constexpr uint8_t kcLeading = 1;
constexpr uint8_t kcTrailing = 2;
constexpr uint8_t kcBoth = 3;

class TPage {
public:
    explicit TPage(TIndexFile* owner);
    TPage(const TPage&) = delete;
    TPage& operator=(const TPage&) = delete;

    // ---- Fields ------------------------------------------------------------
    void SetKeyCount(uint16_t n);
    void SetPriorPage(uint32_t page);
    void SetNextPage(uint32_t page);
    void SetPageType(uint8_t type);
    void Assign(const TPage& other);
    void Clear();
    void Restamp();
    // A raw-data page keeps 4083 bytes of its own.
    void ExpandKeyBuffer();

    bool IsLeaf() const { return PageType == ptLeaf || PageType == ptRootLeaf; }
    bool IsRoot() const { return PageType == ptRootInternal || PageType == ptRootLeaf; }
    bool IsCompressedLeaf() const { return IsLeaf() && Compression != kcNone; }
    // Internal pages of this index keep subtree counts.
    bool KeepsCounts() const { return !NoSubtreeCounts && IndexSlot != 32; }
    uint32_t EntrySize() const { return static_cast<uint32_t>(KeySize) + ENTRY_EXTRA; }

    // ---- Packing -----------------------------------------------------------
    // Takes a 4096-byte page image; a corrupt image raises 8965 and leaves the page
    // without keys.
    void LoadFromBuffer(const uint8_t* buffer, bool headerOnly);
    // Writes the 4096-byte image; 8965 for a compressed leaf above 4083 bytes.
    void SaveToBuffer(uint8_t* buffer);
    void CompressKeys();
    void PackKeys(uint8_t* dest);
    void ExpandKeys(const uint8_t* src);

    // ---- Entries (slots are 1-based) ---------------------------------------
    uint32_t GetRecordNo(uint32_t slot) const;
    void SetRecordNo(uint32_t slot, uint32_t value);
    uint32_t GetSubtreeCount(uint32_t slot) const;
    void SetSubtreeCount(uint32_t slot, uint32_t count);
    uint32_t CountKeys() const;
    uint32_t KeysBefore(uint32_t slot) const;
    uint8_t* GetKeyAddress(uint32_t slot);
    const uint8_t* GetKeyAddress(uint32_t slot) const;
    uint8_t* GetKeyBuffer() { return Keys.data(); }
    uint8_t GetLeading(uint32_t slot) const;
    uint8_t GetTrailing(uint32_t slot) const;
    void InsertGap(const uint8_t* key, uint32_t& slot);
    void RemoveEntry(uint32_t& slot);
    void SetKey(const uint8_t* key, uint32_t slot);
    uint32_t MaxKeys() const;
    bool IsFull() const;

    void Pin() { ++PinCount; }
    void Unpin() {
        if (PinCount > 0) --PinCount;
    }
    void ResetPins() { PinCount = 0; }

    // ---- In-page searches --------------------------------------------------
    bool FindKey(TIndexCursor& cursor, const uint8_t* key, uint32_t& slot);
    void FindInsertSlot(TIndexCursor& cursor, const uint8_t* key, uint32_t& slot);
    // The slot of the key in a leaf (true when it holds the key), or of the entry
    // above it in an inner page.
    bool FindDeleteSlot(TIndexCursor& cursor, const uint8_t* key, uint32_t& slot);
    bool SearchKey(TIndexCursor& cursor, const uint8_t* key, bool nearest, int32_t& position, uint32_t& slot);
    bool ScanKey(TIndexCursor& cursor, const uint8_t* key, bool strict, uint32_t& slot, int32_t& position,
                 const uint8_t* limitKey);
    uint32_t GetFirstSlot() const { return 1; }
    uint32_t GetLastSlot(int32_t& position) const;
    void FindRangeStart(TIndexCursor& cursor, const uint8_t* key, int32_t& position, uint32_t& slot);
    void FindLowKey(TIndexCursor& cursor, const uint8_t* key, int32_t& position, uint32_t& slot);
    void FindRangeEnd(TIndexCursor& cursor, const uint8_t* key, int32_t& position, uint32_t& slot);
    void FindHighKey(TIndexCursor& cursor, const uint8_t* key, int32_t& position, uint32_t& slot);
    int32_t CountConsecutiveRecords(int32_t maximum, int32_t direction, uint32_t slot);
    bool AddRecordsToBitmap(TIndexCursor& cursor, TRecordsBitmap& bitmap, const uint8_t* upperKey, uint32_t slot);

    // ---- Tree maintenance (IndexCache.cpp) ---------------------------------
    // Inserts an entry after the cursor's path slot of this page, splitting upward.
    void InsertKey(TIndexCursor& cursor, const uint8_t* key, uint32_t count, uint32_t value);
    // Removes the entry at the cursor's path slot, merging or borrowing upward.
    void DeleteKey(TIndexCursor& cursor);

    TIndexFile* Owner;
    uint8_t Modified = 0;
    // Renewed, from one counter of the process, whenever the content may change
    // without the modified mark going up: created, cleared, loaded, saved, assigned.
    // Every other change raises the mark (it must, to reach the disk), so a page
    // whose stamp is the same and whose mark stayed down both times holds what it
    // held before.
    uint64_t Stamp = 0;
    uint16_t PinCount = 0;
    uint32_t PageNumber = 0;
    uint16_t UsedBytes = 0;
    uint16_t KeyCount = 0;
    uint16_t KeySize = 0;
    uint8_t IndexSlot = 0;
    uint8_t Descending = 0;
    uint8_t Unique = 0;
    uint8_t NoSubtreeCounts = 0;
    uint8_t Compression = 0;
    uint8_t HeaderImage[PAGE_HEADER_SIZE] = {};
    std::vector<uint8_t> Keys;  // entries, or the raw data of a raw-data page
    uint32_t PriorPage = 0;
    uint32_t NextPage = 0;
    uint8_t PageType = 0;
    uint8_t Free = 0;
    // Recency chain of the page cache.
    TPage* Older = nullptr;
    TPage* Newer = nullptr;
    // Dropped from the cache while pinned; goes to the pool at its last release.
    bool Detached = false;

private:
    [[noreturn]] void Corrupt() const;
    void ResizeKeys(uint32_t bytes);
    int32_t Compare(TIndexCursor& cursor, uint32_t slot, const uint8_t* key) const;
    class TProbe;
    // Entry sizes of the packed form.
    uint32_t PackedEntrySize(uint32_t slot) const;
    // The last slot whose key is not above the key (0 when all are above), and
    // whether one equal was seen on the way to it.
    uint32_t LastNotAbove(TIndexCursor& cursor, const uint8_t* key, bool& exact) const;
    // The first slot whose key is not below the key (count + 1 when none).
    uint32_t FirstNotBelow(TIndexCursor& cursor, const uint8_t* key) const;
    void UpdateSeparator(TIndexCursor& cursor);
    void Split(TIndexCursor& cursor);
    void Rebalance(TIndexCursor& cursor);
    void CollapseRoot(TIndexCursor& cursor);
    void RemoveFromParent(TIndexCursor& cursor, uint8_t depth);
};

// Up to four idle pages kept for reuse.
class TPageStack {
public:
    explicit TPageStack(TIndexFile* owner) : Owner(owner) {}
    ~TPageStack();
    TPageStack(const TPageStack&) = delete;
    TPageStack& operator=(const TPageStack&) = delete;

    TPage* Pop();
    void Push(TPage*& page);
    void Clear();
    std::size_t IdleCount() const { return Idle.size(); }

private:
    TIndexFile* Owner;
    std::vector<TPage*> Idle;
};

}  // namespace kura
