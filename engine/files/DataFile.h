#pragma once
// A table's records file, NAME.DAT: a 127-byte table header, one 768-byte field
// descriptor per field, then fixed-size record slots. The data file caches the
// header, the descriptors and records (RecordCache.h), and owns the lock bytes of
// the table: one byte per record and the write semaphore.
//
// The header is kept as its 127 raw bytes, so bytes the file carries but does not
// interpret survive unchanged; every integer in it is little-endian.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/files/DataFileOwner.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/RecordNumberSet.h"
#include "engine/files/FileHandler.h"
#include "engine/files/MruCache.h"
#include "engine/files/RecordCache.h"
#include "engine/files/RecordSort.h"
#include "engine/files/RecordWindow.h"
#include "engine/files/SysConvert.h"

namespace kura {

constexpr int32_t DATA_HEADER_SIZE = 127;
constexpr uint8_t DATA_FILE_VERSION = 5;
constexpr int32_t MAX_TABLE_FIELDS = 1024;
constexpr int32_t MAX_BLOB_FIELDS = 128;
constexpr int32_t MAX_RECORD_SIZE = 65535;
constexpr uint8_t TABLE_DESCRIPTION_LENGTH = 50;
constexpr uint8_t TABLE_PASSWORD_LENGTH = 15;
constexpr uint16_t DEFAULT_BLOB_BLOCK_SIZE = 512;
// 3.30 with four implied decimals.
constexpr int64_t ENGINE_VERSION_RAW = 33000;
// Days from 0001-01-01 to 1899-12-30, taken off the stored last-update stamp.
constexpr double LAST_UPDATE_DELTA = 693594.0;
// One disk read brings at most this many bytes of consecutive slots.
constexpr int32_t RECORD_BLOCK_SIZE = 8192;
// A new slot must have a number below this and end below the byte limit.
constexpr uint32_t RECORD_NUMBER_LIMIT = 200000001;
constexpr int64_t DATA_FILE_SIZE_LIMIT = 4000000001LL;
constexpr int32_t CACHE_GROWTH = 64;
// Most records a cache miss of an index scan loads ahead of the cursor.
constexpr int32_t UPCOMING_RECORD_LIMIT = 512;
// Longest single write of a run of consecutive dirty records (at least one record):
// a commit may leave runs far longer than any buffer a 32-bit size can describe.
constexpr int32_t RECORD_RUN_WRITE_LIMIT = 1 << 20;
// Modified records at most this many bytes apart are written together, the
// slots between them rewritten as they are.
constexpr int32_t RECORD_JOIN_GAP = 4096;

// Lock bytes, far beyond any real data.
constexpr int64_t RECORD_LOCK_BASE = 0xFFFFFFFELL;            // record N locks BASE - N
constexpr int64_t ALL_RECORD_LOCKS_START = 0xF4143DFDLL;       // records 200,000,001 .. 1
constexpr int64_t ALL_RECORD_LOCKS_LENGTH = 200000001LL;
constexpr int64_t WRITE_SEMAPHORE_OFFSET = 0xFFFFFFFFLL;
constexpr int32_t SEMAPHORE_ATTEMPTS = 32767;
constexpr int32_t SEMAPHORE_SLEEP_MS = 3;
// Separate record locks (a run of consecutive numbers is one, as the system keeps
// it) at which a data file allowed to escalate takes one lock over them all.
constexpr std::size_t RECORD_LOCK_ESCALATION = 500;

// Byte offsets inside the table header.
namespace dho {
constexpr int ChangeCount = 0;
constexpr int BlobBlockSize = 4;
constexpr int Version = 8;
constexpr int DeletedHead = 9;
constexpr int NextRecord = 13;
constexpr int LastAutoInc = 17;
constexpr int RecordSize = 21;
constexpr int FieldCount = 23;
constexpr int BlobFieldCount = 25;
constexpr int LastUpdate = 27;
constexpr int Description = 35;
constexpr int Encrypted = 86;
constexpr int Password = 87;
constexpr int LocaleId = 103;
constexpr int SortId = 105;
constexpr int UserMajor = 107;
constexpr int UserMinor = 109;
constexpr int Modified = 111;
constexpr int LastBlobId = 112;
constexpr int EngineVersion = 116;
constexpr int Reserved = 124;
}  // namespace dho

using TDataHeader = std::array<uint8_t, DATA_HEADER_SIZE>;

// Read counters of the record cache, zeroed at open.
struct TDataFileStatistics {
    uint32_t BlockReads = 0;    // disk reads of record blocks
    uint32_t RecordsRead = 0;   // slots that came from those reads
    uint32_t RunWrites = 0;     // disk writes of record runs
    uint32_t CacheMisses = 0;   // ReadRecord calls that went to the disk
    uint32_t WindowLoads = 0;   // cached records that came from the record window
    uint32_t RecordRequests = 0;  // ReadRecord calls: records asked for, from the cache or the disk
};

class TDataFile : public TFileHandler {
public:
    // The owner may be nullptr for a data file used on its own (tools, tests): the
    // file name then stands for the table name and the session defaults apply.
    explicit TDataFile(TDataFileOwner* owner);
    ~TDataFile() override;

