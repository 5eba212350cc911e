// Index pages: the packed form of every key compression, computed by hand; the
// refusal of damaged page images; capacities and the in-page searches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/files/IndexPage.h"

namespace kura {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

Bytes S(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct PageSpec {
    uint8_t Type;
    uint16_t KeySize;
    uint8_t Compression;
    bool Unique;
    bool NoCounts = false;
    uint8_t Slot = 1;
};

void Shape(TPage& page, const PageSpec& spec) {
    page.PageType = spec.Type;
    page.KeySize = spec.KeySize;
    page.Compression = spec.Compression;
    page.Unique = spec.Unique ? 1 : 0;
    page.NoSubtreeCounts = spec.NoCounts ? 1 : 0;
    page.IndexSlot = spec.Slot;
}

void Add(TPage& page, const std::string& key, uint32_t value, uint32_t count = 0) {
    uint32_t slot = page.KeyCount;
    page.InsertGap(reinterpret_cast<const uint8_t*>(key.data()), slot);
    page.SetRecordNo(slot, value);
    page.SetSubtreeCount(slot, count);
    page.CompressKeys();
}

// The 4096-byte image: header, then the packed entries, then zeros.
Bytes Image(uint8_t type, uint16_t count, uint32_t prior, uint32_t next, uint16_t used, const Bytes& entries) {
    Bytes out(INDEX_PAGE_SIZE, 0);
    out[0] = type;
    out[1] = static_cast<uint8_t>(count);
    out[2] = static_cast<uint8_t>(count >> 8);
    for (int i = 0; i < 4; ++i) out[3 + i] = static_cast<uint8_t>(prior >> (8 * i));
    for (int i = 0; i < 4; ++i) out[7 + i] = static_cast<uint8_t>(next >> (8 * i));
    out[11] = static_cast<uint8_t>(used);
    out[12] = static_cast<uint8_t>(used >> 8);
    std::copy(entries.begin(), entries.end(), out.begin() + PAGE_HEADER_SIZE);
    return out;
}

Bytes Save(TPage& page) {
    Bytes out(INDEX_PAGE_SIZE, 0xEE);
    page.SaveToBuffer(out.data());
    return out;
}

// Loads the image into a page of the same shape and packs it again.
void ExpectRoundTrip(const Bytes& image, const PageSpec& spec, const TPage& original) {
    TPage copy(nullptr);
    Shape(copy, spec);
    copy.LoadFromBuffer(image.data(), false);
    ASSERT_EQ(copy.KeyCount, original.KeyCount);
    for (uint32_t i = 1; i <= copy.KeyCount; ++i) {
        EXPECT_EQ(0, std::memcmp(copy.GetKeyAddress(i), original.GetKeyAddress(i), spec.KeySize)) << "entry " << i;
        EXPECT_EQ(copy.GetRecordNo(i), original.GetRecordNo(i));
        EXPECT_EQ(copy.GetLeading(i), original.GetLeading(i));
        EXPECT_EQ(copy.GetTrailing(i), original.GetTrailing(i));
    }
    EXPECT_EQ(Save(copy), image);
}

TEST(IndexPage, PacksEveryCompressionAsComputedByHand) {
    {   // No compression: key and record number.
        PageSpec spec{ptRootLeaf, 3, kcNone, true};
        TPage page(nullptr);
        Shape(page, spec);
        Add(page, "ABC", 1);
        Add(page, "ABD", 2);
        const Bytes image = Image(3, 2, 0, 0, 0, Cat({S("ABC"), B({1, 0, 0, 0}), S("ABD"), B({2, 0, 0, 0})}));
        EXPECT_EQ(Save(page), image);
        ExpectRoundTrip(image, spec, page);
    }
    {   // Leading bytes: the first entry still carries its count byte.
        PageSpec spec{ptLeaf, 4, kcLeading, true};
        TPage page(nullptr);
        Shape(page, spec);
        Add(page, std::string("ABC\0", 4), 1);
        Add(page, std::string("ABD\0", 4), 2);
        Add(page, "XYZW", 3);
        EXPECT_EQ(page.UsedBytes, 9 + 7 + 9);
        const Bytes image = Image(2, 3, 0, 0, 25,
                                  Cat({B({0}), S("ABC"), B({0, 1, 0, 0, 0}), B({2, 'D', 0, 2, 0, 0, 0}), B({0}),
                                       S("XYZW"), B({3, 0, 0, 0})}));
        EXPECT_EQ(Save(page), image);
        ExpectRoundTrip(image, spec, page);
    }
    {   // Trailing zeros, unique.
        PageSpec spec{ptLeaf, 6, kcTrailing, true};
        TPage page(nullptr);
        Shape(page, spec);
        Add(page, std::string("AB\0\0\0\0", 6), 5);
        Add(page, "ABCDEF", 6);
        const Bytes image =
            Image(2, 2, 0, 0, 18, Cat({B({4, 'A', 'B', 5, 0, 0, 0}), B({0}), S("ABCDEF"), B({6, 0, 0, 0})}));
        EXPECT_EQ(Save(page), image);
        ExpectRoundTrip(image, spec, page);
    }
    {   // Trailing zeros, non-unique: the row identifier is stored even when zero.
        PageSpec spec{ptLeaf, 8, kcTrailing, false};
        TPage page(nullptr);
        Shape(page, spec);
        Add(page, std::string("A\0\0\0\0\0\0\0", 8), 7);
        EXPECT_EQ(page.GetTrailing(1), 3);
        const Bytes image = Image(2, 1, 0, 0, 10, B({3, 'A', 0, 0, 0, 0, 7, 0, 0, 0}));
        EXPECT_EQ(Save(page), image);
        ExpectRoundTrip(image, spec, page);
    }
    {   // Both, non-unique: with four or fewer bytes after the prefix nothing trails.
        PageSpec spec{ptLeaf, 8, kcBoth, false};
        TPage page(nullptr);
        Shape(page, spec);
        Add(page, std::string("AB\0\0\0\0\0\1", 8), 1);
        Add(page, std::string("AB\0\0\0\0\0\2", 8), 2);
        Add(page, std::string("ABC\0\0\0\0\3", 8), 3);
        EXPECT_EQ(page.UsedBytes, 12 + 7 + 11);
        const Bytes image = Image(2, 3, 0, 0, 30,
                                  Cat({B({0, 2, 'A', 'B', 0, 0, 0, 1, 1, 0, 0, 0}), B({7, 0, 2, 2, 0, 0, 0}),
                                       B({2, 1, 'C', 0, 0, 0, 3, 3, 0, 0, 0})}));
        EXPECT_EQ(Save(page), image);
        ExpectRoundTrip(image, spec, page);
    }
    {   // Both, unique.
        PageSpec spec{ptLeaf, 6, kcBoth, true};
        TPage page(nullptr);
        Shape(page, spec);
        Add(page, std::string("ABC\0\0\0", 6), 1);
        Add(page, std::string("ABCD\0\0", 6), 2);
        const Bytes image =
            Image(2, 2, 0, 0, 16, Cat({B({0, 3, 'A', 'B', 'C', 1, 0, 0, 0}), B({3, 2, 'D', 2, 0, 0, 0})}));
        EXPECT_EQ(Save(page), image);
        ExpectRoundTrip(image, spec, page);
    }
    {   // Internal pages are never compressed; counts only where the index keeps them.
        PageSpec spec{ptRootInternal, 3, kcBoth, true};
        TPage page(nullptr);
        Shape(page, spec);
        Add(page, "ABC", 5, 10);
        const Bytes image = Image(0, 1, 0, 0, 0, Cat({S("ABC"), B({5, 0, 0, 0, 10, 0, 0, 0})}));
        EXPECT_EQ(Save(page), image);
        ExpectRoundTrip(image, spec, page);
        PageSpec bare{ptInternal, 3, kcNone, true, true};
        TPage noCounts(nullptr);
        Shape(noCounts, bare);
        Add(noCounts, "ABC", 5, 10);
        EXPECT_EQ(noCounts.GetSubtreeCount(1), 0u);
        EXPECT_EQ(Save(noCounts), Image(1, 1, 0, 0, 0, Cat({S("ABC"), B({5, 0, 0, 0})})));
    }
}

TEST(IndexPage, EqualKeysCompressToTheirCountByteUpTo254) {
    PageSpec spec{ptLeaf, 10, kcLeading, false};
    TPage page(nullptr);
    Shape(page, spec);
    const std::string key = "KEYKEYKEY!";
    for (uint32_t r = 1; r <= 3; ++r) Add(page, key, r);
    const Bytes image = Image(2, 3, 0, 0, 15 + 5 + 5,
                              Cat({B({0}), S(key), B({1, 0, 0, 0}), B({10, 2, 0, 0, 0}), B({10, 3, 0, 0, 0})}));
    EXPECT_EQ(Save(page), image);
    ExpectRoundTrip(image, spec, page);

    PageSpec longSpec{ptLeaf, 300, kcLeading, false};
    TPage longPage(nullptr);
    Shape(longPage, longSpec);
    const std::string longKey(300, 'Q');
    Add(longPage, longKey, 1);
    Add(longPage, longKey, 2);
    EXPECT_EQ(longPage.GetLeading(2), 254);
    EXPECT_EQ(longPage.UsedBytes, 305 + 51);
    ExpectRoundTrip(Save(longPage), longSpec, longPage);
}

TEST(IndexPage, FreeAndHeaderOnlyPagesCarryNoEntries) {
    PageSpec spec{ptLeaf, 4, kcNone, true};
    TPage page(nullptr);
    Shape(page, spec);
    Add(page, "ABCD", 1);
    Add(page, "ABCE", 2);
    page.PriorPage = 3;
    page.NextPage = 9;
    const Bytes full = Save(page);
    page.Free = 1;
    EXPECT_EQ(Save(page), Image(2, 0, 3, 9, 0, {}));

    TPage header(nullptr);
    Shape(header, spec);
    header.LoadFromBuffer(full.data(), true);
    EXPECT_EQ(header.KeyCount, 0);
    EXPECT_EQ(header.PriorPage, 3u);
    EXPECT_EQ(header.NextPage, 9u);
    EXPECT_EQ(header.HeaderImage[1], 2);  // the stored count stays visible
}

TEST(IndexPage, DamagedImagesAreRefusedWithIndexCorrupt) {
    PageSpec spec{ptLeaf, 8, kcBoth, false};
    TPage page(nullptr);
    Shape(page, spec);
    Add(page, std::string("AB\0\0\0\0\0\1", 8), 1);
    Add(page, std::string("AB\0\0\0\0\0\2", 8), 2);
    Add(page, std::string("ABC\0\0\0\0\3", 8), 3);
    const Bytes good = Save(page);

    auto expectCorrupt = [&](Bytes image, const PageSpec& s, const char* what) {
        TPage target(nullptr);
        Shape(target, s);
        try {
            target.LoadFromBuffer(image.data(), false);
            ADD_FAILURE() << what << ": accepted";
        } catch (const EKuraEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), KURA_INDEXCORRUPT) << what;
            EXPECT_EQ(target.KeyCount, 0) << what;
        }
    };
    auto with = [&](std::initializer_list<std::pair<int, int>> changes) {
        Bytes image = good;
        for (auto [offset, value] : changes) image[offset] = static_cast<uint8_t>(value);
        return image;
    };
    expectCorrupt(with({{1, 4}}), spec, "more keys than bytes");
    expectCorrupt(with({{1, 0xFF}, {2, 0xFF}}), spec, "huge key count");
    expectCorrupt(with({{1, 2}}), spec, "fewer keys than the used bytes hold");
    expectCorrupt(with({{13, 1}}), spec, "prefix on the first entry");
    expectCorrupt(with({{14, 5}}), spec, "trailing zeros reaching the row identifier");
    expectCorrupt(with({{13 + 12, 9}}), spec, "prefix longer than the key");
    expectCorrupt(with({{11, 0xF4}, {12, 0x0F}}), spec, "used bytes beyond the page");
    expectCorrupt(with({{11, 29}}), spec, "used bytes short of the entries");
    expectCorrupt(with({{11, 31}}), spec, "used bytes beyond the entries");
    expectCorrupt(with({{0, 5}}), spec, "unknown page type");

