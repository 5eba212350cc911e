#pragma once
// The whole-table check of the stress and crash tests: after any run of writes,
// however interrupted, a table of the stress layout (StressTestSupport.h) must be
// whole. Used by tests only (gtest expectations).
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "engine/core/DataCursor.h"
#include "tests/engine/core/RecordTestSupport.h"
#include "tests/engine/core/StressTestSupport.h"
#include "tests/engine/files/IndexTestSupport.h"

namespace kura::test {

// The whole tree of one index, checked rule by rule; "" when sound.
inline std::string CheckTree(TDataCursor& c, uint8_t slot, std::vector<TreeEntry>& entries) {
    TIndexFile& file = c.GetTable()->GetIndexFile();
    TestIndexCursor walker(file, slot);
    TreeChecker checker(file, walker);
    std::string problem = checker.Check(entries, false);
    if (problem.empty() && file.GetRootPage(slot) != 0) {
        TPage* root = walker.Root();
        // "Sys Text" keeps no subtree counts.
        if (!root->IsLeaf() && root->KeepsCounts() && root->CountKeys() != entries.size())
            problem = "root count wrong";
        file.ReleasePage(root);
    }
    return problem;
}

// A sortable integer key (sign bit flipped, big-endian) back to its value.
inline uint32_t DecodeIntegerKey(const std::string& key, std::size_t at) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(key[at]) ^ 0x80) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(key[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(key[at + 2])) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(key[at + 3]));
}

struct Slot {
    bool Deleted = false;
    uint32_t AutoInc = 0;
};

using TextKey = std::tuple<uint16_t, std::string, uint32_t, uint32_t>;  // field, word, auto-inc, record

// What a check found: the live count and each record's content by its code.
struct TableContent {
    uint32_t Count = 0;
    std::map<int32_t, std::string> Rows;  // code -> name "|" note
};

// The part of the table check below that every table passes, whatever its
// layout: record count = live slots = every index's key count, sound trees, one
// "Sys Deleted" key per slot under its flag and auto-increment value. Fills the
// slots as found (indexed by record number); the live record numbers.
inline std::set<uint32_t> CheckSlotsAndKeys(TDataCursor& c, std::vector<Slot>& slots) {
    TDataTable& table = *c.GetTable();
    const uint32_t count = table.GetRecordCount();
    const uint32_t lastRecord = table.GetLastRecordNumber();

    // Every slot of the data file.
    slots.assign(lastRecord + 1, Slot{});
    std::set<uint32_t> live;
    for (uint32_t r = 1; r <= lastRecord; ++r) {
        TRecord* record = nullptr;
        EXPECT_TRUE(c.GetRecord(r, 0, record)) << r;
        if (!record) continue;
        slots[r].Deleted = record->IsDeleted();
        slots[r].AutoInc = record->GetAutoIncValue();
        c.ReleaseRecord(record);
        if (!slots[r].Deleted) live.insert(r);
    }
    EXPECT_EQ(count, live.size()) << "record count against the live slots";

    // Every user index: a sound tree holding exactly the live records.
    std::vector<TreeEntry> entries;
    for (uint8_t slot = 0; slot <= c.GetIndexCount(); ++slot) {
        if (slot == 0 && c.GetNoPrimaryIndex()) continue;
        EXPECT_EQ(CheckTree(c, slot, entries), "") << "index " << int(slot);
        std::multiset<uint32_t> records;
        for (const TreeEntry& e : entries) records.insert(e.Record);
        EXPECT_EQ(entries.size(), count) << "keys of index " << int(slot);
        EXPECT_EQ(std::set<uint32_t>(records.begin(), records.end()), live) << "records of index " << int(slot);
    }

    // "Sys Deleted": one key per slot, under the slot's flag and auto-increment value.
    EXPECT_EQ(CheckTree(c, SYS_DELETED_SLOT, entries), "");
    EXPECT_EQ(entries.size(), lastRecord);
    std::vector<int> keysOfSlot(lastRecord + 1, 0);
    for (const TreeEntry& e : entries) {
        if (e.Record < 1 || e.Record > lastRecord) {
            ADD_FAILURE() << "\"Sys Deleted\" names slot " << e.Record;
            continue;
        }
        ++keysOfSlot[e.Record];
        EXPECT_EQ(e.Key[0] != 0, slots[e.Record].Deleted) << "deleted flag of slot " << e.Record;
        EXPECT_EQ(DecodeIntegerKey(e.Key, 1), slots[e.Record].AutoInc) << "auto-increment of slot " << e.Record;
    }
    for (uint32_t r = 1; r <= lastRecord; ++r) EXPECT_EQ(keysOfSlot[r], 1) << "keys of slot " << r;
    return live;
}

