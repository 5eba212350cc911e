// Index keys kept in step with the records: duplicate keys, key replacement, adding
// and dropping secondary indexes on tables with records, the key size limit and the
// rebuild of a lost index file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/errors/EngineErrors.h"
#include "platform/FileCalls.h"
#include "tests/common/EngineTestSupport.h"
#include "tests/engine/core/CursorTableTestSupport.h"
#include "tests/engine/files/IndexTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

LibraryScope library;

// Id (unique primary), Name (string 20), City (string 20); "ByName" unique on Name
// when asked.
TableBuilder StaffTable(bool uniqueName) {
    TableBuilder b;
    b.Field("Id", fldINT32);
    b.Field("Name", fldZSTRING, 20);
    b.Field("City", fldZSTRING, 20);
    b.Primary({1});
    if (uniqueName) b.Secondary("ByName", {2}, true);
    return b;
}

uint32_t Add(TDataCursor& c, int32_t id, const std::string& name, const std::string& city) {
    RecordImage r(c);
    r.Int(1, id);
    if (!name.empty()) r.Text(2, name);
    if (!city.empty()) r.Text(3, city);
    return AppendPlain(c, r.data());
}

// The whole tree of one index checked rule by rule; "" when sound.
std::string CheckTree(TDataCursor& c, uint8_t slot, std::vector<TreeEntry>* out = nullptr) {
    TIndexFile& file = c.GetTable()->GetIndexFile();
    TestIndexCursor walker(file, slot);
    TreeChecker checker(file, walker);
    std::vector<TreeEntry> entries;
    std::string problem = checker.Check(entries, false);
    if (problem.empty() && file.GetRootPage(slot) != 0) {
        // The subtree counts of the root add up to the keys of the tree.
        TPage* root = walker.Root();
        if (!root->IsLeaf() && root->CountKeys() != entries.size()) problem = "root count wrong";
        file.ReleasePage(root);
    }
    if (out) *out = entries;
    return problem;
}

}  // namespace

TEST(IndexMaintenance, DuplicateKeysAndKeyReplacement) {
    TestDb db;
    TableBuilder b = StaffTable(true);
    b.Secondary("ByCity", {3}, false);
    db.Create("STAFF", b.Def);
    auto c = db.Open("STAFF");

    Add(*c, 1, "Aoki", "Tokyo");
    Add(*c, 2, "Baba", "Tokyo");
    EXPECT_EQ(c->GetTableRecordCount(), 2u);

    // A second Id 1 violates the primary index, a second "Aoki" the unique one;
    // the same city is no duplicate in a non-unique index.
    Raised r = RaisedBy([&] { Add(*c, 1, "Chiba", "Osaka"); });
    EXPECT_EQ(r.code, KURA_KEYVIOL);
    EXPECT_EQ(r.table, "STAFF");
    r = RaisedBy([&] { Add(*c, 3, "Aoki", "Osaka"); });
    EXPECT_EQ(r.code, KURA_KEYVIOL);
    EXPECT_EQ(r.index, "ByName");
    EXPECT_EQ(RaisedBy([&] { Add(*c, 3, "Chiba", "Tokyo"); }).code, 0);

    // Blank key fields take part like values: two blank names collide.
    EXPECT_EQ(RaisedBy([&] { Add(*c, 4, "", "Nara"); }).code, 0);
    EXPECT_EQ(RaisedBy([&] { Add(*c, 5, "", "Nara"); }).code, KURA_KEYVIOL);

    RecordImage probe(*c);
    probe.Int(1, 2).Text(2, "Baba").Text(3, "Tokyo");
    c->SetIndexNumber(1);
    std::vector<uint8_t> key(CURSOR_KEY_BUFFER_SIZE, 0);
    c->BuildIndexKey(probe.data(), key.data());
    EXPECT_TRUE(c->KeyExists(key.data()));
    EXPECT_TRUE(c->IsKeyViolation(key.data()));
    c->SetIndexNumber(2);
    std::fill(key.begin(), key.end(), 0);
    c->BuildIndexKey(probe.data(), key.data());
    // Non-unique keys end with the row identifier: never a violation.
    EXPECT_FALSE(c->IsKeyViolation(key.data()));

    // Replacing a key: "Baba" (record 2) becomes "Zama".
    RecordImage renamed(*c);
    renamed.Int(1, 2).Text(2, "Zama").Text(3, "Tokyo");
    c->SetIndexNumber(1);
    std::vector<uint8_t> oldKey(CURSOR_KEY_BUFFER_SIZE, 0), newKey(CURSOR_KEY_BUFFER_SIZE, 0);
    c->BuildIndexKey(probe.data(), oldKey.data());
    c->BuildIndexKey(renamed.data(), newKey.data());
    c->BeginWrite();
    c->DeleteIndexKey(oldKey.data(), newKey.data(), 2);
    c->EndWrite();
    EXPECT_FALSE(c->KeyExists(oldKey.data()));
    EXPECT_TRUE(c->KeyExists(newKey.data()));
    EXPECT_EQ(KeysOf(*c, 1).back(), 2u);  // "Zama" sorts last

    // A key that is not there cannot be replaced or removed.
    r = RaisedBy([&] { c->DeleteIndexKey(oldKey.data(), newKey.data(), 2); });
    EXPECT_EQ(r.code, KURA_INDEXCORRUPT);
    EXPECT_EQ(r.index, "ByName");
    EXPECT_EQ(RaisedBy([&] { c->DeleteIndexKey2(oldKey.data()); }).code, KURA_INDEXCORRUPT);
    c->DeleteIndexKey2(newKey.data());
    EXPECT_FALSE(c->KeyExists(newKey.data()));
    EXPECT_EQ(CheckTree(*c, 1), "");

    // An index without any page: nothing exists, nothing can be deleted.
    db.Create("NOKEYS", b.Def);
    auto e = db.Open("NOKEYS");
    e->SetIndexNumber(1);
    EXPECT_FALSE(e->KeyExists(key.data()));
    EXPECT_FALSE(e->IsKeyViolation(key.data()));
    EXPECT_EQ(RaisedBy([&] { e->DeleteKeyFromTree(key.data()); }).code, KURA_INDEXCORRUPT);
    EXPECT_EQ(RaisedBy([&] { e->DeleteIndexKey2(key.data()); }).code, KURA_INDEXCORRUPT);
}