    PageSpec plain{ptLeaf, 8, kcNone, true};
    expectCorrupt(Image(2, 341, 0, 0, 0, {}), plain, "uncompressed leaf above capacity");  // 341 x 12 > 4083
    PageSpec internal{ptInternal, 8, kcNone, true};
    expectCorrupt(Image(1, 256, 0, 0, 0, {}), internal, "internal page above capacity");  // 256 x 16 > 4083

    // Fully packed pages of every kind load.
    TPage ok(nullptr);
    Shape(ok, plain);
    EXPECT_NO_THROW(ok.LoadFromBuffer(Image(2, 340, 0, 0, 0, {}).data(), false));
    EXPECT_EQ(ok.KeyCount, 340);
}

TEST(IndexPage, CapacitiesFollowKeySizeCountsAndCompression) {
    TPage text(nullptr);
    Shape(text, {ptInternal, 68, kcBoth, false, false, 32});
    EXPECT_EQ(text.MaxKeys(), 56u);  // the text index never keeps counts
    TPage counted(nullptr);
    Shape(counted, {ptInternal, 20, kcNone, true});
    EXPECT_EQ(counted.MaxKeys(), 145u);
    TPage leaf(nullptr);
    Shape(leaf, {ptLeaf, 20, kcNone, true});
    EXPECT_EQ(leaf.MaxKeys(), 170u);
    // A compressed leaf is full by its bytes: 4084 or more.
    TPage packed(nullptr);
    Shape(packed, {ptLeaf, 100, kcLeading, true});
    uint32_t n = 0;
    while (!packed.IsFull()) Add(packed, std::string(96, 'a' + n % 26) + std::to_string(1000 + n), n), ++n;
    EXPECT_GT(packed.UsedBytes, PAGE_DATA_SIZE);
    EXPECT_THROW(Save(packed), EKuraEngineError);
}

