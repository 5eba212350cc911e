// Tree maintenance of the index file: splits, borrowing, merging and root
// changes, the page cache and the free-page chain, and a randomised model test
// of every key compression against std::multimap.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>

#include "engine/files/KeyEncoding.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/files/IndexTestSupport.h"

namespace kura {
namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(new test::FileListEnvironment);

std::string KeyOf(uint16_t keySize, uint32_t n) {
    std::string key(keySize, '\0');
    for (int i = 0; i < 4 && i < keySize; ++i) key[i] = static_cast<char>(n >> (8 * (3 - i)));
    return key;
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

struct IndexFixture {
    test::TempDir dir;
    test::TestIndexOwner owner;
    std::unique_ptr<TIndexFile> file;
    std::unique_ptr<test::TestIndexCursor> cursor;

    void Create(const TIndexDesc& desc) {
        file = std::make_unique<TIndexFile>(&owner);
        file->FileName = dir.file("STAFF.IDX");
        file->CreateFile();
        file->AddIndex(desc);
        cursor = std::make_unique<test::TestIndexCursor>(*file, 1);
    }
    void Reopen() {
        file->FlushPages(false);
        file->WriteHeader(false);
        file->CloseFile();
        file = std::make_unique<TIndexFile>(&owner);
        file->FileName = dir.file("STAFF.IDX");
        file->OpenFile();
        cursor = std::make_unique<test::TestIndexCursor>(*file, 1);
    }
    TPage* Page(uint32_t number) {
        TPage* page = nullptr;
        file->ReadPage(*cursor, number, page, false);
        return page;
    }
    std::string Check(std::vector<test::TreeEntry>& entries) {
        test::TreeChecker checker(*file, *cursor);
        return checker.Check(entries, true);
    }
    // A page of a hand-built tree.
    TPage* NewPage(uint8_t type) {
        TPage* page = nullptr;
        file->AllocatePage(*cursor, page);
        page->SetPageType(type);
        return page;
    }
    static void Append(TPage* page, const std::string& key, uint32_t value, uint32_t count) {
        uint32_t slot = page->KeyCount;
        page->InsertGap(Bytes(key), slot);
        page->SetRecordNo(slot, value);
        page->SetSubtreeCount(slot, count);
        page->CompressKeys();
    }
};

TEST(IndexTree, RootLeafSplitsIntoTwoLevelsAndSplitKeepsTheLargerHalf) {
    IndexFixture f;
    f.Create(test::MakeIndexDesc("ByKey", 40, true, kcNone));
    f.cursor->Insert(Bytes(KeyOf(40, 10)), 10);
    uint32_t root = f.file->GetRootPage(1);
    TPage* page = f.Page(root);
    EXPECT_EQ(page->PageType, ptRootLeaf);
    const uint32_t capacity = page->MaxKeys();
    EXPECT_EQ(capacity, 4083u / 44u);
    f.file->ReleasePage(page);
    for (uint32_t i = 1; i < capacity; ++i) f.cursor->Insert(Bytes(KeyOf(40, 10 + i)), 10 + i);
    EXPECT_EQ(f.file->GetRootPage(1), root);
    f.cursor->Insert(Bytes(KeyOf(40, 5000)), 5000);  // overfills the root leaf
    const uint32_t newRoot = f.file->GetRootPage(1);
    ASSERT_NE(newRoot, root);
    page = f.Page(newRoot);
    EXPECT_EQ(page->PageType, ptRootInternal);
    ASSERT_EQ(page->KeyCount, 2);
    const uint32_t total = capacity + 1;
    EXPECT_EQ(page->GetSubtreeCount(1), total - total / 2);
    EXPECT_EQ(page->GetSubtreeCount(2), total / 2);
    TPage* left = f.Page(page->GetRecordNo(1));
    TPage* right = f.Page(page->GetRecordNo(2));
    EXPECT_EQ(left->PageType, ptLeaf);
    EXPECT_EQ(right->PageType, ptLeaf);
    EXPECT_EQ(left->NextPage, right->PageNumber);
    EXPECT_EQ(right->PriorPage, left->PageNumber);
    f.file->ReleasePage(left);
    f.file->ReleasePage(right);
    f.file->ReleasePage(page);

    // A page of 5 keys (capacity 4) splits into 3 and 2.
    IndexFixture g;
    g.Create(test::MakeIndexDesc("Wide", 1000, true, kcNone));
    for (uint32_t i = 1; i <= 5; ++i) g.cursor->Insert(Bytes(KeyOf(1000, i)), i);
    TPage* top = g.Page(g.file->GetRootPage(1));
    ASSERT_EQ(top->KeyCount, 2);
    TPage* a = g.Page(top->GetRecordNo(1));
    TPage* b = g.Page(top->GetRecordNo(2));
    EXPECT_EQ(a->KeyCount, 3);
    EXPECT_EQ(b->KeyCount, 2);
    EXPECT_EQ(0, std::memcmp(top->GetKeyAddress(2), KeyOf(1000, 4).data(), 1000));
    g.file->ReleasePage(a);
    g.file->ReleasePage(b);
    g.file->ReleasePage(top);
}

// Capacity 9 (key size 420): borrowing and merging between siblings under one
// parent, built by hand so that the pages hold exactly the counts wanted.
struct NineTree {
    IndexFixture f;
    uint32_t root = 0, left = 0, right = 0;

    NineTree(int leftKeys, int rightKeys) {
        f.Create(test::MakeIndexDesc("Nine", 420, true, kcNone));
        TPage* l = f.NewPage(ptLeaf);
        TPage* r = f.NewPage(ptLeaf);
        TPage* q = f.NewPage(ptRootInternal);
        for (int i = 0; i < leftKeys; ++i) IndexFixture::Append(l, KeyOf(420, 100 + i), 100 + i, 0);
        for (int i = 0; i < rightKeys; ++i) IndexFixture::Append(r, KeyOf(420, 200 + i), 200 + i, 0);
        l->SetNextPage(r->PageNumber);
        r->SetPriorPage(l->PageNumber);
        IndexFixture::Append(q, KeyOf(420, 100), l->PageNumber, leftKeys);
        IndexFixture::Append(q, KeyOf(420, 200), r->PageNumber, rightKeys);
        f.file->SetRootPage(1, q->PageNumber);
        root = q->PageNumber;
        left = l->PageNumber;
        right = r->PageNumber;
        f.file->ReleasePage(l);
        f.file->ReleasePage(r);
        f.file->ReleasePage(q);
    }
    uint16_t Count(uint32_t page) {
        TPage* p = f.Page(page);
        uint16_t n = p->KeyCount;
        f.file->ReleasePage(p);
        return n;
    }
};

TEST(IndexTree, UnderfullPagesBorrowFromTheirSiblingAndMergeWhenBothFit) {
    {
        NineTree t(7, 3);
        ASSERT_EQ(t.Count(t.left), 7);
        t.f.cursor->Delete(Bytes(KeyOf(420, 201)));
        EXPECT_EQ(t.Count(t.left), 5);
        EXPECT_EQ(t.Count(t.right), 4);
        TPage* q = t.f.Page(t.root);
        EXPECT_EQ(0, std::memcmp(q->GetKeyAddress(2), KeyOf(420, 105).data(), 420));
        EXPECT_EQ(q->GetSubtreeCount(1), 5u);
        EXPECT_EQ(q->GetSubtreeCount(2), 4u);
        t.f.file->ReleasePage(q);
        std::vector<test::TreeEntry> entries;
        EXPECT_EQ(t.f.Check(entries), "");
        EXPECT_EQ(entries.size(), 9u);
    }
    {
        NineTree t(3, 7);
        t.f.cursor->Delete(Bytes(KeyOf(420, 100)));  // the first key: separators follow
        EXPECT_EQ(t.Count(t.left), 4);
        EXPECT_EQ(t.Count(t.right), 5);
        TPage* q = t.f.Page(t.root);
        EXPECT_EQ(0, std::memcmp(q->GetKeyAddress(1), KeyOf(420, 101).data(), 420));
        EXPECT_EQ(0, std::memcmp(q->GetKeyAddress(2), KeyOf(420, 202).data(), 420));
        t.f.file->ReleasePage(q);
        std::vector<test::TreeEntry> entries;
        EXPECT_EQ(t.f.Check(entries), "");
    }
    {
        // 4 + 3 fit one page of 9: the right page merges into the left one, the
        // root is left with one child and collapses onto it.
        NineTree t(4, 4);
        t.f.cursor->Delete(Bytes(KeyOf(420, 203)));
        EXPECT_EQ(t.f.file->GetRootPage(1), t.left);
        TPage* l = t.f.Page(t.left);
        EXPECT_EQ(l->PageType, ptRootLeaf);
        EXPECT_EQ(l->KeyCount, 7);
        EXPECT_EQ(l->NextPage, 0u);
        t.f.file->ReleasePage(l);
        std::vector<test::TreeEntry> entries;
        EXPECT_EQ(t.f.Check(entries), "");
        // Both freed pages are on the chain, the last freed first.
        TIndexDesc desc;
        t.f.file->GetIndexDesc(1, desc);
        EXPECT_EQ(desc.GetU32(ido::FreeHead), t.root);
    }
    {
        // The left page underflows with a right sibling: merged to the front of it.
        NineTree t(4, 4);
        t.f.cursor->Delete(Bytes(KeyOf(420, 100)));
        EXPECT_EQ(t.f.file->GetRootPage(1), t.right);
        std::vector<test::TreeEntry> entries;
        EXPECT_EQ(t.f.Check(entries), "");
        ASSERT_EQ(entries.size(), 7u);
        EXPECT_EQ(entries.front().Record, 101u);
    }
}

TEST(IndexTree, LastKeyFreesTheRootAndTheNextAllocationReusesIt) {
    for (uint8_t compression : {kcNone, kcBoth}) {
        IndexFixture f;
        f.Create(test::MakeIndexDesc("ByKey", 12, false, compression));
        f.cursor->Insert(Bytes(KeyOf(12, 7)), 7);
        const uint32_t root = f.file->GetRootPage(1);
        f.cursor->Delete(Bytes(KeyOf(12, 7)));
        EXPECT_EQ(f.file->GetRootPage(1), 0u);
        TIndexDesc desc;
        f.file->GetIndexDesc(1, desc);
        EXPECT_EQ(desc.GetU32(ido::FreeHead), root);
        f.cursor->Insert(Bytes(KeyOf(12, 8)), 8);
        EXPECT_EQ(f.file->GetRootPage(1), root);
        f.file->GetIndexDesc(1, desc);
        EXPECT_EQ(desc.GetU32(ido::FreeHead), 0u);
        EXPECT_EQ(f.file->GetLastPageNumber(), 1u);
    }
}

TEST(IndexTree, FreeChainIsCheckedBeforeReuse) {
    IndexFixture f;
    f.Create(test::MakeIndexDesc("ByKey", 12, true, kcNone));
    f.cursor->Insert(Bytes(KeyOf(12, 1)), 1);
    const uint32_t root = f.file->GetRootPage(1);
    // A chain that leads to a page holding keys.
    f.file->SetFreePageHead(1, root);
    TPage* page = nullptr;
    try {
        f.file->AllocatePage(*f.cursor, page);
        FAIL() << "a page with keys was handed out";
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_INDEXCORRUPT);
    }
    // The same after the page went to disk and came back header-only.
    f.Reopen();
    f.file->SetFreePageHead(1, root);
    EXPECT_THROW(f.file->AllocatePage(*f.cursor, page), EKuraEngineError);
    // A chain beyond the end of the file.
    f.file->SetFreePageHead(1, 99);
    try {
        f.file->AllocatePage(*f.cursor, page);
        FAIL();
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_INDEXCORRUPT);
    }
    EXPECT_EQ(page, nullptr);
}

