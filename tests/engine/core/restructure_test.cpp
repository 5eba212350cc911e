// Table restructuring: header-only changes, added, dropped, moved and redefined
// fields (every conversion), added and dropped indexes on a full table with BLOBs
// and a text index (rebuilt in place, the same as a full copy makes them), backups,
// the restructure question, in-memory tables, and a restructure killed at random
// moments or at every write.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <thread>

#include "engine/files/Bcd.h"
#include "engine/files/FieldConversions.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CursorTableTestSupport.h"
#include "tests/engine/core/RestructureTestSupport.h"
#include "tests/engine/core/TableSnapshot.h"

namespace kura::test {
namespace {

namespace fs = std::filesystem;

class RestructureFixture : public ::testing::Test {
protected:
    LibraryScope lib;
    TestDb db;
    std::vector<std::pair<uint8_t, std::string>> questions;
    uint8_t stopAsking = 0;
    uint8_t keepGoing = 1;

    void MakeStaff(int32_t rows, const std::string& name = "Staff") {
        db.Create(name, StaffTable());
        auto c = db.Open(name);
        FillStaff(*c, rows);
    }
    // The staff table "Temp" in memory; `more` may add rows through the open cursor.
    void MakeMemoryStaff(int32_t rows, const std::function<void(TDataCursor&)>& more = {}) {
        TDataTable* table = nullptr;
        ASSERT_EQ(db.dir->CreateTable(table, "Temp", true, false, StaffTable()), 0);
        db.dir->CloseTable(table, false, false, false);
        TDataCursor c(db.dir);
        c.SetTableName("Temp");
        c.SetInMemory(true);
        c.SetExclusive(true);
        c.OpenCursor();
        FillStaff(c, rows);
        if (more) more(c);
    }
    void Restructure(const TRestructureParams& p, const std::string& name = "Staff", bool inMemory = false) {
        TDataCursor c(db.dir);
        c.SetTableName(name);
        c.SetExclusive(true);
        c.SetInMemory(inMemory);
        c.Events().RestructureQuestion = [&](TDataCursor*, uint8_t kind, const std::string& text, uint8_t& stop,
                                             uint8_t& go) {
            questions.emplace_back(kind, text);
            stop = stopAsking;
            go = keepGoing;
        };
        c.RestructureTable(p);
    }
    bool Exists(const std::string& file) const { return fs::exists(db.tmp.file(file)); }
    std::string Bytes(const std::string& file) const {
        std::ifstream in(db.tmp.file(file), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void CopyTable(const std::string& from, const std::string& to) {
        for (const char* ext : {".DAT", ".IDX", ".BLB"}) fs::copy_file(db.tmp.file(from + ext), db.tmp.file(to + ext));
    }
    // Every file but the tables' rollback journals, which stay beside an opened table.
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(db.tmp.path()))
            if (e.path().extension() != ".JNL") names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(RestructureFixture, ADescriptionChangeRewritesOnlyTheHeader) {
    MakeStaff(50);
    const auto before = DumpRows(db.dir, "Staff");
    const auto sizeBefore = fs::file_size(db.tmp.file("Staff.DAT"));
    TRestructureParams p = CurrentDefinition(db.dir, "Staff");
    p.Description = "renamed staff";
    p.Fields[1].SetName("FullName");
    Restructure(p);
    EXPECT_EQ(Files(), (std::vector<std::string>{"Staff.BLB", "Staff.DAT", "Staff.IDX"}));
    EXPECT_EQ(fs::file_size(db.tmp.file("Staff.DAT")), sizeBefore);
    auto after = DumpRows(db.dir, "Staff");
    for (auto& [id, row] : after) {
        row["Name"] = row["FullName"];
        row.erase("FullName");
    }
    EXPECT_EQ(after, before);
    EXPECT_EQ(CurrentDefinition(db.dir, "Staff").Description, "renamed staff");
}

TEST_F(RestructureFixture, FieldsAddedDroppedAndMovedKeepTheirValuesAndBlobs) {
    MakeStaff(300);
    const auto before = DumpRows(db.dir, "Staff");
    TRestructureParams p = CurrentDefinition(db.dir, "Staff");
    // New order: Id, Age, Name, Born, Photo, Note, Email (new); Salary dropped.
    std::vector<TFieldDesc> f = p.Fields;
    TFieldDesc email = NewField("Email", fldZSTRING, 40);
    email.SetFieldNo(99);
    p.Fields = {f[0], f[2], f[1], f[4], f[5], f[6], email};
    stopAsking = 1;
    Restructure(p);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0], (std::pair<uint8_t, std::string>{rqFieldDropped, "Salary"}));
    const auto after = DumpRows(db.dir, "Staff");
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [id, row] : before) {
        const auto& now = after.at(id);
        for (const char* name : {"Id", "Name", "Age", "Born", "Photo", "Note"}) EXPECT_EQ(now.at(name), row.at(name));
        EXPECT_EQ(now.at("Email"), "-");
        EXPECT_EQ(now.count("Salary"), 0u);
    }
    // Backups of all three files; the indexes and the text index work on the new table.
    for (const char* file : {"Staff.DBK", "Staff.IBK", "Staff.BBK"}) EXPECT_TRUE(Exists(file)) << file;
    auto c = db.Open("Staff");
    c->SetIndexName("ByName");
    std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
    c->SetToBegin();
    int rows = 0;
    std::string previous;
    while (c->GetNextRecord(rec.data()) == 0) {
        char name[32] = {};
        bool blank = false;
        c->GetField(3, rec.data(), name, blank);
        EXPECT_LE(previous, std::string(name));
        previous = name;
        ++rows;
    }
    EXPECT_EQ(rows, 300);
    const std::string search = "word3";
    const std::string text = NoteOf(8);
    EXPECT_TRUE(c->TextSearch(search.data(), 5, text.data(), static_cast<int32_t>(text.size())));
    EXPECT_NE(c->GetTable()->GetIndexFile().GetRootPage(SYS_TEXT_SLOT), 0u);
}

TEST_F(RestructureFixture, AStopAnswerLeavesTheTableAsItWasAndSuppressedBackupsLeaveNone) {
    MakeStaff(40);
    const auto before = DumpRows(db.dir, "Staff");
    TRestructureParams p = CurrentDefinition(db.dir, "Staff");
    p.Fields.erase(p.Fields.begin() + 3);  // Salary
    keepGoing = 0;
    Restructure(p);
    EXPECT_EQ(questions.size(), 1u);
    EXPECT_EQ(DumpRows(db.dir, "Staff"), before);
    EXPECT_EQ(Files(), (std::vector<std::string>{"Staff.BLB", "Staff.DAT", "Staff.IDX"}));
    // Answered once per dropped field and record until stop-asking is set.
    keepGoing = 1;
    questions.clear();
    p.SuppressBackups = true;
    Restructure(p);
    EXPECT_EQ(questions.size(), 40u);
    EXPECT_EQ(Files(), (std::vector<std::string>{"Staff.BLB", "Staff.DAT", "Staff.IDX"}));
    EXPECT_EQ(DumpRows(db.dir, "Staff").size(), 40u);
}

TEST_F(RestructureFixture, IndexesAddedAndDroppedOnAFullTable) {
    MakeStaff(200);
    const auto before = DumpRows(db.dir, "Staff");
    TRestructureParams p = CurrentDefinition(db.dir, "Staff");
    // A unique index on Name, which repeats every 50 rows: the rows after the first
    // of each name are refused and, continued, left out.
    TIndexDesc unique;
    unique.SetName("UniqueName");
    unique.SetField(0, sName);
    unique.SetByte(ido::Unique, 1);
    p.Indexes[2] = unique;
    p.IndexCount = 2;
    stopAsking = 0;
    keepGoing = 0;
    Restructure(p);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].first, rqKeyViolation);
    EXPECT_EQ(questions[0].second, "UniqueName");
    EXPECT_EQ(DumpRows(db.dir, "Staff"), before);
    keepGoing = 1;
    stopAsking = 1;
    Restructure(p);
    auto after = DumpRows(db.dir, "Staff");
    EXPECT_EQ(after.size(), 50u);
    for (const auto& [id, row] : after) EXPECT_EQ(row, before.at(id));
    // Both secondary indexes dropped again.
    TRestructureParams q = CurrentDefinition(db.dir, "Staff");
    EXPECT_EQ(q.IndexCount, 2);
    q.IndexCount = 0;
    Restructure(q);
    {
        auto c = db.Open("Staff");
        EXPECT_EQ(c->GetIndexCount(), 0);
    }
    EXPECT_EQ(DumpRows(db.dir, "Staff").size(), 50u);
}

