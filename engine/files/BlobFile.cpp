#include "engine/files/BlobFile.h"
#include "engine/files/EngineRandom.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <unordered_set>

#include "engine/files/FieldDesc.h"
#include "engine/files/KeyEncoding.h"
#include "engine/files/Routines.h"

namespace kura {

using namespace dfbytes;

namespace {

constexpr int32_t BUFFER_STEP = 4096;
// A flush writes long runs in chunks of at most this many bytes.
constexpr int64_t MAX_RUN_BYTES = 1 << 24;

}  // namespace

// ---- TBlock -------------------------------------------------------------------

TBlock::TBlock(TBlobFile* owner)
    : Owner(owner), Data(static_cast<std::size_t>(std::max(owner ? owner->GetBlockDataSize() : 0, 0))) {}

void TBlock::LoadFromBuffer(uint8_t* buffer) {
    const int32_t dataSize = std::max(Owner->GetBlockDataSize(), 0);
    if (Owner->IsEncrypted()) {
        UnscrambleBuffer(buffer, BLOCK_HEADER_SIZE, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
        UnscrambleBuffer(buffer + BLOCK_HEADER_SIZE, dataSize, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    }
    std::memcpy(HeaderImage.data(), buffer, BLOCK_HEADER_SIZE);
    Data.resize(static_cast<std::size_t>(dataSize));
    if (dataSize > 0) std::memcpy(Data.data(), buffer + BLOCK_HEADER_SIZE, static_cast<std::size_t>(dataSize));
    Prior = GetU32(&HeaderImage[bkh::Prior]);
    Next = GetU32(&HeaderImage[bkh::Next]);
    UsedBytes = GetU16(&HeaderImage[bkh::Used]);
    BlobId = GetU32(&HeaderImage[bkh::BlobId]);
    TotalLength = GetU32(&HeaderImage[bkh::TotalLength]);
    Modified = 0;
}

void TBlock::SaveToBuffer(uint8_t* buffer) {
    const int32_t dataSize = std::max(Owner->GetBlockDataSize(), 0);
    PutU32(&HeaderImage[bkh::Prior], Prior);
    PutU32(&HeaderImage[bkh::Next], Next);
    PutU16(&HeaderImage[bkh::Used], UsedBytes);
    PutU32(&HeaderImage[bkh::BlobId], BlobId);
    PutU32(&HeaderImage[bkh::TotalLength], TotalLength);
    std::memcpy(buffer, HeaderImage.data(), BLOCK_HEADER_SIZE);
    const std::size_t have = std::min(Data.size(), static_cast<std::size_t>(dataSize));
    if (have > 0) std::memcpy(buffer + BLOCK_HEADER_SIZE, Data.data(), have);
    if (have < static_cast<std::size_t>(dataSize))
        std::memset(buffer + BLOCK_HEADER_SIZE + have, 0, static_cast<std::size_t>(dataSize) - have);
    if (Owner->IsEncrypted()) {
        ScrambleBuffer(buffer, BLOCK_HEADER_SIZE, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
        ScrambleBuffer(buffer + BLOCK_HEADER_SIZE, dataSize, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    }
    Modified = 0;
}

int32_t TBlock::ReadData(int32_t offset, int32_t count, void* dest) {
    const int32_t size = DataSize();
    if (offset < 0 || count < 0 || count > size || offset > size) Owner->RaiseError(KURA_INVALIDBLOBLEN);
    // The used count comes from the disk: a block cannot hold more than its data part.
    if (UsedBytes > size) Owner->RaiseError(KURA_MEMOCORRUPT);
    int32_t n = std::min<int32_t>(count, static_cast<int32_t>(UsedBytes) - offset);
    if (n <= 0) return 0;
    std::memcpy(dest, Data.data() + offset, static_cast<std::size_t>(n));
    return n;
}

int32_t TBlock::WriteData(int32_t offset, int32_t count, const void* source) {
    const int32_t size = DataSize();
    if (offset < 0 || count < 0 || count > size || offset > size - count) Owner->RaiseError(KURA_INVALIDBLOBLEN);
    UsedBytes = static_cast<uint16_t>(offset + count);
    if (count > 0) std::memcpy(Data.data() + offset, source, static_cast<std::size_t>(count));
    Modified = 1;
    return count;
}

void TBlock::Clear() {
    HeaderImage.fill(0);
    Data.assign(static_cast<std::size_t>(std::max(Owner ? Owner->GetBlockDataSize() : 0, 0)), 0);
    UsedBytes = 0;
    BlobId = 0;
    TotalLength = 0;
    Prior = 0;
    Next = 0;
    Modified = 0;
}

void TBlock::SetPrior(uint32_t value) {
    if (Prior == value) return;
    Prior = value;
    Modified = 1;
}

void TBlock::SetNext(uint32_t value) {
    if (Next == value) return;
    Next = value;
    Modified = 1;
}

void TBlock::SetBlobId(uint32_t value) {
    if (BlobId == value) return;
    BlobId = value;
    Modified = 1;
}

void TBlock::SetTotalSize(uint32_t value) {
    if (TotalLength == value) return;
    TotalLength = value;
    Modified = 1;
}

void TBlock::SetUsedBytes(uint16_t value) {
    if (UsedBytes == value) return;
    UsedBytes = value;
    Modified = 1;
}

// ---- TBlockStack --------------------------------------------------------------

TBlockStack::TBlockStack(TBlobFile* owner) : Owner(owner) {}

TBlockStack::~TBlockStack() { Clear(); }

TBlock* TBlockStack::Pop() {
    if (Blocks.empty()) return new TBlock(Owner);
    TBlock* b = Blocks.back();
    Blocks.pop_back();
    b->Clear();
    b->ResetPins();
    b->BlockNumber = 0;
    b->MruOlder = b->MruNewer = nullptr;
    b->Detached = false;
    return b;
}

void TBlockStack::Push(TBlock*& block) {
    if (!block) return;
    if (static_cast<int32_t>(Blocks.size()) < BLOCK_POOL_CAPACITY)
        Blocks.push_back(block);
    else
        delete block;
    block = nullptr;
}

void TBlockStack::Clear() {
    for (TBlock* b : Blocks) delete b;
    Blocks.clear();
}

// ---- TBlobFile: owner and helpers ---------------------------------------------

TBlobFile::TBlobFile(TBlobFileOwner* owner) : TFileHandler(owner), FOwner(owner) {
    if (!owner || !owner->IsRemote()) FPool = std::make_unique<TBlockStack>(this);
}

TBlobFile::~TBlobFile() {
    try {
        if (IsOpen) TBlobFile::CloseFile();
    } catch (...) {
        // A destructor cannot report a failed close; the file object stays with the registry.
    }
    FreeBlockCache();
    for (TBlock* b : FDetached) delete b;
    FDetached.clear();
    FPool.reset();
    std::free(FReadBuffer);
    std::free(FWriteBuffer);
}

bool TBlobFile::IsEncrypted() const { return FOwner && FOwner->IsEncrypted(); }

std::string TBlobFile::GetTableName() const { return FOwner ? FOwner->GetTableName() : FileName; }

TTableErrorContext TBlobFile::GetErrorContext() const {
    return FOwner ? FOwner->GetErrorContext() : TTableErrorContext{};
}

void TBlobFile::RaiseError(TEngineErrorCode code) const {
    TTableErrorContext context = GetErrorContext();
    RaiseEngineError(code, context.Server, context.User, context.Database, GetTableName());
}

void TBlobFile::SetWritten() {
    FFilesWritten = true;
    if (FOwner) FOwner->SetFilesWritten();
}

bool TBlobFile::FilesWritten() const { return FOwner ? FOwner->GetFilesWritten() : FFilesWritten; }

int64_t TBlobFile::BlockOffset(uint32_t blockNo) const {
    return BLOB_HEADER_SIZE + (static_cast<int64_t>(blockNo) - 1) * FBlockSize;
}

void TBlobFile::ResizeReadBuffer(int32_t size) {
    if (size > FReadCapacity) RoundUpToMultiple(size, BUFFER_STEP, FReadBuffer, FReadCapacity);
}

void TBlobFile::ResizeWriteBuffer(int32_t size) {
    if (size > FWriteCapacity) RoundUpToMultiple(size, BUFFER_STEP, FWriteBuffer, FWriteCapacity);
}

int32_t TBlobFile::GetCacheLimit() const {
    int32_t bufferSize = FOwner ? FOwner->GetBlobBufferSize() : DEFAULT_BLOB_BUFFER_SIZE;
    int32_t bufferCount = FOwner ? FOwner->GetBlobBufferCount() : DEFAULT_BLOB_BUFFER_COUNT;
    bufferSize = std::max(bufferSize, 0);
    bufferCount = std::max(bufferCount, 0);
    return std::min(bufferSize / FBlockSize, bufferCount);
}

void TBlobFile::PrepareCache() {
    FCache.Capacity = GetCacheLimit();
    FReadAheadLimit = std::max(BLOB_READ_AHEAD_BYTES / FBlockSize, 1);
}

int32_t TBlobFile::GetBlockCount(uint32_t length) const {
    const int64_t dataSize = GetBlockDataSize();
    if (length == 0 || dataSize <= 0) return 0;
    int64_t blocks = (static_cast<int64_t>(length) + dataSize - 1) / dataSize;
    // The length comes from the disk; no chain has more blocks than the file.
    blocks = std::min<int64_t>(blocks, GetLastBlockNumber());
    return static_cast<int32_t>(blocks);
}

// ---- Lifecycle ------------------------------------------------------------------

void TBlobFile::OpenFile() {
    if (IsOpen) return;
    if (FBlockSize < MIN_BLOB_BLOCK_SIZE) RaiseError(KURA_BLOBLIMIT);
    TFileHandler::OpenFile();
    try {
        ReadHeader();
        CheckVersion();
        FStatistics = {};
        PrepareCache();
    } catch (...) {
        TFileHandler::CloseFile();
        throw;
    }
}

void TBlobFile::CloseFile() {
    if (!IsOpen) return;
    FreeBlockCache();
    TFileHandler::CloseFile();
}

void TBlobFile::CreateFile() {
    if (FBlockSize < MIN_BLOB_BLOCK_SIZE) RaiseError(KURA_BLOBLIMIT);
    TFileHandler::CreateFile();
    FreeBlockCache();
    FHeader.fill(0);
    FHeader[bho::Version] = BLOB_FILE_VERSION;
    PutU32(&FHeader[bho::FreeHead], 0);
    PutU32(&FHeader[bho::NextBlock], 1);
    FHeader[bho::Modified] = 1;
    FStatistics = {};
    PrepareCache();
}

// ---- Header -----------------------------------------------------------------------

uint32_t TBlobFile::GetChangeCount() const { return GetU32(&FHeader[bho::ChangeCount]); }
uint32_t TBlobFile::GetFreeHead() const { return GetU32(&FHeader[bho::FreeHead]); }
uint32_t TBlobFile::GetNextNewBlock() const { return GetU32(&FHeader[bho::NextBlock]); }

void TBlobFile::SetFreeHead(uint32_t blockNo) {
    if (GetFreeHead() == blockNo) return;
    PutU32(&FHeader[bho::FreeHead], blockNo);
    FHeader[bho::Modified] = 1;
}

void TBlobFile::SetNextNewBlock(uint32_t blockNo) {
    if (GetNextNewBlock() == blockNo) return;
    PutU32(&FHeader[bho::NextBlock], blockNo);
    FHeader[bho::Modified] = 1;
}

// The block counter bounds every chain walk, so it must be sound before it is taken:
// blocks are always written before the header that counts them, so every block
// below the counter lies inside the file.
void TBlobFile::CheckHeaderStructure(const TBlobHeader& header, int64_t fileSize) const {
    if (header[bho::Version] != BLOB_FILE_VERSION) RaiseError(KURA_OLDVERSION);
    uint32_t next = GetU32(&header[bho::NextBlock]);
    if (next == 0 || next > BLOCK_NUMBER_LIMIT + 1) RaiseError(KURA_HEADERCORRUPT);
    if (BlockOffset(next) > fileSize) RaiseError(KURA_HEADERCORRUPT);
}

int64_t TBlobFile::ReadDiskHeader(TBlobHeader& header) {
    int64_t fileSize = 0;
    {
        TFileSectionGuard guard(*this);
        fileSize = GetFileSize();
        Seek(soFromBeginning, 0);
        if (ReadBuffer(header.data(), BLOB_HEADER_SIZE, true) != BLOB_HEADER_SIZE) RaiseError(KURA_HEADERCORRUPT);
    }
    if (IsEncrypted()) UnscrambleBuffer(header.data(), BLOB_HEADER_SIZE, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    return fileSize;
}

void TBlobFile::ReadHeader() {
    TBlobHeader header{};
    const int64_t fileSize = ReadDiskHeader(header);
    CheckHeaderStructure(header, fileSize);
    FHeader = header;
    FHeader[bho::Modified] = 0;
}

bool TBlobFile::WriteHeader(bool force) {
    if (FHeader[bho::Modified] == 0 && !force) return false;
    PutU32(&FHeader[bho::ChangeCount], GetChangeCount() + 1);
    ResizeWriteBuffer(BLOB_HEADER_SIZE);
    auto* bytes = static_cast<uint8_t*>(FWriteBuffer);
    std::memcpy(bytes, FHeader.data(), BLOB_HEADER_SIZE);
    if (IsEncrypted()) ScrambleBuffer(bytes, BLOB_HEADER_SIZE, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    {
        TFileSectionGuard guard(*this);
        Seek(soFromBeginning, 0);
        WriteBuffer(bytes, BLOB_HEADER_SIZE);
    }
    SetWritten();
    FHeader[bho::Modified] = 0;
    return true;
}

void TBlobFile::MarkModified() {
    PutU32(&FHeader[bho::ChangeCount], GetChangeCount() + 1);
    FHeader[bho::Modified] = 1;
    SetWritten();
}

bool TBlobFile::HeaderChanged() {
    // Every reader's check of every cache miss comes here: as for the data and
    // index files, the 4-byte change counter decides, and only a changed header is
    // read whole, with the file size its structure checks need.
    std::array<uint8_t, 4> counter{};
    {
        TFileSectionGuard guard(*this);
        Seek(soFromBeginning, bho::ChangeCount);
        if (ReadBuffer(counter.data(), static_cast<int32_t>(counter.size()), true) != 4)
            RaiseError(KURA_HEADERCORRUPT);
    }
    if (IsEncrypted())
        UnscrambleBuffer(counter.data(), static_cast<int32_t>(counter.size()), TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    if (GetU32(counter.data()) == GetChangeCount()) return false;
    TBlobHeader disk{};
    const int64_t fileSize = ReadDiskHeader(disk);
    if (GetU32(&disk[bho::ChangeCount]) == GetChangeCount()) return false;
    CheckHeaderStructure(disk, fileSize);
    FHeader = disk;
    FHeader[bho::Modified] = 0;
    return true;
}

void TBlobFile::CheckVersion() {
    if (FHeader[bho::Version] != BLOB_FILE_VERSION) RaiseError(KURA_OLDVERSION);
}

void TBlobFile::VerifyHeader() {
    CheckVersion();
    uint32_t head = GetFreeHead();
    if (head != 0 && !IsBlockInUse(head)) RaiseError(KURA_HEADERCORRUPT);
}

void TBlobFile::InitFile() {
    {
        TFileSectionGuard guard(*this);
        Seek(soFromBeginning, BLOB_HEADER_SIZE);
        WriteBuffer(nullptr, 0);
    }
    if (FOwner && FOwner->GetForceBufferFlush()) FlushFile();
    // The cached blocks belong to the content just cut away.
    FreeBlockCache();
    FHeader[bho::Version] = BLOB_FILE_VERSION;
    PutU32(&FHeader[bho::NextBlock], 1);
    PutU32(&FHeader[bho::FreeHead], 0);
    FHeader[bho::Modified] = 1;
}

void TBlobFile::ReadHeaderFromReply(const std::vector<uint8_t>& parameter) {
    if (parameter.size() != static_cast<std::size_t>(BLOB_HEADER_SIZE)) RaiseError(KURA_UNCOMPRESS);
    std::memcpy(FHeader.data(), parameter.data(), BLOB_HEADER_SIZE);
}

// ---- Cache lists ------------------------------------------------------------------

TBlock* TBlobFile::FindCachedBlock(uint32_t blockNo) const { return FCache.Find(blockNo); }

bool TBlobFile::FlushToRecycle() {
    // Inside a transaction nothing may reach the disk before the commit: the
    // blocks go to the held changes once the transaction's caches have reached
    // its budget, else they stay and the cache grows.
    if (FOwner && FOwner->InTransaction()) {
        if (!Held || !Held->TakesCachedChanges()) return false;
        FlushBlocks();
        return true;
    }
    switch (FOwner ? FOwner->FlushForRecycle() : TRecycleFlush::Own) {
        case TRecycleFlush::Defer: return false;
        case TRecycleFlush::Table: return true;
        case TRecycleFlush::Own: break;
    }
    FlushBlocks();
    return true;
}

TBlock* TBlobFile::TakeRecyclable() {
    return FCache.TakeRecyclable([this] { return FlushToRecycle(); }, [this] { RaiseError(KURA_MEMOCORRUPT); });
}

TBlock* TBlobFile::GetCacheBlock(uint32_t blockNo) {
    TBlock* b = FCache.Acquire(
        BLOCK_CACHE_GROWTH, [this] { return TakeRecyclable(); }, [this] { return FPool->Pop(); });
    b->Clear();
    b->ResetPins();
    b->BlockNumber = blockNo;
    return b;
}

void TBlobFile::DropBlock(TBlock* b) {
    FCache.Unlink(b);
    if (b->PinCount > 0) {
        // Its holder still uses it; it returns to the pool when released.
        b->Detached = true;
        FDetached.push_back(b);
    } else {
        FPool->Push(b);
    }
}

TBlock* TBlobFile::PopBlock() { return FPool ? FPool->Pop() : new TBlock(this); }

void TBlobFile::PushBlock(TBlock*& block) {
    if (FPool) {
        FPool->Push(block);
    } else {
        delete block;
        block = nullptr;
    }
}

// ---- Reading blocks -----------------------------------------------------------------

bool TBlobFile::ReadBlock(TBlobCursor* cursor, uint32_t blockNo, TBlock*& block, int32_t count, bool readAhead) {
    block = nullptr;
    if (blockNo == 0 || !FPool) RaiseError(KURA_MEMOCORRUPT);
    uint32_t next = GetNextNewBlock();

    if (blockNo == next) {
        if (blockNo > BLOCK_NUMBER_LIMIT ||
            static_cast<int64_t>(blockNo) * FBlockSize + BLOB_HEADER_SIZE > BLOB_FILE_SIZE_LIMIT)
            RaiseError(KURA_TABLEFULL);
        TBlock* b = GetCacheBlock(blockNo);
        // A block of that number left over from before an emptying is replaced.
        if (TBlock* stale = FCache.Replace(b); stale && stale != b) DropBlock(stale);
        // Written at the next flush even when nothing is put into it, so the file
        // always covers every block below the counter.
        b->Modified = 1;
        SetNextNewBlock(next + 1);
        b->Pin();
        block = b;
        return true;
    }
    if (blockNo > next) RaiseError(KURA_MEMOCORRUPT);

    TBlock* b = FCache.Lookup(blockNo, 4);
    if (b) {
        FCache.MoveToHead(b);
        b->Pin();
        block = b;
        return true;
    }

    if (cursor && !(FOwner && FOwner->GetStrictChangeDetection())) {
        if (cursor->CheckBeforeCacheMiss()) return false;
        // The refresh may have brought a new header.
        next = GetNextNewBlock();
        if (blockNo >= next) RaiseError(KURA_MEMOCORRUPT);
    }
    int32_t k = 1;
    if (readAhead) {
        k = std::min(FReadAheadLimit, count);
        k = static_cast<int32_t>(std::min<int64_t>(k, static_cast<int64_t>(next) - blockNo));
        k = std::max(k, 1);
    }
    ReadBlockRun(blockNo, k);
    b = FindCachedBlock(blockNo);
    if (!b || b->BlockNumber != blockNo) RaiseError(KURA_MEMOCORRUPT);
    FCache.MoveToHead(b);
    b->Pin();
    block = b;
    return true;
}

void TBlobFile::ReadBlockRun(uint32_t blockNo, int32_t count) {
    const int32_t size = FBlockSize;
    const int64_t length = static_cast<int64_t>(count) * size;
    const int64_t start = BlockOffset(blockNo);
    ResizeReadBuffer(static_cast<int32_t>(length));

    struct RangeGuard {
        TBlobFile& file;
        ~RangeGuard() {
            file.FReadAheadStart = 0;
            file.FReadAheadLength = 0;
        }
    } rangeGuard{*this};
    FReadAheadStart = start;
    FReadAheadLength = length;

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
    const int32_t blocks = std::max(got, 0) / size;
    FStatistics.BlocksRead += static_cast<uint32_t>(blocks);
    auto* bytes = static_cast<uint8_t*>(FReadBuffer);

    // The block asked for is loaded last, so recycling during the walk never takes
    // it back out of the cache.
    for (int32_t i = blocks - 1; i >= 0; --i) {
        uint32_t number = blockNo + static_cast<uint32_t>(i);
        uint8_t* image = bytes + static_cast<std::size_t>(i) * size;
        if (TBlock* cached = FindCachedBlock(number)) {
            if (cached->PinCount == 0 && cached->Modified == 0) cached->LoadFromBuffer(image);
            continue;
        }
        TBlock* fresh = GetCacheBlock(number);
        FCache.Insert(fresh, [this] { RaiseError(KURA_MEMOCORRUPT); });
        fresh->LoadFromBuffer(image);
    }
}

void TBlobFile::ReleaseBlock(TBlock* block) {
    if (!block) return;
    block->Unpin();
    if (block->Detached && block->PinCount == 0) {
        auto it = std::find(FDetached.begin(), FDetached.end(), block);
        if (it != FDetached.end()) FDetached.erase(it);
        block->Detached = false;
        PushBlock(block);
    }
}

// ---- Allocation and freeing -------------------------------------------------------

bool TBlobFile::AllocateBlock(TBlobCursor* cursor, TBlock*& block) {
    block = nullptr;
    const uint32_t head = GetFreeHead();
    // The free head comes from the disk: it must name a block in use.
    if (head != 0 && !IsBlockInUse(head)) RaiseError(KURA_MEMOCORRUPT);
    const uint32_t blockNo = head != 0 ? head : GetNextNewBlock();
    TBlock* b = nullptr;
    if (!ReadBlock(cursor, blockNo, b, 1, false)) return false;
    if (head != 0) {
        // A free block that someone holds, or a link out of range, means the free
        // chain runs into live data; following it would hand out a block twice.
        const uint32_t link = b->Next;
        if (b->PinCount > 1 || (link != 0 && !IsBlockInUse(link)) || link == blockNo) {
            ReleaseBlock(b);
            RaiseError(KURA_MEMOCORRUPT);
        }
        SetFreeHead(link);
    }
    b->Clear();
    b->Modified = 1;
    block = b;
    return true;
}

void TBlobFile::FreeBlock(TBlock* block) {
    if (!block) return;
    const uint32_t head = GetFreeHead();
    // Freeing the head again would make the free chain run into itself.
    if (head == block->BlockNumber) RaiseError(KURA_MEMOCORRUPT);
    block->SetNext(head);
    SetFreeHead(block->BlockNumber);
}

bool TBlobFile::FreeBlobChain(TBlobCursor* cursor, uint32_t& firstBlock, bool repair, uint32_t recordNo,
                              uint32_t blobId) {
    if (firstBlock == 0) return true;
    if (!IsBlockInUse(firstBlock)) RaiseError(KURA_MEMOCORRUPT);
    TBlock* b = nullptr;
    if (!ReadBlock(cursor, firstBlock, b, 1, false)) return false;
    if (b->BlobId != blobId && !repair) {
        ReleaseBlock(b);
        RaiseError(KURA_MEMOCORRUPT);
    }
    const int32_t count = GetBlockCount(b->TotalLength);
    if (!FreeBlockChain(cursor, b, repair, recordNo, blobId, count)) return false;
    firstBlock = 0;
    return true;
}

bool TBlobFile::FreeBlockChain(TBlobCursor* cursor, TBlock* block, bool repair, uint32_t recordNo,
                               uint32_t blobId, int32_t count) {
    return FreeBlockChain(cursor, block, repair, recordNo, blobId, count, nullptr);
}

bool TBlobFile::FreeBlockChain(TBlobCursor* cursor, TBlock* block, bool repair, uint32_t /*recordNo*/,
                               uint32_t blobId, int32_t count, const std::unordered_set<uint32_t>* keep) {
    if (!block) return true;
    const int32_t readAhead = count < 2 ? 1 : count - 1;

    // First the whole chain is walked and checked, so a corrupt one is refused
    // before any block of it has been freed.
    std::vector<uint32_t> chain{block->BlockNumber};
    std::unordered_set<uint32_t> seen{block->BlockNumber};
    TBlock* current = block;
    auto releaseCurrent = [&]() {
        if (current && current != block) ReleaseBlock(current);
        current = nullptr;
    };
    try {
        int32_t n = readAhead;
        while (current->Next != 0) {
            const uint32_t next = current->Next;
            if (!IsBlockInUse(next) || seen.count(next) || (keep && keep->count(next))) RaiseError(KURA_MEMOCORRUPT);
            TBlock* b = nullptr;
            if (!ReadBlock(cursor, next, b, n, true)) {
                releaseCurrent();
                ReleaseBlock(block);
                return false;
            }
            // Held by someone else: the chain runs into a block in use.
            if (b->PinCount >= 2 || (!repair && b->BlobId != blobId)) {
                ReleaseBlock(b);
                RaiseError(KURA_MEMOCORRUPT);
            }
            releaseCurrent();
            current = b;
            seen.insert(next);
            chain.push_back(next);
            if (n > 1) --n;
        }
        releaseCurrent();
    } catch (...) {
        releaseCurrent();
        ReleaseBlock(block);
        throw;
    }

    // Then every block goes onto the free chain, the first one first, so the last
    // block freed is the next one handed out.
    current = block;
    try {
        int32_t n = readAhead;
        for (std::size_t i = 0;; ++i) {
            if (repair) current->SetBlobId(blobId);
            FreeBlock(current);
            ReleaseBlock(current);
            current = nullptr;
            if (i + 1 >= chain.size()) break;
            // No change check from here on: a refresh now would leave the chain half
            // freed, and the caller's retry would free its first blocks again.
            TBlock* b = nullptr;
            if (!ReadBlock(nullptr, chain[i + 1], b, n, true)) return false;
            current = b;
            if (n > 1) --n;
        }
    } catch (...) {
        if (current) ReleaseBlock(current);
        throw;
    }
    return true;
}

// ---- Writing and trimming -----------------------------------------------------------

bool TBlobFile::FlushBlocks() {
    const int32_t size = FBlockSize;
    FCache.Unpark();
    const std::vector<TBlock*> dirty = FCache.SortedWhere([&](const TBlock* b) {
        if (b->Modified == 0 || b->PinCount > 0) return false;
        if (FReadAheadLength > 0) {
            int64_t offset = BlockOffset(b->BlockNumber);
            if (offset >= FReadAheadStart && offset < FReadAheadStart + FReadAheadLength) return false;
        }
        return true;
    });
    const std::size_t maxRun = static_cast<std::size_t>(std::max<int64_t>(MAX_RUN_BYTES / size, 1));
    bool written = false;
    std::size_t i = 0;
    while (i < dirty.size()) {
        std::size_t j = i + 1;
        while (j < dirty.size() && j - i < maxRun && dirty[j]->BlockNumber == dirty[j - 1]->BlockNumber + 1) ++j;
        const int64_t runBytes = static_cast<int64_t>(j - i) * size;
        ResizeWriteBuffer(static_cast<int32_t>(runBytes));
        auto* bytes = static_cast<uint8_t*>(FWriteBuffer);
        for (std::size_t k = i; k < j; ++k) dirty[k]->SaveToBuffer(bytes + (k - i) * static_cast<std::size_t>(size));
        try {
            TFileSectionGuard guard(*this);
            Seek(soFromBeginning, BlockOffset(dirty[i]->BlockNumber));
            WriteBuffer(bytes, static_cast<int32_t>(runBytes));
        } catch (...) {
            // Not on disk: the blocks still have to be written.
            for (std::size_t k = i; k < j; ++k) dirty[k]->Modified = 1;
            throw;
        }
        ++FStatistics.RunWrites;
        FStatistics.BlocksWritten += static_cast<uint32_t>(j - i);
        SetWritten();
        written = true;
        i = j;
    }
    return written;
}

void TBlobFile::TrimBlockCache() {
    if (!FPool) return;
    FCache.Trim(
        GetCacheLimit(), [this] { return FlushToRecycle(); }, [this] { RaiseError(KURA_MEMOCORRUPT); },
        [this](TBlock* b) { FPool->Push(b); });
}

void TBlobFile::FreeBlockCache() {
    FCache.DropAll([this](TBlock* b) {
        if (b->PinCount > 0) {
            b->Detached = true;
            FDetached.push_back(b);
        } else {
            PushBlock(b);
        }
    });
}

// ---- Locks ------------------------------------------------------------------------

bool TBlobFile::LockWrite() {
    for (int32_t attempt = 1; attempt <= BLOB_LOCK_ATTEMPTS; ++attempt) {
        if (LockBytes(true, BLOB_WRITER_LOCK_OFFSET, BLOB_WRITER_LOCK_LENGTH)) return true;
        if (attempt < BLOB_LOCK_ATTEMPTS) std::this_thread::sleep_for(std::chrono::milliseconds(BLOB_LOCK_SLEEP_MS));
    }
    return false;
}

bool TBlobFile::UnlockWrite() { return LockBytes(false, BLOB_WRITER_LOCK_OFFSET, BLOB_WRITER_LOCK_LENGTH); }

bool TBlobFile::LockRead(int32_t& r) {
    for (int32_t attempt = 1; attempt <= BLOB_LOCK_ATTEMPTS; ++attempt) {
        r = RandomReaderByte();
        if (LockBytes(true, BLOB_READER_LOCK_BASE - r, 1)) return true;
        if (attempt < BLOB_LOCK_ATTEMPTS) std::this_thread::sleep_for(std::chrono::milliseconds(BLOB_LOCK_SLEEP_MS));
    }
    return false;
}

bool TBlobFile::UnlockRead(int32_t r) {
    if (r < 1 || r > 65535) return false;
    return LockBytes(false, BLOB_READER_LOCK_BASE - r, 1);
}

}  // namespace kura
