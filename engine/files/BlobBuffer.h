#pragma once
// One open BLOB of a cursor, held whole in memory: loaded from its block chain when
// opened, changed in memory only, and written back as a chain when the record is
// posted. The chain is rewritten in place block by block; surplus blocks go back to
// the free chain and missing ones come from the free chain or the end of the file.
#include <cstdint>
#include <vector>

#include "engine/files/BlobFile.h"

namespace kura {

// Servers from this version on take the flag byte with a saved BLOB.
constexpr int64_t BLOB_FLAG_SERVER_VERSION = 32700;

class TBlobBuffer {
public:
    // Empty, not modified. The cursor must outlive the buffer.
    explicit TBlobBuffer(TBlobCursor* cursor);
    TBlobBuffer(const TBlobBuffer&) = delete;
    TBlobBuffer& operator=(const TBlobBuffer&) = delete;

    // A different size marks the BLOB modified; new bytes are zero.
    void SetSize(uint32_t size);
    uint32_t GetSize() const { return Size; }
    void AddRef() { ++OpenCount; }
    void Release() {
        if (OpenCount > 0) --OpenCount;
    }

    // Loads the chain of FirstBlock (BlobId and RecordNumber set by the caller).
    // 8708 when the chain belongs to another BLOB id, 8711 when it ends before its
    // length, 8963 for a corrupt chain.
    void Load();
    // Writes the bytes (size > 0) as the chain of FirstBlock, allocating the first
    // block when there is none. 8711 when not every byte found a block.
    void Save();
    // Size 0: frees the chain, mending id mismatches on the way.
    void SaveEmpty();

    uint8_t* GetBuffer() { return Bytes.data(); }
    const uint8_t* GetBuffer() const { return Bytes.data(); }
    const uint8_t* GetOriginalBuffer() const { return Original.data(); }
    uint32_t GetOriginalSize() const { return OriginalSize; }
    // The original := a copy of the current bytes.
    void CopyToOriginal();

    TBlobCursor* Owner;
    uint8_t Modified = 0;
    uint32_t BlobId = 0;
    uint32_t RecordNumber = 0;
    uint16_t FieldNumber = 0;
    uint32_t FirstBlock = 0;
    uint32_t Size = 0;
    uint32_t OriginalSize = 0;
    uint16_t OpenCount = 0;
    // Passed through for the cursor: the caller's open mode and whether the BLOB
    // goes away with the write of its record.
    uint8_t Mode = 0;
    bool FreeWithRecord = false;
    // Remote cursors: the flag byte and the server's reference sent with a save.
    uint8_t RemoteFlag = 0;
    int32_t RemoteReference = 0;

private:
    std::vector<uint8_t> Bytes;
    std::vector<uint8_t> Original;

    // One attempt; false when a block read found a change and the load must restart.
    bool TryLoad(TBlobFile& file);
    void LoadRemote();
    void SaveRemote();
};

}  // namespace kura