TEST(IndexMaintenance, ManyKeysSplitAndMergeWithCountsInStep) {
    TestDb db;
    TableBuilder b = StaffTable(false);
    b.Secondary("ByCity", {3}, false);
    db.Create("MANY", b.Def);
    auto c = db.Open("MANY");
    const int n = 1500;
    for (int i = 0; i < n; ++i) {
        const int id = (i * 7919) % n;  // out of order
        Add(*c, id, "N" + std::to_string(id), "C" + std::to_string(id % 37));
    }
    std::vector<TreeEntry> entries;
    EXPECT_EQ(CheckTree(*c, 0, &entries), "");
    EXPECT_EQ(entries.size(), static_cast<std::size_t>(n));
    EXPECT_EQ(CheckTree(*c, 1, &entries), "");
    EXPECT_EQ(entries.size(), static_cast<std::size_t>(n));
    EXPECT_EQ(CheckTree(*c, SYS_DELETED_SLOT, &entries), "");
    EXPECT_EQ(entries.size(), static_cast<std::size_t>(n));

    // Remove every key of the even Ids from the primary index. A key removed once
    // is not there to be removed again: that is refused, and the subtree counts on
    // its way stay as they are.
    c->BeginWrite();
    int refused = 0;
    for (int id = 0; id < n; id += 2) {
        RecordImage r(*c);
        r.Int(1, id);
        c->SetIndexNumber(0);
        std::vector<uint8_t> key(CURSOR_KEY_BUFFER_SIZE, 0);
        c->BuildIndexKey(r.data(), key.data());
        c->DeleteIndexKey2(key.data());
        if (id % 6 == 0) refused += RaisedBy([&] { c->DeleteIndexKey2(key.data()); }).code == KURA_INDEXCORRUPT;
    }
    c->EndWrite();
    EXPECT_EQ(refused, (n + 5) / 6);
    EXPECT_EQ(CheckTree(*c, 0, &entries), "");
    EXPECT_EQ(entries.size(), static_cast<std::size_t>(n / 2));
}