    // ---- Lifecycle ----------------------------------------------------------
    // Opens the file and reads the header and descriptors, checking their structure
    // first: version (12035), then field count, record size, next record number,
    // descriptor lengths and field placement (8961). A failed open leaves the file closed.
    void OpenFile() override;
    void CloseFile() override;

    // ---- Header and descriptors --------------------------------------------
    // Reads the 127 header bytes; a file too short for them is 8961. While open, a
    // header whose record size, field count or encryption differs from the one in
    // use, or whose next record number is out of range, is 8961 and is not taken.
    void ReadHeader();
    // Writes the header when it was modified or `force`; true when written.
    bool WriteHeader(bool force);
    void MarkModified();
    // Re-reads the header; true (and the new header taken) when its change counter
    // differs from the cached one.
    bool HeaderChanged();
    void CopyHeader(uint8_t* buffer) const;  // 127 bytes
    const TDataHeader& Header() const { return FHeader; }
    void ReadFieldDescs();
    // A remote table has no file: header and descriptors come from the server and
    // pass the same structure checks as a header read from disk (8961).
    void AdoptRemoteHeader(const TDataHeader& header);
    void AdoptRemoteFieldDescs(std::vector<TFieldDesc> descs);
    // Writes the descriptors when they were changed; true when written.
    bool WriteFieldDescs();
    // The header of a new table; creates the file. Header and descriptors reach the
    // disk with the next WriteHeader / WriteFieldDescs. 9498 for a 129th BLOB field,
    // 9477 for a record above 65,535 bytes, 9492 for more than 1,024 fields.
    void CreateHeader(uint16_t localeId, uint16_t sortId, const std::vector<TFieldDesc>& fieldDescs,
                      uint32_t blobBlockSize, std::string_view description, std::string_view password,
                      bool encrypted, uint16_t userMajor, uint16_t userMinor);
    // Empties the table: the file keeps header and descriptors only; the counters
    // restart and the header is written by the next WriteHeader.
    void InitHeader();
    // Checks header and descriptors against each other and the file size.
    void VerifyHeader();
    void CheckVersion();

    // Descriptor N (1-based); false when there is none.
    bool GetFieldDesc(int32_t fieldNo, TFieldDesc& desc) const;
    // The first descriptor with this stored field number / this name (without regard
    // to case); its position is stored in the copy. False when none.
    bool FindFieldDescByNumber(uint16_t fieldNo, TFieldDesc& desc) const;
    bool FindFieldDescByName(std::string_view name, TFieldDesc& desc) const;
    // Descriptor N without a copy; nullptr when there is none.
    const TFieldDesc* FieldDescAt(int32_t fieldNo) const {
        return fieldNo >= 1 && fieldNo <= static_cast<int32_t>(FDescs.size()) ? &FDescs[fieldNo - 1] : nullptr;
    }
    // Position of the named field, 0 when none.
    int32_t FindFieldNo(std::string_view name) const;
    // Replaces number, name, subtype, description, required flag, minimum, maximum
    // and default of descriptor N; type, sizes and offset stay.
    void SetFieldDesc(int32_t fieldNo, const TFieldDesc& desc);

    uint16_t GetFieldCount() const;
    uint16_t GetBlobFieldCount() const;
    uint16_t GetRecordSize() const;
    uint16_t GetLocaleID() const;
    uint16_t GetSortID() const;
    uint16_t GetUserMajorVersion() const;
    uint16_t GetUserMinorVersion() const;
    uint32_t GetLastAutoInc() const;
    bool IsEncrypted() const;
    uint32_t GetChangeCount() const;
    uint16_t GetBlobBlockSize() const;
    uint32_t GetLastRecordNumber() const;
    uint32_t GetNextRecordNumber() const;
    uint32_t GetNextAutoInc();
    void SetLastAutoInc(uint32_t value);
    uint32_t GetNextBlobID();
    bool IsHeaderModified() const { return FHeader[dho::Modified] != 0; }
    std::string GetDescription() const;
    std::string GetPassword() const;
    void SetDescriptionAndPassword(std::string_view password, std::string_view description, uint16_t userMajor,
                                   uint16_t userMinor, uint32_t lastAutoInc);
    // The block size the BLOB file of a table without BLOB fields will be made with
    // when one is added; a table that has them keeps its own (a new one needs a copy).
    void SetFutureBlobBlockSize(uint16_t size);