// A change of indexes only is made in the index file alone: the data and BLOB files
// stay byte for byte, the backup is the old index file (.IBK) alone, and the
// indexes come out as a full copy of the table makes them (the same descriptors,
// the same entries in each). A change of a field still copies.
TEST_F(RestructureFixture, IndexChangesRebuildOnlyTheIndexFileAsAFullCopyWould) {
    auto index = [](const char* name, std::vector<uint16_t> keyFields, bool unique) {
        TIndexDesc d;
        d.SetName(name);
        for (std::size_t i = 0; i < keyFields.size(); ++i) d.SetField(static_cast<int>(i), keyFields[i]);
        d.SetByte(ido::Unique, unique ? 1 : 0);
        return d;
    };
    enum Kind { Indexes, IndexesAndHeader, HeaderOnly, FullCopy };
    struct Case {
        const char* name;
        std::function<void(TRestructureParams&)> edit;
        Kind kind;
    };
    const Case cases[] = {
        {"a secondary index added", [&](TRestructureParams& p) { p.Indexes[++p.IndexCount] = index("ByAge", {sAge}, false); }, Indexes},
        {"two unique ones added", [&](TRestructureParams& p) {
             p.Indexes[++p.IndexCount] = index("ByBorn", {sBorn}, true);
             p.Indexes[++p.IndexCount] = index("BySalaryAge", {sSalary, sAge}, true);
         }, Indexes},
        {"the secondary index dropped", [](TRestructureParams& p) { p.IndexCount = 0; }, Indexes},
        {"the secondary index redefined", [&](TRestructureParams& p) { p.Indexes[1] = index("ByNameAge", {sName, sAge}, false); }, Indexes},
        {"the secondary index renamed", [](TRestructureParams& p) { p.Indexes[1].SetName("Names"); }, HeaderOnly},
        {"the primary key replaced", [](TRestructureParams& p) { p.Indexes[0].SetField(1, sBorn); }, Indexes},
        {"the primary key dropped", [](TRestructureParams& p) { p.Indexes[0] = TIndexDesc(); }, Indexes},
        {"the text index on two fields", [](TRestructureParams& p) { p.Indexes[SYS_TEXT_SLOT].SetField(1, sName); }, Indexes},
        {"the text index dropped, a description", [](TRestructureParams& p) {
             p.Indexes[SYS_TEXT_SLOT] = TIndexDesc();
             p.Description = "no words";
         }, IndexesAndHeader},
        {"an index added and a field renamed", [&](TRestructureParams& p) {
             p.Indexes[++p.IndexCount] = index("ByAge", {sAge}, false);
             p.Fields[2].SetName("Years");
         }, IndexesAndHeader},
        {"an index added and a field check", [&](TRestructureParams& p) {
             p.Indexes[++p.IndexCount] = index("ByAge", {sAge}, false);
             p.Fields[3].SetMaxValue("1e12");
         }, FullCopy},
    };
    MakeStaff(150, "Model");
    const std::string idx = Bytes("Model.IDX");
    const std::string dat = Bytes("Model.DAT");
    const std::string blb = Bytes("Model.BLB");
    int round = 0;
    for (const Case& c : cases) {
        // Every other case without backups.
        const bool suppress = ++round % 2 == 0;
        SCOPED_TRACE(std::string(c.name) + (suppress ? ", no backups" : ""));
        const std::string name = "R" + std::to_string(round);
        const std::string twin = name + "F";
        CopyTable("Model", name);
        CopyTable("Model", twin);
        TRestructureParams p = CurrentDefinition(db.dir, name);
        c.edit(p);
        p.SuppressBackups = suppress;
        std::vector<uint16_t> progress;
        {
            TDataCursor cursor(db.dir);
            cursor.SetTableName(name);
            cursor.SetExclusive(true);
            cursor.Events().RestructureProgress = [&](TDataCursor*, uint16_t percent) { progress.push_back(percent); };
            cursor.RestructureTable(p);
        }
        EXPECT_EQ(Exists(name + ".DBK"), c.kind == FullCopy && !suppress);
        EXPECT_EQ(Bytes(name + ".DAT") == dat, c.kind == Indexes);
        if (c.kind != FullCopy) {
            EXPECT_EQ(Bytes(name + ".BLB"), blb);
            EXPECT_FALSE(Exists(name + ".DBK") || Exists(name + ".BBK"));
            EXPECT_EQ(Exists(name + ".IBK"), !suppress && c.kind != HeaderOnly);
            EXPECT_TRUE(suppress || c.kind == HeaderOnly || Bytes(name + ".IBK") == idx);
            EXPECT_TRUE(progress.empty() || progress.back() == 100);
        }
        // The same change made by a full copy: a field check that every row passes
        // forces it.
        p.Fields[0].SetMinValue("-1");
        p.SuppressBackups = true;
        Restructure(p, twin);
        TableSnapshot rebuilt = Snapshot(db.dir, name);
        TableSnapshot full = Snapshot(db.dir, twin);
        EXPECT_EQ(rebuilt.Rows.size(), 150u);
        EXPECT_EQ(IndexDifference(rebuilt, full), "");
        EXPECT_EQ(rebuilt.Rows, full.Rows);
        EXPECT_EQ(rebuilt.Definition, full.Definition);
        EXPECT_TRUE(questions.empty());
    }
}