TEST(IndexMaintenance, AddingIndexesToFullAndEmptyTables) {
    TestDb db;
    db.session.SetProgressSteps(4);  // a report every 25 percent
    TableBuilder b = StaffTable(false);
    db.Create("FULL", b.Def);
    db.Create("EMPTY", b.Def);
    auto c = db.Open("FULL");
    for (int id = 1; id <= 400; ++id) Add(*c, id, "N" + std::to_string(id), "C" + std::to_string(400 - id));
    std::vector<uint16_t> progress;
    c->Events().IndexProgress = [&](TDataCursor*, uint16_t percent) { progress.push_back(percent); };

    TIndexDesc byCity = b.Desc("ByCity", {3}, false);
    byCity.SetKeySize(0);  // computed by the cursor
    c->AddSecondaryIndex(byCity, 0);
    EXPECT_EQ(byCity.GetKeySize(), 22 + 4);
    EXPECT_EQ(byCity.GetFieldCount(), 1);
    EXPECT_EQ(c->GetIndexCount(), 1);
    EXPECT_EQ(progress, (std::vector<uint16_t>{25, 50, 75, 100}));
    std::vector<TreeEntry> entries;
    EXPECT_EQ(CheckTree(*c, 1, &entries), "");
    ASSERT_EQ(entries.size(), 400u);
    // City "C0" belongs to record 400, and so on: key order follows the text.
    EXPECT_EQ(entries.front().Record, 400u);
    // The cursor stays on its index.
    EXPECT_EQ(c->GetCurrentIndexNo(), 0);

    // The empty table only gets the descriptor.
    auto e = db.Open("EMPTY");
    std::vector<uint16_t> none;
    e->Events().IndexProgress = [&](TDataCursor*, uint16_t percent) { none.push_back(percent); };
    TIndexDesc emptyIndex = b.Desc("ByCity", {3}, false);
    e->AddSecondaryIndex(emptyIndex, 0);
    EXPECT_EQ(e->GetIndexCount(), 1);
    EXPECT_EQ(e->GetTable()->GetIndexFile().GetRootPage(1), 0u);
    EXPECT_TRUE(none.empty());

    // Name checks of the index file.
    TIndexDesc again = b.Desc("bycity", {2}, false);
    EXPECT_EQ(RaisedBy([&] { c->AddSecondaryIndex(again, 0); }).code, KURA_INDEXEXISTS);
    TIndexDesc noName = b.Desc("", {2}, false);
    EXPECT_EQ(RaisedBy([&] { c->AddSecondaryIndex(noName, 0); }).code, KURA_INDEXNAMEREQUIRED);

    // A build that fails part-way (here its progress callback) leaves no
    // half-built index behind, and the same index can be added afterwards.
    c->Events().IndexProgress = [](TDataCursor*, uint16_t percent) {
        if (percent >= 50) throw std::runtime_error("stop");
    };
    TIndexDesc byName = b.Desc("ByName", {2}, true);
    EXPECT_THROW(c->AddSecondaryIndex(byName, 0), std::runtime_error);
    EXPECT_EQ(c->GetIndexCount(), 1);
    c->Events().IndexProgress = nullptr;
    c->AddSecondaryIndex(byName, 0);
    EXPECT_EQ(c->GetIndexCount(), 2);
    EXPECT_EQ(CheckTree(*c, 2, &entries), "");
    EXPECT_EQ(entries.size(), 400u);

    // Both survive closing and opening again.
    c.reset();
    auto again2 = db.Open("FULL");
    EXPECT_EQ(CheckTree(*again2, 1, &entries), "");
    EXPECT_EQ(entries.size(), 400u);
}

TEST(IndexMaintenance, AddingIndexesNeedsExclusiveWritableCursors) {
    TestDb db;
    TableBuilder b = StaffTable(false);
    db.Create("SHARED", b.Def);
    {
        auto shared = db.Open("SHARED", false);
        TIndexDesc d = b.Desc("ByName", {2}, false);
        EXPECT_EQ(RaisedBy([&] { shared->AddSecondaryIndex(d, 0); }).code, KURA_NEEDEXCLACCESS);
        EXPECT_EQ(RaisedBy([&] { shared->DeleteIndex("", 1); }).code, KURA_NEEDEXCLACCESS);
        EXPECT_EQ(shared->GetIndexCount(), 0);
    }
    auto ro = std::make_unique<TDataCursor>(db.dir);
    ro->SetTableName("SHARED");
    ro->SetExclusive(true);
    ro->SetReadOnly(true);
    ro->OpenCursor();
    TIndexDesc d = b.Desc("ByName", {2}, false);
    EXPECT_EQ(RaisedBy([&] { ro->AddSecondaryIndex(d, 0); }).code, KURA_OSEACCES);
}

