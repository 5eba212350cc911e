#pragma once
// The one in-process object that stands for one physical table of a database: every
// cursor of the database that opens the table shares it. It owns the table's three
// files (NAME.DAT, NAME.IDX, NAME.BLB), counts its users, and is the single place
// where the multi-user lock protocol is carried out:
//
// - readers hold one reader byte of the .IDX and one of the .BLB for one operation;
// - writers take the .DAT write semaphore, then the .IDX writer range, then the .BLB
//   writer range, and release them in the opposite order; inside a transaction,
//   whose writes reach the files only at its commit, the writer ranges are taken
//   by the commit alone;
// - record locks are one byte per record of the .DAT, kept until the transaction
//   ends when one is open;
// - a table transaction holds the .DAT semaphore from its start to its end.
//
// An exclusive table and one whose files are read-only by attribute take no locks.
// Read, write and shared-read brackets nest: each counts its depth, and only the
// outermost end releases the locks. Only the thread of the owning session enters.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/files/BlobFile.h"
#include "engine/files/DataFile.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/HeldChanges.h"
#include "engine/files/IndexFile.h"
#include "engine/files/Journal.h"
#include "engine/files/RecordsBitmap.h"

namespace kura {

class TRemoteReply;

class TDataDirectory;
class TDataSession;

// Everything a new table is made of, handed through TDataDirectory::CreateTable.
struct TTableDefinition {
    std::vector<TFieldDesc> Fields;
    // Slot 0 is the primary index (a descriptor without fields: none); the rest are
    // the secondary indexes in order. Empty: no primary and no secondary index.
    std::vector<TIndexDesc> Indexes;
    // The full-text index parameters, stored as index slot 32 when given.
    std::optional<TIndexDesc> TextIndex;
    uint16_t LocaleId = 0;
    uint16_t SortId = 0;
    uint32_t BlobBlockSize = DEFAULT_BLOB_BLOCK_SIZE;
    std::string Description;  // at most 50 characters
    std::string Password;     // at most 15 characters
    bool Encrypted = false;
    uint16_t UserMajor = 1;
    uint16_t UserMinor = 0;
};

// Extensions of the table files and of their backups.
inline constexpr std::string_view DataFileExt = ".DAT";
inline constexpr std::string_view IndexFileExt = ".IDX";
inline constexpr std::string_view BlobFileExt = ".BLB";
inline constexpr std::string_view DataBackupExt = ".DBK";
inline constexpr std::string_view IndexBackupExt = ".IBK";
inline constexpr std::string_view BlobBackupExt = ".BBK";
// The rollback journal that makes every flush of the three files all or nothing.
inline constexpr std::string_view JournalFileExt = ".JNL";

// Room of the lock bitmaps when a table is made.
constexpr int32_t TABLE_BITMAP_CAPACITY = 8192;

class TDataTable : public TDataFileOwner, public TIndexFileOwner, public TBlobFileOwner {
public:
    explicit TDataTable(TDataDirectory* directory);
    // Closes the table (discarding a temporary one) and frees its files; never throws.
    ~TDataTable() override;
    TDataTable(const TDataTable&) = delete;
    TDataTable& operator=(const TDataTable&) = delete;

    // ---- Options and users --------------------------------------------------
    // Set by the database before Open.
    void SetName(std::string_view name);
    void SetExclusive(bool value) { FExclusive = value; }
    void SetInMemory(bool value) { FInMemory = value; }
    void SetTemporary(bool value) { FTemporary = value; }
    const std::string& GetName() const { return FName; }
    bool IsExclusive() const { return FExclusive; }
    // Set when the table, kept exclusive by the transaction after the exclusive open
    // that asked for it closed, is opened again without asking: the exclusive use
    // is then only the transaction's, and ends with it (ShareAfterTransaction).
    void SetExclusiveForTransaction(bool value) { FExclusiveForTransaction = value; }
    // Outside a transaction, an exclusive use that was only a transaction's gives
    // way to shared use, by this program and others, while the table stays open.
    void ShareAfterTransaction();
    bool IsInMemory() const { return FInMemory; }
    bool IsTemporary() const { return FTemporary; }
    bool IsOpen() const { return FIsOpen; }
    bool IsReadOnly() const { return FReadOnly; }
    bool IsReadOnlyByAttribute() const { return FReadOnlyByAttribute; }
    bool IsIndexRecreated() const { return FIndexRecreated; }
    // The first cursor rebuilt the new index file's contents and flushed them; later
    // cursors on the shared table must not insert the same row keys again, and other
    // programs may open the file from now on.
    void IndexRecreatedRebuilt();
    uint16_t GetOpenCount() const { return FOpenCount; }
    uint16_t GetCursorCount() const { return FCursorCount; }
    void AddCursorRef();
    void RemoveCursorRef();  // never below 0

