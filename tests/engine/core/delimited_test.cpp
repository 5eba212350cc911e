// Delimited-text import and export: round trips of every field type, files written
// by Python's csv module, progress with cancel, and malformed files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "engine/core/DelimitedText.h"
#include "engine/files/Bcd.h"
#include "engine/files/FileHandler.h"
#include "platform/CodePage.h"
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

namespace kura::test {
namespace {

// Id, Name, Amount, Born, Flag: the columns of the files Python's csv module wrote.
class ImportFixture : public DelimitedFixture {
protected:
    std::unique_ptr<TDataCursor> c;
    std::vector<TFieldDesc> store;

    void SetUp() override {
        TableBuilder b;
        b.Field("Id", fldINT32);
        b.Field("Name", fldZSTRING, 30);
        b.Field("Amount", fldFLOAT);
        b.Field("Born", fldDATE);
        b.Field("Flag", fldBOOL);
        db.Create("People", b.Def);
        c = db.Open("People");
        store.resize(5);
        for (uint16_t i = 1; i <= 5; ++i) c->GetFieldDesc(i, store[i - 1]);
    }
    TDelimitedTextParams Import(const std::string& file) {
        TDelimitedTextParams p = Params(file, {&store[0], &store[1], &store[2], &store[3], &store[4]});
        return p;
    }
    std::vector<std::string> Rows() {
        std::vector<std::string> out;
        std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
        c->SetToBegin();
        while (c->GetNextRecord(rec.data()) == 0) {
            std::string row;
            for (uint16_t col = 1; col <= 5; ++col) {
                uint8_t v[64] = {};
                bool blank = false;
                c->GetField(col, rec.data(), v, blank);
                if (blank) {
                    row += "-";
                } else if (col == 1) {
                    row += std::to_string(GetI32(v));
                } else if (col == 2) {
                    row += reinterpret_cast<char*>(v);
                } else if (col == 3) {
                    double d = 0;
                    std::memcpy(&d, v, 8);
                    std::ostringstream s;
                    s << d;
                    row += s.str();
                } else if (col == 4) {
                    row += std::to_string(GetI32(v));
                } else {
                    row += v[0] ? "T" : "F";
                }
                row += "|";
            }
            out.push_back(row);
        }
        return out;
    }
    // True when nothing holds the file open any more.
    static bool Closed(const std::string& path) {
        TFileHandler f;
        f.FileName = path;
        f.Exclusive = true;
        try {
            f.OpenFile();
        } catch (const EKuraEngineError&) {
            return false;
        }
        f.CloseFile();
        return true;
    }
};

TEST_F(ImportFixture, FilesWrittenByPythonsCsvModuleReadBackTheSame) {
    const std::vector<std::string> want = {
        "1|plain|1.5|730519|T|",
        "2|a,b|-2.25|730119|F|",
        "3|say \"hi\"|0|738945|T|",
        "4|it's|1000|693596|F|",
        "5|" + platform::Utf8ToCp932("表ソ能") + "|12345.8|734055|T|",
        "6|" + platform::Utf8ToCp932("山田, \"太郎\"") + "|-0.5|719163|F|",
        "7|" + platform::Utf8ToCp932("ｱｲｳ") + "|3.25|730120|T|",
        "8|-|-|-|-|",
    };
    for (const char* file : {"quote_all.csv", "quote_minimal.csv"}) {
        SCOPED_TRACE(file);
        c->EmptyTable();
        TDelimitedTextParams p = Import(std::string(KURA_TEST_DATA) + "/import/" + file);
        p.Fields.clear();
        p.FieldNamesInFirstLine = true;
        c->ImportTable(p);
        EXPECT_EQ(Rows(), want);
    }
}

struct BadCase {
    const char* name;
    std::string text;
    const char* message;
    const char* field;
    std::size_t kept;
};

TEST_F(ImportFixture, MalformedFilesStopWithTheirMessageKeepEarlierRowsAndCloseTheFile) {
    std::string wide = "Id";
    for (int i = 0; i < 1100; ++i) wide += ",Id";
    const BadCase cases[] = {
        {"CR without LF", "1,a\r\n2,b\rX\r\n", "Missing line feed after carriage return in import data", "", 1},
        {"NUL", std::string("1,a\r\n2,\0b\r\n", 11), "Embedded NULL (0x00) found in import data", "", 1},
        {"open quote", "1,a\r\n2,\"open\r\n", "Missing double quote after '", "", 1},
        {"open single quote", "1,a\r\n2,'open", "Missing single quote after '", "", 1},
        {"too many fields", "1,a,2,2000/01/01,True,9\r\n", "Invalid number of fields in import data", "", 0},
        {"not a number", "1,a\r\nx,b\r\n", "Invalid data value in import data", "Id", 1},
        {"not a date", "1,a,1,2000/13/45\r\n", "Invalid data value in import data", "Born", 0},
        {"bad code page 932", "1,a\r\n2,\"\x81\x20x\"\r\n", "Invalid data value in import data", "Name", 1},
        {"lone lead byte", "1,\"ab\x82\"\r\n", "Invalid data value in import data", "Name", 0},
        {"line too long", "1,a\r\n2," + std::string(70000, 'x') + "\r\n", "Line too long", "", 1},
    };
    for (const BadCase& k : cases) {
        SCOPED_TRACE(k.name);
        c->EmptyTable();
        const std::string file = Path("bad.txt");
        WriteFile(file, k.text);
        try {
            c->ImportTable(Import(file));
            ADD_FAILURE() << "no error";
        } catch (const EKuraEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), KURA_IMPORTERROR);
            EXPECT_EQ(e.ErrorContext(ctxMessage).rfind(k.message, 0), 0u) << e.ErrorContext(ctxMessage);
            EXPECT_EQ(e.ErrorContext(ctxField), k.field);
            EXPECT_EQ(e.ErrorContext(ctxTable), "People");
        }
        EXPECT_EQ(Rows().size(), k.kept);
        EXPECT_TRUE(Closed(file));
    }
    // A header naming more columns than a field list holds.
    WriteFile(Path("wide.txt"), wide + "\r\n1\r\n");
    TDelimitedTextParams p = Import(Path("wide.txt"));
    p.Fields.clear();
    p.FieldNamesInFirstLine = true;
    try {
        c->ImportTable(p);
        ADD_FAILURE() << "no error";
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_IMPORTERROR);
        EXPECT_EQ(e.ErrorContext(ctxMessage), "Invalid number of fields in import data");
    }
    EXPECT_TRUE(Closed(Path("wide.txt")));
    // No field list and no header line.
    p.FieldNamesInFirstLine = false;
    EXPECT_THROW(c->ImportTable(p), EKuraEngineError);
}

