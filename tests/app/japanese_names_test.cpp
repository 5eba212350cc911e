// Japanese names on every main road: tables, indexes, fields, the database folder and
// the files read and written, named with characters whose second byte is 0x5C ("\",
// as in 表, ソ, 十, 能) or whose second bytes differ only as a letter's case would
// (ア 0x83 0x41, ヂ 0x83 0x61), and with half-width katakana. Each road checks that
// the files are where they belong (the database folder holds exactly the table's
// files, the working folder nothing) and that the table or index named was the one
// used (records come back in that index's order, the other table is untouched).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "app/CsvExport.h"
#include "components/KuraSession.h"
#include "components/KuraTable.h"
#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DelimitedText.h"
#include "engine/core/Engine.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/Routines.h"
#include "engine/sql/QueryStatement.h"
#include "platform/CodePage.h"
#include "platform/dataset/Field.h"
#include "tests/common/EngineTestSupport.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CursorTableTestSupport.h"

namespace {

using namespace kura;
using kura::test::ErrorOf;
namespace fs = std::filesystem;

std::string S(const std::string& utf8) { return platform::Utf8ToCp932(utf8); }

struct Names {
    const char* Label;
    // UTF-8 here, code page 932 in the engine.
    std::string Table, Renamed, SqlTable, Field1, Field2, IndexA, IndexB, File;
};

const Names kRows[] = {
    {"second byte 0x5C inside", "社員表", "表示能力", "申請ソ", "番号十", "氏名表", "予定ア", "予定ヂ", "出力表.txt"},
    {"second byte 0x5C last", "ソ", "十", "能", "表", "貼", "ア", "ヂ", "欺.txt"},
    {"half-width katakana", "ｼｬｲﾝ", "ﾋｮｳ", "ﾃｰﾌﾞﾙ", "ｺｰﾄﾞ", "ﾅﾏｴ", "ｲﾝﾃﾞｯｸｽ", "ｿｰﾄ", "ｼｭﾂﾘｮｸ.txt"},
};

std::set<std::string> FilesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

std::set<std::string> TableFiles(const std::string& utf8, std::initializer_list<const char*> exts) {
    std::set<std::string> names;
    for (const char* ext : exts) names.insert(utf8 + ext);
    return names;
}

int32_t IntField(TDataCursor& c, uint16_t n, const uint8_t* record) {
    int32_t v = 0;
    bool blank = true;
    c.GetField(n, record, &v, blank);
    return blank ? -1 : v;
}

// Field 1 of every record in the cursor's current order.
std::vector<int32_t> Order(TDataCursor& c) {
    std::vector<uint8_t> record(c.GetCursorRecordSize() + 16u, 0);
    std::vector<int32_t> ids;
    c.SetToBegin();
    while (c.GetNextRecord(record.data()) == 0) ids.push_back(IntField(c, 1, record.data()));
    return ids;
}

class JapaneseNames : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeEngine();
        work = fs::path(tmp.path()) / "work";
        fs::create_directories(work);
        fs::create_directories(db);
        // Whatever lands in the working folder by mistake is seen there.
        before = fs::current_path();
        fs::current_path(work);
    }
    void TearDown() override {
        fs::current_path(before);
        DoneSessions();
        ShutdownEngine();
    }
    test::TempDir tmp;
    // The database folder's name ends in 表, whose second byte is 0x5C.
    fs::path db = fs::path(tmp.path()) / "データ表";
    std::string dbPath = tmp.path() + "/" + S("データ表");
    fs::path work, before;
};

// Index A orders by field 2 ("c", "a", "b" in records 1..3), index B by field 1
// descending: the three orders tell which index a cursor uses.
const std::vector<int32_t> kByA{2, 3, 1}, kByB{3, 2, 1};

