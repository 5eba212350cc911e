#pragma once
// A table's index file, NAME.IDX: 4096-byte pages, page 0 the header with the
// descriptors of every index of the table and the table's record count, the other
// pages the B-tree, raw-data and free pages of all indexes together.
//
// The index file owns the header image, a page cache per index slot with its
// write-back, page allocation from each index's free-page chain, the tree
// maintenance the cursor drives (IndexPage.h) and the reader and writer locks by
// which programs take turns on the file. Temporary indexes keep their pages in a
// private side file that lives only while the table is open.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/files/FileHandler.h"
#include "engine/files/IndexFileOwner.h"
#include "engine/files/IndexPage.h"
#include "engine/files/MruCache.h"

namespace kura {

constexpr uint8_t INDEX_FILE_VERSION = 5;
constexpr int32_t INDEX_DESC_SIZE = 120;
constexpr int32_t INDEX_SLOT_COUNT = 33;
constexpr uint8_t MAX_SECONDARY_INDEXES = 30;
constexpr uint8_t MAX_INDEX_FIELDS = 16;
constexpr uint8_t INDEX_NAME_LENGTH = 30;
constexpr uint8_t SYS_DELETED_SLOT = 31;
constexpr uint8_t SYS_TEXT_SLOT = 32;
constexpr uint16_t SYS_DELETED_KEY_SIZE = 5;
constexpr uint16_t SYS_TEXT_KEY_SIZE = 68;
// Key fields together, each with its null-flag byte.
constexpr int32_t MAX_KEY_FIELDS_SIZE = 522;
constexpr int32_t DEFAULT_INDEX_CACHE_LIMIT = 16384;
constexpr int32_t INDEX_CACHE_GROWTH = 4;
// A page number must stay below this, and the page must end by the byte limit.
constexpr uint32_t INDEX_PAGE_NUMBER_LIMIT = 2000000000u;
constexpr int64_t INDEX_FILE_SIZE_LIMIT = 4000000000LL;
// Work room for redistributing the entries of two pages.
constexpr int32_t REBALANCE_BUFFER_SIZE = 3 * PAGE_DATA_SIZE;
// The cursor's path never has more levels.
constexpr uint8_t MAX_INDEX_DEPTH = 64;

// Lock bytes, beyond any real file size. The writer range covers every reader byte.
constexpr int64_t INDEX_WRITE_LOCK_OFFSET = 0xFFFEFFFFLL;
constexpr int64_t INDEX_WRITE_LOCK_LENGTH = 0x10000LL;
constexpr int64_t INDEX_READ_LOCK_BASE = 0xFFFFFFFFLL;  // reader r locks BASE - r
constexpr int32_t INDEX_LOCK_ATTEMPTS = 32767;
constexpr uint32_t INDEX_LOCK_SLEEP_MS = 3;
// Reads of the raw-data page that a change check may repeat before giving up.
constexpr int32_t PARAMS_PAGE_READ_ATTEMPTS = 1000;

// Byte offsets inside the header page.
namespace iho {
constexpr int ChangeCount = 0;
constexpr int Version = 8;
constexpr int NextNewPage = 9;
constexpr int IndexCount = 13;
constexpr int Descs = 14;
constexpr int RecordCount = 3974;
constexpr int NoPrimaryIndex = 3978;
constexpr int Modified = 3979;
}  // namespace iho

// Byte offsets inside a descriptor.
namespace ido {
constexpr int Name = 0;
constexpr int KeySize = 31;
constexpr int Descending = 33;
constexpr int CaseInsensitive = 34;
constexpr int Unique = 35;
constexpr int Compression = 36;
constexpr int FieldCount = 37;
constexpr int Options = 38;
constexpr int Fields = 54;
constexpr int RootPage = 86;
constexpr int FreeHead = 90;
constexpr int Build = 94;
constexpr int ParamsPage = 96;
constexpr int NoCounts = 100;
constexpr int Temporary = 101;
constexpr int Reserved = 102;
}  // namespace ido

// One index descriptor as the header stores it, kept as its raw bytes.
struct TIndexDesc {
    std::array<uint8_t, INDEX_DESC_SIZE> Bytes{};

