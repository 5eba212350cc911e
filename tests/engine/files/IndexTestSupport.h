#pragma once
// Test doubles of the table and the cursor that drive an index file, the cursor's
// descent that inserts and deletes keys, and a checker that walks a whole index and
// reports the first broken rule. Shared by the index tests and the index benchmark,
// so it uses no test framework.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/files/IndexFile.h"

namespace kura::test {

struct TestIndexOwner : TIndexFileOwner {
    std::string Name = "STAFF";
    bool Remote = false;
    bool Encrypted = false;
    bool Memory = false;
    int32_t CacheLimit = DEFAULT_INDEX_CACHE_LIMIT;
    bool Strict = false;
    bool ForceFlush = false;
    bool Written = false;
    bool Transaction = false;
    std::string PrivateDir;
    std::vector<TIndexKeyField> Fields;  // field 1 is Fields[0]

    std::string GetTableName() const override { return Name; }
    TTableErrorContext GetErrorContext() const override { return {"", "", "DB"}; }
    bool IsRemote() const override { return Remote; }
    bool IsEncrypted() const override { return Encrypted; }
    bool IsMemory() const override { return Memory; }
    int32_t GetIndexCacheLimit() const override { return CacheLimit; }
    bool GetStrictChangeDetection() const override { return Strict; }
    bool GetForceBufferFlush() const override { return ForceFlush; }
    std::string GetPrivateDirectory() const override { return PrivateDir; }
    uint16_t GetLanguageId() const override { return 0; }
    uint16_t GetSortId() const override { return 0; }
    bool GetFilesWritten() const override { return Written; }
    void SetFilesWritten() override { Written = true; }
    bool InTransaction() const override { return Transaction; }
    uint16_t GetFieldCount() const override { return static_cast<uint16_t>(Fields.size()); }
    bool GetKeyField(uint16_t fieldNo, TIndexKeyField& field) const override {
        if (fieldNo < 1 || fieldNo > Fields.size()) return false;
        field = Fields[fieldNo - 1];
        return true;
    }
};

// Keys compare as unsigned bytes. The descent follows the cursor's: subtree
// counts adjusted on the way down, the path recorded level by level.
class TestIndexCursor : public TIndexCursor {
public:
    TestIndexCursor(TIndexFile& file, uint8_t index) : File(file), Index(index) {}

    uint8_t GetIndexNumber() const override { return Index; }
    bool CheckBeforeCacheMiss() override {
        ++BeginReads;
        return OnBeginRead ? OnBeginRead() : false;
    }
    int32_t CompareKeys(const uint8_t* entryKey, const uint8_t* key, uint16_t keySize) override {
        const int c = std::memcmp(entryKey, key, keySize);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    uint8_t GetPathDepth() const override { return Depth; }
    void SetPathDepth(uint8_t depth) override { Depth = depth; }
    uint32_t GetPathSlot(uint8_t depth) const override { return depth <= MAX_INDEX_DEPTH ? Slots[depth] : 0; }
    void SetPathSlot(uint8_t depth, uint32_t slot) override {
        if (depth <= MAX_INDEX_DEPTH) Slots[depth] = slot;
    }
    uint32_t GetPathParent(uint8_t depth) const override { return depth <= MAX_INDEX_DEPTH ? Pages[depth] : 0; }

    TPage* Root() {
        TPage* page = nullptr;
        bool failed = false;
        File.ReadRootPage(*this, page, failed);
        return page;
    }

    bool Exists(const uint8_t* key) {
        TPage* page = Root();
        if (!page) return false;
        while (true) {
            uint32_t slot = 0;
            const bool exact = page->FindKey(*this, key, slot);
            if (page->IsLeaf()) {
                File.ReleasePage(page);
                return exact;
            }
            const uint32_t child = page->GetRecordNo(slot);
            File.ReleasePage(page);
            File.ReadPage(*this, child, page, false);
        }
    }

    void Insert(const uint8_t* key, uint32_t record) {
        TPage* page = Root();
        if (!page) {
            File.AllocatePage(*this, page);
            page->SetPageType(ptRootLeaf);
            uint32_t slot = 0;
            page->InsertGap(key, slot);
            page->SetRecordNo(slot, record);
            page->CompressKeys();
            File.SetRootPage(Index, page->PageNumber);
            File.ReleasePage(page);
            return;
        }
        Descend(page, key, true);
        page->InsertKey(*this, key, 0, record);
        File.ReleasePage(page);
    }

    void Delete(const uint8_t* key) {
        TPage* page = Root();
        if (!page) RaiseEngineError(KURA_INDEXCORRUPT);
        Descend(page, key, false);
        page->DeleteKey(*this);
        File.ReleasePage(page);
    }

    TIndexFile& File;
    uint8_t Index;
    uint8_t Depth = 0;
    uint32_t Pages[MAX_INDEX_DEPTH + 1] = {};
    uint32_t Slots[MAX_INDEX_DEPTH + 1] = {};
    int BeginReads = 0;
    std::function<bool()> OnBeginRead;

private:
    void Descend(TPage*& page, const uint8_t* key, bool inserting) {
        Depth = 1;
        std::fill(std::begin(Pages), std::end(Pages), 0u);
        std::fill(std::begin(Slots), std::end(Slots), 0u);
        while (true) {
            uint32_t slot = 0;
            if (inserting)
                page->FindInsertSlot(*this, key, slot);
            else
                page->FindDeleteSlot(*this, key, slot);
            Slots[Depth] = slot;
            if (page->IsLeaf()) return;
            const uint32_t follow = std::max<uint32_t>(slot, 1);
            const uint32_t count = page->GetSubtreeCount(follow);
            page->SetSubtreeCount(follow, inserting ? count + 1 : count - 1);
            const uint32_t child = page->GetRecordNo(follow);
            const uint32_t here = page->PageNumber;
            File.ReleasePage(page);
            if (++Depth > MAX_INDEX_DEPTH) RaiseEngineError(KURA_INDEXCORRUPT);
            Pages[Depth] = here;
            File.ReadPage(*this, child, page, false);
        }
    }
};

// One leaf entry in index order.
struct TreeEntry {
    std::string Key;
    uint32_t Record;
};

// Walks the whole index of the cursor and its free-page chain. Returns "" when
// every rule holds, else a description of the first broken one. `entries`
// receives the leaf entries in order. `expectAllPages` also demands that tree and
// free chain together account for every page of the file (one index per file).
class TreeChecker {
public:
    TreeChecker(TIndexFile& file, TestIndexCursor& cursor) : file_(file), cursor_(cursor) {}