void EngineRoads(const Names& n, TDataDirectory& dir, const std::string& tmp, const fs::path& db) {
    const std::string T = S(n.Table), R = S(n.Renamed), A = S(n.IndexA), B = S(n.IndexB);
    test::TableBuilder b;
    b.Field(S(n.Field1).c_str(), fldINT32);
    b.Field(S(n.Field2).c_str(), fldZSTRING, 10);
    b.Primary({1});
    b.Secondary(A.c_str(), {2}, false);
    TIndexDesc byB = b.Desc(B.c_str(), {1}, false);
    byB.SetByte(ido::Descending, 1);
    b.Def.Indexes.push_back(byB);

    // Create.
    TDataTable* made = nullptr;
    ASSERT_EQ(dir.CreateTable(made, T, false, false, b.Def), 0);
    dir.CloseTable(made, false, false, false);
    EXPECT_EQ(FilesIn(db), TableFiles(n.Table, {".DAT", ".IDX", ".JNL"}));

    // Open, append, select each index by name.
    {
        TDataCursor c(&dir);
        c.SetTableName(T);
        c.SetExclusive(true);
        c.OpenCursor();
        const char* texts[] = {"c", "a", "b"};
        for (int32_t i = 1; i <= 3; ++i) {
            test::RecordImage image(c);
            image.Int(1, i).Text(2, texts[i - 1]);
            c.AppendRecord(image.data(), false);
        }
        c.SetIndexName(B);
        EXPECT_EQ(c.GetIndexName(), B);
        EXPECT_EQ(Order(c), kByB);
        c.SetIndexName(A);
        EXPECT_EQ(c.GetIndexName(), A);
        EXPECT_EQ(Order(c), kByA);
        c.SetIndexName(B);
        EXPECT_EQ(Order(c), kByB);

        // Add an index, delete another by name: the one named goes, the others stay.
        const std::string C = S(n.Field2 + "順");
        TIndexDesc byC = b.Desc(C.c_str(), {2}, false);
        byC.SetKeySize(0);
        c.AddSecondaryIndex(byC, 0);
        c.DeleteIndex(A, 1);
        EXPECT_FALSE(c.IndexNameExists(A));
        EXPECT_TRUE(c.IndexNameExists(B));
        EXPECT_TRUE(c.IndexNameExists(C));
        c.SetIndexName(B);
        EXPECT_EQ(Order(c), kByB);
        c.SetIndexName(C);
        EXPECT_EQ(Order(c), kByA);

        // Export to a file whose name holds the same characters, empty, import it back.
        TDelimitedTextParams p;
        p.FileName = tmp + "/" + S(n.File);
        TFieldDesc f1, f2;
        c.GetFieldDesc(1, f1);
        c.GetFieldDesc(2, f2);
        p.Fields = {&f1, &f2};
        c.ExportTable(p);
        ASSERT_TRUE(fs::exists(fs::path(tmp) / n.File));
        c.EmptyTable();
        EXPECT_EQ(c.GetRecordCount(), 0u);
        c.ImportTable(p);
        // Exported in the order of index C, appended in that order.
        c.SwitchToIndex(NATURAL_ORDER);
        EXPECT_EQ(Order(c), kByA);
        fs::remove(fs::path(tmp) / n.File);
        c.CloseCursor(false);
    }
    EXPECT_EQ(FilesIn(db), TableFiles(n.Table, {".DAT", ".IDX", ".JNL"}));

    // Rename, then delete: the files move and go, the old name is gone.
    {
        TDataCursor c(&dir);
        c.SetTableName(T);
        c.RenameTable(R);
        EXPECT_EQ(FilesIn(db), TableFiles(n.Renamed, {".DAT", ".IDX"}));
        EXPECT_FALSE(dir.TableExists(T, false));
        c.SetTableName(R);
        c.OpenCursor();
        EXPECT_EQ(c.GetRecordCount(), 3u);
        c.CloseCursor(false);
        c.DeleteTable();
        EXPECT_TRUE(FilesIn(db).empty());
    }
}

void SqlRoads(const Names& n, TDataDirectory& dir, const fs::path& db) {
    const std::string Q = S(n.SqlTable), F1 = S(n.Field1), F2 = S(n.Field2), A = S(n.IndexA), B = S(n.IndexB);
    auto run = [&](const std::string& sql) {
        TQueryStatement statement(&dir);
        statement.Prepare(sql);
        TDataCursor* result = nullptr;
        statement.Execute(result);
    };
    const std::string q = "\"" + Q + "\"", f1 = "\"" + F1 + "\"", f2 = "\"" + F2 + "\"";
    run("CREATE TABLE " + q + " (" + f1 + " INTEGER, " + f2 + " CHAR(10), PRIMARY KEY (" + f1 + "))");
    run("CREATE INDEX \"" + A + "\" ON " + q + " (" + f2 + ")");
    run("CREATE INDEX \"" + B + "\" ON " + q + " (" + f1 + ")");
    run("INSERT INTO " + q + " VALUES (1, 'c'); INSERT INTO " + q + " VALUES (2, 'a'); INSERT INTO " + q +
        " VALUES (3, 'b')");
    EXPECT_EQ(FilesIn(db), TableFiles(n.SqlTable, {".DAT", ".IDX", ".JNL"}));
    {
        TQueryStatement statement(&dir);
        // In expressions a name goes in square brackets (a quoted text is a constant).
        const std::string c1 = "[" + F1 + "]", c2 = "[" + F2 + "]";
        statement.Prepare("SELECT " + c1 + ", " + c2 + " FROM " + q + " WHERE " + c2 + " >= 'b' ORDER BY " + c2);
        TDataCursor* result = nullptr;
        statement.Execute(result);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(Order(*result), (std::vector<int32_t>{3, 1}));
    }
    // ALTER restructures the table: a column more, the old files kept as its backups
    // beside the new ones.
    run("ALTER TABLE " + q + " ADD \"" + S(n.Field2 + "二") + "\" INTEGER");
    EXPECT_EQ(FilesIn(db), TableFiles(n.SqlTable, {".DAT", ".IDX", ".DBK", ".IBK"}));
    TDataCursor c(&dir);
    c.SetTableName(Q);
    c.OpenCursor();
    EXPECT_EQ(c.GetFieldCount(), 3);
    EXPECT_TRUE(c.IndexNameExists(A));
    EXPECT_TRUE(c.IndexNameExists(B));
    c.SetIndexName(A);
    EXPECT_EQ(Order(c), kByA);
    c.CloseCursor(false);
    run("DROP INDEX " + q + ".\"" + A + "\"");
    c.OpenCursor();
    EXPECT_FALSE(c.IndexNameExists(A));
    EXPECT_TRUE(c.IndexNameExists(B));
    c.CloseCursor(false);
    run("DROP TABLE " + q);
    EXPECT_EQ(FilesIn(db), TableFiles(n.SqlTable, {".DBK", ".IBK"}));
    for (const char* ext : {".DBK", ".IBK"}) fs::remove(db / (n.SqlTable + ext));

    // A missing table, and names that name no file, are refused and leave nothing.
    for (const std::string& name : {Q, std::string("."), std::string(".."), S("サブ") + "\\", std::string("")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ErrorOf([&] { run("SELECT * FROM \"" + name + "\""); }), KURA_OSENOENT);
        EXPECT_EQ(ErrorOf([&] { run("INSERT INTO \"" + name + "\" VALUES (1)"); }), KURA_OSENOENT);
        TDataTable* none = nullptr;
        if (name != Q) {
            EXPECT_EQ(dir.CreateTable(none, name, false, false, TTableDefinition{}), -int32_t{KURA_OSENOENT});
        }
    }
    EXPECT_TRUE(FilesIn(db).empty());
}