    TDataDirectory* GetDirectory() const { return FDirectory; }
    TDataSession* GetSession() const;

    // ---- Files ----------------------------------------------------------------
    // Each file's name: the database path, the table name and the file's extension
    // (which replaces a trailing ".DAT" of the name); the options go to every file.
    void AssignFileNames();
    // One more user; the first opens the files. A missing .IDX is made anew, empty.
    // A failure closes what was opened and passes on.
    void Open();
    // One user less; the last (outside a transaction) flushes and closes the files.
    // With discardTemporary an exclusive temporary table is closed unwritten.
    void Close(bool discardTemporary);
    // Creates the three files of a new table and counts one user.
    void CreateFiles(const TTableDefinition& definition);
    // Dropping the files settles what their journal holds first (a commit over
    // several tables cut off half-way), as the table's next open would.
    void DeleteFiles();
    // To another name, or with asBackup to the backup extensions (".DBK", ".IBK",
    // ".BBK"), replacing older backups. Missing files are skipped.
    void RenameFiles(std::string_view newName, bool asBackup);
    // Every open file made empty: records, index pages and BLOB blocks are gone.
    void EmptyFiles();
    void BackupIndexFile();
    void RestoreIndexFile(bool keepCurrent, bool deleteBackup);
    void VerifyHeaders();

    TDataFile& GetDataFile() { return FDataFile; }
    TIndexFile& GetIndexFile() { return FIndexFile; }
    TBlobFile& GetBlobFile() { return FBlobFile; }
    TTableJournal& GetJournal() { return FJournal; }
    bool HasBlobFields() const;

    // ---- Locks --------------------------------------------------------------
    // The "changed" results mean another program changed the table since this
    // process last looked: the caches were dropped and cursors must resynchronise.
    // Read brackets nest; the reader lock is held from the first bracket that needs
    // it to the end of the outermost one. BeginRead takes it at once; a bracket
    // entered with EnterReadBracket takes it only when a cache miss has to read the
    // disk (ReadLockForCacheMiss), so reads served from the caches lock nothing.
    bool BeginRead();
    void EnterReadBracket();
    bool ReadLockForCacheMiss();
    void EndRead();
    bool BeginWrite();
    void EndWrite();
    // An exclusive table takes no locks, but its operations still bracket their
    // writes: a full cache waits for the outermost bracket's end and then flushes
    // the whole table through the journal, so no crash leaves half an operation.
    void BeginExclusiveWrite();
    void EndExclusiveWrite();
    // Makes a full cache wait for the bracket's end also without a journal (an
    // in-memory table): set around an operation that undoes itself by dropping
    // the caches.
    bool HoldWritesInBrackets = false;
    // The second read pair, for SQL statements that ask to keep their sources read.
    bool BeginSharedRead();
    void EndSharedRead();
    // Takes record N's lock, retrying LockRetryCount times LockWaitTime ms apart.
    bool LockRecord(uint32_t recordNo);
    // Inside a transaction the lock is kept until the transaction ends.
    void UnlockRecord(uint32_t recordNo);
    void UnlockLockedRecords(bool onlyDeferred);
    // Inside a transaction: the locks of records about to be written, taken ahead
    // in runs; those no write claims go back at the next commit or the end.
    void LockRecordsAhead(std::vector<uint32_t> numbers);
    void ReleaseLocksAhead();
    // Taken ahead and not yet claimed by a write: no other program can change
    // the record before this transaction ends.
    bool IsLockedAhead(uint32_t recordNo) const {
        return recordNo <= static_cast<uint32_t>(INT32_MAX) && FLockedAhead.GetBit(static_cast<int32_t>(recordNo));
    }
    void MarkRecordLocked(uint32_t recordNo);
    void UnmarkRecordLocked(uint32_t recordNo);
    bool IsRecordMarkedLocked(uint32_t recordNo);
    bool IsRecordLocked(uint32_t recordNo);  // in LockedRecords

