#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "engine/files/FieldDesc.h"
#include "engine/files/IndexFile.h"
#include "engine/files/EngineRandom.h"

namespace kura {

using dfbytes::GetU16;
using dfbytes::GetU32;

namespace {

// A pinned page released when the scope ends, also on the way out of a failure.
class TPinnedPage {
public:
    TPinnedPage(TIndexFile& file, TPage* page) : file_(file), page_(page) {}
    ~TPinnedPage() { file_.ReleasePage(page_); }
    TPinnedPage(const TPinnedPage&) = delete;
    TPinnedPage& operator=(const TPinnedPage&) = delete;
    TPage* operator->() const { return page_; }
    TPage& operator*() const { return *page_; }
    TPage* get() const { return page_; }

private:
    TIndexFile& file_;
    TPage* page_;
};

constexpr std::size_t MAX_RUN_PAGES = 256;

int64_t PageOffset(uint32_t page) { return static_cast<int64_t>(page) * INDEX_PAGE_SIZE; }

}  // namespace

// ---- Cache lists ----------------------------------------------------------------------

TFileHandler& TIndexFile::PageFile(uint8_t slot) {
    if (IsTemporarySlot(slot) && FSideFile) return *FSideFile;
    return *this;
}

void TIndexFile::InsertCached(TSlotCache& cache, TPage* page) {
    cache.Insert(page, [this] { RaiseError(KURA_INDEXCORRUPT); });
}

void TIndexFile::RemoveCached(TSlotCache& cache, TPage* page) {
    cache.Remove(page, [this] { RaiseError(KURA_INDEXCORRUPT); });
}

bool TIndexFile::FlushToRecycle(uint8_t slot) {
    // Inside a transaction nothing may reach the disk before the commit: the
    // pages go to the held changes once the transaction's caches have reached
    // its budget, else they stay and the cache grows.
    if (InTransaction()) {
        if (IsTemporarySlot(slot) || !Held || !Held->TakesCachedChanges()) return false;
        return FlushOldestPages(slot);
    }
    // Pages of a temporary index live in a side file outside the journal.
    if (!IsTemporarySlot(slot) && FOwner) {
        switch (FOwner->FlushForRecycle()) {
            case TRecycleFlush::Defer: return false;
            case TRecycleFlush::Table: return true;
            case TRecycleFlush::Own: break;
        }
    }
    FlushPages(IsTemporarySlot(slot));
    return true;
}

TPage* TIndexFile::TakeRecyclable(uint8_t slot) {
    return FLists[slot].TakeRecyclable([this, slot] { return FlushToRecycle(slot); },
                                       [this] { RaiseError(KURA_INDEXCORRUPT); });
}

TPage* TIndexFile::GetCachePage(uint8_t slot) {
    return FLists[slot].Acquire(
        INDEX_CACHE_GROWTH, [this, slot] { return TakeRecyclable(slot); }, [this] { return FPool->Pop(); });
}

void TIndexFile::BindPage(TPage* page, uint8_t slot, uint32_t number, bool loading) {
    const uint8_t* d = DescAt(slot);
    // A page about to be loaded from its image gets every field and its keys from
    // there: clearing its keys first would only cost another pass over them (on
    // each read of a page a large transaction's caches gave up).
    if (!loading) page->Clear();
    page->PageNumber = number;
    page->IndexSlot = slot;
    page->KeySize = GetU16(d + ido::KeySize);
    page->Descending = d[ido::Descending];
    page->Unique = d[ido::Unique];
    page->NoSubtreeCounts = d[ido::NoCounts];
    page->Compression = d[ido::Compression];
}

// ---- Reading and writing pages -----------------------------------------------------------

bool TIndexFile::ReadPage(TIndexCursor& cursor, uint32_t number, TPage*& result, bool isNew) {
    result = nullptr;
    const uint8_t slot = cursor.GetIndexNumber();
    CheckSlot(slot);
    if (number == 0) RaiseError(KURA_INDEXCORRUPT);
    TSlotCache& cache = FLists[slot];
    const uint32_t nextNew = GetNextNewPage(slot);

    if (number == nextNew) {
        if (number > INDEX_PAGE_NUMBER_LIMIT || PageOffset(number) + INDEX_PAGE_SIZE > INDEX_FILE_SIZE_LIMIT)
            RaiseError(KURA_TABLEFULL);
        TPage* page = GetCachePage(slot);
        BindPage(page, slot, number);
        // A page that exists only in the cache must still reach the disk, so that
        // the file never has a hole where a later read would come up short.
        page->Modified = 1;
        InsertCached(cache, page);
        page->Pin();
        SetNextNewPage(slot, number + 1);
        SetModified();
        ++FStatistics.PagesCreated;
        result = page;
        return true;
    }
    // A page number beyond the end can only come from a damaged tree or chain.
    if (number > nextNew) RaiseError(KURA_INDEXCORRUPT);

    // Each descent moves the page of every level to the head in turn, so the next
    // descent finds its page of each level of a tree up to four deep among the
    // four most recent ones, without the map.
    if (TPage* hit = cache.Lookup(number, 4)) {
        cache.MoveToHead(hit);
        hit->Pin();
        ++FStatistics.CacheHits;
        result = hit;
        return true;
    }

    if ((!FOwner || !FOwner->GetStrictChangeDetection()) && cursor.CheckBeforeCacheMiss()) return false;

    if (FReadBuffer.size() < static_cast<std::size_t>(INDEX_PAGE_SIZE)) FReadBuffer.resize(INDEX_PAGE_SIZE);
    const bool temporary = IsTemporarySlot(slot);
    TFileHandler& file = PageFile(slot);
    const bool allowShort = temporary ? GetFilesWritten() : ((Exclusive || InTransaction()) && GetFilesWritten());
    {
        TFileSectionGuard guard(file);
        file.Seek(soFromBeginning, PageOffset(number));
        const int32_t got = file.ReadBuffer(FReadBuffer.data(), INDEX_PAGE_SIZE, allowShort);
        if (got < INDEX_PAGE_SIZE) std::fill(FReadBuffer.begin() + std::max(got, 0), FReadBuffer.end(), 0);
    }
    ++FStatistics.PageReads;

    TPage* page = GetCachePage(slot);
    BindPage(page, slot, number, true);
    InsertCached(cache, page);
    try {
        page->LoadFromBuffer(FReadBuffer.data(), isNew);
    } catch (...) {
        RemoveCached(cache, page);
        cache.Unlink(page);
        FPool->Push(page);
        throw;
    }
    if (page->PageNumber != number) RaiseError(KURA_INDEXCORRUPT);
    page->Pin();
    result = page;
    return true;
}

bool TIndexFile::PeekPage(uint8_t slot, uint32_t number, TPage& into) {
    if (slot >= INDEX_SLOT_COUNT || number == 0 || number >= GetNextNewPage(slot) || !FPool) return false;
    if (const TPage* cached = FLists[slot].Find(number)) {
        into.Assign(*cached);
        into.ResetPins();
        return true;
    }
    if (FPeekBuffer.size() < static_cast<std::size_t>(INDEX_PAGE_SIZE)) FPeekBuffer.resize(INDEX_PAGE_SIZE);
    TFileHandler& file = PageFile(slot);
    int32_t got = 0;
    {
        TFileSectionGuard guard(file);
        file.Seek(soFromBeginning, PageOffset(number));
        got = file.ReadBuffer(FPeekBuffer.data(), INDEX_PAGE_SIZE, true);
    }
    if (got < INDEX_PAGE_SIZE) return false;
    BindPage(&into, slot, number);
    try {
        into.LoadFromBuffer(FPeekBuffer.data(), false);
    } catch (const EKuraEngineError&) {
        // A page that does not read as one is left for the real read to report.
        return false;
    }
    ++FStatistics.PagePeeks;
    return into.PageNumber == number;
}

void TIndexFile::ReleasePage(TPage*& page) {
    if (!page) return;
    page->Unpin();
    if (page->Detached && page->PinCount == 0) {
        auto it = std::find(FDetached.begin(), FDetached.end(), page);
        if (it != FDetached.end()) FDetached.erase(it);
        FPool->Push(page);
    }
    page = nullptr;
}

void TIndexFile::AllocatePage(TIndexCursor& cursor, TPage*& result) {
    result = nullptr;
    const uint8_t slot = cursor.GetIndexNumber();
    CheckSlot(slot);
    uint32_t head = 0;
    uint32_t number = 0;
    TPage* page = nullptr;
    // A failed read refreshed the cursor, possibly with another program's header:
    // the free chain is looked up again, or a page it has taken since is handed out.
    for (int32_t attempts = 0;; ++attempts) {
        if (attempts >= PARAMS_PAGE_READ_ATTEMPTS) RaiseError(KURA_LOCKTIMEOUT);
        head = GetU32(DescAt(slot) + ido::FreeHead);
        number = GetFreePageHead(slot);
        // The head of a free chain must be a page that exists; the next-new page
        // number is not one, so a chain pointing there is as damaged as one beyond it.
        if (head != 0 && head >= GetNextNewPage(slot)) RaiseError(KURA_INDEXCORRUPT);
        if (ReadPage(cursor, number, page, true)) break;
    }
    if (head != 0) {
        // Only a page that was freed may be handed out again: one with keys would
        // be shared by two places of the tree.
        const bool isFree = page->Free || (page->KeyCount == 0 && GetU16(page->HeaderImage + 1) == 0);
        if (!isFree) {
            ReleasePage(page);
            RaiseError(KURA_INDEXCORRUPT);
        }
        SetFreePageHead(slot, page->NextPage);
    }
    BindPage(page, slot, number);
    page->Modified = 1;
    result = page;
}

void TIndexFile::FreePage(TIndexCursor& cursor, TPage* page) {
    if (!page) return;
    const uint8_t slot = cursor.GetIndexNumber();
    CheckSlot(slot);
    page->SetNextPage(GetU32(DescAt(slot) + ido::FreeHead));
    page->Free = 1;
    page->Modified = 1;
    SetFreePageHead(slot, page->PageNumber);
}

bool TIndexFile::ReadRootPage(TIndexCursor& cursor, TPage*& result, bool& failed) {
    result = nullptr;
    failed = false;
    const uint32_t root = GetRootPage(cursor.GetIndexNumber());
    if (root == 0) return false;
    if (!ReadPage(cursor, root, result, false)) {
        failed = true;
        return false;
    }
    return true;
}

bool TIndexFile::ReadParamsPage(TIndexCursor& cursor, TPage*& result, bool& failed) {
    result = nullptr;
    failed = false;
    const uint32_t number = GetParamsPage(cursor.GetIndexNumber());
    if (number == 0) return false;
    for (int32_t attempt = 0; attempt < PARAMS_PAGE_READ_ATTEMPTS; ++attempt)
        if (ReadPage(cursor, number, result, false)) return true;
    failed = true;
    RaiseError(KURA_LOCKTIMEOUT);
}

TPage* TIndexFile::PopPage() { return FPool->Pop(); }
void TIndexFile::PushPage(TPage*& page) { FPool->Push(page); }

bool TIndexFile::FlushPages(bool temporaryOnly) {
    if (!FPool) return false;
    FFlushList.clear();
    for (uint8_t slot = 0; slot < INDEX_SLOT_COUNT; ++slot) {
        if (IsTemporarySlot(slot) != temporaryOnly) continue;
        FLists[slot].Unpark();
        FLists[slot].ForEach([this](TPage* page) {
            if (page->Modified && page->PinCount == 0) FFlushList.push_back(page);
        });
    }
    return WriteFlushList(temporaryOnly);
}

bool TIndexFile::FlushOldestPages(uint8_t slot) {
    if (!FPool) return false;
    // The pages a descent passes (the root, the inner pages, the leaves just
    // used) are changed by nearly every insertion: written now, they would be
    // changed again at once. The oldest ones are the ones to give up.
    TSlotCache& cache = FLists[slot];
    const auto wanted = static_cast<std::size_t>(std::max(INDEX_CACHE_GROWTH, cache.Count() / 4));
    FFlushList.clear();
    cache.Unpark();
    for (TPage* page = cache.Tail; page && FFlushList.size() < wanted; page = page->Newer)
        if (page->Modified && page->PinCount == 0) FFlushList.push_back(page);
    return WriteFlushList(false);
}

bool TIndexFile::WriteFlushList(bool temporaryOnly) {
    if (FFlushList.empty()) return false;
    std::sort(FFlushList.begin(), FFlushList.end(),
              [](const TPage* a, const TPage* b) { return a->PageNumber < b->PageNumber; });
    TFileHandler& file = temporaryOnly && FSideFile ? *FSideFile : *this;
    std::size_t first = 0;
    while (first < FFlushList.size()) {
        std::size_t last = first;
        // A run is written in pieces of at most MAX_RUN_PAGES, so the byte count of
        // one write stays far inside 32 bits however much a transaction dirtied.
        while (last + 1 < FFlushList.size() && last + 1 - first < MAX_RUN_PAGES &&
               FFlushList[last + 1]->PageNumber == FFlushList[last]->PageNumber + 1)
            ++last;
        const std::size_t run = last - first + 1;
        const std::size_t bytes = run * INDEX_PAGE_SIZE;
        if (FWriteBuffer.size() < bytes) FWriteBuffer.resize((bytes + 4095) / 4096 * 4096);
        try {
            for (std::size_t i = 0; i < run; ++i)
                FFlushList[first + i]->SaveToBuffer(FWriteBuffer.data() + i * INDEX_PAGE_SIZE);
            TFileSectionGuard guard(file);
            file.Seek(soFromBeginning, PageOffset(FFlushList[first]->PageNumber));
            file.WriteBuffer(FWriteBuffer.data(), static_cast<int32_t>(bytes));
        } catch (...) {
            // Packing marked them clean, but they never reached the disk: a later
            // flush must still write them, and the cache must not recycle them.
            for (std::size_t i = 0; i < run; ++i) FFlushList[first + i]->Modified = 1;
            FFlushList.clear();
            throw;
        }
        FStatistics.PageWrites += run;
        ++FStatistics.RunWrites;
        first = last + 1;
    }
    FFlushList.clear();
    SetFilesWritten();
    return true;
}

void TIndexFile::TrimPageCache() {
    if (!FPool) return;
    const int32_t configured = ConfiguredCacheSize();
    for (uint8_t slot = 0; slot < INDEX_SLOT_COUNT; ++slot)
        FLists[slot].Trim(
            configured, [this, slot] { return FlushToRecycle(slot); }, [this] { RaiseError(KURA_INDEXCORRUPT); },
            [this](TPage* page) { FPool->Push(page); });
}

void TIndexFile::DropSlotPages(uint8_t slot) {
    FLists[slot].DropAll([this](TPage* page) {
        if (page->PinCount > 0) {
            // Its user still holds it; it leaves with the last release.
            page->Detached = true;
            FDetached.push_back(page);
        } else {
            FPool->Push(page);
        }
    });
}

void TIndexFile::FreePageCache(bool temporaryOnly) {
    if (!FPool) return;
    for (uint8_t slot = 0; slot < INDEX_SLOT_COUNT; ++slot)
        if (IsTemporarySlot(slot) == temporaryOnly) DropSlotPages(slot);
}

// ---- Locks ------------------------------------------------------------------------------------

bool TIndexFile::LockWrite() {
    for (int32_t attempt = 1; attempt <= LockAttempts; ++attempt) {
        if (LockBytes(true, INDEX_WRITE_LOCK_OFFSET, INDEX_WRITE_LOCK_LENGTH)) return true;
        if (attempt < LockAttempts) std::this_thread::sleep_for(std::chrono::milliseconds(INDEX_LOCK_SLEEP_MS));
    }
    return false;
}

bool TIndexFile::UnlockWrite() { return LockBytes(false, INDEX_WRITE_LOCK_OFFSET, INDEX_WRITE_LOCK_LENGTH); }

bool TIndexFile::LockRead(int32_t& reader) {
    for (int32_t attempt = 1; attempt <= LockAttempts; ++attempt) {
        reader = RandomReaderByte();
        if (LockBytes(true, INDEX_READ_LOCK_BASE - reader, 1)) return true;
        if (attempt < LockAttempts) std::this_thread::sleep_for(std::chrono::milliseconds(INDEX_LOCK_SLEEP_MS));
    }
    return false;
}

bool TIndexFile::UnlockRead(int32_t reader) {
    if (reader < 1 || reader > 65535) return false;
    return LockBytes(false, INDEX_READ_LOCK_BASE - reader, 1);
}

// ---- Tree maintenance -------------------------------------------------------------------------

namespace {

// A page the tree needs now; a refresh by the change check in the middle of a
// change would leave the tree half done, so it counts as damage.
TPage* MustRead(TIndexFile& file, TIndexCursor& cursor, uint32_t number) {
    TPage* page = nullptr;
    if (!file.ReadPage(cursor, number, page, false)) file.RaiseError(KURA_INDEXCORRUPT);
    return page;
}

// The slot of the entry the descent followed at a level: slot 0 (a key before
// the first entry) went down through entry 1.
uint32_t FollowedSlot(TIndexCursor& cursor, uint8_t depth) { return std::max<uint32_t>(1, cursor.GetPathSlot(depth)); }

}  // namespace

void TPage::UpdateSeparator(TIndexCursor& cursor) {
    TIndexFile& file = *Owner;
    uint8_t depth = cursor.GetPathDepth();
    if (cursor.GetPathSlot(depth) != 1 || KeyCount == 0) return;
    std::vector<uint8_t> key(GetKeyAddress(1), GetKeyAddress(1) + KeySize);
    while (depth > 1) {
        const uint32_t parent = cursor.GetPathParent(depth);
        if (parent == 0) break;
        TPinnedPage q(file, MustRead(file, cursor, parent));
        const uint32_t slot = FollowedSlot(cursor, static_cast<uint8_t>(depth - 1));
        if (slot > q->KeyCount) file.RaiseError(KURA_INDEXCORRUPT);
        q->SetKey(key.data(), slot);
        --depth;
        if (slot != 1) break;
    }
}

void TPage::InsertKey(TIndexCursor& cursor, const uint8_t* key, uint32_t count, uint32_t value) {
    const uint8_t depth = cursor.GetPathDepth();
    uint32_t slot = cursor.GetPathSlot(depth);
    if (!IsLeaf() && slot == 0) slot = 1;
    if (slot > KeyCount) Corrupt();
    InsertGap(key, slot);
    cursor.SetPathSlot(depth, slot);
    SetRecordNo(slot, value);
    SetSubtreeCount(slot, count);
    CompressKeys();
    if (slot == 1) UpdateSeparator(cursor);
    if (IsFull()) Split(cursor);
}

namespace {

// Moves `n` entries from the end of `from` to the front of `to`.
void MoveTailToFront(TPage& from, TPage& to, uint32_t n) {
    if (n == 0) return;
    const uint32_t es = from.EntrySize();
    const uint32_t fromCount = from.KeyCount;
    const uint32_t toCount = to.KeyCount;
    std::vector<uint8_t> moved(from.GetKeyAddress(fromCount - n + 1), from.GetKeyAddress(fromCount) + es);
    to.SetKeyCount(static_cast<uint16_t>(toCount + n));
    std::memmove(to.GetKeyBuffer() + n * es, to.GetKeyBuffer(), toCount * es);
    std::memcpy(to.GetKeyBuffer(), moved.data(), moved.size());
    from.SetKeyCount(static_cast<uint16_t>(fromCount - n));
    from.Modified = to.Modified = 1;
}

// Moves `n` entries from the front of `from` to the end of `to`.
void MoveFrontToTail(TPage& from, TPage& to, uint32_t n) {
    if (n == 0) return;
    const uint32_t es = from.EntrySize();
    const uint32_t fromCount = from.KeyCount;
    const uint32_t toCount = to.KeyCount;
    to.SetKeyCount(static_cast<uint16_t>(toCount + n));
    std::memcpy(to.GetKeyBuffer() + toCount * es, from.GetKeyBuffer(), n * es);
    std::memmove(from.GetKeyBuffer(), from.GetKeyBuffer() + n * es, (fromCount - n) * es);
    from.SetKeyCount(static_cast<uint16_t>(fromCount - n));
    from.Modified = to.Modified = 1;
}

}  // namespace

void TPage::Split(TIndexCursor& cursor) {
    TIndexFile& file = *Owner;
    const uint8_t slot = IndexSlot;
    TPage* allocated = nullptr;
    file.AllocatePage(cursor, allocated);
    TPinnedPage n(file, allocated);

    const uint32_t count = KeyCount;
    const uint32_t keep = count - count / 2;
    const bool wasRoot = IsRoot();
    const bool leaf = IsLeaf();
    // The right half goes to the new page in order.
    {
        const uint32_t es = EntrySize();
        const uint32_t moving = count - keep;
        n->SetKeyCount(static_cast<uint16_t>(moving));
        std::memcpy(n->GetKeyBuffer(), GetKeyAddress(keep + 1), moving * es);
        SetKeyCount(static_cast<uint16_t>(keep));
    }
    SetPageType(leaf ? ptLeaf : ptInternal);
    n->SetPageType(leaf ? ptLeaf : ptInternal);

    const uint32_t oldNext = NextPage;
    n->SetPriorPage(PageNumber);
    n->SetNextPage(oldNext);
    if (oldNext != 0) {
        TPinnedPage after(file, MustRead(file, cursor, oldNext));
        after->SetPriorPage(n->PageNumber);
    }
    SetNextPage(n->PageNumber);
    CompressKeys();
    n->CompressKeys();

    if (IsCompressedLeaf()) {
        while (UsedBytes > PAGE_DATA_SIZE && KeyCount > 1) {
            MoveTailToFront(*this, *n, 1);
            CompressKeys();
            n->CompressKeys();
        }
        while (n->UsedBytes > PAGE_DATA_SIZE && n->KeyCount > 1) {
            MoveFrontToTail(*n, *this, 1);
            CompressKeys();
            n->CompressKeys();
        }
        if (UsedBytes > PAGE_DATA_SIZE || n->UsedBytes > PAGE_DATA_SIZE) Corrupt();
    }

    const uint8_t depth = cursor.GetPathDepth();
    if (wasRoot) {
        if (depth != 1) file.RaiseError(KURA_TABLEFULL);
        TPage* rootPage = nullptr;
        file.AllocatePage(cursor, rootPage);
        TPinnedPage r(file, rootPage);
        r->SetPageType(ptRootInternal);
        file.SetRootPage(slot, r->PageNumber);
        uint32_t at = 0;
        r->InsertGap(GetKeyAddress(1), at);
        r->SetRecordNo(at, PageNumber);
        r->SetSubtreeCount(at, CountKeys());
        r->InsertGap(n->GetKeyAddress(1), at);
        r->SetRecordNo(at, n->PageNumber);
        r->SetSubtreeCount(at, n->CountKeys());
        r->CompressKeys();
        cursor.SetPathSlot(1, 2);
        return;
    }

    const uint32_t parent = cursor.GetPathParent(depth);
    if (parent == 0 || depth <= 1) Corrupt();
    TPinnedPage q(file, MustRead(file, cursor, parent));
    const uint8_t up = static_cast<uint8_t>(depth - 1);
    cursor.SetPathDepth(up);
    const uint32_t entry = FollowedSlot(cursor, up);
    cursor.SetPathSlot(up, entry);
    if (entry > q->KeyCount || q->GetRecordNo(entry) != PageNumber) Corrupt();
    q->SetSubtreeCount(entry, CountKeys());
    std::vector<uint8_t> key(n->GetKeyAddress(1), n->GetKeyAddress(1) + KeySize);
    const uint32_t newCount = n->CountKeys();
    const uint32_t newPage = n->PageNumber;
    q->InsertKey(cursor, key.data(), newCount, newPage);
}

void TPage::RemoveFromParent(TIndexCursor& cursor, uint8_t depth) {
    TIndexFile& file = *Owner;
    const uint32_t parent = cursor.GetPathParent(depth);
    if (parent == 0 || depth <= 1) Corrupt();
    TPinnedPage q(file, MustRead(file, cursor, parent));
    const uint8_t up = static_cast<uint8_t>(depth - 1);
    cursor.SetPathDepth(up);
    const uint32_t entry = FollowedSlot(cursor, up);
    if (entry > q->KeyCount || q->GetRecordNo(entry) != PageNumber) Corrupt();
    cursor.SetPathSlot(up, entry);
    q->DeleteKey(cursor);
}

void TPage::DeleteKey(TIndexCursor& cursor) {
    TIndexFile& file = *Owner;
    const uint8_t depth = cursor.GetPathDepth();
    uint32_t slot = cursor.GetPathSlot(depth);
    if (!IsLeaf() && slot == 0) slot = 1;
    RemoveEntry(slot);
    cursor.SetPathSlot(depth, slot);
    CompressKeys();
    if (KeyCount > 0) UpdateSeparator(cursor);

    const bool hasParent = depth > 1 && cursor.GetPathParent(depth) != 0;
    if (IsCompressedLeaf()) {
        if (KeyCount > 0) return;
        if (hasParent) {
            if (NextPage != 0) {
                TPinnedPage after(file, MustRead(file, cursor, NextPage));
                after->SetPriorPage(PriorPage);
            }
            if (PriorPage != 0) {
                TPinnedPage before(file, MustRead(file, cursor, PriorPage));
                before->SetNextPage(NextPage);
            }
            file.FreePage(cursor, this);
            RemoveFromParent(cursor, depth);
        } else {
            file.FreePage(cursor, this);
            file.SetRootPage(IndexSlot, 0);
        }
        return;
    }

    if (KeyCount >= MaxKeys() / 2) return;
    if (!hasParent) {
        CollapseRoot(cursor);
        return;
    }
    Rebalance(cursor);
}

void TPage::CollapseRoot(TIndexCursor& cursor) {
    TIndexFile& file = *Owner;
    if (!IsLeaf() && KeyCount == 1) {
        TPinnedPage child(file, MustRead(file, cursor, GetRecordNo(1)));
        child->SetPageType(child->IsLeaf() ? ptRootLeaf : ptRootInternal);
        child->SetPriorPage(0);
        child->SetNextPage(0);
        file.SetRootPage(IndexSlot, child->PageNumber);
        file.FreePage(cursor, this);
    } else if (KeyCount == 0) {
        file.FreePage(cursor, this);
        file.SetRootPage(IndexSlot, 0);
    }
}

void TPage::Rebalance(TIndexCursor& cursor) {
    TIndexFile& file = *Owner;
    const uint8_t depth = cursor.GetPathDepth();
    TPinnedPage q(file, MustRead(file, cursor, cursor.GetPathParent(depth)));
    const uint8_t up = static_cast<uint8_t>(depth - 1);
    cursor.SetPathDepth(up);
    const uint32_t s = FollowedSlot(cursor, up);
    cursor.SetPathSlot(up, s);
    if (s > q->KeyCount || q->GetRecordNo(s) != PageNumber) Corrupt();

    const uint32_t maxKeys = MaxKeys();
    if (s == 1 && s != q->KeyCount) {
        // Right sibling: it must be the next child of the same parent.
        if (NextPage == 0 || q->GetRecordNo(s + 1) != NextPage) Corrupt();
        TPinnedPage r(file, MustRead(file, cursor, NextPage));
        if (maxKeys > static_cast<uint32_t>(KeyCount) + r->KeyCount) {
            MoveTailToFront(*this, *r, KeyCount);
            r->SetPriorPage(PriorPage);
            if (PriorPage != 0) {
                TPinnedPage before(file, MustRead(file, cursor, PriorPage));
                before->SetNextPage(r->PageNumber);
            }
            r->CompressKeys();
            CompressKeys();
            file.FreePage(cursor, this);
            q->SetKey(r->GetKeyAddress(1), s + 1);
            q->SetSubtreeCount(s + 1, r->CountKeys());
            q->DeleteKey(cursor);
        } else {
            const uint32_t total = static_cast<uint32_t>(KeyCount) + r->KeyCount;
            MoveFrontToTail(*r, *this, total / 2 - KeyCount);
            CompressKeys();
            r->CompressKeys();
            q->SetSubtreeCount(s, CountKeys());
            q->SetKey(r->GetKeyAddress(1), s + 1);
            q->SetSubtreeCount(s + 1, r->CountKeys());
        }
        return;
    }

    // Left sibling: the previous child of the same parent.
    if (PriorPage == 0 || s < 2 || q->GetRecordNo(s - 1) != PriorPage) Corrupt();
    TPinnedPage l(file, MustRead(file, cursor, PriorPage));
    if (maxKeys > static_cast<uint32_t>(KeyCount) + l->KeyCount) {
        MoveFrontToTail(*this, *l, KeyCount);
        l->SetNextPage(NextPage);
        if (NextPage != 0) {
            TPinnedPage after(file, MustRead(file, cursor, NextPage));
            after->SetPriorPage(l->PageNumber);
        }
        l->CompressKeys();
        CompressKeys();
        file.FreePage(cursor, this);
        q->SetSubtreeCount(s - 1, l->CountKeys());
        q->DeleteKey(cursor);
    } else {
        const uint32_t total = static_cast<uint32_t>(KeyCount) + l->KeyCount;
        const uint32_t keepLeft = (total + 1) / 2;
        MoveTailToFront(*l, *this, l->KeyCount - keepLeft);
        CompressKeys();
        l->CompressKeys();
        q->SetKey(GetKeyAddress(1), s);
        q->SetSubtreeCount(s - 1, l->CountKeys());
        q->SetSubtreeCount(s, CountKeys());
    }
}

}  // namespace kura
