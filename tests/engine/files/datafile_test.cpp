// The data file's header, descriptors and their checks.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/files/ConstantCheck.h"
#include "engine/files/DataFile.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/files/DataFileTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const registry = ::testing::AddGlobalTestEnvironment(new RegistryEnvironment);

Schema GoldenSchema() {
    Schema s;
    s.Add("ID", fldINT32, 0, fldstAUTOINC);
    s.Add("NAME", fldZSTRING, 20).Last().SetRequired(1);
    s.Add("AGE", fldINT32);
    s.Last().SetMinValue("18");
    s.Last().SetMaxValue("99");
    s.Add("SALARY", fldFLOAT, 0, fldstMONEY).Last().SetDefaultValue("0.5");
    s.Add("BIRTH", fldDATE).Last().SetMinValue("1900-01-01");
    s.Add("START", fldTIME);
    s.Add("STAMP", fldTIMESTAMP).Last().SetDefaultValue("CURRENT_TIMESTAMP");
    s.Add("AMOUNT", fldBCD, 0, 0, 2);
    s.Add("PHOTO", fldBLOB, 0, fldstGRAPHIC);
    return s;
}

std::string Hex(const uint8_t* p, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t x = 0xcbf29ce484222325ULL;
    for (uint8_t c : bytes) {
        x ^= c;
        x *= 0x100000001b3ULL;
    }
    return x;
}

// Opens a file, then verifies it: the error either raises, 0 when both pass.
int OpenAndVerify(const std::string& path) {
    TestOwner owner;
    TDataFile f(&owner);
    f.FileName = path;
    return ErrorOf([&] {
        f.OpenFile();
        f.VerifyHeader();
    });
}

}  // namespace

// Golden images computed independently from the documented layout: header field
// by field, descriptor area, and the scrambled variants.
TEST(DataFileFormat, GoldenBytesOfNewFile) {
    TempDir dir;
    const char* plainHeader =
        "0100000000040000050000000001000000000000006c00090001000000000023cb23c10c5374616666206d61737465720000"
        "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
        "00000000000000020007000100000000e880000000000000000000";
    const char* encryptedHeader =
        "0100000000040000050000000001000000000000006c00090001000000000023cb23c10c0c2b3e39397f32feecebfaed0000"
        "00000000000000000000000000000000000000000000000000000000000000000000000001062c3a3c2d3a2b000000000000"
        "00000000000000020007000100000000e880000000000000000000";
    struct Case {
        bool encrypted;
        const char* header;
        uint64_t hash;
        const char* descStart;
    } cases[] = {
        {false, plainHeader, 0xd79e7c0b784a34cbULL,
         "01000249440000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
         "000000000000000000"},
        {true, encryptedHeader, 0x64d299ee291aacccULL,
         "f6f7f5beb3c7c7c7c7c7c7c7c7f7f7f7f7f7f7f7f7e7e7e7e7e7e7e7e7f7f7f7f7f7f7f7f70707070707070707f7f7f7f7f7f7f7f7"
         "e7e7e7e7e7e7e7e7f7f7f7"},
    };
    for (const Case& c : cases) {
        std::string path = dir.file(c.encrypted ? "ENC.DAT" : "PLAIN.DAT");
        Schema schema = GoldenSchema();
        ASSERT_EQ(schema.RecordSize(), 108);
        CreateTable(path, schema, c.encrypted);
        std::vector<uint8_t> bytes = ReadAll(Native(path));
        ASSERT_EQ(bytes.size(), 127u + 9u * 768u);
        EXPECT_EQ(Hex(bytes.data(), 127), c.header) << c.encrypted;
        EXPECT_EQ(Hex(bytes.data() + 127, 64), c.descStart) << c.encrypted;
        EXPECT_EQ(Fnv1a(bytes), c.hash) << c.encrypted;

        // And it reads back: descriptors unscrambled, strings in plain.
        TestOwner owner;
        TDataFile f(&owner);
        f.FileName = path;
        f.OpenFile();
        f.VerifyHeader();
        EXPECT_EQ(f.GetRecordSize(), 108);
        EXPECT_EQ(f.GetBlobFieldCount(), 1);
        EXPECT_EQ(f.GetBlobBlockSize(), 1024);
        EXPECT_EQ(f.GetDescription(), "Staff master");
        EXPECT_EQ(f.GetPassword(), c.encrypted ? "secret" : "");
        TFieldDesc d;
        ASSERT_TRUE(f.FindFieldDescByName("amount", d));
        EXPECT_EQ(d.Position(), 8);
        EXPECT_EQ(d.Offset(), 64);
        EXPECT_EQ(d.StoredSize(), 34);
        EXPECT_EQ(d.StoredDecimals(), 2);
        ASSERT_TRUE(f.GetFieldDesc(1, d));
        EXPECT_EQ(d.Offset(), 5);
        EXPECT_EQ(f.FindFieldNo("Photo"), 9);
        EXPECT_EQ(f.FindFieldNo("missing"), 0);
    }
}