TEST(IndexTree, AllocationAfterARefreshTakesTheNewFreeHead) {
    IndexFixture f;
    f.Create(test::MakeIndexDesc("ByKey", 12, true, kcNone));
    TPage* one = nullptr;
    TPage* two = nullptr;
    f.file->AllocatePage(*f.cursor, one);
    f.file->AllocatePage(*f.cursor, two);
    f.file->FreePage(*f.cursor, two);
    f.file->FreePage(*f.cursor, one);  // chain: 1, 2
    f.file->ReleasePage(one);
    f.file->ReleasePage(two);
    f.file->FlushPages(false);
    f.file->FreePageCache(false);
    // The refresh brings the header of another program that has taken page 1 since.
    bool refreshed = false;
    f.cursor->OnBeginRead = [&] {
        if (refreshed) return false;
        refreshed = true;
        f.file->SetFreePageHead(1, 2);
        return true;
    };
    TPage* page = nullptr;
    f.file->AllocatePage(*f.cursor, page);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->PageNumber, 2u);
    TIndexDesc desc;
    f.file->GetIndexDesc(1, desc);
    EXPECT_EQ(desc.GetU32(ido::FreeHead), 0u);
    f.file->ReleasePage(page);
}

TEST(IndexCache, PagesAreCreatedAtTheEndCachedAndWrittenInRuns) {
    IndexFixture f;
    f.owner.CacheLimit = 8 * 8192;
    f.Create(test::MakeIndexDesc("ByKey", 12, true, kcNone));
    TPage* page = nullptr;
    EXPECT_THROW(f.file->ReadPage(*f.cursor, 0, page, false), EKuraEngineError);
    ASSERT_TRUE(f.file->ReadPage(*f.cursor, 1, page, false));  // exactly the next new page
    EXPECT_EQ(f.file->GetNextNewPage(1), 2u);
    EXPECT_TRUE(f.file->IsHeaderModified());
    f.file->ReleasePage(page);
    for (uint32_t n = 2; n <= 4; ++n) {
        ASSERT_TRUE(f.file->ReadPage(*f.cursor, n, page, false));
        f.file->ReleasePage(page);
    }
    EXPECT_THROW(f.file->ReadPage(*f.cursor, 9, page, false), EKuraEngineError);  // beyond the end
    EXPECT_TRUE(f.file->FlushPages(false));
    EXPECT_EQ(f.file->Statistics().PageWrites, 4u);
    EXPECT_EQ(f.file->Statistics().RunWrites, 1u);
    EXPECT_FALSE(f.file->FlushPages(false));
    EXPECT_EQ(f.file->GetFileSize(), 5 * 4096);
    // Dropped from the cache, page 3 is read from the file.
    f.file->FreePageCache(false);
    const uint64_t reads = f.file->Statistics().PageReads;
    ASSERT_TRUE(f.file->ReadPage(*f.cursor, 3, page, false));
    EXPECT_EQ(page->PageNumber, 3u);
    EXPECT_EQ(f.file->Statistics().PageReads, reads + 1);
    f.file->ReleasePage(page);
    ASSERT_TRUE(f.file->ReadPage(*f.cursor, 3, page, false));
    EXPECT_EQ(f.file->Statistics().PageReads, reads + 1);
    f.file->ReleasePage(page);

    // A miss asks the cursor first; a refreshed cursor gets no page.
    f.file->FreePageCache(false);
    f.cursor->OnBeginRead = [] { return true; };
    EXPECT_FALSE(f.file->ReadPage(*f.cursor, 2, page, false));
    EXPECT_EQ(page, nullptr);
}