TEST(IndexMaintenance, KeySizeLimit) {
    TestDb db;
    TableBuilder b;
    b.Field("A", fldZSTRING, 250);  // 252 bytes in a key
    b.Field("B", fldZSTRING, 250);  // 252
    b.Field("C16", fldZSTRING, 16);  // 18: 522 with A and B
    b.Field("C17", fldZSTRING, 17);  // 19: 523
    b.Field("C12", fldZSTRING, 12);  // 14: 518, 522 with the row identifier
    b.Field("C13", fldZSTRING, 13);  // 15: 519
    db.Create("WIDE", b.Def);
    auto c = db.Open("WIDE");
    RecordImage r(*c);
    r.Text(1, "x");
    AppendPlain(*c, r.data());

    TIndexDesc exact = b.Desc("Exact", {1, 2, 3}, true);
    EXPECT_EQ(RaisedBy([&] { c->AddSecondaryIndex(exact, 0); }).code, 0);
    EXPECT_EQ(exact.GetKeySize(), 522);
    TIndexDesc over = b.Desc("Over", {1, 2, 4}, true);
    Raised raised = RaisedBy([&] { c->AddSecondaryIndex(over, 0); });
    EXPECT_EQ(raised.code, KURA_INVALIDKEY);
    EXPECT_EQ(raised.table, "WIDE");
    // A non-unique key carries the row identifier too.
    TIndexDesc withRow = b.Desc("WithRow", {1, 2, 5}, false);
    EXPECT_EQ(RaisedBy([&] { c->AddSecondaryIndex(withRow, 0); }).code, 0);
    EXPECT_EQ(withRow.GetKeySize(), 522);
    TIndexDesc withRowOver = b.Desc("WithRowOver", {1, 2, 6}, false);
    EXPECT_EQ(RaisedBy([&] { c->AddSecondaryIndex(withRowOver, 0); }).code, KURA_INVALIDKEY);
    TIndexDesc noFields;
    noFields.SetName("NoFields");
    EXPECT_EQ(RaisedBy([&] { c->AddSecondaryIndex(noFields, 0); }).code, KURA_INVALIDKEY);
    // Refused indexes leave the header alone.
    EXPECT_EQ(c->GetIndexCount(), 2);
    c->SetIndexName("WithRow");
    EXPECT_EQ(c->FKeySize, 522);
    EXPECT_EQ(CheckTree(*c, 2), "");
    EXPECT_EQ(KeysOf(*c, 2).size(), 1u);
}

TEST(IndexMaintenance, DeletingIndexesFreesTheirPages) {
    TestDb db;
    TableBuilder b = StaffTable(false);
    b.Secondary("ByName", {2}, false);
    b.Secondary("ByCity", {3}, false);
    db.Create("DROP", b.Def);
    auto c = db.Open("DROP");
    for (int id = 1; id <= 600; ++id) Add(*c, id, "Name" + std::to_string(id), "City" + std::to_string(id % 50));
    const std::vector<uint32_t> cityOrder = KeysOf(*c, 2);
    ASSERT_EQ(cityOrder.size(), 600u);
    TIndexFile& file = c->GetTable()->GetIndexFile();
    const uint32_t pagesBefore = file.GetLastPageNumber();

    c->SetIndexName("ByName");
    EXPECT_EQ(RaisedBy([&] { c->DeleteIndex("NoSuch", 1); }).code, KURA_INVALIDINDEXNAME);
    c->DeleteIndex(" byname ", 1);
    // The later index moved down a slot and still holds every key in order.
    EXPECT_EQ(c->GetIndexCount(), 1);
    EXPECT_EQ(c->GetCurrentIndexNo(), 0);
    TIndexDesc moved;
    file.GetIndexDesc(1, moved);
    EXPECT_EQ(moved.GetName(), "ByCity");
    EXPECT_EQ(KeysOf(*c, 1), cityOrder);
    EXPECT_EQ(CheckTree(*c, 1), "");

    // A new index reuses the freed pages instead of growing the file.
    TIndexDesc again = b.Desc("ByName2", {2}, false);
    c->AddSecondaryIndex(again, 0);
    EXPECT_EQ(file.GetLastPageNumber(), pagesBefore);
    EXPECT_EQ(CheckTree(*c, 2), "");
    EXPECT_EQ(KeysOf(*c, 2).size(), 600u);

    // An index without pages only loses its descriptor.
    TableBuilder e = StaffTable(false);
    db.Create("EMPTYDROP", e.Def);
    auto d = db.Open("EMPTYDROP");
    TIndexDesc spare = e.Desc("Spare", {2}, false);
    d->AddSecondaryIndex(spare, 0);
    d->DeleteIndex("Spare", 1);
    EXPECT_EQ(d->GetIndexCount(), 0);

    // Dropping the primary index leaves natural order.
    c->DeleteIndex("", 1);
    EXPECT_TRUE(c->GetTable()->GetNoPrimaryIndex());
    EXPECT_EQ(file.GetRootPage(0), 0u);
    EXPECT_TRUE(c->IsNaturalOrder());

    // A damaged tree that reaches one page twice is refused, not freed twice.
    TableBuilder t = StaffTable(false);
    t.Secondary("ByName", {2}, false);
    db.Create("DAMAGED", t.Def);
    auto bad = db.Open("DAMAGED");
    for (int id = 1; id <= 600; ++id) Add(*bad, id, "Name" + std::to_string(id), "");
    TIndexFile& badFile = bad->GetTable()->GetIndexFile();
    {
        TestIndexCursor walker(badFile, 1);
        TPage* root = walker.Root();
        ASSERT_FALSE(root->IsLeaf());
        root->SetRecordNo(2, root->GetRecordNo(1));
        root->Modified = 1;
        badFile.ReleasePage(root);
    }
    EXPECT_EQ(RaisedBy([&] { bad->DeleteIndexByNumber(1, 1); }).code, KURA_INDEXCORRUPT);
    // A sound index goes by its number too.
    bad->DeleteIndexByNumber(0, 1);
    EXPECT_TRUE(bad->GetTable()->GetNoPrimaryIndex());
    EXPECT_EQ(badFile.GetRootPage(0), 0u);

    // Everything written is read back the same after a reopen.
    c.reset();
    auto reopened = db.Open("DROP");
    EXPECT_EQ(reopened->GetIndexCount(), 2);
    EXPECT_EQ(KeysOf(*reopened, 1), cityOrder);
    EXPECT_EQ(CheckTree(*reopened, 1), "");
    EXPECT_EQ(CheckTree(*reopened, 2), "");
    EXPECT_EQ(CheckTree(*reopened, SYS_DELETED_SLOT), "");
}

