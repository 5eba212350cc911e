// Damaged data files: opening, verifying and reading them gives an engine error,
// never a crash or an over-read (the sanitizers watch the Debug build).
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/files/DataFile.h"
#include "engine/files/Routines.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/files/DataFileTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const registry = ::testing::AddGlobalTestEnvironment(new RegistryEnvironment);

// A table of every stored kind with three records.
std::vector<uint8_t> SampleFile(const TempDir& dir) {
    Schema s;
    s.Add("ID", fldINT32, 0, fldstAUTOINC).Add("NAME", fldZSTRING, 20).Add("AGE", fldINT16);
    s.Add("PAY", fldBCD, 0, 0, 2).Add("PHOTO", fldBLOB).Add("WHEN", fldTIMESTAMP);
    std::string path = dir.file("SAMPLE.DAT");
    TestOwner owner;
    TDataFile f(&owner);
    f.FileName = path;
    f.CreateHeader(0, 0, s.Fields, 0, "sample", "", false, 1, 0);
    for (int i = 0; i < 3; ++i) {
        TRecord* r = nullptr;
        EXPECT_TRUE(f.AllocateRecord(nullptr, r));
        r->Clear(true);
        r->GetBuffer()[9] = 1;
        r->GetBuffer()[10] = static_cast<uint8_t>('A' + i);
        r->Modified = 1;
        f.ReleaseRecord(r);
    }
    f.FlushRecords();
    f.WriteHeader(true);
    f.WriteFieldDescs();
    f.CloseFile();
    return ReadAll(Native(path));
}

struct Outcome {
    int Code = 0;                               // the first engine error, 0 when none
    std::vector<std::vector<uint8_t>> Records;  // the records read when there was none
};

// Open, verify, then read every record.
Outcome OpenAndRead(const std::string& path) {
    TestOwner owner;
    TDataFile f(&owner);
    f.FileName = path;
    Outcome out;
    out.Code = ErrorOf([&] {
        f.OpenFile();
        try {
            f.VerifyHeader();
        } catch (const EKuraEngineError&) {
            // Reading must stay safe even when verification finds a fault.
            for (uint32_t n = 1; n <= f.GetLastRecordNumber() && n <= 10; ++n) {
                TRecord* r = nullptr;
                ErrorOf([&] {
                    f.ReadRecord(nullptr, n, r, 1, false, true);
                    f.ReleaseRecord(r);
                });
            }
            throw;
        }
        for (uint32_t n = 1; n <= f.GetLastRecordNumber(); ++n) {
            TRecord* r = nullptr;
            f.ReadRecord(nullptr, n, r, 1, false, true);
            out.Records.emplace_back(r->GetBuffer(), r->GetBuffer() + f.GetRecordSize());
            f.ReleaseRecord(r);
        }
    });
    if (out.Code != 0) out.Records.clear();
    return out;
}

int Exercise(const std::string& path) { return OpenAndRead(path).Code; }

// What an inverted byte of the table header must give, by the header's layout:
// the structure checks at open and in verification, the version, the locale, or
// for every byte the data file does not interpret an unchanged read.
enum class Expect { Unchanged, Corrupt, OldVersion, BadLocale };

struct HeaderField {
    int Offset;
    int Size;
    const char* What;
    Expect Flipped;
};

// The sample table: not encrypted, no locale, six fields, three records.
const HeaderField kHeaderLayout[] = {
    {dho::ChangeCount, 4, "change counter", Expect::Unchanged},
    {dho::BlobBlockSize, 4, "BLOB block size (the BLOB file's)", Expect::Unchanged},
    {dho::Version, 1, "version", Expect::OldVersion},
    {dho::DeletedHead, 4, "deleted chain head beyond the slots", Expect::Corrupt},
    {dho::NextRecord, 4, "next record number against the file size", Expect::Corrupt},
    {dho::LastAutoInc, 4, "last auto-increment value", Expect::Unchanged},
    {dho::RecordSize, 2, "record size against the descriptors", Expect::Corrupt},
    {dho::FieldCount, 2, "field count against the file", Expect::Corrupt},
    {dho::BlobFieldCount, 2, "BLOB field count (the table's)", Expect::Unchanged},
    {dho::LastUpdate, 8, "last-update stamp", Expect::Unchanged},
    {dho::Description, 1, "description length above 50", Expect::Corrupt},
    {dho::Description + 1, 50, "description characters", Expect::Unchanged},
    {dho::Encrypted, 1, "encrypted flag other than 1", Expect::Unchanged},
    {dho::Password, 1, "password length above 15", Expect::Corrupt},
    {dho::Password + 1, 15, "password characters", Expect::Unchanged},
    {dho::LocaleId, 2, "locale id not installed", Expect::BadLocale},
    {dho::SortId, 2, "sort id without a locale", Expect::Unchanged},
    {dho::UserMajor, 2, "user major version", Expect::Unchanged},
    {dho::UserMinor, 2, "user minor version", Expect::Unchanged},
    {dho::Modified, 1, "modified flag", Expect::Unchanged},
    {dho::LastBlobId, 4, "last BLOB id", Expect::Unchanged},
    {dho::EngineVersion, 8, "engine version", Expect::Unchanged},
    {dho::Reserved, 3, "reserved", Expect::Unchanged},
};