// Keys refused by new unique indexes while the text index is rebuilt too: each
// refused row leaves the table whole (its keys, words and BLOBs), a stop leaves the
// table as it was, with no backup.
TEST_F(RestructureFixture, RowsRefusedWhileSeveralIndexesAreRebuilt) {
    MakeStaff(120);
    const TableSnapshot before = Snapshot(db.dir, "Staff");
    const std::string idx = Bytes("Staff.IDX");
    TRestructureParams p = CurrentDefinition(db.dir, "Staff");
    TIndexDesc byAge;  // Age repeats every 300 rows: never refused
    byAge.SetName("ByAge");
    byAge.SetField(0, sAge);
    byAge.SetByte(ido::Unique, 1);
    TIndexDesc byName;  // Name repeats every 50 rows
    byName.SetName("UniqueName");
    byName.SetField(0, sName);
    byName.SetByte(ido::Unique, 1);
    p.Indexes[1] = byAge;
    p.Indexes[2] = byName;
    p.IndexCount = 2;
    p.Indexes[SYS_TEXT_SLOT].SetField(1, sName);
    // Stopped at the first refusal.
    keepGoing = 0;
    Restructure(p);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0], (std::pair<uint8_t, std::string>{rqKeyViolation, "UniqueName"}));
    EXPECT_TRUE(Snapshot(db.dir, "Staff") == before);
    EXPECT_EQ(Bytes("Staff.IDX"), idx);
    EXPECT_EQ(Files(), (std::vector<std::string>{"Staff.BLB", "Staff.DAT", "Staff.IDX"}));
    // Continued: the later rows of each name go, with all they had.
    questions.clear();
    keepGoing = 1;
    Restructure(p);
    EXPECT_EQ(questions.size(), 70u);
    const TableSnapshot after = Snapshot(db.dir, "Staff");
    EXPECT_EQ(after.Rows.size(), 50u);
    auto rows = DumpRows(db.dir, "Staff");
    for (int32_t id = 1; id <= 50; ++id) EXPECT_EQ(rows.count(id), 1u) << id;
    auto c = db.Open("Staff");
    std::vector<Slot> slots;
    EXPECT_EQ(CheckSlotsAndKeys(*c, slots).size(), 50u);
    std::vector<TreeEntry> words;
    EXPECT_EQ(CheckTree(*c, SYS_TEXT_SLOT, words), "");
    std::set<uint32_t> withWords;
    for (const TreeEntry& e : words) withWords.insert(e.Record);
    EXPECT_EQ(withWords.size(), 50u);
    const std::string search = "NAME7";
    const std::string text = "name7";
    EXPECT_TRUE(c->TextSearch(search.data(), 5, text.data(), 5));
}

