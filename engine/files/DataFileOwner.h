#pragma once
// What a data file needs of the table that owns it and of the cursor that reads
// through it. The engine core implements these; the file layer never sees the
// table, session or cursor classes themselves.
#include <cstdint>
#include <vector>
#include <string>

#include "engine/files/RecycleFlush.h"

namespace kura {

// The context strings an engine error of a table carries besides the table name.
struct TTableErrorContext {
    std::string Server;
    std::string User;
    std::string Database;
};

class TDataFileOwner {
public:
    virtual ~TDataFileOwner() = default;

    virtual std::string GetTableName() const = 0;
    virtual TTableErrorContext GetErrorContext() const = 0;

    // A table of a remote session keeps no file and no record cache.
    virtual bool IsRemote() const = 0;

    // Session settings.
    virtual int32_t GetRecordBufferSize() const = 0;   // bytes of cached records
    virtual int32_t GetRecordBufferCount() const = 0;  // most cached records
    virtual bool GetStrictChangeDetection() const = 0;
    virtual bool GetForceBufferFlush() const = 0;

    // Set by every header write, record write and MarkModified of the table's files
    // since the table was opened; the table clears it when it closes.
    virtual bool GetFilesWritten() const = 0;
    virtual void SetFilesWritten() = 0;

    // A table-level transaction is open: nothing may be written before commit.
    virtual bool InTransaction() const = 0;

    // Called when the cache is full of modified items (see RecycleFlush.h).
    virtual TRecycleFlush FlushForRecycle() { return TRecycleFlush::Own; }

    // The index file's flag for tables kept in record-number order; deleted slots
    // are then never reused.
    virtual bool GetNoPrimaryIndex() const = 0;

    // Where a record sort writes its run files, and the record count it leaves.
    virtual std::string GetPrivateDirectory() const { return {}; }
    virtual void SetRecordCount(uint32_t /*count*/) {}
};

class TDataFileCursor {
public:
    virtual ~TDataFileCursor() = default;

    // The cursor's read bracket, taken before a cache miss goes to the disk: true
    // when another program changed the table and the cursor has moved itself back
    // onto its position, so the record asked for may no longer be the right one.
    virtual bool CheckBeforeCacheMiss() = 0;

    // How many records with consecutive numbers, starting with the current one, the
    // cursor will visit next in its order and this direction (1 forward, other
    // values backward); at most `maximum`.
    virtual int32_t GetReadAheadCount(int32_t maximum, int32_t direction) = 0;

    // The record numbers the cursor visits next after the current one, in its order
    // and this direction, as far as it knows them without reading (at most
    // `maximum`): a miss loads the uncached ones with the record asked for, within
    // the one change check.
    virtual void GetUpcomingRecords(int32_t maximum, int32_t direction, std::vector<uint32_t>& numbers) {
        (void)maximum;
        (void)direction;
        numbers.clear();
    }

    // Like GetUpcomingRecords, but on through the index past the current leaf (at
    // most `maximum`), with pages read without the caches' change checks: a guess at
    // what is coming, to read ahead by, never what a record is read as.
    virtual void GetRecordsAhead(int32_t maximum, int32_t direction, std::vector<uint32_t>& numbers) {
        (void)maximum;
        (void)direction;
        numbers.clear();
    }
};

}  // namespace kura
