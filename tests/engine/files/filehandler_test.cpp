#include "engine/files/FileHandler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"

namespace kura {
namespace {

using kura::test::Native;

const auto* const environment = ::testing::AddGlobalTestEnvironment(new test::FileListEnvironment);

void WriteDisk(const std::string& path, std::size_t size) {
    std::ofstream out(Native(path), std::ios::binary | std::ios::trunc);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(i * 7));
}

// The code and the table named by the engine error that f raises; 0 when none.
template <typename F>
std::pair<int, std::string> Raised(F&& f) {
    try {
        f();
    } catch (const EKuraEngineError& e) {
        return {e.ErrorCode(), e.ErrorContext(ctxTable)};
    }
    return {0, ""};
}

TEST(FileHandler, OpenCloseAndShareOneObject) {
    test::TempDir dir;
    const std::string path = dir.file("People.DAT");
    WriteDisk(path, 100);

    TFileHandler a, b;
    a.FileName = path;
    b.FileName = dir.file("PEOPLE.dat");  // the same file in another case
    a.OpenFile();
    b.OpenFile();
    ASSERT_TRUE(a.IsOpen);
    ASSERT_TRUE(b.IsOpen);
    EXPECT_EQ(a.File, b.File);
    EXPECT_NE(a.Handle, b.Handle);
    EXPECT_EQ(a.File->OpenCount, 2);
    EXPECT_FALSE(a.ReadOnly);
    EXPECT_TRUE(a.FileExists());

    // Opening again changes nothing; closing one leaves the other working.
    int32_t handle = a.Handle;
    a.OpenFile();
    EXPECT_EQ(a.Handle, handle);
    EXPECT_EQ(a.File->OpenCount, 2);
    a.CloseFile();
    EXPECT_FALSE(a.IsOpen);
    EXPECT_EQ(a.File, nullptr);
    EXPECT_EQ(a.Handle, 0);
    a.CloseFile();
    EXPECT_FALSE(a.IsOpen);
    EXPECT_EQ(b.File->OpenCount, 1);

    // Seek, then transfer inside the file section.
    {
        TFileSectionGuard guard(b);
        EXPECT_EQ(b.Seek(soFromBeginning, 10), 10);
        uint8_t byte = 0;
        EXPECT_EQ(b.ReadBuffer(&byte, 1, false), 1);
        EXPECT_EQ(byte, static_cast<uint8_t>(70));
    }
    EXPECT_EQ(b.GetFileSize(), 100);
    EXPECT_EQ(b.Seek(soFromCurrent, 0), 11);  // the size query leaves the position

    // A short read raises unless partial reads are allowed.
    std::vector<uint8_t> buf(50);
    b.Seek(soFromBeginning, 80);
    EXPECT_EQ(b.ReadBuffer(buf.data(), 50, true), 20);
    b.Seek(soFromBeginning, 80);
    EXPECT_EQ(Raised([&] { b.ReadBuffer(buf.data(), 50, false); }),
              std::make_pair(int{KURA_READERR}, b.FileName));
    b.Seek(soFromBeginning, 100);
    b.WriteBuffer(buf.data(), 5);
    b.FlushFile();
    EXPECT_EQ(b.GetFileSize(), 105);
    b.CloseFile();

    // A missing file raises 11010 naming it and leaves the handler closed.
    TFileHandler missing;
    missing.FileName = dir.file("none.dat");
    EXPECT_FALSE(missing.FileExists());
    EXPECT_EQ(Raised([&] { missing.OpenFile(); }), std::make_pair(int{KURA_OSENOENT}, missing.FileName));
    EXPECT_FALSE(missing.IsOpen);
    EXPECT_EQ(missing.Handle, 0);
}

TEST(FileHandler, ExclusiveAndSharedInOneProcess) {
    test::TempDir dir;
    const std::string path = dir.file("t.dat");
    WriteDisk(path, 10);

    TFileHandler shared1, shared2, excl;
    shared1.FileName = shared2.FileName = excl.FileName = path;
    excl.Exclusive = true;
    shared1.OpenFile();
    shared2.OpenFile();
    EXPECT_EQ(Raised([&] { excl.OpenFile(); }).first, KURA_OSEACCES);
    EXPECT_FALSE(excl.IsOpen);
    EXPECT_EQ(Raised([&] { excl.DeleteFile(); }).first, KURA_OSEACCES);
    EXPECT_EQ(Raised([&] { excl.RenameFile(dir.file("u.dat")); }).first, KURA_OSEACCES);
    EXPECT_EQ(excl.FileName, path);
    shared1.CloseFile();
    shared2.CloseFile();

    excl.OpenFile();
    EXPECT_EQ(Raised([&] { shared1.OpenFile(); }).first, KURA_OSEACCES);
    EXPECT_EQ(Raised([&] { shared1.CreateFile(); }).first, KURA_OSEACCES);
    EXPECT_FALSE(shared1.IsOpen);
    excl.CloseFile();

    // Rename moves the name a later open uses; delete removes the file.
    excl.RenameFile(dir.file("u.dat"));
    EXPECT_EQ(excl.FileName, dir.file("u.dat"));
    excl.OpenFile();
    EXPECT_TRUE(excl.IsOpen);
    excl.CloseFile();
    excl.DeleteFile();
    EXPECT_FALSE(std::filesystem::exists(Native(dir.file("u.dat"))));

    // A created file is held exclusively until closed.
    TFileHandler created;
    created.FileName = dir.file("new.dat");
    created.CreateFile();
    EXPECT_TRUE(created.IsOpen);
    EXPECT_EQ(created.GetFileSize(), 0);
    shared1.FileName = created.FileName;
    EXPECT_EQ(Raised([&] { shared1.OpenFile(); }).first, KURA_OSEACCES);
}

TEST(FileHandler, LocksInOneProcess) {
    test::TempDir dir;
    const std::string path = dir.file("locks.dat");
    WriteDisk(path, 10);
    for (bool memory : {false, true}) {
        TFileHandler a, b;
        a.IsMemory = b.IsMemory = memory;
        a.FileName = b.FileName = memory ? "mem-locks-handler" : path;
        if (memory) {
            a.CreateFile();
            a.CloseFile();
        }
        a.OpenFile();
        b.OpenFile();
        const int64_t top = 0xFFFEFFFF;
        EXPECT_FALSE(a.LockBytes(false, top, 1)) << memory;  // never locked
        EXPECT_TRUE(a.LockBytes(true, top, 1)) << memory;
        EXPECT_FALSE(a.LockBytes(true, top, 1)) << memory;  // also through the same handler
        EXPECT_FALSE(b.LockBytes(true, top - 5, 10)) << memory;
        EXPECT_TRUE(b.LockBytes(true, top + 1, 4)) << memory;
        EXPECT_FALSE(b.LockBytes(false, top + 1, 2)) << memory;  // only the exact range
        EXPECT_TRUE(a.LockBytes(false, top, 1)) << memory;
        EXPECT_TRUE(b.LockBytes(false, top + 1, 4)) << memory;
        EXPECT_TRUE(b.LockBytes(true, top - 5, 10)) << memory;
        EXPECT_TRUE(b.LockBytes(false, top - 5, 10)) << memory;
        a.CloseFile();
        b.CloseFile();
        if (memory) a.DeleteFile();
    }
}

TEST(FileHandler, SharingWithAnotherProcess) {
    test::TempDir dir;
    const std::string path = dir.file("Shared.DAT");
    WriteDisk(path, 10);
    TFileHandler shared, excl;
    shared.FileName = path;
    excl.FileName = dir.file("shared.dat");
    excl.Exclusive = true;

    {  // the child holds the file exclusively: no open here succeeds
        test::ChildProcess child({"files_open", path, "excl"});
        ASSERT_EQ(child.readLine(), "ok");
        EXPECT_EQ(Raised([&] { shared.OpenFile(); }).first, KURA_OSEACCES);
        EXPECT_EQ(Raised([&] { excl.OpenFile(); }).first, KURA_OSEACCES);
        child.send("quit");
        EXPECT_EQ(child.wait(), 0);
    }
    {  // the child shares it: a shared open works, an exclusive one does not
        test::ChildProcess child({"files_open", path, "shared"});
        ASSERT_EQ(child.readLine(), "ok");
        shared.OpenFile();
        EXPECT_TRUE(shared.IsOpen);
        shared.CloseFile();
        EXPECT_EQ(Raised([&] { excl.OpenFile(); }).first, KURA_OSEACCES);
        EXPECT_EQ(Raised([&] { shared.DeleteFile(); }).first, KURA_OSEACCES);
        child.send("quit");
        EXPECT_EQ(child.wait(), 0);
    }
    {  // held here: the child's opens are refused according to the mode
        excl.OpenFile();
        test::ChildProcess child1({"files_open", path, "shared"});
        EXPECT_EQ(child1.readLine(), "fail 11013");
        child1.send("quit");
        excl.CloseFile();
        shared.OpenFile();
        test::ChildProcess child2({"files_open", path, "excl"});
        EXPECT_EQ(child2.readLine(), "fail 11013");
        child2.send("quit");
        test::ChildProcess child3({"files_open", path, "shared"});
        EXPECT_EQ(child3.readLine(), "ok");
        child3.send("quit");
        EXPECT_EQ(child3.wait(), 0);
        shared.CloseFile();
    }
    {  // byte-range locks between the processes
        shared.OpenFile();
        test::ChildProcess child({"files_lock", path, "4294901759", "2"});
        ASSERT_EQ(child.readLine(), "ready");
        EXPECT_TRUE(shared.LockBytes(true, 4294901760LL, 1));
        child.send("lock");
        EXPECT_EQ(child.readLine(), "no");
        EXPECT_TRUE(shared.LockBytes(false, 4294901760LL, 1));
        child.send("lock");
        EXPECT_EQ(child.readLine(), "yes");
        EXPECT_FALSE(shared.LockBytes(true, 4294901759LL, 1));
        child.send("unlock");
        EXPECT_EQ(child.readLine(), "yes");
        EXPECT_TRUE(shared.LockBytes(true, 4294901759LL, 1));
        child.send("lock");
        EXPECT_EQ(child.readLine(), "no");
        child.send("quit");
        EXPECT_EQ(child.wait(), 0);
        shared.CloseFile();
    }
}

// A file object whose reads the OS fails.
class TFailingFile : public TMemoryFile {
public:
    int32_t Read(int32_t, void*, int32_t) override { return -1; }
};

TEST(FileHandler, FailuresWithoutAFileAndFailedReads) {
    TFileHandler handler;
    handler.FileName = "nothing";
    uint8_t buf[4] = {};
    EXPECT_EQ(Raised([&] { handler.ReadBuffer(buf, 4, true); }), std::make_pair(int{KURA_READERR}, handler.FileName));
    EXPECT_EQ(Raised([&] { handler.WriteBuffer(buf, 4); }).first, KURA_WRITEERR);
    EXPECT_EQ(Raised([&] { handler.FlushFile(); }).first, 0);
    EXPECT_FALSE(handler.LockBytes(true, 1, 1));
    EXPECT_EQ(handler.Seek(soFromEnd, 0), 0);
    EXPECT_EQ(handler.GetFileSize(), 0);
    EXPECT_EQ(Raised([&] { handler.CopyToNewFile("x", false, nullptr, 1); }).first, 0);  // not open: nothing

    // A read the OS failed is an error even when partial reads are allowed.
    TFailingFile failing;
    handler.File = &failing;
    handler.Handle = failing.CreateHandle();
    EXPECT_EQ(Raised([&] { handler.ReadBuffer(buf, 4, true); }).first, KURA_READERR);
    EXPECT_EQ(Raised([&] { handler.ReadBuffer(buf, 0, true); }).first, KURA_READERR);
    handler.File = nullptr;
    handler.Handle = 0;
}

TEST(FileHandler, WholeFileCopies) {
    test::TempDir dir;
    TFileHandler source;
    source.FileName = dir.file("index.idx");
    source.CreateFile();
    std::vector<uint8_t> data(70000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 251);
    source.Seek(soFromBeginning, 0);
    source.WriteBuffer(data.data(), static_cast<int32_t>(data.size()));

    std::vector<uint16_t> calls;
    source.CopyToNewFile(dir.file("index.ibk"), false, [&calls](uint16_t p) { calls.push_back(p); }, 25);
    EXPECT_EQ(calls, (std::vector<uint16_t>{93}));
    EXPECT_EQ(std::filesystem::file_size(Native(dir.file("index.ibk"))), data.size());
    EXPECT_EQ(Raised([&] { source.CopyToNewFile(dir.file("index.ibk"), false, nullptr, 1); }).first, 0);
    EXPECT_EQ(std::filesystem::file_size(Native(dir.file("index.ibk"))), data.size());

    // Putting the backup back cuts whatever the file grew beyond it.
    std::vector<uint8_t> more(30000, 0xEE);
    source.Seek(soFromEnd, 0);
    source.WriteBuffer(more.data(), static_cast<int32_t>(more.size()));
    EXPECT_EQ(source.GetFileSize(), 100000);
    source.CopyFromFile(dir.file("index.ibk"), false, nullptr, 1);
    EXPECT_EQ(source.GetFileSize(), 70000);
    std::vector<uint8_t> back(data.size());
    source.Seek(soFromBeginning, 0);
    EXPECT_EQ(source.ReadBuffer(back.data(), static_cast<int32_t>(back.size()), false), 70000);
    EXPECT_EQ(back, data);
    EXPECT_EQ(Raised([&] { source.CopyFromFile(dir.file("gone.ibk"), false, nullptr, 1); }),
              std::make_pair(int{KURA_OSENOENT}, source.FileName));

    // The backup's registry entry does not outlive the file on disk.
    TFileHandler backup;
    backup.FileName = dir.file("index.ibk");
    EXPECT_TRUE(backup.FileExists());
    std::filesystem::remove(Native(dir.file("index.ibk")));
    EXPECT_FALSE(backup.FileExists());
    EXPECT_EQ(Raised([&] { backup.OpenFile(); }).first, KURA_OSENOENT);
    source.CloseFile();
}

TEST(FileHandler, MemoryFiles) {
    TFileHandler writer, reader;
    writer.IsMemory = reader.IsMemory = true;
    writer.FileName = reader.FileName = "Memory\\People.DAT";
    EXPECT_EQ(Raised([&] { reader.OpenFile(); }).first, KURA_OSENOENT);
    writer.CreateFile();
    const char text[] = "personnel";
    writer.WriteBuffer(text, 9);
    writer.CloseFile();
    reader.FileName = "memory/people.dat";
    reader.OpenFile();
    char got[9] = {};
    reader.Seek(soFromBeginning, 0);
    EXPECT_EQ(reader.ReadBuffer(got, 9, false), 9);
    EXPECT_EQ(std::string(got, 9), "personnel");
    EXPECT_EQ(reader.GetFileSize(), 9);
    reader.CopyToNewFile("memory/copy.dat", false, nullptr, 1);
    reader.CloseFile();
    TFileHandler copy;
    copy.IsMemory = true;
    copy.FileName = "memory/copy.dat";
    EXPECT_TRUE(copy.FileExists());
    copy.OpenFile();
    EXPECT_EQ(copy.GetFileSize(), 9);
    copy.CloseFile();
    copy.DeleteFile();
    reader.DeleteFile();
    EXPECT_FALSE(reader.FileExists());
}

}  // namespace
}  // namespace kura
