// Unpacking of index pages from untrusted bytes. The first four input bytes choose
// the index the page belongs to (key size, compression, unique, subtree counts,
// header-only load); the rest is the 4096-byte page image, zero-padded.
//
// A page must either be refused with the engine's index-corrupt error or load into
// entries that pack again and load back to the same keys.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/files/IndexPage.h"

namespace {

struct ByteOrder : kura::TIndexCursor {
    uint8_t GetIndexNumber() const override { return 1; }
    bool CheckBeforeCacheMiss() override { return false; }
    int32_t CompareKeys(const uint8_t* a, const uint8_t* b, uint16_t n) override { return std::memcmp(a, b, n); }
    uint8_t GetPathDepth() const override { return 1; }
    void SetPathDepth(uint8_t) override {}
    uint32_t GetPathSlot(uint8_t) const override { return 0; }
    void SetPathSlot(uint8_t, uint32_t) override {}
    uint32_t GetPathParent(uint8_t) const override { return 0; }
};

void Shape(kura::TPage& page, const uint8_t* options) {
    // Key sizes an index header can carry: 1 .. 526.
    page.KeySize = static_cast<uint16_t>(1 + (options[0] | (options[1] << 8)) % kura::MAX_INDEX_KEY_SIZE);
    page.Compression = options[2] & 3;
    page.Unique = (options[2] >> 2) & 1;
    page.NoSubtreeCounts = (options[2] >> 3) & 1;
    page.IndexSlot = (options[2] >> 4) & 1 ? 32 : 1;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    std::vector<uint8_t> image(kura::INDEX_PAGE_SIZE, 0);
    std::memcpy(image.data(), data + 4, std::min<size_t>(size - 4, image.size()));
    const bool headerOnly = (data[3] & 1) != 0;

    kura::TPage page(nullptr);
    Shape(page, data);
    try {
        page.LoadFromBuffer(image.data(), headerOnly);
    } catch (const kura::EKuraEngineError& e) {
        Check(e.ErrorCode() == kura::KURA_INDEXCORRUPT);
        Check(page.KeyCount == 0);
        return 0;
    }
    if (headerOnly) {
        Check(page.KeyCount == 0);
        return 0;
    }

    ByteOrder order;
    if (page.KeyCount > 0 && page.PageType != kura::ptRawData) {
        uint32_t slot = 0;
        page.FindKey(order, page.GetKeyAddress(page.KeyCount), slot);
        Check(slot >= 1 && slot <= page.KeyCount);
        int32_t position = 0;
        page.GetLastSlot(position);
        page.CountConsecutiveRecords(page.KeyCount, 1, 1);
    }

    // What loaded must pack and load back to the same entries.
    std::vector<uint8_t> packed(kura::INDEX_PAGE_SIZE, 0);
    page.SaveToBuffer(packed.data());
    kura::TPage again(nullptr);
    Shape(again, data);
    again.LoadFromBuffer(packed.data(), false);
    Check(again.KeyCount == page.KeyCount);
    Check(again.PageType == page.PageType);
    if (page.PageType == kura::ptRawData) {
        Check(std::memcmp(again.GetKeyBuffer(), page.GetKeyBuffer(), kura::PAGE_DATA_SIZE) == 0);
        return 0;
    }
    for (uint32_t i = 1; i <= page.KeyCount; ++i) {
        Check(std::memcmp(again.GetKeyAddress(i), page.GetKeyAddress(i), page.KeySize) == 0);
        Check(again.GetRecordNo(i) == page.GetRecordNo(i));
        Check(again.GetSubtreeCount(i) == page.GetSubtreeCount(i));
    }
    return 0;
}