TEST(IndexMaintenance, UniqueIndexBuildRemovesTheLaterDuplicates) {
    TestDb db;
    TableBuilder b = StaffTable(false);
    b.Secondary("ByCity", {3}, false);
    db.Create("DUPS", b.Def);
    auto c = db.Open("DUPS");
    const char* names[] = {"Aoki", "Baba", "Aoki", "Chiba", "Baba", "Aoki"};
    std::vector<std::vector<uint8_t>> images;
    for (int i = 0; i < 6; ++i) {
        RecordImage r(*c);
        r.Int(1, i + 1).Text(2, names[i]).Text(3, "City" + std::to_string(i));
        images.emplace_back(r.data(), r.data() + c->GetCursorRecordSize());
        AppendPlain(*c, r.data());
    }
    TIndexDesc byName = b.Desc("ByName", {2}, true);
    c->AddSecondaryIndex(byName, 0);

    // Records 1, 2 and 4 stay; 3, 5 and 6 are gone from the table and every index.
    EXPECT_EQ(c->GetTableRecordCount(), 3u);
    const std::vector<uint32_t> kept = {1, 2, 4};
    EXPECT_EQ(KeysOf(*c, 2), kept);  // Aoki, Baba, Chiba
    std::vector<uint32_t> primary = KeysOf(*c, 0);
    EXPECT_EQ(primary, kept);
    std::vector<uint32_t> city = KeysOf(*c, 1);
    std::sort(city.begin(), city.end());
    EXPECT_EQ(city, kept);
    for (uint8_t slot : {uint8_t{0}, uint8_t{1}, uint8_t{2}, SYS_DELETED_SLOT}) EXPECT_EQ(CheckTree(*c, slot), "");
    // "Sys Deleted" still has one key per slot, the removed ones marked deleted.
    std::vector<TreeEntry> rows;
    EXPECT_EQ(CheckTree(*c, SYS_DELETED_SLOT, &rows), "");
    ASSERT_EQ(rows.size(), 6u);
    std::set<uint32_t> deleted;
    for (const TreeEntry& row : rows)
        if (row.Key[0] != 0) deleted.insert(row.Record);
    EXPECT_EQ(deleted, (std::set<uint32_t>{3, 5, 6}));
    // Their slots are free for the next record.
    const uint32_t reused = Add(*c, 7, "Dodo", "City7");
    EXPECT_TRUE(reused == 3 || reused == 5 || reused == 6);
    EXPECT_EQ(c->GetTableRecordCount(), 4u);
}