    std::string GetTableName() const;
    TTableErrorContext GetErrorContext() const;
    // Raises an engine error with the table name and error context.
    [[noreturn]] void RaiseError(TEngineErrorCode code) const;

    // ---- Records (RecordCache.cpp) -----------------------------------------
    // The pinned record of slot N. Direction 1 reads forward, any other backward.
    // False (and no record) only when the cursor's change check refreshed it.
    bool ReadRecord(TDataFileCursor* cursor, uint32_t recordNo, TRecord*& record, int32_t direction,
                    bool cursorReadAhead, bool readAhead);
    void ReleaseRecord(TRecord* record);
    // Slot N pinned when the cache holds it (as ReadRecord finds it), else nullptr.
    TRecord* PinCachedRecord(uint32_t recordNo);
    // A forward scan's slots read into the caller's buffer instead of the cache:
    // up to `count` slots from N on, as a block read of ReadRecord's miss brings
    // them (after the same change check, the table's held changes over them,
    // unscrambled, live slots carrying their numbers). Answers the slots read; 0
    // when the change check moved the cursor or the read came short, and the
    // caller reads through the cache instead. What the buffer holds stays true
    // while GetScanGeneration stays: it moves whenever the cache is emptied or
    // records are written, as the record window is dropped.
    int32_t ReadScanSlots(TDataFileCursor* cursor, uint32_t recordNo, int32_t count, std::vector<uint8_t>& slots);
    uint64_t GetScanGeneration() const { return FScanGeneration; }
    // A pinned slot for a new record: the head of the deleted chain, or a new slot.
    // 8962 when the chain leads to a slot that is not deleted. False as ReadRecord.
    bool AllocateRecord(TDataFileCursor* cursor, TRecord*& record);
    void FreeRecord(TRecord* record);
    uint32_t GetNextFreeRecord() const;
    void SetNextFreeRecord(uint32_t recordNo);
    // Writes every modified, unpinned cached record; true when anything was written.
    bool FlushRecords();
    void FreeRecordCache();
    void TrimRecordCache();
    // True when record N is cached; `index` is always 0 (the cache has no order).
    bool FindCachedRecord(uint32_t recordNo, int32_t& index) const;
    TRecord* PopRecord();
    void PushRecord(TRecord*& record);

    int32_t GetRecordsPerBlock() const { return FRecordsPerBlock; }
    int32_t GetCachedRecordCount() const { return FCache.Count(); }
    int32_t GetCacheCapacity() const { return FCache.Capacity; }
    int32_t GetCacheLimit() const;
    const TDataFileStatistics& Statistics() const { return FStatistics; }

    // ---- Record sort (RecordSort.cpp, RecordSortRuns.cpp) -----------------
    // See RecordSort.h. The caller holds the table exclusively.
    TSortResult SortRecords(const TSortRequest& request);
    // The file has no records yet: the records `next` hands are sorted into it as
    // if they had been appended (each taking the next auto-increment value) and then
    // sorted with SortRecords, without being written before the sort.
    TSortResult SortRows(const TSortRequest& request, const TSortRowSource& next);

    // ---- Locks (DataFileLocks.cpp) -----------------------------------------
    // One attempt at record N's lock byte (N = 1 .. 200,000,001).
    bool LockRecord(uint32_t recordNo);
    bool UnlockRecord(uint32_t recordNo);
    // One attempt at the locks of records first .. first + count - 1 with one
    // call, each held afterwards as if locked alone. All or nothing.
    bool LockRecordRun(uint32_t first, uint32_t count);
    // Releases every record lock this data file holds, and only those: another
    // table of this process may hold record locks on the same shared file.
    bool UnlockAllRecords();
    // Releases the locks of these records (ascending numbers, all held by this
    // file), highest number first and each run of consecutive numbers in one
    // call; the numbers whose release failed are added to `failed`.
    void UnlockRecords(const std::vector<uint32_t>& ascending, std::vector<uint32_t>& failed);
    bool IsRecordLockHeld(uint32_t recordNo) const { return FRecordLocks.Contains(recordNo); }

    // Lock escalation. The system checks each new lock against every lock held on
    // the file, so N scattered record locks cost N squared. While allowed (the
    // table's transaction holds the write semaphore, so no other program can
    // write the table), a file holding LockEscalationRuns separate record locks or
    // more takes one lock over the whole record-lock range in their place, and a
    // record lock is then bookkeeping only. Never while anybody else holds a
    // record lock on the file (another program, another table of this process):
    // the file goes on with single locks and tries again after LockEscalationRuns
    // more. A release gives the range back first, keeping exactly this file's own
    // locks, each on its own as before.
    void AllowLockEscalation();
    // Allows no more and gives the range back; false when a release failed: what
    // is left of the range stays held, and the next release tries again.
    bool EndLockEscalation();
    bool RecordLocksEscalated() const { return FEscalatedFrom != 0; }
    // For a stretch of writes about to take comingRuns more separate record locks:
    // when they would bring the file to the escalation anyway, it escalates now
    // (under the same rule), sparing the single locks on the way. True while the
    // range is held.
    bool EscalateAhead(std::size_t comingRuns);
    std::size_t LockEscalationRuns = RECORD_LOCK_ESCALATION;
    // Up to 32,767 attempts, 3 ms apart.
    bool LockSemaphore();
    bool UnlockSemaphore();

