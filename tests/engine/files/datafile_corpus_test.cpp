// Damaged data files: opening, verifying and reading them gives an engine error,
// never a crash or an over-read (the sanitizers watch the Debug build).
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/files/DataFile.h"
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
    return ReadAll(path);
}

// Open, verify, then read every record; the first engine error, 0 when none.
int Exercise(const std::string& path) {
    TestOwner owner;
    TDataFile f(&owner);
    f.FileName = path;
    return ErrorOf([&] {
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
            f.ReleaseRecord(r);
        }
    });
}

}  // namespace

TEST(DataFileCorpus, TruncatedFiles) {
    TempDir dir;
    const std::vector<uint8_t> base = SampleFile(dir);
    const std::size_t dataStart = 127 + 6 * 768;
    ASSERT_GT(base.size(), dataStart);
    std::string path = dir.file("CUT.DAT");
    for (std::size_t length = 0; length < dataStart; length += (length < 300 ? 1 : 97)) {
        WriteAll(path, std::vector<uint8_t>(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(length)));
        EXPECT_EQ(Exercise(path), KURA_HEADERCORRUPT) << length;
    }
    // A cut inside the records is a broken slot: verification finds it.
    WriteAll(path, std::vector<uint8_t>(base.begin(), base.end() - 5));
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
        WriteAll(path, bytes);
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
    const std::set<int> structural = {9, 13, 21, 22, 23, 24, 35, 87};
    const std::set<int> notInterpreted = {0, 1, 2, 3, 4, 5, 6, 7, 17, 18, 19, 20, 111, 112, 113, 114, 115,
                                          116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 126};
    for (int at = 0; at < 127; ++at) {
        std::vector<uint8_t> b = base;
        b[at] ^= 0xFF;
        WriteAll(path, b);
        int code = Exercise(path);
        if (structural.count(at)) {
            EXPECT_EQ(code, KURA_HEADERCORRUPT) << at;
        } else if (notInterpreted.count(at)) {
            EXPECT_EQ(code, 0) << at;
        } else if (at == 8) {
            EXPECT_EQ(code, KURA_OLDVERSION);
        } else {
            EXPECT_TRUE(code == 0 || code == KURA_HEADERCORRUPT || code == KURA_CANNOTLOADLDDRV) << at << " " << code;
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
            WriteAll(path, b);
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
            } else if (at > fdo::Name && at < fdo::Description) {
                // A name character: a damaged first letter may no longer start a name.
                EXPECT_TRUE(code == 0 || code == KURA_HEADERCORRUPT) << field << ":" << at;
            } else {
                EXPECT_EQ(code, 0) << field << ":" << at;
            }
        }
    }
}