TEST(DataFileFormat, NewTableHeaderAndRecordSize) {
    TempDir dir;
    std::string path = dir.file("SMALL.DAT");
    TDataFile f(nullptr);
    f.FileName = path;
    Schema schema = SmallSchema();
    f.CreateHeader(0, 0, schema.Fields, 0, "", "ignored", false, 0, 0);
    // Auto-increment field plus a 10-character string: 9 + 11 + 1.
    EXPECT_EQ(f.GetRecordSize(), 21);
    EXPECT_EQ(f.GetBlobBlockSize(), 512);
    EXPECT_EQ(f.GetPassword(), "");
    EXPECT_EQ(f.GetNextRecordNumber(), 1u);
    // Nothing is on disk before the first header write.
    EXPECT_EQ(f.GetFileSize(), 0);
    EXPECT_TRUE(f.WriteHeader(false));
    EXPECT_FALSE(f.WriteHeader(false));
    EXPECT_TRUE(f.WriteFieldDescs());
    EXPECT_FALSE(f.WriteFieldDescs());
    EXPECT_EQ(f.GetChangeCount(), 1u);
    f.CloseFile();
    std::vector<uint8_t> bytes = ReadAll(Native(path));
    ASSERT_EQ(bytes.size(), 127u + 2 * 768u);  // an empty table
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[111], 1);
    EXPECT_EQ(bytes[13], 1);  // next record number
    EXPECT_EQ(bytes[9], 0);   // chain head

    TDataFile g(nullptr);
    g.FileName = path;
    g.OpenFile();
    g.VerifyHeader();
    EXPECT_FALSE(g.IsHeaderModified());
    EXPECT_EQ(g.GetRecordsPerBlock(), 8192 / 21);
    EXPECT_EQ(g.GetCacheLimit(), 16384 / 21);
}

TEST(DataFileFormat, CreationLimits) {
    TempDir dir;
    auto create = [&](const Schema& s, const char* name) {
        TDataFile f(nullptr);
        f.FileName = dir.file(name);
        return ErrorOf([&] { f.CreateHeader(0, 0, s.Fields, 0, "", "", false, 0, 0); });
    };
    Schema blobs128;
    for (int i = 0; i < 128; ++i) blobs128.Add("B" + std::to_string(i), fldBLOB);
    EXPECT_EQ(create(blobs128, "B128.DAT"), 0);
    blobs128.Add("B128", fldBLOB);
    EXPECT_EQ(create(blobs128, "B129.DAT"), KURA_BLOBLIMIT);

    // 260 strings of 250 take 65,520 bytes; 9 more for the header.
    Schema exact;
    for (int i = 0; i < 260; ++i) exact.Add("S" + std::to_string(i), fldZSTRING, 250);
    Schema over = exact;
    exact.Add("LAST", fldZSTRING, 4);
    over.Add("LAST", fldZSTRING, 5);
    ASSERT_EQ(exact.RecordSize(), 65535);
    ASSERT_EQ(over.RecordSize(), 65536);
    EXPECT_EQ(create(exact, "R65535.DAT"), 0);
    EXPECT_EQ(create(over, "R65536.DAT"), KURA_RECTOOBIG);
    EXPECT_FALSE(std::ifstream(Native(dir.file("R65536.DAT"))).good());

    Schema many;
    for (int i = 0; i < 1025; ++i) many.Add("F" + std::to_string(i), fldBOOL);
    EXPECT_EQ(create(many, "F1025.DAT"), KURA_FLDLIMIT);
}

