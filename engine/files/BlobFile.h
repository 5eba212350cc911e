#pragma once
// A table's BLOB file, NAME.BLB: a 512-byte header, then fixed-size blocks of B
// bytes (the table's BLOB block size). A BLOB value is a chain of blocks, each with
// an 18-byte block header (prior, next, bytes used, BLOB id, total length) and
// B - 18 data bytes; unused blocks form one free chain from the header.
//
// Blocks are cached, pinned by the caller that reads them, and written back in runs
// of consecutive blocks. The reader byte and writer range let programs share the
// file as they share the index file.
//
// Every block number that comes from the disk (a next link, the free head) is
// checked against the last block in use before it is followed, and every walk of a
// chain remembers the blocks it has seen: a chain that runs into itself is a corrupt
// file (8963), never an endless loop or a block freed twice.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/files/BlobFileOwner.h"
#include "engine/files/FileHandler.h"
#include "engine/files/MruCache.h"

namespace kura {

constexpr int32_t BLOB_HEADER_SIZE = 512;
constexpr int32_t BLOCK_HEADER_SIZE = 18;
constexpr uint8_t BLOB_FILE_VERSION = 5;
// Smallest block that leaves room for data beside the block header.
constexpr int32_t MIN_BLOB_BLOCK_SIZE = 64;
constexpr uint16_t DEFAULT_BLOB_BLOCK_BYTES = 512;
// Read-ahead brings at most this many bytes of consecutive blocks.
constexpr int32_t BLOB_READ_AHEAD_BYTES = 16384;
constexpr int32_t BLOCK_POOL_CAPACITY = 32;
constexpr int32_t BLOCK_CACHE_GROWTH = 32;
// A new block must not exceed this number, nor end beyond the byte limit.
constexpr uint32_t BLOCK_NUMBER_LIMIT = 2000000000;
constexpr int64_t BLOB_FILE_SIZE_LIMIT = 4000000000LL;
// Session defaults for a BLOB file without an owner.
constexpr int32_t DEFAULT_BLOB_BUFFER_SIZE = 32768;
constexpr int32_t DEFAULT_BLOB_BUFFER_COUNT = 8192;

// Lock bytes, beyond any real file size: the writer range covers every reader byte.
constexpr int64_t BLOB_WRITER_LOCK_OFFSET = 0xFFFEFFFFLL;
constexpr int64_t BLOB_WRITER_LOCK_LENGTH = 0x10000LL;
constexpr int64_t BLOB_READER_LOCK_BASE = 0xFFFFFFFFLL;  // reader r locks BASE - r
constexpr int32_t BLOB_LOCK_ATTEMPTS = 32767;
constexpr int32_t BLOB_LOCK_SLEEP_MS = 3;

// Byte offsets inside the file header.
namespace bho {
constexpr int ChangeCount = 0;
constexpr int Version = 8;
constexpr int FreeHead = 9;
constexpr int NextBlock = 13;
constexpr int Modified = 17;
}  // namespace bho

// Byte offsets inside a block header.
namespace bkh {
constexpr int Prior = 0;
constexpr int Next = 4;
constexpr int Used = 8;
constexpr int BlobId = 10;
constexpr int TotalLength = 14;
}  // namespace bkh

using TBlobHeader = std::array<uint8_t, BLOB_HEADER_SIZE>;

class TBlobFile;

// One cached block. Handed out pinned; a pinned or modified block is never
// recycled, and a pinned one is never written.
class TBlock {
public:
    // Sized for the owner's block size, all zero.
    explicit TBlock(TBlobFile* owner);
    TBlock(const TBlock&) = delete;
    TBlock& operator=(const TBlock&) = delete;

    // Takes a disk image of B bytes; an encrypted table's image is unscrambled in
    // place in `buffer` first (block header and data separately).
    void LoadFromBuffer(uint8_t* buffer);
    // Writes the B-byte disk image, scrambled when the table is encrypted.
    void SaveToBuffer(uint8_t* buffer);
    // Copies at most `count` of the used data bytes from `offset` on; the bytes
    // copied. 10029 when the transfer exceeds the data part; 8963 when the block
    // claims more used bytes than it has room for.
    int32_t ReadData(int32_t offset, int32_t count, void* dest);
    // Copies `count` bytes in at `offset`; used bytes := offset + count. 10029 when
    // the transfer does not fit into the data part.
    int32_t WriteData(int32_t offset, int32_t count, const void* source);
    void Clear();
    void SetPrior(uint32_t value);
    void SetNext(uint32_t value);
    void SetBlobId(uint32_t value);
    void SetTotalSize(uint32_t value);
    void SetUsedBytes(uint16_t value);

    void Pin() { ++PinCount; }
    void Unpin() {
        if (PinCount > 0) --PinCount;
    }
    void ResetPins() { PinCount = 0; }