    std::string GetName() const;
    void SetName(std::string_view name);  // cut to 30 characters
    uint16_t GetKeySize() const;
    void SetKeySize(uint16_t size);
    uint8_t GetByte(int offset) const { return Bytes[offset]; }
    void SetByte(int offset, uint8_t value) { Bytes[offset] = value; }
    uint8_t GetFieldCount() const { return Bytes[ido::FieldCount]; }
    // Field i (0..15): its number, 0 when unused.
    uint16_t GetField(int i) const;
    void SetField(int i, uint16_t fieldNo);
    uint8_t GetOption(int i) const { return Bytes[ido::Options + i]; }
    void SetOption(int i, uint8_t value) { Bytes[ido::Options + i] = value; }
    uint32_t GetU32(int offset) const;
    void SetU32(int offset, uint32_t value);
    bool IsTemporary() const { return Bytes[ido::Temporary] != 0; }
};

using TIndexHeader = std::array<uint8_t, INDEX_PAGE_SIZE>;

// Page traffic, zeroed when the file opens.
struct TIndexFileStatistics {
    uint64_t PageReads = 0;    // pages read from disk
    uint64_t PageWrites = 0;   // pages written to disk
    uint64_t RunWrites = 0;    // disk writes (one per run of consecutive pages)
    uint64_t CacheHits = 0;    // ReadPage calls served from the cache
    uint64_t PagesCreated = 0; // pages appended at the end of the file
    uint64_t PagePeeks = 0;    // pages read from the file for a look-ahead, not cached
};

class TIndexFile : public TFileHandler {
public:
    // The owner may be nullptr for an index file used on its own (tools, tests): the
    // file name then stands for the table name and the session defaults apply.
    explicit TIndexFile(TIndexFileOwner* owner);
    ~TIndexFile() override;

    // ---- File operations ---------------------------------------------------
    // Opens the file, reads and checks the header: a version other than 5 is 12035;
    // more than 30 secondary indexes, or a descriptor whose key size, field count
    // or compression no index can have, is 8961. A file that holds nothing (made, its
    // header never written) is KURA_OSENOENT, as no file. A failed open leaves it closed.
    void OpenFile() override;
    // Drops temporary indexes and every cached page (the owner flushes first).
    void CloseFile() override;
    // Creates the file and builds the header of a new index file in memory; it
    // reaches the disk with the next WriteHeader.
    void CreateFile() override;
    void InitHeader() { CreateFile(); }

    // ---- Header ------------------------------------------------------------
    void ReadHeader();
    // A remote table's header image and, after each request, its counters, as the
    // server sends them; the image passes the checks of ReadHeader.
    void AdoptRemoteHeader(const TIndexHeader& header);
    void AdoptRemoteCounters(uint32_t changeCount, uint32_t recordCount);
    bool WriteHeader(bool force);
    // The disk image: temporary descriptors removed.
    void CopyHeaderForWrite(uint8_t* dest) const;
    void MarkModified();
    bool HeaderChanged();
    uint32_t GetChangeCount() const;
    void CheckVersion() const;
    // Empties the index file of a table being emptied: only the header page stays.
    void InitFile();
    // The consistency check of table repair.
    void VerifyHeader() const;
    const TIndexHeader& Header() const { return FHeader; }
    bool IsHeaderModified() const { return FHeader[iho::Modified] != 0; }

    void IncRecordCount();
    void DecRecordCount();
    void SetRecordCount(uint32_t count);
    uint32_t GetRecordCount() const;
    bool GetNoPrimaryIndex() const;
    // The header as CreateFile makes it, before any index is set: a primary index
    // claimed (the no-primary-index flag clear) and none described. A table's index
    // file has it only while a lost one is rebuilt (TDataTable::Open).
    bool NoIndexSet() const;
    void SetNoPrimaryIndex(bool flag);
    uint8_t GetIndexCount() const;
    void SetIndexCount(uint8_t count);

