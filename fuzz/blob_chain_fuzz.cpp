// Loads, rewrites and frees BLOB chains of an arbitrary BLOB file image. Whatever the
// image holds, the file layer must answer with an engine error or a result: never a
// crash, an over-read, an endless walk or an allocation the image does not bear out.
//
// Input: byte 0 picks the block size (64 << (b % 4)), byte 1 the options (bit 0 an
// encrypted table, bit 1 repair while freeing, bit 2 a transaction), bytes 2..5 the
// first block and 6..9 the BLOB id (both little-endian), the rest the file image.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/files/BlobBuffer.h"
#include "engine/files/BlobFile.h"
#include "engine/files/EngineFile.h"
#include "engine/files/FileHandler.h"

namespace {

struct FuzzOwner : kura::TBlobFileOwner {
    bool Encrypted = false;
    bool Transaction = false;
    bool Written = false;
    std::string GetTableName() const override { return "FUZZ"; }
    kura::TTableErrorContext GetErrorContext() const override { return {}; }
    bool IsRemote() const override { return false; }
    bool IsEncrypted() const override { return Encrypted; }
    // A small cache, so recycling and flushing are exercised too.
    int32_t GetBlobBufferSize() const override { return 4096; }
    int32_t GetBlobBufferCount() const override { return 8; }
    bool GetStrictChangeDetection() const override { return false; }
    bool GetForceBufferFlush() const override { return false; }
    bool GetFilesWritten() const override { return Written; }
    void SetFilesWritten() override { Written = true; }
    bool InTransaction() const override { return Transaction; }
};

struct FuzzCursor : kura::TBlobCursor {
    kura::TBlobFile* File = nullptr;
    bool CheckBeforeCacheMiss() override { return false; }
    kura::TBlobFile* GetBlobFile() override { return File; }
    bool IsRemote() const override { return false; }
    std::vector<uint8_t> GetReplyParam() override { return {}; }
    void PutRequestParam(const void*, uint32_t) override {}
    int64_t GetServerVersion() const override { return 0; }
};

uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

const char* const FuzzFileName = "BLOBFUZZ.BLB";

// Each step on its own: an engine error ends that step, not the run.
template <typename F>
void Step(F&& f) {
    try {
        f();
    } catch (const kura::EKuraEngineError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 10) return 0;
    if (!kura::FileList) kura::FileList = new kura::TFileList();

    const uint16_t blockSize = static_cast<uint16_t>(64u << (data[0] % 4));
    FuzzOwner owner;
    owner.Encrypted = (data[1] & 1) != 0;
    const bool repair = (data[1] & 2) != 0;
    owner.Transaction = (data[1] & 4) != 0;
    const uint32_t firstBlock = ReadU32(data + 2);
    const uint32_t blobId = ReadU32(data + 6);

    // The image goes into a memory file of the registry.
    {
        kura::TFileHandler writer;
        writer.IsMemory = true;
        writer.FileName = FuzzFileName;
        try {
            writer.CreateFile();
            if (size > 10) writer.WriteBuffer(data + 10, static_cast<int32_t>(size - 10));
        } catch (const kura::EKuraEngineError&) {
            return 0;
        }
        writer.CloseFile();
    }

    {
        kura::TBlobFile file(&owner);
        file.IsMemory = true;
        file.FileName = FuzzFileName;
        file.SetBlockSize(blockSize);
        FuzzCursor cursor;
        cursor.File = &file;
        bool open = false;
        Step([&] {
            file.OpenFile();
            open = true;
        });
        if (open) {
            Step([&] { file.VerifyHeader(); });
            Step([&] {
                kura::TBlobBuffer buffer(&cursor);
                buffer.BlobId = blobId;
                buffer.FirstBlock = firstBlock;
                buffer.Load();
            });
            // Rewrite the chain with a value of its own, shorter or longer.
            Step([&] {
                kura::TBlobBuffer buffer(&cursor);
                buffer.BlobId = blobId;
                buffer.FirstBlock = firstBlock;
                buffer.SetSize(static_cast<uint32_t>((size * 7) % 2000));
                if (buffer.GetSize() > 0) std::memset(buffer.GetBuffer(), 0x5A, buffer.GetSize());
                buffer.Save();
                file.FlushBlocks();
            });
            Step([&] {
                uint32_t first = firstBlock;
                file.FreeBlobChain(&cursor, first, repair, 1, blobId);
            });
            Step([&] {
                for (int i = 0; i < 4; ++i) {
                    kura::TBlock* b = nullptr;
                    if (!file.AllocateBlock(&cursor, b)) break;
                    file.FreeBlock(b);
                    file.ReleaseBlock(b);
                }
            });
            Step([&] {
                file.FlushBlocks();
                file.WriteHeader(false);
                file.TrimBlockCache();
            });
        }
        Step([&] { file.CloseFile(); });
    }

    kura::TFileHandler remover;
    remover.IsMemory = true;
    remover.FileName = FuzzFileName;
    Step([&] { remover.DeleteFile(); });
    return 0;
}
