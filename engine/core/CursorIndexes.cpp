// Keeping the B-trees of a table in step with its records: duplicate tests, key
// inserts and deletes along one descent, adding a secondary index to a table that
// already holds records, dropping an index with its pages, and rebuilding the
// deleted-record index of a table whose index file had to be made anew.
#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/Locale.h"

namespace kura {

namespace {

// A change check that refreshed the cursor in the middle of a descent makes it
// start over from the root; inside a write bracket this cannot happen, so a
// descent that keeps being refreshed is given up.
constexpr int32_t DESCENT_ATTEMPTS = PARAMS_PAGE_READ_ATTEMPTS;

// The page a descent holds, given back however the descent ends.
class THeldPage {
public:
    explicit THeldPage(TIndexFile& file) : File(file) {}
    ~THeldPage() {
        if (Page) File.ReleasePage(Page);
    }
    THeldPage(const THeldPage&) = delete;
    THeldPage& operator=(const THeldPage&) = delete;
    void Release() {
        if (Page) File.ReleasePage(Page);
        Page = nullptr;
    }
    TIndexFile& File;
    TPage* Page = nullptr;
};

// Runs the cursor on another index number for the duration of a scope without
// loading that index's descriptor (pages are found by the number alone).
class TIndexNumberSwap {
public:
    TIndexNumberSwap(TDataCursor& cursor, uint8_t indexNo) : Cursor(cursor), Saved(cursor.FIndexNo) {
        Cursor.FIndexNo = indexNo;
    }
    ~TIndexNumberSwap() { Cursor.FIndexNo = Saved; }
    TIndexNumberSwap(const TIndexNumberSwap&) = delete;
    TIndexNumberSwap& operator=(const TIndexNumberSwap&) = delete;

private:
    TDataCursor& Cursor;
    uint8_t Saved;
};

void RequireOpen(const TDataCursor& cursor) {
    if (!cursor.FOpen || !cursor.FTable) cursor.RaiseError(KURA_NOTINITIALIZED);
}

// Frees the page and everything below it. Each page is freed once: a tree that
// reaches a page twice, reaches a free page or is deeper than any index can be is
// damaged, and freeing on would tie the free-page chain into a loop.
void FreePagesBelow(TDataCursor& cursor, uint32_t pageNo, int depth, std::set<uint32_t>& seen) {
    TIndexFile& file = cursor.FTable->GetIndexFile();
    if (depth > MAX_INDEX_DEPTH || !seen.insert(pageNo).second || !file.IsValidPageNumber(pageNo))
        cursor.RaiseError(KURA_INDEXCORRUPT, {}, cursor.FIndexName);
    std::vector<uint32_t> children;
    {
        THeldPage held(file);
        int32_t attempts = 0;
        while (!file.ReadPage(cursor, pageNo, held.Page, false))
            if (++attempts >= DESCENT_ATTEMPTS) cursor.RaiseError(KURA_LOCKTIMEOUT);
        if (held.Page->Free) cursor.RaiseError(KURA_INDEXCORRUPT, {}, cursor.FIndexName);
        if (!held.Page->IsLeaf())
            for (uint32_t slot = 1; slot <= held.Page->KeyCount; ++slot)
                children.push_back(held.Page->GetRecordNo(slot));
    }
    // The parent is not held while its subtrees are freed, so a deep tree never
    // pins more than one page at a time.
    for (uint32_t child : children) FreePagesBelow(cursor, child, depth + 1, seen);
    THeldPage held(file);
    int32_t attempts = 0;
    while (!file.ReadPage(cursor, pageNo, held.Page, false))
        if (++attempts >= DESCENT_ATTEMPTS) cursor.RaiseError(KURA_LOCKTIMEOUT);
    file.FreePage(cursor, held.Page);
}

}  // namespace

// ---- Duplicate tests --------------------------------------------------------------

bool TDataCursor::KeyExists(const uint8_t* key) {
    TIndexFile& file = FTable->GetIndexFile();
    for (int32_t attempt = 0; attempt < DESCENT_ATTEMPTS; ++attempt) {
        THeldPage held(file);
        bool failed = false;
        if (!file.ReadRootPage(*this, held.Page, failed)) {
            if (failed) continue;
            return false;
        }
        bool restart = false;
        for (int depth = 1;; ++depth) {
            if (depth > MAX_INDEX_DEPTH) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
            uint32_t slot = 0;
            const bool exact = held.Page->FindKey(*this, key, slot);
            if (held.Page->IsLeaf()) return exact;
            const uint32_t child = held.Page->GetRecordNo(slot);
            held.Release();
            if (!file.ReadPage(*this, child, held.Page, false)) {
                restart = true;
                break;
            }
        }
        if (!restart) break;
    }
    RaiseError(KURA_LOCKTIMEOUT);
}

bool TDataCursor::IsKeyViolation(const uint8_t* key) {
    if (!FUnique && FIndexNo != SYS_DELETED_SLOT && FIndexNo != SYS_TEXT_SLOT) return false;
    return KeyExists(key);
}

void TDataCursor::RaiseKeyViolation() { RaiseError(KURA_KEYVIOL, {}, FIndexName); }

// ---- Key inserts and deletes ------------------------------------------------------

void TDataCursor::InsertIndexKey(const uint8_t* key, uint32_t recordNo) { InsertKeyIntoTree(key, recordNo); }

void TDataCursor::DeleteIndexKey(const uint8_t* oldKey, const uint8_t* newKey, uint32_t recordNo) {
    DeleteKeyFromTree(oldKey);
    InsertKeyIntoTree(newKey, recordNo);
}

void TDataCursor::DeleteIndexKey2(const uint8_t* key) { DeleteKeyFromTree(key); }

// One descent from the root to the leaf where a key to be inserted belongs,
// recording the slot and the parent page of every level for the page operations,
// and counting the key into the subtree count of each entry passed. False when a
// change check refreshed the cursor on the way: the caller starts over.
bool TDataCursor::DescendForKey(const uint8_t* key, TPage*& page) {
    TIndexFile& file = FTable->GetIndexFile();
    SetPathDepth(1);
    ClearPathPages();
    ClearPathSlots();
    uint8_t depth = 1;
    while (true) {
        uint32_t slot = 0;
        page->FindInsertSlot(*this, key, slot);
        SetPathSlot(depth, slot);
        if (page->IsLeaf()) return true;
        const uint32_t follow = std::max<uint32_t>(slot, 1);
        if (page->KeepsCounts()) page->SetSubtreeCount(follow, page->GetSubtreeCount(follow) + 1);
        const uint32_t child = page->GetRecordNo(follow);
        const uint32_t here = page->PageNumber;
        file.ReleasePage(page);
        if (depth >= MAX_INDEX_DEPTH) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
        ++depth;
        SetPathDepth(depth);
        SetPathPage(here);
        if (!file.ReadPage(*this, child, page, false)) return false;
    }
}

void TDataCursor::InsertKeyIntoTree(const uint8_t* key, uint32_t recordNo) {
    TIndexFile& file = FTable->GetIndexFile();
    for (int32_t attempt = 0; attempt < DESCENT_ATTEMPTS; ++attempt) {
        THeldPage held(file);
        bool failed = false;
        if (!file.ReadRootPage(*this, held.Page, failed)) {
            if (failed) continue;
            file.AllocatePage(*this, held.Page);
            held.Page->SetPageType(ptRootLeaf);
            uint32_t slot = 0;
            held.Page->InsertGap(key, slot);
            held.Page->SetRecordNo(slot, recordNo);
            held.Page->CompressKeys();
            file.SetRootPage(FIndexNo, held.Page->PageNumber);
            return;
        }
        if (!DescendForKey(key, held.Page)) continue;
        held.Page->InsertKey(*this, key, 0, recordNo);
        return;
    }
    RaiseError(KURA_LOCKTIMEOUT);
}

void TDataCursor::InsertKeyRun(const uint8_t* keys, std::size_t stride, const uint32_t* recordNos, uint32_t count) {
    TIndexFile& file = FTable->GetIndexFile();
    std::vector<uint8_t> bound;
    uint32_t i = 0;
    while (i < count) {
        const uint8_t* first = keys + i * stride;
        bool descended = false;
        for (int32_t attempt = 0; attempt < DESCENT_ATTEMPTS && !descended; ++attempt) {
            THeldPage held(file);
            bool failed = false;
            if (!file.ReadRootPage(*this, held.Page, failed)) {
                if (failed) continue;
                held.Release();
                InsertKeyIntoTree(first, recordNos[i]);
                descended = true;
                ++i;
                break;
            }
            if (!DescendForKey(first, held.Page)) continue;
            descended = true;
            TPage& leaf = *held.Page;
            const uint8_t depth = GetPathDepth();
            // The subtree the descent chose ends below the next entry of the
            // deepest level that has one; a key from there on belongs elsewhere.
            bool known = true;
            bool bounded = false;
            for (uint8_t level = depth; level > 1 && !bounded; --level) {
                THeldPage parent(file);
                if (!file.ReadPage(*this, GetPathParent(level), parent.Page, false)) {
                    known = false;
                    break;
                }
                const uint32_t followed = std::max<uint32_t>(GetPathSlot(static_cast<uint8_t>(level - 1)), 1);
                if (followed < parent.Page->KeyCount) {
                    const uint8_t* next = parent.Page->GetKeyAddress(followed + 1);
                    bound.assign(next, next + parent.Page->KeySize);
                    bounded = true;
                }
            }
            // A split moves keys out of the leaf and changes the path.
            const uint32_t keyCount = leaf.KeyCount;
            const uint32_t nextPage = leaf.NextPage;
            leaf.InsertKey(*this, first, 0, recordNos[i]);
            ++i;
            if (!known || leaf.KeyCount != keyCount + 1 || leaf.NextPage != nextPage || GetPathDepth() != depth)
                break;
            // The following keys go into the same leaf while they sort after the
            // last one and before the bound, and none of them can split it: those
            // need no page but the leaf, and the subtree counts on the way down
            // grow by their number at the end.
            const uint8_t* last = first;
            uint32_t added = 0;
            const int64_t entryBytes = leaf.KeySize + 6;
            while (i < count) {
                const uint8_t* key = keys + i * stride;
                if (CompareKeys(last, key, leaf.KeySize) >= 0) break;
                if (bounded && CompareKeys(bound.data(), key, leaf.KeySize) <= 0) break;
                if (leaf.IsCompressedLeaf() ? leaf.UsedBytes + 2 * entryBytes > PAGE_DATA_SIZE
                                            : uint32_t{leaf.KeyCount} + 1 > leaf.MaxKeys())
                    break;
                // After the leaf's last key (the usual case) the slot is known.
                uint32_t slot = leaf.KeyCount;
                if (GetPathSlot(depth) != leaf.KeyCount) leaf.FindInsertSlot(*this, key, slot);
                SetPathSlot(depth, slot);
                leaf.InsertKey(*this, key, 0, recordNos[i]);
                last = key;
                ++added;
                ++i;
            }
            if (added == 0 || !leaf.KeepsCounts()) break;
            for (uint8_t level = static_cast<uint8_t>(depth - 1); level >= 1; --level) {
                THeldPage page(file);
                if (!file.ReadPage(*this, GetPathParent(static_cast<uint8_t>(level + 1)), page.Page, false))
                    RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
                const uint32_t followed = std::max<uint32_t>(GetPathSlot(level), 1);
                page.Page->SetSubtreeCount(followed, page.Page->GetSubtreeCount(followed) + added);
            }
        }
        if (!descended) RaiseError(KURA_LOCKTIMEOUT);
    }
}

namespace {

// The inner pages of a descent, pinned, with the entry followed on each.
class TPinnedPath {
public:
    explicit TPinnedPath(TIndexFile& file) : File(file) {}
    ~TPinnedPath() { Release(); }
    TPinnedPath(const TPinnedPath&) = delete;
    TPinnedPath& operator=(const TPinnedPath&) = delete;
    // Takes over the page's pin.
    void Keep(TPage*& page, uint32_t slot) {
        Pages[Count] = page;
        Slots[Count] = slot;
        ++Count;
        page = nullptr;
    }
    // Takes one key out of the subtree count of every entry followed.
    void CountOut() {
        for (std::size_t i = 0; i < Count; ++i)
            if (Pages[i]->KeepsCounts()) Pages[i]->SetSubtreeCount(Slots[i], Pages[i]->GetSubtreeCount(Slots[i]) - 1);
    }
    void Release() {
        for (std::size_t i = 0; i < Count; ++i) File.ReleasePage(Pages[i]);
        Count = 0;
    }

private:
    TIndexFile& File;
    std::array<TPage*, MAX_INDEX_DEPTH> Pages{};
    std::array<uint32_t, MAX_INDEX_DEPTH> Slots{};
    std::size_t Count = 0;
};

}  // namespace

// One descent to the key's leaf slot, as DescendForKey makes for an insertion,
// except that the subtree counts change only once the leaf shows the key: a key the tree lacks (a
// damaged index) is reported and changes nothing. One descent instead of a search
// for the key first and then the descent.
void TDataCursor::DeleteKeyFromTree(const uint8_t* key) {
    TIndexFile& file = FTable->GetIndexFile();
    for (int32_t attempt = 0; attempt < DESCENT_ATTEMPTS; ++attempt) {
        THeldPage held(file);
        bool failed = false;
        if (!file.ReadRootPage(*this, held.Page, failed)) {
            if (failed) continue;
            RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
        }
        SetPathDepth(1);
        ClearPathPages();
        ClearPathSlots();
        TPinnedPath path(file);
        bool restart = false;
        for (uint8_t depth = 1;; ++depth) {
            uint32_t slot = 0;
            const bool exact = held.Page->FindDeleteSlot(*this, key, slot);
            SetPathSlot(depth, slot);
            if (held.Page->IsLeaf()) {
                if (!exact) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
                break;
            }
            const uint32_t follow = std::max<uint32_t>(slot, 1);
            // An entry above the key being removed cannot count no keys.
            if (held.Page->KeepsCounts() && held.Page->GetSubtreeCount(follow) == 0)
                RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
            const uint32_t child = held.Page->GetRecordNo(follow);
            const uint32_t here = held.Page->PageNumber;
            if (depth >= MAX_INDEX_DEPTH) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
            path.Keep(held.Page, follow);
            SetPathDepth(static_cast<uint8_t>(depth + 1));
            SetPathPage(here);
            if (!file.ReadPage(*this, child, held.Page, false)) {
                restart = true;
                break;
            }
        }
        if (restart) continue;
        path.CountOut();
        path.Release();
        held.Page->DeleteKey(*this);
        return;
    }
    RaiseError(KURA_LOCKTIMEOUT);
}

// ---- Record count -----------------------------------------------------------------

void TDataCursor::IncRecordCount() { FTable->IncRecordCount(); }
void TDataCursor::DecRecordCount() { FTable->DecRecordCount(); }

// ---- Adding and dropping indexes ------------------------------------------------------

void TDataCursor::AddSecondaryIndex(TIndexDesc& desc, uint8_t option) {
    // The option byte only travels with the request to a server.
    RequireOpen(*this);
    // A length beyond the name's room: the name was cut, and is not the one meant.
    if (desc.GetByte(ido::Name) > INDEX_NAME_LENGTH) RaiseError(KURA_INVALIDINDEXNAME, {}, desc.GetName());
    if (!desc.IsTemporary()) {
        CheckExclusive();
        CheckNotReadOnly();
    }

    uint32_t fieldsSize = 0;
    uint8_t fieldCount = 0;
    while (fieldCount < MAX_INDEX_FIELDS) {
        const uint16_t fieldNo = desc.GetField(fieldCount);
        if (fieldNo == 0) break;
        TFieldDesc field;
        if (!FTable->GetFieldDesc(fieldNo, field)) RaiseError(KURA_INVALIDIDXDESC, {}, desc.GetName());
        fieldsSize += GetFieldDataSize(field.FieldType(), field.StoredSize()) + 1u;
        ++fieldCount;
    }
    const bool unique = desc.GetByte(ido::Unique) != 0;
    const uint32_t keySize = unique ? fieldsSize : fieldsSize + 4;
    // The row identifier of a non-unique index must fit the key buffers too, or the
    // index could be made but never selected.
    if (fieldsSize == 0 || fieldsSize > static_cast<uint32_t>(MAX_KEY_FIELDS_SIZE) ||
        keySize > static_cast<uint32_t>(RANGE_KEY_SIZE))
        RaiseError(KURA_INVALIDKEY);
    desc.SetKeySize(static_cast<uint16_t>(keySize));
    desc.SetByte(ido::FieldCount, fieldCount);

    if (IsRemote()) return AddRemoteSecondaryIndex(desc, option);
    BeginWrite();
    const uint8_t saved = FIndexNo;
    bool added = false;
    try {
        FTable->GetIndexFile().AddIndex(desc);
        added = true;
        if (FTable->GetRecordCount() > 0) BuildNewIndex(GetIndexCount());
        SetIndexNumber(saved);
    } catch (...) {
        try {
            SetIndexNumber(saved);
        } catch (...) {
        }
        // A half-built index would miss keys: it goes again, with its pages.
        if (added) {
            try {
                DropIndexSlot(GetIndexCount(), true);
            } catch (...) {
            }
        }
        EndWrite();
        throw;
    }
    EndWrite();
    SetToBegin();
}

void TDataCursor::BuildNewIndex(uint8_t indexNo) {
    SetIndexNumber(indexNo);
    const uint32_t last = FTable->GetLastRecordNumber();
    const int32_t interval = GetProgressInterval();
    int32_t reported = 0;
    bool reportedAny = false;
    std::array<uint8_t, CURSOR_KEY_BUFFER_SIZE> key{};
    for (uint32_t recordNo = 1; recordNo <= last; ++recordNo) {
        TRecord* record = nullptr;
        int32_t attempts = 0;
        while (!GetRecord(recordNo, grBlockRead, record))
            if (++attempts >= DESCENT_ATTEMPTS) RaiseError(KURA_LOCKTIMEOUT);
        try {
            if (!record->IsDeleted()) {
                key.fill(0);
                BuildIndexKey(record->GetBuffer(), key.data());
                if (IsKeyViolation(key.data())) {
                    RemoveRejectedRecord(record, indexNo);
                    // The removal walks the other indexes; come back to the new one.
                    SetIndexNumber(indexNo);
                } else {
                    InsertKeyIntoTree(key.data(), recordNo);
                }
            }
        } catch (...) {
            if (record) ReleaseRecord(record);
            throw;
        }
        if (record) ReleaseRecord(record);
        const int32_t percent =
            static_cast<int32_t>(static_cast<double>(recordNo) / static_cast<double>(last) * 100.0);
        if (percent - reported >= interval) {
            DoIndexProgress(static_cast<uint16_t>(percent));
            reported = percent;
            reportedAny = true;
        }
    }
    if (!reportedAny || reported != 100) DoIndexProgress(100);
}

void TDataCursor::DropIndexSlot(uint8_t indexNo, bool compact) {
    TIndexFile& file = FTable->GetIndexFile();
    const uint32_t root = file.GetRootPage(indexNo);
    if (root != 0) {
        {
            TIndexNumberSwap swap(*this, indexNo);
            FreeIndexPages(root);
        }
        file.SetRootPage(indexNo, 0);
    }
    file.DeleteIndexDesc(indexNo, compact);
}

void TDataCursor::DeleteIndex(std::string_view name, uint8_t compact) {
    RequireOpen(*this);
    CheckExclusive();
    CheckNotReadOnly();
    TIndexFile& file = FTable->GetIndexFile();
    const int32_t found = file.FindIndexSlot(name);
    if (found < 0) RaiseError(KURA_INVALIDINDEXNAME, {}, name);
    if (IsRemote()) return DeleteRemoteIndex(name, static_cast<uint8_t>(found), compact);

    BeginWrite();
    try {
        DropIndexSlot(static_cast<uint8_t>(found), compact != 0);
    } catch (...) {
        EndWrite();
        throw;
    }
    EndWrite();
    // The descriptor the cursor had may have moved or gone: leave the number behind
    // first so that selecting the primary index reloads everything.
    SetIndexNumber(NATURAL_ORDER);
    SetIndexName("");
    SetToBegin();
}

void TDataCursor::DeleteIndexByNumber(uint8_t indexNo, uint8_t compact) {
    RequireOpen(*this);
    CheckExclusive();
    CheckNotReadOnly();
    if (indexNo >= INDEX_SLOT_COUNT) RaiseError(KURA_INVALIDINDEXNAME);
    if (IsRemote()) RaiseNoRemote();
    BeginWrite();
    try {
        DropIndexSlot(indexNo, compact != 0);
    } catch (...) {
        EndWrite();
        throw;
    }
    EndWrite();
}

void TDataCursor::FreeIndexPages(uint32_t pageNo) {
    std::set<uint32_t> seen;
    FreePagesBelow(*this, pageNo, 1, seen);
}

// ---- A lost index file --------------------------------------------------------------

void TDataCursor::RebuildLostIndexFile() {
    RequireOpen(*this);
    BeginWrite();
    const uint8_t saved = FIndexNo;
    try {
        // The new file counts from nothing, whatever its header said.
        FTable->SetRecordCount(0);
        SetIndexNumber(SYS_DELETED_SLOT);
        const uint32_t last = FTable->GetLastRecordNumber();
        std::array<uint8_t, CURSOR_KEY_BUFFER_SIZE> key{};
        for (uint32_t recordNo = 1; recordNo <= last; ++recordNo) {
            TRecord* record = nullptr;
            int32_t attempts = 0;
            while (!GetRecord(recordNo, grBlockRead, record))
                if (++attempts >= DESCENT_ATTEMPTS) RaiseError(KURA_LOCKTIMEOUT);
            try {
                if (!record->IsDeleted()) IncRecordCount();
                key.fill(0);
                BuildRowIdKey(record->GetBuffer(), key.data());
                InsertKeyIntoTree(key.data(), recordNo);
            } catch (...) {
                ReleaseRecord(record);
                throw;
            }
            ReleaseRecord(record);
        }
        // Last, and flushed with the keys (the journal makes it all or nothing): until
        // then the header says a primary index and describes none, as it was made, so
        // that whatever of the rebuild reached the disk before it is taken for no
        // index file at the next open.
        FTable->SetNoPrimaryIndex(true);
        FTable->FlushBuffers(false, true, false, true, true);
        SetIndexNumber(saved);
    } catch (...) {
        try {
            SetIndexNumber(saved);
        } catch (...) {
        }
        EndWrite();
        throw;
    }
    EndWrite();
}

}  // namespace kura