    std::string Check(std::vector<TreeEntry>& entries, bool expectAllPages) {
        entries.clear();
        seen_.clear();
        levels_.clear();
        leafDepth_ = -1;
        error_.clear();
        const uint32_t root = file_.GetRootPage(cursor_.Index);
        if (root != 0) {
            uint32_t count = 0;
            std::string minKey, maxKey;
            Walk(root, 1, true, entries, count, minKey, maxKey);
        }
        if (!error_.empty()) return error_;
        for (std::size_t level = 0; level < levels_.size() && error_.empty(); ++level) CheckLinks(levels_[level]);
        if (!error_.empty()) return error_;
        for (std::size_t i = 1; i < entries.size(); ++i)
            if (!(entries[i - 1].Key < entries[i].Key)) return "leaf keys out of order at " + std::to_string(i);
        // Free chain.
        TIndexDesc desc;
        file_.GetIndexDesc(cursor_.Index, desc);
        uint32_t free = desc.GetU32(ido::FreeHead);
        uint32_t freeCount = 0;
        while (free != 0) {
            if (!file_.IsValidPageNumber(free)) return "free chain leads to invalid page " + std::to_string(free);
            if (!seen_.insert(free).second) return "free page " + std::to_string(free) + " also in use or looped";
            TPage* page = nullptr;
            file_.ReadPage(cursor_, free, page, false);
            const bool isFree = page->Free || page->KeyCount == 0;
            const uint32_t next = page->NextPage;
            file_.ReleasePage(page);
            if (!isFree) return "free page " + std::to_string(free) + " holds keys";
            free = next;
            ++freeCount;
        }
        if (expectAllPages && seen_.size() != file_.GetLastPageNumber())
            return "pages lost: " + std::to_string(seen_.size()) + " accounted of " +
                   std::to_string(file_.GetLastPageNumber());
        return "";
    }

    int32_t Height() const { return leafDepth_; }

private:
    void Fail(const std::string& what, uint32_t page) {
        if (error_.empty()) error_ = what + " (page " + std::to_string(page) + ")";
    }

