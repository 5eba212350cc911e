#include "engine/files/OSServices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include "tests/common/TestSupport.h"

using namespace kura;
namespace fs = std::filesystem;

namespace {

using kura::test::Native;

std::string MakeFile(const kura::test::TempDir& dir, const std::string& name, const std::string& text = "data") {
    std::string path = dir.file(name);
    std::ofstream(Native(path), std::ios::binary) << text;
    return path;
}

// Sets a file's last-write time to the given UTC calendar date at noon.
void SetDate(const std::string& path, int year, int month, int day) {
    struct tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = 12;
    struct timespec times[2];
    times[0].tv_sec = timegm(&t);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ASSERT_EQ(utimensat(AT_FDCWD, Native(path).c_str(), times, 0), 0);
}

}  // namespace

TEST(OSServices, OSErrorToEngineErrorMapsTheTable) {
    EXPECT_EQ(OSErrorToEngineError(2), KURA_OSENOENT);
    EXPECT_EQ(OSErrorToEngineError(3), KURA_OSENOENT);
    EXPECT_EQ(OSErrorToEngineError(4), KURA_OSEMFILE);
    EXPECT_EQ(OSErrorToEngineError(5), KURA_OSEACCES);
    EXPECT_EQ(OSErrorToEngineError(32), 11013);
    EXPECT_EQ(OSErrorToEngineError(65), KURA_OSEACCES);
    EXPECT_EQ(OSErrorToEngineError(6), KURA_OSEBADF);
    EXPECT_EQ(OSErrorToEngineError(8), KURA_OSENOMEM);
    EXPECT_EQ(OSErrorToEngineError(15), KURA_OSENODEV);
    EXPECT_EQ(OSErrorToEngineError(17), KURA_OSENOTSAM);
    // Everything else, the lock violation and "no error" included.
    EXPECT_EQ(OSErrorToEngineError(1), 11047);
    EXPECT_EQ(OSErrorToEngineError(0), KURA_OSUNKNOWN);
    EXPECT_EQ(OSErrorToEngineError(33), KURA_OSUNKNOWN);
    EXPECT_EQ(OSErrorToEngineError(183), KURA_OSUNKNOWN);
    EXPECT_EQ(OSErrorToEngineError(0xFFFFFFFFu), KURA_OSUNKNOWN);

    // Without an argument: the calling thread's last error.
    kura::test::TempDir dir;
    EXPECT_EQ(OSOpenFile(dir.file("missing.dat"), 0x42, false), OS_INVALID_HANDLE);
    EXPECT_EQ(OSLastError(), platform::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OSErrorToEngineError(), KURA_OSENOENT);
    EXPECT_EQ(OSFileRead(12345678, nullptr, 0), -1);
    EXPECT_EQ(OSErrorToEngineError(), KURA_OSEBADF);
    platform::WSASetLastError(10061);
    EXPECT_EQ(OSSocketError(), 10061);
}

