#pragma once
// What an index file needs of the table that owns it and of the cursor that walks
// its trees. The engine core implements these; the file layer never sees the
// table, session or cursor classes themselves.
#include <cstdint>
#include <string>

#include "engine/files/DataFileOwner.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/RecycleFlush.h"

namespace kura {

// What the index header checks need to know of one field of the data file.
struct TIndexKeyField {
    std::string Name;
    TEngineFieldType FieldType = 0;
    uint8_t SubType = 0;
    uint8_t DataSize = 0;  // width of the value in a key segment
};

class TIndexFileOwner {
public:
    virtual ~TIndexFileOwner() = default;

    virtual std::string GetTableName() const = 0;
    virtual TTableErrorContext GetErrorContext() const = 0;

    // A table of a remote session keeps only the header image.
    virtual bool IsRemote() const = 0;
    // The table scramble applies to headers and pages.
    virtual bool IsEncrypted() const = 0;
    // Tables of the in-memory database keep their side files in memory too.
    virtual bool IsMemory() const = 0;

    // Session settings.
    virtual int32_t GetIndexCacheLimit() const = 0;  // bytes of cached pages per index
    virtual bool GetStrictChangeDetection() const = 0;
    virtual bool GetForceBufferFlush() const = 0;
    virtual std::string GetPrivateDirectory() const = 0;
    virtual uint16_t GetLanguageId() const = 0;
    virtual uint16_t GetSortId() const = 0;

    // Set by every write to the table's files since it was opened.
    virtual bool GetFilesWritten() const = 0;
    virtual void SetFilesWritten() = 0;
    // A table-level transaction is open: nothing is forced to disk before commit.
    virtual bool InTransaction() const = 0;

    // Called when the cache is full of modified items (see RecycleFlush.h).
    virtual TRecycleFlush FlushForRecycle() { return TRecycleFlush::Own; }

    // Fields of the data file, numbered from 1; false when there is no such field.
    virtual uint16_t GetFieldCount() const = 0;
    virtual bool GetKeyField(uint16_t fieldNo, TIndexKeyField& field) const = 0;
};

// The cursor that descends an index. Its path records, for each level of the
// current descent (1 = the root, at most 64), the slot chosen in the page of that
// level and the number of that page's parent (0 at the root).
class TIndexCursor {
public:
    virtual ~TIndexCursor() = default;

    // The index the cursor works on: 0..32.
    virtual uint8_t GetIndexNumber() const = 0;

    // The cursor's read bracket, taken before a cache miss goes to the disk: true
    // when another program changed the table and the cursor has refreshed itself,
    // so the page asked for may no longer be the right one.
    virtual bool CheckBeforeCacheMiss() = 0;

    // The cursor's key comparison over keySize bytes: below 0 when the entry's key
    // sorts before the key, 0 when equal, above 0 when after.
    virtual int32_t CompareKeys(const uint8_t* entryKey, const uint8_t* key, uint16_t keySize) = 0;
    // True when CompareKeys orders keys as their unsigned bytes from the first (of
    // the index the cursor is on now): a page search may then compare the bytes
    // itself instead of calling it for every probe.
    virtual bool KeysCompareAsBytes() const { return false; }

    virtual uint8_t GetPathDepth() const = 0;
    virtual void SetPathDepth(uint8_t depth) = 0;
    virtual uint32_t GetPathSlot(uint8_t depth) const = 0;
    virtual void SetPathSlot(uint8_t depth, uint32_t slot) = 0;
    virtual uint32_t GetPathParent(uint8_t depth) const = 0;
};

}  // namespace kura