TEST(IndexMaintenance, LostIndexFileIsRebuiltFromTheRecords) {
    TestDb db;
    TableBuilder b = StaffTable(true);
    db.Create("LOST", b.Def);
    {
        auto c = db.Open("LOST");
        for (int id = 1; id <= 300; ++id) Add(*c, id, "N" + std::to_string(id), "C");
        c->BeginWrite();
        for (uint32_t n : {5u, 77u, 300u}) c->FreeRecord(n);
        c->EndWrite();
    }
    for (const auto& entry : std::filesystem::directory_iterator(db.tmp.path())) {
        std::string ext = entry.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), ::toupper);
        if (ext == ".IDX") std::filesystem::remove(entry.path());
    }
    // An open whose read of the records fails (each read in turn) leaves no index
    // file, or a whole one: never part of one that the next open would take for whole.
    static int reads = 0, failAt = 0;
    platform::FileCalls().pread = [](int fd, void* buffer, size_t count, off_t offset) -> ssize_t {
        std::error_code ec;
        const std::string path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string();
        if (path.ends_with("LOST.DAT") && ++reads == failAt) return errno = EIO, -1;
        return platform::SystemFileCalls().pread(fd, buffer, count, offset);
    };
    for (failAt = 1;; ++failAt) {
        reads = 0;
        const TEngineErrorCode code = ErrorOf([&] { db.Open("LOST", failAt % 2 == 0); });
        if (code == 0) break;
        SCOPED_TRACE("read " + std::to_string(failAt) + " failed, error " + std::to_string(code));
        const int at = std::exchange(failAt, 0);
        EXPECT_EQ(db.Open("LOST", false)->GetTableRecordCount(), 297u);
        failAt = at;
        std::filesystem::remove(db.tmp.file("LOST.IDX"));
    }
    platform::FileCalls().pread = platform::SystemFileCalls().pread;
    EXPECT_GT(failAt, 2);
    std::filesystem::remove(db.tmp.file("LOST.IDX"));
    // Opening rebuilds the new, empty index file once; a second cursor on the
    // shared table must not insert the row keys again.
    auto c = db.Open("LOST", false);
    EXPECT_FALSE(c->GetTable()->IsIndexRecreated());
    auto second = db.Open("LOST", false);
    EXPECT_TRUE(c->GetTable()->GetNoPrimaryIndex());
    EXPECT_EQ(c->GetTableRecordCount(), 297u);
    std::vector<TreeEntry> rows;
    EXPECT_EQ(CheckTree(*c, SYS_DELETED_SLOT, &rows), "");
    ASSERT_EQ(rows.size(), 300u);
    std::set<uint32_t> deleted;
    for (const TreeEntry& row : rows)
        if (row.Key[0] != 0) deleted.insert(row.Record);
    EXPECT_EQ(deleted, (std::set<uint32_t>{5, 77, 300}));
    second.reset();
    c.reset();
    // Indexes can be added again afterwards.
    c = db.Open("LOST");
    TIndexDesc byName = b.Desc("ByName", {2}, true);
    c->AddSecondaryIndex(byName, 0);
    EXPECT_EQ(KeysOf(*c, 1).size(), 297u);
}

TEST(IndexMaintenance, KeysFollowAppendModifyAndDelete) {
    TestDb db;
    TableBuilder b = StaffTable(true);
    b.Secondary("ByCity", {3}, false);
    db.Create("LIVE", b.Def);
    auto c = db.Open("LIVE", false);
    auto append = [&](int32_t id, const std::string& name, const std::string& city) {
        RecordImage r(*c);
        r.Int(1, id).Text(2, name).Text(3, city);
        c->AppendRecord(r.data(), false);
    };
    append(1, "Aoki", "Tokyo");
    append(2, "Baba", "Osaka");
    append(3, "Chiba", "Nara");
    EXPECT_EQ(RaisedBy([&] { append(4, "Baba", "Kobe"); }).index, "ByName");
    EXPECT_EQ(c->GetTableRecordCount(), 3u);
    EXPECT_EQ(KeysOf(*c, 1), (std::vector<uint32_t>{1, 2, 3}));

    // Record 1 renamed "Zama": its name key moves to the end, the others stay.
    std::vector<uint8_t> buffer(c->GetCursorRecordSize(), 0);
    c->SetToBegin();
    ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
    ASSERT_EQ(c->GetCurrentRecord(buffer.data(), true), 0);
    RecordImage renamed(*c);
    std::memcpy(renamed.data(), buffer.data(), buffer.size());
    renamed.Text(2, "Zama");
    c->ModifyRecord(renamed.data(), true, false);
    EXPECT_EQ(KeysOf(*c, 1), (std::vector<uint32_t>{2, 3, 1}));
    EXPECT_EQ(KeysOf(*c, 0), (std::vector<uint32_t>{1, 2, 3}));
    // Renaming another record to a taken name is refused and changes nothing.
    ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
    ASSERT_EQ(c->GetCurrentRecord(buffer.data(), true), 0);
    RecordImage clash(*c);
    std::memcpy(clash.data(), buffer.data(), buffer.size());
    clash.Text(2, "Zama");
    EXPECT_EQ(RaisedBy([&] { c->ModifyRecord(clash.data(), true, false); }).code, KURA_KEYVIOL);
    c->CancelRecord();
    EXPECT_EQ(KeysOf(*c, 1), (std::vector<uint32_t>{2, 3, 1}));

    // Deleting record 2 takes its key out of every index.
    ASSERT_EQ(c->GetCurrentRecord(buffer.data(), false), 0);
    c->DeleteRecord(buffer.data(), false);
    EXPECT_EQ(KeysOf(*c, 0), (std::vector<uint32_t>{1, 3}));
    EXPECT_EQ(KeysOf(*c, 1), (std::vector<uint32_t>{3, 1}));
    std::vector<uint32_t> city = KeysOf(*c, 2);
    std::sort(city.begin(), city.end());
    EXPECT_EQ(city, (std::vector<uint32_t>{1, 3}));
    for (uint8_t slot : {uint8_t{0}, uint8_t{1}, uint8_t{2}, SYS_DELETED_SLOT}) EXPECT_EQ(CheckTree(*c, slot), "");
}