TEST(OSServices, OpenModesGiveAccessAndSharing) {
    kura::test::TempDir dir;
    std::string path = MakeFile(dir, "t.dat", "0123456789");

    // 0x10 read exclusive: no other open.
    TOSHandle h = OSOpenFile(path, 0x10, false);
    ASSERT_NE(h, OS_INVALID_HANDLE);
    EXPECT_GT(h, 0);
    EXPECT_EQ(OSOpenFile(path, 0x40, false), OS_INVALID_HANDLE);
    EXPECT_EQ(OSErrorToEngineError(), KURA_OSEACCES);
    EXPECT_EQ(OSFileWrite(h, "x", 1), -1);  // opened for reading only
    EXPECT_TRUE(OSCloseFile(h));
    EXPECT_FALSE(OSCloseFile(h));

    // 0x42 read/write shared twice, then 0x12 is refused.
    TOSHandle a = OSOpenFile(path, 0x42, false);
    TOSHandle b = OSOpenFile(path, 0x40, false);
    ASSERT_NE(a, OS_INVALID_HANDLE);
    ASSERT_NE(b, OS_INVALID_HANDLE);
    EXPECT_EQ(OSOpenFile(path, 0x12, false), OS_INVALID_HANDLE);
    EXPECT_EQ(OSLastError(), platform::ERROR_SHARING_VIOLATION);

    // Transfers, seeks and truncation.
    EXPECT_EQ(OSFileSeek(a, 0, 4), 4);
    EXPECT_EQ(OSFileWrite(a, "AB", 2), 2);
    char buf[16] = {};
    EXPECT_EQ(OSFileRead(b, buf, 16), 10);
    EXPECT_EQ(std::string(buf, 10), "0123AB6789");
    EXPECT_EQ(OSFileRead(b, buf, 16), 0);
    EXPECT_EQ(OSFileRead(b, buf, -1), -1);
    EXPECT_EQ(OSLastError(), platform::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(OSFileSeek(a, 1, 1), 7);
    EXPECT_EQ(OSFileSeek(b, 2, 0), 10);
    EXPECT_EQ(OSFileSeek(a, 0, -20), -1);
    EXPECT_TRUE(OSTruncateFile(a));
    EXPECT_TRUE(OSFlushFile(a));
    EXPECT_EQ(OSFileSeek(b, 2, 0), 7);
    EXPECT_TRUE(OSLockFile(a, 0xFFFFFFF0ll, 4));
    EXPECT_FALSE(OSLockFile(b, 0xFFFFFFF2ll, 4));
    EXPECT_FALSE(OSLockFile(a, -5, 4));
    EXPECT_FALSE(OSLockFile(a, 0, -1));
    EXPECT_FALSE(OSUnlockFile(a, 0xFFFFFFF0ll, 2));
    EXPECT_TRUE(OSUnlockFile(a, 0xFFFFFFF0ll, 4));
    OSCloseFile(a);
    OSCloseFile(b);

    // Mode bytes outside the tables are refused rather than guessed.
    EXPECT_EQ(OSOpenFile(path, 0x03, false), OS_INVALID_HANDLE);
    EXPECT_EQ(OSLastError(), platform::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(OSOpenFile(path, 0x52, false), OS_INVALID_HANDLE);
    EXPECT_EQ(OSLastError(), platform::ERROR_INVALID_PARAMETER);

    // 0x20 and 0x30: deny write and deny read.
    a = OSOpenFile(path, 0x20, false);
    ASSERT_NE(a, OS_INVALID_HANDLE);
    EXPECT_EQ(OSOpenFile(path, 0x42, false), OS_INVALID_HANDLE);
    b = OSOpenFile(path, 0x40, false);
    EXPECT_NE(b, OS_INVALID_HANDLE);
    OSCloseFile(a);
    OSCloseFile(b);
}

TEST(OSServices, ExclusiveOpenInAnotherProcessGives11013) {
    kura::test::TempDir dir;
    std::string path = MakeFile(dir, "staff.dat");
    kura::test::ChildProcess child({"platform_files"});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("osopen " + path + " 12");
    ASSERT_EQ(child.readLine(), "ok 0");
    EXPECT_EQ(OSOpenFile(path, 0x40, false), OS_INVALID_HANDLE);
    EXPECT_EQ(OSErrorToEngineError(), 11013);
    EXPECT_FALSE(OSDeleteFile(path));
    EXPECT_EQ(OSErrorToEngineError(), 11013);
    EXPECT_FALSE(OSRenameFile(path, dir.file("new.dat")));
    EXPECT_EQ(OSErrorToEngineError(), 11013);
    EXPECT_EQ(OSCreateFile(path, false), OS_INVALID_HANDLE);
    EXPECT_EQ(OSErrorToEngineError(), 11013);

    // And the other way: this process holds it, the child is refused.
    child.send("close 0");
    ASSERT_EQ(child.readLine(), "ok");
    TOSHandle h = OSOpenFile(path, 0x42, false);
    ASSERT_NE(h, OS_INVALID_HANDLE);
    child.send("osopen " + path + " 10");
    EXPECT_EQ(child.readLine(), "fail 11013");
    child.send("osopen " + path + " 42");
    EXPECT_EQ(child.readLine(), "ok 1");
    OSCloseFile(h);
}

TEST(OSServices, CreateRenameDeleteAndTemporaryFiles) {
    kura::test::TempDir dir;
    std::string path = MakeFile(dir, "Staff.dat", "old contents");
    // Create truncates an existing file, in whatever case it is named.
    TOSHandle h = OSCreateFile(dir.file("STAFF.DAT"), false);
    ASSERT_NE(h, OS_INVALID_HANDLE);
    EXPECT_EQ(OSFileSeek(h, 2, 0), 0);
    EXPECT_EQ(OSFileWrite(h, "new", 3), 3);
    EXPECT_EQ(OSOpenFile(path, 0x40, false), OS_INVALID_HANDLE);  // created files are unshared
    OSCloseFile(h);
    EXPECT_TRUE(fs::exists(Native(path)));
    EXPECT_FALSE(fs::exists(Native(dir.file("STAFF.DAT"))));
    EXPECT_EQ(fs::file_size(Native(path)), 3u);

    // Rename never replaces.
    MakeFile(dir, "other.dat");
    EXPECT_FALSE(OSRenameFile(path, dir.file("other.dat")));
    EXPECT_EQ(OSErrorToEngineError(), KURA_OSUNKNOWN);  // 183, already exists
    EXPECT_TRUE(OSRenameFile(path, dir.file("moved.dat")));
    EXPECT_TRUE(DiskFileExists(dir.file("moved.dat")));
    EXPECT_FALSE(DiskFileExists(path));
    EXPECT_TRUE(OSDeleteFile(dir.file("MOVED.DAT")));
    EXPECT_FALSE(OSDeleteFile(dir.file("moved.dat")));
    EXPECT_EQ(OSErrorToEngineError(), KURA_OSENOENT);

    // A temporary file created, then opened temporary, goes with its handle.
    std::string temp = dir.file("sort0001.tmp");
    h = OSCreateFile(temp, true);
    ASSERT_NE(h, OS_INVALID_HANDLE);
    OSCloseFile(h);
    EXPECT_TRUE(DiskFileExists(temp));  // a create is not delete-on-close
    h = OSOpenFile(temp, 0x12, true);
    ASSERT_NE(h, OS_INVALID_HANDLE);
    EXPECT_TRUE(DiskFileExists(temp));
    OSCloseFile(h);
    EXPECT_FALSE(DiskFileExists(temp));
}

TEST(OSServices, AttributesDatesAndExistence) {
    kura::test::TempDir dir;
    std::string path = MakeFile(dir, "t.dat");
    EXPECT_EQ(GetFileAttr(path) & platform::FILE_ATTRIBUTE_READONLY, 0);
    chmod(Native(path).c_str(), 0444);
    EXPECT_NE(GetFileAttr(path) & platform::FILE_ATTRIBUTE_READONLY, 0);
    EXPECT_NE(GetFileAttr(dir.path()) & platform::FILE_ATTRIBUTE_DIRECTORY, 0);
    EXPECT_EQ(GetFileAttr(dir.file("none")), -1);

    // A date the DOS format holds.
    SetDate(path, 2024, 2, 29);
    int32_t dos = GetFileDosDate(path);
    ASSERT_NE(dos, -1);
    uint32_t date = static_cast<uint32_t>(dos) >> 16;
    EXPECT_EQ((date >> 9) + 1980, 2024u);
    EXPECT_EQ((date >> 5) & 0x0F, 2u);
    EXPECT_GE(date & 0x1F, 28u);  // the local day, a day either side of UTC noon at most
    EXPECT_LE(date & 0x1F, 29u + 1);
    EXPECT_EQ((static_cast<uint32_t>(dos) & 0xFFFF) & 0x1F, 0u);  // whole minutes: 0 seconds

    // A date past 2043 sets the top bit and is still no failure.
    SetDate(path, 2100, 6, 15);
    dos = GetFileDosDate(path);
    EXPECT_NE(dos, -1);
    EXPECT_EQ(((static_cast<uint32_t>(dos) >> 16) >> 9) + 1980, 2100u);

    // Files the DOS date cannot describe still exist.
    SetDate(path, 1970, 6, 1);
    EXPECT_EQ(GetFileDosDate(path), -1);
    EXPECT_TRUE(DiskFileExists(path));
    SetDate(path, 2200, 1, 1);
    EXPECT_EQ(GetFileDosDate(path), -1);
    EXPECT_TRUE(DiskFileExists(path));

    // Directories and missing names do not.
    EXPECT_EQ(GetFileDosDate(dir.path()), -1);
    EXPECT_FALSE(DiskFileExists(dir.path()));
    EXPECT_FALSE(DiskFileExists(dir.file("none")));
    EXPECT_EQ(GetFileDosDate(dir.file("none")), -1);
    EXPECT_TRUE(DiskFileExists(dir.file("T.DAT")));
}

TEST(OSServices, SystemFacts) {
    int64_t version = GetOSVersion();
    EXPECT_GT(version, 0);
    EXPECT_NE(version, 40000);
    EXPECT_EQ(version % 10, 0);  // major.minor, not more digits than a minor has
    EXPECT_EQ(GetOSPlatform(), 2u);
    EXPECT_EQ(DirectorySeparator, "/");
    EXPECT_EQ(AltDirectorySeparator, "\\");
    EXPECT_EQ(DriveSeparator, ":");
    EXPECT_EQ(ExtensionSeparator, ".");
}

TEST(OSServices, CriticalSectionsAreReentrantAndExclusive) {
    PCriticalSection cs = NewCriticalSection();
    ASSERT_NE(cs, nullptr);
    InitCriticalSection(cs);
    EnterCritical(cs);
    EnterCritical(cs);
    LeaveCritical(cs);
    LeaveCritical(cs);

    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                TCriticalGuard guard(cs);
                EnterCritical(cs);  // nested inside the guard
                ++counter;
                LeaveCritical(cs);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 20000);

    DoneCriticalSection(cs);
    EnterCritical(cs);  // after Done: nothing happens, nothing breaks
    LeaveCritical(cs);
    FreeCriticalSection(cs);
    EXPECT_EQ(cs, nullptr);
    FreeCriticalSection(cs);  // nil is fine
    EnterCritical(nullptr);
    TCriticalGuard nilGuard(nullptr);
}