// However long a run of dirty pages a transaction leaves, one write stays small.
TEST(IndexCache, LongRunsAreWrittenInPieces) {
    IndexFixture f;
    f.Create(test::MakeIndexDesc("ByKey", 12, true, kcNone));
    f.owner.Transaction = true;  // nothing is written to make room
    TPage* page = nullptr;
    for (uint32_t n = 1; n <= 600; ++n) {
        ASSERT_TRUE(f.file->ReadPage(*f.cursor, n, page, false));
        f.file->ReleasePage(page);
    }
    f.owner.Transaction = false;
    EXPECT_TRUE(f.file->FlushPages(false));
    EXPECT_EQ(f.file->Statistics().PageWrites, 600u);
    EXPECT_EQ(f.file->Statistics().RunWrites, 3u);  // 256 + 256 + 88
    EXPECT_EQ(f.file->GetFileSize(), 601 * 4096);
}

TEST(IndexCache, AFailedFlushKeepsItsPagesDirtyForTheNextOne) {
    IndexFixture f;
    f.owner.CacheLimit = 8 * 8192;
    f.Create(test::MakeIndexDesc("ByKey", 12, true, kcNone));
    for (uint32_t i = 1; i <= 40; ++i) f.cursor->Insert(Bytes(KeyOf(12, i)), i);
    // The handle goes away under the cache: every write of the flush fails.
    f.file->TFileHandler::CloseFile();
    try {
        f.file->FlushPages(false);
        FAIL();
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_WRITEERR);
    }
    f.file->TFileHandler::OpenFile();
    // Nothing reached the disk, so the pages must still be waiting to be written.
    EXPECT_TRUE(f.file->FlushPages(false));
    f.Reopen();
    std::vector<test::TreeEntry> entries;
    EXPECT_EQ(f.Check(entries), "");
    EXPECT_EQ(entries.size(), 40u);
}