    // ---- Descriptors (slot 0..32) --------------------------------------------
    void GetIndexDesc(uint8_t slot, TIndexDesc& desc) const;
    void SetIndexDesc(uint8_t slot, const TIndexDesc& desc);
    void SetIndexNameAndFields(uint8_t slot, const TIndexDesc& desc);
    void GetIndexFieldList(uint8_t slot, uint16_t (&fields)[MAX_INDEX_FIELDS]) const;
    // The number of slot's key fields and field i (0..15) of its list, read in
    // place, for the writes that look at keys record after record.
    uint8_t KeyFieldCount(uint8_t slot) const { return slot < INDEX_SLOT_COUNT ? DescAt(slot)[ido::FieldCount] : 0; }
    uint16_t KeyFieldAt(uint8_t slot, int i) const {
        if (slot >= INDEX_SLOT_COUNT || i < 0 || i >= MAX_INDEX_FIELDS) return 0;
        const uint8_t* field = DescAt(slot) + ido::Fields + 2 * i;
        return static_cast<uint16_t>(field[0] | field[1] << 8);
    }
    void SetPrimaryIndexDesc(const TIndexDesc& desc);
    void AddIndex(const TIndexDesc& desc);
    void DeleteIndexDesc(uint8_t slot, bool move);
    bool IndexNameExists(std::string_view name) const;
    // Index names are the same when they are, trimmed, equal without regard to case
    // by the table's locale, or as names compare (NameRoutines.h) without one;
    // adding, deleting, finding and selecting an index all compare so. The slot of
    // the first of slots 0..count named so, -1 when none.
    bool SameIndexName(std::string_view a, std::string_view b) const;
    // What makes two names in a stored header the same: the locale's comparison
    // alone, so that a header written before full-width letters folded in names
    // still opens.
    bool SameStoredIndexName(std::string_view a, std::string_view b) const;
    int32_t FindIndexSlot(std::string_view name) const;
    void ClearIndexDesc(uint8_t slot);
    uint32_t GetRootPage(uint8_t slot) const;
    void SetRootPage(uint8_t slot, uint32_t page);
    uint32_t GetParamsPage(uint8_t slot) const;
    void SetParamsPage(uint8_t slot, uint32_t page);
    uint32_t GetFreePageHead(uint8_t slot) const;
    void SetFreePageHead(uint8_t slot, uint32_t page);
    uint32_t GetNextNewPage(uint8_t slot) const;
    void SetNextNewPage(uint8_t slot, uint32_t page);
    uint32_t GetLastPageNumber() const;
    bool IsValidPageNumber(uint32_t page) const;
    bool IsTemporarySlot(uint8_t slot) const;
    void RemoveTemporaryIndexes();
    bool HasSideFile() const { return FSideFile != nullptr; }
    std::string SideFileName() const { return FSideFile ? FSideFile->FileName : std::string(); }

    // ---- Page cache and tree pages (IndexCache.cpp) ---------------------------
    // The pinned page N of the cursor's index. False (and no page) only when the
    // cursor's change check refreshed it; the caller starts over.
    bool ReadPage(TIndexCursor& cursor, uint32_t page, TPage*& result, bool isNew);
    void ReleasePage(TPage*& page);
    // Page N of an index copied into a page of the caller's, from the cache when it
    // holds it, else from the file, without a change check and leaving the cache as
    // it is. For looking ahead only: false when the page cannot be had that way.
    bool PeekPage(uint8_t slot, uint32_t number, TPage& into);
    // A pinned, cleared page for the cursor's index. 8965 when the free-page chain
    // leads to a page that is not a free page.
    void AllocatePage(TIndexCursor& cursor, TPage*& result);
    void FreePage(TIndexCursor& cursor, TPage* page);
    bool ReadRootPage(TIndexCursor& cursor, TPage*& result, bool& failed);
    // 10249 when the change checks keep refreshing the cursor.
    bool ReadParamsPage(TIndexCursor& cursor, TPage*& result, bool& failed);
    TPage* PopPage();
    void PushPage(TPage*& page);
    bool FlushPages(bool temporaryOnly);
    void TrimPageCache();
    bool FlushToRecycle(uint8_t slot);
    // Writes the least recently used quarter of the slot's modified pages (a
    // transaction past its budget gives them up to the held changes).
    bool FlushOldestPages(uint8_t slot);
    void FreePageCache(bool temporaryOnly);
    int32_t CachedPageCount(uint8_t slot) const { return FLists[slot].Count(); }
    int32_t CacheCapacity(uint8_t slot) const { return FLists[slot].Capacity; }
    int32_t ConfiguredCacheSize() const;
    const TIndexFileStatistics& Statistics() const { return FStatistics; }