    int32_t DataSize() const { return static_cast<int32_t>(Data.size()); }
    uint8_t* GetData() { return Data.data(); }

    TBlobFile* Owner;
    uint8_t Modified = 0;
    uint16_t PinCount = 0;
    uint32_t BlockNumber = 0;
    std::array<uint8_t, BLOCK_HEADER_SIZE> HeaderImage{};
    std::vector<uint8_t> Data;
    uint16_t UsedBytes = 0;
    uint32_t BlobId = 0;
    uint32_t TotalLength = 0;
    uint32_t Prior = 0;
    uint32_t Next = 0;
    // Recency chain: MruOlder points towards the least recently used end.
    TBlock* MruOlder = nullptr;
    TBlock* MruNewer = nullptr;
    // Dropped from the cache while still pinned; goes to the pool at release.
    bool Detached = false;
};

// Idle blocks kept for reuse.
class TBlockStack {
public:
    explicit TBlockStack(TBlobFile* owner);
    ~TBlockStack();
    TBlockStack(const TBlockStack&) = delete;
    TBlockStack& operator=(const TBlockStack&) = delete;

    // A pooled block, cleared, unpinned and sized for the owner's block size; else a
    // new one.
    TBlock* Pop();
    // Keeps the block while fewer than 32 are pooled, else destroys it; clears the
    // caller's variable. Nothing happens for nullptr.
    void Push(TBlock*& block);
    void Clear();
    int32_t Count() const { return static_cast<int32_t>(Blocks.size()); }

private:
    TBlobFile* Owner;
    std::vector<TBlock*> Blocks;
};

// Transfer counters of the block cache, zeroed at open.
struct TBlobFileStatistics {
    uint32_t BlockReads = 0;   // disk reads of block runs
    uint32_t BlocksRead = 0;   // blocks those reads brought
    uint32_t RunWrites = 0;    // disk writes of block runs
    uint32_t BlocksWritten = 0;
};

class TBlobFile : public TFileHandler {
public:
    // The owner may be nullptr for a BLOB file used on its own (tools, tests): the
    // file name then stands for the table name, the file is not encrypted and the
    // session defaults apply.
    explicit TBlobFile(TBlobFileOwner* owner);
    ~TBlobFile() override;

    // ---- Lifecycle ------------------------------------------------------------
    // Reads and checks the header. Refused: a block size below 64 (9498), a version
    // other than 5 (12035), a header whose block counter is impossible or counts
    // blocks beyond the end of the file (8961). A failed open leaves the file closed.
    void OpenFile() override;
    // Drops the cached blocks without writing them, then closes.
    void CloseFile() override;
    // Creates the file with the header of an empty BLOB file; the header reaches the
    // disk with the next WriteHeader.
    void CreateFile() override;
    void InitHeader() { CreateFile(); }

    // The table's block size, set before Open or Create; 0 stands for 512.
    void SetBlockSize(uint16_t size) { FBlockSize = size == 0 ? DEFAULT_BLOB_BLOCK_BYTES : size; }
    uint16_t GetBlockSize() const { return FBlockSize; }
    int32_t GetBlockDataSize() const { return static_cast<int32_t>(FBlockSize) - BLOCK_HEADER_SIZE; }

    // ---- Header ---------------------------------------------------------------
    void ReadHeader();
    // Writes the header when modified or `force`; true when written.
    bool WriteHeader(bool force);
    void MarkModified();
    // Re-reads the disk header; true (and the disk header taken) when its change
    // counter differs from the image's.
    bool HeaderChanged();
    void CheckVersion();
    // The repair check: version (12035), free head 0 or a block in use (8961).
    void VerifyHeader();
    // Empties the file: only the header remains; the cached blocks are dropped.
    void InitFile();
    uint32_t GetChangeCount() const;
    uint32_t GetFreeHead() const;
    uint32_t GetNextNewBlock() const;
    uint32_t GetLastBlockNumber() const { return GetNextNewBlock() - 1; }
    bool IsHeaderModified() const { return FHeader[bho::Modified] != 0; }
    const TBlobHeader& Header() const { return FHeader; }
    // Remote tables: the header image from a reply parameter (512 bytes, else 15002).
    void ReadHeaderFromReply(const std::vector<uint8_t>& parameter);

