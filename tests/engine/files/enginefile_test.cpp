#include "engine/files/EngineFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"

namespace kura {
namespace {

using kura::test::Native;

const auto* const environment = ::testing::AddGlobalTestEnvironment(new test::FileListEnvironment);

std::vector<uint8_t> Pattern(std::size_t size, unsigned seed = 1) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

void WriteDisk(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(Native(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> ReadDisk(const std::string& path) {
    std::ifstream in(Native(path), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Content of a registered memory file, read through a fresh shared handle.
std::vector<uint8_t> ReadMemory(const std::string& name) {
    bool ro = false, roa = false;
    TAbstractFile* file = nullptr;
    int32_t h = FileList->OpenFile(name, true, false, false, ro, roa, file);
    EXPECT_GT(h, 0);
    if (h <= 0) return {};
    std::vector<uint8_t> bytes(static_cast<std::size_t>(file->GetSize()));
    EXPECT_EQ(file->Read(h, bytes.data(), static_cast<int32_t>(bytes.size())), static_cast<int32_t>(bytes.size()));
    FileList->CloseFile(file, true, h);
    return bytes;
}

// Compressed copies are zlib streams back to back; inflate them one after another.
std::vector<uint8_t> InflateChunks(const std::vector<uint8_t>& packed, int* streams) {
    std::vector<uint8_t> out;
    *streams = 0;
    std::size_t at = 0;
    while (at < packed.size()) {
        z_stream z{};
        EXPECT_EQ(inflateInit(&z), Z_OK);
        z.next_in = const_cast<Bytef*>(packed.data() + at);
        z.avail_in = static_cast<uInt>(packed.size() - at);
        std::vector<uint8_t> chunk(FileCopyBufferSize);
        z.next_out = chunk.data();
        z.avail_out = static_cast<uInt>(chunk.size());
        int rc = inflate(&z, Z_FINISH);
        EXPECT_EQ(rc, Z_STREAM_END);
        out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(z.total_out));
        at += z.total_in;
        inflateEnd(&z);
        ++*streams;
        if (rc != Z_STREAM_END) break;
    }
    return out;
}

// A source or target that is not registered, counting reads and failing on demand.
class TTestFile : public TMemoryFile {
public:
    int reads = 0;
    int failReadAt = 0;  // the read of this number fails (1-based); 0 never
    bool failWrites = false;

    int32_t Read(int32_t handle, void* buffer, int32_t count) override {
        ++reads;
        if (failReadAt > 0 && reads >= failReadAt) return -1;
        return TMemoryFile::Read(handle, buffer, count);
    }
    int32_t Write(int32_t handle, const void* buffer, int32_t count) override {
        if (failWrites && count > 0) return -1;
        return TMemoryFile::Write(handle, buffer, count);
    }
};

TEST(MemoryFile, TransfersPositionsAndTruncation) {
    TAbstractFile* file = nullptr;
    int32_t h = FileList->CreateFile("mem-transfers", true, false, file);
    ASSERT_GT(h, 0);
    auto* mem = static_cast<TMemoryFile*>(file);
    EXPECT_EQ(mem->Capacity, 0);

    auto data = Pattern(500);
    EXPECT_EQ(file->Write(h, data.data(), 500), 500);
    EXPECT_EQ(file->GetSize(), 500);
    EXPECT_EQ(mem->Capacity, 4096);

    // A read that starts at the end gives nothing; one that crosses it stops there.
    std::vector<uint8_t> buf(1000);
    EXPECT_EQ(file->Read(h, buf.data(), 10), 0);
    EXPECT_EQ(file->Seek(h, soFromBeginning, 450), 450);
    EXPECT_EQ(file->Read(h, buf.data(), 100), 50);
    EXPECT_EQ(file->Seek(h, soFromCurrent, 0), 500);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 50, data.begin() + 450));
    EXPECT_EQ(file->Seek(h, soFromEnd, 0), 500);
    EXPECT_EQ(file->Seek(h, soFromCurrent, -10), 490);
    file->Seek(h, soFromBeginning, 600);
    EXPECT_EQ(file->Read(h, buf.data(), 10), 0);
    file->Seek(h, soFromBeginning, -5);
    EXPECT_EQ(file->Read(h, buf.data(), 10), 0);

    // Cutting at 100 and writing beyond a gap shows zeros in the gap, not old bytes.
    file->Seek(h, soFromBeginning, 100);
    EXPECT_EQ(file->Write(h, nullptr, 0), 0);
    EXPECT_EQ(file->GetSize(), 100);
    file->Seek(h, soFromBeginning, 300);
    uint8_t one = 0xAB;
    EXPECT_EQ(file->Write(h, &one, 1), 1);
    EXPECT_EQ(file->GetSize(), 301);
    file->Seek(h, soFromBeginning, 0);
    ASSERT_EQ(file->Read(h, buf.data(), 1000), 301);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 100, data.begin()));
    for (int i = 100; i < 300; ++i) ASSERT_EQ(buf[static_cast<std::size_t>(i)], 0) << i;
    EXPECT_EQ(buf[300], 0xAB);

    // Cutting beyond the end extends with zeros.
    file->Seek(h, soFromBeginning, 5000);
    EXPECT_EQ(file->Write(h, nullptr, 0), 0);
    EXPECT_EQ(file->GetSize(), 5000);
    EXPECT_EQ(mem->Capacity, 8192);
    file->Seek(h, soFromBeginning, 4990);
    ASSERT_EQ(file->Read(h, buf.data(), 100), 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(buf[static_cast<std::size_t>(i)], 0);

    // Nothing lands before the block or past what a 32-bit capacity holds.
    file->Seek(h, soFromBeginning, -1);
    EXPECT_EQ(file->Write(h, &one, 1), -1);
    EXPECT_EQ(file->Write(h, nullptr, 0), -1);
    file->Seek(h, soFromBeginning, 0x7FFFF000);
    EXPECT_EQ(file->Write(h, &one, 1), -1);
    file->Seek(h, soFromBeginning, 0x7FFFFFFF);
    EXPECT_EQ(file->Write(h, &one, 1), -1);
    file->Seek(h, soFromBeginning, int64_t{1} << 40);
    EXPECT_EQ(file->Write(h, nullptr, 0), -1);
    EXPECT_EQ(file->GetSize(), 5000);

    // A cut at 0 frees the block.
    file->Seek(h, soFromBeginning, 0);
    EXPECT_EQ(file->Write(h, nullptr, 0), 0);
    EXPECT_EQ(mem->Capacity, 0);
    EXPECT_EQ(file->GetSize(), 0);

    // Handles that are not open transfer nothing and seek nowhere.
    EXPECT_EQ(file->Read(h + 7, buf.data(), 1), -1);
    EXPECT_EQ(file->Write(h + 7, &one, 1), -1);
    EXPECT_EQ(file->Seek(h + 7, soFromBeginning, 3), 0);
    EXPECT_EQ(file->IndexOfHandle(h + 7), -1);
    EXPECT_EQ(FileList->CloseFile(file, true, h), 0);
    EXPECT_EQ(FileList->DeleteFile("mem-transfers", true), 0);
}

TEST(MemoryFile, LocksRefuseEveryOverlap) {
    TAbstractFile* file = nullptr;
    int32_t h = FileList->CreateFile("mem-locks", true, false, file);
    ASSERT_GT(h, 0);
    EXPECT_TRUE(file->Lock(10, 10));
    EXPECT_FALSE(file->Lock(15, 10));  // overlaps the end
    EXPECT_FALSE(file->Lock(5, 6));    // overlaps the start
    EXPECT_FALSE(file->Lock(12, 2));   // inside
    EXPECT_FALSE(file->Lock(0, 100));  // around
    EXPECT_TRUE(file->Lock(20, 1));    // adjacent
    EXPECT_FALSE(file->Unlock(10, 5));  // a different split is not released
    EXPECT_FALSE(file->Unlock(30, 5));  // never locked
    EXPECT_TRUE(file->Unlock(10, 10));
    EXPECT_TRUE(file->Lock(15, 5));
    EXPECT_FALSE(file->Lock(40, 0));
    EXPECT_FALSE(file->Lock(40, -3));
    EXPECT_FALSE(file->Lock(INT64_MAX, 2));
    EXPECT_TRUE(file->Lock(0xFFFEFFFF, 1));
    FileList->CloseFile(file, true, h);
    FileList->DeleteFile("mem-locks", true);
}

// The edges of a held range, byte by byte, for a memory file and a file on disk
// alike: a range that starts on the last byte of a lock or ends on its first one
// overlaps it; one byte further it does not.
TEST(MemoryFile, LockEdgesMatchTheDiskFile) {
    struct Case {
        int64_t start, length;
        bool granted;
    };
    // Held: 10..19 and the single byte 30.
    const Case cases[] = {
        {19, 1, false}, {19, 5, false}, {5, 6, false},  {10, 1, false}, {30, 1, false}, {29, 2, false},
        {30, 2, false}, {0, 100, false}, {20, 1, true}, {20, 10, true}, {0, 10, true},  {9, 1, true},
        {31, 1, true},  {29, 1, true},
    };
    test::TempDir dir;
    for (const bool memory : {true, false}) {
        SCOPED_TRACE(memory ? "memory file" : "disk file");
        const std::string name = memory ? std::string("mem-lock-edges") : dir.file("LOCKEDGE.DAT");
        TAbstractFile* file = nullptr;
        const int32_t h = FileList->CreateFile(name, memory, false, file);
        ASSERT_GT(h, 0);
        ASSERT_TRUE(file->Lock(10, 10));
        ASSERT_TRUE(file->Lock(30, 1));
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.start << "+" << c.length);
            EXPECT_EQ(file->Lock(c.start, c.length), c.granted);
            if (c.granted) {
                EXPECT_TRUE(file->Unlock(c.start, c.length));
            }
        }
        EXPECT_TRUE(file->Unlock(10, 10));
        EXPECT_TRUE(file->Unlock(30, 1));
        FileList->CloseFile(file, memory, h);
        FileList->DeleteFile(name, memory);
    }
}

TEST(MemoryFile, RegistryLifecycle) {
    bool ro = true, roa = true;
    TAbstractFile* file = nullptr;
    EXPECT_EQ(FileList->OpenFile("mem-never", true, false, false, ro, roa, file), -KURA_OSENOENT);
    EXPECT_FALSE(FileList->FileExists("mem-never", true));
    EXPECT_EQ(FileList->DeleteFile("mem-never", true), -KURA_OSENOENT);
    EXPECT_EQ(FileList->RenameFile("mem-never", true, "x"), -KURA_OSENOENT);

    int32_t h = FileList->CreateFile("Mem-Life", true, false, file);
    ASSERT_GT(h, 0);
    EXPECT_TRUE(file->Exclusive);
    TAbstractFile* refused = nullptr;
    EXPECT_EQ(FileList->OpenFile("mem-life", true, false, false, ro, roa, refused), -KURA_OSEACCES);
    EXPECT_EQ(refused, nullptr);
    auto data = Pattern(10000);
    ASSERT_EQ(file->Write(h, data.data(), 10000), 10000);
    EXPECT_EQ(FileList->CloseFile(file, true, h), 0);
    EXPECT_EQ(FileList->CloseFile(file, true, h), -KURA_OSENOENT);  // no open handle left

    // The content outlives the last handle; two shared handles keep their own positions.
    EXPECT_TRUE(FileList->FileExists("MEM-LIFE", true));
    EXPECT_FALSE(FileList->FileExists("MEM-LIFE", false));
    TAbstractFile* a = nullptr;
    TAbstractFile* b = nullptr;
    int32_t ha = FileList->OpenFile("mem-life", true, false, false, ro, roa, a);
    int32_t hb = FileList->OpenFile(" MEM-LIFE ", true, false, false, ro, roa, b);
    ASSERT_GT(ha, 0);
    ASSERT_GT(hb, 0);
    EXPECT_NE(ha, hb);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->OpenCount, 2);
    EXPECT_FALSE(ro);
    EXPECT_EQ(FileList->OpenFile("mem-life", true, false, true, ro, roa, file), -KURA_OSEACCES);
    uint8_t x = 0, y = 0;
    a->Seek(ha, soFromBeginning, 3);
    EXPECT_EQ(b->Read(hb, &y, 1), 1);
    EXPECT_EQ(a->Read(ha, &x, 1), 1);
    EXPECT_EQ(x, data[3]);
    EXPECT_EQ(y, data[0]);
    EXPECT_EQ(FileList->DeleteFile("mem-life", true), -KURA_OSEACCES);
    EXPECT_EQ(FileList->RenameFile("mem-life", true, "mem-life2"), -KURA_OSEACCES);
    FileList->CloseFile(a, true, ha);
    FileList->CloseFile(b, true, hb);