TEST_F(ImportFixture, LinesSpanningReadBlocksImportWhole) {
    std::string text;
    std::vector<std::string> want;
    for (int i = 1; i <= 15000; ++i) {
        // Lengths vary so that block ends fall inside fields, quotes, CR LF pairs and
        // a quoted line break.
        std::string name(static_cast<std::size_t>(i % 29), static_cast<char>('a' + i % 26));
        if (i % 7 == 0) name += "\r\n";
        if (i % 5 == 0) name += "\"\"q";
        text += std::to_string(i) + ",\"" + name + "\"\r\n";
        std::string stored = name;
        for (std::size_t pos; (pos = stored.find("\"\"")) != std::string::npos;) stored.replace(pos, 2, "\"");
        stored = stored.substr(0, 30);  // the field holds 30 characters
        while (!stored.empty() && stored.back() == ' ') stored.pop_back();
        want.push_back(std::to_string(i) + "|" + (stored.empty() ? "-" : stored) + "|-|-|-|");
    }
    ASSERT_GT(text.size(), 3u * DELIMITED_BLOCK_SIZE);
    WriteFile(Path("long.txt"), text);
    c->ImportTable(Import(Path("long.txt")));
    const std::vector<std::string> got = Rows();
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], want[i]) << "row " << i;
}

// Unquoted numbers and dates and doubled quotes cut by block ends: a field is read
// whole, never as the part before the cut (which may not even convert).
TEST_F(ImportFixture, FieldsCutByABlockEndAreReadWhole) {
    for (int shift = 0; shift < 34; shift += 6) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        c->EmptyTable();
        std::string text(static_cast<std::size_t>(shift), ' ');
        std::vector<std::string> want;
        for (int i = 1; text.size() < 2u * DELIMITED_BLOCK_SIZE + 100; ++i) {
            const int id = i * 7919;
            const std::string quoted = i % 3 ? "\"\"\"\"" : "a\"\"b";
            text += std::to_string(id) + ",\"" + quoted + "\",1234.5,2001/02/03\r\n";
            want.push_back(std::to_string(id) + "|" + (i % 3 ? "\"\"" : "a\"b") + "|1234.5|730519|-|");
        }
        WriteFile(Path("cut.txt"), text);
        c->ImportTable(Import(Path("cut.txt")));
        const std::vector<std::string> got = Rows();
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], want[i]) << "row " << i;
    }
}

TEST_F(ImportFixture, ProgressIsReportedAndAHandlerCanCancel) {
    std::string text;
    for (int i = 1; i <= 20000; ++i) text += std::to_string(i) + ",\"name " + std::to_string(i) + "\"\r\n";
    WriteFile(Path("big.txt"), text);
    std::vector<uint16_t> seen;
    c->SetImportProgressEvent([&](TDataCursor*, uint16_t value) { seen.push_back(value); });
    c->ImportTable(Import(Path("big.txt")));
    ASSERT_GE(seen.size(), 3u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 100);
    EXPECT_EQ(Rows().size(), 20000u);

    // Cancel: the handler throws once half the file is read.
    c->EmptyTable();
    struct Cancelled {};
    c->SetImportProgressEvent([&](TDataCursor*, uint16_t value) {
        if (value >= 50) throw Cancelled{};
    });
    EXPECT_THROW(c->ImportTable(Import(Path("big.txt"))), Cancelled);
    const std::size_t kept = Rows().size();
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, 20000u);
    EXPECT_TRUE(Closed(Path("big.txt")));

    // Export reports rising progress ending at 100, and can be cancelled too.
    std::vector<uint16_t> exported;
    c->SetExportProgressEvent([&](TDataCursor*, uint16_t value) { exported.push_back(value); });
    c->ExportTable(Import(Path("out.txt")));
    ASSERT_FALSE(exported.empty());
    EXPECT_TRUE(std::is_sorted(exported.begin(), exported.end()));
    EXPECT_EQ(exported.back(), 100);
    c->SetExportProgressEvent([&](TDataCursor*, uint16_t value) {
        if (value >= 30) throw Cancelled{};
    });
    EXPECT_THROW(c->ExportTable(Import(Path("out2.txt"))), Cancelled);
    EXPECT_TRUE(Closed(Path("out2.txt")));
}

}  // namespace
}  // namespace kura::test