    // ---- Locks (IndexCache.cpp) ---------------------------------------------
    bool LockWrite();
    bool UnlockWrite();
    // The reader byte drawn is returned for the unlock.
    bool LockRead(int32_t& reader);
    bool UnlockRead(int32_t reader);
    // Attempts of LockWrite and LockRead, 3 ms apart.
    int32_t LockAttempts = INDEX_LOCK_ATTEMPTS;

    // ---- Context -----------------------------------------------------------
    std::string GetTableName() const;
    TTableErrorContext GetErrorContext() const;
    [[noreturn]] void RaiseError(TEngineErrorCode code, std::string_view indexName = {}) const;
    bool IsEncrypted() const;
    bool IsRemote() const;
    TIndexFileOwner* Owner() const { return FOwner; }

private:
    friend class TPage;

    // One index slot's pages, sorted by page number.
    using TSlotCache = TMruCache<TPage, &TPage::Newer, &TPage::Older, &TPage::PageNumber>;

    TIndexFileOwner* FOwner;
    std::vector<uint8_t> FReadBuffer;
    std::vector<uint8_t> FPeekBuffer;
    std::vector<uint8_t> FWriteBuffer;
    TIndexHeader FHeader{};
    std::unique_ptr<TPageStack> FPool;
    std::array<TSlotCache, INDEX_SLOT_COUNT> FLists;
    std::vector<TPage*> FFlushList;
    std::vector<TPage*> FDetached;
    std::unique_ptr<TFileHandler> FSideFile;
    uint32_t FSideNextNewPage = 1;
    TIndexFileStatistics FStatistics;

    uint8_t* DescAt(uint8_t slot) { return &FHeader[iho::Descs + slot * INDEX_DESC_SIZE]; }
    const uint8_t* DescAt(uint8_t slot) const { return &FHeader[iho::Descs + slot * INDEX_DESC_SIZE]; }
    void SetModified() { FHeader[iho::Modified] = 1; }
    void SetFilesWritten();
    bool GetFilesWritten() const;
    bool InTransaction() const;
    void CheckSlot(uint8_t slot) const;
    // Header structure checks that must hold before the image is used.
    void CheckHeaderStructure(const TIndexHeader& header) const;
    void ReadHeaderImage(TIndexHeader& header);
    void CheckKeyFields(const TIndexDesc& desc, bool allowBlob) const;
    void CreateSideFile();

    // Page cache internals.
    TFileHandler& PageFile(uint8_t slot);
    // A clean, unpinned page of the slot taken out of its cache, or nullptr. When
    // none is clean the slot's file is flushed first, inside a transaction only
    // with `evenInTransaction`.
    TPage* TakeRecyclable(uint8_t slot);
    TPage* GetCachePage(uint8_t slot);
    // Ties a cache page to a page of the tree; cleared unless loading (its image is
    // loaded next, which sets it whole).
    void BindPage(TPage* page, uint8_t slot, uint32_t number, bool loading = false);
    void InsertCached(TSlotCache& cache, TPage* page);
    void RemoveCached(TSlotCache& cache, TPage* page);
    void DropSlotPages(uint8_t slot);
    // Writes the pages of FFlushList in page order, in runs; false when it is empty.
    bool WriteFlushList(bool temporaryOnly);
};

}  // namespace kura
