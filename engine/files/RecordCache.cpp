#include "engine/files/RecordCache.h"

#include <algorithm>
#include <cstring>

#include "engine/files/DataFile.h"
#include "engine/files/KeyEncoding.h"
#include "engine/files/Routines.h"

namespace kura {

using namespace dfbytes;

namespace {

constexpr std::size_t RECORD_BUFFER_STEP = 64;

std::size_t RoundUp64(std::size_t n) { return (n + RECORD_BUFFER_STEP - 1) / RECORD_BUFFER_STEP * RECORD_BUFFER_STEP; }

}  // namespace

// ---- TRecord ----------------------------------------------------------------

TRecord::TRecord(TDataFile* owner) : Owner(owner) {
    RecordSize = owner ? owner->GetRecordSize() : 0;
    Buffer.assign(std::max<std::size_t>(RoundUp64(RecordSize), RECORD_BUFFER_STEP), 0);
}

void TRecord::Clear(bool assignAutoInc) {
    std::fill(Buffer.begin(), Buffer.end(), 0);
    if (assignAutoInc && Owner) PutU32(&Buffer[RH_AUTOINC], Owner->GetNextAutoInc());
    PutU32(&Buffer[RH_NUMBER], RecordNumber);
    Modified = 0;
}

void TRecord::LoadFromBuffer(uint8_t* source) {
    if (Owner && Owner->IsEncrypted()) UnscrambleBuffer(source, RecordSize, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    std::memcpy(Buffer.data(), source, RecordSize);
    if (Buffer[RH_DELETED] == 0) PutU32(&Buffer[RH_NUMBER], RecordNumber);
    Modified = 0;
}

void TRecord::SaveToBuffer(uint8_t* target) {
    std::memcpy(target, Buffer.data(), RecordSize);
    if (Owner && Owner->IsEncrypted()) ScrambleBuffer(target, RecordSize, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    Modified = 0;
}

void TRecord::SetDeleted(bool deleted) {
    Buffer[RH_DELETED] = deleted ? 1 : 0;
    Modified = 1;
}

uint32_t TRecord::GetNextDeleted() const { return IsDeleted() ? GetU32(&Buffer[RH_NUMBER]) : 0; }

void TRecord::SetNextDeleted(uint32_t next) {
    PutU32(&Buffer[RH_NUMBER], next);
    Modified = 1;
}

uint32_t TRecord::GetAutoIncValue() const { return GetU32(&Buffer[RH_AUTOINC]); }

void TRecord::SetAutoIncValue(uint32_t value) {
    PutU32(&Buffer[RH_AUTOINC], value);
    Modified = 1;
}

void TRecord::SetRecordNumber(uint32_t number) {
    if (number == RecordNumber) return;
    RecordNumber = number;
    if (!IsDeleted()) PutU32(&Buffer[RH_NUMBER], number);
}

void TRecord::SetRecordSize(uint16_t size) {
    if (size == RecordSize) return;
    Buffer.resize(std::max<std::size_t>(RoundUp64(size), RECORD_BUFFER_STEP), 0);
    RecordSize = size;
}

void TRecord::SetSortKeySize(uint16_t size) {
    if (size > SortKey.size()) SortKey.resize(RoundUp64(size), 0);
}

void TRecord::Assign(const TRecord& source) {
    Owner = source.Owner;
    Modified = source.Modified;
    RecordNumber = source.RecordNumber;
    std::memcpy(Buffer.data(), source.Buffer.data(), std::min(RecordSize, source.RecordSize));
}

bool TRecord::EqualsBuffer(const uint8_t* buffer) const {
    return buffer != nullptr && CompareBuffers(buffer, Buffer.data(), RecordSize, false) == 0;
}

void TRecord::SetFieldData(const uint8_t* buffer) {
    if (RecordSize > RECORD_HEADER_SIZE)
        std::memcpy(Buffer.data() + RECORD_HEADER_SIZE, buffer + RECORD_HEADER_SIZE, RecordSize - RECORD_HEADER_SIZE);
    Modified = 1;
}

// ---- TRecordStack -----------------------------------------------------------

TRecordStack::TRecordStack(TDataFile* owner) : Owner(owner) { Records.reserve(RECORD_POOL_CAPACITY); }

TRecordStack::~TRecordStack() {
    for (TRecord* r : Records) delete r;
}

TRecord* TRecordStack::Pop() {
    if (Records.empty()) return new TRecord(Owner);
    TRecord* r = Records.back();
    Records.pop_back();
    r->SetRecordSize(Owner ? Owner->GetRecordSize() : r->RecordSize);
    r->Clear(false);
    r->ResetPin();
    r->Next = r->Prior = nullptr;
    r->Detached = false;
    return r;
}

void TRecordStack::Push(TRecord*& record) {
    if (!record) return;
    if (static_cast<int32_t>(Records.size()) < RECORD_POOL_CAPACITY)
        Records.push_back(record);
    else
        delete record;
    record = nullptr;
}

// ---- Cache list and MRU chain -----------------------------------------------

bool TDataFile::FindCachedRecord(uint32_t recordNo, int32_t& index) const {
    index = 0;
    return FCache.Find(recordNo) != nullptr;
}

bool TDataFile::FlushToRecycle() {
    // Inside a transaction nothing may reach the disk before the commit: the
    // records go to the held changes once the transaction's caches have reached
    // its budget, else they stay and the cache grows.
    if (FOwner && FOwner->InTransaction()) {
        if (!Held || !Held->TakesCachedChanges()) return false;
        FlushRecords();
        // Records once written are seldom wanted again in a transaction (appended
        // ones never): the cache goes back to its usual size and leaves the budget
        // to the index pages, which each insertion reads again.
        FCache.Trim(
            GetCacheLimit(), [] { return false; }, [this] { RaiseError(KURA_FILECORRUPT); },
            [this](TRecord* r) { FPool->Push(r); });
        return true;
    }
    switch (FOwner ? FOwner->FlushForRecycle() : TRecycleFlush::Own) {
        case TRecycleFlush::Defer: return false;
        case TRecycleFlush::Table: return true;
        case TRecycleFlush::Own: break;
    }
    FlushRecords();
    return true;
}

TRecord* TDataFile::TakeRecyclable() {
    return FCache.TakeRecyclable([this] { return FlushToRecycle(); }, [this] { RaiseError(KURA_FILECORRUPT); });
}

TRecord* TDataFile::GetCacheRecord(uint32_t recordNo) {
    TRecord* r = FCache.Acquire(
        CACHE_GROWTH, [this] { return TakeRecyclable(); }, [this] { return FPool->Pop(); });
    r->SetRecordNumber(recordNo);
    r->RecordNumber = recordNo;
    r->Clear(false);
    return r;
}

void TDataFile::DropRecord(TRecord* r) {
    FCache.Unlink(r);
    if (r->PinCount > 0) {
        // Its holder still uses it; it returns to the pool when released.
        r->Detached = true;
        FDetached.push_back(r);
    } else {
        FPool->Push(r);
    }
}

// ---- Reading ----------------------------------------------------------------

bool TDataFile::ReadRecord(TDataFileCursor* cursor, uint32_t recordNo, TRecord*& record, int32_t direction,
                           bool cursorReadAhead, bool readAhead) {
    record = nullptr;
    if (recordNo == 0 || !FPool) RaiseError(KURA_FILECORRUPT);
    ++FStatistics.RecordRequests;
    uint32_t next = GetNextRecordNumber();

    if (recordNo == next) {
        if (recordNo >= RECORD_NUMBER_LIMIT ||
            DataStart() + static_cast<int64_t>(recordNo) * GetRecordSize() >= DATA_FILE_SIZE_LIMIT)
            RaiseError(KURA_TABLEFULL);
        TRecord* r = GetCacheRecord(recordNo);
        // Normally a new number; a stale entry of that number is replaced.
        if (TRecord* stale = FCache.Replace(r); stale && stale != r) DropRecord(stale);
        r->Pin();
        PutU32(&FHeader[dho::NextRecord], next + 1);
        FHeader[dho::Modified] = 1;
        record = r;
        return true;
    }

    TRecord* r = FCache.Lookup(recordNo, 4);
    if (r) {
        FCache.MoveToHead(r);
        r->Pin();
        record = r;
        return true;
    }

    ++FStatistics.CacheMisses;
    if (cursor && !(FOwner && FOwner->GetStrictChangeDetection())) {
        if (cursor->CheckBeforeCacheMiss()) return false;
    }
    int32_t count = 1;
    if (readAhead) {
        if (cursorReadAhead && cursor)
            count = cursor->GetReadAheadCount(FRecordsPerBlock, direction);
        else
            count = static_cast<int32_t>(std::min<int64_t>(FRecordsPerBlock, static_cast<int64_t>(next) - recordNo));
    }
    // Never more than a block, never slots before record 1, and forward never past
    // the last record.
    count = std::clamp(count, 1, FRecordsPerBlock);
    if (direction == 1) {
        if (recordNo < next) count = static_cast<int32_t>(std::min<int64_t>(count, static_cast<int64_t>(next) - recordNo));
    } else {
        count = static_cast<int32_t>(std::min<int64_t>(count, recordNo));
    }
    // The window holds what the disk holds since the change check it was read
    // after, and this miss has passed its own. It serves only a miss that would read
    // one slot: a window left behind by an index-order scan must not turn another
    // cursor's block reads (a natural-order scan) into one miss per record.
    if (count > 1 || !LoadFromWindow(recordNo)) ReadRecordBlock(recordNo, count, direction);
    r = FCache.Find(recordNo);
    if (!r) RaiseError(KURA_FILECORRUPT);
    FCache.MoveToHead(r);
    r->Pin();
    record = r;
    if (readAhead && cursorReadAhead && cursor) {
        try {
            LoadUpcomingRecords(cursor, direction);
        } catch (...) {
            ReleaseRecord(r);
            record = nullptr;
            throw;
        }
    }
    return true;
}

// An index order visits records scattered over the file: without this, every one
// of them is a miss of its own, with its own change check. The uncached records
// among the next ones come in with this miss, within its check: from the record
// window, which first moves on to the stretch ahead when it does not reach the
// last of them, else from the disk in spans of at most a block. Half the cache at
// most, so that the batch does not push out its own records before the cursor
// reaches them.
void TDataFile::LoadUpcomingRecords(TDataFileCursor* cursor, int32_t direction) {
    const int32_t room = std::min(FCache.Capacity / 2, UPCOMING_RECORD_LIMIT);
    if (room < 1) return;
    cursor->GetUpcomingRecords(room, direction, FUpcoming);
    const uint32_t last = GetLastRecordNumber();
    std::vector<uint32_t> wanted;
    wanted.reserve(FUpcoming.size());
    for (uint32_t n : FUpcoming)
        if (n >= 1 && n <= last && !FCache.Find(n)) wanted.push_back(n);
    if (wanted.empty()) return;
    if (!FWindow.Holds(wanted.back(), GetRecordSize())) FillRecordWindow(cursor, direction, room);
    // In the cursor's order, as the window keeps them.
    std::vector<uint32_t> rest;
    for (uint32_t n : wanted)
        if (!FCache.Find(n) && !LoadFromWindow(n)) rest.push_back(n);
    std::sort(rest.begin(), rest.end());
    rest.erase(std::unique(rest.begin(), rest.end()), rest.end());
    ReadWantedSlots(rest, 0, [&](std::size_t k, uint8_t* image) {
        TRecord* fresh = GetCacheRecord(rest[k]);
        FCache.Insert(fresh, [this] { RaiseError(KURA_FILECORRUPT); });
        fresh->LoadFromBuffer(image);
        ++FStatistics.RecordsRead;
    });
}

void TDataFile::ReadRecordBlock(uint32_t recordNo, int32_t count, int32_t direction) {
    const int32_t r = GetRecordSize();
    const int64_t length = static_cast<int64_t>(count) * r;
    const uint32_t first = direction == 1 ? recordNo : recordNo - static_cast<uint32_t>(count) + 1;
    const int64_t start = DataStart() + static_cast<int64_t>(first - 1) * r;
    ResizeReadBuffer(static_cast<int32_t>(length));

    struct BlockRangeGuard {
        TDataFile& file;
        ~BlockRangeGuard() {
            file.FBlockLength = 0;
            file.FBlockStart = 0;
        }
    } rangeGuard{*this};
    FBlockLength = static_cast<int32_t>(length);
    FBlockStart = start;

    int32_t got = 0;
    {
        TFileSectionGuard guard(*this);
        Seek(soFromBeginning, start);
        got = ReadBuffer(FReadBuffer, static_cast<int32_t>(length), true);
    }
    ++FStatistics.BlockReads;
    if (got != length) {
        bool accepted = (Exclusive || (FOwner && FOwner->InTransaction())) && FilesWritten();
        if (!accepted) RaiseError(KURA_READERR);
    }
    const int32_t slots = got / r;
    FStatistics.RecordsRead += static_cast<uint32_t>(slots);
    auto* bytes = static_cast<uint8_t*>(FReadBuffer);

    // The record asked for is loaded last, so that recycling during the walk never
    // takes it back out of the cache.
    auto load = [&](int32_t slot) {
        uint32_t number = first + static_cast<uint32_t>(slot);
        uint8_t* image = bytes + static_cast<std::size_t>(slot) * r;
        if (TRecord* cached = FCache.Find(number)) {
            if (cached->PinCount == 0 && cached->Modified == 0) cached->LoadFromBuffer(image);
            return;
        }
        TRecord* fresh = GetCacheRecord(number);
        FCache.Insert(fresh, [this] { RaiseError(KURA_FILECORRUPT); });
        fresh->LoadFromBuffer(image);
    };
    if (direction == 1) {
        for (int32_t slot = slots - 1; slot >= 0; --slot) load(slot);
    } else {
        for (int32_t slot = 0; slot < slots; ++slot) load(slot);
    }
}

TRecord* TDataFile::PinCachedRecord(uint32_t recordNo) {
    TRecord* r = FCache.Lookup(recordNo, 4);
    if (!r) return nullptr;
    FCache.MoveToHead(r);
    r->Pin();
    return r;
}

int32_t TDataFile::ReadScanSlots(TDataFileCursor* cursor, uint32_t recordNo, int32_t count,
                                 std::vector<uint8_t>& slots) {
    const uint32_t next = GetNextRecordNumber();
    if (recordNo == 0 || recordNo >= next || count < 1 || !FPool) return 0;
    count = static_cast<int32_t>(std::min<int64_t>(count, static_cast<int64_t>(next) - recordNo));
    ++FStatistics.CacheMisses;
    if (cursor && !(FOwner && FOwner->GetStrictChangeDetection()) && cursor->CheckBeforeCacheMiss()) return 0;
    const int32_t r = GetRecordSize();
    const int64_t length = static_cast<int64_t>(count) * r;
    slots.resize(static_cast<std::size_t>(length));
    int32_t got = 0;
    {
        TFileSectionGuard guard(*this);
        Seek(soFromBeginning, DataStart() + static_cast<int64_t>(recordNo - 1) * r);
        got = ReadBuffer(slots.data(), static_cast<int32_t>(length), true);
    }
    ++FStatistics.BlockReads;
    if (got != length) return 0;
    FStatistics.RecordsRead += static_cast<uint32_t>(count);
    const bool encrypted = IsEncrypted();
    for (int32_t i = 0; i < count; ++i) {
        uint8_t* slot = slots.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(r);
        if (encrypted) UnscrambleBuffer(slot, r, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
        if (slot[RH_DELETED] == 0) PutU32(slot + RH_NUMBER, recordNo + static_cast<uint32_t>(i));
    }
    return count;
}

void TDataFile::ReleaseRecord(TRecord* record) {
    if (!record) return;
    record->Unpin();
    if (record->Detached && record->PinCount == 0) {
        auto it = std::find(FDetached.begin(), FDetached.end(), record);
        if (it != FDetached.end()) FDetached.erase(it);
        record->Detached = false;
        if (FPool)
            FPool->Push(record);
        else
            delete record;
    }
}

// ---- New and deleted slots --------------------------------------------------

uint32_t TDataFile::GetNextFreeRecord() const {
    uint32_t head = GetU32(&FHeader[dho::DeletedHead]);
    if (head != 0 && !(FOwner && FOwner->GetNoPrimaryIndex())) return head;
    return GetNextRecordNumber();
}

void TDataFile::SetNextFreeRecord(uint32_t recordNo) {
    if (GetU32(&FHeader[dho::DeletedHead]) == recordNo) return;
    PutU32(&FHeader[dho::DeletedHead], recordNo);
    FHeader[dho::Modified] = 1;
}

bool TDataFile::AllocateRecord(TDataFileCursor* cursor, TRecord*& record) {
    record = nullptr;
    uint32_t recordNo = GetNextFreeRecord();
    bool fromChain = recordNo != GetNextRecordNumber();
    // A chain that leads past the last slot cannot be followed.
    if (fromChain && recordNo > GetLastRecordNumber()) RaiseError(KURA_FILECORRUPT);
    TRecord* r = nullptr;
    if (!ReadRecord(cursor, recordNo, r, 1, false, false)) return false;
    // The chain must only ever hand out deleted slots: anything else is a live
    // record that a new one would overwrite.
    if (fromChain && !r->IsDeleted()) {
        ReleaseRecord(r);
        RaiseError(KURA_FILECORRUPT);
    }
    SetNextFreeRecord(r->GetNextDeleted());
    record = r;
    return true;
}

void TDataFile::FreeRecord(TRecord* record) {
    if (!record) return;
    record->SetDeleted(true);
    uint32_t link = GetNextFreeRecord();
    if (link == GetNextRecordNumber()) link = 0;
    record->SetNextDeleted(link);
    SetNextFreeRecord(record->RecordNumber);
}

// ---- Writing and trimming ---------------------------------------------------

bool TDataFile::FlushRecords() {
    const int32_t r = GetRecordSize();
    const int64_t dataStart = DataStart();
    FCache.Unpark();
    const std::vector<TRecord*> dirty = FCache.SortedWhere([&](const TRecord* rec) {
        if (rec->Modified == 0 || rec->PinCount > 0) return false;
        if (FBlockLength > 0) {
            int64_t slotStart = dataStart + static_cast<int64_t>(rec->RecordNumber - 1) * r;
            if (slotStart + r > FBlockStart && slotStart < FBlockStart + FBlockLength) return false;
        }
        return true;
    });
    // What is written leaves the window behind; it is read again when wanted.
    if (!dirty.empty()) DropRecordWindow();
    bool written = false;
    const std::size_t maxRun =
        r > 0 ? std::max<std::size_t>(1, static_cast<std::size_t>(RECORD_RUN_WRITE_LIMIT / r)) : 1;
    // Records a few slots apart go out in one write, with the slots between them
    // as the file holds them: changes scattered over the file (an UPDATE through
    // an index) would otherwise cost a write each, and the journal a read each.
    const uint32_t joinGap = r > 0 ? static_cast<uint32_t>(RECORD_JOIN_GAP / r) : 0;
    std::size_t i = 0;
    while (i < dirty.size()) {
        const uint32_t firstNo = dirty[i]->RecordNumber;
        std::size_t j = i + 1;
        bool gaps = false;
        while (j < dirty.size() && dirty[j]->RecordNumber - firstNo < maxRun &&
               dirty[j]->RecordNumber - dirty[j - 1]->RecordNumber <= joinGap + 1) {
            gaps = gaps || dirty[j]->RecordNumber != dirty[j - 1]->RecordNumber + 1;
            ++j;
        }
        const uint32_t slots = dirty[j - 1]->RecordNumber - firstNo + 1;
        const int64_t runBytes = static_cast<int64_t>(slots) * r;
        const int64_t runStart = dataStart + static_cast<int64_t>(firstNo - 1) * r;
        ResizeWriteBuffer(static_cast<int32_t>(runBytes));
        auto* bytes = static_cast<uint8_t*>(FWriteBuffer);
        try {
            TFileSectionGuard guard(*this);
            if (gaps) {
                // Slots past the end of the file are zero there.
                Seek(soFromBeginning, runStart);
                const int32_t got = std::max(ReadBuffer(bytes, static_cast<int32_t>(runBytes), true), 0);
                std::memset(bytes + got, 0, static_cast<std::size_t>(runBytes - got));
            }
            for (std::size_t k = i; k < j; ++k)
                dirty[k]->SaveToBuffer(bytes + static_cast<std::size_t>(dirty[k]->RecordNumber - firstNo) * r);
            Seek(soFromBeginning, runStart);
            WriteBuffer(bytes, static_cast<int32_t>(runBytes));
        } catch (...) {
            // Not on disk: the records still have to be written.
            for (std::size_t k = i; k < j; ++k) dirty[k]->Modified = 1;
            throw;
        }
        ++FStatistics.RunWrites;
        SetWritten();
        written = true;
        i = j;
    }
    return written;
}

void TDataFile::FreeRecordCache() {
    DropRecordWindow();
    FCache.DropAll([this](TRecord* r) {
        if (r->PinCount > 0) {
            r->Detached = true;
            FDetached.push_back(r);
        } else if (FPool) {
            FPool->Push(r);
        } else {
            delete r;
        }
    });
}

void TDataFile::TrimRecordCache() {
    if (!FPool) return;
    FCache.Trim(
        GetCacheLimit(), [this] { return FlushToRecycle(); }, [this] { RaiseError(KURA_FILECORRUPT); },
        [this](TRecord* r) { FPool->Push(r); });
}

TRecord* TDataFile::PopRecord() { return FPool ? FPool->Pop() : new TRecord(this); }

void TDataFile::PushRecord(TRecord*& record) {
    if (FPool) {
        FPool->Push(record);
    } else {
        delete record;
        record = nullptr;
    }
}

}  // namespace kura
