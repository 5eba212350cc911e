// The data file's side of the record window (RecordWindow.h): reading the slots a
// cursor asks for in spans of at most a block, filling the window from the stretch
// of the index ahead of the cursor, and loading the cache from it.
#include "engine/files/RecordWindow.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/files/DataFile.h"

namespace kura {

namespace {

// Sorts the entries by their number (the upper 32 bits), keeping entries of one
// number in their order: three counting passes of 11 bits each, far cheaper than a
// comparison sort for the thousands of entries of one fill.
void SortByNumber(std::vector<uint64_t>& entries, std::vector<uint64_t>& scratch) {
    constexpr int BITS = 11;
    constexpr std::size_t BUCKETS = std::size_t{1} << BITS;
    scratch.resize(entries.size());
    for (int shift = 32; shift < 64; shift += BITS) {
        std::array<std::size_t, BUCKETS + 1> start{};
        for (uint64_t e : entries) ++start[((e >> shift) & (BUCKETS - 1)) + 1];
        for (std::size_t b = 1; b <= BUCKETS; ++b) start[b] += start[b - 1];
        for (uint64_t e : entries) scratch[start[(e >> shift) & (BUCKETS - 1)]++] = e;
        entries.swap(scratch);
    }
}

}  // namespace

void TRecordWindow::Clear() {
    FSorted.clear();
    FWanted.clear();
    FVisits.clear();
    FImages.clear();
    FNext = 0;
}

void TRecordWindow::Release() {
    Clear();
    FSorted.shrink_to_fit();
    std::vector<uint64_t>().swap(FScratch);
    FWanted.shrink_to_fit();
    FVisits.shrink_to_fit();
    FImages.shrink_to_fit();
}

const std::vector<uint32_t>& TRecordWindow::Begin(const std::vector<uint32_t>& visits, int32_t recordSize) {
    Clear();
    FRecordSize = recordSize;
    FSorted.reserve(visits.size());
    for (std::size_t i = 0; i < visits.size(); ++i) FSorted.push_back(uint64_t{visits[i]} << 32 | i);
    SortByNumber(FSorted, FScratch);
    // A number visited twice is kept at its first visit.
    FSorted.erase(std::unique(FSorted.begin(), FSorted.end(),
                              [](uint64_t a, uint64_t b) { return a >> 32 == b >> 32; }),
                  FSorted.end());
    FWanted.reserve(FSorted.size());
    for (uint64_t entry : FSorted) FWanted.push_back(static_cast<uint32_t>(entry >> 32));
    FVisits.assign(visits.size(), 0);
    FImages.resize(visits.size() * static_cast<std::size_t>(std::max(recordSize, 0)));
    return FWanted;
}

void TRecordWindow::Keep(std::size_t k, const uint8_t* image) {
    const auto visit = static_cast<std::size_t>(FSorted[k] & 0xFFFFFFFFu);
    FVisits[visit] = FWanted[k];
    std::memcpy(FImages.data() + visit * static_cast<std::size_t>(FRecordSize), image,
                static_cast<std::size_t>(FRecordSize));
}

int64_t TRecordWindow::Locate(uint32_t recordNo) const {
    const auto it = std::lower_bound(FSorted.begin(), FSorted.end(), uint64_t{recordNo} << 32);
    if (it == FSorted.end() || *it >> 32 != recordNo) return -1;
    const auto visit = static_cast<std::size_t>(*it & 0xFFFFFFFFu);
    return FVisits[visit] == recordNo ? static_cast<int64_t>(visit) : -1;
}

bool TRecordWindow::Holds(uint32_t recordNo, int32_t recordSize) const {
    if (recordNo == 0 || recordSize != FRecordSize) return false;
    // Asked, as a rule, for the visit the next look-up starts at.
    return (FNext < FVisits.size() && FVisits[FNext] == recordNo) || Locate(recordNo) >= 0;
}

const uint8_t* TRecordWindow::Find(uint32_t recordNo, int32_t recordSize) {
    if (recordNo == 0 || recordSize != FRecordSize || FSorted.empty()) return nullptr;
    std::size_t visit = FNext;
    if (visit >= FVisits.size() || FVisits[visit] != recordNo) {
        const int64_t found = Locate(recordNo);
        if (found < 0) return nullptr;
        visit = static_cast<std::size_t>(found);
    }
    FNext = visit + 1;
    return FImages.data() + visit * static_cast<std::size_t>(FRecordSize);
}

// Each span starts at a wanted slot and reaches as far as the wanted slots that fit
// into one block with it; the slots between them are read but not taken. A short
// read gives what it brought: the rest is read again when the cursor gets there,
// with the usual checks. `take` may change the slot's bytes (unscrambling).
void TDataFile::ReadWantedSlots(const std::vector<uint32_t>& wanted, std::size_t from, const TSlotTaker& take) {
    const int32_t r = GetRecordSize();
    if (r <= 0) return;
    const int64_t dataStart = DataStart();
    std::size_t i = from;
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
            take(k, bytes + offset);
        }
        i = j;
    }
}

void TDataFile::FillRecordWindow(TDataFileCursor* cursor, int32_t direction, int32_t batch) {
    const int32_t r = GetRecordSize();
    FWindow.Clear();
    if (r <= 0 || !cursor) return;
    const int32_t most = RECORD_WINDOW_BYTES / r;
    // A window no longer than one batch would only read what the batch reads anyway.
    if (most <= batch) return;
    // It starts at a few batches and grows fourfold with every fill the scan runs
    // through, so that a short browse does not read a long stretch it never reaches.
    const int64_t target =
        FWindowTarget == 0 ? int64_t{WINDOW_START_BATCHES} * batch : int64_t{FWindowTarget} * WINDOW_GROWTH;
    FWindowTarget = static_cast<int32_t>(std::clamp<int64_t>(target, batch + 1, most));
    cursor->GetRecordsAhead(FWindowTarget, direction, FAhead);
    const uint32_t last = GetLastRecordNumber();
    // Numbers outside the file stay in the cursor's order unread.
    for (uint32_t& n : FAhead)
        if (n > last) n = 0;
    const std::vector<uint32_t>& wanted = FWindow.Begin(FAhead, r);
    const std::size_t skip = !wanted.empty() && wanted.front() == 0 ? 1 : 0;
    ReadWantedSlots(wanted, skip, [this](std::size_t k, uint8_t* image) {
        FWindow.Keep(k, image);
        ++FStatistics.RecordsRead;
    });
}

void TDataFile::DropRecordWindow() {
    ++FScanGeneration;
    FWindow.Clear();
    FWindowTarget = 0;
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