    void Walk(uint32_t number, int depth, bool isRoot, std::vector<TreeEntry>& entries, uint32_t& count,
              std::string& minKey, std::string& maxKey) {
        if (!error_.empty()) return;
        if (depth > MAX_INDEX_DEPTH) return Fail("too deep", number);
        if (!seen_.insert(number).second) return Fail("page reached twice", number);
        if (levels_.size() < static_cast<std::size_t>(depth)) levels_.resize(depth);
        TPage* page = nullptr;
        file_.ReadPage(cursor_, number, page, false);
        levels_[depth - 1].push_back({number, {page->PriorPage, page->NextPage}});
        const uint16_t ks = page->KeySize;
        const uint32_t keys = page->KeyCount;
        auto keyAt = [&](uint32_t i) { return std::string(reinterpret_cast<const char*>(page->GetKeyAddress(i)), ks); };
        if (page->Free) Fail("free page in the tree", number);
        if (isRoot && !page->IsRoot()) Fail("root without root type", number);
        if (!isRoot && page->IsRoot()) Fail("root type below the root", number);
        if (keys == 0) Fail("empty page in the tree", number);
        for (uint32_t i = 2; i <= keys; ++i)
            if (!(keyAt(i - 1) < keyAt(i))) Fail("keys out of order in page", number);
        if (page->IsCompressedLeaf()) {
            if (page->UsedBytes > PAGE_DATA_SIZE) Fail("compressed leaf overfull", number);
        } else {
            if (keys > page->MaxKeys()) Fail("page overfull", number);
            if (!isRoot && keys < page->MaxKeys() / 2) Fail("page underfull", number);
        }
        if (isRoot && !page->IsLeaf() && keys < 2) Fail("root with a single child", number);
        if (page->IsLeaf()) {
            if (leafDepth_ < 0) leafDepth_ = depth;
            if (leafDepth_ != depth) Fail("leaves at different depths", number);
            for (uint32_t i = 1; i <= keys; ++i) entries.push_back({keyAt(i), page->GetRecordNo(i)});
            count = keys;
            if (keys > 0) {
                minKey = keyAt(1);
                maxKey = keyAt(keys);
            }
            file_.ReleasePage(page);
            return;
        }
        // Copy what the walk needs: reading children may recycle nothing pinned,
        // but keep the page's own data stable anyway.
        std::vector<std::pair<std::string, std::pair<uint32_t, uint32_t>>> children;
        for (uint32_t i = 1; i <= keys; ++i)
            children.push_back({keyAt(i), {page->GetRecordNo(i), page->GetSubtreeCount(i)}});
        const bool counts = page->KeepsCounts();
        file_.ReleasePage(page);
        count = 0;
        std::string previousMax;
        for (std::size_t i = 0; i < children.size() && error_.empty(); ++i) {
            uint32_t childCount = 0;
            std::string childMin, childMax;
            Walk(children[i].second.first, depth + 1, false, entries, childCount, childMin, childMax);
            if (!error_.empty()) return;
            if (counts && children[i].second.second != childCount) Fail("subtree count wrong", number);
            if (!(children[i].first <= childMin)) Fail("separator above its child's first key", number);
            if (i > 0 && !(previousMax < children[i].first)) Fail("separator not above the left subtree", number);
            if (i == 0) minKey = childMin;
            maxKey = childMax;
            previousMax = childMax;
            count += childCount;
        }
    }

    void CheckLinks(const std::vector<std::pair<uint32_t, std::pair<uint32_t, uint32_t>>>& level) {
        for (std::size_t i = 0; i < level.size(); ++i) {
            const uint32_t prior = i == 0 ? 0 : level[i - 1].first;
            const uint32_t next = i + 1 == level.size() ? 0 : level[i + 1].first;
            if (level[i].second.first != prior) Fail("prior link wrong", level[i].first);
            if (level[i].second.second != next) Fail("next link wrong", level[i].first);
        }
    }

    TIndexFile& file_;
    TestIndexCursor& cursor_;
    std::set<uint32_t> seen_;
    std::vector<std::vector<std::pair<uint32_t, std::pair<uint32_t, uint32_t>>>> levels_;
    int32_t leafDepth_ = -1;
    std::string error_;
};

// A descriptor with the given shape; field numbers are not looked at by the tree.
inline TIndexDesc MakeIndexDesc(std::string_view name, uint16_t keySize, bool unique, uint8_t compression,
                                bool noCounts = false) {
    TIndexDesc desc;
    desc.SetName(name);
    desc.SetKeySize(keySize);
    desc.SetByte(ido::Unique, unique ? 1 : 0);
    desc.SetByte(ido::Compression, compression);
    desc.SetByte(ido::FieldCount, 1);
    desc.SetField(0, 1);
    desc.SetByte(ido::NoCounts, noCounts ? 1 : 0);
    return desc;
}

}  // namespace kura::test
