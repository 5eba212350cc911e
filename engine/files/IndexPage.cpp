#include "engine/files/IndexPage.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "engine/files/FieldDesc.h"
#include "engine/files/IndexFile.h"
#include "engine/files/KeyEncoding.h"

namespace kura {

using dfbytes::GetU16;
using dfbytes::GetU32;
using dfbytes::PutU16;
using dfbytes::PutU32;

namespace {

constexpr uint32_t BUFFER_STEP = 4096;

std::atomic<uint64_t> StampCounter{0};

uint32_t RoundUp(uint32_t bytes) { return (bytes + BUFFER_STEP - 1) / BUFFER_STEP * BUFFER_STEP; }

// Zero bytes at the end of the `length` bytes that end at `last`; nothing to count
// when length is 0.
uint8_t TrailingZeros(const uint8_t* keyStart, uint32_t lastIndex, uint32_t length) {
    if (length == 0) return 0;
    return TrailingZeroCount(keyStart + lastIndex, static_cast<uint16_t>(length));
}

}  // namespace

TPage::TPage(TIndexFile* owner) : Owner(owner) { Restamp(); }

void TPage::Restamp() { Stamp = StampCounter.fetch_add(1, std::memory_order_relaxed) + 1; }

void TPage::Corrupt() const {
    if (Owner) Owner->RaiseError(KURA_INDEXCORRUPT);
    RaiseEngineError(KURA_INDEXCORRUPT);
}

void TPage::ResizeKeys(uint32_t bytes) {
    const uint32_t size = RoundUp(bytes);
    if (Keys.size() != size) Keys.resize(size);
}

// ---- Fields -------------------------------------------------------------------------

void TPage::SetKeyCount(uint16_t n) {
    if (n == KeyCount) return;
    Modified = 1;
    const uint32_t before = static_cast<uint32_t>(KeyCount) * EntrySize();
    KeyCount = n;
    const uint32_t used = static_cast<uint32_t>(n) * EntrySize();
    ResizeKeys(used);
    // The bytes past the entries are kept zero: only those the entries give up are
    // cleared (a page that grows writes its new entries itself), instead of the
    // whole rest of the buffer at every insert.
    if (used < before) std::fill(Keys.begin() + used, Keys.begin() + std::min<std::size_t>(before, Keys.size()), 0);
}

void TPage::SetPriorPage(uint32_t page) {
    if (PriorPage == page) return;
    PriorPage = page;
    Modified = 1;
}

void TPage::SetNextPage(uint32_t page) {
    if (NextPage == page) return;
    NextPage = page;
    Modified = 1;
}

void TPage::SetPageType(uint8_t type) {
    if (PageType == type) return;
    PageType = type;
    Modified = 1;
}

void TPage::Assign(const TPage& other) {
    PageNumber = other.PageNumber;
    PageType = other.PageType;
    UsedBytes = other.UsedBytes;
    KeyCount = other.KeyCount;
    PriorPage = other.PriorPage;
    NextPage = other.NextPage;
    Free = other.Free;
    IndexSlot = other.IndexSlot;
    KeySize = other.KeySize;
    Descending = other.Descending;
    Unique = other.Unique;
    NoSubtreeCounts = other.NoSubtreeCounts;
    Compression = other.Compression;
    std::memcpy(HeaderImage, other.HeaderImage, PAGE_HEADER_SIZE);
    Keys = other.Keys;
    Modified = other.Modified;
    Restamp();
}

void TPage::Clear() {
    std::fill(Keys.begin(), Keys.end(), 0);
    PageType = 0;
    UsedBytes = 0;
    KeyCount = 0;
    PriorPage = 0;
    NextPage = 0;
    Free = 0;
    Modified = 0;
    Restamp();
}

void TPage::ExpandKeyBuffer() {
    if (Keys.size() < static_cast<std::size_t>(INDEX_PAGE_SIZE)) Keys.resize(INDEX_PAGE_SIZE);
}

// ---- Entries -------------------------------------------------------------------------

uint8_t* TPage::GetKeyAddress(uint32_t slot) { return Keys.data() + (slot - 1) * EntrySize(); }
const uint8_t* TPage::GetKeyAddress(uint32_t slot) const { return Keys.data() + (slot - 1) * EntrySize(); }

uint8_t TPage::GetLeading(uint32_t slot) const {
    if (slot < 1 || slot > KeyCount) return 0;
    return GetKeyAddress(slot)[KeySize + 8];
}

uint8_t TPage::GetTrailing(uint32_t slot) const {
    if (slot < 1 || slot > KeyCount) return 0;
    return GetKeyAddress(slot)[KeySize + 9];
}

uint32_t TPage::GetRecordNo(uint32_t slot) const {
    if (slot < 1 || slot > KeyCount) return 0;
    return GetU32(GetKeyAddress(slot) + KeySize);
}

void TPage::SetRecordNo(uint32_t slot, uint32_t value) {
    if (slot < 1 || slot > KeyCount) return;
    PutU32(GetKeyAddress(slot) + KeySize, value);
    Modified = 1;
}

uint32_t TPage::GetSubtreeCount(uint32_t slot) const {
    if (IsLeaf()) return 1;
    if (slot < 1 || slot > KeyCount) return 0;
    return GetU32(GetKeyAddress(slot) + KeySize + 4);
}

void TPage::SetSubtreeCount(uint32_t slot, uint32_t count) {
    if (IsLeaf() || !KeepsCounts() || slot < 1 || slot > KeyCount) return;
    PutU32(GetKeyAddress(slot) + KeySize + 4, count);
    Modified = 1;
}

uint32_t TPage::CountKeys() const {
    if (IsLeaf()) return KeyCount;
    uint32_t total = 0;
    for (uint32_t i = 1; i <= KeyCount; ++i) total += GetSubtreeCount(i);
    return total;
}

uint32_t TPage::KeysBefore(uint32_t slot) const {
    if (slot <= 1) return 0;
    if (IsLeaf()) return slot - 1;
    uint32_t total = 0;
    const uint32_t last = std::min<uint32_t>(slot - 1, KeyCount);
    for (uint32_t i = 1; i <= last; ++i) total += GetSubtreeCount(i);
    return total;
}

void TPage::InsertGap(const uint8_t* key, uint32_t& slot) {
    if (slot > KeyCount) Corrupt();
    Modified = 1;
    const uint32_t es = EntrySize();
    const uint32_t oldCount = KeyCount;
    SetKeyCount(static_cast<uint16_t>(oldCount + 1));
    uint8_t* base = Keys.data();
    std::memmove(base + (slot + 1) * es, base + slot * es, (oldCount - slot) * es);
    uint8_t* entry = base + slot * es;
    std::memcpy(entry, key, KeySize);
    std::fill(entry + KeySize, entry + es, 0);
    ++slot;
}

void TPage::RemoveEntry(uint32_t& slot) {
    if (slot < 1 || slot > KeyCount) Corrupt();
    Modified = 1;
    const uint32_t es = EntrySize();
    uint8_t* base = Keys.data();
    std::memmove(base + (slot - 1) * es, base + slot * es, (KeyCount - slot) * es);
    SetKeyCount(static_cast<uint16_t>(KeyCount - 1));
    if (slot > KeyCount) slot = KeyCount;
}

void TPage::SetKey(const uint8_t* key, uint32_t slot) {
    if (slot < 1 || slot > KeyCount) Corrupt();
    std::memcpy(GetKeyAddress(slot), key, KeySize);
    Modified = 1;
}

uint32_t TPage::MaxKeys() const {
    if (IsCompressedLeaf()) return UINT16_MAX;
    if (!IsLeaf() && KeepsCounts()) return PAGE_DATA_SIZE / (KeySize + 8u);
    return PAGE_DATA_SIZE / (KeySize + 4u);
}

bool TPage::IsFull() const {
    if (IsCompressedLeaf()) return UsedBytes > PAGE_DATA_SIZE;
    return KeyCount > MaxKeys();
}

// ---- Compression and packing -----------------------------------------------------------

void TPage::CompressKeys() {
    if (!IsLeaf() || KeyCount == 0 || Compression == kcNone || Compression > kcBoth) {
        UsedBytes = 0;
        return;
    }
    const uint32_t ks = KeySize;
    // A non-unique key ends with the row identifier, which is always stored whole.
    const uint32_t tail = Unique ? 0 : std::min<uint32_t>(4, ks);
    uint32_t used = 0;
    for (uint32_t i = 1; i <= KeyCount; ++i) {
        uint8_t* key = GetKeyAddress(i);
        uint32_t leading = 0;
        uint32_t trailing = 0;
        if (Compression != kcTrailing && i > 1)
            leading = CommonPrefixLength(GetKeyAddress(i - 1), key, static_cast<uint16_t>(ks));
        if (Compression != kcLeading) {
            const uint32_t span = ks - leading;
            if (span > tail) trailing = TrailingZeros(key, ks - tail - 1, span - tail);
        }
        key[ks + 8] = static_cast<uint8_t>(leading);
        key[ks + 9] = static_cast<uint8_t>(trailing);
        used += PackedEntrySize(i);
    }
    UsedBytes = static_cast<uint16_t>(std::min<uint32_t>(used, UINT16_MAX));
}

uint32_t TPage::PackedEntrySize(uint32_t slot) const {
    const uint32_t ks = KeySize;
    if (!IsLeaf()) return ks + (KeepsCounts() ? 8 : 4);
    switch (Compression) {
    case kcLeading:
        return ks - GetLeading(slot) + 5;
    case kcTrailing:
        return ks - GetTrailing(slot) + 5;
    case kcBoth:
        return ks - GetLeading(slot) - GetTrailing(slot) + 6;
    default:
        return ks + 4;
    }
}

void TPage::PackKeys(uint8_t* dest) {
    if (PageType == ptRawData) {
        ExpandKeyBuffer();
        std::memcpy(dest, Keys.data(), PAGE_DATA_SIZE);
        return;
    }
    const uint32_t ks = KeySize;
    if (IsCompressedLeaf() && UsedBytes > PAGE_DATA_SIZE) Corrupt();
    if (!IsCompressedLeaf() && static_cast<uint32_t>(KeyCount) * PackedEntrySize(1) > PAGE_DATA_SIZE) Corrupt();
    const uint32_t tail = Unique ? 0 : std::min<uint32_t>(4, ks);
    uint8_t* out = dest;
    for (uint32_t i = 1; i <= KeyCount; ++i) {
        const uint8_t* entry = GetKeyAddress(i);
        if (!IsLeaf()) {
            const uint32_t n = ks + (KeepsCounts() ? 8 : 4);
            std::memcpy(out, entry, n);
            out += n;
            continue;
        }
        const uint32_t leading = Compression == kcLeading || Compression == kcBoth ? entry[ks + 8] : 0;
        const uint32_t trailing = Compression == kcTrailing || Compression == kcBoth ? entry[ks + 9] : 0;
        if (Compression == kcLeading || Compression == kcBoth) *out++ = static_cast<uint8_t>(leading);
        if (Compression == kcTrailing || Compression == kcBoth) *out++ = static_cast<uint8_t>(trailing);
        if (trailing > 0 && tail > 0 && ks - leading > tail) {
            // Head of the key without its trailing zeros, then the row identifier.
            const uint32_t head = ks - tail - trailing - leading;
            std::memcpy(out, entry + leading, head);
            out += head;
            std::memcpy(out, entry + ks - tail, tail);
            out += tail;
        } else {
            const uint32_t n = ks - leading - trailing;
            std::memcpy(out, entry + leading, n);
            out += n;
        }
        std::memcpy(out, entry + ks, 4);
        out += 4;
    }
}

void TPage::SaveToBuffer(uint8_t* buffer) {
    std::memset(buffer, 0, INDEX_PAGE_SIZE);
    if (!Free) CompressKeys();
    buffer[0] = PageType;
    PutU16(buffer + 1, (Free || PageType == ptRawData) ? 0 : KeyCount);
    PutU32(buffer + 3, PriorPage);
    PutU32(buffer + 7, NextPage);
    PutU16(buffer + 11, (Free || !IsCompressedLeaf()) ? 0 : UsedBytes);
    if (!Free) PackKeys(buffer + PAGE_HEADER_SIZE);
    std::memcpy(HeaderImage, buffer, PAGE_HEADER_SIZE);
    if (Owner && Owner->IsEncrypted())
        ScrambleBuffer(buffer, INDEX_PAGE_SIZE, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    Modified = 0;
    Restamp();
}

void TPage::LoadFromBuffer(const uint8_t* buffer, bool headerOnly) {
    uint8_t image[INDEX_PAGE_SIZE];
    std::memcpy(image, buffer, INDEX_PAGE_SIZE);
    if (Owner && Owner->IsEncrypted()) UnscrambleBuffer(image, INDEX_PAGE_SIZE, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    std::memcpy(HeaderImage, image, PAGE_HEADER_SIZE);
    PageType = image[0];
    PriorPage = GetU32(image + 3);
    NextPage = GetU32(image + 7);
    UsedBytes = GetU16(image + 11);
    Free = 0;
    KeyCount = 0;
    ResizeKeys(0);
    std::fill(Keys.begin(), Keys.end(), 0);
    // Restamped first: a corrupt image leaves the page half-loaded.
    Restamp();
    if (!headerOnly) ExpandKeys(image + PAGE_HEADER_SIZE);
    Modified = 0;
}

// Everything the image claims is checked against the 4083 bytes it has before an
// entry is built, so a damaged page is refused whole instead of being read past
// its end or unpacked into keys that never were.
void TPage::ExpandKeys(const uint8_t* src) {
    const uint32_t ks = KeySize;
    const uint32_t count = GetU16(HeaderImage + 1);
    auto fail = [this]() {
        KeyCount = 0;
        UsedBytes = 0;
        ResizeKeys(0);
        std::fill(Keys.begin(), Keys.end(), 0);
        Corrupt();
    };
    if (PageType > ptRawData) fail();
    if (PageType == ptRawData) {
        ExpandKeyBuffer();
        std::memcpy(Keys.data(), src, PAGE_DATA_SIZE);
        KeyCount = 0;
        return;
    }
    const uint32_t es = EntrySize();
    if (!IsCompressedLeaf()) {
        const uint32_t packed = ks + (IsLeaf() ? 4 : (KeepsCounts() ? 8 : 4));
        if (count * packed > PAGE_DATA_SIZE) fail();
        UsedBytes = 0;
        ResizeKeys(count * es);
        std::fill(Keys.begin(), Keys.end(), 0);
        KeyCount = static_cast<uint16_t>(count);
        for (uint32_t i = 0; i < count; ++i) std::memcpy(Keys.data() + i * es, src + i * packed, packed);
        return;
    }

    const uint32_t used = UsedBytes;
    // Every packed entry takes at least five bytes.
    if (used > PAGE_DATA_SIZE || count * 5 > used || (count == 0 && used != 0)) fail();
    const uint32_t tail = Unique ? 0 : std::min<uint32_t>(4, ks);
    ResizeKeys(count * es);
    std::fill(Keys.begin(), Keys.end(), 0);
    KeyCount = static_cast<uint16_t>(count);
    uint32_t pos = 0;
    for (uint32_t i = 1; i <= count; ++i) {
        uint8_t* entry = GetKeyAddress(i);
        uint32_t leading = 0;
        uint32_t trailing = 0;
        const uint32_t countBytes = Compression == kcBoth ? 2 : 1;
        if (pos + countBytes > used) fail();
        if (Compression == kcLeading || Compression == kcBoth) leading = src[pos++];
        if (Compression == kcTrailing || Compression == kcBoth) trailing = src[pos++];
        if (leading > ks || leading > 254 || trailing > 254) fail();
        if (i == 1 && leading != 0) fail();
        const uint32_t span = ks - leading;
        if (trailing > 0 && (span <= tail || trailing > span - tail)) fail();
        const uint32_t stored = span - trailing;
        if (pos + stored + 4 > used) fail();
        if (leading > 0) std::memcpy(entry, GetKeyAddress(i - 1), leading);
        if (trailing > 0 && tail > 0) {
            const uint32_t head = span - tail - trailing;
            std::memcpy(entry + leading, src + pos, head);
            std::memcpy(entry + ks - tail, src + pos + head, tail);
        } else {
            std::memcpy(entry + leading, src + pos, stored);
        }
        pos += stored;
        std::memcpy(entry + ks, src + pos, 4);
        pos += 4;
        entry[ks + 8] = static_cast<uint8_t>(leading);
        entry[ks + 9] = static_cast<uint8_t>(trailing);
    }
    if (pos != used) fail();
}

// ---- Searches -------------------------------------------------------------------------

int32_t TPage::Compare(TIndexCursor& cursor, uint32_t slot, const uint8_t* key) const {
    return cursor.CompareKeys(GetKeyAddress(slot), key, KeySize);
}

// A page search's comparison of the entry at a slot with the key: the cursor's,
// or the bytes themselves where the cursor orders keys as bytes, which spares a
// call through the cursor at every probe of a descent.
class TPage::TProbe {
public:
    TProbe(const TPage& page, TIndexCursor& cursor, const uint8_t* key)
        : FPage(page), FCursor(cursor), FKey(key), FBytes(cursor.KeysCompareAsBytes()) {}
    int32_t operator()(uint32_t slot) const {
        return FBytes ? std::memcmp(FPage.GetKeyAddress(slot), FKey, FPage.KeySize) : FPage.Compare(FCursor, slot, FKey);
    }

private:
    const TPage& FPage;
    TIndexCursor& FCursor;
    const uint8_t* FKey;
    bool FBytes;
};

uint32_t TPage::LastNotAbove(TIndexCursor& cursor, const uint8_t* key, bool& exact) const {
    const TProbe compare(*this, cursor, key);
    uint32_t low = 1;
    uint32_t high = KeyCount;
    uint32_t found = 0;
    exact = false;
    while (low <= high) {
        const uint32_t mid = low + (high - low) / 2;
        const int32_t c = compare(mid);
        if (c <= 0) {
            found = mid;
            if (c == 0) exact = true;
            low = mid + 1;
        } else {
            high = mid - 1;
        }
    }
    if (found != 0 && exact) exact = compare(found) == 0;
    return found;
}

uint32_t TPage::FirstNotBelow(TIndexCursor& cursor, const uint8_t* key) const {
    const TProbe compare(*this, cursor, key);
    uint32_t low = 1;
    uint32_t high = KeyCount;
    uint32_t found = KeyCount + 1u;
    while (low <= high) {
        const uint32_t mid = low + (high - low) / 2;
        if (compare(mid) >= 0) {
            found = mid;
            high = mid - 1;
        } else {
            low = mid + 1;
        }
    }
    return found;
}

bool TPage::FindKey(TIndexCursor& cursor, const uint8_t* key, uint32_t& slot) {
    if (KeyCount == 0) Corrupt();
    bool exact = false;
    const uint32_t s = LastNotAbove(cursor, key, exact);
    slot = s == 0 ? 1 : s;
    return s != 0 && exact && IsLeaf();
}

void TPage::FindInsertSlot(TIndexCursor& cursor, const uint8_t* key, uint32_t& slot) {
    if (KeyCount == 0) Corrupt();
    // Keys mostly arrive in ascending order (row identifiers, counters): one
    // comparison with the last entry settles those without the binary search.
    if (Compare(cursor, KeyCount, key) <= 0) {
        slot = KeyCount;
        return;
    }
    bool exact = false;
    slot = LastNotAbove(cursor, key, exact);
}

bool TPage::FindDeleteSlot(TIndexCursor& cursor, const uint8_t* key, uint32_t& slot) { return FindKey(cursor, key, slot); }

bool TPage::SearchKey(TIndexCursor& cursor, const uint8_t* key, bool nearest, int32_t& position, uint32_t& slot) {
    if (KeyCount == 0) Corrupt();
    bool exact = false;
    const uint32_t s = LastNotAbove(cursor, key, exact);
    const bool found = s != 0 && exact && IsLeaf();
    slot = s == 0 ? 1 : s;
    if (nearest && IsLeaf() && !found && s != 0 && s < KeyCount) slot = s + 1;
    position += static_cast<int32_t>(KeysBefore(slot));
    return found;
}

bool TPage::ScanKey(TIndexCursor& cursor, const uint8_t* key, bool strict, uint32_t& slot, int32_t& position,
                    const uint8_t* limitKey) {
    if (KeyCount == 0) Corrupt();
    uint32_t i = 1;
    for (; i <= KeyCount; ++i) {
        if (limitKey && Compare(cursor, i, limitKey) > 0) break;
        const int32_t c = Compare(cursor, i, key);
        if (c == 0) {
            slot = i;
            return IsLeaf();
        }
        if (c > 0) {
            if (IsLeaf() && strict) {
                slot = i;
                return false;
            }
            break;
        }
        position += static_cast<int32_t>(GetSubtreeCount(i));
    }
    if (i > 1) {
        slot = i - 1;
        position -= static_cast<int32_t>(GetSubtreeCount(slot));
    } else {
        slot = 1;
    }
    return false;
}

uint32_t TPage::GetLastSlot(int32_t& position) const {
    position += static_cast<int32_t>(KeysBefore(KeyCount));
    return KeyCount;
}

void TPage::FindRangeStart(TIndexCursor& cursor, const uint8_t* key, int32_t& position, uint32_t& slot) {
    if (IsLeaf()) {
        slot = FirstNotBelow(cursor, key);
    } else {
        bool exact = false;
        slot = std::max<uint32_t>(1, LastNotAbove(cursor, key, exact));
    }
    position += static_cast<int32_t>(KeysBefore(slot));
}

void TPage::FindLowKey(TIndexCursor& cursor, const uint8_t* key, int32_t& position, uint32_t& slot) {
    FindRangeStart(cursor, key, position, slot);
}

void TPage::FindRangeEnd(TIndexCursor& cursor, const uint8_t* key, int32_t& position, uint32_t& slot) {
    bool exact = false;
    slot = LastNotAbove(cursor, key, exact);
    position += static_cast<int32_t>(KeysBefore(slot));
}

void TPage::FindHighKey(TIndexCursor& cursor, const uint8_t* key, int32_t& position, uint32_t& slot) {
    FindRangeEnd(cursor, key, position, slot);
}

int32_t TPage::CountConsecutiveRecords(int32_t maximum, int32_t direction, uint32_t slot) {
    if (KeyCount == 0) Corrupt();
    if (slot < 1 || slot > KeyCount || maximum <= 0) return 0;
    int32_t n = 1;
    uint32_t expected = GetRecordNo(slot);
    uint32_t i = slot;
    while (n < maximum) {
        if (direction == 1) {
            if (i >= KeyCount) break;
            ++i;
            ++expected;
        } else {
            if (i <= 1) break;
            --i;
            --expected;
        }
        if (GetRecordNo(i) != expected) break;
        ++n;
    }
    return n;
}

bool TPage::AddRecordsToBitmap(TIndexCursor& cursor, TRecordsBitmap& bitmap, const uint8_t* upperKey, uint32_t slot) {
    for (uint32_t i = std::max<uint32_t>(slot, 1); i <= KeyCount; ++i) {
        if (Compare(cursor, i, upperKey) > 0) return false;
        bitmap.SetBit(static_cast<int32_t>(GetRecordNo(i)));
    }
    return true;
}

// ---- Pool -----------------------------------------------------------------------------

TPageStack::~TPageStack() { Clear(); }

TPage* TPageStack::Pop() {
    if (Idle.empty()) return new TPage(Owner);
    TPage* page = Idle.back();
    Idle.pop_back();
    page->Clear();
    page->ResetPins();
    return page;
}

void TPageStack::Push(TPage*& page) {
    if (!page) return;
    page->Older = page->Newer = nullptr;
    page->Detached = false;
    if (Idle.size() < 4) {
        Idle.push_back(page);
    } else {
        delete page;
    }
    page = nullptr;
}

void TPageStack::Clear() {
    for (TPage* page : Idle) delete page;
    Idle.clear();
}

}  // namespace kura
