#include "engine/core/DataTable.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/TableRename.h"
#include "engine/core/TableSwap.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/EngineFile.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/KeyEncoding.h"
#include "engine/files/Routines.h"
#include "platform/Memory.h"

namespace kura {

namespace {

constexpr std::size_t kShortStringMax = 255;

std::string ShortString(std::string_view s) { return std::string(s.substr(0, std::min(s.size(), kShortStringMax))); }

void SleepMs(uint32_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Keeps the first failure of a run of steps that must all be attempted.
struct TFirstError {
    std::exception_ptr error;
    template <typename F>
    void Attempt(F&& step) {
        try {
            step();
        } catch (...) {
            if (!error) error = std::current_exception();
        }
    }
    void Rethrow() {
        if (error) std::rethrow_exception(error);
    }
};

}  // namespace

TDataTable::TDataTable(TDataDirectory* directory)
    : FDirectory(directory), FDataFile(this), FIndexFile(this), FBlobFile(this) {
    FLockedRecords.SetRecordCount(TABLE_BITMAP_CAPACITY);
    FCursorLockedRecords.SetRecordCount(TABLE_BITMAP_CAPACITY);
    FDeferredUnlocks.SetRecordCount(TABLE_BITMAP_CAPACITY);
    FLockedAhead.SetRecordCount(TABLE_BITMAP_CAPACITY);
}

TDataTable::~TDataTable() {
    // A transaction cannot outlive its table object: whatever it holds goes.
    try {
        if (FInTransaction) Rollback();
    } catch (...) {
    }
    FOpenCount = std::min<uint16_t>(FOpenCount, 1);
    try {
        Close(true);
    } catch (...) {
    }
    if (FIsOpen) {
        try {
            CloseFiles();
        } catch (...) {
        }
    }
}

// ---- Options and context ----------------------------------------------------

void TDataTable::SetName(std::string_view name) { FName = ShortString(name); }

void TDataTable::AddCursorRef() {
    if (FCursorCount < UINT16_MAX) ++FCursorCount;
}

void TDataTable::RemoveCursorRef() {
    if (FCursorCount > 0) --FCursorCount;
}

TDataSession* TDataTable::GetSession() const { return FDirectory ? FDirectory->Session : nullptr; }

bool TDataTable::IsRemote() const {
    const TDataSession* session = GetSession();
    return session != nullptr && session->IsRemote();
}

TTableErrorContext TDataTable::GetErrorContext() const {
    TTableErrorContext context;
    if (const TDataSession* session = GetSession(); session && session->IsRemote()) {
        context.Server = session->GetServerName();
        context.User = session->RemoteUser;
    }
    if (FDirectory) context.Database = FDirectory->GetDatabaseName();
    return context;
}

void TDataTable::RaiseError(TEngineErrorCode code) const {
    const TTableErrorContext context = GetErrorContext();
    RaiseEngineError(code, context.Server, context.User, context.Database, FName);
}

bool TDataTable::IsEncrypted() const { return FDataFile.IsEncrypted(); }

int32_t TDataTable::GetRecordBufferSize() const {
    const TDataSession* s = GetSession();
    return s ? s->RecordBufferSize : 16384;
}

int32_t TDataTable::GetRecordBufferCount() const {
    const TDataSession* s = GetSession();
    return s ? s->RecordBufferCount : 8192;
}

int32_t TDataTable::GetIndexCacheLimit() const {
    const TDataSession* s = GetSession();
    return s ? s->IndexBufferSize : DEFAULT_INDEX_CACHE_LIMIT;
}

int32_t TDataTable::GetBlobBufferSize() const {
    const TDataSession* s = GetSession();
    return s ? s->BlobBufferSize : DEFAULT_BLOB_BUFFER_SIZE;
}

int32_t TDataTable::GetBlobBufferCount() const {
    const TDataSession* s = GetSession();
    return s ? s->BlobBufferCount : DEFAULT_BLOB_BUFFER_COUNT;
}

bool TDataTable::GetStrictChangeDetection() const {
    const TDataSession* s = GetSession();
    return s && s->GetStrictChangeDetection();
}

bool TDataTable::GetForceBufferFlush() const {
    const TDataSession* s = GetSession();
    return s && s->GetForceBufferFlush();
}

std::string TDataTable::GetPrivateDirectory() const {
    const TDataSession* s = GetSession();
    return s ? s->GetDatabasePath() : GetTempDir();
}

uint16_t TDataTable::GetLanguageId() const { return FDataFile.GetLocaleID(); }
uint16_t TDataTable::GetSortId() const { return FDataFile.GetSortID(); }

bool TDataTable::GetKeyField(uint16_t fieldNo, TIndexKeyField& field) const {
    TFieldDesc desc;
    if (!FDataFile.GetFieldDesc(fieldNo, desc)) return false;
    field.Name = desc.Name();
    field.FieldType = desc.FieldType();
    field.SubType = desc.SubType();
    field.DataSize = GetFieldDataSize(desc.FieldType(), desc.StoredSize());
    return true;
}

bool TDataTable::HasBlobFields() const { return FDataFile.GetBlobFieldCount() > 0; }

bool TDataTable::BlobFileInUse() const { return HasBlobFields() && FBlobFile.IsOpen; }

std::string TDataTable::DatabasePath() const { return FDirectory ? FDirectory->Path : std::string(); }

// The extension replaces a trailing ".DAT" and is appended to any other name.
std::string TDataTable::FileNameFor(std::string_view base, std::string_view ext) const {
    std::string name;
    ReplaceFileExt(base, DataFileExt, ext, name);
    return name;
}

// ---- Files ------------------------------------------------------------------

void TDataTable::AssignFileNames() {
    const std::string path = DatabasePath();
    const std::string_view exts[] = {DataFileExt, IndexFileExt, BlobFileExt};
    TFileHandler* files[] = {&FDataFile, &FIndexFile, &FBlobFile};
    for (int i = 0; i < 3; ++i) {
        files[i]->FileName = path + FileNameFor(FName, exts[i]);
        files[i]->Exclusive = FExclusive;
        files[i]->ReadOnly = FReadOnly;
        files[i]->IsMemory = FInMemory;
        files[i]->Temporary = FTemporary;
    }
}

void TDataTable::Open() {
    if (FOpenCount < UINT16_MAX) ++FOpenCount;
    if (FIsOpen) return;
    if (IsRemote()) {
        FIsOpen = true;
        return;
    }
    FIndexRecreated = false;
    FIsOpen = true;
    const std::string journal = DatabasePath() + FileNameFor(FName, JournalFileExt);
    bool journalLeft = true;
    try {
        // A restructure that stopped after its point of no return, or a rename that
        // stopped between its moves, is finished first.
        if (!FInMemory) CompleteInterruptedWork(DatabasePath(), FName);
        AssignFileNames();
        // A journal left by a program that died rolls the files back before any of
        // them is read, and the headers are read under the journal's writer lock: a
        // flush of another program that has written some of them in place and not yet
        // the others (a header counting blocks not written yet) would look like damage.
        // Without a data file there is no table, and a name that opens none must leave
        // no NAME.JNL behind.
        journalLeft = !FInMemory && DiskFileExists(journal);
        if (journalLeft || DiskFileExists(FDataFile.FileName)) OpenJournal(false);
        FDataFile.OpenFile();
        bool lost = false;
        try {
            FIndexFile.OpenFile();
            // A lost one made anew whose rebuild never ended (its program cut off).
            lost = FIndexFile.NoIndexSet();
            if (lost) FIndexFile.CloseFile();
        } catch (const EKuraEngineError& e) {
            if (e.ErrorCode() != KURA_OSENOENT) throw;
            lost = true;
        }
        if (lost) {
            // A lost index file is no reason to refuse the records: it is made anew,
            // held by this program alone until the first cursor's rebuild has flushed
            // it whole (IndexRecreatedRebuilt). Until then its header is the one it
            // was made with, which no table's index file has once built: an open cut
            // off meanwhile leaves a file the next open takes for a lost one again,
            // and one that fails, or closes first, removes it.
            FIndexRecreated = true;
            FIndexFile.CreateFile();
            FIndexFile.WriteHeader(true);
        }
        if (HasBlobFields()) {
            FBlobFile.SetBlockSize(FDataFile.GetBlobBlockSize());
            FBlobFile.OpenFile();
        }
        FReadOnly = FDataFile.ReadOnly || FIndexFile.ReadOnly || (FBlobFile.IsOpen && FBlobFile.ReadOnly);
        FReadOnlyByAttribute = FDataFile.ReadOnlyByAttribute || FIndexFile.ReadOnlyByAttribute ||
                               (FBlobFile.IsOpen && FBlobFile.ReadOnlyByAttribute);
        if (FReadOnlyByAttribute) FReadOnly = true;
        FReadSlotIndex = FReadSlotBlob = FSharedReadSlotIndex = FSharedReadSlotBlob = 0;
        FJournal.Release();
    } catch (...) {
        FJournal.Release();
        const bool indexMade = FIndexRecreated;
        try {
            Close(true);
        } catch (...) {
        }
        if (FIsOpen) {
            try {
                CloseFiles();
            } catch (...) {
            }
        }
        // An open that fails leaves nothing it made: the empty index and the new
        // journal would make a name that holds no table look like one.
        if (indexMade) FileList->DeleteFile(FIndexFile.FileName, FInMemory);
        if (!journalLeft && DiskFileExists(journal) && JournalHoldsNothing(journal)) OSDeleteFile(journal);
        throw;
    }
}

// Releases every lock the table may still hold, whatever the bracket depths, and
// closes the files; every step is attempted.
void TDataTable::CloseFiles() {
    TFirstError first;
    if (FReadDepth > 1) FReadDepth = 1;
    first.Attempt([&] { EndRead(); });
    if (FSharedReadDepth > 1) FSharedReadDepth = 1;
    first.Attempt([&] { EndSharedRead(); });
    if (FWriteDepth > 1) FWriteDepth = 1;
    first.Attempt([&] { EndWrite(); });
    // The transaction lock before the record locks, so that no unlock is deferred.
    if (FTransactionLocked) first.Attempt([&] { EndTransactionLock(); });
    first.Attempt([&] {
        if (!ReleaseWriteLocks()) RaiseError(KURA_LOCKTIMEOUT);
    });
    first.Attempt([&] { UnlockLockedRecords(false); });
    FCursorLockedRecords.ClearAll();
    FReadLocked = FWriteLocked = FSharedReadLocked = false;
    FReadDepth = FWriteDepth = FSharedReadDepth = 0;
    FReadSlotIndex = FReadSlotBlob = FSharedReadSlotIndex = FSharedReadSlotBlob = 0;
    FWriteJournal = false;
    FJournal.Close();
    if (FIndexFile.IsOpen) first.Attempt([&] { FIndexFile.CloseFile(); });
    if (FBlobFile.IsOpen) first.Attempt([&] { FBlobFile.CloseFile(); });
    if (FDataFile.IsOpen) first.Attempt([&] { FDataFile.CloseFile(); });
    FIndexRecreated = false;
    FIsOpen = false;
    FFilesWritten = false;
    first.Rethrow();
}

void TDataTable::Close(bool discardTemporary) {
    if (!FIsOpen) return;
    if (FOpenCount > 0) --FOpenCount;
    if (FInTransaction || FOpenCount > 0) return;
    if (IsRemote()) {
        TFirstError first;
        first.Attempt([&] { UnlockLockedRecords(false); });
        FCursorLockedRecords.ClearAll();
        FIsOpen = false;
        first.Rethrow();
        return;
    }
    TFirstError first;
    // An index file made anew whose rebuild never ended holds nothing worth keeping.
    const bool unbuilt = FIndexRecreated;
    if (unbuilt) {
        first.Attempt([&] { DiscardBuffers(true, false); });
    } else if (FExclusive && !FReadOnly) {
        first.Attempt([&] {
            if (FTemporary && discardTemporary)
                DiscardBuffers(true, false);
            else
                FlushBuffers(true, false, false, false, false);
        });
    }
    first.Attempt([&] { CloseFiles(); });
    if (unbuilt) FileList->DeleteFile(FIndexFile.FileName, FInMemory);
    first.Rethrow();
}

void TDataTable::IndexRecreatedRebuilt() {
    FIndexRecreated = false;
    if (!FExclusive) FIndexFile.ShareFile();
}

void TDataTable::ShareAfterTransaction() {
    if (!FExclusiveForTransaction || FInTransaction) return;
    FExclusiveForTransaction = false;
    if (!FExclusive) return;
    if (FIsOpen && !IsRemote()) {
        // What exclusive use keeps in the buffers goes to the files first: other
        // programs read them from now on.
        if (!FReadOnly) FlushBuffers(false, false, false, false, false);
        TFileHandler* files[] = {&FDataFile, &FIndexFile, &FBlobFile};
        for (TFileHandler* file : files) file->ShareFile();
    }
    FExclusive = false;
}

void TDataTable::CreateFiles(const TTableDefinition& definition) {
    if (FOpenCount < UINT16_MAX) ++FOpenCount;
    FIsOpen = true;
    if (IsRemote()) return;
    FIndexRecreated = false;
    bool dataCreated = false;
    bool indexCreated = false;
    bool blobCreated = false;
    try {
        // A rename of the name that stopped half-way ends first: the files made
        // here must not take the place of the table it moved.
        if (!FTemporary && !FInMemory) CompleteInterruptedRename(DatabasePath(), FName);
        AssignFileNames();
        // A link at any of the names is refused, naming it, before anything is
        // settled or made.
        if (!FTemporary && !FInMemory) {
            const std::string journal = DatabasePath() + FileNameFor(FName, JournalFileExt);
            for (const std::string& file : {FDataFile.FileName, FIndexFile.FileName, FBlobFile.FileName, journal})
                if (OSIsLink(file)) RaiseEngineError(KURA_OSEACCES, {}, {}, {}, platform::NormalizeSeparators(file));
        }
        // The files made anew replace whatever a journal under the name could still
        // play back: it is settled first, with every table its commit bound.
        if (!FTemporary) SettleJournal(DatabasePath(), FName);
        FDataFile.CreateHeader(definition.LocaleId, definition.SortId, definition.Fields, definition.BlobBlockSize,
                               definition.Description, definition.Password, definition.Encrypted,
                               definition.UserMajor, definition.UserMinor);
        dataCreated = true;
        FIndexFile.CreateFile();
        indexCreated = true;
        FIndexFile.SetPrimaryIndexDesc(definition.Indexes.empty() ? TIndexDesc{} : definition.Indexes[0]);
        for (std::size_t i = 1; i < definition.Indexes.size(); ++i) FIndexFile.AddIndex(definition.Indexes[i]);
        if (definition.TextIndex) FIndexFile.SetIndexDesc(SYS_TEXT_SLOT, *definition.TextIndex);
        if (HasBlobFields()) {
            FBlobFile.SetBlockSize(FDataFile.GetBlobBlockSize());
            FBlobFile.CreateFile();
            blobCreated = true;
        }
        OpenJournal(true);
    } catch (...) {
        // A half-made table would be a corrupt one: what this call created goes.
        if (FOpenCount > 0) --FOpenCount;
        try {
            if (FOpenCount == 0) CloseFiles();
        } catch (...) {
        }
        if (FOpenCount == 0) {
            if (blobCreated) FileList->DeleteFile(FBlobFile.FileName, FInMemory);
            if (indexCreated) FileList->DeleteFile(FIndexFile.FileName, FInMemory);
            if (dataCreated) FileList->DeleteFile(FDataFile.FileName, FInMemory);
        }
        throw;
    }
}

void TDataTable::SettleJournal(const std::string& path, std::string_view name,
                               TTableJournal::TSettleScope scope) const {
    if (IsRemote() || FInMemory) return;
    TTableJournal::SettleJournal(path + FileNameFor(name, JournalFileExt),
                                 {path + FileNameFor(name, DataFileExt), path + FileNameFor(name, IndexFileExt),
                                  path + FileNameFor(name, BlobFileExt)},
                                 scope);
}

void TDataTable::DeleteFiles() {
    if (IsRemote()) return;
    // A rename of the name that stopped half-way ends first: the files to drop
    // are those it left under the name it gave.
    if (!FInMemory && !FTemporary) CompleteInterruptedRename(DatabasePath(), FName);
    // A commit cut off half-way is settled first, on every table it bound: the
    // journal about to go may be what decides it for the others, and the table
    // itself what tells the deciding journal of one it let go of that it stands.
    SettleJournal(DatabasePath(), FName, TTableJournal::TSettleScope::CommitsNaming);
    AssignFileNames();
    FDataFile.DeleteFile();
    FIndexFile.DeleteFile();
    if (FBlobFile.FileExists()) FBlobFile.DeleteFile();
    // The journal goes with the table (while another program has it open, it stays
    // behind, empty, and does no harm).
    FJournal.Close();
    const std::string journal = DatabasePath() + FileNameFor(FName, JournalFileExt);
    if (!FInMemory && DiskFileExists(journal)) OSDeleteFile(journal);
    if (!FInMemory) DeleteJournalLeftovers(journal);
}

void TDataTable::RenameFiles(std::string_view newName, bool asBackup) {
    if (IsRemote()) return;
    const std::string target = ShortString(newName);
    const std::string prefix = (!ContainsPath(target) && !FInMemory) ? DatabasePath() : std::string();
    if (!asBackup && !FInMemory) {
        // A rename of either name that stopped half-way ends first.
        CompleteInterruptedRename(DatabasePath(), FName);
        CompleteInterruptedRename(prefix, target);
        // A refusal is decided before anything is settled, naming what stands now.
        RefuseRename(DatabasePath(), FName, prefix, target);
    }
    // The journal is dropped below: what it still holds is settled first, and so is
    // every cut commit that names the table (its deciding journal finds the table by
    // its name).
    SettleJournal(DatabasePath(), FName, TTableJournal::TSettleScope::CommitsNaming);
    FJournal.Close();
    if (!asBackup && !FInMemory) {
        // What recoveries recorded beside the journal goes along: another table of a
        // commit they settled looks for it under the table's name.
        RenameTableFiles(DatabasePath(), FName, prefix, target);
        AssignFileNames();
        return;
    }
    AssignFileNames();
    const std::string_view tableExts[] = {DataFileExt, IndexFileExt, BlobFileExt};
    const std::string_view backupExts[] = {DataBackupExt, IndexBackupExt, BlobBackupExt};
    TFileHandler* files[] = {&FDataFile, &FIndexFile, &FBlobFile};
    for (int i = 0; i < 3; ++i) {
        const std::string destination = prefix + FileNameFor(target, asBackup ? backupExts[i] : tableExts[i]);
        if (asBackup && FileExistsInList(destination, FInMemory)) {
            const int32_t result = FileList->DeleteFile(destination, FInMemory);
            if (result < 0) RaiseEngineError(static_cast<uint32_t>(-result), {}, {}, {}, destination);
        }
        if (files[i]->FileExists()) files[i]->RenameFile(destination);
    }
    // A journal is written afresh under whatever name the table is opened by next.
    const std::string journal = DatabasePath() + FileNameFor(FName, JournalFileExt);
    if (!FInMemory && DiskFileExists(journal)) OSDeleteFile(journal);
    // The file objects carry the new names now; the table's own stay for its next open.
    AssignFileNames();
}

void TDataTable::EmptyFiles() {
    if (IsRemote()) return;
    if (FDataFile.IsOpen) FDataFile.InitHeader();
    if (FIndexFile.IsOpen) FIndexFile.InitFile();
    if (BlobFileInUse()) FBlobFile.InitFile();
    // The cuts just made may be held back by the journal: only the caches go.
    if (FDataFile.IsOpen) {
        FDataFile.FreeRecordCache();
        FDataFile.TrimRecordCache();
    }
    if (FIndexFile.IsOpen) {
        FIndexFile.FreePageCache(false);
        FIndexFile.TrimPageCache();
    }
    if (BlobFileInUse()) {
        FBlobFile.FreeBlockCache();
        FBlobFile.TrimBlockCache();
    }
}

void TDataTable::BackupIndexFile() {
    if (IsRemote()) return;
    FlushBuffers(false, false, false, false, false);
    FIndexFile.CopyToNewFile(DatabasePath() + FileNameFor(FName, IndexBackupExt), false, {}, 0);
}

void TDataTable::RestoreIndexFile(bool keepCurrent, bool deleteBackup) {
    if (IsRemote()) return;
    const std::string backup = DatabasePath() + FileNameFor(FName, IndexBackupExt);
    if (!keepCurrent) {
        FIndexFile.CopyFromFile(backup, false, {}, 0);
        // The pages and header in memory belong to the replaced file.
        FIndexFile.FreePageCache(false);
        FIndexFile.ReadHeader();
    }
    if (deleteBackup && FileExistsInList(backup, FInMemory)) {
        const int32_t result = FileList->DeleteFile(backup, FInMemory);
        if (result < 0) RaiseEngineError(static_cast<uint32_t>(-result), {}, {}, {}, backup);
    }
}

void TDataTable::VerifyHeaders() {
    if (IsRemote()) return;
    FDataFile.VerifyHeader();
    if (!FIndexRecreated) FIndexFile.VerifyHeader();
    if (BlobFileInUse()) FBlobFile.VerifyHeader();
}

// ---- Change detection and buffers ---------------------------------------------

bool TDataTable::RefreshIfChanged() {
    if (IsRemote() || !FIsOpen) return false;
    auto blobTest = [&] {
        if (BlobFileInUse() && FBlobFile.HeaderChanged()) FBlobFile.FreeBlockCache();
    };
    if (FIndexFile.IsOpen && FIndexFile.HeaderChanged()) {
        FIndexFile.FreePageCache(false);
        FDataFile.ReadHeader();
        FDataFile.FreeRecordCache();
        blobTest();
        return true;
    }
    if (FDataFile.IsOpen && FDataFile.HeaderChanged()) {
        FDataFile.FreeRecordCache();
        blobTest();
        return true;
    }
    if (BlobFileInUse() && FBlobFile.HeaderChanged()) {
        FBlobFile.FreeBlockCache();
        return true;
    }
    return false;
}

void TDataTable::FlushBuffers(bool trim, bool dataHeader, bool forceFlush, bool blobHeader, bool indexHeader) {
    if (FReadOnly || !FIsOpen || IsRemote()) return;
    if (FInTransaction) {
        // Nothing reaches the disk before the commit; the headers are written then.
        if (FDataFile.IsOpen && dataHeader) FDataFile.MarkModified();
        if (FIndexFile.IsOpen && indexHeader) FIndexFile.MarkModified();
        if (BlobFileInUse() && blobHeader) FBlobFile.MarkModified();
        return;
    }
    const bool hard = forceFlush || GetForceBufferFlush();
    JournalBegin();
    try {
        // A commit writes first what the transaction's caches gave up, then what
        // they changed since (for a file holding changes, HandCachesToHeldChanges
        // has moved those there already).
        if (FDataFile.IsOpen) {
            bool wrote = WriteHeldChanges(FDataFile);
            wrote = FDataFile.FlushRecords() || wrote;
            wrote = FDataFile.WriteHeader(dataHeader) || wrote;
            wrote = FDataFile.WriteFieldDescs() || wrote;
            if (wrote && hard) FDataFile.FlushFile();
        }
        if (FIndexFile.IsOpen) {
            bool wrote = WriteHeldChanges(FIndexFile);
            wrote = FIndexFile.FlushPages(false) || wrote;
            wrote = FIndexFile.WriteHeader(indexHeader) || wrote;
            if (wrote && hard) FIndexFile.FlushFile();
        }
        if (BlobFileInUse()) {
            bool wrote = WriteHeldChanges(FBlobFile);
            wrote = FBlobFile.FlushBlocks() || wrote;
            wrote = FBlobFile.WriteHeader(blobHeader) || wrote;
            if (wrote && hard) FBlobFile.FlushFile();
        }
        if (trim) {
            if (FDataFile.IsOpen) FDataFile.TrimRecordCache();
            if (FIndexFile.IsOpen) FIndexFile.TrimPageCache();
            if (BlobFileInUse()) FBlobFile.TrimBlockCache();
        }
    } catch (...) {
        AbandonJournal();
        throw;
    }
    JournalEnd();
}

void TDataTable::DiscardBuffers(bool trim, bool rereadHeaders) {
    if (!FIsOpen || IsRemote()) return;
    ++FCacheDiscards;
    // Writes held back for a flush belong to the caches being dropped, and so do
    // the transaction's changes they gave up.
    FJournal.Discard();
    ForgetHeldChanges(false);
    if (FDataFile.IsOpen) {
        FDataFile.FreeRecordCache();
        if (trim) FDataFile.TrimRecordCache();
        if (rereadHeaders) FDataFile.ReadHeader();
    }
    if (FIndexFile.IsOpen) {
        FIndexFile.FreePageCache(false);
        if (trim) FIndexFile.TrimPageCache();
        if (rereadHeaders) FIndexFile.ReadHeader();
    }
    if (BlobFileInUse()) {
        FBlobFile.FreeBlockCache();
        if (trim) FBlobFile.TrimBlockCache();
        if (rereadHeaders) FBlobFile.ReadHeader();
    }
}

// ---- Read and write locks --------------------------------------------------------

bool TDataTable::TakeSemaphore() {
    const int32_t attempts = std::max(SemaphoreAttempts, 1);
    for (int32_t attempt = 1; attempt <= attempts; ++attempt) {
        if (FDataFile.LockBytes(true, WRITE_SEMAPHORE_OFFSET, 1)) return true;
        if (attempt < attempts) SleepMs(SEMAPHORE_SLEEP_MS);
    }
    return false;
}

void TDataTable::TakeReaderLocks(uint16_t& slotIndex, uint16_t& slotBlob) {
    int32_t reader = 0;
    if (!FIndexFile.LockRead(reader)) RaiseError(KURA_LOCKTIMEOUT);
    slotIndex = static_cast<uint16_t>(reader);
    if (BlobFileInUse()) {
        int32_t blobReader = 0;
        if (!FBlobFile.LockRead(blobReader)) {
            // Holding half a read lock would keep writers out for good.
            FIndexFile.UnlockRead(slotIndex);
            slotIndex = 0;
            RaiseError(KURA_LOCKTIMEOUT);
        }
        slotBlob = static_cast<uint16_t>(blobReader);
    }
}

bool TDataTable::ReleaseReaderLocks(uint16_t& slotIndex, uint16_t& slotBlob) {
    bool ok = true;
    if (slotBlob != 0) {
        ok = FBlobFile.UnlockRead(slotBlob) && ok;
        slotBlob = 0;
    }
    if (slotIndex != 0) {
        ok = FIndexFile.UnlockRead(slotIndex) && ok;
        slotIndex = 0;
    }
    return ok;
}

bool TDataTable::CanTakeReadLock() const {
    // A held write, shared-read or transaction lock already keeps writers out; an
    // exclusive or read-only table has no other writer.
    if (FSharedReadLocked || FTransactionLocked || FWriteLocked || FExclusive || FReadOnlyByAttribute) return false;
    return FIsOpen && !IsRemote();
}

bool TDataTable::TakeReadLock() {
    // Writer locks left by a refused release would keep this reader out too.
    ReleaseWriteLocks();
    TakeReaderLocks(FReadSlotIndex, FReadSlotBlob);
    FReadLocked = true;
    try {
        RecoverJournal();
        return RefreshIfChanged();
    } catch (...) {
        FReadLocked = false;
        ReleaseReaderLocks(FReadSlotIndex, FReadSlotBlob);
        throw;
    }
}

bool TDataTable::BeginRead() {
    if (FReadLocked || !CanTakeReadLock()) {
        ++FReadDepth;
        return false;
    }
    // The caller's bracket counts only once the lock is taken: a failed begin is
    // not ended.
    const bool changed = TakeReadLock();
    ++FReadDepth;
    return changed;
}

void TDataTable::EnterReadBracket() { ++FReadDepth; }

bool TDataTable::ReadLockForCacheMiss() {
    if (FReadLocked || !CanTakeReadLock()) return false;
    const bool changed = TakeReadLock();
    // Outside every bracket nobody would end the lock: the check is all it is for.
    if (FReadDepth == 0) {
        FReadLocked = false;
        if (!ReleaseReaderLocks(FReadSlotIndex, FReadSlotBlob)) RaiseError(KURA_UNLOCKFAILED);
    }
    return changed;
}

void TDataTable::EndRead() {
    if (FReadDepth == 0) return;
    if (--FReadDepth > 0 || !FReadLocked) return;
    FReadLocked = false;
    if (!ReleaseReaderLocks(FReadSlotIndex, FReadSlotBlob)) RaiseError(KURA_UNLOCKFAILED);
}

bool TDataTable::BeginSharedRead() {
    if (FSharedReadLocked) {
        ++FSharedReadDepth;
        return false;
    }
    if (FReadLocked || FTransactionLocked || FWriteLocked || FExclusive || FReadOnlyByAttribute) return false;
    if (!FIsOpen || IsRemote()) return false;
    TakeReaderLocks(FSharedReadSlotIndex, FSharedReadSlotBlob);
    FSharedReadLocked = true;
    FSharedReadDepth = 1;
    try {
        RecoverJournal();
        return RefreshIfChanged();
    } catch (...) {
        FSharedReadLocked = false;
        FSharedReadDepth = 0;
        ReleaseReaderLocks(FSharedReadSlotIndex, FSharedReadSlotBlob);
        throw;
    }
}

void TDataTable::EndSharedRead() {
    if (!FSharedReadLocked) return;
    if (FSharedReadDepth > 1) {
        --FSharedReadDepth;
        return;
    }
    FSharedReadDepth = 0;
    FSharedReadLocked = false;
    if (!ReleaseReaderLocks(FSharedReadSlotIndex, FSharedReadSlotBlob)) RaiseError(KURA_UNLOCKFAILED);
}

bool TDataTable::BeginWrite() {
    if (FWriteLocked) {
        ++FWriteDepth;
        return false;
    }
    if (FExclusive || FReadOnlyByAttribute || !FIsOpen || IsRemote()) return false;
    // Inside a transaction nothing reaches the files before the commit, and the
    // commit takes the writer ranges for its flush (CommitBeginWrite); the
    // semaphore the transaction holds already keeps every other writer out. A
    // reader of another program therefore reads the files as the last commit left
    // them whether or not a bracket of the transaction holds the writer ranges:
    // holding them would only make it wait, once per written record.
    if (!FTransactionLocked) {
        // A semaphore whose release the system refused is still this table's.
        if (!FWriteHeldSemaphore && !TakeSemaphore()) RaiseError(KURA_LOCKTIMEOUT);
        FWriteHeldSemaphore = true;
        try {
            TakeWriterRanges();
        } catch (...) {
            if (FDataFile.UnlockSemaphore()) FWriteHeldSemaphore = false;
            throw;
        }
    }
    FWriteLocked = true;
    FWriteDepth = 1;
    bool changed = false;
    try {
        // A transaction looked when it took the semaphore; nobody wrote since.
        if (!FTransactionLocked) {
            RecoverJournal();
            changed = RefreshIfChanged();
        }
    } catch (...) {
        FWriteDepth = 1;
        try {
            EndWrite();
        } catch (...) {
        }
        throw;
    }
    JournalBegin();
    FWriteJournal = FJournal.Depth() > 0;
    return changed;
}

// A range already held (taken by this bracket, or left by a release the system
// refused) is kept as it is.
void TDataTable::TakeWriterRanges() {
    const bool tookIndex = !FWriteHeldIndex;
    if (tookIndex) {
        if (!FIndexFile.LockWrite()) RaiseError(KURA_LOCKTIMEOUT);
        FWriteHeldIndex = true;
    }
    if (BlobFileInUse() && !FWriteHeldBlob) {
        if (!FBlobFile.LockWrite()) {
            if (tookIndex && FIndexFile.UnlockWrite()) FWriteHeldIndex = false;
            RaiseError(KURA_LOCKTIMEOUT);
        }
        FWriteHeldBlob = true;
    }
}

// Each release is attempted. One the system refuses leaves its lock held and
// known so: the next write bracket or transaction takes it over, and the next
// read lock, bracket end or close tries the release again.
bool TDataTable::ReleaseWriteLocks() {
    bool ok = true;
    auto release = [&](bool& held, const auto& unlock) {
        if (!held) return;
        if (unlock()) {
            held = false;
        } else {
            ok = false;
            held = !TFileHandler::UnlockFoundNothing();
        }
    };
    release(FWriteHeldBlob, [&] { return FBlobFile.UnlockWrite(); });
    release(FWriteHeldIndex, [&] { return FIndexFile.UnlockWrite(); });
    release(FWriteHeldSemaphore, [&] { return FDataFile.UnlockSemaphore(); });
    return ok;
}

void TDataTable::EndWrite() {
    if (!FWriteLocked) return;
    if (FWriteDepth > 1) {
        --FWriteDepth;
        return;
    }
    FWriteDepth = 0;
    FWriteLocked = false;
    // The bracket's writes reach the files while its locks still keep everyone out.
    std::exception_ptr written;
    if (FWriteJournal) {
        FWriteJournal = false;
        try {
            JournalEnd();
        } catch (...) {
            written = std::current_exception();
        }
    }
    const bool ok = ReleaseWriteLocks();
    if (written) std::rethrow_exception(written);
    if (!ok) RaiseError(KURA_LOCKTIMEOUT);
}

void TDataTable::BeginExclusiveWrite() {
    if (FExclusive && FIsOpen && !IsRemote()) ++FExclusiveWriteDepth;
}

void TDataTable::EndExclusiveWrite() {
    if (FExclusiveWriteDepth == 0 || --FExclusiveWriteDepth > 0 || !FRecycleFlushPending) return;
    FRecycleFlushPending = false;
    FlushBuffers(false, false, false, false, false);
}

TRecycleFlush TDataTable::FlushForRecycle() {
    // Only an exclusive table keeps modified items between operations; a shared
    // one flushes at each bracket's end, which its journal already keeps whole.
    if (!FExclusive || FReadOnly || IsRemote() || (!FJournal.InUse() && !HoldWritesInBrackets))
        return TRecycleFlush::Own;
    if (FExclusiveWriteDepth > 0 || FFlushingForRecycle) {
        FRecycleFlushPending = true;
        return TRecycleFlush::Defer;
    }
    FFlushingForRecycle = true;
    try {
        FlushBuffers(false, false, false, false, false);
    } catch (...) {
        FFlushingForRecycle = false;
        throw;
    }
    FFlushingForRecycle = false;
    return TRecycleFlush::Table;
}

// ---- Record locks ------------------------------------------------------------------

namespace {
constexpr int64_t BITMAP_GROWTH = 4096;
}  // namespace

void TDataTable::ResizeBitmaps(uint32_t recordNo) {
    // Asked at every lock and unlock: a record the maps already cover needs no
    // growth (they grow together, and only the bits of records asked for are set).
    if (recordNo < static_cast<uint32_t>(FLockedAhead.RecordCount())) return;
    // Only ever grown: a smaller count would forget locks this table still holds.
    int64_t wanted = std::max<int64_t>(recordNo, static_cast<int64_t>(FDataFile.GetLastRecordNumber()) + 1);
    wanted = std::min<int64_t>(wanted, TRecordsBitmap::MAX_RECORD_COUNT);
    if (FLockedRecords.RecordCount() >= wanted && FCursorLockedRecords.RecordCount() >= wanted &&
        FDeferredUnlocks.RecordCount() >= wanted && FLockedAhead.RecordCount() >= wanted)
        return;
    // Appends ask for one record more each time: grown a stretch ahead instead.
    const int64_t grown = std::min<int64_t>((wanted / BITMAP_GROWTH + 1) * BITMAP_GROWTH, TRecordsBitmap::MAX_RECORD_COUNT);
    TRecordsBitmap* maps[] = {&FLockedRecords, &FCursorLockedRecords, &FDeferredUnlocks, &FLockedAhead};
    for (TRecordsBitmap* map : maps)
        if (map->RecordCount() < wanted) map->SetRecordCount(static_cast<int32_t>(grown));
}

uint32_t TDataTable::SuspendRead() {
    if (!FReadLocked) return 0;
    const uint32_t depth = FReadDepth;
    FReadDepth = 1;
    EndRead();
    return depth;
}

bool TDataTable::LockRecord(uint32_t recordNo) {
    if (FExclusive || FReadOnlyByAttribute) return false;
    if (recordNo == 0 || recordNo > RECORD_NUMBER_LIMIT) RaiseError(KURA_RECLOCKFAILED);
    ResizeBitmaps(recordNo);
    const int32_t bit = static_cast<int32_t>(recordNo);
    if (FLockedRecords.GetBit(bit) && (FTransactionLocked || FDeferredUnlocks.GetBit(bit))) {
        // Wanted again: an unlock asked for earlier in the transaction no longer
        // counts, or its end would free a record that is being edited. A lock
        // taken ahead is the record's own from now on. Outside a transaction, a
        // lock whose release the system refused is still held: taken over.
        FDeferredUnlocks.ClearBit(bit);
        FLockedAhead.ClearBit(bit);
        return false;
    }
    bool changed = false;
    if (TakeReservedSlot(recordNo)) {
        FLockedRecords.SetBit(bit);
        FDeferredUnlocks.ClearBit(bit);
        return false;
    }
    if (!IsRemote()) {
        const TDataSession* session = GetSession();
        const int32_t retryLimit = session ? session->GetLockRetryCount() : 15;
        const uint32_t waitTime = session ? session->GetLockWaitTime() : 100;
        // The bracket taken here is this call's own; an outer one keeps the lock.
        bool ownRead = false;
        // The bracket depth given up while waiting; 0 while none is given up.
        uint32_t suspended = 0;
        try {
            if (!GetStrictChangeDetection()) {
                changed = BeginRead();
                ownRead = true;
            }
            int32_t retries = 0;
            while (!FDataFile.LockRecord(recordNo)) {
                // Let the holder of the record write while this one waits.
                suspended = SuspendRead();
                if (++retries > retryLimit) RaiseError(KURA_RECLOCKFAILED);
                SleepMs(waitTime);
                if (suspended > 0) {
                    const bool again = BeginRead();
                    FReadDepth = suspended;
                    suspended = 0;
                    changed = changed || again;
                }
            }
        } catch (...) {
            // A refused lock must not leave this call's bracket open: a bracket
            // never ended keeps the next reader lock for good, and with it every
            // writer of every program out. The callers' brackets stay counted; a
            // lock given up while waiting comes back with their next cache miss.
            if (suspended > 0) FReadDepth = suspended;
            if (ownRead) EndRead();
            throw;
        }
        if (ownRead) EndRead();
    }
    FLockedRecords.SetBit(bit);
    FDeferredUnlocks.ClearBit(bit);
    return changed;
}

// A transaction appends into slots past the end of the file, one after the other,
// and must hold each one's lock until it ends. Those slots exist for nobody else
// before the commit: the semaphore the transaction holds keeps every other writer
// from making them, so no other program can know their numbers, let alone ask
// for their locks. Their locks are therefore taken ahead, a run at a time with one
// call (the kernel walks its whole list of a file's locks at every call), and the
// ones not used are given back before the semaphore.
bool TDataTable::TakeReservedSlot(uint32_t recordNo) {
    if (!FTransactionSemaphore || IsRemote() || recordNo < FDataFile.GetNextRecordNumber()) return false;
    if (recordNo < FReservedFirst || recordNo >= FReservedEnd) {
        ReleaseReservedSlots();
        const uint32_t count = std::min<uint32_t>(FReserveRun, RECORD_NUMBER_LIMIT - recordNo + 1);
        if (!FDataFile.LockRecordRun(recordNo, count)) return false;
        FReservedFirst = recordNo;
        FReservedEnd = recordNo + count;
        FReserveRun = std::min<uint32_t>(FReserveRun * 2, RESERVED_SLOTS_MAX);
    }
    // Slots passed over (never, while appends take the numbers in order) are
    // given back at once.
    ReleaseReservedSlots(recordNo);
    FReservedFirst = recordNo + 1;
    return true;
}

void TDataTable::ReleaseReservedSlots(uint32_t below) {
    const uint32_t end = std::min(below, FReservedEnd);
    if (FReservedFirst >= end) {
        if (below == UINT32_MAX) FReservedFirst = FReservedEnd = 0;
        return;
    }
    std::vector<uint32_t> slots;
    slots.reserve(end - FReservedFirst);
    for (uint32_t r = FReservedFirst; r < end; ++r) slots.push_back(r);
    FReservedFirst = end;
    if (below == UINT32_MAX) FReservedFirst = FReservedEnd = 0;
    std::vector<uint32_t> failed;
    FDataFile.UnlockRecords(slots, failed);
    if (!failed.empty()) RaiseError(KURA_UNLOCKFAILED);
}

// A statement that is about to write many records of a transaction takes their
// locks ahead: a run of consecutive numbers with one call. Each record would be
// locked a moment later by its own write and then kept to the transaction's end;
// a run refused (another program holds one of them) is left to those writes and
// their waiting. A lock taken ahead that no write claimed is given back when the
// transaction commits or ends, so it is never held longer than its record's own.
//
// Records scattered over the file make a run each: when their locks would bring
// the file to its lock escalation anyway, the range is taken before the first of
// them (see TDataFile::EscalateAhead), and each lock is then bookkeeping only.
void TDataTable::LockRecordsAhead(std::vector<uint32_t> numbers) {
    if (!FTransactionSemaphore || IsRemote() || FExclusive || FReadOnlyByAttribute || numbers.empty()) return;
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    const uint32_t last = FDataFile.GetLastRecordNumber();
    ResizeBitmaps(std::min(numbers.back(), last));
    auto held = [&](uint32_t r) { return FLockedRecords.GetBit(static_cast<int32_t>(r)); };
    std::erase_if(numbers, [&](uint32_t r) { return r == 0 || r > last || held(r); });
    // The runs of consecutive numbers; one next to a record already held joins it.
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    std::size_t separate = 0;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t j = i + 1;
        while (j < numbers.size() && numbers[j] == numbers[j - 1] + 1) ++j;
        runs.emplace_back(i, j);
        if (!held(numbers[i] - 1) && !(numbers[j - 1] < last && held(numbers[j - 1] + 1))) ++separate;
        i = j;
    }
    const bool escalated = FDataFile.EscalateAhead(separate);
    for (const auto& [i, j] : runs) {
        const uint32_t first = numbers[i];
        const auto count = static_cast<uint32_t>(j - i);
        // A single record gains nothing from a lock of its own: its write takes it.
        if ((count >= 2 || escalated) && FDataFile.LockRecordRun(first, count)) {
            for (uint32_t r = first; r < first + count; ++r) {
                FLockedRecords.SetBit(static_cast<int32_t>(r));
                FLockedAhead.SetBit(static_cast<int32_t>(r));
            }
        }
    }
}

void TDataTable::ReleaseLocksAhead() {
    std::vector<uint32_t> records;
    int32_t recordNo = 0;
    int32_t position = 0;
    while (FLockedAhead.FindNext(recordNo, 1, position)) records.push_back(static_cast<uint32_t>(recordNo));
    if (records.empty()) return;
    std::vector<uint32_t> failed;
    FDataFile.UnlockRecords(records, failed);
    SettleReleases(records);
    if (!failed.empty()) RaiseError(KURA_UNLOCKFAILED);
}

void TDataTable::SettleReleases(const std::vector<uint32_t>& records) {
    const bool local = !IsRemote();
    for (uint32_t r : records) {
        const auto bit = static_cast<int32_t>(r);
        FLockedAhead.ClearBit(bit);
        if (local && FDataFile.IsRecordLockHeld(r)) {
            FDeferredUnlocks.SetBit(bit);
        } else {
            FLockedRecords.ClearBit(bit);
            FDeferredUnlocks.ClearBit(bit);
        }
    }
}

void TDataTable::UnlockRecord(uint32_t recordNo) {
    if (FExclusive || FReadOnlyByAttribute) return;
    if (recordNo == 0 || recordNo > RECORD_NUMBER_LIMIT) RaiseError(KURA_UNLOCKFAILED);
    ResizeBitmaps(recordNo);
    const int32_t bit = static_cast<int32_t>(recordNo);
    if (FTransactionLocked) {
        FDeferredUnlocks.SetBit(bit);
        return;
    }
    if (!FLockedRecords.GetBit(bit)) RaiseError(KURA_UNLOCKFAILED);
    if (!IsRemote() && !FDataFile.UnlockRecord(recordNo)) {
        SettleReleases({recordNo});
        RaiseError(KURA_UNLOCKFAILED);
    }
    FLockedRecords.ClearBit(bit);
    FDeferredUnlocks.ClearBit(bit);
}

void TDataTable::UnlockLockedRecords(bool onlyDeferred) {
    std::vector<uint32_t> records;
    FLockedRecords.AppendSetRecords(records);
    if (onlyDeferred)
        std::erase_if(records, [&](uint32_t r) { return !FDeferredUnlocks.GetBit(static_cast<int32_t>(r)); });
    if (records.empty()) return;
    if (FExclusive || FReadOnlyByAttribute || FTransactionLocked) {
        // Nothing to release now, or unlocks to defer: one record at a time.
        TFirstError first;
        for (uint32_t r : records) first.Attempt([&] { UnlockRecord(r); });
        first.Rethrow();
        return;
    }
    ResizeBitmaps(records.back());
    // Every record is attempted; a failure is raised afterwards.
    std::vector<uint32_t> failed;
    if (!IsRemote()) FDataFile.UnlockRecords(records, failed);
    SettleReleases(records);
    if (!failed.empty()) RaiseError(KURA_UNLOCKFAILED);
}

void TDataTable::MarkRecordLocked(uint32_t recordNo) {
    ResizeBitmaps(recordNo);
    FCursorLockedRecords.SetBit(static_cast<int32_t>(recordNo));
}

void TDataTable::UnmarkRecordLocked(uint32_t recordNo) {
    ResizeBitmaps(recordNo);
    FCursorLockedRecords.ClearBit(static_cast<int32_t>(recordNo));
}

bool TDataTable::IsRecordMarkedLocked(uint32_t recordNo) {
    ResizeBitmaps(recordNo);
    return FCursorLockedRecords.GetBit(static_cast<int32_t>(recordNo));
}

bool TDataTable::IsRecordLocked(uint32_t recordNo) {
    ResizeBitmaps(recordNo);
    return FLockedRecords.GetBit(static_cast<int32_t>(recordNo));
}

// ---- Transactions ---------------------------------------------------------------

void TDataTable::StartTransaction() {
    if (FReadOnly || FInTransaction) return;
    const bool local = !IsRemote();
    if (local && FIsOpen) {
        JournalBegin();
        try {
            if (FExclusive) FlushBuffers(false, false, false, false, false);
            if (FIndexFile.IsOpen) FIndexFile.FlushPages(true);
        } catch (...) {
            AbandonJournal();
            throw;
        }
        JournalEnd();
    }
    FInTransaction = true;
    FTransactionLocked = false;
    if (local && !FExclusive && !FReadOnlyByAttribute) {
        if (FWriteHeldSemaphore) {
            // A write bracket already holds the semaphore: the transaction keeps it.
            FWriteHeldSemaphore = false;
        } else if (!TakeSemaphore()) {
            FInTransaction = false;
            RaiseError(KURA_LOCKTIMEOUT);
        }
        FTransactionSemaphore = true;
        // No other program can write the table now: past a threshold the
        // transaction's record locks may become one lock (see TDataFile).
        FDataFile.AllowLockEscalation();
    }
    FTransactionLocked = true;
    if (local && !FExclusive) {
        try {
            RecoverJournal();
            RefreshIfChanged();
        } catch (...) {
            FInTransaction = false;
            try {
                EndTransactionLock();
            } catch (...) {
            }
            throw;
        }
    }
    if (local && FIsOpen) HoldChanges(true);
}

// An escalated record-lock range goes back while the semaphore is still held,
// and every lock that the end of the transaction (or an intermediate commit)
// releases goes with it in the same pass: reserved slots, locks taken ahead and
// the deferred unlocks. The locks the table keeps are each held on their own
// again, as they would be without escalation.
void TDataTable::ReleaseWithEscalation() {
    if (!FDataFile.RecordLocksEscalated()) return;
    std::vector<uint32_t> held;
    FLockedRecords.AppendSetRecords(held);
    std::erase_if(held, [&](uint32_t r) {
        const auto bit = static_cast<int32_t>(r);
        return !FDeferredUnlocks.GetBit(bit) && !FLockedAhead.GetBit(bit);
    });
    // The unused reserved slots lie past every record the table holds.
    std::vector<uint32_t> records = held;
    for (uint32_t r = FReservedFirst; r < FReservedEnd; ++r) records.push_back(r);
    FReservedFirst = FReservedEnd = 0;
    if (!std::is_sorted(records.begin(), records.end())) std::sort(records.begin(), records.end());
    // What could not go now stays marked; the steps after this one try again and
    // report what stays held.
    std::vector<uint32_t> failed;
    FDataFile.UnlockRecords(records, failed);
    SettleReleases(held);
}

void TDataTable::EndTransactionLock() {
    TFirstError first;
    first.Attempt([&] { ReleaseWithEscalation(); });
    first.Attempt([&] { ReleaseReservedSlots(); });
    first.Attempt([&] { ReleaseLocksAhead(); });
    FReserveRun = RESERVED_SLOTS_MIN;
    first.Attempt([&] {
        if (!FDataFile.EndLockEscalation()) RaiseError(KURA_UNLOCKFAILED);
    });
    if (FTransactionSemaphore) {
        FTransactionSemaphore = false;
        if (!FDataFile.UnlockSemaphore()) {
            // Still held: kept as a write bracket's would be (ReleaseWriteLocks).
            FWriteHeldSemaphore = !TFileHandler::UnlockFoundNothing();
            first.Attempt([&] { RaiseError(KURA_LOCKTIMEOUT); });
        }
    }
    FTransactionLocked = false;
    if (!FExclusive) first.Attempt([&] { UnlockLockedRecords(true); });
    first.Rethrow();
}

void TDataTable::Rollback() {
    if (FReadOnly || !FInTransaction) return;
    FInTransaction = false;
    FLostCommit = 0;
    TFirstError first;
    if (!IsRemote()) {
        if (!FHeld[0].Empty() || !FHeld[1].Empty() || !FHeld[2].Empty()) FReleaseAtEnd = true;
        first.Attempt([&] { DiscardBuffers(true, true); });
        if (FIndexFile.IsOpen) first.Attempt([&] { FIndexFile.FreePageCache(true); });
        ForgetHeldChanges(true);
    }
    first.Attempt([&] { EndTransactionLock(); });
    first.Rethrow();
}

void TDataTable::CommitBeginWrite() {
    if (FReadOnly || !FInTransaction || IsRemote()) return;
    BeginWrite();
    // The commit's flush is the transaction's one write to the files: it keeps
    // the readers out, also when it runs inside a bracket that took nothing.
    if (FWriteLocked) {
        try {
            TakeWriterRanges();
        } catch (...) {
            EndWrite();
            throw;
        }
    }
}

void TDataTable::CommitAbandon() {
    if (FReadOnly || !FInTransaction || IsRemote()) return;
    EndWrite();
}

void TDataTable::CommitFlush(bool endTransaction, bool forceFlush, TJournalCommit& commit) {
    if (FReadOnly || !FInTransaction || IsRemote()) return;
    if (FLostCommit != 0) RaiseError(FLostCommit);
    const uint32_t abandoned = FCacheDiscards;
    FInTransaction = false;
    try {
        HandCachesToHeldChanges();
        HoldChanges(false);
        JournalBegin();
        try {
            FlushBuffers(endTransaction, false, forceFlush, false, false);
            if (FIndexFile.IsOpen) FIndexFile.FlushPages(true);
        } catch (...) {
            AbandonJournal();
            throw;
        }
        // The commit reaches the files with the other tables' (inside or outside the
        // write bracket), so that its failure is the commit's.
        FJournal.End();
        if (FJournal.HasPending()) {
            // What the journal saves of a commit counts in the transaction's memory.
            FJournal.StageWithin(&FHeldBudget);
            commit.Add(FJournal, JournalTargets(), GetForceBufferFlush());
        } else {
            FJournal.Discard();
        }
    } catch (const EKuraEngineError& e) {
        FInTransaction = true;
        HoldChanges(true);
        if (FCacheDiscards != abandoned) FLostCommit = e.ErrorCode();
        throw;
    } catch (...) {
        FInTransaction = true;
        HoldChanges(true);
        if (FCacheDiscards != abandoned) FLostCommit = KURA_WRITEERR;
        throw;
    }
    FInTransaction = true;
    // The journal takes what the held changes append from them when the commit is
    // written (TFileHandler::WriteHeld): they are forgotten at its end.
    HoldChanges(!endTransaction);
}

void TDataTable::CommitLost(TEngineErrorCode code) noexcept {
    FJournal.Discard();
    DropUnwrittenFlush();
    FLostCommit = code;
}

void TDataTable::CommitEnd(bool endTransaction) {
    if (FReadOnly || !FInTransaction) return;
    TFirstError first;
    if (endTransaction) {
        if (!IsRemote()) first.Attempt([&] { EndWrite(); });
        first.Attempt([&] { EndTransactionLock(); });
        FInTransaction = false;
        ForgetHeldChanges(true);
    } else {
        // In the files now; the transaction holds its next changes afresh.
        ForgetHeldChanges(false);
        // The deferred unlocks are carried out now; the semaphore stays held.
        first.Attempt([&] { ReleaseWithEscalation(); });
        first.Attempt([&] { ReleaseLocksAhead(); });
        FInTransaction = false;
        FTransactionLocked = false;
        first.Attempt([&] { UnlockLockedRecords(true); });
        FInTransaction = true;
        FTransactionLocked = true;
        if (!IsRemote()) first.Attempt([&] { EndWrite(); });
    }
    first.Rethrow();
}

// ---- Held changes ---------------------------------------------------------------------

void TDataTable::HoldChanges(bool holding) {
    if (IsRemote()) return;
    if (holding) {
        const TDataSession* s = GetSession();
        FHeldBudget.Limit = s ? s->TransactionMemory : DEFAULT_TRANSACTION_MEMORY;
        FHeldBudget.Directory = GetPrivateDirectory();
        FHeldBudget.CacheBytes = [this] { return CachedBytes(); };
    }
    const std::array<TFileHandler*, 3> files = {&FDataFile, &FIndexFile, &FBlobFile};
    for (std::size_t i = 0; i < files.size(); ++i) {
        THeldChanges& held = FHeld[i];
        held.SetBudget(&FHeldBudget);
        if (holding && files[i]->IsOpen) files[i]->Held = &held;
        held.Holding = holding && files[i]->Held == &held;
    }
}

void TDataTable::HandCachesToHeldChanges() {
    // The commit then writes each file in one pass in file order. Written after
    // the held changes, the caches' items would fall between what those wrote, and
    // the journal's capture would join the pieces around each of them anew.
    if (FDataFile.IsOpen && !FHeld[0].Empty()) FDataFile.FlushRecords();
    if (FIndexFile.IsOpen && !FHeld[1].Empty()) FIndexFile.FlushPages(false);
    if (FBlobFile.IsOpen && !FHeld[2].Empty()) FBlobFile.FlushBlocks();
}

int64_t TDataTable::CachedBytes() const {
    int64_t bytes = 0;
    if (FDataFile.IsOpen) bytes += int64_t{FDataFile.GetCachedRecordCount()} * FDataFile.GetRecordSize();
    if (FIndexFile.IsOpen)
        for (uint8_t slot = 0; slot < INDEX_SLOT_COUNT; ++slot)
            if (!FIndexFile.IsTemporarySlot(slot)) bytes += int64_t{FIndexFile.CachedPageCount(slot)} * INDEX_PAGE_SIZE;
    if (FBlobFile.IsOpen) bytes += int64_t{FBlobFile.GetCachedBlockCount()} * FBlobFile.GetBlockSize();
    return bytes;
}

bool TDataTable::WriteHeldChanges(TFileHandler& file) {
    const int64_t bytes = file.WriteHeld();
    if (bytes == 0) return false;
    SetFilesWritten();
    if (bytes >= HELD_SPAN_LIMIT) FReleaseAtEnd = true;
    return true;
}

void TDataTable::ForgetHeldChanges(bool release) {
    const std::array<TFileHandler*, 3> files = {&FDataFile, &FIndexFile, &FBlobFile};
    for (std::size_t i = 0; i < files.size(); ++i) {
        FHeld[i].Clear();
        if (!release) continue;
        FHeld[i].Holding = false;
        if (files[i]->Held == &FHeld[i]) files[i]->Held = nullptr;
    }
    // A transaction past its budget took memory in proportion to its changes (its
    // caches, the commit); without this the heap would keep it for the rest of the
    // program. A smaller one leaves it to the next: given back, it would cost that
    // one a page fault for every page it takes again.
    if (release && FReleaseAtEnd) {
        FReleaseAtEnd = false;
        platform::ReleaseFreeMemory();
    }
}

// ---- Journal ------------------------------------------------------------------------

void TDataTable::OpenJournal(bool fresh) {
    FJournal.Close();
    FWriteJournal = false;
    if (IsRemote() || FInMemory || FTemporary) return;
    const std::string path = DatabasePath();
    const TJournalFileNames files = {FDataFile.FileName, FIndexFile.FileName, FBlobFile.FileName};
    // A journal that cannot be written still keeps the table from being read half
    // written, and refuses its flushes.
    const bool writable = FJournal.Open(path + FileNameFor(FName, JournalFileExt), files);
    if (!fresh)
        FJournal.Hold();
    else if (writable)
        FJournal.Reset();
}

void TDataTable::JournalBegin() { FJournal.Begin({&FDataFile, &FIndexFile, &FBlobFile}); }

void TDataTable::JournalEnd() {
    if (FJournal.End()) ApplyJournal();
}

TJournalTargets TDataTable::JournalTargets() const {
    // The counters the flush leaves in the headers, in the form they are stored.
    auto mask = [](bool scrambled) {
        uint8_t bytes[4] = {};
        if (scrambled) ScrambleBuffer(bytes, 4, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
        return dfbytes::GetU32(bytes);
    };
    TJournalTargets targets;
    targets[0].NewCounter = FDataFile.GetChangeCount();
    targets[1].NewCounter = FIndexFile.GetChangeCount();
    targets[1].CounterMask = mask(IsEncrypted());
    if (BlobFileInUse()) {
        targets[2].NewCounter = FBlobFile.GetChangeCount();
        targets[2].CounterMask = mask(IsEncrypted());
    }
    return targets;
}

void TDataTable::ApplyJournal() {
    if (!FJournal.HasPending()) {
        FJournal.Discard();
        return;
    }
    try {
        FJournal.Apply(JournalTargets(), GetForceBufferFlush());
    } catch (...) {
        DropUnwrittenFlush();
        throw;
    }
}

void TDataTable::DropUnwrittenFlush() noexcept {
    // Nothing reached the files: the caches must not claim otherwise. (When the
    // files could not even be put back, the journal left for that is tried once
    // more before anything is read again.)
    try {
        FJournal.Recover();
    } catch (...) {
    }
    try {
        DiscardBuffers(false, true);
    } catch (...) {
    }
}

void TDataTable::AbandonJournal() noexcept {
    FJournal.End();
    if (!FJournal.HasPending()) return;
    try {
        DiscardBuffers(false, true);
    } catch (...) {
        FJournal.Discard();
    }
}

void TDataTable::RecoverJournal() { FJournal.Recover(); }

// ---- Forwarders ------------------------------------------------------------------

uint32_t TDataTable::GetRecordCount() const { return FIndexFile.GetRecordCount(); }
void TDataTable::SetRecordCount(uint32_t count) { FIndexFile.SetRecordCount(count); }
void TDataTable::IncRecordCount() { FIndexFile.IncRecordCount(); }
void TDataTable::DecRecordCount() { FIndexFile.DecRecordCount(); }
uint8_t TDataTable::GetIndexCount() const { return FIndexFile.GetIndexCount(); }

void TDataTable::SetIndexCount(uint8_t count) {
    FIndexFile.SetIndexCount(std::min<uint8_t>(count, MAX_SECONDARY_INDEXES));
}

bool TDataTable::GetNoPrimaryIndex() const { return FIndexFile.GetNoPrimaryIndex(); }
void TDataTable::SetNoPrimaryIndex(bool flag) { FIndexFile.SetNoPrimaryIndex(flag); }
uint16_t TDataTable::GetFieldCount() const { return FDataFile.GetFieldCount(); }
uint16_t TDataTable::GetBlobFieldCount() const { return FDataFile.GetBlobFieldCount(); }
uint16_t TDataTable::GetRecordSize() const { return FDataFile.GetRecordSize(); }
uint16_t TDataTable::GetBlobBlockSize() const { return HasBlobFields() ? FBlobFile.GetBlockSize() : 0; }
uint16_t TDataTable::GetLocaleId() const { return FDataFile.GetLocaleID(); }
uint16_t TDataTable::GetUserMajorVersion() const { return FDataFile.GetUserMajorVersion(); }
uint16_t TDataTable::GetUserMinorVersion() const { return FDataFile.GetUserMinorVersion(); }
bool TDataTable::GetFieldDesc(int32_t fieldNo, TFieldDesc& desc) const { return FDataFile.GetFieldDesc(fieldNo, desc); }

bool TDataTable::FindFieldDescByNumber(uint16_t fieldNo, TFieldDesc& desc) const {
    return FDataFile.FindFieldDescByNumber(fieldNo, desc);
}

bool TDataTable::FindFieldDescByName(std::string_view name, TFieldDesc& desc) const {
    return FDataFile.FindFieldDescByName(name, desc);
}

int32_t TDataTable::FindFieldNo(std::string_view name) const { return FDataFile.FindFieldNo(name); }
std::string TDataTable::GetDescription() const { return FDataFile.GetDescription(); }
std::string TDataTable::GetPassword() const { return FDataFile.GetPassword(); }
void TDataTable::CopyDataHeader(uint8_t* buffer) const { FDataFile.CopyHeader(buffer); }
uint32_t TDataTable::GetDataChangeCount() const { return FDataFile.GetChangeCount(); }
uint32_t TDataTable::GetIndexChangeCount() const { return FIndexFile.GetChangeCount(); }
uint32_t TDataTable::GetLastRecordNumber() const { return FDataFile.GetLastRecordNumber(); }
uint32_t TDataTable::GetLastBlobBlockNumber() const { return BlobFileInUse() ? FBlobFile.GetLastBlockNumber() : 0; }
uint32_t TDataTable::GetLastAutoInc() const { return FDataFile.GetLastAutoInc(); }
void TDataTable::SetLastAutoInc(uint32_t value) { FDataFile.SetLastAutoInc(value); }
uint32_t TDataTable::GetNextBlobId() { return FDataFile.GetNextBlobID(); }
uint32_t TDataTable::GetNextFreeRecord() const { return FDataFile.GetNextFreeRecord(); }

bool TDataTable::FreeBlobChain(TBlobCursor* cursor, uint32_t& firstBlock, bool repair, uint32_t recordNo,
                               uint32_t blobId) {
    if (!BlobFileInUse()) return true;
    return FBlobFile.FreeBlobChain(cursor, firstBlock, repair, recordNo, blobId);
}

bool TDataTable::FreeBlockChain(TBlobCursor* cursor, TBlock* block, bool repair, uint32_t recordNo, uint32_t blobId,
                                int32_t count) {
    if (!BlobFileInUse()) return true;
    return FBlobFile.FreeBlockChain(cursor, block, repair, recordNo, blobId, count);
}

}  // namespace kura