    bool IsReadLocked() const { return FReadLocked; }
    bool IsWriteLocked() const { return FWriteLocked; }
    bool IsSharedReadLocked() const { return FSharedReadLocked; }
    bool IsTransactionLocked() const { return FTransactionLocked; }
    uint32_t GetReadDepth() const { return FReadDepth; }
    uint32_t GetWriteDepth() const { return FWriteDepth; }

    // Attempts at the .DAT write semaphore, 3 ms apart; lowered by callers that must
    // not wait the full half-minute-and-more for another program.
    int32_t SemaphoreAttempts = SEMAPHORE_ATTEMPTS;
    // The other programs of this computer seen holding the .DAT write semaphore (a
    // transaction or a write of theirs); see platform::LockHolders.
    std::vector<platform::TLockHolder> SemaphoreHolders() { return FDataFile.LockHolders(WRITE_SEMAPHORE_OFFSET, 1); }

    // ---- Transactions ----------------------------------------------------------
    // A failed start leaves the table outside the transaction, holding nothing.
    void StartTransaction();
    void Rollback();
    void CommitBeginWrite();
    // Gives back the writer locks of CommitBeginWrite when a commit cannot go on.
    void CommitAbandon();
    // Writes every buffer into the journal's held-back writes and hands them to
    // the commit, which writes all the tables' files together; the transaction
    // stays open also when this (or the commit) raises.
    void CommitFlush(bool endTransaction, bool forceFlush, TJournalCommit& commit);
    // The commit did not reach the files: the transaction's writes went with the
    // caches, and every further commit fails with code until it is rolled back.
    void CommitLost(TEngineErrorCode code) noexcept;
    void CommitEnd(bool endTransaction);
    bool InTransaction() const override { return FInTransaction; }
    TRecycleFlush FlushForRecycle() override;

    // ---- Buffers ----------------------------------------------------------------
    void FlushBuffers(bool trim, bool dataHeader, bool forceFlush, bool blobHeader, bool indexHeader);
    void DiscardBuffers(bool trim, bool rereadHeaders);
    bool RefreshIfChanged();

    // ---- Forwarders -------------------------------------------------------------
    uint32_t GetRecordCount() const;
    void SetRecordCount(uint32_t count) override;
    void IncRecordCount();
    void DecRecordCount();
    uint8_t GetIndexCount() const;
    void SetIndexCount(uint8_t count);  // at most 30 secondary indexes
    bool GetNoPrimaryIndex() const override;
    void SetNoPrimaryIndex(bool flag);
    uint16_t GetFieldCount() const override;
    uint16_t GetBlobFieldCount() const;
    uint16_t GetRecordSize() const;
    uint16_t GetBlobBlockSize() const;  // 0 without BLOB fields
    uint16_t GetLocaleId() const;  // the data header's language id
    uint16_t GetUserMajorVersion() const;
    uint16_t GetUserMinorVersion() const;
    bool GetFieldDesc(int32_t fieldNo, TFieldDesc& desc) const;
    bool FindFieldDescByNumber(uint16_t fieldNo, TFieldDesc& desc) const;
    bool FindFieldDescByName(std::string_view name, TFieldDesc& desc) const;
    int32_t FindFieldNo(std::string_view name) const;
    std::string GetDescription() const;
    std::string GetPassword() const;
    void CopyDataHeader(uint8_t* buffer) const;  // 127 bytes
    // Remote tables (RemoteState.cpp): the open state a server sends with OPENCURSOR
    // and the file counters that come with every cursor state.
    void ReadOpenReply(TRemoteReply& reply);
    // The counters a cursor state carries; a layout change is a malformed reply.
    void AdoptRemoteCounters(TRemoteReply& reply, const TDataHeader& data, uint32_t indexChangeCount,
                             uint32_t indexRecordCount);
    uint32_t GetDataChangeCount() const;
    uint32_t GetIndexChangeCount() const;
    // Counts the times the caches were dropped (a rollback, a write that failed):
    // what a cursor read from them before may no longer be the table's.
    uint32_t GetCacheDiscards() const { return FCacheDiscards; }
    uint32_t GetLastRecordNumber() const;
    uint32_t GetLastBlobBlockNumber() const;  // 0 without an open BLOB file
    uint32_t GetLastAutoInc() const;
    void SetLastAutoInc(uint32_t value);
    uint32_t GetNextBlobId();
    uint32_t GetNextFreeRecord() const;
    // True without BLOB fields or without an open BLOB file.
    bool FreeBlobChain(TBlobCursor* cursor, uint32_t& firstBlock, bool repair, uint32_t recordNo, uint32_t blobId);
    bool FreeBlockChain(TBlobCursor* cursor, TBlock* block, bool repair, uint32_t recordNo, uint32_t blobId,
                        int32_t count);