void ComponentRoads(const Names& n, const std::string& dbPath, const std::string& tmp, const fs::path& db) {
    TKuraTable t;
    // A path with the table: the folder goes to the database name, intact.
    t.SetTableName(dbPath + "\\" + S(n.Table));
    EXPECT_EQ(t.DatabaseName(), NormalizePathDelimiters(dbPath));
    EXPECT_EQ(t.TableName(), S(n.Table));
    const std::string a = S("ア"), dzi = S("ヂ");
    t.FieldDefs().Add(S(n.Field1), ftInteger, 0, true);
    t.FieldDefs().Add(S(n.Field2), ftString, 10);
    t.FieldDefs().Add(a, ftInteger);
    t.FieldDefs().Add(dzi, ftInteger);
    t.IndexDefs().Add("", S(n.Field1), ixPrimary | ixUnique);
    t.IndexDefs().Add(S(n.IndexA), S(n.Field2), 0);
    t.IndexDefs().Add(S(n.IndexB), dzi, ixDescending);
    t.CreateTable();
    t.Open();
    const char* texts[] = {"c", "a", "b"};
    for (int32_t i = 1; i <= 3; ++i) {
        t.Append();
        t.FieldByName(S(n.Field1))->SetAsInteger(i);
        t.FieldByName(S(n.Field2))->SetAsString(texts[i - 1]);
        t.FieldByName(a)->SetAsInteger(10 * i);
        t.FieldByName(dzi)->SetAsInteger(100 * i);
        t.Post();
    }
    auto order = [&] {
        std::vector<int32_t> ids;
        for (t.First(); !t.Eof(); t.Next()) ids.push_back(t.FieldByName(S(n.Field1))->AsInteger());
        return ids;
    };
    t.SetIndexName(S(n.IndexA));
    EXPECT_EQ(order(), kByA);
    t.SetIndexName(S(n.IndexB));
    EXPECT_EQ(order(), kByB);
    t.First();
    EXPECT_EQ(t.FieldByName(dzi)->AsInteger(), 300);
    EXPECT_EQ(t.FieldByName(a)->AsInteger(), 30);
    EXPECT_EQ(FilesIn(db), TableFiles(n.Table, {".DAT", ".IDX", ".JNL"}));

    // The program's CSV export: the header names the fields byte for byte.
    const fs::path csv = fs::path(tmp) / ("名簿表" + n.Table + ".csv");
    EXPECT_EQ(app::ExportCsv(t, csv.string()), 3);
    std::ifstream in(csv, std::ios::binary);
    std::string header;
    std::getline(in, header);
    EXPECT_EQ(header, S(n.Field1) + "," + S(n.Field2) + "," + a + "," + dzi + "\r");
    in.close();
    fs::remove(csv);

    t.Close();
    t.DeleteTable();
    EXPECT_TRUE(FilesIn(db).empty());
}

TEST_F(JapaneseNames, EveryRoadKeepsTheNamesFoldersAndIndexesItWasGiven) {
    for (const Names& n : kRows) {
        SCOPED_TRACE(n.Label);
        {
            TDataSession session;
            TDataDirectory* dir = session.OpenDataDirectory("DB", dbPath);
            EngineRoads(n, *dir, tmp.path(), db);
            SqlRoads(n, *dir, db);
        }
        ComponentRoads(n, dbPath, tmp.path(), db);
        EXPECT_TRUE(FilesIn(work).empty());
        EXPECT_EQ(FilesIn(tmp.path()), (std::set<std::string>{"work", "データ表"}));
    }
}

}  // namespace