// Checks everything a table of the stress layout must hold, with gtest
// expectations: record count = live slots = every index's key count, sound trees,
// one "Sys Deleted" key per slot, unique auto-increment values, every BLOB loading
// and matching its record's checksums, "Sys Text" holding exactly the memo words.
inline TableContent CheckTable(TDataCursor& c) {
    TableContent content;
    TDataTable& table = *c.GetTable();
    std::vector<Slot> slots;
    const std::set<uint32_t> live = CheckSlotsAndKeys(c, slots);
    const uint32_t count = table.GetRecordCount();
    std::vector<TreeEntry> entries;

    // Auto-increment values: unique among live records and never above the last.
    std::set<uint32_t> autoIncs;
    for (uint32_t r : live) {
        EXPECT_TRUE(autoIncs.insert(slots[r].AutoInc).second) << "auto-increment " << slots[r].AutoInc << " twice";
        EXPECT_LE(slots[r].AutoInc, table.GetLastAutoInc());
        EXPECT_GT(slots[r].AutoInc, 0u);
    }

    // Every record in index order: its BLOBs load and match its checksums, its
    // memo words are the "Sys Text" keys and text search finds its tag word.
    std::set<TextKey> expectedWords;
    std::set<std::string> names;
    std::vector<uint8_t> buffer(c.GetCursorRecordSize());
    uint32_t visited = 0;
    c.SetToBegin();
    while (c.GetNextRecord(buffer.data()) == 0) {
        ++visited;
        const uint32_t recordNo = RecordNoOf(buffer);
        const std::string name = TextOf(c, buffer, F_NAME);
        EXPECT_TRUE(names.insert(name).second) << "name " << name << " twice";
        const std::string note = TextOf(c, buffer, F_NOTE);
        std::vector<uint8_t> photo, memoBytes;
        try {
            photo = LoadBlob(c, buffer.data(), F_PHOTO, false);
            memoBytes = LoadBlob(c, buffer.data(), F_MEMO, false);
        } catch (const EKuraEngineError& e) {
            ADD_FAILURE() << "BLOB of record " << recordNo << " does not load: " << e.ErrorCode() << " " << e.what();
            continue;
        }
        const std::string memo(memoBytes.begin(), memoBytes.end());
        content.Rows[CodeOf(c, buffer)] = name + "|" + note;
        EXPECT_EQ(note, NoteOf(Checksum(photo), Checksum(memo))) << "checksums of record " << recordNo;
        for (const std::string& word : MemoWords(memo))
            expectedWords.emplace(F_MEMO, word, SeqOf(buffer), recordNo);
        if (!memo.empty()) {
            const std::string tag = memo.substr(0, memo.find(' '));
            EXPECT_TRUE(c.TextSearch(tag.data(), static_cast<int32_t>(tag.size()), memo.data(),
                                     static_cast<int32_t>(memo.size())))
                << tag;
            EXPECT_FALSE(c.TextSearch("absentword", 10, memo.data(), static_cast<int32_t>(memo.size())));
        }
    }
    EXPECT_EQ(visited, count);

    EXPECT_EQ(CheckTree(c, SYS_TEXT_SLOT, entries), "");
    std::set<TextKey> indexed;
    for (const TreeEntry& e : entries) {
        const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(e.Key[i]); };
        const uint16_t field = static_cast<uint16_t>(byte(1) << 8 | byte(2));
        std::string word = e.Key.substr(3, 61);
        word.resize(word.find('\0') == std::string::npos ? word.size() : word.find('\0'));
        EXPECT_TRUE(indexed.emplace(field, word, DecodeIntegerKey(e.Key, 64), e.Record).second) << word;
    }
    EXPECT_EQ(indexed.size(), entries.size());
    if (indexed != expectedWords) {
        std::vector<TextKey> missing, extra;
        for (const TextKey& k : expectedWords)
            if (!indexed.count(k)) missing.push_back(k);
        for (const TextKey& k : indexed)
            if (!expectedWords.count(k)) extra.push_back(k);
        ADD_FAILURE() << "\"Sys Text\": " << missing.size() << " words missing, " << extra.size() << " too many"
                      << (missing.empty() ? "" : ", first missing " + std::get<1>(missing[0]))
                      << (extra.empty() ? "" : ", first extra " + std::get<1>(extra[0]));
    }
    content.Count = count;
    return content;
}

}  // namespace kura::test
