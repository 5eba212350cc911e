#pragma once
// One cached record of a data file, and the small pool that recycles them.
//
// Cursors never see raw file bytes: every record they read, append, change or
// delete is a TRecord held in its data file's cache. A record handed out is pinned
// until the holder releases it; a pinned or modified record is never recycled,
// and a pinned one is never written.
#include <cstdint>
#include <vector>

namespace kura {

class TDataFile;

// The record header: deleted flag, record number (or the next deleted slot),
// auto-increment value; the fields follow at offset 9.
constexpr int32_t RECORD_HEADER_SIZE = 9;
constexpr int32_t RH_DELETED = 0;
constexpr int32_t RH_NUMBER = 1;
constexpr int32_t RH_AUTOINC = 5;

// Records kept in a pool; one returned to a full pool is destroyed.
constexpr int32_t RECORD_POOL_CAPACITY = 64;

class TRecord {
public:
    // Sized for the owner's record size, all bytes zero.
    explicit TRecord(TDataFile* owner);
    TRecord(const TRecord&) = delete;
    TRecord& operator=(const TRecord&) = delete;

    // Zeroes the buffer; with assignAutoInc the header takes the owner's next
    // auto-increment value. The header then carries the record number.
    void Clear(bool assignAutoInc);
    // Copies a slot image in; an encrypted table's image is unscrambled in place in
    // `source` first. A live record gets its own number at header offset 1.
    void LoadFromBuffer(uint8_t* source);
    // Copies the record out; scrambled in `target` when the table is encrypted.
    void SaveToBuffer(uint8_t* target);

    bool IsDeleted() const { return Buffer[RH_DELETED] != 0; }
    void SetDeleted(bool deleted);
    // The next slot of the deleted-record chain; 0 for a live record.
    uint32_t GetNextDeleted() const;
    void SetNextDeleted(uint32_t next);
    uint32_t GetAutoIncValue() const;
    void SetAutoIncValue(uint32_t value);
    void SetRecordNumber(uint32_t number);
    uint32_t GetRecordNumber() const { return RecordNumber; }
    void SetRecordSize(uint16_t size);
    uint16_t GetRecordSize() const { return RecordSize; }
    void SetSortKeySize(uint16_t size);

    // Owner, modified flag, number and the common part of the bytes; not the pins.
    void Assign(const TRecord& source);
    // True when the record's bytes equal `buffer` (RecordSize bytes): the cursor's
    // test that another user changed the record.
    bool EqualsBuffer(const uint8_t* buffer) const;
    // Takes the fields (bytes 9 and up) of a caller's record buffer, keeping the
    // record header.
    void SetFieldData(const uint8_t* buffer);

    uint8_t* GetBuffer() { return Buffer.data(); }
    const uint8_t* GetBuffer() const { return Buffer.data(); }
    uint8_t* GetSortKey() { return SortKey.data(); }

    void Pin() { ++PinCount; }
    void Unpin() {
        if (PinCount > 0) --PinCount;
    }
    void ResetPin() { PinCount = 0; }

    TDataFile* Owner;
    uint8_t Modified = 0;
    uint16_t PinCount = 0;
    uint32_t RecordNumber = 0;
    uint16_t RecordSize = 0;
    // Most-recently-used chain: Next is older, Prior is newer.
    TRecord* Next = nullptr;
    TRecord* Prior = nullptr;
    uint16_t SortKeyLength = 0;
    int32_t RunIndex = 0;
    // Dropped from the cache while still pinned; returns to the pool at release.
    bool Detached = false;

private:
    std::vector<uint8_t> Buffer;   // capacity in steps of 64 bytes
    std::vector<uint8_t> SortKey;  // capacity in steps of 64 bytes, only grows
};

class TRecordStack {
public:
    explicit TRecordStack(TDataFile* owner);
    ~TRecordStack();
    TRecordStack(const TRecordStack&) = delete;
    TRecordStack& operator=(const TRecordStack&) = delete;

    // A pooled record, cleared, unpinned and sized for the owner; else a new one.
    TRecord* Pop();
    // Keeps the record while fewer than 64 are pooled, else destroys it; clears the
    // caller's variable. Nothing happens for nullptr.
    void Push(TRecord*& record);
    int32_t Count() const { return static_cast<int32_t>(Records.size()); }

private:
    TDataFile* Owner;
    std::vector<TRecord*> Records;
};

}  // namespace kura
