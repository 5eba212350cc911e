// How far ahead a stepping cursor can tell the data file which records it will
// visit: past its own leaf, along the leaf chain of its index, so that the data
// file can read a long stretch of scattered records in few reads.
//
// The leaves are only looked at (TIndexFile::PeekPage): no page enters the cache,
// no change check runs and nothing here moves the cursor. The numbers are a guess
// that a change by another program may make wrong; they decide what is read ahead,
// never what a record is read as.
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"

namespace kura {

void TDataCursor::GetRecordsAhead(int32_t maximum, int32_t direction, std::vector<uint32_t>& numbers) {
    numbers.clear();
    if (PlannedVisitsAfter(maximum, direction, numbers)) return;
    if (!FStepping || IsNaturalOrder() || !FTable || maximum < 1) return;
    const TPage* page = FPosition.Page;
    if (!page || FPosition.Slot < 1 || FPosition.Slot > page->KeyCount || page->KeySize != FKeySize) return;
    const bool forward = direction == 1;
    const int64_t step = forward ? 1 : -1;

    // Takes the keys of `page` after `slot` in the cursor's direction; false once
    // the walk is over (enough numbers, or the end of the key range).
    auto takeLeaf = [&](const TPage& leaf, int64_t slot) {
        for (slot += step; slot >= 1 && slot <= leaf.KeyCount; slot += step) {
            const auto s = static_cast<uint32_t>(slot);
            if (FRangeActive) {
                const int32_t side = forward ? CompareWholeKeys(leaf.GetKeyAddress(s), FRangeEndKey.data())
                                             : -CompareWholeKeys(leaf.GetKeyAddress(s), FRangeStartKey.data());
                if (side > 0) return false;
            }
            const uint32_t recordNo = leaf.GetRecordNo(s);
            if (UsesVisibleSet() && !IsVisibleRecord(recordNo)) continue;
            numbers.push_back(recordNo);
            if (static_cast<int32_t>(numbers.size()) >= maximum) return false;
        }
        return true;
    };

    if (!takeLeaf(*page, FPosition.Slot)) return;
    TIndexFile& index = FTable->GetIndexFile();
    struct TScratch {
        TDataCursor& cursor;
        TPage* page = nullptr;
        ~TScratch() { cursor.PushPage(page); }
    } scratch{*this};
    uint32_t link = forward ? page->NextPage : page->PriorPage;
    // Every leaf has a key: a chain longer than the numbers wanted is a loop.
    for (int32_t pages = 0; link != 0 && pages < maximum; ++pages) {
        if (!scratch.page) scratch.page = PopPage();
        TPage& leaf = *scratch.page;
        if (!index.PeekPage(FIndexNo, link, leaf) || !leaf.IsLeaf() || leaf.KeyCount == 0 || leaf.KeySize != FKeySize)
            return;
        if (!takeLeaf(leaf, forward ? 0 : int64_t{leaf.KeyCount} + 1)) return;
        link = forward ? leaf.NextPage : leaf.PriorPage;
    }
}

}  // namespace kura
