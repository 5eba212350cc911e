#pragma once
// What a BLOB file needs of the table that owns it, and what an open BLOB needs of
// the cursor that opened it. The engine core implements these; the file layer never
// sees the table, session or cursor classes themselves.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/files/DataFileOwner.h"
#include "engine/files/RecycleFlush.h"

namespace kura {

class TBlobFile;

class TBlobFileOwner {
public:
    virtual ~TBlobFileOwner() = default;

    virtual std::string GetTableName() const = 0;
    virtual TTableErrorContext GetErrorContext() const = 0;

    // A table of a remote session keeps only the header image of its BLOB file.
    virtual bool IsRemote() const = 0;
    // The table's data header says its structures are scrambled.
    virtual bool IsEncrypted() const = 0;

    // Session settings: bytes of blocks and most blocks each block cache may hold.
    virtual int32_t GetBlobBufferSize() const = 0;
    virtual int32_t GetBlobBufferCount() const = 0;
    virtual bool GetStrictChangeDetection() const = 0;
    virtual bool GetForceBufferFlush() const = 0;

    // The table's files-modified flag, set by every write of its files.
    virtual bool GetFilesWritten() const = 0;
    virtual void SetFilesWritten() = 0;

    // A table-level transaction is open: nothing may be written before commit.
    virtual bool InTransaction() const = 0;

    // Called when the cache is full of modified items (see RecycleFlush.h).
    virtual TRecycleFlush FlushForRecycle() { return TRecycleFlush::Own; }
};

class TBlobCursor {
public:
    virtual ~TBlobCursor() = default;

    // The cursor's read bracket, taken before a cache miss goes to the disk: true
    // when another program changed the table and the cursor has refreshed itself,
    // so the caller must start over.
    virtual bool CheckBeforeCacheMiss() = 0;

    // The table's BLOB file; nullptr on a remote cursor.
    virtual TBlobFile* GetBlobFile() = 0;
    virtual bool IsRemote() const = 0;

    // Remote cursors only. The next parameter of the reply being read (the channel
    // raises 15002 when the reply holds no more); a parameter appended to the
    // request being built; the server's engine version as a Currency (3.27 is 32700).
    virtual std::vector<uint8_t> GetReplyParam() = 0;
    virtual void PutRequestParam(const void* bytes, uint32_t length) = 0;
    virtual int64_t GetServerVersion() const = 0;
};

}  // namespace kura