TEST(IndexCache, DirtyPagesInATransactionGrowTheCacheAndTrimShrinksIt) {
    IndexFixture f;  // default limit: 2 pages per index
    f.Create(test::MakeIndexDesc("ByKey", 12, true, kcNone));
    EXPECT_EQ(f.file->CacheCapacity(1), 2);
    f.owner.Transaction = true;
    TPage* page = nullptr;
    for (uint32_t n = 1; n <= 2; ++n) {
        f.file->ReadPage(*f.cursor, n, page, false);
        f.file->ReleasePage(page);
    }
    EXPECT_EQ(f.file->CacheCapacity(1), 2);
    f.file->ReadPage(*f.cursor, 3, page, false);  // both cached pages are dirty
    f.file->ReleasePage(page);
    EXPECT_EQ(f.file->CacheCapacity(1), 6);
    EXPECT_EQ(f.file->CachedPageCount(1), 3);
    EXPECT_EQ(f.file->Statistics().PageWrites, 0u);
    // A trim inside the transaction may not make room by writing them.
    f.file->TrimPageCache();
    EXPECT_EQ(f.file->CachedPageCount(1), 3);
    EXPECT_EQ(f.file->Statistics().PageWrites, 0u);
    f.owner.Transaction = false;
    f.file->TrimPageCache();
    EXPECT_EQ(f.file->CachedPageCount(1), 2);
    EXPECT_EQ(f.file->CacheCapacity(1), 2);
    EXPECT_EQ(f.file->Statistics().PageWrites, 3u);
}