    // Re-creating frees the content; renaming moves it; deleting unregisters it.
    EXPECT_EQ(FileList->RenameFile("mem-life", true, "mem-life2"), 0);
    EXPECT_FALSE(FileList->FileExists("mem-life", true));
    EXPECT_EQ(ReadMemory("mem-life2"), data);
    h = FileList->CreateFile("mem-life2", true, false, file);
    ASSERT_GT(h, 0);
    EXPECT_EQ(file->GetSize(), 0);
    FileList->CloseFile(file, true, h);
    EXPECT_EQ(FileList->DeleteFile("mem-life2", true), 0);
    EXPECT_FALSE(FileList->FileExists("mem-life2", true));

    // A temporary memory file stays registered after its last close.
    h = FileList->CreateFile("mem-temp", true, true, file);
    ASSERT_GT(h, 0);
    FileList->CloseFile(file, true, h);
    EXPECT_TRUE(FileList->FileExists("mem-temp", true));
    FileList->DeleteFile("mem-temp", true);
}

// A memory file renamed onto a name another memory file holds must be refused as
// the disk refuses a move onto an existing file: two entries of one name would
// leave one of the two tables unreachable.
TEST(MemoryFile, RenameOntoATakenNameIsRefused) {
    test::TempDir dir;
    WriteDisk(dir.file("from.dat"), Pattern(10));
    WriteDisk(dir.file("onto.dat"), Pattern(20));
    const int32_t diskRefusal = FileList->RenameFile(dir.file("from.dat"), false, dir.file("onto.dat"));
    ASSERT_LT(diskRefusal, 0);

    TAbstractFile* file = nullptr;
    const auto a = Pattern(300, 2), b = Pattern(500, 3);
    int32_t h = FileList->CreateFile("mem-rename-a", true, false, file);
    ASSERT_GT(h, 0);
    ASSERT_EQ(file->Write(h, a.data(), 300), 300);
    FileList->CloseFile(file, true, h);
    h = FileList->CreateFile("mem-rename-b", true, false, file);
    ASSERT_GT(h, 0);
    ASSERT_EQ(file->Write(h, b.data(), 500), 500);
    FileList->CloseFile(file, true, h);
    const std::size_t before = FileList->Count();

    EXPECT_EQ(FileList->RenameFile("mem-rename-a", true, " MEM-RENAME-B "), diskRefusal);
    EXPECT_EQ(ReadMemory("mem-rename-a"), a);
    EXPECT_EQ(ReadMemory("mem-rename-b"), b);
    EXPECT_EQ(FileList->Count(), before);
    // A new spelling of the file's own name is no other file.
    EXPECT_EQ(FileList->RenameFile("mem-rename-a", true, "MEM-RENAME-A"), 0);
    EXPECT_EQ(ReadMemory("mem-rename-a"), a);
    EXPECT_EQ(FileList->DeleteFile("mem-rename-a", true), 0);
    EXPECT_EQ(FileList->DeleteFile("mem-rename-b", true), 0);
}

