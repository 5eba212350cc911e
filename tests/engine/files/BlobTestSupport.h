#pragma once
// Test doubles of the table and cursor that own a BLOB file, raw file images built
// field by field, and the file registry the file layer needs.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/files/BlobBuffer.h"
#include "engine/files/BlobFile.h"
#include "engine/files/EngineFile.h"
#include "engine/files/FieldDesc.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/EngineTestSupport.h"

namespace kura::test {

using BlobRegistryEnvironment = FileListEnvironment;

struct TestBlobOwner : TBlobFileOwner {
    bool Encrypted = false;
    int32_t BufferSize = 32768;
    int32_t BufferCount = 8192;
    bool Transaction = false;
    bool Written = false;
    std::string GetTableName() const override { return "STAFF"; }
    TTableErrorContext GetErrorContext() const override { return {"", "", "DB"}; }
    bool IsRemote() const override { return false; }
    bool IsEncrypted() const override { return Encrypted; }
    int32_t GetBlobBufferSize() const override { return BufferSize; }
    int32_t GetBlobBufferCount() const override { return BufferCount; }
    bool GetStrictChangeDetection() const override { return false; }
    bool GetForceBufferFlush() const override { return false; }
    bool GetFilesWritten() const override { return Written; }
    void SetFilesWritten() override { Written = true; }
    bool InTransaction() const override { return Transaction; }
};

struct TestBlobCursor : TBlobCursor {
    TBlobFile* File = nullptr;
    std::function<bool()> OnBeginRead;
    int BeginReads = 0;
    bool Remote = false;
    std::vector<std::vector<uint8_t>> Reply;  // parameters still to be read
    std::vector<std::vector<uint8_t>> Request;
    int64_t ServerVersion = 33000;

    bool CheckBeforeCacheMiss() override {
        ++BeginReads;
        return OnBeginRead ? OnBeginRead() : false;
    }
    TBlobFile* GetBlobFile() override { return File; }
    bool IsRemote() const override { return Remote; }
    std::vector<uint8_t> GetReplyParam() override {
        if (Reply.empty()) RaiseEngineError(KURA_UNCOMPRESS);
        std::vector<uint8_t> p = Reply.front();
        Reply.erase(Reply.begin());
        return p;
    }
    void PutRequestParam(const void* bytes, uint32_t length) override {
        auto* p = static_cast<const uint8_t*>(bytes);
        Request.emplace_back(p, p + length);
    }
    int64_t GetServerVersion() const override { return ServerVersion; }
};

// One block of a crafted file.
struct BlockImage {
    uint32_t Prior = 0;
    uint32_t Next = 0;
    uint16_t Used = 0;
    uint32_t BlobId = 0;
    uint32_t Total = 0;
    uint8_t Fill = 0;  // every data byte
};

// A plain (unscrambled) BLOB file: header with the given counters, then the blocks.
inline std::vector<uint8_t> BuildBlobFile(uint16_t blockSize, uint32_t freeHead, const std::vector<BlockImage>& blocks,
                                          uint32_t nextNewBlock = 0, uint8_t version = 5) {
    std::vector<uint8_t> image(BLOB_HEADER_SIZE + blocks.size() * blockSize, 0);
    image[8] = version;
    dfbytes::PutU32(&image[9], freeHead);
    dfbytes::PutU32(&image[13], nextNewBlock != 0 ? nextNewBlock : static_cast<uint32_t>(blocks.size() + 1));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        uint8_t* p = &image[BLOB_HEADER_SIZE + i * blockSize];
        dfbytes::PutU32(p + 0, blocks[i].Prior);
        dfbytes::PutU32(p + 4, blocks[i].Next);
        dfbytes::PutU16(p + 8, blocks[i].Used);
        dfbytes::PutU32(p + 10, blocks[i].BlobId);
        dfbytes::PutU32(p + 14, blocks[i].Total);
        for (int j = BLOCK_HEADER_SIZE; j < blockSize; ++j) p[j] = blocks[i].Fill;
    }
    return image;
}

inline constexpr auto& WriteBytes = WriteFileBytes;
inline constexpr auto& ReadBytes = ReadFileBytes;

inline std::vector<uint8_t> Pattern(std::size_t size, uint8_t seed) {
    std::vector<uint8_t> v(size);
    for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
    return v;
}

// Puts bytes into a buffer as the cursor's edits would.
inline void Fill(TBlobBuffer& buffer, const std::vector<uint8_t>& bytes) {
    buffer.SetSize(static_cast<uint32_t>(bytes.size()));
    if (!bytes.empty()) std::memcpy(buffer.GetBuffer(), bytes.data(), bytes.size());
}

inline std::vector<uint8_t> Contents(const TBlobBuffer& buffer) {
    return std::vector<uint8_t>(buffer.GetBuffer(), buffer.GetBuffer() + buffer.GetSize());
}

}  // namespace kura::test
