// The index header: the bytes of a new file, the checks made when a header is
// opened, descriptor maintenance, temporary indexes and verification.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "engine/files/KeyEncoding.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/EngineTestSupport.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/files/IndexTestSupport.h"

namespace kura {
namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(new test::FileListEnvironment);

using test::ErrorOf;
using test::Native;
using test::ReadFileBytes;

void Patch(const std::string& path, int offset, std::initializer_list<uint8_t> bytes) {
    std::fstream io(Native(path), std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(offset);
    for (uint8_t b : bytes) io.put(static_cast<char>(b));
}

struct HeaderFixture {
    test::TempDir dir;
    test::TestIndexOwner owner;
    std::string path = dir.file("STAFF.IDX");
    std::unique_ptr<TIndexFile> file;

    HeaderFixture() {
        owner.PrivateDir = dir.path();
        owner.Fields = {{"Simei", fldZSTRING, 0, 20}, {"Photo", fldBLOB, 0, 8}, {"Code", fldINT32, 0, 4},
                        {"Memo", fldBLOB, 22, 8}};
    }
    void Create() {
        file = std::make_unique<TIndexFile>(&owner);
        file->FileName = path;
        file->CreateFile();
    }
    TEngineErrorCode Reopen() {
        if (file) file->CloseFile();
        file = std::make_unique<TIndexFile>(&owner);
        file->FileName = path;
        return ErrorOf([&] { file->OpenFile(); });
    }
};

std::vector<uint8_t> GoldenNewHeader() {
    std::vector<uint8_t> g(INDEX_PAGE_SIZE, 0);
    g[0] = 1;  // change counter after the first write
    g[8] = 5;
    g[9] = 1;
    const int deleted = 14 + 31 * 120;
    const std::string d = "Sys Deleted";
    g[deleted] = static_cast<uint8_t>(d.size());
    std::copy(d.begin(), d.end(), g.begin() + deleted + 1);
    g[deleted + 31] = 5;
    const int text = 14 + 32 * 120;
    const std::string t = "Sys Text";
    g[text] = static_cast<uint8_t>(t.size());
    std::copy(t.begin(), t.end(), g.begin() + text + 1);
    g[text + 31] = 68;
    g[text + 36] = 3;
    g[3979] = 1;  // written with the image's modified flag
    return g;
}

TEST(IndexHeader, NewFileHasTheGoldenBytesPlainAndScrambled) {
    HeaderFixture f;
    f.Create();
    EXPECT_EQ(f.file->GetNextNewPage(0), 1u);
    EXPECT_EQ(f.file->GetIndexCount(), 0);
    EXPECT_EQ(f.file->GetLastPageNumber(), 0u);
    EXPECT_TRUE(f.file->IsValidPageNumber(0));
    EXPECT_FALSE(f.file->IsValidPageNumber(1));
    EXPECT_TRUE(f.file->WriteHeader(false));
    EXPECT_FALSE(f.file->IsHeaderModified());
    EXPECT_FALSE(f.file->WriteHeader(false));
    EXPECT_TRUE(f.owner.Written);
    f.file->CloseFile();
    EXPECT_EQ(ReadFileBytes(Native(f.path)), GoldenNewHeader());
    EXPECT_EQ(f.Reopen(), 0);
    EXPECT_EQ(f.file->GetChangeCount(), 1u);
    EXPECT_FALSE(f.file->IsHeaderModified());  // cleared on every read
    TIndexDesc text;
    f.file->GetIndexDesc(SYS_TEXT_SLOT, text);
    EXPECT_EQ(text.GetName(), "Sys Text");

    HeaderFixture e;
    e.owner.Encrypted = true;
    e.Create();
    e.file->WriteHeader(false);
    e.file->CloseFile();
    std::vector<uint8_t> scrambled = GoldenNewHeader();
    ScrambleBuffer(scrambled.data(), INDEX_PAGE_SIZE, 83, 164);
    EXPECT_EQ(ReadFileBytes(Native(e.path)), scrambled);
    EXPECT_EQ(e.Reopen(), 0);
    EXPECT_EQ(e.file->GetIndexCount(), 0);
    e.owner.Encrypted = false;
    EXPECT_NE(e.Reopen(), 0);  // unscrambled, the version byte is wrong
}

TEST(IndexHeader, OpenRefusesHeadersNoIndexCanHave) {
    HeaderFixture f;
    f.Create();
    for (int i = 1; i <= 30; ++i) f.file->AddIndex(test::MakeIndexDesc("Ix" + std::to_string(i), 10, true, kcNone));
    f.file->WriteHeader(false);
    f.file->CloseFile();
    EXPECT_EQ(f.Reopen(), 0);
    EXPECT_EQ(f.file->GetIndexCount(), 30);
    f.file->CloseFile();
    const int slot1 = 14 + 120;

    Patch(f.path, 13, {31});
    EXPECT_EQ(f.Reopen(), KURA_HEADERCORRUPT);
    EXPECT_FALSE(f.file->IsOpen);
    Patch(f.path, 13, {33});
    EXPECT_EQ(f.Reopen(), KURA_HEADERCORRUPT);
    Patch(f.path, 13, {30});
    EXPECT_EQ(f.Reopen(), 0);

    Patch(f.path, slot1 + 31, {0x0F, 0x02});  // key size 527
    EXPECT_EQ(f.Reopen(), KURA_HEADERCORRUPT);
    Patch(f.path, slot1 + 31, {0, 0});  // an index without a key
    EXPECT_EQ(f.Reopen(), KURA_HEADERCORRUPT);
    Patch(f.path, slot1 + 31, {0x0E, 0x02});  // 526: the largest there is
    EXPECT_EQ(f.Reopen(), 0);
    Patch(f.path, slot1 + 36, {4});
    EXPECT_EQ(f.Reopen(), KURA_HEADERCORRUPT);
    Patch(f.path, slot1 + 36, {3});
    Patch(f.path, slot1 + 37, {17});
    EXPECT_EQ(f.Reopen(), KURA_HEADERCORRUPT);
    Patch(f.path, slot1 + 37, {1});
    Patch(f.path, 9, {0, 0, 0, 0});
    EXPECT_EQ(f.Reopen(), KURA_HEADERCORRUPT);
    Patch(f.path, 9, {1, 0, 0, 0});
    Patch(f.path, 8, {4});
    EXPECT_EQ(f.Reopen(), KURA_OLDVERSION);
}

TEST(IndexHeader, AddIndexChecksInOrderAndLeavesTheImageOnFailure) {
    HeaderFixture f;
    f.Create();
    f.file->AddIndex(test::MakeIndexDesc("ByName", 21, true, kcNone));
    const TIndexHeader before = f.file->Header();
    EXPECT_EQ(ErrorOf([&] { f.file->AddIndex(test::MakeIndexDesc("", 21, true, kcNone)); }), KURA_INDEXNAMEREQUIRED);
    EXPECT_EQ(ErrorOf([&] { f.file->AddIndex(test::MakeIndexDesc("1st", 21, true, kcNone)); }), KURA_INVALIDINDEXNAME);
    EXPECT_EQ(ErrorOf([&] { f.file->AddIndex(test::MakeIndexDesc("byname  ", 21, true, kcNone)); }), KURA_INDEXEXISTS);
    TIndexDesc blob = test::MakeIndexDesc("ByPhoto", 9, true, kcNone);
    blob.SetField(0, 2);
    EXPECT_EQ(ErrorOf([&] { f.file->AddIndex(blob); }), KURA_SEARCHCOLREQD);
    EXPECT_EQ(GetEngineErrorContext(ctxField), "Photo");
    TIndexDesc wide = test::MakeIndexDesc("Wide", 21, true, kcNone);
    wide.SetByte(ido::FieldCount, 17);
    EXPECT_EQ(ErrorOf([&] { f.file->AddIndex(wide); }), KURA_INDEXLIMIT);
    EXPECT_EQ(f.file->Header(), before);
    EXPECT_TRUE(f.file->IndexNameExists("BYNAME"));
    EXPECT_FALSE(f.file->IndexNameExists("Other"));
    for (int i = 2; i <= 30; ++i) f.file->AddIndex(test::MakeIndexDesc("Ix" + std::to_string(i), 10, true, kcNone));
    EXPECT_EQ(ErrorOf([&] { f.file->AddIndex(test::MakeIndexDesc("More", 10, true, kcNone)); }), KURA_INDEXLIMIT);

    // The primary index: unique whatever is asked, defined once.
    HeaderFixture p;
    p.Create();
    TIndexDesc primary = test::MakeIndexDesc("ignored", 5, false, kcNone);
    primary.SetField(0, 3);
    p.file->SetPrimaryIndexDesc(primary);
    TIndexDesc slot0;
    p.file->GetIndexDesc(0, slot0);
    EXPECT_EQ(slot0.GetName(), "");
    EXPECT_EQ(slot0.GetByte(ido::Unique), 1);
    EXPECT_EQ(slot0.GetKeySize(), 5);
    EXPECT_FALSE(p.file->GetNoPrimaryIndex());
    EXPECT_EQ(ErrorOf([&] { p.file->SetPrimaryIndexDesc(primary); }), KURA_PRIMARYKEYREDEFINE);
    p.file->DeleteIndexDesc(0, true);
    EXPECT_TRUE(p.file->GetNoPrimaryIndex());
    p.file->GetIndexDesc(0, slot0);
    EXPECT_EQ(slot0.GetKeySize(), 0);
}

TEST(IndexHeader, DeletedDescriptorsAreParkedAndKeepTheirPages) {
    HeaderFixture f;
    f.Create();
    for (int i = 1; i <= 30; ++i) {
        TIndexDesc d = test::MakeIndexDesc("Ix" + std::to_string(i), 10, true, kcNone);
        f.file->AddIndex(d);
    }
    f.file->SetFreePageHead(5, 77);
    f.file->DeleteIndexDesc(5, true);
    EXPECT_EQ(f.file->GetIndexCount(), 29);
    TIndexDesc d;
    for (uint8_t slot = 1; slot <= 29; ++slot) {
        f.file->GetIndexDesc(slot, d);
        EXPECT_EQ(d.GetName(), "Ix" + std::to_string(slot < 5 ? slot : slot + 1));
    }
    f.file->GetIndexDesc(30, d);
    EXPECT_EQ(d.GetName(), "Ix5");
    EXPECT_EQ(d.GetU32(ido::FreeHead), 77u);
    // A new index takes the parked slot and its free-page chain.
    f.file->AddIndex(test::MakeIndexDesc("Fresh", 12, false, kcBoth));
    f.file->GetIndexDesc(30, d);
    EXPECT_EQ(d.GetName(), "Fresh");
    EXPECT_EQ(d.GetU32(ido::FreeHead), 77u);

    // SetIndexDesc replaces the definition, keeps free chain and raw-data page.
    f.file->SetRootPage(2, 12);
    f.file->SetParamsPage(2, 13);
    f.file->SetFreePageHead(2, 14);
    f.file->SetIndexDesc(2, test::MakeIndexDesc("Replaced", 30, false, kcLeading));
    f.file->GetIndexDesc(2, d);
    EXPECT_EQ(d.GetName(), "Replaced");
    EXPECT_EQ(d.GetKeySize(), 30);
    EXPECT_EQ(d.GetU32(ido::RootPage), 0u);
    EXPECT_EQ(d.GetU32(ido::ParamsPage), 13u);
    EXPECT_EQ(f.file->GetFreePageHead(2), 14u);
    f.file->ClearIndexDesc(2);
    f.file->GetIndexDesc(2, d);
    EXPECT_EQ(d.GetKeySize(), 0);
    EXPECT_EQ(d.GetU32(ido::FreeHead), 14u);
}

TEST(IndexHeader, TemporaryIndexesNeverReachTheDisk) {
    HeaderFixture f;
    f.Create();
    f.file->AddIndex(test::MakeIndexDesc("Real", 10, true, kcNone));
    TIndexDesc temp = test::MakeIndexDesc("Scratch", 10, true, kcNone);
    temp.SetByte(ido::Temporary, 1);
    f.file->AddIndex(temp);
    ASSERT_TRUE(f.file->HasSideFile());
    const std::string side = f.file->SideFileName();
    EXPECT_TRUE(FileList->FileExists(side, false));
    EXPECT_EQ(f.file->GetNextNewPage(2), 1u);

    // Pages of the temporary index come from the side file's own counter.
    test::TestIndexCursor cursor(*f.file, 2);
    cursor.Insert(reinterpret_cast<const uint8_t*>("0123456789"), 1);
    EXPECT_EQ(f.file->GetNextNewPage(2), 2u);
    EXPECT_EQ(f.file->GetNextNewPage(1), 1u);
    EXPECT_TRUE(cursor.Exists(reinterpret_cast<const uint8_t*>("0123456789")));
    EXPECT_TRUE(f.file->FlushPages(true));
    f.file->FreePageCache(true);
    EXPECT_TRUE(cursor.Exists(reinterpret_cast<const uint8_t*>("0123456789")));

    f.file->WriteHeader(true);
    std::vector<uint8_t> disk = ReadFileBytes(Native(f.path));
    EXPECT_EQ(disk[13], 1);
    EXPECT_EQ(disk[14 + 2 * 120], 0);
    EXPECT_EQ(f.file->GetIndexCount(), 2);
    f.file->CloseFile();
    EXPECT_FALSE(f.file->HasSideFile());
    EXPECT_FALSE(FileList->FileExists(side, false));
    EXPECT_EQ(f.file->GetIndexCount(), 1);
}

TEST(IndexHeader, ATemporaryIndexWithoutItsSideFileIsNotAdded) {
    HeaderFixture f;
    f.Create();
    f.file->AddIndex(test::MakeIndexDesc("Real", 10, true, kcNone));
    f.file->WriteHeader(true);
    const TIndexHeader before = f.file->Header();
    // The side file cannot be created: its pages would otherwise land in the
    // index file itself, over the pages of the real indexes.
    f.owner.PrivateDir = f.dir.file("missing");
    TIndexDesc temp = test::MakeIndexDesc("Scratch", 10, true, kcNone);
    temp.SetByte(ido::Temporary, 1);
    EXPECT_NE(ErrorOf([&] { f.file->AddIndex(temp); }), 0);
    EXPECT_FALSE(f.file->HasSideFile());
    EXPECT_EQ(f.file->GetIndexCount(), 1);
    EXPECT_TRUE(f.file->Header() == before);
}

TEST(IndexHeader, ChangeCountersCarryChangesBetweenHandlers) {
    HeaderFixture f;
    f.Create();
    f.file->WriteHeader(false);
    ASSERT_EQ(f.Reopen(), 0);  // a new file is held exclusively; shared from here
    TIndexFile other(&f.owner);
    other.FileName = f.path;
    other.OpenFile();
    EXPECT_FALSE(other.HeaderChanged());
    f.file->SetRecordCount(42);
    f.file->MarkModified();
    EXPECT_EQ(f.file->GetChangeCount(), 2u);
    f.file->WriteHeader(false);
    EXPECT_EQ(f.file->GetChangeCount(), 3u);
    EXPECT_TRUE(other.HeaderChanged());
    EXPECT_EQ(other.GetRecordCount(), 42u);
    EXPECT_FALSE(other.HeaderChanged());
    other.IncRecordCount();
    other.IncRecordCount();
    other.DecRecordCount();
    EXPECT_EQ(other.GetRecordCount(), 43u);
    other.CloseFile();

    // Emptying keeps the definitions and only the header page.
    f.file->AddIndex(test::MakeIndexDesc("ByKey", 8, true, kcNone));
    test::TestIndexCursor cursor(*f.file, 1);
    cursor.Insert(reinterpret_cast<const uint8_t*>("ABCDEFGH"), 3);
    f.file->FlushPages(false);
    f.file->WriteHeader(false);
    EXPECT_EQ(f.file->GetFileSize(), 2 * 4096);
    f.file->InitFile();
    EXPECT_EQ(f.file->GetFileSize(), 4096);
    EXPECT_EQ(f.file->GetRootPage(1), 0u);
    EXPECT_EQ(f.file->GetRecordCount(), 0u);
    EXPECT_EQ(f.file->GetNextNewPage(1), 1u);
    EXPECT_TRUE(f.file->IndexNameExists("ByKey"));
    EXPECT_FALSE(cursor.Exists(reinterpret_cast<const uint8_t*>("ABCDEFGH")));
}

TEST(IndexHeader, VerifyHeaderChecksNamesFieldsAndPages) {
    HeaderFixture f;
    f.Create();
    TIndexDesc byName = test::MakeIndexDesc("ByName", 21, true, kcNone);
    f.file->AddIndex(byName);
    TIndexDesc byCode = test::MakeIndexDesc("ByCode", 5, true, kcNone);
    byCode.SetField(0, 3);
    f.file->AddIndex(byCode);
    f.file->SetNoPrimaryIndex(true);
    EXPECT_NO_THROW(f.file->VerifyHeader());

    auto broken = [&](auto change) {
        HeaderFixture g;
        g.Create();
        g.file->AddIndex(byName);
        g.file->AddIndex(byCode);
        g.file->SetNoPrimaryIndex(true);
        change(*g.file);
        return ErrorOf([&] { g.file->VerifyHeader(); });
    };
    EXPECT_EQ(broken([](TIndexFile& x) { x.SetIndexNameAndFields(2, test::MakeIndexDesc("BYNAME", 5, true, 0)); }),
              KURA_HEADERCORRUPT);
    EXPECT_EQ(broken([](TIndexFile& x) {
                  TIndexDesc d = test::MakeIndexDesc("Gap", 5, true, 0);
                  d.SetField(0, 0);
                  d.SetField(1, 3);
                  x.SetIndexNameAndFields(2, d);
              }),
              KURA_HEADERCORRUPT);
    EXPECT_EQ(broken([](TIndexFile& x) {
                  TIndexDesc d = test::MakeIndexDesc("Blob", 5, true, 0);
                  d.SetField(0, 2);
                  x.SetIndexNameAndFields(2, d);
              }),
              KURA_HEADERCORRUPT);
    EXPECT_EQ(broken([](TIndexFile& x) {
                  TIndexDesc d = test::MakeIndexDesc("Missing", 5, true, 0);
                  d.SetField(0, 9);
                  x.SetIndexNameAndFields(2, d);
              }),
              KURA_HEADERCORRUPT);
    EXPECT_EQ(broken([](TIndexFile& x) { x.SetRootPage(1, 1); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(broken([](TIndexFile& x) { x.SetNoPrimaryIndex(false); }), KURA_HEADERCORRUPT);
    EXPECT_EQ(broken([](TIndexFile& x) {
                  TIndexDesc d = test::MakeIndexDesc("Sys Text", 68, false, 3);
                  d.SetField(0, 3);
                  x.SetIndexDesc(SYS_TEXT_SLOT, d);
              }),
              KURA_HEADERCORRUPT);
    EXPECT_EQ(broken([](TIndexFile& x) {
                  TIndexDesc d = test::MakeIndexDesc("Sys Text", 68, false, 3);
                  d.SetField(0, 4);
                  x.SetIndexDesc(SYS_TEXT_SLOT, d);
              }),
              0);
}

}  // namespace
}  // namespace kura
