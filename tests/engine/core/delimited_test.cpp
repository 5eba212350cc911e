// Delimited-text import and export: round trips of every field type, files written
// by Python's csv module, progress with cancel, and malformed files.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "engine/core/DelimitedText.h"
#include "engine/files/Bcd.h"
#include "tests/engine/core/CursorTableTestSupport.h"

namespace kura::test {
namespace {

enum Col { cId = 1, cS, cI16, cF, cBCD, cD, cT, cTS, cB, cW, cL, cMemo };
constexpr int COLUMNS = 12;

TTableDefinition AllTypes() {
    TableBuilder b;
    b.Field("Id", fldINT32);
    b.Field("Name", fldZSTRING, 40);
    b.Field("Small", fldINT16);
    b.Field("Amount", fldFLOAT);
    b.Field("Money", fldBCD, 0, 2);
    b.Field("Born", fldDATE);
    b.Field("At", fldTIME);
    b.Field("Stamp", fldTIMESTAMP);
    b.Field("Flag", fldBOOL);
    b.Field("Word", fldUINT16);
    b.Field("Big", fldINT64);
    b.Field("Memo", fldBLOB).SetSubType(fldstMEMO);
    b.Primary({1});
    return b.Def;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// Code page 932 texts holding the delimiter, both quotes and double-byte
// characters (two of them with 0x5C, the backslash, as trail byte).
const char* const NAMES[] = {"plain", "a,b", "say \"hi\"", "it's", "\x95\x5C\x83\x5C", "\x8E\x81\x96\xBC, \"x\"",
                             "''", "\xB1\xB2\xB3", "trail  "};

class DelimitedFixture : public ::testing::Test {
protected:
    LibraryScope lib;
    TestDb db;

    std::string Path(const char* name) const { return db.tmp.path() + "/" + name; }

    std::vector<uint8_t> Row(TDataCursor& c, int i) {
        std::vector<uint8_t> rec(c.GetCursorRecordSize(), 0);
        c.InitRecord(rec.data());
        auto put = [&](int col, const void* v) { c.PutField(static_cast<uint16_t>(col), rec.data(), v); };
        int32_t id = i + 1;
        put(cId, &id);
        std::vector<char> name(64, 0);
        std::strcpy(name.data(), NAMES[i % 9]);
        if (i % 9 != 8) put(cS, name.data());
        int16_t small = static_cast<int16_t>(i * 37 - 500);
        put(cI16, &small);
        double amount = (i - 5) * 1.25;
        if (i % 4 != 3) put(cF, &amount);
        uint8_t bcd[34] = {};
        CurrToBCDValue(static_cast<TCurrency>(i) * 1234500 - 99, 2, bcd);  // x.yy after rounding
        CurrToBCDValue(static_cast<TCurrency>(i * 12345 - 99) * 100, 2, bcd);
        put(cBCD, bcd);
        int32_t day = 730000 + i * 3;
        put(cD, &day);
        int32_t ms = (i * 3671 % 86400) * 1000;
        put(cT, &ms);
        double stamp = static_cast<double>(day) * 86400000.0 + ms;
        put(cTS, &stamp);
        uint16_t flag = static_cast<uint16_t>(i % 2);
        put(cB, &flag);
        uint16_t word = static_cast<uint16_t>(i * 1000);
        put(cW, &word);
        int64_t big = (static_cast<int64_t>(i) - 3) * 1000000000007LL;
        put(cL, &big);
        return rec;
    }

    std::vector<const TFieldDesc*> Fields(TDataCursor& c, std::vector<TFieldDesc>& store) {
        store.resize(COLUMNS);
        std::vector<const TFieldDesc*> out;
        for (int col = 1; col <= COLUMNS; ++col) {
            c.GetFieldDesc(static_cast<uint16_t>(col), store[col - 1]);
            out.push_back(&store[col - 1]);
        }
        return out;
    }

    // Every record's fields in index order, each as hex of its stored bytes or "-"
    // for blank (BLOB references left out).
    std::vector<std::vector<std::string>> Contents(TDataCursor& c) {
        std::vector<std::vector<std::string>> rows;
        std::vector<uint8_t> rec(c.GetCursorRecordSize(), 0);
        c.SetToBegin();
        while (c.GetNextRecord(rec.data()) == 0) {
            std::vector<std::string> row;
            for (int col = 1; col < cMemo; ++col) {
                uint8_t v[300] = {};
                bool blank = false;
                c.GetField(static_cast<uint16_t>(col), rec.data(), v, blank);
                TFieldDesc d;
                c.GetFieldDesc(static_cast<uint16_t>(col), d);
                std::string hex = blank ? "-" : "";
                static const char digits[] = "0123456789abcdef";
                for (int i = 0; !blank && i < d.StoredSize(); ++i) {
                    hex.push_back(digits[v[i] >> 4]);
                    hex.push_back(digits[v[i] & 15]);
                }
                row.push_back(hex);
            }
            rows.push_back(row);
        }
        return rows;
    }

    static void ExpectSame(const std::vector<std::vector<std::string>>& want,
                           const std::vector<std::vector<std::string>>& got) {
        ASSERT_EQ(want.size(), got.size());
        int reported = 0;
        for (std::size_t r = 0; r < want.size() && reported < 5; ++r)
            for (std::size_t f = 0; f < want[r].size(); ++f)
                if (want[r][f] != got[r][f] && reported++ < 5)
                    ADD_FAILURE() << "row " << r << " field " << f + 1 << ": " << want[r][f] << " vs " << got[r][f];
    }

    TDelimitedTextParams Params(const std::string& file, std::vector<const TFieldDesc*> fields) {
        TDelimitedTextParams p;
        p.FileName = file;
        p.Fields = std::move(fields);
        p.DateFormat = "yyyy/mm/dd";
        p.TimeFormat = "hh:mm:ss";
        return p;
    }
};

TEST_F(DelimitedFixture, EveryFieldTypeSurvivesExportAndImport) {
    db.Create("Source", AllTypes());
    auto src = db.Open("Source");
    for (int i = 0; i < 40; ++i) {
        std::vector<uint8_t> rec = Row(*src, i);
        src->AppendRecord(rec.data(), false);
    }
    std::vector<TFieldDesc> store;
    for (char delimiter : {',', '\t', ';'}) {
        for (bool header : {false, true}) {
            SCOPED_TRACE(std::string("delimiter ") + delimiter + (header ? " with header" : ""));
            const std::string file = Path("out.txt");
            std::remove(file.c_str());
            TDelimitedTextParams p = Params(file, Fields(*src, store));
            p.Delimiter = delimiter;
            p.FieldNamesInFirstLine = header;
            src->ExportTable(p);
            if (db.dir->TableExists("Copy", false)) db.dir->DeleteTable("Copy", false);
            db.Create("Copy", AllTypes());
            auto copy = db.Open("Copy");
            std::vector<TFieldDesc> copyStore;
            TDelimitedTextParams in = Params(file, header ? std::vector<const TFieldDesc*>{} : Fields(*copy, copyStore));
            in.Delimiter = delimiter;
            in.FieldNamesInFirstLine = header;
            copy->ImportTable(in);
            ExpectSame(Contents(*src), Contents(*copy));
            copy.reset();
        }
    }
    // The strings are quoted with inner double quotes doubled; blanks are empty.
    const std::string text = ReadFile(Path("out.txt"));
    EXPECT_NE(text.find("\"say \"\"hi\"\"\""), std::string::npos);
    EXPECT_NE(text.find("\r\n9;;"), std::string::npos);
}

TEST_F(DelimitedFixture, EdgeCasesOfTheFormat) {
    TableBuilder b;
    b.Field("Id", fldINT32);
    b.Field("Name", fldZSTRING, 10).SetDefaultValue("dflt");
    b.Field("N", fldINT32);
    db.Create("T", b.Def);
    auto c = db.Open("T");
    std::vector<TFieldDesc> store(3);
    std::vector<const TFieldDesc*> fields;
    for (uint16_t i = 1; i <= 3; ++i) {
        c->GetFieldDesc(i, store[i - 1]);
        fields.push_back(&store[i - 1]);
    }
    // Short line, empty line, empty field, a last line without CR LF, a lone LF.
    WriteFile(Path("in.txt"), "1\r\n\r\n2,,5\r\n3,'x'\n4,\"y\",7");
    c->ImportTable(Params(Path("in.txt"), fields));
    std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
    std::vector<std::string> got;
    c->SetToBegin();
    while (c->GetNextRecord(rec.data()) == 0) {
        uint8_t v[64] = {};
        bool blank = false;
        std::string row;
        for (uint16_t col = 1; col <= 3; ++col) {
            std::memset(v, 0, sizeof v);
            c->GetField(col, rec.data(), v, blank);
            row += blank ? "-" : (col == 2 ? std::string(reinterpret_cast<char*>(v)) : std::to_string(GetI32(v)));
            row += "|";
        }
        got.push_back(row);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"1|dflt|-|", "2|dflt|5|", "3|x|-|", "4|y|7|"}));

    // An empty table exports an empty file, header or not.
    db.Create("Empty", b.Def);
    auto empty = db.Open("Empty");
    TDelimitedTextParams p = Params(Path("empty.txt"), fields);
    p.FieldNamesInFirstLine = true;
    empty->ExportTable(p);
    EXPECT_EQ(ReadFile(Path("empty.txt")), "");
    // Header columns in another order fill the named fields; an unknown name stops.
    WriteFile(Path("h.txt"), "N,Id\r\n8,9\r\n");
    TDelimitedTextParams h = Params(Path("h.txt"), {});
    h.FieldNamesInFirstLine = true;
    empty->ImportTable(h);
    empty->SetToBegin();
    ASSERT_EQ(empty->GetNextRecord(rec.data()), 0);
    uint8_t v[8] = {};
    bool blank = false;
    empty->GetField(1, rec.data(), v, blank);
    EXPECT_EQ(GetI32(v), 9);
    WriteFile(Path("h2.txt"), "N,Nope\r\n8,9\r\n");
    h.FileName = Path("h2.txt");
    EXPECT_THROW(empty->ImportTable(h), EKuraEngineError);
}

}  // namespace
}  // namespace kura::test