// Opening checks the structure before anything trusts it.
TEST(DataFileFormat, OpenRejectsMalformedStructure) {
    TempDir dir;
    std::string good = dir.file("GOOD.DAT");
    Schema s;
    s.Add("ID", fldINT32, 0, fldstAUTOINC).Add("NAME", fldZSTRING, 10).Add("AGE", fldINT16);
    CreateTable(good, s);
    const std::vector<uint8_t> base = ReadAll(Native(good));
    ASSERT_EQ(OpenAndVerify(good), 0);

    auto withBytes = [&](const std::function<void(std::vector<uint8_t>&)>& change) {
        std::vector<uint8_t> b = base;
        change(b);
        std::string path = dir.file("BAD.DAT");
        WriteAll(Native(path), b);
        TDataFile f(nullptr);
        f.FileName = path;
        int code = ErrorOf([&] { f.OpenFile(); });
        EXPECT_FALSE(f.IsOpen);
        return code;
    };
    const int d2 = 127 + 768, d3 = 127 + 2 * 768;  // descriptors of NAME and AGE
    EXPECT_EQ(withBytes([](auto& b) { b[8] = 4; }), KURA_OLDVERSION);
    EXPECT_EQ(withBytes([](auto& b) { dfbytes::PutU16(&b[23], 1025); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([](auto& b) { dfbytes::PutU16(&b[23], 4); }), KURA_HEADERCORRUPT);  // past the file end
    EXPECT_EQ(withBytes([](auto& b) { dfbytes::PutU16(&b[21], 8); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([](auto& b) { dfbytes::PutU16(&b[21], 0); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([](auto& b) { dfbytes::PutU16(&b[21], 23); }), KURA_HEADERCORRUPT);  // AGE sticks out
    EXPECT_EQ(withBytes([](auto& b) { b[35] = 51; }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([](auto& b) { b[87] = 16; }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([&](auto& b) { b[d2 + fdo::Name] = 31; }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([&](auto& b) { b[d2 + fdo::Description] = 51; }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([&](auto& b) { b[d2 + fdo::MinValue] = 51; }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([&](auto& b) { b[d2 + fdo::MaxValue] = 200; }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([&](auto& b) { b[d2 + fdo::DefaultValue] = 255; }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([&](auto& b) { b[d2 + fdo::DeclaredSize] = 251; }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([&](auto& b) { b[d2 + fdo::StoredSize] = 200; }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([&](auto& b) { dfbytes::PutU16(&b[d3 + fdo::Offset], 4); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([&](auto& b) { dfbytes::PutU16(&b[d3 + fdo::Offset], 30); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([&](auto& b) { dfbytes::PutU16(&b[127 + fdo::Offset], 9); }), KURA_HEADERCORRUPT);
    // No table ever counts from 0 or past the record-number limit: cursors size
    // their record sets and walks by this number.
    EXPECT_EQ(withBytes([](auto& b) { dfbytes::PutU32(&b[13], 0); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([](auto& b) { dfbytes::PutU32(&b[13], 200000002); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([](auto& b) { dfbytes::PutU32(&b[13], 0xFFFFFFFF); }), KURA_HEADERCORRUPT);
    {
        std::vector<uint8_t> b = base;
        dfbytes::PutU32(&b[13], 200000001);  // the highest number a table can reach
        WriteAll(Native(dir.file("HIGH.DAT")), b);
        TDataFile f(nullptr);
        f.FileName = dir.file("HIGH.DAT");
        EXPECT_EQ(ErrorOf([&] { f.OpenFile(); }), 0);
    }
    {
        // Nor is such a header taken over when another user's change is detected.
        std::string path = dir.file("LIVE.DAT");
        WriteAll(Native(path), base);
        TDataFile f(nullptr);
        f.FileName = path;
        f.OpenFile();
        std::vector<uint8_t> b = base;
        dfbytes::PutU32(&b[0], dfbytes::GetU32(&b[0]) + 1);
        dfbytes::PutU32(&b[13], 0);
        WriteAll(Native(path), b);
        EXPECT_EQ(ErrorOf([&] { f.HeaderChanged(); }), KURA_HEADERCORRUPT);
        EXPECT_EQ(ErrorOf([&] { f.ReadHeader(); }), KURA_HEADERCORRUPT);
        EXPECT_EQ(f.GetNextRecordNumber(), 1u);
    }
    EXPECT_EQ(withBytes([](auto& b) { b.resize(100); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([](auto& b) { b.resize(127 + 768); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(withBytes([](auto& b) { b.clear(); }), KURA_HEADERCORRUPT);
}

// Every verification rule, each on a file that opens.
TEST(DataFileFormat, VerifyHeaderRules) {
    TempDir dir;
    std::string good = dir.file("GOOD.DAT");
    Schema s;
    s.Add("ID", fldINT32, 0, fldstAUTOINC).Add("NAME", fldZSTRING, 10).Add("AGE", fldINT16).Add("PAY", fldBCD, 0, 0, 2);
    CreateTable(good, s);
    const std::vector<uint8_t> base = ReadAll(Native(good));
    ASSERT_EQ(OpenAndVerify(good), 0);
    const int d1 = 127, d2 = 127 + 768, d3 = 127 + 2 * 768, d4 = 127 + 3 * 768;
    auto verify = [&](const std::function<void(std::vector<uint8_t>&)>& change) {
        std::vector<uint8_t> b = base;
        change(b);
        std::string path = dir.file("BAD.DAT");
        WriteAll(Native(path), b);
        return OpenAndVerify(path);
    };
    auto pstr = [](std::vector<uint8_t>& b, int at, const std::string& text) {
        dfbytes::PutPStr(&b[at], static_cast<uint8_t>(text.size()), text);
    };
    EXPECT_EQ(verify([&](auto& b) { pstr(b, d2 + fdo::Name, "1NAME"); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(verify([&](auto& b) { pstr(b, d2 + fdo::Name, "   "); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(verify([&](auto& b) { pstr(b, d3 + fdo::Name, " name "); }), KURA_HEADERCORRUPT);  // duplicate
    EXPECT_EQ(verify([&](auto& b) { pstr(b, d3 + fdo::Name, " _AGE2 "); }), 0);
    EXPECT_EQ(verify([&](auto& b) { dfbytes::PutU16(&b[d3 + fdo::FieldNo], 2); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(verify([&](auto& b) { dfbytes::PutU16(&b[d3 + fdo::FieldNo], 7); }), KURA_HEADERCORRUPT);
    // An unknown type keeps its declared size as stored size: type 0 is still refused.
    EXPECT_EQ(verify([&](auto& b) {
                  b[d3 + fdo::FieldType] = 0;
                  b[d3 + fdo::StoredSize] = 0;
              }),
              KURA_HEADERCORRUPT);
    EXPECT_EQ(verify([&](auto& b) { b[d3 + fdo::DeclaredSize] = 2; }), KURA_HEADERCORRUPT);
    EXPECT_EQ(verify([&](auto& b) { b[d3 + fdo::DeclaredDecimals] = 1; }), KURA_HEADERCORRUPT);
    EXPECT_EQ(verify([&](auto& b) { b[d4 + fdo::StoredDecimals] = 1; }), KURA_HEADERCORRUPT);
    EXPECT_EQ(verify([&](auto& b) { pstr(b, d3 + fdo::DefaultValue, "40000"); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(verify([&](auto& b) { pstr(b, d3 + fdo::MinValue, "-32768"); }), 0);
    EXPECT_EQ(verify([&](auto& b) { pstr(b, d4 + fdo::MaxValue, "12.5x"); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(verify([&](auto& b) { pstr(b, d2 + fdo::MaxValue, "anything goes"); }), 0);
    // Offsets must follow one another without gaps.
    EXPECT_EQ(verify([&](auto& b) {
                  dfbytes::PutU16(&b[d3 + fdo::Offset], 22);
                  dfbytes::PutU16(&b[d4 + fdo::Offset], 25);
              }),
              KURA_HEADERCORRUPT);
    EXPECT_EQ(verify([&](auto& b) { dfbytes::PutU16(&b[21], 70); }), KURA_HEADERCORRUPT);  // record size too big
    EXPECT_EQ(verify([&](auto& b) { b[d1 + fdo::SubType] = 0; }), KURA_HEADERCORRUPT);    // no longer auto-inc
    EXPECT_EQ(verify([&](auto& b) { b[8] = 6; }), KURA_OLDVERSION);
    EXPECT_EQ(verify([&](auto& b) { dfbytes::PutU16(&b[103], 0x7ff0); }), KURA_CANNOTLOADLDDRV);
    // Slots: R = 9 + 12 + 3 + 35 = 59.
    EXPECT_EQ(verify([&](auto& b) {
                  b.resize(b.size() + 59, 0);
                  dfbytes::PutU32(&b[13], 2);
              }),
              0);
    EXPECT_EQ(verify([&](auto& b) {
                  b.resize(b.size() + 59 + 1, 0);
                  dfbytes::PutU32(&b[13], 2);
              }),
              KURA_HEADERCORRUPT);
    EXPECT_EQ(verify([&](auto& b) { b.resize(b.size() + 59, 0); }), KURA_HEADERCORRUPT);  // next number 1
    EXPECT_EQ(verify([&](auto& b) {
                  b.resize(b.size() + 59, 0);
                  dfbytes::PutU32(&b[13], 2);
                  dfbytes::PutU32(&b[9], 2);
              }),
              KURA_HEADERCORRUPT);
}

TEST(DataFileFormat, HeaderOperations) {
    TempDir dir;
    std::string path = dir.file("OPS.DAT");
    CreateTable(path, SmallSchema(), true);
    TestOwner owner;
    TDataFile f(&owner);
    f.FileName = path;
    f.Clock = [] { return 45001.25; };
    f.OpenFile();
    EXPECT_TRUE(f.IsEncrypted());

    // Counters.
    f.SetLastAutoInc(2147483646);
    EXPECT_EQ(f.GetNextAutoInc(), 2147483647u);
    EXPECT_EQ(f.GetNextAutoInc(), 1u);
    EXPECT_EQ(f.GetNextBlobID(), 1u);
    EXPECT_EQ(f.GetNextBlobID(), 2u);
    uint32_t before = f.GetChangeCount();
    f.MarkModified();
    EXPECT_EQ(f.GetChangeCount(), before + 1);
    EXPECT_TRUE(owner.Written);

    // Description and password stay scrambled on disk, plain through the accessors.
    f.SetDescriptionAndPassword("pw", "Personnel", 3, 4, 77);
    EXPECT_TRUE(f.WriteHeader(false));
    std::vector<uint8_t> disk = ReadAll(Native(path));
    EXPECT_EQ(disk[35], 9);
    EXPECT_NE(std::string(reinterpret_cast<char*>(&disk[36]), 9), "Personnel");
    EXPECT_EQ(disk[87], 2);
    EXPECT_EQ(dfbytes::GetDouble(&disk[27]), 45001.25 - 693594.0);
    EXPECT_EQ(f.GetDescription(), "Personnel");
    EXPECT_EQ(f.GetPassword(), "pw");
    EXPECT_EQ(f.GetUserMajorVersion(), 3);
    EXPECT_EQ(f.GetLastAutoInc(), 77u);

    // A descriptor change keeps type, sizes and offset.
    TFieldDesc d;
    ASSERT_TRUE(f.GetFieldDesc(2, d));
    TFieldDesc change = d;
    change.SetName("FULLNAME");
    change.SetFieldType(fldINT32);
    change.SetOffset(99);
    change.SetDefaultValue("none");
    f.SetFieldDesc(2, change);
    EXPECT_TRUE(f.WriteFieldDescs());

    // Emptying keeps descriptors and encryption; counters restart.
    f.GetNextAutoInc();
    f.InitHeader();
    EXPECT_EQ(f.GetChangeCount(), 0u);
    EXPECT_TRUE(f.IsHeaderModified());
    EXPECT_EQ(f.GetNextAutoInc(), 1u);
    f.WriteHeader(true);
    f.CloseFile();

    TDataFile g(&owner);
    g.FileName = path;
    g.OpenFile();
    EXPECT_TRUE(g.IsEncrypted());
    EXPECT_EQ(g.GetChangeCount(), 1u);
    ASSERT_TRUE(g.FindFieldDescByName("fullname", d));
    EXPECT_EQ(d.FieldType(), fldZSTRING);
    EXPECT_EQ(d.Offset(), 9);
    EXPECT_EQ(d.DefaultValue(), "none");
    EXPECT_EQ(g.GetFileSize(), 127 + 2 * 768);
    uint8_t copy[127];
    g.CopyHeader(copy);
    EXPECT_EQ(copy[86], 1);

    // A plain table answers no password whatever stands at offset 87.
    g.CloseFile();
    std::string plain = dir.file("PLAIN.DAT");
    CreateTable(plain, SmallSchema(), false);
    std::vector<uint8_t> b = ReadAll(Native(plain));
    b[87] = 3;
    b[88] = 'a';
    WriteAll(Native(plain), b);
    TDataFile h(nullptr);
    h.FileName = plain;
    h.OpenFile();
    EXPECT_EQ(h.GetPassword(), "");
}

TEST(ConstantCheck, TextsForEachType) {
    // Anything fits strings, bytes and BLOBs; empty text fits everything.
    for (TEngineFieldType t : {fldZSTRING, fldBYTES, fldVARBYTES, fldBLOB, TEngineFieldType(19), fldUINT32})
        EXPECT_TRUE(IsValidConstantForType("not a number", t)) << int(t);
    for (TEngineFieldType t = 0; t < 25; ++t) EXPECT_TRUE(IsValidConstantForType("", t));

    EXPECT_TRUE(IsValidConstantForType("current_date", fldDATE));
    EXPECT_TRUE(IsValidConstantForType("2024-02-29", fldDATE));
    EXPECT_FALSE(IsValidConstantForType("2023-02-29", fldDATE));
    EXPECT_FALSE(IsValidConstantForType("CURRENT_TIME", fldDATE));
    EXPECT_TRUE(IsValidConstantForType("Current_Time", fldTIME));
    EXPECT_TRUE(IsValidConstantForType("13:45", fldTIME));
    EXPECT_FALSE(IsValidConstantForType("CURRENT_TIMESTAMP", fldTIME));
    for (const char* text : {"CURRENT_TIMESTAMP", "current_date", "CURRENT_time", "2024-01-02", "2024-01-02 10:11:12",
                             "10:11"})
        EXPECT_TRUE(IsValidConstantForType(text, fldTIMESTAMP)) << text;
    EXPECT_FALSE(IsValidConstantForType("tomorrow", fldTIMESTAMP));
    EXPECT_TRUE(IsValidConstantForType("true", fldBOOL));
    EXPECT_FALSE(IsValidConstantForType("yes", fldBOOL));
    EXPECT_TRUE(IsValidConstantForType("-32768", fldINT16));
    EXPECT_FALSE(IsValidConstantForType("32768", fldINT16));
    EXPECT_TRUE(IsValidConstantForType("65535", fldUINT16));
    EXPECT_FALSE(IsValidConstantForType("-1", fldUINT16));
    EXPECT_TRUE(IsValidConstantForType("2147483647", fldINT32));
    EXPECT_FALSE(IsValidConstantForType("2147483648", fldINT32));
    EXPECT_TRUE(IsValidConstantForType("9223372036854775807", fldINT64));
    EXPECT_TRUE(IsValidConstantForType("1.5E3", fldFLOAT));
    EXPECT_FALSE(IsValidConstantForType("1,5", fldFLOAT));
    EXPECT_TRUE(IsValidConstantForType("12.3456", fldBCD));
    EXPECT_FALSE(IsValidConstantForType("abc", fldBCD));
}
