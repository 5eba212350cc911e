#include "engine/files/BlobBuffer.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "engine/files/FieldDesc.h"

namespace kura {

using namespace dfbytes;

namespace {

// A block read that keeps finding changes by other programs inside one BLOB
// operation gives up as a lock failure instead of spinning for ever.
constexpr int32_t BLOB_READ_ATTEMPTS = 64;
// Bytes reserved up front for a loaded value; longer ones grow as they are read.
constexpr uint32_t BLOB_LOAD_RESERVE = 1u << 20;

// Holds one pinned block and releases it when replaced or at scope end.
class PinnedBlock {
public:
    explicit PinnedBlock(TBlobFile& file) : file_(file) {}
    ~PinnedBlock() { file_.ReleaseBlock(block_); }
    PinnedBlock(const PinnedBlock&) = delete;
    PinnedBlock& operator=(const PinnedBlock&) = delete;
    void reset(TBlock* block) {
        file_.ReleaseBlock(block_);
        block_ = block;
    }
    TBlock* release() {
        TBlock* b = block_;
        block_ = nullptr;
        return b;
    }
    TBlock* get() const { return block_; }
    TBlock* operator->() const { return block_; }

private:
    TBlobFile& file_;
    TBlock* block_ = nullptr;
};

TBlobFile& LocalFile(TBlobCursor* cursor) {
    TBlobFile* file = cursor->GetBlobFile();
    if (!file) RaiseEngineError(KURA_MEMOCORRUPT);
    return *file;
}

TBlock* ReadRetrying(TBlobFile& file, TBlobCursor* cursor, uint32_t blockNo, int32_t count, bool readAhead) {
    for (int32_t attempt = 0; attempt < BLOB_READ_ATTEMPTS; ++attempt) {
        TBlock* b = nullptr;
        if (file.ReadBlock(cursor, blockNo, b, count, readAhead)) return b;
    }
    file.RaiseError(KURA_LOCKTIMEOUT);
}

TBlock* AllocateRetrying(TBlobFile& file, TBlobCursor* cursor) {
    for (int32_t attempt = 0; attempt < BLOB_READ_ATTEMPTS; ++attempt) {
        TBlock* b = nullptr;
        if (file.AllocateBlock(cursor, b)) return b;
    }
    file.RaiseError(KURA_LOCKTIMEOUT);
}

void PutU32Param(TBlobCursor* cursor, uint32_t value) {
    uint8_t bytes[4];
    PutU32(bytes, value);
    cursor->PutRequestParam(bytes, 4);
}

}  // namespace

TBlobBuffer::TBlobBuffer(TBlobCursor* cursor) : Owner(cursor) {}

void TBlobBuffer::SetSize(uint32_t size) {
    if (size == Size) return;
    Modified = 1;
    Bytes.resize(size);
    Size = size;
}

void TBlobBuffer::CopyToOriginal() {
    Original.assign(Bytes.begin(), Bytes.begin() + Size);
    OriginalSize = Size;
}

// ---- Loading ------------------------------------------------------------------------

void TBlobBuffer::Load() {
    if (Owner->IsRemote()) {
        LoadRemote();
        return;
    }
    if (FirstBlock == 0) return;
    TBlobFile& file = LocalFile(Owner);
    for (int32_t attempt = 0; attempt < BLOB_READ_ATTEMPTS; ++attempt)
        if (TryLoad(file)) return;
    file.RaiseError(KURA_LOCKTIMEOUT);
}

bool TBlobBuffer::TryLoad(TBlobFile& file) {
    if (!file.IsBlockInUse(FirstBlock)) file.RaiseError(KURA_MEMOCORRUPT);
    PinnedBlock current(file);
    {
        TBlock* b = nullptr;
        if (!file.ReadBlock(Owner, FirstBlock, b, 1, false)) return false;
        current.reset(b);
    }
    // Another user rewrote the value since the record was read.
    if (current->BlobId != BlobId) file.RaiseError(KURA_KEYORRECDELETED);
    const uint32_t size = current->TotalLength;
    const int64_t dataSize = file.GetBlockDataSize();
    // The length comes from the disk: no chain holds more than every block in use.
    if (static_cast<int64_t>(size) > static_cast<int64_t>(file.GetLastBlockNumber()) * dataSize ||
        size > static_cast<uint32_t>(INT32_MAX))
        file.RaiseError(KURA_MEMOCORRUPT);

    // Grown block by block: the length is only believed as far as the chain bears it
    // out, so a damaged length never allocates more than the chain holds.
    std::vector<uint8_t> bytes;
    bytes.reserve(std::min<uint32_t>(size, BLOB_LOAD_RESERVE));
    std::unordered_set<uint32_t> seen{FirstBlock};
    uint32_t read = 0;
    while (read < size) {
        if (current->BlobId != BlobId) file.RaiseError(KURA_KEYORRECDELETED);
        if (current->PinCount > 1) file.RaiseError(KURA_MEMOCORRUPT);
        const int32_t ask = static_cast<int32_t>(std::min<int64_t>(dataSize, size - read));
        const std::size_t at = bytes.size();
        bytes.resize(at + static_cast<std::size_t>(ask));
        const int32_t got = current->ReadData(0, ask, bytes.data() + at);
        bytes.resize(at + static_cast<std::size_t>(std::max(got, 0)));
        if (got > 0) read += static_cast<uint32_t>(got);
        if (got <= 0 || got < ask || read >= size || current->Next == 0) break;
        const uint32_t next = current->Next;
        if (!file.IsBlockInUse(next) || seen.count(next)) file.RaiseError(KURA_MEMOCORRUPT);
        seen.insert(next);
        TBlock* b = nullptr;
        if (!file.ReadBlock(Owner, next, b, file.GetBlockCount(size - read), true)) return false;
        current.reset(b);
    }
    Modified = 0;
    if (read != size) file.RaiseError(KURA_ENDOFBLOB);
    Bytes = std::move(bytes);
    Size = size;
    return true;
}

void TBlobBuffer::LoadRemote() {
    std::vector<uint8_t> sizeParam = Owner->GetReplyParam();
    if (sizeParam.size() != 4) RaiseEngineError(KURA_UNCOMPRESS);
    const uint32_t size = GetU32(sizeParam.data());
    std::vector<uint8_t> bytes = Owner->GetReplyParam();
    Modified = 0;
    if (bytes.size() != size) RaiseEngineError(KURA_ENDOFBLOB);
    Bytes = std::move(bytes);
    Size = size;
}

// ---- Saving -------------------------------------------------------------------------

void TBlobBuffer::Save() {
    if (Size == 0) {
        SaveEmpty();
        return;
    }
    if (Owner->IsRemote()) {
        SaveRemote();
        return;
    }
    TBlobFile& file = LocalFile(Owner);
    const int64_t dataSize = file.GetBlockDataSize();
    PinnedBlock current(file);
    uint32_t oldLength = 0;
    if (FirstBlock != 0) {
        if (!file.IsBlockInUse(FirstBlock)) file.RaiseError(KURA_MEMOCORRUPT);
        current.reset(ReadRetrying(file, Owner, FirstBlock, 1, false));
        current->SetBlobId(BlobId);
        oldLength = current->TotalLength;
    } else {
        current.reset(AllocateRetrying(file, Owner));
        FirstBlock = current->BlockNumber;
        current->SetBlobId(BlobId);
    }
    current->SetTotalSize(Size);

    // Blocks of the new chain: neither the old chain nor the free chain may lead
    // back into them.
    std::unordered_set<uint32_t> chain{current->BlockNumber};
    int32_t oldRemaining = std::max(file.GetBlockCount(oldLength) - 1, 1);
    uint32_t written = 0;
    while (true) {
        const int32_t ask = static_cast<int32_t>(std::min<int64_t>(dataSize, Size - written));
        written += static_cast<uint32_t>(current->WriteData(0, ask, Bytes.data() + written));
        if (written >= Size) break;
        TBlock* next = nullptr;
        if (current->Next != 0) {
            const uint32_t link = current->Next;
            if (!file.IsBlockInUse(link) || chain.count(link)) file.RaiseError(KURA_MEMOCORRUPT);
            next = ReadRetrying(file, Owner, link, oldRemaining, true);
            if (next->PinCount > 1) {
                file.ReleaseBlock(next);
                file.RaiseError(KURA_MEMOCORRUPT);
            }
            if (oldRemaining > 1) --oldRemaining;
        } else {
            next = AllocateRetrying(file, Owner);
            if (chain.count(next->BlockNumber)) {
                file.ReleaseBlock(next);
                file.RaiseError(KURA_MEMOCORRUPT);
            }
        }
        chain.insert(next->BlockNumber);
        current->SetNext(next->BlockNumber);
        next->SetPrior(current->BlockNumber);
        next->SetBlobId(BlobId);
        next->SetTotalSize(0);
        current.reset(next);
    }
    if (written != Size) file.RaiseError(KURA_ENDOFBLOB);

    if (current->Next != 0) {
        // The old value was longer: the rest of its chain goes back to the free chain.
        const uint32_t rest = current->Next;
        if (!file.IsBlockInUse(rest) || chain.count(rest)) file.RaiseError(KURA_MEMOCORRUPT);
        TBlock* first = ReadRetrying(file, Owner, rest, oldRemaining, true);
        for (int32_t attempt = 0;; ++attempt) {
            if (attempt > 0) first = ReadRetrying(file, Owner, rest, oldRemaining, true);
            if (file.FreeBlockChain(Owner, first, true, RecordNumber, BlobId, oldRemaining, &chain)) break;
            if (attempt + 1 >= BLOB_READ_ATTEMPTS) file.RaiseError(KURA_LOCKTIMEOUT);
        }
        current->SetNext(0);
    }
    Modified = 0;
}

void TBlobBuffer::SaveEmpty() {
    if (Owner->IsRemote()) {
        PutU32Param(Owner, static_cast<uint32_t>(RemoteReference));
        if (Owner->GetServerVersion() >= BLOB_FLAG_SERVER_VERSION) Owner->PutRequestParam(&RemoteFlag, 1);
        PutU32Param(Owner, 0);
        Modified = 0;
        return;
    }
    if (FirstBlock != 0) {
        TBlobFile& file = LocalFile(Owner);
        for (int32_t attempt = 0;; ++attempt) {
            if (file.FreeBlobChain(Owner, FirstBlock, true, RecordNumber, BlobId)) break;
            if (attempt + 1 >= BLOB_READ_ATTEMPTS) file.RaiseError(KURA_LOCKTIMEOUT);
        }
    }
    Modified = 0;
}

void TBlobBuffer::SaveRemote() {
    PutU32Param(Owner, static_cast<uint32_t>(RemoteReference));
    if (Owner->GetServerVersion() >= BLOB_FLAG_SERVER_VERSION) Owner->PutRequestParam(&RemoteFlag, 1);
    PutU32Param(Owner, Size);
    Owner->PutRequestParam(Bytes.data(), Size);
    Modified = 0;
}

}  // namespace kura