TEST(PhysicalFile, SharingAndRegistry) {
    test::TempDir dir;
    const std::string path = dir.file("Table.DAT");
    WriteDisk(path, Pattern(1000));
    const std::size_t before = FileList->Count();

    bool ro = true, roa = true;
    TAbstractFile* a = nullptr;
    TAbstractFile* b = nullptr;
    TAbstractFile* c = nullptr;
    int32_t ha = FileList->OpenFile(path, false, false, false, ro, roa, a);
    ASSERT_GT(ha, 0);
    EXPECT_FALSE(ro);
    EXPECT_FALSE(roa);
    // The same name in another case and with "\" separators is the same object.
    std::string other = dir.path() + "\\tABLE.dat";
    int32_t hb = FileList->OpenFile(other, false, false, false, ro, roa, b);
    ASSERT_GT(hb, 0);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->OpenCount, 2);
    EXPECT_EQ(FileList->Count(), before + 1);
    auto* physical = static_cast<TPhysicalFile*>(a);
    TOSHandle os = physical->OSHandle;
    EXPECT_GT(os, 0);
    EXPECT_EQ(a->GetSize(), 1000);

    EXPECT_EQ(FileList->OpenFile(path, false, false, true, ro, roa, c), -KURA_OSEACCES);
    TAbstractFile* created = nullptr;
    EXPECT_EQ(FileList->CreateFile(path, false, false, created), -KURA_OSEACCES);
    EXPECT_EQ(FileList->DeleteFile(path, false), -KURA_OSEACCES);
    EXPECT_EQ(FileList->RenameFile(path, false, dir.file("moved.dat")), -KURA_OSEACCES);

    TMemoryFile stranger;
    EXPECT_EQ(FileList->CloseFile(&stranger, false, 1), -KURA_OSENOENT);
    EXPECT_EQ(FileList->CloseFile(a, true, ha), -KURA_OSENOENT);  // wrong kind
    EXPECT_EQ(FileList->CloseFile(a, false, ha), 0);
    EXPECT_EQ(physical->OSHandle, os);  // the other handle keeps the OS file open
    EXPECT_EQ(FileList->CloseFile(b, false, hb), 0);
    EXPECT_EQ(FileList->Count(), before);  // the last close frees a physical object

    // Exclusive first: every further open is refused, shared or not.
    ha = FileList->OpenFile(path, false, false, true, ro, roa, a);
    ASSERT_GT(ha, 0);
    EXPECT_EQ(FileList->OpenFile(path, false, false, false, ro, roa, b), -KURA_OSEACCES);
    FileList->CloseFile(a, false, ha);

    // Rename and delete of a closed file; a missing file is not found.
    EXPECT_EQ(FileList->RenameFile(path, false, dir.file("moved.dat")), 0);
    EXPECT_FALSE(FileList->FileExists(path, false));
    EXPECT_TRUE(FileList->FileExists(dir.file("MOVED.DAT"), false));
    EXPECT_EQ(FileList->OpenFile(path, false, false, false, ro, roa, a), -KURA_OSENOENT);
    EXPECT_EQ(FileList->Count(), before);  // a failed open leaves no entry
    EXPECT_EQ(FileList->DeleteFile(dir.file("moved.dat"), false), 0);
    EXPECT_FALSE(std::filesystem::exists(Native(dir.file("moved.dat"))));
    EXPECT_EQ(FileList->DeleteFile(dir.file("moved.dat"), false), -KURA_OSENOENT);
    EXPECT_FALSE(FileList->FileExists(dir.path(), false));  // a folder is no file

    // A create gives an empty exclusive file; names too long for the engine fail.
    int32_t hc = FileList->CreateFile(dir.file("new.dat"), false, false, c);
    ASSERT_GT(hc, 0);
    EXPECT_TRUE(c->Exclusive);
    EXPECT_EQ(c->GetSize(), 0);
    uint8_t byte = 7;
    EXPECT_EQ(c->Write(hc, &byte, 1), 1);
    EXPECT_TRUE(c->Flush());
    FileList->CloseFile(c, false, hc);
    EXPECT_EQ(ReadDisk(dir.file("new.dat")), std::vector<uint8_t>{7});
    EXPECT_EQ(FileList->CreateFile(dir.path() + "/" + std::string(300, 'x'), false, false, c), -KURA_OSENOENT);
}

