// BLOB streams of the table component: read, write, truncate, large values, and
// the misuse the stream refuses.
#include <memory>
#include <random>

#include "components/KuraBlobStream.h"
#include "tests/components/ComponentTestSupport.h"

namespace kura::test {
namespace {

using BlobStreams = ComponentTest;

std::string RandomBytes(std::size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

TEST_F(BlobStreams, WriteThenPostThenReadBackAfterReopen) {
    auto t = StaffTable(3);
    const std::string photo = RandomBytes(70000, 1);
    t->Edit();
    {
        std::unique_ptr<TStream> s(t->CreateBlobStream(t->FieldByName("Photo"), bmWrite));
        EXPECT_EQ(s->Write(photo.data(), 1000), 1000);
        EXPECT_EQ(s->Write(photo.data() + 1000, static_cast<int32_t>(photo.size() - 1000)),
                  static_cast<int32_t>(photo.size() - 1000));
    }
    t->FieldByName("Notes")->SetAsString("memo text");
    t->Post();
    t->Close();
    t->Open();
    EXPECT_EQ(t->FieldByName("Photo")->AsString(), photo);
    EXPECT_EQ(t->FieldByName("Notes")->AsString(), "memo text");
    EXPECT_TRUE(t->FieldByName("Photo")->IsNull() == false);
    t->Next();
    EXPECT_TRUE(t->FieldByName("Photo")->IsNull());
    EXPECT_EQ(t->FieldByName("Photo")->AsString(), "");
}

TEST_F(BlobStreams, ReadsPastTheEndAndSeeksFromEveryOrigin) {
    auto t = StaffTable(1);
    t->Edit();
    t->FieldByName("Notes")->SetAsString("0123456789");
    t->Post();
    std::unique_ptr<TStream> s(t->CreateBlobStream(t->FieldByName("Notes"), bmRead));
    char buffer[32] = {};
    EXPECT_EQ(s->Seek(-4, soEnd), 6);
    EXPECT_EQ(s->Read(buffer, 32), 4);  // up to the end, no error
    EXPECT_EQ(std::string(buffer, 4), "6789");
    EXPECT_EQ(s->Seek(100, soBeginning), 100);
    EXPECT_EQ(s->Read(buffer, 8), 0);  // beyond the end: nothing, no error
    EXPECT_EQ(s->Seek(-98, soCurrent), 2);
    EXPECT_EQ(s->Read(buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, 3), "234");
    EXPECT_EQ(s->Size(), 10);
}

TEST_F(BlobStreams, TruncateAndWriteModeEmptyTheBlobAndASecondStreamSeesTheEdit) {
    auto t = StaffTable(1);
    t->Edit();
    t->FieldByName("Notes")->SetAsString("abcdefghij");
    t->Post();
    t->Edit();
    {
        std::unique_ptr<TStream> s(t->CreateBlobStream(t->FieldByName("Notes"), bmReadWrite));
        s->Seek(4, soBeginning);
        s->Truncate();
        s->Seek(0, soEnd);
        s->Write("XY", 2);
    }
    {
        // The same edit: the engine keeps the modified BLOB open, a reader sees it.
        std::unique_ptr<TStream> s(t->CreateBlobStream(t->FieldByName("Notes"), bmRead));
        EXPECT_EQ(s->ReadAll(), "abcdXY");
    }
    t->Post();
    EXPECT_EQ(t->FieldByName("Notes")->AsString(), "abcdXY");
    t->Edit();
    { std::unique_ptr<TStream> s(t->CreateBlobStream(t->FieldByName("Notes"), bmWrite)); }
    t->Post();
    EXPECT_EQ(t->FieldByName("Notes")->AsString(), "");
}

TEST_F(BlobStreams, CancelledEditLeavesTheStoredBlob) {
    auto t = StaffTable(1);
    t->Edit();
    t->FieldByName("Notes")->SetAsString("kept");
    t->Post();
    t->Edit();
    t->FieldByName("Notes")->SetAsString("thrown away");
    t->Cancel();
    EXPECT_EQ(t->FieldByName("Notes")->AsString(), "kept");
    t->Close();
    t->Open();
    EXPECT_EQ(t->FieldByName("Notes")->AsString(), "kept");
}

TEST_F(BlobStreams, WritingInBrowseStateIsRefused) {
    auto t = StaffTable(1);
    EXPECT_EQ(DatabaseErrorOf([&] { std::unique_ptr<TStream> s(t->CreateBlobStream(t->FieldByName("Photo"), bmWrite)); }),
              "Table is not in edit or insert mode.");
    t->FieldByName("Photo")->ReadOnly = true;
    t->Edit();
    EXPECT_EQ(DatabaseErrorOf([&] { std::unique_ptr<TStream> s(t->CreateBlobStream(t->FieldByName("Photo"), bmWrite)); }),
              "Field Photo cannot be modified.");
    t->Cancel();
}

TEST_F(BlobStreams, TenMebibytesRoundTripInPieces) {
    auto t = StaffTable(2);
    const std::string big = RandomBytes(10u << 20, 7);
    t->Edit();
    {
        std::unique_ptr<TStream> s(t->CreateBlobStream(t->FieldByName("Photo"), bmWrite));
        for (std::size_t at = 0; at < big.size(); at += 1u << 20)
            ASSERT_EQ(s->Write(big.data() + at, 1 << 20), 1 << 20);
    }
    t->Post();
    t->Close();
    t->Open();
    std::unique_ptr<TStream> s(t->CreateBlobStream(t->FieldByName("Photo"), bmRead));
    EXPECT_EQ(s->Size(), static_cast<int64_t>(big.size()));
    std::string back;
    std::string piece(333333, '\0');
    for (;;) {
        const int32_t n = s->Read(piece.data(), static_cast<int32_t>(piece.size()));
        if (n <= 0) break;
        back.append(piece.data(), static_cast<std::size_t>(n));
    }
    EXPECT_TRUE(back == big);
}

}  // namespace
}  // namespace kura::test

namespace kura::test {
namespace {

TEST_F(BlobStreams, AWriteBeyondTheEnginesOffsetsNamesTheField) {
    auto t = StaffTable(1);
    t->Edit();
    std::unique_ptr<TStream> s(t->CreateBlobStream(t->FieldByName("Photo"), bmReadWrite));
    s->Seek(int64_t(5) << 30, soBeginning);
    try {
        s->Write("x", 1);
        FAIL() << "no error";
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_INVALIDBLOBLEN);
        EXPECT_EQ(e.ErrorContext(ctxField), "Photo");
        EXPECT_EQ(e.ErrorContext(ctxTable), "Staff");
    }
    char c;
    EXPECT_EQ(s->Read(&c, 1), 0);
    s.reset();
    t->Cancel();
}

}  // namespace
}  // namespace kura::test
