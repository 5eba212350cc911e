// Filing "Sys Deleted" for a run of records at once (CursorSort.cpp): the row
// identifiers of a result table are filed after its rows are in, and they arrive
// in ascending order. Into an empty tree they go level by level: leaves filled to
// their capacity in key order, then each level above from the first keys and key
// counts of the pages below, linked to their neighbours as splits link them.
// This is the tree a run of appends builds, with fuller pages and without one
// descent per key.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/core/PinnedIndexPage.h"

namespace kura {

namespace {

// One level of the tree: keys side by side, each with its record number or child
// page and, above the leaves, the count of keys below it.
struct TLevel {
    explicit TLevel(std::size_t stride) : Stride(stride) {}
    void Add(const uint8_t* key, uint32_t value, uint32_t count) {
        Keys.insert(Keys.end(), key, key + Stride);
        Values.push_back(value);
        Counts.push_back(count);
    }
    const uint8_t* Key(std::size_t i) const { return Keys.data() + i * Stride; }
    std::size_t Size() const { return Values.size(); }
    std::size_t Stride;
    std::vector<uint8_t> Keys;
    std::vector<uint32_t> Values;
    std::vector<uint32_t> Counts;
};

}  // namespace

bool TDataCursor::BuildAscendingTree(uint32_t first, uint32_t count, const uint32_t* autoIncs) {
    TIndexFile& file = FTable->GetIndexFile();
    // Compressed leaves hold as many keys as their packed bytes allow: those are
    // filed one by one.
    if (FKeyCompression != kcNone || file.GetRootPage(FIndexNo) != 0) return false;
    if (count == 0) return true;
    const std::size_t stride = std::max<std::size_t>(FKeySize, SYS_DELETED_KEY_SIZE);
    std::vector<uint8_t> record(std::max<std::size_t>(FTable->GetRecordSize(), RECORD_HEADER_SIZE), 0);
    std::array<uint8_t, CURSOR_KEY_BUFFER_SIZE> key{};
    TLevel level(stride);
    level.Keys.reserve(count * stride);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t recordNo = first + i;
        SetBufferAutoInc(record.data(), autoIncs ? autoIncs[i] : recordNo);
        BuildRowIdKey(record.data(), key.data());
        // Only keys in strictly ascending order make such a tree.
        if (i > 0 && std::memcmp(level.Key(i - 1), key.data(), stride) >= 0) return false;
        level.Add(key.data(), recordNo, 0);
    }
    bool leaves = true;
    for (;;) {
        TLevel above(stride);
        TPinnedIndexPage previous(*this);
        std::size_t next = 0;
        while (next < level.Size()) {
            TPinnedIndexPage page(*this);
            file.AllocatePage(*this, page.Page);
            TPage& p = *page.Page;
            if (p.KeySize > stride) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
            p.SetPageType(leaves ? ptLeaf : ptInternal);
            const std::size_t room = p.MaxKeys();
            if (room == 0) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
            const bool root = next == 0 && level.Size() <= room;
            if (root) p.SetPageType(leaves ? ptRootLeaf : ptRootInternal);
            const std::size_t end = std::min(level.Size(), next + room);
            const std::size_t head = next;
            uint32_t below = 0;
            for (; next < end; ++next) {
                uint32_t slot = p.KeyCount;
                p.InsertGap(level.Key(next), slot);
                p.SetRecordNo(slot, level.Values[next]);
                p.SetSubtreeCount(slot, level.Counts[next]);
                below += leaves ? 1 : level.Counts[next];
            }
            p.CompressKeys();
            if (previous.Page) {
                previous.Page->SetNextPage(p.PageNumber);
                p.SetPriorPage(previous.Page->PageNumber);
            }
            if (root) {
                file.SetRootPage(FIndexNo, p.PageNumber);
                return true;
            }
            above.Add(level.Key(head), p.PageNumber, below);
            ReleaseIndexPage(previous.Page);
            previous.Page = page.Page;
            page.Page = nullptr;
        }
        std::swap(level, above);
        leaves = false;
    }
}

}  // namespace kura