TEST(PhysicalFile, ReadOnlyAttribute) {
    test::TempDir dir;
    const std::string path = dir.file("ro.dat");
    WriteDisk(path, Pattern(10));
    ASSERT_EQ(chmod(Native(path).c_str(), 0444), 0);
    bool ro = false, roa = false;
    TAbstractFile* file = nullptr;
    int32_t h = FileList->OpenFile(path, false, false, false, ro, roa, file);
    ASSERT_GT(h, 0);
    EXPECT_TRUE(ro);
    EXPECT_TRUE(roa);
    uint8_t byte = 1;
    EXPECT_EQ(file->Write(h, &byte, 1), -1);
    FileList->CloseFile(file, false, h);
    chmod(Native(path).c_str(), 0644);
}

class WholeFileCopy : public ::testing::TestWithParam<std::tuple<int, bool, bool>> {};

TEST_P(WholeFileCopy, CopiesEveryByte) {
    const auto [size, compress, memory] = GetParam();
    test::TempDir dir;
    const auto data = Pattern(static_cast<std::size_t>(size), 3);
    const std::string src = memory ? "copy-src" : dir.file("src.dat");
    const std::string dst = memory ? "copy-dst" : dir.file("dst.dat");
    TAbstractFile* file = nullptr;
    int32_t h = FileList->CreateFile(src, memory, false, file);
    ASSERT_GT(h, 0);
    if (size > 0) { ASSERT_EQ(file->Write(h, data.data(), size), size); }

    std::vector<uint16_t> calls;
    auto progress = [&calls](uint16_t p) { calls.push_back(p); };
    ASSERT_EQ(FileList->CopyToNewFile(file, h, dst, compress, progress, 10, memory), 0);
    FileList->CloseFile(file, memory, h);

    auto copied = memory ? ReadMemory(dst) : ReadDisk(dst);
    if (compress) {
        int streams = 0;
        auto plain = InflateChunks(copied, &streams);
        EXPECT_EQ(plain, data);
        EXPECT_EQ(streams, (size + FileCopyBufferSize - 1) / FileCopyBufferSize);
    } else {
        EXPECT_EQ(copied, data);
    }
    // 65,536 of 65,537 bytes is 99 %; the last byte makes 100 %, less than a step on.
    if (size == 0) { EXPECT_TRUE(calls.empty()); }
    if (size == 65536) { EXPECT_EQ(calls, std::vector<uint16_t>{100}); }
    if (size == 65537) { EXPECT_EQ(calls, std::vector<uint16_t>{99}); }
    EXPECT_TRUE(FileList->FileExists(dst, memory));

    // And back over an open target, which ends up exactly the copied length.
    const std::string back = memory ? "copy-back" : dir.file("back.dat");
    TAbstractFile* target = nullptr;
    int32_t ht = FileList->CreateFile(back, memory, false, target);
    ASSERT_GT(ht, 0);
    const auto junk = Pattern(200000, 9);
    ASSERT_EQ(target->Write(ht, junk.data(), 200000), 200000);
    if (!compress) {
        ASSERT_EQ(FileList->CopyFromFile(target, ht, dst, false, nullptr, 1, memory), 0);
        EXPECT_EQ(target->GetSize(), size);
        std::vector<uint8_t> got(static_cast<std::size_t>(size));
        target->Seek(ht, soFromBeginning, 0);
        if (size > 0) { EXPECT_EQ(target->Read(ht, got.data(), size), size); }
        EXPECT_EQ(got, data);
    }
    FileList->CloseFile(target, memory, ht);
    if (memory) {
        FileList->DeleteFile(src, true);
        FileList->DeleteFile(dst, true);
        FileList->DeleteFile(back, true);
    } else {
        FileList->DeleteFile(dst, false);  // drop the entry the copy left
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, WholeFileCopy,
                         ::testing::Combine(::testing::Values(0, 65536, 65537), ::testing::Bool(),
                                            ::testing::Bool()));

TEST(WholeFileCopyDetails, ReadsProgressAndFailures) {
    test::TempDir dir;
    // Exactly one buffer takes two reads; progress steps follow the step size.
    TTestFile source;
    int32_t hs = source.CreateHandle();
    auto data = Pattern(65536 * 4);
    ASSERT_EQ(source.Write(hs, data.data(), 65536), 65536);
    ASSERT_EQ(FileList->CopyToNewFile(&source, hs, dir.file("two.dat"), false, nullptr, 0, false), 0);
    EXPECT_EQ(source.reads, 2);
    EXPECT_EQ(ReadDisk(dir.file("two.dat")).size(), 65536u);

    source.Seek(hs, soFromBeginning, 0);
    ASSERT_EQ(source.Write(hs, data.data(), static_cast<int32_t>(data.size())), static_cast<int32_t>(data.size()));
    std::vector<uint16_t> calls;
    ASSERT_EQ(FileList->CopyToNewFile(&source, hs, dir.file("four.dat"), false,
                                      [&calls](uint16_t p) { calls.push_back(p); }, 50, false),
              0);
    EXPECT_EQ(calls, (std::vector<uint16_t>{50, 100}));

    // A read that fails leaves no destination: not on disk, not in the registry.
    const std::size_t before = FileList->Count();
    source.reads = 0;
    source.failReadAt = 2;
    EXPECT_EQ(FileList->CopyToNewFile(&source, hs, dir.file("broken.dat"), false, nullptr, 1, false),
              -KURA_READERR);
    EXPECT_FALSE(std::filesystem::exists(Native(dir.file("broken.dat"))));
    EXPECT_FALSE(FileList->FileExists(dir.file("broken.dat"), false));
    EXPECT_EQ(FileList->Count(), before);
    source.reads = 0;
    EXPECT_EQ(FileList->CopyToNewFile(&source, hs, "mem-broken", true, nullptr, 1, true), -KURA_READERR);
    EXPECT_FALSE(FileList->FileExists("mem-broken", true));
    source.failReadAt = 0;

    // A destination that exists and is open is refused.
    TAbstractFile* open = nullptr;
    int32_t ho = FileList->CreateFile(dir.file("busy.dat"), false, false, open);
    ASSERT_GT(ho, 0);
    EXPECT_EQ(FileList->CopyToNewFile(&source, hs, dir.file("busy.dat"), false, nullptr, 1, false),
              -KURA_OSEACCES);
    FileList->CloseFile(open, false, ho);

    // A target that refuses writes makes the copy fail with the write error.
    TTestFile target;
    int32_t ht = target.CreateHandle();
    target.failWrites = true;
    EXPECT_EQ(FileList->CopyFromFile(&target, ht, dir.file("four.dat"), false, nullptr, 1, false), -KURA_WRITEERR);
    EXPECT_EQ(FileList->CopyFromFile(&target, ht, dir.file("missing.dat"), false, nullptr, 1, false),
              -KURA_OSENOENT);

    // The entry a copy leaves behind must not vouch for a file deleted since.
    target.failWrites = false;
    ASSERT_EQ(FileList->CopyFromFile(&target, ht, dir.file("four.dat"), false, nullptr, 1, false), 0);
    EXPECT_EQ(target.GetSize(), static_cast<int64_t>(data.size()));
    EXPECT_TRUE(FileList->FileExists(dir.file("four.dat"), false));
    std::filesystem::remove(Native(dir.file("four.dat")));
    EXPECT_FALSE(FileList->FileExists(dir.file("four.dat"), false));
    const std::size_t withLeftover = FileList->Count();
    bool ro = false, roa = false;
    TAbstractFile* gone = nullptr;
    EXPECT_EQ(FileList->OpenFile(dir.file("four.dat"), false, false, false, ro, roa, gone), -KURA_OSENOENT);
    EXPECT_EQ(FileList->Count(), withLeftover - 1);  // the failed open dropped the stale entry
    FileList->DeleteFile(dir.file("two.dat"), false);
}

TEST(FileNames, RegistryComparison) {
    EXPECT_TRUE(SameFileName("  C:\\Data\\Table.DAT ", "c:/data/table.dat"));
    EXPECT_FALSE(SameFileName("table.dat", "table.da"));
    EXPECT_FALSE(SameFileName("table1", "table2"));
    // "\x95\x5C" is one double-byte character: its trail byte is no separator and
    // "\x83\x61" differs from "\x83\x41" although the trail bytes are letters.
    EXPECT_FALSE(SameFileName("\x95\x5C", "\x95/"));
    EXPECT_FALSE(SameFileName("\x83\x61", "\x83\x41"));
    EXPECT_TRUE(SameFileName("\x83\x61x", "\x83\x61X"));
}

// Record locks taken one byte at a time are released run by run at a commit; a
// run must release exactly the bytes it covers, in memory and on disk alike.
TEST(EngineFileLocks, RangesLockedOneByOneAreReleasedTogetherOnlyWhenCoveredExactly) {
    test::TempDir dir;
    for (const bool inMemory : {true, false}) {
        SCOPED_TRACE(inMemory ? "memory" : "disk");
        const std::string name = inMemory ? "mem-runs" : dir.file("RUNS.DAT");
        TAbstractFile* file = nullptr;
        const int32_t h = FileList->CreateFile(name, inMemory, false, file);
        ASSERT_GT(h, 0);
        const int64_t top = 0xFFFEFFFF;
        for (int64_t i = 0; i < 5; ++i) ASSERT_TRUE(file->Lock(top + i, 1));
        ASSERT_TRUE(file->Lock(top + 6, 1));
        ASSERT_TRUE(file->Lock(top + 10, 3));
        EXPECT_FALSE(file->UnlockRanges(top, 7));       // a gap at top + 5
        EXPECT_FALSE(file->UnlockRanges(top + 9, 4));   // a byte before the range is not held
        EXPECT_FALSE(file->UnlockRanges(top + 10, 2));  // a held range reaches outside
        EXPECT_FALSE(file->UnlockRanges(top, 0));
        // Nothing was released by the refusals.
        EXPECT_FALSE(file->Lock(top + 2, 1));
        EXPECT_TRUE(file->UnlockRanges(top, 5));
        EXPECT_TRUE(file->Lock(top, 5));  // all five bytes are free again
        EXPECT_FALSE(file->Lock(top + 6, 1));
        EXPECT_FALSE(file->Unlock(top + 2, 1));  // released, not held one by one any more
        EXPECT_TRUE(file->Unlock(top, 5));
        EXPECT_TRUE(file->UnlockRanges(top + 6, 1));
        EXPECT_TRUE(file->UnlockRanges(top + 10, 3));
        EXPECT_TRUE(file->Lock(top, 13));
        EXPECT_TRUE(file->Unlock(top, 13));
        // Bytes locked in one call: all or nothing, then each byte held alone.
        ASSERT_TRUE(file->Lock(top + 3, 1));
        EXPECT_FALSE(file->LockEachByte(top, 6));
        EXPECT_TRUE(file->Lock(top, 3));  // the refusal took nothing
        EXPECT_TRUE(file->Unlock(top, 3));
        EXPECT_TRUE(file->Unlock(top + 3, 1));
        EXPECT_FALSE(file->LockEachByte(top, 0));
        ASSERT_TRUE(file->LockEachByte(top, 6));
        EXPECT_FALSE(file->Unlock(top, 6));
        EXPECT_TRUE(file->Unlock(top + 5, 1));
        EXPECT_TRUE(file->UnlockRanges(top + 1, 4));
        EXPECT_FALSE(file->Lock(top, 1));
        EXPECT_TRUE(file->Unlock(top, 1));
        EXPECT_TRUE(file->Lock(top, 6));
        EXPECT_TRUE(file->Unlock(top, 6));
        FileList->CloseFile(file, true, h);
        FileList->DeleteFile(name, inMemory);
    }
}

}  // namespace
}  // namespace kura