// A cursor that goes back and forth between a keyed index and the system indexes,
// as every write does, takes each system index's settings from its descriptor at
// every selection: a changed byte of any setting shows at the next one, unchanged
// bytes give the same settings again, and the two system indexes never mix.
TEST(IndexMaintenance, SystemIndexSettingsFollowTheirDescriptorAtEverySelection) {
    TestDb db;
    db.Create("SYSDESC", StaffTable(true).Def);
    auto c = db.Open("SYSDESC");
    TIndexFile& file = c->GetTable()->GetIndexFile();
    TIndexDesc original;
    file.GetIndexDesc(SYS_DELETED_SLOT, original);
    TIndexDesc text;
    file.GetIndexDesc(SYS_TEXT_SLOT, text);
    struct Case {
        const char* what;
        void (*change)(TIndexDesc&);
    };
    const Case cases[] = {
        {"as created", [](TIndexDesc&) {}},
        {"name", [](TIndexDesc& d) { d.SetName("Sys Gone"); }},
        {"key size", [](TIndexDesc& d) { d.SetKeySize(9); }},
        {"descending", [](TIndexDesc& d) { d.SetByte(ido::Descending, 1); }},
        {"case", [](TIndexDesc& d) { d.SetByte(ido::CaseInsensitive, 1); }},
        {"unique", [](TIndexDesc& d) { d.SetByte(ido::Unique, 1); }},
        {"compression", [](TIndexDesc& d) { d.SetByte(ido::Compression, kcLeading); }},
        {"option", [](TIndexDesc& d) { d.SetOption(MAX_INDEX_FIELDS - 1, 1); }},
        {"no counts", [](TIndexDesc& d) { d.SetByte(ido::NoCounts, 1); }},
        {"temporary", [](TIndexDesc& d) { d.SetByte(ido::Temporary, 1); }},
        {"as created again", [](TIndexDesc&) {}},
    };
    auto expectSettings = [&](const TIndexDesc& d) {
        EXPECT_EQ(c->GetIndexName(), d.GetName());
        EXPECT_EQ(c->FKeySize, d.GetKeySize());
        EXPECT_EQ(c->FKeyFieldCount, 0);
        EXPECT_TRUE(c->FKeyFields.empty());
        EXPECT_EQ(c->FDescending, d.GetByte(ido::Descending) != 0);
        EXPECT_EQ(c->FCaseInsensitive, d.GetByte(ido::CaseInsensitive) != 0);
        EXPECT_EQ(c->FUnique, d.GetByte(ido::Unique) != 0);
        EXPECT_EQ(c->FKeyCompression, d.GetByte(ido::Compression));
        EXPECT_EQ(c->FNoSubtreeCounts, d.GetByte(ido::NoCounts) != 0);
        EXPECT_EQ(c->FTemporaryIndex, d.IsTemporary());
        for (int i = 0; i < MAX_INDEX_FIELDS; ++i) {
            EXPECT_EQ(c->FKeyFieldFlags[static_cast<std::size_t>(i)], d.GetOption(i));
        }
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        TIndexDesc changed = original;
        k.change(changed);
        file.SetIndexDesc(SYS_DELETED_SLOT, changed);
        for (uint8_t between : {uint8_t{0}, uint8_t{1}, SYS_TEXT_SLOT, SYS_DELETED_SLOT}) {
            c->SetIndexNumber(between);
            if (between == SYS_TEXT_SLOT) expectSettings(text);
            if (between == 1) {
                EXPECT_EQ(c->FKeyFieldCount, 1);
            }
            c->SetIndexNumber(SYS_DELETED_SLOT);
            expectSettings(changed);
        }
    }
    file.SetIndexDesc(SYS_DELETED_SLOT, original);
    c->SetIndexNumber(0);
}

