// Reading records into a caller's buffer and writing buffers back: append, modify,
// delete and cancel, with the record locks of both lock protocols, the key checks,
// the index, "Sys Deleted" and "Sys Text" keys, the BLOB chains and the flush that
// ends every write.
//
// Every write keeps one order: keys are checked before anything changes, then keys,
// the slot and the counters change in the caches, then the table flushes. When a
// step after the first change fails outside a transaction, the caches are dropped
// and the headers re-read while the write lock is still held, so nothing half-made
// reaches the disk with a later flush (inside a transaction the rollback does it).
#include "engine/core/DataCursor.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <vector>

#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/files/Routines.h"

namespace kura {

// A copy of a record image kept for the length of one write: on the stack for the
// record sizes tables usually have, so that a write of many rows allocates
// nothing for it.
class TRecordImage {
public:
    TRecordImage(const uint8_t* data, std::size_t size) : FSize(size) {
        if (size > sizeof(FInline)) FHeap.assign(data, data + size);
        else std::memcpy(FInline, data, size);
    }
    TRecordImage(const TRecordImage&) = delete;
    TRecordImage& operator=(const TRecordImage&) = delete;
    const uint8_t* data() const { return FSize > sizeof(FInline) ? FHeap.data() : FInline; }
    std::size_t size() const { return FSize; }

private:
    uint8_t FInline[1024];
    std::vector<uint8_t> FHeap;
    std::size_t FSize;
};

namespace {

// Marks a step for the time of the call, however it ends.
class TSteppingScope {
public:
    explicit TSteppingScope(bool& flag) : FFlag(flag), FBefore(flag) { FFlag = true; }
    ~TSteppingScope() { FFlag = FBefore; }
    TSteppingScope(const TSteppingScope&) = delete;
    TSteppingScope& operator=(const TSteppingScope&) = delete;

private:
    bool& FFlag;
    bool FBefore;
};

}  // namespace

namespace {

// Room for any key the cursor builds: the longest index key is 522 bytes plus the
// 4-byte row identifier of a non-unique index. Left unfilled: every key build
// clears the key size it writes and nothing reads past it (zeroing the whole room
// cost more than the rest of an append's setup).
constexpr std::size_t KEY_ROOM = 1024;
using TKeyRoom = std::array<uint8_t, KEY_ROOM>;

// Mode in which record writes open the BLOBs they copy (read/write).
constexpr uint8_t BLOB_MODE_READ_WRITE = 2;

// Runs body, then final on every path. When both fail, the body's error is the one
// passed on: it says what went wrong first.
template <class Body, class Final>
void TryFinally(Body&& body, Final&& final) {
    try {
        body();
    } catch (...) {
        try {
            final();
        } catch (...) {
        }
        throw;
    }
    final();
}

}  // namespace

// ---- Helpers of the writes ------------------------------------------------------

uint8_t TDataCursor::GetLockProtocolOfSession() const {
    const TDataSession* session = GetSession();
    return session ? session->GetLockProtocol() : static_cast<uint8_t>(lpPessimistic);
}

bool TDataCursor::TakesKeyChecks() const { return !FQueryResult || FQuerySource; }

void TDataCursor::BuildLiveRowIdKey(const uint8_t* recordBuffer, uint8_t* key) {
    BuildRowIdKey(recordBuffer, key);
    // A live record is filed under flag 0 whatever the caller's header byte says;
    // a key under flag 1 would make the record look like a deleted slot.
    key[0] = 0;
}

void TDataCursor::BuildDeletedRowIdKey(uint8_t* recordBuffer, uint8_t* key) {
    const uint8_t flag = recordBuffer[RH_DELETED];
    recordBuffer[RH_DELETED] = 1;
    try {
        BuildRowIdKey(recordBuffer, key);
    } catch (...) {
        recordBuffer[RH_DELETED] = flag;
        throw;
    }
    recordBuffer[RH_DELETED] = flag;
}

bool TDataCursor::KeyFieldsEqual(uint8_t slot, const uint8_t* a, const uint8_t* b) const {
    if (!FTable || slot >= SYS_DELETED_SLOT || GetBufferAutoInc(a) != GetBufferAutoInc(b)) return false;
    const TIndexFile& index = FTable->GetIndexFile();
    const TDataFile& data = FTable->GetDataFile();
    for (int i = 0; i < index.KeyFieldCount(slot) && i < MAX_INDEX_FIELDS; ++i) {
        const TFieldDesc* field = data.FieldDescAt(index.KeyFieldAt(slot, i));
        // A descriptor the key build would refuse is left to it.
        if (!field) return false;
        const uint32_t span = field->IsAutoInc() ? 4u : 1u + field->StoredSize();
        if (field->Offset() + span > FRecordSize) return false;
        if (std::memcmp(a + field->Offset(), b + field->Offset(), span) != 0) return false;
    }
    return true;
}

void TDataCursor::DiscardFailedWrite() {
    if (!FTable || IsRemote()) return;
    // Inside a transaction the rollback drops the caches; an exclusive table may
    // hold earlier writes that only its next flush or close writes, so dropping its
    // caches would lose them.
    if (FTable->InTransaction() || FExclusive) return;
    try {
        FTable->DiscardBuffers(false, true);
    } catch (...) {
        // The write's own error is what the caller must see.
    }
}

void TDataCursor::CheckRecordAccess() const {
    if (IsRemote()) RaiseNoRemote();
    if (!FOpen || !FTable || !FRecord) RaiseError(KURA_NOTINITIALIZED);
}

void TDataCursor::ReleaseOperationLock(uint32_t recordNo, uint32_t previousLock) {
    WriteUnlockRecord(recordNo, false);
    // A lock the cursor held before the operation (an edit of another record) is
    // still held: its number must not be forgotten.
    if (previousLock != 0 && previousLock != recordNo) FLockedRecordNo = previousLock;
}

// ---- Reads ------------------------------------------------------------------------

TEngineErrorCode TDataCursor::GetCurrentRecord(uint8_t* buffer, bool lock) {
    if (IsRemote()) return GetRemoteCurrentRecord(buffer, lock);
    CheckRecordAccess();
    TEngineErrorCode result = 0;
    CheckForChanges();
    TryFinally(
        [&] {
            if (lock) {
                if (GetLockProtocolOfSession() == lpPessimistic) {
                    const uint32_t remembered = FRecord ? FRecord->GetRecordNumber() : 0;
                    // No record at all (record number 0): there is nothing to lock.
                    if (remembered != 0) {
                        LockRecord(0);
                        if (!FExclusive && buffer && !FRecord->EqualsBuffer(buffer)) {
                            WriteUnlockRecord(remembered, false);
                            RaiseError(KURA_KEYORRECDELETED);
                        }
                    }
                } else if (buffer && FRecord && !FRecord->EqualsBuffer(buffer)) {
                    RaiseError(KURA_KEYORRECDELETED);
                }
            }
            FEditImage.clear();
            if (FBOF || FEOF) {
                result = (FBOF && FEOF) ? KURA_NOCURRREC : (FBOF ? KURA_BOF : KURA_EOF);
                if (buffer) std::memset(buffer, 0, FRecordSize);
                return;
            }
            LoadCurrentRecord(1);
            if (buffer) std::memcpy(buffer, FRecord->GetBuffer(), FRecordSize);
            if (lock && GetLockProtocolOfSession() == lpOptimistic)
                FEditImage.assign(FRecord->GetBuffer(), FRecord->GetBuffer() + FRecordSize);
        },
        [&] { EndRead(); });
    return result;
}

template <class TRead>
TEngineErrorCode TDataCursor::StepForward(const TRead& read) {
    CheckRecordAccess();
    const TSteppingScope stepping(FStepping);
    TEngineErrorCode result = 0;
    CheckForChanges();
    TryFinally(
        [&] {
            if (FBOF)
                MoveToFirstKey();
            else
                MoveBy(1);
            if (FEOF)
                result = KURA_EOF;
            else
                read();
        },
        [&] { EndRead(); });
    return result;
}

TEngineErrorCode TDataCursor::GetNextRecord(uint8_t* buffer) {
    if (IsRemote()) return ReadRemoteBlockRecord(REQUEST_GETNEXTRECORD, buffer);
    const TEngineErrorCode result = StepForward([&] {
        LoadCurrentRecord(1);
        if (buffer) std::memcpy(buffer, FRecord->GetBuffer(), FRecordSize);
    });
    if (result == KURA_EOF && buffer) std::memset(buffer, 0, FRecordSize);
    return result;
}

TEngineErrorCode TDataCursor::GetNextRecordView(const uint8_t*& image, TRecord*& held) {
    image = nullptr;
    held = nullptr;
    if (!ReadsRecordsInPlace()) RaiseError(KURA_NOTINITIALIZED);
    return StepForward([&] {
        const uint32_t recordNo = GetCurrentRecordNumber();
        if (recordNo == 0) return;
        // What the cache holds may be newer than the disk: it goes first.
        held = FTable->GetDataFile().PinCachedRecord(recordNo);
        if (!held && IsNaturalOrder()) image = ScanSlot(recordNo);
        if (!image && !held) held = PinCurrentRecord(1);
        if (held) image = held->GetBuffer();
    });
}

const uint8_t* TDataCursor::ScanSlot(uint32_t recordNo) {
    TDataFile& data = FTable->GetDataFile();
    const int32_t r = GetRecordSize();
    // Every slot it serves passes the check a cache miss passes: another program's
    // change since the block was read is seen (once the bracket holds its lock,
    // the check costs nothing).
    if (!FTable->IsReadLocked() && CheckBeforeCacheMiss()) {
        FScanCount = 0;
        return nullptr;
    }
    if (FScanGeneration != data.GetScanGeneration() || recordNo < FScanFirst ||
        recordNo - FScanFirst >= static_cast<uint32_t>(FScanCount)) {
        FScanCount = 0;
        // The block reaches the last visible record within its size, unless too few
        // are visible there to be worth the bytes: then the cache reads them.
        const TRecordsBitmap* set = FRecordSets[RS_VISIBLE];
        if (!set) return nullptr;
        const int64_t most = std::min<int64_t>(std::max(1, SCAN_BLOCK_BYTES / std::max(r, 1)),
                                               int64_t{set->RecordCount()} - recordNo + 1);
        int64_t span = 1;
        int64_t visible = 1;
        for (int64_t i = 1; i < most; ++i) {
            if (!set->GetBit(static_cast<int32_t>(recordNo + i))) continue;
            span = i + 1;
            ++visible;
        }
        if (visible < 2 || visible * SCAN_BYTES_PER_RECORD < span * r) return nullptr;
        FScanGeneration = data.GetScanGeneration();
        FScanFirst = recordNo;
        FScanCount = data.ReadScanSlots(this, recordNo, static_cast<int32_t>(span), FScanSlots);
        // The change check may have emptied the cache and moved the cursor.
        if (FScanGeneration != data.GetScanGeneration() || GetCurrentRecordNumber() != recordNo) FScanCount = 0;
        if (FScanCount == 0) return nullptr;
    }
    return FScanSlots.data() + static_cast<std::size_t>(recordNo - FScanFirst) * static_cast<std::size_t>(r);
}

void TDataCursor::CollectKeyRecordNumbers(std::vector<uint32_t>& numbers, bool firstFieldPresent) {
    CheckRecordAccess();
    if (IsNaturalOrder()) RaiseError(KURA_NOCURRREC);
    const TSteppingScope stepping(FStepping);
    CheckForChanges();
    TryFinally(
        [&] {
            MoveToFirstKey();
            while (!FEOF) {
                // The cursor stands on a key of its copy of the leaf: it and the
                // keys after it in the leaf, up to the range's end, are taken
                // here, and one step moves past them all.
                const TPage* page = FPosition.Page;
                int32_t steps = 0;
                bool ended = false;
                for (int32_t slot = FPosition.Slot; page && slot <= page->KeyCount; ++slot) {
                    const uint8_t* key = page->GetKeyAddress(static_cast<uint32_t>(slot));
                    const uint32_t recordNo = page->GetRecordNo(static_cast<uint32_t>(slot));
                    if (slot > FPosition.Slot) {
                        if (FRangeActive && CompareWholeKeys(key, FRangeEndKey.data()) > 0) {
                            ended = true;
                            break;
                        }
                        if (UsesVisibleSet() && !IsVisibleRecord(recordNo)) continue;
                    }
                    ++steps;
                    if (!firstFieldPresent || key[0] != 0) numbers.push_back(recordNo);
                }
                MoveBy(std::max(steps, 1));
                if (ended) break;
            }
        },
        [&] { EndRead(); });
}

TEngineErrorCode TDataCursor::GetPriorRecord(uint8_t* buffer) {
    if (IsRemote()) return ReadRemoteBlockRecord(REQUEST_GETPRIORRECORD, buffer);
    CheckRecordAccess();
    const TSteppingScope stepping(FStepping);
    TEngineErrorCode result = 0;
    CheckForChanges();
    TryFinally(
        [&] {
            if (FEOF)
                MoveToLastKey();
            else
                MoveBy(-1);
            if (FBOF) {
                result = KURA_BOF;
                if (buffer) std::memset(buffer, 0, FRecordSize);
                return;
            }
            LoadCurrentRecord(2);
            if (buffer) std::memcpy(buffer, FRecord->GetBuffer(), FRecordSize);
        },
        [&] { EndRead(); });
    return result;
}

TEngineErrorCode TDataCursor::ReadRecordBlock(int32_t& count, uint8_t* buffer) {
    if (IsRemote()) return ReadRemoteRecordBlock(count, buffer);
    CheckRecordAccess();
    const TSteppingScope stepping(FStepping);
    TEngineErrorCode result = 0;
    CheckForChanges();
    TryFinally(
        [&] {
            const int32_t wanted = count;
            for (int32_t i = 0; i < wanted; ++i) {
                uint8_t* slot = buffer ? buffer + static_cast<std::size_t>(i) * FRecordSize : nullptr;
                bool failed = false;
                if (FBOF)
                    MoveToFirstKey();
                else if (FEOF)
                    failed = true;
                else
                    MoveBy(1);
                if (failed || FEOF) {
                    result = KURA_EOF;
                    if (slot) std::memset(slot, 0, FRecordSize);
                    count = i;
                    return;
                }
                LoadCurrentRecord(1);
                if (slot) std::memcpy(slot, FRecord->GetBuffer(), FRecordSize);
            }
        },
        [&] { EndRead(); });
    return result;
}

TEngineErrorCode TDataCursor::CloneCurrentRecord(uint8_t* buffer) {
    if (IsRemote()) return CloneRemoteCurrentRecord(buffer);
    CheckRecordAccess();
    CheckForChanges();
    TryFinally(
        [&] {
            if (FBOF && FEOF) return;
            LoadCurrentRecord(1);
            if (!buffer) return;
            std::memset(buffer, 0, FRecordSize);
            std::vector<uint8_t> value;
            for (uint16_t n = 1; n <= FFieldCount; ++n) {
                const TFieldDesc& desc = CursorFieldDesc(n);
                value.assign(static_cast<std::size_t>(desc.StoredSize()) + 8, 0);
                bool blank = true;
                GetField(n, FRecord->GetBuffer(), value.data(), blank);
                if (blank) continue;
                if (desc.FieldType() != fldBLOB) {
                    PutField(n, buffer, value.data());
                    continue;
                }
                CopyBlobIntoBuffer(n, buffer);
            }
            if (FSuppressAutoInc) SetBufferAutoInc(buffer, FRecord->GetAutoIncValue());
        },
        [&] { EndRead(); });
    return 0;
}

bool TDataCursor::ReadThroughBookmark(uint32_t recordNo, uint8_t* buffer) {
    if (!SetToBookmark(NaturalBookmark(recordNo), false, false)) return false;
    const TEngineErrorCode code = GetCurrentRecord(buffer, false);
    if (code == KURA_EOF || code == KURA_BOF || code == KURA_NOCURRREC) return false;
    CheckError(code, {});
    return true;
}

bool TDataCursor::ReadRecordByNumber(uint32_t recordNo, uint8_t* buffer, bool block) {
    if (IsRemote()) return ReadThroughBookmark(recordNo, buffer);
    CheckRecordAccess();
    bool found = false;
    CheckForChanges();
    TryFinally(
        [&] {
            if (recordNo == 0 || recordNo >= FTable->GetDataFile().GetNextRecordNumber()) return;
            TRecord* record = nullptr;
            // A change check that moved the cursor on the way reads it again.
            for (int tries = 0; !GetRecord(recordNo, block ? grBlockRead : 0, record); ++tries)
                if (tries == 2) RaiseError(KURA_RECNOTFOUND);
            found = !record->IsDeleted();
            if (found) std::memcpy(buffer, record->GetBuffer(), std::min<uint16_t>(record->GetRecordSize(), FRecordSize));
            ReleaseRecord(record);
            if (found) CalculateFields(buffer);
        },
        [&] { EndRead(); });
    return found;
}

bool TDataCursor::ReadRecordToChange(uint32_t recordNo, uint8_t* buffer, bool lock) {
    // One positioning and one read where nobody else can change the record
    // between them and the lock: an exclusive table, a read without the lock, or a
    // record whose lock this transaction took ahead (its locked read would only
    // compare the record with itself).
    const bool direct = !IsRemote() && IsNaturalOrder() && recordNo != 0 &&
                        (!lock || FExclusive ||
                         (GetLockProtocolOfSession() == lpPessimistic && FTable && FTable->IsLockedAhead(recordNo)));
    if (!direct) {
        // The locked read checks the record against the buffer: read it first.
        if (!ReadThroughBookmark(recordNo, buffer)) return false;
        if (lock) CheckError(GetCurrentRecord(buffer, true), {});
        return true;
    }
    CheckRecordAccess();
    bool found = false;
    CheckForChanges();
    TryFinally(
        [&] {
            GotoRecordNumber(static_cast<int32_t>(std::min<uint32_t>(recordNo, INT32_MAX)));
            found = !FBOF && !FEOF && FRecordNo == recordNo;
            const bool locking = found && lock;
            if (locking) LockRecord(recordNo);
            FEditImage.clear();
            // Not found: the cursor stands where the search left it, as after a
            // bookmark that was not found.
            LoadCurrentRecord(1);
            const bool there = FRecord->GetRecordNumber() == recordNo;
            if (locking && !there) {
                WriteUnlockRecord(recordNo, false);
                RaiseError(KURA_KEYORRECDELETED);
            }
            found = found && there;
            if (found && buffer) std::memcpy(buffer, FRecord->GetBuffer(), FRecordSize);
        },
        [&] { EndRead(); });
    return found;
}

void TDataCursor::CopyBlobIntoBuffer(uint16_t fieldNo, uint8_t* buffer) {
    uint8_t* source = FRecord->GetBuffer();
    uint32_t size = 0;
    TEngineErrorCode code = OpenBlob(fieldNo, source, BLOB_MODE_READ_WRITE, false, false, size, false);
    if (code != 0) RaiseError(code);
    TryFinally(
        [&] {
            std::vector<uint8_t> content(size);
            uint32_t read = 0;
            if (size > 0) {
                code = GetBlob(fieldNo, source, 0, content.data(), size, read, false);
                if (code != 0) RaiseError(code);
            }
            uint32_t newSize = 0;
            code = OpenBlob(fieldNo, buffer, BLOB_MODE_READ_WRITE, false, true, newSize, false);
            if (code != 0) RaiseError(code);
            code = PutBlob(fieldNo, buffer, 0, content.data(), size, false);
            if (code != 0) RaiseError(code);
        },
        [&] {
            const TEngineErrorCode freed = FreeBlob(fieldNo, source, false, true);
            if (freed != 0) RaiseError(freed);
        });
}

// ---- Writes -----------------------------------------------------------------------

void TDataCursor::AppendRecord(uint8_t* buffer, bool resync) {
    if (IsRemote()) return AppendRemoteRecord(buffer, resync);
    CheckRecordAccess();
    CheckNotReadOnly();
    ValidateRecordValues(buffer);
    BeginWrite();
    TryFinally(
        [&] {
            const uint32_t recordNo = GetNextFreeRecord();
            const bool newSlot = recordNo == FTable->GetLastRecordNumber() + 1;
            const uint32_t previousLock = FLockedRecordNo;
            LockRecord(recordNo);
            TryFinally([&] { AppendLocked(buffer, resync, recordNo, newSlot); },
                       [&] { ReleaseOperationLock(recordNo, previousLock); });
        },
        [&] { EndWrite(); });
}

void TDataCursor::AppendLocked(uint8_t* buffer, bool resync, uint32_t recordNo, bool newSlot) {
    const uint8_t savedIndex = FIndexNo;
    const TRecordImage savedRecord(FRecord->GetBuffer(), FRecordSize);
    const uint32_t savedRecordNumber = FRecord->GetRecordNumber();
    const uint32_t savedRecordNo = FRecordNo;
    const bool savedBOF = FBOF;
    const bool savedEOF = FEOF;
    bool written = false;
    bool touched = false;
    TryFinally(
        [&] {
            try {
                if (!FSuppressAutoInc)
                    SetBufferAutoInc(buffer, static_cast<uint32_t>(IncWrap(static_cast<int32_t>(GetLastAutoIncValue()))));
                TKeyRoom key;
                TKeyRoom oldKey;
                const uint8_t indexCount = GetIndexCount();
                if (TakesKeyChecks()) {
                    for (uint16_t i = 0; i <= indexCount; ++i) {
                        if (i == 0 && GetNoPrimaryIndex()) continue;
                        SetIndexNumber(static_cast<uint8_t>(i));
                        BuildIndexKey(buffer, key.data());
                        if (IsKeyViolation(key.data())) RaiseKeyViolation();
                    }
                    if (FSuppressAutoInc) {
                        SetIndexNumber(SYS_DELETED_SLOT);
                        BuildLiveRowIdKey(buffer, key.data());
                        if (IsKeyViolation(key.data())) RaiseKeyViolation();
                    }
                }
                touched = true;
                for (uint16_t i = 0; i <= indexCount; ++i) {
                    if (i == 0 && GetNoPrimaryIndex()) continue;
                    SetIndexNumber(static_cast<uint8_t>(i));
                    BuildIndexKey(buffer, key.data());
                    InsertIndexKey(key.data(), recordNo);
                }

                // Under DeferRowIds the next new slot is only noted: "Sys Deleted"
                // is not touched, nor selected.
                const bool deferring =
                    FRowIdsDeferred && newSlot && recordNo == FDeferredFirstRecord + FDeferredAutoIncs.size();
                if (!deferring) SetIndexNumber(SYS_DELETED_SLOT);
                TRecord* slot = nullptr;
                bool blobsChanged = false;
                if (!AllocateRecord(slot) || !slot) RaiseError(KURA_KEYORRECDELETED);
                TryFinally(
                    [&] {
                        // The slot must be the one whose lock this write holds.
                        if (slot->GetRecordNumber() != recordNo) RaiseError(KURA_FILECORRUPT);
                        if (deferring) {
                            FDeferredAutoIncs.push_back(GetBufferAutoInc(buffer));
                        } else if (newSlot) {
                            CompleteRowIds();
                            BuildLiveRowIdKey(buffer, key.data());
                            InsertIndexKey(key.data(), recordNo);
                        } else {
                            CompleteRowIds();
                            BuildLiveRowIdKey(buffer, key.data());
                            BuildRowIdKey(slot->GetBuffer(), oldKey.data());
                            DeleteIndexKey(oldKey.data(), key.data(), recordNo);
                        }
                        if (!FSuppressAutoInc) {
                            slot->Clear(true);
                        } else {
                            slot->Clear(false);
                            SetLastAutoIncValue(static_cast<uint32_t>(
                                MaxInt32(static_cast<int32_t>(GetBufferAutoInc(buffer)),
                                         static_cast<int32_t>(GetLastAutoIncValue()))));
                        }
                        slot->SetFieldData(buffer);
                        slot->SetAutoIncValue(GetBufferAutoInc(buffer));
                        IncRecordCount();
                        // A table whose row identifiers wait has no text index.
                        if (!deferring) AddTextIndexWords(slot->GetBuffer());
                        if (FTable->HasBlobFields()) {
                            // The slot has the table's layout, without computed fields.
                            AssignBlobIDs(slot->GetBuffer(), true);
                            blobsChanged = SaveOpenBlobs();
                            PutOpenBlobsIntoRecord(slot->GetBuffer(), true);
                            FreeAllBlobs(false, false);
                        }
                        slot->Modified = 1;
                        FRecord->SetRecordSize(FRecordSize);
                        FRecord->Assign(*slot);
                        FRecordNo = recordNo;
                        // The new record is the current one: the cursor stands on it.
                        FBOF = false;
                        FEOF = false;
                    },
                    [&] { ReleaseRecord(slot); });
                FlushBuffers(false, false, true, true, blobsChanged);
                written = true;
            } catch (...) {
                RestoreRecordAfterFailure(savedRecord, savedRecordNumber, savedRecordNo);
                FBOF = savedBOF;
                FEOF = savedEOF;
                // A refused key changed nothing: the caches stay.
                if (touched) DiscardFailedWrite();
                throw;
            }
        },
        [&] {
            if (FIndexNo != savedIndex) SetIndexNumber(savedIndex);
            if (resync) {
                if (written) UpdateFilterSetOnWrite(FRecord->GetRecordNumber(), FRecord->GetBuffer());
                Resync();
            }
        });
}

void TDataCursor::RestoreRecordAfterFailure(const TRecordImage& image, uint32_t recordNumber, uint32_t recordNo) {
    if (!FRecord) return;
    std::memcpy(FRecord->GetBuffer(), image.data(), std::min<std::size_t>(image.size(), FRecordSize));
    FRecord->RecordNumber = recordNumber;
    FRecordNo = recordNo;
}

void TDataCursor::ModifyRecord(uint8_t* buffer, bool unlock, bool resync) {
    if (IsRemote()) return ModifyRemoteRecord(buffer, unlock, resync);
    CheckRecordAccess();
    CheckNotReadOnly();
    ValidateRecordValues(buffer);
    const bool optimistic = GetLockProtocolOfSession() == lpOptimistic;
    // The record as this cursor read it, before the write bracket can refresh it:
    // under the optimistic protocol as the edit began, when it began on this record.
    const bool editImage = optimistic && FEditImage.size() == FRecordSize &&
                           GetBufferRecordNo(FEditImage.data()) == FRecord->GetRecordNumber();
    const TRecordImage before(editImage ? FEditImage.data() : FRecord->GetBuffer(), FRecordSize);
    BeginWrite();
    TryFinally(
        [&] {
            const uint32_t recordNo = FRecord->GetRecordNumber();
            const uint32_t previousLock = FLockedRecordNo;
            bool operationLock = false;
            if (!FExclusive) {
                if (optimistic) {
                    if (FEditConflict || !FRecord->EqualsBuffer(before.data())) {
                        FEditConflict = true;
                        RaiseError(KURA_KEYORRECDELETED);
                    }
                    LockRecord(recordNo);
                    operationLock = true;
                } else if (FLockedRecordNo != recordNo) {
                    // Not locked for editing by this cursor: lock now and make sure
                    // nobody changed the record since it was read, or this write
                    // would silently undo the other user's change.
                    LockRecord(recordNo);
                    operationLock = true;
                    if (!FRecord->EqualsBuffer(before.data())) {
                        ReleaseOperationLock(recordNo, previousLock);
                        RaiseError(KURA_KEYORRECDELETED);
                    }
                }
            }
            TryFinally([&] { ModifyLocked(buffer, unlock && !optimistic && !operationLock, resync); },
                       [&] {
                           if (operationLock) ReleaseOperationLock(recordNo, previousLock);
                       });
            // Posted: the edit is over.
            FEditImage.clear();
        },
        [&] { EndWrite(); });
}

void TDataCursor::ModifyLocked(uint8_t* buffer, bool unlock, bool resync) {
    const uint8_t savedIndex = FIndexNo;
    const TRecordImage savedRecord(FRecord->GetBuffer(), FRecordSize);
    const uint32_t savedRecordNumber = FRecord->GetRecordNumber();
    const uint32_t savedRecordNo = FRecordNo;
    const uint32_t recordNo = FRecord->GetRecordNumber();
    bool written = false;
    bool touched = false;
    TryFinally(
        [&] {
            if (FBOF || FEOF || recordNo == 0) RaiseError(KURA_NOCURRREC);
            try {
                if (!FSuppressAutoInc) {
                    SetBufferAutoInc(buffer, FRecord->GetAutoIncValue());
                } else {
                    touched = true;
                    SetLastAutoIncValue(static_cast<uint32_t>(MaxInt32(static_cast<int32_t>(GetBufferAutoInc(buffer)),
                                                                       static_cast<int32_t>(GetLastAutoIncValue()))));
                }
                bool keysChanged = false;
                // Every key build fills the bytes it compares.
                TKeyRoom newKey;
                TKeyRoom oldKey;
                const uint8_t indexCount = GetIndexCount();
                auto keysDiffer = [&] { return CompareFieldValues(newKey.data(), oldKey.data(), FKeySize) != 0; };
                // Indexes whose key fields the write leaves as they are keep their
                // keys: neither built nor checked. Most writes change no key at all.
                std::array<bool, INDEX_SLOT_COUNT> rekey{};
                bool anyRekey = false;
                for (uint16_t i = 0; i <= indexCount && i < SYS_DELETED_SLOT; ++i) {
                    if (i == 0 && GetNoPrimaryIndex()) continue;
                    rekey[i] = !KeyFieldsEqual(static_cast<uint8_t>(i), buffer, FRecord->GetBuffer());
                    anyRekey = anyRekey || rekey[i];
                }
                if (TakesKeyChecks() && anyRekey) {
                    for (uint16_t i = 0; i <= indexCount; ++i) {
                        if (!rekey[i]) continue;
                        SetIndexNumber(static_cast<uint8_t>(i));
                        BuildIndexKey(buffer, newKey.data());
                        BuildIndexKey(FRecord->GetBuffer(), oldKey.data());
                        if (keysDiffer() && IsKeyViolation(newKey.data())) RaiseKeyViolation();
                    }
                    if (FSuppressAutoInc) {
                        SetIndexNumber(SYS_DELETED_SLOT);
                        BuildLiveRowIdKey(buffer, newKey.data());
                        BuildLiveRowIdKey(FRecord->GetBuffer(), oldKey.data());
                        if (keysDiffer() && IsKeyViolation(newKey.data())) RaiseKeyViolation();
                    }
                }
                touched = true;
                for (uint16_t i = 0; i <= indexCount && anyRekey; ++i) {
                    if (!rekey[i]) continue;
                    SetIndexNumber(static_cast<uint8_t>(i));
                    BuildIndexKey(buffer, newKey.data());
                    BuildIndexKey(FRecord->GetBuffer(), oldKey.data());
                    if (!keysDiffer()) continue;
                    DeleteIndexKey(oldKey.data(), newKey.data(), recordNo);
                    keysChanged = true;
                }
                if (FSuppressAutoInc) {
                    SetIndexNumber(SYS_DELETED_SLOT);
                    BuildLiveRowIdKey(buffer, newKey.data());
                    BuildLiveRowIdKey(FRecord->GetBuffer(), oldKey.data());
                    if (keysDiffer()) {
                        DeleteIndexKey(oldKey.data(), newKey.data(), recordNo);
                        keysChanged = true;
                    }
                }
                // FRecord still holds the old image, auto-increment value included:
                // the old words are found under the value they were filed with.
                const bool wordsChanged = FTable->GetIndexFile().KeyFieldAt(SYS_TEXT_SLOT, 0) != 0 &&
                                          UpdateTextIndexWords(buffer, FRecord->GetBuffer());
                if (!keysChanged) keysChanged = wordsChanged;
                FRecord->SetFieldData(buffer);
                FRecord->SetAutoIncValue(GetBufferAutoInc(buffer));
                bool blobsChanged = false;
                if (FTable->HasBlobFields()) {
                    AssignBlobIDs(FRecord->GetBuffer(), false);
                    blobsChanged = SaveOpenBlobs();
                    PutOpenBlobsIntoRecord(FRecord->GetBuffer(), false);
                    FreeAllBlobs(false, false);
                }
                TRecord* stored = nullptr;
                if (!GetRecord(recordNo, grLock, stored) || !stored) RaiseError(KURA_KEYORRECDELETED);
                TryFinally(
                    [&] {
                        stored->Assign(*FRecord);
                        stored->Modified = 1;
                    },
                    [&] { ReleaseRecord(stored); });
                FlushBuffers(false, false, true, keysChanged, blobsChanged);
                written = true;
                if (unlock) WriteUnlockRecord(recordNo, false);
            } catch (...) {
                if (!written) {
                    RestoreRecordAfterFailure(savedRecord, savedRecordNumber, savedRecordNo);
                    if (touched) DiscardFailedWrite();
                }
                throw;
            }
        },
        [&] {
            if (FIndexNo != savedIndex) SetIndexNumber(savedIndex);
            if (resync) {
                if (written) UpdateFilterSetOnWrite(FRecord->GetRecordNumber(), FRecord->GetBuffer());
                Resync();
            }
        });
}

void TDataCursor::CancelRecord() {
    if (!FOpen) return;
    if (IsRemote()) return CancelRemoteRecord();
    if (GetLockProtocolOfSession() == lpPessimistic) {
        // Cancelling an edit that took no lock (a new record) has nothing to release.
        if (FLockedRecordNo != 0) WriteUnlockRecord(FLockedRecordNo, false);
    } else {
        FEditConflict = false;
        FEditImage.clear();
    }
}

void TDataCursor::DeleteRecord(const uint8_t* buffer, bool resync) {
    if (IsRemote()) return DeleteRemoteRecord(buffer, resync);
    CheckRecordAccess();
    CheckNotReadOnly();
    BeginWrite();
    TryFinally(
        [&] {
            const uint32_t recordNo = FRecord->GetRecordNumber();
            const uint32_t previousLock = FLockedRecordNo;
            if (recordNo == 0) RaiseError(KURA_NOCURRREC);
            if (!FTable->IsRecordMarkedLocked(recordNo)) {
                if (!FExclusive && !FRecord->EqualsBuffer(buffer)) RaiseError(KURA_KEYORRECDELETED);
                if (FBOF || FEOF) RaiseError(KURA_NOCURRREC);
                LockRecord(recordNo);
            } else {
                if (FLockedRecordNo != recordNo) RaiseError(KURA_RECLOCKFAILED);
                // Unsaved BLOB changes of the record being deleted are discarded.
                if (FTable->HasBlobFields()) FreeAllBlobs(true, false);
            }
            TryFinally([&] { DeleteLocked(recordNo, resync); },
                       [&] { ReleaseOperationLock(recordNo, previousLock); });
        },
        [&] { EndWrite(); });
}

void TDataCursor::DeleteLocked(uint32_t recordNo, bool resync) {
    const uint8_t savedIndex = FIndexNo;
    const TRecordImage savedRecord(FRecord->GetBuffer(), FRecordSize);
    const uint32_t savedRecordNumber = FRecord->GetRecordNumber();
    const uint32_t savedRecordNo = FRecordNo;
    bool written = false;
    TryFinally(
        [&] {
            if (FBOF || FEOF) RaiseError(KURA_NOCURRREC);
            try {
                TKeyRoom key;
                TKeyRoom oldKey;
                const uint8_t indexCount = GetIndexCount();
                for (uint16_t i = 0; i <= indexCount; ++i) {
                    if (i == 0 && GetNoPrimaryIndex()) continue;
                    SetIndexNumber(static_cast<uint8_t>(i));
                    BuildIndexKey(FRecord->GetBuffer(), key.data());
                    DeleteIndexKey2(key.data());
                }
                SetIndexNumber(SYS_DELETED_SLOT);
                BuildLiveRowIdKey(FRecord->GetBuffer(), oldKey.data());
                BuildDeletedRowIdKey(FRecord->GetBuffer(), key.data());
                DeleteIndexKey(oldKey.data(), key.data(), recordNo);
                DecRecordCount();
                bool blobsChanged = false;
                if (FTable->HasBlobFields()) {
                    FreeRecordBlobs(FRecord->GetBuffer());
                    DeleteTextIndexWords(FRecord->GetBuffer());
                    AssignBlobIDs(FRecord->GetBuffer(), true);
                    blobsChanged = SaveOpenBlobs();
                    PutOpenBlobsIntoRecord(FRecord->GetBuffer(), true);
                    FreeAllBlobs(false, false);
                } else {
                    DeleteTextIndexWords(FRecord->GetBuffer());
                }
                FTable->GetDataFile().FreeRecord(FRecord);
                TRecord* stored = nullptr;
                if (!GetRecord(recordNo, grLock, stored) || !stored) RaiseError(KURA_KEYORRECDELETED);
                TryFinally(
                    [&] {
                        stored->Assign(*FRecord);
                        stored->Modified = 1;
                    },
                    [&] { ReleaseRecord(stored); });
                FlushBuffers(false, false, true, true, blobsChanged);
                written = true;
            } catch (...) {
                RestoreRecordAfterFailure(savedRecord, savedRecordNumber, savedRecordNo);
                DiscardFailedWrite();
                throw;
            }
        },
        [&] {
            SetIndexNumber(savedIndex);
            if (resync) {
                if (written) UpdateFilterSetOnDelete(recordNo);
                Resync();
            }
        });
}

void TDataCursor::FlushBuffers(bool force, bool trimCaches, bool dataChanged, bool indexChanged, bool blobsChanged) {
    if (IsRemote()) return FlushRemoteBuffers(force, trimCaches, dataChanged, indexChanged, blobsChanged);
    if (!FTable) return;
    if (!FExclusive || force) {
        FTable->FlushBuffers(trimCaches, dataChanged, false, blobsChanged, indexChanged);
    } else if (!FTable->IsReadOnly()) {
        // An exclusive table writes at its next forced flush or its close; until
        // then the changed files only carry their modified marks.
        if (dataChanged && FTable->GetDataFile().IsOpen) FTable->GetDataFile().MarkModified();
        if (indexChanged && FTable->GetIndexFile().IsOpen) FTable->GetIndexFile().MarkModified();
        if (blobsChanged && FTable->HasBlobFields() && FTable->GetBlobFile().IsOpen)
            FTable->GetBlobFile().MarkModified();
    }
    SaveChangeCounters();
}

}  // namespace kura