    // ---- What the files ask of their owner ---------------------------------------
    std::string GetTableName() const override { return FName; }
    TTableErrorContext GetErrorContext() const override;
    bool IsRemote() const override;
    bool IsEncrypted() const override;
    bool IsMemory() const override { return FInMemory; }
    int32_t GetRecordBufferSize() const override;
    int32_t GetRecordBufferCount() const override;
    int32_t GetIndexCacheLimit() const override;
    int32_t GetBlobBufferSize() const override;
    int32_t GetBlobBufferCount() const override;
    bool GetStrictChangeDetection() const override;
    bool GetForceBufferFlush() const override;
    std::string GetPrivateDirectory() const override;
    uint16_t GetLanguageId() const override;
    uint16_t GetSortId() const override;
    bool GetFilesWritten() const override { return FFilesWritten; }
    void SetFilesWritten() override { FFilesWritten = true; }
    bool GetKeyField(uint16_t fieldNo, TIndexKeyField& field) const override;

    // Raises an engine error with the table and database names as context.
    [[noreturn]] void RaiseError(TEngineErrorCode code) const;

private:
    bool Local() const { return !IsRemote(); }
    bool BlobFileInUse() const;
    std::string DatabasePath() const;
    std::string FileNameFor(std::string_view base, std::string_view ext) const;
    // Settles the journal of the table `name` in the folder `path` before its
    // files are dropped, renamed or made anew (TTableJournal::SettleJournal).
    void SettleJournal(const std::string& path, std::string_view name,
                       TTableJournal::TSettleScope scope = TTableJournal::TSettleScope::Journal) const;
    // The raw lock steps; each answers false instead of raising.
    bool TakeSemaphore();
    // Takes the reader bytes of one read pair; raises 10249 (holding nothing).
    void TakeReaderLocks(uint16_t& slotIndex, uint16_t& slotBlob);
    // Releases both reader bytes, attempting each; false when one failed.
    bool ReleaseReaderLocks(uint16_t& slotIndex, uint16_t& slotBlob);
    // The whole read lock released whatever its depth (a record-lock wait); the
    // depth to restore afterwards.
    uint32_t SuspendRead();
    bool CanTakeReadLock() const;
    bool TakeReadLock();
    // The .IDX writer range, then the .BLB one; raises 10249 holding neither.
    void TakeWriterRanges();
    // Releases the writer ranges and the semaphore the write flags say are held;
    // false when one stays held.
    bool ReleaseWriteLocks();
    // Locks of new slots taken ahead inside a transaction (LockRecord).
    bool TakeReservedSlot(uint32_t recordNo);
    // Gives back the reserved slots below `below` (all by default).
    void ReleaseReservedSlots(uint32_t below = UINT32_MAX);
    // Ends the transaction lock: semaphore released, deferred unlocks done.
    void EndTransactionLock();
    void ReleaseWithEscalation();
    // After the data file released these records (or tried to): each it no longer
    // holds is unmarked; one it still holds (the system refused its release) stays
    // marked, its release owed to the next end of a transaction or the close.
    void SettleReleases(const std::vector<uint32_t>& records);
    // The table's files start (or stop) holding their writes back for the
    // transaction.
    void HoldChanges(bool holding);
    // Writes what the file holds to it, inside the commit's flush; true when
    // anything was held.
    bool WriteHeldChanges(TFileHandler& file);
    // Before a commit: the modified items of each cache whose file holds changes
    // go to those.
    void HandCachesToHeldChanges();
    // The stored size of what the table's caches hold (records, pages of its
    // indexes on disk, BLOB blocks).
    int64_t CachedBytes() const;
    // Forgets every held change; with `release` the files stop holding and, after
    // a large commit, the freed memory goes back to the system.
    void ForgetHeldChanges(bool release);
    void ResizeBitmaps(uint32_t recordNo);
    void CloseFiles();
    // The journal: opened with the files of a table on disk; a flush holds its
    // writes back between JournalBegin and the outermost JournalEnd, which writes
    // them all at once. A failed write leaves the files as they were and drops the
    // caches, so that this program sees what is on disk. An existing table's
    // journal is opened holding its writer lock, which Open lets go of once the
    // files are open.
    void OpenJournal(bool fresh);
    void JournalBegin();
    void JournalEnd();
    void ApplyJournal();
    // The change counters a flush leaves in the headers, as they are stored.
    TJournalTargets JournalTargets() const;
    // Ends a bracket whose flush failed: its writes are dropped with the caches.
    void AbandonJournal() noexcept;
    // After a flush that did not reach the files: the caches go, and a journal
    // left to put the files back is played back first.
    void DropUnwrittenFlush() noexcept;
    // Rolls back a dead writer's flush before anything of the files is read.
    void RecoverJournal();