TEST(IndexCache, ParamsPageReadGivesUpAfterBoundedRetries) {
    IndexFixture f;
    f.Create(test::MakeIndexDesc("ByKey", 12, true, kcNone));
    TPage* page = nullptr;
    bool failed = false;
    EXPECT_FALSE(f.file->ReadParamsPage(*f.cursor, page, failed));
    f.file->AllocatePage(*f.cursor, page);
    page->SetPageType(ptRawData);
    page->ExpandKeyBuffer();
    page->GetKeyBuffer()[0] = 42;
    f.file->SetParamsPage(1, page->PageNumber);
    f.file->ReleasePage(page);
    f.Reopen();
    int refreshes = 0;
    f.cursor->OnBeginRead = [&] { return ++refreshes <= 2; };
    ASSERT_TRUE(f.file->ReadParamsPage(*f.cursor, page, failed));
    EXPECT_EQ(page->GetKeyBuffer()[0], 42);
    f.file->ReleasePage(page);
    f.file->FreePageCache(false);
    f.cursor->OnBeginRead = [] { return true; };
    try {
        f.file->ReadParamsPage(*f.cursor, page, failed);
        FAIL();
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_LOCKTIMEOUT);
    }
}

TEST(IndexTree, EncryptedIndexesScrambleEveryPage) {
    IndexFixture f;
    f.owner.Encrypted = true;
    f.Create(test::MakeIndexDesc("ByKey", 16, true, kcLeading));
    for (uint32_t i = 1; i <= 300; ++i) f.cursor->Insert(Bytes(KeyOf(16, i * 7)), i);
    f.Reopen();
    std::vector<test::TreeEntry> entries;
    EXPECT_EQ(f.Check(entries), "");
    ASSERT_EQ(entries.size(), 300u);
    EXPECT_EQ(entries[299].Record, 300u);
    // On disk the root page is the scramble of its plain image.
    TPage* root = f.Page(f.file->GetRootPage(1));
    std::vector<uint8_t> plain(INDEX_PAGE_SIZE);
    f.owner.Encrypted = false;
    root->SaveToBuffer(plain.data());
    f.owner.Encrypted = true;
    const uint32_t number = root->PageNumber;
    f.file->ReleasePage(root);
    std::vector<uint8_t> disk(INDEX_PAGE_SIZE);
    {
        TFileSectionGuard guard(*f.file);
        f.file->Seek(soFromBeginning, int64_t{number} * INDEX_PAGE_SIZE);
        f.file->ReadBuffer(disk.data(), INDEX_PAGE_SIZE, false);
    }
    EXPECT_NE(disk, plain);
    ScrambleBuffer(disk.data(), INDEX_PAGE_SIZE, 83, 164);
    EXPECT_EQ(disk, plain);
}