int CodeOf(Expect e) {
    switch (e) {
        case Expect::Unchanged: return 0;
        case Expect::Corrupt: return KURA_HEADERCORRUPT;
        case Expect::OldVersion: return KURA_OLDVERSION;
        case Expect::BadLocale: return KURA_CANNOTLOADLDDRV;
    }
    return -1;
}

}  // namespace

TEST(DataFileCorpus, TruncatedFiles) {
    TempDir dir;
    const std::vector<uint8_t> base = SampleFile(dir);
    const std::size_t dataStart = 127 + 6 * 768;
    ASSERT_GT(base.size(), dataStart);
    std::string path = dir.file("CUT.DAT");
    for (std::size_t length = 0; length < dataStart; length += (length < 300 ? 1 : 97)) {
        WriteAll(Native(path), std::vector<uint8_t>(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(length)));
        EXPECT_EQ(Exercise(path), KURA_HEADERCORRUPT) << length;
    }
    // A cut inside the records is a broken slot: verification finds it.
    WriteAll(Native(path), std::vector<uint8_t>(base.begin(), base.end() - 5));
    EXPECT_EQ(Exercise(path), KURA_HEADERCORRUPT);
}

TEST(DataFileCorpus, RandomBytes) {
    TempDir dir;
    std::mt19937 random(20240607);
    std::string path = dir.file("RANDOM.DAT");
    for (int i = 0; i < 400; ++i) {
        std::vector<uint8_t> bytes(random() % 5000);
        for (auto& b : bytes) b = static_cast<uint8_t>(random());
        bool version5 = i % 2 == 0 && bytes.size() > 8;
        if (version5) bytes[8] = 5;
        WriteAll(Native(path), bytes);
        int code = Exercise(path);
        if (version5 || bytes.size() < 127 || bytes[8] == 5)
            EXPECT_EQ(code, KURA_HEADERCORRUPT) << i;
        else
            EXPECT_EQ(code, KURA_OLDVERSION) << i;
    }
}

// Each header and descriptor byte inverted in turn.
TEST(DataFileCorpus, EachFieldFlipped) {
    TempDir dir;
    const std::vector<uint8_t> base = SampleFile(dir);
    std::string path = dir.file("FLIP.DAT");
    const Outcome clean = OpenAndRead(dir.file("SAMPLE.DAT"));
    ASSERT_EQ(clean.Code, 0);
    ASSERT_EQ(clean.Records.size(), 3u);
    // The layout covers every header byte exactly once.
    int covered = 0;
    for (const HeaderField& f : kHeaderLayout) {
        EXPECT_EQ(f.Offset, covered) << f.What;
        covered = f.Offset + f.Size;
    }
    EXPECT_EQ(covered, DATA_HEADER_SIZE);
    for (const HeaderField& f : kHeaderLayout) {
        for (int at = f.Offset; at < f.Offset + f.Size; ++at) {
            std::vector<uint8_t> b = base;
            b[at] ^= 0xFF;
            WriteAll(Native(path), b);
            const Outcome got = OpenAndRead(path);
            EXPECT_EQ(got.Code, CodeOf(f.Flipped)) << at << ": " << f.What;
            if (f.Flipped == Expect::Unchanged) {
                EXPECT_EQ(got.Records, clean.Records) << at << ": " << f.What;
            }
        }
    }
    const std::set<int> descStructural = {fdo::FieldNo,          fdo::FieldNo + 1,      fdo::Name,
                                          fdo::Description,      fdo::FieldType,        fdo::DeclaredSize,
                                          fdo::DeclaredDecimals, fdo::StoredSize,       fdo::StoredDecimals,
                                          fdo::Offset,           fdo::Offset + 1,       fdo::MinValue,
                                          fdo::MaxValue,         fdo::DefaultValue};
    for (int field = 0; field < 6; ++field) {
        for (int at = 0; at < 768; ++at) {
            std::vector<uint8_t> b = base;
            b[127 + field * 768 + at] ^= 0xFF;
            WriteAll(Native(path), b);
            int code = Exercise(path);
            if (descStructural.count(at)) {
                EXPECT_EQ(code, KURA_HEADERCORRUPT) << field << ":" << at;
            } else if (at == fdo::SubType) {
                // Only the auto-increment field depends on its subtype.
                EXPECT_EQ(code, field == 0 ? KURA_HEADERCORRUPT : 0) << field;
            } else if (at == fdo::Computed) {
                // A field that takes no room leaves a gap, except the auto-increment
                // field, which has no room anyway.
                EXPECT_EQ(code, field == 0 ? 0 : KURA_HEADERCORRUPT) << field;
            } else if (at == fdo::Name + 1) {
                // The first letter: the name must still start like an identifier.
                const char flipped = static_cast<char>(base[127 + field * 768 + at] ^ 0xFF);
                EXPECT_EQ(code, IsIdentStartChar(flipped) ? 0 : KURA_HEADERCORRUPT) << field;
            } else {
                EXPECT_EQ(code, 0) << field << ":" << at;
            }
        }
    }
}
