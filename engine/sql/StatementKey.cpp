#include "engine/sql/StatementKey.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <queue>

#include "engine/files/ScratchFile.h"

namespace kura {

namespace {

uint32_t LoadU32(const uint8_t* p) {
    uint32_t v = 0;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace

TStatementKey::TStatementKey(TScratchFile& scratch, int64_t region, uint16_t width, uint16_t payload, TCompare compare,
                             bool spread)
    : FScratch(scratch), FRegion(region), FWidth(width), FEntry(width + 4u + payload),
      FPerPage(static_cast<uint32_t>(SCRATCH_PAGE_SIZE) / (width + 4u + payload)), FCompare(std::move(compare)),
      FSpread(spread && !FCompare) {}

int TStatementKey::CompareKeys(const uint8_t* a, const uint8_t* b) const {
    if (FCompare) return FCompare(a, b);
    const uint32_t x = LoadU32(a), y = LoadU32(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

int TStatementKey::CompareEntries(const uint8_t* a, const uint8_t* b) const {
    if (const int c = CompareKeys(a, b); c != 0) return c;
    const uint32_t x = LoadU32(a + FWidth), y = LoadU32(b + FWidth);
    return x < y ? -1 : x > y ? 1 : 0;
}

void TStatementKey::Clear() {
    FChunk.clear();
    FChunk.shrink_to_fit();
    FRuns.clear();
    FRunsInOrder = true;
    FLastOfRuns.clear();
    FScratch.Forget(FRegion, FRegion + REGION_SIZE);
    FRunsEnd = 0;
    FCount = 0;
    FFirstKeys.clear();
    FDirectory.clear();
    FPosition = 0;
}

void TStatementKey::Add(const uint8_t* key, uint32_t recordNo, const uint8_t* payload) {
    // The chunk and the order it is sorted in take an eighth of the memory.
    const uint64_t perEntry = FEntry + (FCompare ? 4u : 16u);
    const uint64_t most = std::max<uint64_t>(2, static_cast<uint64_t>(FScratch.Budget() / 8) / perEntry);
    if (FChunk.empty()) FChunk.reserve(std::min<uint64_t>(most, 1024) * FEntry);
    ++FCount;
    const size_t at = FChunk.size();
    FChunk.resize(at + FEntry);
    uint8_t* entry = FChunk.data() + at;
    std::memcpy(entry, key, FWidth);
    std::memcpy(entry + FWidth, &recordNo, 4);
    if (FEntry > FWidth + 4u) std::memcpy(entry + FWidth + 4, payload, FEntry - FWidth - 4u);
    if (FChunk.size() / FEntry >= most) WriteRun();
}

template <typename TPut>
void TStatementKey::SortChunk(TPut put) {
    const size_t count = FChunk.size() / FEntry;
    const uint8_t* chunk = FChunk.data();
    if (!FCompare) {
        // A 32-bit key and a record number sort as one number.
        std::vector<std::pair<uint64_t, uint32_t>> order(count);
        for (size_t i = 0; i < count; ++i)
            order[i] = {uint64_t{LoadU32(chunk + i * FEntry)} << 32 | LoadU32(chunk + i * FEntry + FWidth),
                        static_cast<uint32_t>(i)};
        // A table filed in the order of the key comes in sorted.
        if (!std::is_sorted(order.begin(), order.end())) std::sort(order.begin(), order.end());
        for (size_t i = 0; i < count; ++i) put(i, chunk + size_t{order[i].second} * FEntry);
        return;
    }
    std::vector<uint32_t> order(count);
    std::iota(order.begin(), order.end(), 0u);
    const auto before = [&](uint32_t a, uint32_t b) {
        return CompareEntries(chunk + size_t{a} * FEntry, chunk + size_t{b} * FEntry) < 0;
    };
    if (!std::is_sorted(order.begin(), order.end(), before)) std::sort(order.begin(), order.end(), before);
    for (size_t i = 0; i < count; ++i) put(i, chunk + size_t{order[i]} * FEntry);
}

void TStatementKey::WriteRun() {
    if (FChunk.empty()) return;
    const int64_t start = FRegion + REGION_SIZE / 2 + FRunsEnd;
    SortChunk([&](size_t i, const uint8_t* entry) {
        if (i == 0 && !FLastOfRuns.empty())
            FRunsInOrder = FRunsInOrder && CompareEntries(FLastOfRuns.data(), entry) < 0;
        if (i + 1 == FChunk.size() / FEntry) FLastOfRuns.assign(entry, entry + FEntry);
        FScratch.Write(start + static_cast<int64_t>(i * FEntry), entry, FEntry);
    });
    FRuns.push_back({start, FChunk.size() / FEntry});
    FRunsEnd += static_cast<int64_t>(FChunk.size());
    FChunk.clear();
}

int64_t TStatementKey::EntryOffset(uint64_t i) const {
    return FRegion + static_cast<int64_t>(i / FPerPage) * SCRATCH_PAGE_SIZE + static_cast<int64_t>(i % FPerPage * FEntry);
}

const uint8_t* TStatementKey::Entry(uint64_t i) { return FScratch.View(EntryOffset(i), static_cast<int32_t>(FEntry)); }

void TStatementKey::Place(uint64_t i, const uint8_t* entry) {
    // A page of the sorted key is written whole, once its entries are there.
    const size_t at = static_cast<size_t>(i % FPerPage) * FEntry;
    if (i % (uint64_t{FPerPage} * FStride) == 0) FFirstKeys.insert(FFirstKeys.end(), entry, entry + FWidth);
    FPage.resize(static_cast<size_t>(FPerPage) * FEntry);
    std::memcpy(FPage.data() + at, entry, FEntry);
    if (at + FEntry == FPage.size() || i + 1 == FCount)
        FScratch.Write(EntryOffset(i - i % FPerPage), FPage.data(), static_cast<int64_t>(at + FEntry));
}

void TStatementKey::Finish() {
    FFirstKeys.clear();
    FDirectory.clear();
    FPosition = 0;
    // The first keys kept take a sixteenth of the memory at the most: of every
    // page, or of every so many pages.
    const uint64_t pages = (FCount + FPerPage - 1) / FPerPage;
    const uint64_t room = std::max<uint64_t>(1, static_cast<uint64_t>(FScratch.Budget() / 16) / FWidth);
    FStride = std::max<uint64_t>(1, (pages + room - 1) / room);
    if (FRuns.empty())
        SortChunk([&](size_t i, const uint8_t* entry) { Place(i, entry); });
    else
        Merge();
    FChunk.clear();
    FChunk.shrink_to_fit();
    FPage.clear();
    FPage.shrink_to_fit();
    if (!FSpread || FCount == 0) return;
    // About eight entries to a run of the directory, which takes a sixteenth of
    // the memory at the most.
    FBits = 1;
    while (FBits < 24 && (uint64_t{1} << (FBits + 3)) < FCount && (int64_t{8} << FBits) <= FScratch.Budget() / 16)
        ++FBits;
    FDirectory.assign((size_t{1} << FBits) + 1, 0);
    for (uint64_t i = 0; i < FCount; ++i) ++FDirectory[(LoadU32(Entry(i)) >> (32 - FBits)) + 1];
    for (size_t j = 1; j < FDirectory.size(); ++j) FDirectory[j] += FDirectory[j - 1];
}

void TStatementKey::Merge() {
    WriteRun();
    FChunk.shrink_to_fit();
    // The runs merged: each run read a page's worth of entries at a time, its
    // next entry in a heap of the smallest first.
    struct THead {
        std::vector<uint8_t> Entries;
        size_t At = 0;       // the head's entry in Entries
        uint64_t Read = 0;   // entries of the run read so far
        const TRun* Run = nullptr;
        const uint8_t* Entry() const { return Entries.data() + At; }
    };
    std::vector<THead> heads(FRuns.size());
    auto later = [&](size_t a, size_t b) { return CompareEntries(heads[a].Entry(), heads[b].Entry()) > 0; };
    std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heap(later);
    const uint64_t batch = std::max<uint64_t>(1, SCRATCH_PAGE_SIZE / FEntry);
    auto load = [&](size_t h) {
        THead& head = heads[h];
        head.At += FEntry;
        if (head.At >= head.Entries.size()) {
            const uint64_t count = std::min(batch, head.Run->Count - head.Read);
            if (count == 0) return;
            head.Entries.resize(static_cast<size_t>(count * FEntry));
            FScratch.Read(head.Run->Start + static_cast<int64_t>(head.Read * FEntry), head.Entries.data(),
                          static_cast<int64_t>(head.Entries.size()));
            head.Read += count;
            head.At = 0;
        }
        heap.push(h);
    };
    uint64_t placed = 0;
    for (size_t r = 0; r < FRuns.size(); ++r) {
        heads[r].Run = &FRuns[r];
        heads[r].At = SIZE_MAX - FEntry;
        load(r);
        // Runs in order: each in turn, without comparing.
        for (; FRunsInOrder && !heap.empty(); load(r)) {
            heap.pop();
            Place(placed++, heads[r].Entry());
        }
    }
    for (; !heap.empty(); ++placed) {
        const size_t h = heap.top();
        heap.pop();
        Place(placed, heads[h].Entry());
        load(h);
    }
    FRuns.clear();
    FRunsInOrder = true;
    FLastOfRuns.clear();
    FScratch.Forget(FRegion + REGION_SIZE / 2, FRegion + REGION_SIZE / 2 + FRunsEnd + SCRATCH_PAGE_SIZE);
    FRunsEnd = 0;
}

bool TStatementKey::Follows(const uint8_t* key) {
    if (FPosition > FCount || (FPosition > 0 && CompareKeys(Entry(FPosition - 1), key) >= 0)) return false;
    return FPosition == FCount || CompareKeys(Entry(FPosition), key) >= 0;
}

void TStatementKey::Seek(const uint8_t* key) {
    FWanted.assign(key, key + FWidth);
    if (!FDirectory.empty()) {
        const uint32_t hash = LoadU32(key);
        const size_t run = hash >> (32 - FBits);
        FPosition = FDirectory[run];
        while (FPosition < FDirectory[run + 1] && LoadU32(Entry(FPosition)) < hash) ++FPosition;
        return;
    }
    // Keys sought in their order (outer rows met in the key's order) begin where
    // the search before left off.
    if (Follows(key)) return;
    const uint64_t span = uint64_t{FPerPage} * FStride;  // entries between two first keys kept
    const uint64_t kept = FFirstKeys.size() / FWidth;
    // The first key kept that is not below the key; the key's first entry lies
    // in the span before it, or begins that span.
    uint64_t low = 0, high = kept;
    while (low < high) {
        const uint64_t middle = low + (high - low) / 2;
        if (CompareKeys(FFirstKeys.data() + middle * FWidth, key) < 0) low = middle + 1;
        else high = middle;
    }
    FPosition = low * span;
    if (low == 0) return;
    // Within the span.
    uint64_t first = (low - 1) * span, last = std::min<uint64_t>(low * span, FCount);
    while (first < last) {
        const uint64_t middle = first + (last - first) / 2;
        if (CompareKeys(Entry(middle), key) < 0) first = middle + 1;
        else last = middle;
    }
    FPosition = first;
}

bool TStatementKey::Next(uint32_t& recordNo, const uint8_t*& payload) {
    if (FPosition >= FCount) return false;
    const uint8_t* entry = Entry(FPosition);
    if (CompareKeys(entry, FWanted.data()) != 0) return false;
    recordNo = LoadU32(entry + FWidth);
    payload = entry + FWidth + 4;
    ++FPosition;
    return true;
}

}  // namespace kura
