#pragma once
// What a table holds, as comparable text: its definition (description, fields,
// index descriptors without their page numbers), its rows in record order and
// the pages of every index as laid out but for their numbers, each tree checked
// on the way. A table after a
// failed change must equal its snapshot before or after the change, nothing in
// between. Used by tests only (gtest expectations).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "tests/engine/core/RestructureTestSupport.h"
#include "tests/engine/core/TableCheck.h"

namespace kura::test {

struct TableSnapshot {
    std::string Definition;
    std::vector<std::string> Rows;
    std::vector<std::string> Indexes;  // per slot in use: the descriptor, then the pages
    bool operator==(const TableSnapshot& other) const {
        return Definition == other.Definition && Rows == other.Rows && Indexes == other.Indexes;
    }
};

inline std::string Hex(const uint8_t* bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 15]);
    }
    return text;
}

// Where two snapshots' index lists part: "" when they are the same.
inline std::string IndexDifference(const TableSnapshot& a, const TableSnapshot& b) {
    if (a.Indexes.size() != b.Indexes.size())
        return std::to_string(a.Indexes.size()) + " indexes against " + std::to_string(b.Indexes.size());
    for (std::size_t i = 0; i < a.Indexes.size(); ++i) {
        const std::string& x = a.Indexes[i];
        const std::string& y = b.Indexes[i];
        if (x == y) continue;
        std::size_t at = 0;
        while (at < x.size() && at < y.size() && x[at] == y[at]) ++at;
        const std::size_t from = at > 40 ? at - 40 : 0;
        return "index " + x.substr(0, x.find(':')) + " from character " + std::to_string(at) + ": ..." +
               x.substr(from, 100) + " against ..." + y.substr(from, 100);
    }
    return "";
}

// The descriptor bytes that say what an index is: all but the page numbers
// (root, free chain, raw-data page) and the work bytes between them.
inline std::string DescriptorText(const TIndexDesc& desc) {
    return Hex(desc.Bytes.data(), ido::RootPage) + "|" +
           Hex(desc.Bytes.data() + ido::NoCounts, INDEX_DESC_SIZE - ido::NoCounts);
}

// The slots that hold an index: the primary one when there is one, the secondary
// ones and "Sys Text" when it has fields.
inline std::vector<uint8_t> SlotsInUse(TDataCursor& c) {
    TIndexFile& file = c.GetTable()->GetIndexFile();
    std::vector<uint8_t> slots;
    if (!c.GetTable()->GetNoPrimaryIndex()) slots.push_back(0);
    for (uint8_t s = 1; s <= file.GetIndexCount(); ++s) slots.push_back(s);
    if (file.KeyFieldCount(SYS_TEXT_SLOT) > 0) slots.push_back(SYS_TEXT_SLOT);
    return slots;
}

// The pages of one index, breadth first from the root, as they are laid out but
// for their page numbers: each page's type and keys, with a leaf key's record and
// an inner key's subtree count and child (by its place in this walk).
inline std::string PageLayout(TIndexFile& file, uint8_t slot) {
    TestIndexCursor walker(file, slot);
    std::string text;
    std::vector<uint32_t> queue;
    if (file.GetRootPage(slot) != 0) queue.push_back(file.GetRootPage(slot));
    for (std::size_t at = 0; at < queue.size() && at <= file.GetLastPageNumber(); ++at) {
        TPage* page = nullptr;
        file.ReadPage(walker, queue[at], page, false);
        text += page->IsLeaf() ? " [L" : " [N";
        text += std::to_string(page->PageType);
        for (uint32_t i = 1; i <= page->KeyCount; ++i) {
            text += " " + Hex(page->GetKeyAddress(i), page->KeySize);
            if (page->IsLeaf()) {
                text += "@" + std::to_string(page->GetRecordNo(i));
            } else {
                text += "#" + std::to_string(page->KeepsCounts() ? page->GetSubtreeCount(i) : 0) + ">" +
                        std::to_string(queue.size());
                queue.push_back(page->GetRecordNo(i));
            }
        }
        text += "]";
        file.ReleasePage(page);
    }
    return text;
}

// Opens the table as the next program would (completing or undoing whatever was
// left half-done) and reads it whole; the record count, "Sys Deleted" and every
// tree are checked with gtest expectations.
inline TableSnapshot Snapshot(TDataDirectory* dir, const std::string& name) {
    TableSnapshot snap;
    TDataCursor c(dir);
    c.SetTableName(name);
    c.OpenCursor();
    TDataTable& table = *c.GetTable();
    snap.Definition = table.GetDescription() + "|" + std::to_string(table.GetFieldCount());
    for (uint16_t f = 1; f <= table.GetFieldCount(); ++f) {
        TFieldDesc d;
        table.GetFieldDesc(f, d);
        snap.Definition += "|" + d.Name() + ":" + std::to_string(d.FieldType()) + "/" + std::to_string(d.StoredSize());
    }
    std::vector<Slot> slots;
    CheckSlotsAndKeys(c, slots);
    for (uint8_t s : SlotsInUse(c)) {
        TIndexDesc desc;
        table.GetIndexFile().GetIndexDesc(s, desc);
        std::vector<TreeEntry> entries;
        const std::string problem = CheckTree(c, s, entries);
        EXPECT_EQ(problem, "") << name << " index " << int(s);
        snap.Indexes.push_back(std::to_string(s) + ":" + DescriptorText(desc) +
                               (problem.empty() ? PageLayout(table.GetIndexFile(), s) : problem));
    }
    c.SwitchToIndex(NATURAL_ORDER);
    std::vector<uint8_t> rec(c.GetCursorRecordSize(), 0);
    c.SetToBegin();
    while (c.GetNextRecord(rec.data()) == 0) {
        std::string row;
        for (const auto& [field, value] : RowFields(c, rec)) row += field + "=" + value + ";";
        snap.Rows.push_back(row);
    }
    c.CloseCursor(false);
    return snap;
}

}  // namespace kura::test