namespace {

// A run of keys put in after one descent per leaf leaves the tree that putting
// them in one at a time leaves. Twin tables take the same random batches into
// "ByCity" (subtree counts kept, duplicate cities told apart by the row
// identifier) and "Sys Deleted" (both deleted flags): ascending stretches that
// cross the bounds of many leaves, steps back, and single keys, into trees
// preloaded to several levels.
TEST(IndexMaintenance, KeyRunsLeaveTheTreesKeysOneAtATimeLeave) {
    TestDb db;
    for (const char* name : {"RUNS", "SINGLE"}) {
        TableBuilder b = StaffTable(false);
        b.Secondary("ByCity", {3}, false);
        b.Secondary("ByCityPacked", {3}, false);
        b.Def.Indexes.back().SetByte(ido::Compression, kcBoth);
        db.Create(name, b.Def);
    }
    auto runs = db.Open("RUNS");
    auto single = db.Open("SINGLE");
    std::mt19937 random(34);
    uint32_t rowId = 0;
    for (const uint8_t slot : {uint8_t{1}, uint8_t{2}, uint8_t{SYS_DELETED_SLOT}}) {
        SCOPED_TRACE("index " + std::to_string(slot));
        for (int batch = 0; batch < 40; ++batch) {
            // The batch: a sorted stretch over the whole key range, with a step
            // back now and then; the first batches fill the trees.
            const uint32_t count = batch < 4 ? 1500 : 1 + random() % 400;
            std::vector<std::pair<uint32_t, uint32_t>> values;  // city or flag, row identifier
            for (uint32_t i = 0; i < count; ++i) values.emplace_back(random() % 5000, ++rowId);
            std::sort(values.begin(), values.end());
            for (uint32_t i = 1; i < count; ++i)
                if (random() % 25 == 0) std::swap(values[i - 1], values[i]);
            std::vector<uint8_t> keys(count * CURSOR_KEY_BUFFER_SIZE, 0);
            std::vector<uint32_t> records(count);
            runs->SetIndexNumber(slot);
            for (uint32_t i = 0; i < count; ++i) {
                RecordImage r(*runs);
                TDataCursor::SetBufferAutoInc(r.data(), values[i].second);
                uint8_t* key = keys.data() + i * CURSOR_KEY_BUFFER_SIZE;
                if (slot == SYS_DELETED_SLOT) {
                    r.data()[RH_DELETED] = values[i].first % 2;
                    runs->BuildRowIdKey(r.data(), key);
                } else {
                    char city[8];
                    std::snprintf(city, sizeof city, "C%04u", values[i].first);
                    r.Text(3, city);
                    runs->BuildIndexKey(r.data(), key);
                }
                records[i] = values[i].second;
            }
            runs->BeginWrite();
            runs->InsertKeyRun(keys.data(), CURSOR_KEY_BUFFER_SIZE, records.data(), count);
            runs->EndWrite();
            single->SetIndexNumber(slot);
            single->BeginWrite();
            for (uint32_t i = 0; i < count; ++i)
                single->InsertKeyIntoTree(keys.data() + i * CURSOR_KEY_BUFFER_SIZE, records[i]);
            single->EndWrite();
            std::vector<TreeEntry> ran, one;
            ASSERT_EQ(CheckTree(*runs, slot, &ran), "") << "batch " << batch;
            ASSERT_EQ(CheckTree(*single, slot, &one), "") << "batch " << batch;
            ASSERT_EQ(ran.size(), one.size());
            for (std::size_t i = 0; i < ran.size(); ++i) {
                ASSERT_EQ(ran[i].Key, one[i].Key) << "entry " << i;
                ASSERT_EQ(ran[i].Record, one[i].Record) << "entry " << i;
            }
        }
        TIndexFile& file = runs->GetTable()->GetIndexFile();
        TestIndexCursor walker(file, slot);
        TreeChecker checker(file, walker);
        std::vector<TreeEntry> entries;
        EXPECT_EQ(checker.Check(entries, false), "");
        EXPECT_GE(checker.Height(), slot == 1 ? 3 : 2);
    }
}

}  // namespace