    // The local date-time used for the last-update stamp; the system clock unless set.
    std::function<TDateTime()> Clock;

private:
    friend class TRecord;
    friend class TRecordSorter;

    TDataFileOwner* FOwner;
    void* FReadBuffer = nullptr;
    int32_t FReadCapacity = 0;
    int32_t FBlockLength = 0;
    int64_t FBlockStart = 0;
    void* FWriteBuffer = nullptr;
    int32_t FWriteCapacity = 0;
    int32_t FRecordsPerBlock = 1;
    TDataHeader FHeader{};
    uint8_t FDescsDirty = 0;
    std::vector<TFieldDesc> FDescs;  // index 0 is field 1

    // Record cache, found by record number.
    TMruCache<TRecord, &TRecord::Prior, &TRecord::Next, &TRecord::RecordNumber> FCache;
    std::vector<TRecord*> FDetached;  // pinned records dropped from the cache
    std::vector<uint32_t> FUpcoming;  // scratch of LoadUpcomingRecords
    std::vector<uint32_t> FAhead;     // scratch of FillRecordWindow
    TRecordWindow FWindow;
    int32_t FWindowTarget = 0;  // records the next fill reads; 0 starts a scan afresh
    std::vector<uint8_t> FWindowImage;  // scratch of LoadFromWindow
    uint64_t FScanGeneration = 1;
    std::unique_ptr<TRecordStack> FPool;

    TRecordNumberSet FRecordLocks;  // record locks this data file holds
    bool FEscalationAllowed = false;
    // 0, or the first record of the escalated part of the range: the records
    // from it on are held by one lock, those below each by its own.
    uint32_t FEscalatedFrom = 0;
    std::size_t FNextEscalation = RECORD_LOCK_ESCALATION;  // runs held at the next attempt
    TDataFileStatistics FStatistics;
    bool FFilesWritten = false;  // stands in for the owner's flag without an owner
    bool FLayoutKnown = false;   // descriptors loaded: the record layout is in use

    int64_t DataStart() const;
    TDateTime NowStamp() const;
    void SetWritten();
    bool FilesWritten() const;
    void ResizeReadBuffer(int32_t size);
    void ResizeWriteBuffer(int32_t size);
    // Structure checks that must hold before the header and descriptors are used.
    void CheckHeaderStructure(const TDataHeader& header);
    void CheckDescriptorStructure() const;
    void PrepareCache();

    // Record cache internals (RecordCache.cpp).
    TRecord* GetCacheRecord(uint32_t recordNo);
    // A clean, unpinned record taken out of the cache (after a flush outside a
    // transaction when none is clean), or nullptr.
    TRecord* TakeRecyclable();
    void ReadRecordBlock(uint32_t recordNo, int32_t count, int32_t direction);
    void LoadUpcomingRecords(TDataFileCursor* cursor, int32_t direction);

    // Record window (RecordWindow.cpp).
    using TSlotTaker = std::function<void(std::size_t k, uint8_t* image)>;
    // Reads the slots wanted[from..] (ascending numbers) in spans of at most a
    // block and hands each one read to `take` by its place k in `wanted`.
    void ReadWantedSlots(const std::vector<uint32_t>& wanted, std::size_t from, const TSlotTaker& take);
    // Empties the window; the next fill starts small again.
    void DropRecordWindow();
    // Fills the window anew with the records the cursor visits after the current
    // one, when it can hold more than `batch` of them.
    void FillRecordWindow(TDataFileCursor* cursor, int32_t direction, int32_t batch);
    // Caches record N from the window; false when the window does not hold it.
    bool LoadFromWindow(uint32_t recordNo);
    bool FlushToRecycle();
    void DropRecord(TRecord* record);

    // Locks (DataFileLocks.cpp).
    void EscalateWhenDue();
    bool CoveredByEscalation(uint32_t recordNo) const { return FEscalatedFrom != 0 && recordNo >= FEscalatedFrom; }
    // Gives back the part of the escalated range this file's own locks do not
    // cover; false when a release failed (FEscalatedFrom then says what is left).
    bool GiveBackEscalation();
    // UnlockRecords for records each held on its own.
    void ReleaseSingleLocks(const std::vector<uint32_t>& ascending, std::vector<uint32_t>& failed);
};

}  // namespace kura