// ---- Randomised model test -------------------------------------------------------------

struct ModelConfig {
    uint8_t Compression;
    bool Unique;
    uint16_t KeySize;
    int Operations;
};

// Keys look like stored field values: a few distinct leading bytes, a text part of
// varying length and zero padding, so that prefixes, trailing zeros and equal
// values all occur; non-unique keys end with a row identifier.
std::string ModelKey(std::mt19937& rng, const ModelConfig& c, uint32_t valueSpace, uint32_t rowId) {
    const uint16_t valueSize = c.Unique ? c.KeySize : static_cast<uint16_t>(c.KeySize - 4);
    const uint32_t v = rng() % valueSpace;
    std::string key(c.KeySize, '\0');
    std::mt19937 shape(v);
    key[0] = static_cast<char>(1 + v % 3);
    const uint32_t textLength = shape() % valueSize;
    for (uint32_t i = 1; i < textLength && i < valueSize; ++i) key[i] = static_cast<char>('A' + shape() % 3);
    if (valueSize >= 3) {
        key[valueSize - 2] = static_cast<char>(v >> 8);
        key[valueSize - 1] = static_cast<char>(v);
        if (shape() % 2) {  // trailing zeros, the value moved to the front
            key[valueSize - 2] = key[valueSize - 1] = 0;
            key[1] = static_cast<char>(v >> 8);
            key[2] = static_cast<char>(v);
        }
    }
    if (!c.Unique)
        for (int i = 0; i < 4; ++i) key[valueSize + i] = static_cast<char>(rowId >> (8 * (3 - i)));
    return key;
}