// An in-memory table has no journal: its caches hold every change of the rebuild
// until the end, so a stop far into a table larger than the caches leaves it as
// it was.
TEST_F(RestructureFixture, AnInMemoryTableStoppedInItsIndexRebuildIsUnchanged) {
    MakeMemoryStaff(600, [](TDataCursor& c) {
        std::vector<uint8_t> rec(c.GetCursorRecordSize(), 0);
        c.InitRecord(rec.data());
        const int32_t id = 601;
        c.PutField(sId, rec.data(), &id);
        std::string name = "name1";
        name.resize(24, '\0');
        c.PutField(sName, rec.data(), name.data());
        c.AppendRecord(rec.data(), false);
    });
    const auto before = DumpRows(db.dir, "Temp", true);
    TRestructureParams p = CurrentDefinition(db.dir, "Temp", true);
    // Unique on Id and Name: only the last row's name repeats an earlier one.
    p.Indexes[1].SetField(1, sId);
    p.Indexes[1].SetByte(ido::Unique, 1);
    p.Indexes[++p.IndexCount] = p.Indexes[1];
    p.Indexes[p.IndexCount].SetName("ByNameToo");
    p.Indexes[p.IndexCount].SetField(1, 0);
    keepGoing = 0;
    Restructure(p, "Temp", true);
    EXPECT_EQ(questions.size(), 1u);
    EXPECT_EQ(DumpRows(db.dir, "Temp", true), before);
    auto c = std::make_unique<TDataCursor>(db.dir);
    c->SetTableName("Temp");
    c->SetInMemory(true);
    c->OpenCursor();
    EXPECT_EQ(c->GetIndexCount(), 1);
    std::vector<Slot> slots;
    EXPECT_EQ(CheckSlotsAndKeys(*c, slots).size(), 601u);
}