    // ---- Blocks ---------------------------------------------------------------
    // The pinned block N; the next new block number creates a block. With readAhead,
    // up to `count` consecutive blocks come in one transfer. False (and no block)
    // only when the cursor's change check found a change: the caller starts over.
    bool ReadBlock(TBlobCursor* cursor, uint32_t blockNo, TBlock*& block, int32_t count, bool readAhead);
    void ReleaseBlock(TBlock* block);
    // A cleared, pinned block from the free chain or the end of the file.
    bool AllocateBlock(TBlobCursor* cursor, TBlock*& block);
    // Puts the block at the head of the free chain.
    void FreeBlock(TBlock* block);
    // Frees the whole chain starting at `firstBlock` and sets it to 0. Without
    // repair a first block of another BLOB id is 8963; with repair ids are mended.
    bool FreeBlobChain(TBlobCursor* cursor, uint32_t& firstBlock, bool repair, uint32_t recordNo,
                       uint32_t blobId);
    // Frees `block` (pinned by the caller; this call takes over that pin in every
    // case) and every block after it. The chain is checked whole before anything is
    // freed: a link out of range, a chain that runs into itself or into a block in
    // use elsewhere, or (without repair) a block of another BLOB id is 8963 and
    // leaves the file unchanged.
    bool FreeBlockChain(TBlobCursor* cursor, TBlock* block, bool repair, uint32_t recordNo, uint32_t blobId,
                        int32_t count);
    // The same, also refusing a chain that runs into one of the `keep` blocks (the
    // blocks of a chain being rewritten, which must stay in use).
    bool FreeBlockChain(TBlobCursor* cursor, TBlock* block, bool repair, uint32_t recordNo, uint32_t blobId,
                        int32_t count, const std::unordered_set<uint32_t>* keep);
    // Blocks a BLOB of `length` bytes occupies.
    int32_t GetBlockCount(uint32_t length) const;

    // ---- Cache ----------------------------------------------------------------
    // Writes every modified, unpinned block in runs; true when anything was written.
    bool FlushBlocks();
    void TrimBlockCache();
    // Returns every cached block to the pool without writing.
    void FreeBlockCache();
    // Drops one clean, unpinned block (flushing first when none is clean).
    bool FlushToRecycle();
    int32_t GetCachedBlockCount() const { return FCache.Count(); }
    int32_t GetCacheCapacity() const { return FCache.Capacity; }
    int32_t GetCacheLimit() const;
    int32_t GetReadAheadLimit() const { return FReadAheadLimit; }
    TBlock* PopBlock();
    void PushBlock(TBlock*& block);
    const TBlobFileStatistics& Statistics() const { return FStatistics; }

    // ---- Locks ----------------------------------------------------------------
    // Up to 32,767 attempts, 3 ms apart.
    bool LockWrite();
    bool UnlockWrite();
    // A random reader byte r (1..65535), a new one for each attempt; r is needed to
    // unlock.
    bool LockRead(int32_t& r);
    bool UnlockRead(int32_t r);

    // ---- Owner ----------------------------------------------------------------
    bool IsEncrypted() const;
    std::string GetTableName() const;
    TTableErrorContext GetErrorContext() const;
    // Raises an engine error with the database and table names.
    [[noreturn]] void RaiseError(TEngineErrorCode code) const;
    // True when n names a block in use (1..last block).
    bool IsBlockInUse(uint32_t blockNo) const { return blockNo >= 1 && blockNo <= GetLastBlockNumber(); }

private:
    TBlobFileOwner* FOwner;
    void* FReadBuffer = nullptr;
    int32_t FReadCapacity = 0;
    void* FWriteBuffer = nullptr;
    int32_t FWriteCapacity = 0;
    TBlobHeader FHeader{};
    uint16_t FBlockSize = DEFAULT_BLOB_BLOCK_BYTES;
    TMruCache<TBlock, &TBlock::MruNewer, &TBlock::MruOlder, &TBlock::BlockNumber> FCache;  // found by block number
    std::vector<TBlock*> FDetached;
    std::unique_ptr<TBlockStack> FPool;
    int32_t FReadAheadLimit = 1;
    int64_t FReadAheadStart = 0;
    int64_t FReadAheadLength = 0;
    TBlobFileStatistics FStatistics;
    bool FFilesWritten = false;  // stands in for the owner's flag without an owner

    int64_t BlockOffset(uint32_t blockNo) const;
    void SetWritten();
    bool FilesWritten() const;
    void ResizeReadBuffer(int32_t size);
    void ResizeWriteBuffer(int32_t size);
    void CheckHeaderStructure(const TBlobHeader& header, int64_t fileSize) const;
    // The file size at the time of the read.
    int64_t ReadDiskHeader(TBlobHeader& header);
    void SetFreeHead(uint32_t blockNo);
    void SetNextNewBlock(uint32_t blockNo);
    void PrepareCache();

    TBlock* FindCachedBlock(uint32_t blockNo) const;
    // A clean, unpinned block taken out of the cache (after a flush outside a
    // transaction when none is clean), or nullptr.
    TBlock* TakeRecyclable();
    TBlock* GetCacheBlock(uint32_t blockNo);
    void DropBlock(TBlock* block);
    void ReadBlockRun(uint32_t blockNo, int32_t count);
};

}  // namespace kura
