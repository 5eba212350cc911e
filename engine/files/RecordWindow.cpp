// The data file's side of the record window (RecordWindow.h): reading the slots a
// cursor asks for in spans of at most a block, filling the window from the stretch
// of the index ahead of the cursor, and loading the cache from it.
#include "engine/files/RecordWindow.h"

#include <algorithm>
#include <cstring>

#include "engine/files/DataFile.h"

namespace kura {

const uint8_t* TRecordWindow::Find(uint32_t recordNo, int32_t recordSize) const {
    if (recordSize != FRecordSize || FNumbers.empty()) return nullptr;
    const auto it = std::lower_bound(FNumbers.begin(), FNumbers.end(), recordNo);
    if (it == FNumbers.end() || *it != recordNo) return nullptr;
    return FImages.data() + static_cast<std::size_t>(it - FNumbers.begin()) * static_cast<std::size_t>(FRecordSize);
}

// Each span starts at a wanted slot and reaches as far as the wanted slots that fit
// into one block with it; the slots between them are read but not taken. A short
// read gives what it brought: the rest is read again when the cursor gets there,
// with the usual checks. `take` may change the slot's bytes (unscrambling).
void TDataFile::ReadWantedSlots(const std::vector<uint32_t>& wanted, const TSlotTaker& take) {
    const int32_t r = GetRecordSize();
    if (r <= 0) return;
    const int64_t dataStart = DataStart();
    std::size_t i = 0;
    while (i < wanted.size()) {
        std::size_t j = i + 1;
        while (j < wanted.size() && static_cast<int64_t>(wanted[j] - wanted[i] + 1) * r <= RECORD_BLOCK_SIZE) ++j;
        const uint32_t first = wanted[i];
        const int64_t length = static_cast<int64_t>(wanted[j - 1] - first + 1) * r;
        ResizeReadBuffer(static_cast<int32_t>(length));
        int32_t got = 0;
        {
            TFileSectionGuard guard(*this);
            Seek(soFromBeginning, dataStart + static_cast<int64_t>(first - 1) * r);
            got = ReadBuffer(FReadBuffer, static_cast<int32_t>(length), true);
        }
        ++FStatistics.BlockReads;
        auto* bytes = static_cast<uint8_t*>(FReadBuffer);
        for (std::size_t k = i; k < j; ++k) {
            const int64_t offset = static_cast<int64_t>(wanted[k] - first) * r;
            if (offset + r > got) break;
            take(wanted[k], bytes + offset);
        }
        i = j;
    }
}

void TDataFile::FillRecordWindow(TDataFileCursor* cursor, int32_t direction, int32_t batch) {
    const int32_t r = GetRecordSize();
    FWindow.Begin(r);
    if (r <= 0 || !cursor) return;
    const int32_t limit = RECORD_WINDOW_BYTES / r;
    // A window no longer than one batch would only read what the batch reads anyway.
    if (limit <= batch) return;
    cursor->GetRecordsAhead(limit, direction, FAhead);
    const uint32_t last = GetLastRecordNumber();
    FAhead.erase(std::remove_if(FAhead.begin(), FAhead.end(), [last](uint32_t n) { return n < 1 || n > last; }),
                 FAhead.end());
    std::sort(FAhead.begin(), FAhead.end());
    FAhead.erase(std::unique(FAhead.begin(), FAhead.end()), FAhead.end());
    ReadWantedSlots(FAhead, [this](uint32_t recordNo, uint8_t* image) {
        FWindow.Add(recordNo, image);
        ++FStatistics.RecordsRead;
    });
}

bool TDataFile::LoadFromWindow(uint32_t recordNo) {
    const int32_t r = GetRecordSize();
    const uint8_t* image = FWindow.Find(recordNo, r);
    if (!image) return false;
    // A copy, because loading unscrambles in place and making room in the cache may
    // flush, which empties the window.
    FWindowImage.assign(image, image + r);
    TRecord* fresh = GetCacheRecord(recordNo);
    FCache.Insert(fresh, [this] { RaiseError(KURA_FILECORRUPT); });
    fresh->LoadFromBuffer(FWindowImage.data());
    ++FStatistics.WindowLoads;
    return true;
}

}  // namespace kura