TEST_F(RestructureFixture, AnInMemoryTableIsRestructuredInMemory) {
    MakeMemoryStaff(30);
    const auto before = DumpRows(db.dir, "Temp", true);
    TRestructureParams p = CurrentDefinition(db.dir, "Temp", true);
    TFieldDesc extra = NewField("Extra", fldINT32);
    extra.SetFieldNo(50);
    p.Fields.push_back(extra);
    Restructure(p, "Temp", true);
    auto after = DumpRows(db.dir, "Temp", true);
    for (auto& [id, row] : after) {
        EXPECT_EQ(row.at("Extra"), "-");
        row.erase("Extra");
    }
    EXPECT_EQ(after, before);
    EXPECT_TRUE(Files().empty());
}

TEST_F(RestructureFixture, ATableEncryptedReindexedAndDecryptedKeepsItsRows) {
    MakeStaff(120);
    const auto before = DumpRows(db.dir, "Staff");
    TRestructureParams p = CurrentDefinition(db.dir, "Staff");
    p.Encrypted = true;
    p.Password = "secret";
    p.SuppressBackups = true;
    Restructure(p);
    // Scrambled on disk: no note text can be found in the files.
    const std::string blob = [&] {
        std::ifstream in(db.tmp.file("Staff.BLB"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    EXPECT_EQ(blob.find("note 17"), std::string::npos);
    EXPECT_FALSE(db.session.PasswordExists("secret"));
    db.session.AddPassword("secret");
    EXPECT_EQ(DumpRows(db.dir, "Staff"), before);
    // An index rebuilt in the scrambled index file.
    TRestructureParams r = CurrentDefinition(db.dir, "Staff");
    r.Indexes[1].SetField(1, sAge);
    r.Indexes[SYS_TEXT_SLOT].SetField(1, sName);
    Restructure(r);
    EXPECT_TRUE(Exists("Staff.IBK") && !Exists("Staff.DBK"));
    EXPECT_EQ(DumpRows(db.dir, "Staff"), before);
    EXPECT_EQ(Snapshot(db.dir, "Staff").Indexes.size(), 3u);
    TRestructureParams q = CurrentDefinition(db.dir, "Staff");
    EXPECT_TRUE(q.Encrypted);
    q.Encrypted = false;
    q.Password.clear();
    Restructure(q);
    db.session.RemovePassword("secret");
    EXPECT_EQ(DumpRows(db.dir, "Staff"), before);
}

TEST_F(RestructureFixture, AnAutoIncrementFieldBecomesAPlainNumberAndBack) {
    TTableDefinition def;
    int32_t offset = 9;
    PlaceField(def, offset, NewField("Auto", fldINT32, 0, fldstAUTOINC));
    PlaceField(def, offset, NewField("Name", fldZSTRING, 10));
    db.Create("A", def);
    {
        auto c = db.Open("A");
        for (int i = 0; i < 25; ++i) {
            RecordImage image(*c);
            image.Text(2, "n" + std::to_string(i));
            c->AppendRecord(image.data(), false);
        }
    }
    auto numbers = [&] {
        std::map<std::string, int32_t> out;
        auto c = db.Open("A");
        std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
        c->SetToBegin();
        while (c->GetNextRecord(rec.data()) == 0) {
            uint8_t v[16] = {};
            char name[16] = {};
            bool blank = false;
            c->GetField(1, rec.data(), v, blank);
            c->GetField(2, rec.data(), name, blank);
            out[name] = GetI32(v);
        }
        return out;
    };
    const auto before = numbers();
    ASSERT_EQ(before.size(), 25u);
    TRestructureParams p = CurrentDefinition(db.dir, "A");
    p.Fields[0].SetSubType(0);
    Restructure(p, "A");
    EXPECT_EQ(numbers(), before);
    TRestructureParams q = CurrentDefinition(db.dir, "A");
    EXPECT_FALSE(q.Fields[0].IsAutoInc());
    q.Fields[0].SetSubType(fldstAUTOINC);
    Restructure(q, "A");
    EXPECT_EQ(numbers(), before);
    EXPECT_TRUE(CurrentDefinition(db.dir, "A").Fields[0].IsAutoInc());
    EXPECT_TRUE(questions.empty());
}

// Every conversion between the value types: a value that converts arrives as the
// conversion makes it, a row whose value does not is left out after the question.
TEST_F(RestructureFixture, EveryTypeConversionOfAField) {
    struct Type {
        TEngineFieldType type;
        uint8_t size, decimals;
    };
    const Type types[] = {{fldZSTRING, 12, 0}, {fldDATE, 0, 0},  {fldBOOL, 0, 0},      {fldINT16, 0, 0},
                          {fldINT32, 0, 0},    {fldFLOAT, 0, 0}, {fldBCD, 0, 2},       {fldTIME, 0, 0},
                          {fldTIMESTAMP, 0, 0}, {fldUINT16, 0, 0}, {fldINT64, 0, 0}, {fldZSTRING, 3, 0}};
    const char* texts[] = {"1", "250", "-7", "12345", "2001-02-03", "True", "70000"};
    int tableNo = 0;
    for (const Type& from : types) {
        for (const Type& to : types) {
            const std::string name = "C" + std::to_string(tableNo++);
            SCOPED_TRACE(name + ": " + std::to_string(from.type) + "/" + std::to_string(from.size) + " -> " +
                         std::to_string(to.type) + "/" + std::to_string(to.size));
            TTableDefinition def;
            int32_t offset = 9;
            PlaceField(def, offset, NewField("Id", fldINT32));
            PlaceField(def, offset, NewField("V", from.type, from.size, 0, from.decimals));
            db.Create(name, def);
            // Source values: each text converted to the source type where it can be.
            std::vector<std::vector<uint8_t>> sources;
            {
                auto c = db.Open(name);
                TFieldDesc vd;
                c->GetFieldDesc(2, vd);
                int32_t id = 0;
                for (const char* t : texts) {
                    uint8_t value[FieldValueBufferSize + 8] = {};
                    std::strcpy(reinterpret_cast<char*>(value), t);
                    if (!ConvertFieldData(fldZSTRING, static_cast<uint16_t>(std::strlen(t) + 1), 0, vd.FieldType(),
                                          vd.StoredSize(), vd.StoredDecimals(), value))
                        continue;
                    std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
                    ++id;
                    c->PutField(1, rec.data(), &id);
                    c->PutField(2, rec.data(), value);
                    c->AppendRecord(rec.data(), false);
                }
                // The values as stored (a text may have been cut to its field).
                std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
                c->RebuildFilterSet();
                c->SetToBegin();
                while (c->GetNextRecord(rec.data()) == 0) {
                    uint8_t value[FieldValueBufferSize + 8] = {};
                    bool blank = false;
                    c->GetField(2, rec.data(), value, blank);
                    sources.emplace_back(value, value + vd.StoredSize());
                }
            }
            TRestructureParams p = CurrentDefinition(db.dir, name);
            TFieldDesc target = NewField("V", to.type, to.size, 0, to.decimals);
            target.SetFieldNo(2);
            target.DerivePhysical();
            p.Fields[1] = target;
            questions.clear();
            stopAsking = 0;
            keepGoing = 1;
            Restructure(p, name);
            // The model: the conversion itself, row by row.
            std::map<int32_t, std::string> want;
            TFieldDesc sd;
            {
                auto c = db.Open(name);
                c->GetFieldDesc(2, sd);
            }
            std::size_t failures = 0;
            for (std::size_t i = 0; i < sources.size(); ++i) {
                uint8_t value[FieldValueBufferSize + 8] = {};
                std::memcpy(value, sources[i].data(), sources[i].size());
                TFieldDesc fromDesc = NewField("V", from.type, from.size, 0, from.decimals);
                fromDesc.DerivePhysical();
                const bool toString = sd.FieldType() == fldZSTRING;
                bool ok = ConvertFieldData(fromDesc.FieldType(), fromDesc.StoredSize(), fromDesc.StoredDecimals(),
                                           sd.FieldType(), toString ? FieldValueBufferSize : sd.StoredSize(),
                                           sd.StoredDecimals(), value);
                // A text must fit its new field whole.
                if (ok && toString) ok = std::strlen(reinterpret_cast<char*>(value)) < sd.StoredSize();
                if (!ok) {
                    ++failures;
                    continue;
                }
                static const char digits[] = "0123456789abcdef";
                std::string hex;
                for (int b = 0; b < sd.StoredSize(); ++b) {
                    hex.push_back(digits[value[b] >> 4]);
                    hex.push_back(digits[value[b] & 15]);
                }
                if (toString && value[0] == 0) hex = "-";
                want[static_cast<int32_t>(i + 1)] = hex;
            }
            EXPECT_EQ(questions.size(), failures);
            for (const auto& q : questions) EXPECT_EQ(q.first, rqConversion);
            std::map<int32_t, std::string> got;
            for (const auto& [id, row] : DumpRows(db.dir, name)) got[id] = row.at("V");
            EXPECT_EQ(got, want);
        }
    }
}

// The rows after a stopped restructure: the old ones, or the old ones with the new,
// empty field "Extra".
bool OldOrNew(const std::map<int32_t, std::map<std::string, std::string>>& before,
              std::map<int32_t, std::map<std::string, std::string>> after, bool& isNew) {
    isNew = !after.empty() && after.begin()->second.count("Extra") != 0;
    if (isNew) {
        for (auto& [id, row] : after) {
            if (row["Extra"] != "-") return false;
            row.erase("Extra");
        }
    }
    return after == before;
}

TEST_F(RestructureFixture, AProcessStoppedAtEveryStepOfTheSwapLeavesTheNewTable) {
    for (int step = 0; step <= 8; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const std::string name = "S" + std::to_string(step);
        MakeStaff(60, name);
        const auto before = DumpRows(db.dir, name);
        ChildProcess child({"rst-add-field", db.tmp.path(), name, std::to_string(step)});
        ASSERT_EQ(child.readLine(), "ready");
        const int code = child.wait();
        EXPECT_EQ(code, step == 0 ? 0 : 9);
        bool isNew = false;
        EXPECT_TRUE(OldOrNew(before, DumpRows(db.dir, name), isNew));
        // From the marker on, the new table wins.
        EXPECT_TRUE(isNew);
        EXPECT_FALSE(Exists(name + ".RSW"));
        EXPECT_FALSE(Exists(name + ".RSP"));
        for (const char* ext : {".DBK", ".IBK", ".BBK"}) EXPECT_TRUE(Exists(name + ext)) << ext;
    }
}

TEST_F(RestructureFixture, KilledAtRandomMomentsTheTableOpensWithTheOldOrTheNewData) {
    // How long a whole restructure of this table takes here.
    MakeStaff(400, "K0");
    const auto start = std::chrono::steady_clock::now();
    {
        ChildProcess child({"rst-add-field", db.tmp.path(), "K0", "-1"});
        ASSERT_EQ(child.readLine(), "ready");
        ASSERT_EQ(child.wait(), 0);
    }
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    std::mt19937 rng(4242);
    int olds = 0, news = 0;
    for (int round = 1; round <= 12; ++round) {
        const std::string name = "K" + std::to_string(round);
        SCOPED_TRACE(name);
        MakeStaff(400, name);
        const auto before = DumpRows(db.dir, name);
        ChildProcess child({"rst-add-field", db.tmp.path(), name, "-1"});
        ASSERT_EQ(child.readLine(), "ready");
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % static_cast<uint32_t>(whole.count() + 1)));
        child.kill(SIGKILL);
        child.wait();
        bool isNew = false;
        EXPECT_TRUE(OldOrNew(before, DumpRows(db.dir, name), isNew));
        ++(isNew ? news : olds);
        // Opening the table also dropped an unfinished copy and every note.
        for (const std::string& file : Files()) EXPECT_EQ(file[0], 'K') << file;
    }
    // Both outcomes are legitimate; a run that never interrupts the copy would test nothing.
    EXPECT_GT(olds, 0);
}

// A program killed right before any write, sync or cut of a restructure, the
// rebuild of an index in place or a copy and swap: the next open finds the old
// table or the new one, whole, and its files cleaned up.
TEST_F(RestructureFixture, KilledAtEveryWriteTheTableOpensWithTheOldOrTheNewData) {
    MakeStaff(40, "Model");
    const TableSnapshot before = Snapshot(db.dir, "Model");
    auto removeTable = [&] {
        for (const auto& e : fs::directory_iterator(db.tmp.path()))
            if (e.path().stem() != "Model") fs::remove(e.path());
    };
    for (const char* kind : {"index", "field"}) {
        SCOPED_TRACE(kind);
        CopyTable("Model", "T");
        uint64_t calls = 0;
        {
            ChildProcess child({"rst-stop-at", db.tmp.path(), "T", kind, "0"});
            const std::string line = child.readLine();
            ASSERT_EQ(line.rfind("done ", 0), 0u) << line;
            calls = std::stoull(line.substr(5));
            ASSERT_EQ(child.wait(), 0);
        }
        const TableSnapshot after = Snapshot(db.dir, "T");
        ASSERT_FALSE(after == before);
        removeTable();
        int olds = 0;
        for (uint64_t at = 1; at <= calls; ++at) {
            SCOPED_TRACE("killed before write " + std::to_string(at));
            CopyTable("Model", "T");
            {
                ChildProcess child({"rst-stop-at", db.tmp.path(), "T", kind, std::to_string(at)});
                EXPECT_EQ(child.wait(), 128 + SIGKILL);
            }
            const TableSnapshot now = Snapshot(db.dir, "T");
            EXPECT_TRUE(now == before || now == after);
            olds += now == before ? 1 : 0;
            for (const std::string& file : Files())
                EXPECT_TRUE(file.rfind("Model.", 0) == 0 || file.rfind("T.", 0) == 0) << file;
            removeTable();
        }
        EXPECT_GT(olds, 0);
    }
}

}  // namespace
}  // namespace kura::test