void RunModel(const ModelConfig& c, uint32_t seed) {
    SCOPED_TRACE("compression " + std::to_string(c.Compression) + (c.Unique ? " unique" : " non-unique") +
                 " key size " + std::to_string(c.KeySize));
    IndexFixture f;
    f.Create(test::MakeIndexDesc("Model", c.KeySize, c.Unique, c.Compression));
    std::mt19937 rng(seed);
    std::multimap<std::string, uint32_t> model;
    std::vector<std::string> present;
    uint32_t rowId = 0;
    const uint32_t valueSpace = c.Unique ? 20000 : 300;

    int32_t tallest = 0;
    std::size_t largest = 0;
    auto compare = [&]() {
        std::vector<test::TreeEntry> entries;
        test::TreeChecker checker(*f.file, *f.cursor);
        const std::string error = checker.Check(entries, true);
        ASSERT_EQ(error, "");
        tallest = std::max(tallest, checker.Height());
        largest = std::max(largest, entries.size());
        ASSERT_EQ(entries.size(), model.size());
        auto it = model.begin();
        for (const auto& e : entries) {
            ASSERT_EQ(e.Key, it->first);
            ASSERT_EQ(e.Record, it->second);
            ++it;
        }
    };

    for (int op = 0; op < c.Operations; ++op) {
        const bool growing = op < c.Operations * 2 / 3;
        const bool insert = present.empty() || (rng() % 100) < (growing ? 75u : 35u);
        if (insert) {
            const std::string key = ModelKey(rng, c, valueSpace, ++rowId);
            if (model.count(key) != 0) {
                ASSERT_TRUE(f.cursor->Exists(Bytes(key)));
                continue;
            }
            f.cursor->Insert(Bytes(key), rowId);
            model.emplace(key, rowId);
            present.push_back(key);
        } else {
            const std::size_t pick = rng() % present.size();
            const std::string key = present[pick];
            present[pick] = present.back();
            present.pop_back();
            ASSERT_TRUE(f.cursor->Exists(Bytes(key)));
            f.cursor->Delete(Bytes(key));
            model.erase(model.find(key));
        }
        if (op % 1500 == 1499) {
            ASSERT_NO_FATAL_FAILURE(compare());
        }
        if (op == c.Operations / 2) {
            f.Reopen();
            ASSERT_NO_FATAL_FAILURE(compare());
        }
    }
    ASSERT_NO_FATAL_FAILURE(compare());
    // The walk must have reached internal levels, where borrowing and merging happen.
    EXPECT_GE(tallest, c.KeySize > 500 ? 4 : 2);
    EXPECT_GT(largest, 500u);
    // Emptied again: no root, every page on the free chain.
    for (const std::string& key : present) f.cursor->Delete(Bytes(key));
    model.clear();
    EXPECT_EQ(f.file->GetRootPage(1), 0u);
    ASSERT_NO_FATAL_FAILURE(compare());
    f.Reopen();
    ASSERT_NO_FATAL_FAILURE(compare());
}

class IndexModel : public ::testing::TestWithParam<uint8_t> {};

TEST_P(IndexModel, RandomInsertsAndDeletesKeepTheTreeSound) {
    const uint8_t compression = GetParam();
    uint32_t seed = 1000u + compression;
    for (bool unique : {true, false}) {
        const uint16_t small = unique ? 5 : 9;
        const uint16_t medium = unique ? 40 : 44;
        const uint16_t large = unique ? 522 : 526;
        RunModel({compression, unique, small, 9000}, ++seed);
        RunModel({compression, unique, medium, 10000}, ++seed);
        RunModel({compression, unique, large, 3000}, ++seed);
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCompression, IndexModel, ::testing::Values(kcNone, kcLeading, kcTrailing, kcBoth));

}  // namespace
}  // namespace kura