    TDataDirectory* FDirectory;
    uint16_t FOpenCount = 0;
    uint16_t FCursorCount = 0;
    std::string FName;
    bool FIsOpen = false;
    bool FExclusive = false;
    bool FExclusiveForTransaction = false;
    bool FReadOnly = false;
    bool FReadOnlyByAttribute = false;
    bool FInMemory = false;
    bool FTemporary = false;
    // A transaction's changes that the caches gave up, per file (.DAT, .IDX,
    // .BLB), and the memory they may take together (HeldChanges.h). Before the
    // files, so that they outlast the handlers that point to them.
    THeldBudget FHeldBudget;
    std::array<THeldChanges, 3> FHeld;
    // The transaction's end frees much memory (see ForgetHeldChanges).
    bool FReleaseAtEnd = false;
    TDataFile FDataFile;
    TIndexFile FIndexFile;
    TBlobFile FBlobFile;
    TTableJournal FJournal;
    bool FWriteJournal = false;  // the write bracket holds the journal's writes back
    bool FIndexRecreated = false;
    TRecordsBitmap FLockedRecords;
    TRecordsBitmap FCursorLockedRecords;
    TRecordsBitmap FDeferredUnlocks;
    TRecordsBitmap FLockedAhead;  // taken ahead, not yet claimed by a write
    bool FSharedReadLocked = false;
    bool FReadLocked = false;
    bool FWriteLocked = false;
    uint16_t FReadSlotIndex = 0;
    uint16_t FReadSlotBlob = 0;
    uint16_t FSharedReadSlotIndex = 0;
    uint16_t FSharedReadSlotBlob = 0;
    bool FTransactionLocked = false;
    bool FInTransaction = false;
    // A commit whose flush failed dropped the transaction's writes with the caches;
    // until the transaction is rolled back every further commit fails with this
    // code, since succeeding would report writes that no longer exist.
    TEngineErrorCode FLostCommit = 0;
    uint32_t FCacheDiscards = 0;
    uint32_t FExclusiveWriteDepth = 0;
    bool FRecycleFlushPending = false;  // a full cache waits for the bracket's end
    bool FFlushingForRecycle = false;
    bool FFilesWritten = false;
    uint32_t FReadDepth = 0;
    uint32_t FWriteDepth = 0;
    uint32_t FSharedReadDepth = 0;
    // Which locks the write bracket and the transaction took, so that each is
    // released exactly once by whoever took it.
    bool FWriteHeldIndex = false;
    bool FWriteHeldBlob = false;
    bool FWriteHeldSemaphore = false;
    bool FTransactionSemaphore = false;
    // New slots whose locks a transaction holds ahead of its appends, and how many
    // the next run takes.
    static constexpr uint32_t RESERVED_SLOTS_MIN = 16;
    static constexpr uint32_t RESERVED_SLOTS_MAX = 4096;
    uint32_t FReservedFirst = 0;
    uint32_t FReservedEnd = 0;
    uint32_t FReserveRun = RESERVED_SLOTS_MIN;
};

}  // namespace kura