struct ByteCursor : TIndexCursor {
    uint8_t GetIndexNumber() const override { return 1; }
    bool CheckBeforeCacheMiss() override { return false; }
    int32_t CompareKeys(const uint8_t* a, const uint8_t* b, uint16_t n) override { return std::memcmp(a, b, n); }
    uint8_t GetPathDepth() const override { return 1; }
    void SetPathDepth(uint8_t) override {}
    uint32_t GetPathSlot(uint8_t) const override { return 0; }
    void SetPathSlot(uint8_t, uint32_t) override {}
    uint32_t GetPathParent(uint8_t) const override { return 0; }
};

const uint8_t* K(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

// A cursor that lets the page compare the bytes itself.
struct PlainBytesCursor : ByteCursor {
    bool KeysCompareAsBytes() const override { return true; }
};

// The page's own byte compare finds what the cursor's compare finds: on random
// sorted keys with repeats, for probes present, absent, below and above them all.
TEST(IndexPage, SearchesComparingBytesThemselvesFindWhatTheCursorFinds) {
    std::mt19937 rng(5150);
    ByteCursor through;
    PlainBytesCursor plain;
    for (int round = 0; round < 200; ++round) {
        const auto length = static_cast<uint16_t>(1 + rng() % 6);
        auto randomKey = [&] {
            std::string key(length, 'a');
            for (char& c : key) c = static_cast<char>('a' + rng() % 3);
            return key;
        };
        std::vector<std::string> keys(1 + rng() % 60);
        for (auto& key : keys) key = randomKey();
        std::sort(keys.begin(), keys.end());
        TPage leaf(nullptr);
        Shape(leaf, {round % 2 ? ptLeaf : ptInternal, length, kcNone, false});
        for (std::size_t i = 0; i < keys.size(); ++i) Add(leaf, keys[i], static_cast<uint32_t>(i + 1));
        for (int probe = 0; probe < 20; ++probe) {
            const std::string key = probe == 0 ? std::string(length, '0') : probe == 1 ? std::string(length, 'z') : randomKey();
            uint32_t a = 0, b = 0;
            ASSERT_EQ(leaf.FindKey(through, K(key.c_str()), a), leaf.FindKey(plain, K(key.c_str()), b)) << key;
            EXPECT_EQ(a, b) << key;
            leaf.FindInsertSlot(through, K(key.c_str()), a);
            leaf.FindInsertSlot(plain, K(key.c_str()), b);
            EXPECT_EQ(a, b) << key;
            int32_t at = 0, bt = 0;
            ASSERT_EQ(leaf.SearchKey(through, K(key.c_str()), true, at, a), leaf.SearchKey(plain, K(key.c_str()), true, bt, b));
            EXPECT_EQ(a, b) << key;
            EXPECT_EQ(at, bt) << key;
            at = bt = 0;
            leaf.FindRangeStart(through, K(key.c_str()), at, a);
            leaf.FindRangeStart(plain, K(key.c_str()), bt, b);
            EXPECT_EQ(a, b) << key;
            EXPECT_EQ(at, bt) << key;
        }
    }
}

TEST(IndexPage, SearchesFindSlotsAndCountPositions) {
    ByteCursor cursor;
    TPage leaf(nullptr);
    Shape(leaf, {ptLeaf, 2, kcNone, true});
    uint32_t slot = 9;
    EXPECT_THROW(leaf.FindKey(cursor, K("BB"), slot), EKuraEngineError);
    Add(leaf, "BB", 10);
    Add(leaf, "DD", 11);
    Add(leaf, "FF", 12);
    Add(leaf, "HH", 20);
    EXPECT_TRUE(leaf.FindKey(cursor, K("DD"), slot));
    EXPECT_EQ(slot, 2u);
    EXPECT_FALSE(leaf.FindKey(cursor, K("EE"), slot));
    EXPECT_EQ(slot, 2u);
    EXPECT_FALSE(leaf.FindKey(cursor, K("AA"), slot));
    EXPECT_EQ(slot, 1u);
    leaf.FindInsertSlot(cursor, K("AA"), slot);
    EXPECT_EQ(slot, 0u);
    leaf.FindInsertSlot(cursor, K("ZZ"), slot);
    EXPECT_EQ(slot, 4u);
    int32_t position = 100;
    EXPECT_FALSE(leaf.SearchKey(cursor, K("EE"), true, position, slot));
    EXPECT_EQ(slot, 3u);
    EXPECT_EQ(position, 102);
    position = 0;
    EXPECT_FALSE(leaf.ScanKey(cursor, K("EE"), true, slot, position, nullptr));
    EXPECT_EQ(slot, 3u);  // strict: ends at once on the first key above
    position = 0;
    EXPECT_FALSE(leaf.ScanKey(cursor, K("EE"), false, slot, position, nullptr));
    EXPECT_EQ(slot, 2u);
    EXPECT_EQ(position, 1);
    position = 0;
    EXPECT_TRUE(leaf.ScanKey(cursor, K("FF"), false, slot, position, K("GG")));
    EXPECT_EQ(slot, 3u);
    position = 0;
    leaf.FindRangeStart(cursor, K("CC"), position, slot);
    EXPECT_EQ(slot, 2u);
    EXPECT_EQ(position, 1);
    position = 0;
    leaf.FindRangeEnd(cursor, K("GG"), position, slot);
    EXPECT_EQ(slot, 3u);
    EXPECT_EQ(position, 2);
    EXPECT_EQ(leaf.CountConsecutiveRecords(10, 1, 1), 3);
    EXPECT_EQ(leaf.CountConsecutiveRecords(2, 1, 1), 2);
    EXPECT_EQ(leaf.CountConsecutiveRecords(10, 2, 3), 3);
    TRecordsBitmap bitmap;
    bitmap.SetRecordCount(32);
    EXPECT_FALSE(leaf.AddRecordsToBitmap(cursor, bitmap, K("EE"), 1));
    EXPECT_TRUE(bitmap.GetBit(10) && bitmap.GetBit(11) && !bitmap.GetBit(12));
    EXPECT_TRUE(leaf.AddRecordsToBitmap(cursor, bitmap, K("ZZ"), 3));
    EXPECT_TRUE(bitmap.GetBit(20));

    TPage internal(nullptr);
    Shape(internal, {ptRootInternal, 2, kcNone, true});
    Add(internal, "BB", 7, 5);
    Add(internal, "FF", 8, 4);
    EXPECT_EQ(internal.CountKeys(), 9u);
    EXPECT_EQ(internal.KeysBefore(2), 5u);
    position = 0;
    EXPECT_FALSE(internal.SearchKey(cursor, K("FF"), false, position, slot));  // exact only on leaves
    EXPECT_EQ(slot, 2u);
    EXPECT_EQ(position, 5);
    position = 0;
    internal.FindRangeStart(cursor, K("CC"), position, slot);
    EXPECT_EQ(slot, 1u);
    EXPECT_EQ(position, 0);
}

}  // namespace
}  // namespace kura
