#include "platform/Files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/CodePage.h"
#include "platform/FileCalls.h"
#include "platform/LastError.h"
#include "platform/Sync.h"
#include "tests/common/FileCallFaults.h"
#include "tests/common/TestSupport.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

using kura::test::Native;

constexpr uint32_t RW = GENERIC_READ | GENERIC_WRITE;
constexpr uint32_t SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Helpers by engine path, as the tests name their files.
void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(Native(path), std::ios::binary | std::ios::trunc);
    out << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(Native(path), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(Native(dir))) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

FileHandle Open(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition = OPEN_EXISTING,
                uint32_t flags = 0) {
    return CreateFile(path, access, share, disposition, flags);
}

}  // namespace

TEST(PlatformFiles, ShareModesInOneProcessFollowTheWindowsRules) {
    kura::test::TempDir dir;
    std::string path = dir.file("t.dat");
    WriteText(path, "content");

    // An unshared open refuses every other open, and the other way round.
    FileHandle excl = Open(path, RW, 0);
    ASSERT_NE(excl, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(path, GENERIC_READ, SHARE_ALL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Open(path, RW, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(CloseHandle(excl));

    FileHandle shared1 = Open(path, RW, SHARE_ALL);
    FileHandle shared2 = Open(path, RW, SHARE_ALL);
    ASSERT_NE(shared1, INVALID_HANDLE_VALUE);
    ASSERT_NE(shared2, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(path, GENERIC_READ, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(shared1);
    CloseHandle(shared2);

    // Share bits separately: a reader that shares only reading refuses writers.
    FileHandle reader = Open(path, GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    FileHandle reader2 = Open(path, GENERIC_READ, FILE_SHARE_READ);
    EXPECT_NE(reader2, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(path, GENERIC_WRITE, SHARE_ALL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    // A new reader that does not share reading is refused by the existing readers.
    EXPECT_EQ(Open(path, GENERIC_READ, FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    CloseHandle(reader2);

    // Delete, rename and create-over of an open file are refused; the data stays.
    FileHandle open = Open(path, GENERIC_READ, SHARE_ALL);
    ASSERT_NE(open, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFile(path));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFile(path, dir.file("other.dat")));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Open(path, RW, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ReadText(path), "content");
    CloseHandle(open);
    EXPECT_TRUE(DeleteFile(path));
    EXPECT_FALSE(fs::exists(Native(path)));
}

TEST(PlatformFiles, ExclusiveOpenRefusesAnotherProcess) {
    kura::test::TempDir dir;
    std::string path = dir.file("shared.dat");
    WriteText(path, "x");
    kura::test::ChildProcess child({"platform_files"});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("open " + path + " rw 0 3");
    ASSERT_EQ(child.readLine(), "ok 0");

    EXPECT_EQ(Open(path, GENERIC_READ, SHARE_ALL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFile(path));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

    child.send("close 0");
    EXPECT_EQ(child.readLine(), "ok");
    // Shared in the child now: a shared open works here, an exclusive one does not.
    child.send("open " + path + " rw 3 3");
    ASSERT_EQ(child.readLine(), "ok 1");
    FileHandle h = Open(path, RW, SHARE_ALL);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(path, RW, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    // And the child is refused an exclusive open while this process has it.
    child.send("open " + path + " r 0 3");
    EXPECT_EQ(child.readLine(), "fail 32");
    CloseHandle(h);

    // A killed holder leaves nothing behind.
    child.kill(SIGKILL);
    child.wait();
    h = Open(path, RW, 0);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

// A file made without sharing (or sharing reading alone) is never met by another open
// as it is made, empty and unshared: an open of the name at the very call that makes it
// is refused, as Windows refuses it, while an empty file no one is making opens as ever.
// A name taken meanwhile fails CREATE_NEW and is opened by the other dispositions; where
// the folder cannot be opened to mark the making, the create still works.
TEST(PlatformFiles, AFileMadeUnsharedIsNeverMetUnshared) {
    kura::test::TempDir dir;
    const std::string name = dir.file("f.dat"), native = Native(name);
    const char* taken = nullptr;  // what another open leaves at the name meanwhile
    bool folderRefused = false;
    int probes = 0, met = 0;  // another open of the name right when it is made, and those that met the file
    const kura::test::OpensThrough opens([&](const char* path, int flags, mode_t mode) {
        const bool making = (flags & O_CREAT) != 0 && path == native;
        if (making && taken) WriteText(name, taken);
        if ((flags & O_DIRECTORY) && folderRefused) return errno = EACCES, -1;
        const int fd = SystemFileCalls().open(path, flags, mode);
        if (making && fd >= 0) ++probes, met += CloseHandle(Open(name, RW, SHARE_ALL));
        return fd;
    });
    // The name taken meanwhile is left as it was where the create fails (error 0: made).
    const struct { const char* what; uint32_t share, disposition; const char* taken; bool folderRefused;
                   uint32_t error; int met; } cases[] = {
        {"unshared, new", 0, CREATE_NEW, nullptr, false, 0, 0},
        {"sharing reading, always", FILE_SHARE_READ, CREATE_ALWAYS, nullptr, false, 0, 0},
        {"shared: met, as it may be", SHARE_ALL, CREATE_NEW, nullptr, false, 0, 1},
        {"unshared, new, the name taken meanwhile", 0, CREATE_NEW, "there", false, ERROR_FILE_EXISTS, 0},
        {"unshared, always, the name taken meanwhile", 0, CREATE_ALWAYS, "there", false, 0, 0},
        {"unshared, always, an empty file made meanwhile", 0, CREATE_ALWAYS, "", false, 0, 0},
        {"unshared, in a folder that cannot be marked", 0, CREATE_NEW, nullptr, true, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        probes = met = 0;
        taken = c.taken, folderRefused = c.folderRefused;
        const FileHandle h = Open(name, RW, c.share, c.disposition);
        const uint32_t error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        taken = nullptr, folderRefused = false;
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(met, c.met);
        EXPECT_EQ(probes, c.taken ? 0 : 1);
        if (h != INVALID_HANDLE_VALUE) {
            // Refused to others from here on, as ever; an empty file no one makes opens.
            EXPECT_EQ(Open(name, RW, SHARE_ALL) == INVALID_HANDLE_VALUE, c.share != SHARE_ALL);
            CloseHandle(h);
            EXPECT_TRUE(CloseHandle(Open(name, RW, SHARE_ALL)));
        }
        EXPECT_EQ(ReadText(name), c.error ? c.taken : "");
        EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"f.dat"});
        fs::remove(native);
    }
}

TEST(PlatformFiles, TransfersKeepOnePositionPerHandle) {
    kura::test::TempDir dir;
    std::string path = dir.file("data.bin");
    FileHandle a = Open(path, RW, SHARE_ALL, CREATE_NEW);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    uint32_t n = 0;
    EXPECT_TRUE(WriteFile(a, "0123456789", 10, &n));
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(SetFilePointer(a, 0, FILE_CURRENT), 10);
    EXPECT_EQ(GetFileSize(a), 10);

    FileHandle b = Open(path, GENERIC_READ, SHARE_ALL);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    char buf[16] = {};
    EXPECT_TRUE(ReadFile(b, buf, 4, &n));
    EXPECT_EQ(std::string(buf, n), "0123");
    EXPECT_EQ(SetFilePointer(a, 0, FILE_CURRENT), 10);  // a did not move
    EXPECT_TRUE(ReadFile(b, buf, 16, &n));                // short read at the end
    EXPECT_EQ(std::string(buf, n), "456789");
    EXPECT_TRUE(ReadFile(b, buf, 16, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(SetFilePointer(b, 100, FILE_BEGIN), 100);  // beyond the end is allowed
    EXPECT_TRUE(ReadFile(b, buf, 4, &n));
    EXPECT_EQ(n, 0u);

    // Seeking before the start fails and leaves the position.
    EXPECT_EQ(SetFilePointer(b, 2, FILE_BEGIN), 2);
    EXPECT_EQ(SetFilePointer(b, -3, FILE_CURRENT), -1);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(b, 0, FILE_CURRENT), 2);
    EXPECT_EQ(SetFilePointer(b, -1, FILE_END), 9);
    EXPECT_EQ(SetFilePointer(b, 0, 7), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // A read-only handle neither writes nor truncates.
    EXPECT_FALSE(WriteFile(b, "z", 1, &n));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetEndOfFile(b));

    // SetEndOfFile cuts and extends at the handle's position.
    SetFilePointer(a, 4, FILE_BEGIN);
    EXPECT_TRUE(SetEndOfFile(a));
    EXPECT_EQ(GetFileSize(b), 4);
    SetFilePointer(a, 6, FILE_BEGIN);
    EXPECT_TRUE(SetEndOfFile(a));
    EXPECT_TRUE(FlushFileBuffers(a));
    EXPECT_EQ(ReadText(path), std::string("0123\0\0", 6));
    EXPECT_TRUE(FlushFileBuffers(b));

    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_FALSE(CloseHandle(b));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReadFile(b, buf, 1, &n));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // Dispositions.
    EXPECT_EQ(Open(path, RW, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(Open(dir.file("none.bin"), RW, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(dir.file("nodir/none.bin"), RW, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Open(dir.path(), GENERIC_READ, SHARE_ALL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    FileHandle t = Open(path, RW, 0, TRUNCATE_EXISTING);
    ASSERT_NE(t, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(t), 0);
    CloseHandle(t);
    t = Open(dir.file("always.bin"), RW, 0, OPEN_ALWAYS);
    EXPECT_NE(t, INVALID_HANDLE_VALUE);
    CloseHandle(t);
    EXPECT_TRUE(fs::exists(Native(dir.file("always.bin"))));
}

TEST(PlatformFiles, NamesAreFoundWithoutRegardToCase) {
    kura::test::TempDir dir;
    WriteText(dir.file("STAFF.DAT"), "staff");

    FileHandle h = Open(dir.file("Staff.dat"), GENERIC_READ, SHARE_ALL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[8] = {};
    uint32_t n = 0;
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n));
    EXPECT_EQ(std::string(buf, n), "staff");
    CloseHandle(h);
    EXPECT_EQ(ResolvePath(dir.file("staff.DAT")), Native(dir.file("STAFF.DAT")));

    // A create reuses the existing spelling instead of making a second file.
    h = Open(dir.file("staff.dat"), RW, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"STAFF.DAT"});
    EXPECT_EQ(GetFileAttributes(dir.file("sTaFf.DaT")), FILE_ATTRIBUTE_NORMAL);
    FileFindData data;
    ASSERT_TRUE(FindFile(dir.file("staff.dat"), &data));
    EXPECT_EQ(data.name, "STAFF.DAT");

    // Backslashes separate; a name in another case renames and deletes.
    std::string back = dir.path() + "\\Staff.Dat";
    EXPECT_NE(GetFileAttributes(back), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(MoveFile(back, dir.path() + "\\Staff.Dat"));  // a change of case only
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"Staff.Dat"});
    EXPECT_TRUE(DeleteFile(dir.file("STAFF.DAT")));
    EXPECT_TRUE(Entries(dir.path()).empty());
}

// Full-width Latin letters fold in file names too, in any mix with ASCII letters;
// double-byte names that are no letters are found in another case of their ASCII
// part, and a full-width letter never finds its ASCII one.
TEST(PlatformFiles, FullWidthLettersAreFoundInEitherCase) {
    kura::test::TempDir dir;
    const std::string AB = "\x82\x60\x82\x61", ab = "\x82\x81\x82\x82";
    const std::string staff = "\x8E\xD0\x88\xF5";  // 社員
    for (const std::string& name : {AB + ".DAT", "x" + ab + "Y.IDX", staff + ".DAT"}) {
        FileHandle h = Open(dir.file(name), RW, 0, CREATE_NEW);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
    }
    struct Case {
        std::string Asked, Found;  // Found empty: none
    };
    const Case cases[] = {
        {ab + ".dat", AB + ".DAT"},           {AB + ".dat", AB + ".DAT"},
        {"\x82\x81\x82\x61.DaT", AB + ".DAT"}, {"X" + AB + "y.idx", "x" + ab + "Y.IDX"},
        {staff + ".dat", staff + ".DAT"},     {"AB.DAT", ""},
        {"ab.dat", ""},                       {"\x82\x82\x82\x81.DAT", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.Asked));
        if (c.Found.empty()) {
            EXPECT_EQ(GetFileAttributes(dir.file(c.Asked)), INVALID_FILE_ATTRIBUTES);
            continue;
        }
        EXPECT_EQ(ResolvePath(dir.file(c.Asked)), Cp932ToUtf8(dir.file(c.Found)));
        FileHandle h = Open(dir.file(c.Asked), GENERIC_READ, SHARE_ALL);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    // A create reuses the spelling on disk; a delete finds it.
    FileHandle h = Open(dir.file(ab + ".dat"), RW, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(Entries(dir.path()).size(), 3u);
    EXPECT_TRUE(DeleteFile(dir.file(ab + ".Dat")));
    EXPECT_TRUE(DeleteFile(dir.file("X" + AB + "Y.idx")));
    EXPECT_TRUE(DeleteFile(dir.file(staff + ".dat")));
    EXPECT_TRUE(Entries(dir.path()).empty());
}

// A name not spelled as on disk is found among its spellings, the smallest in byte
// order when several exist; short names are looked for spelling by spelling, long
// ones by reading the folder, and both must give what reading the folder gives.
TEST(PlatformFiles, EveryWayOfFindingASpellingAgreesWithReadingTheFolder) {
    kura::test::TempDir dir;
    std::mt19937 rng(34);
    const std::string alphabet = "aBcD_1.xY";
    auto randomName = [&] {
        std::string name;
        const int length = 1 + static_cast<int>(rng() % 9);
        for (int i = 0; i < length; ++i) name += alphabet[rng() % alphabet.size()];
        return name;
    };
    auto respell = [&](std::string name) {
        for (char& c : name)
            if (std::isalpha(static_cast<unsigned char>(c)) && rng() % 2) c = static_cast<char>(c ^ 0x20);
        return name;
    };
    std::vector<std::string> made;
    for (int i = 0; i < 60; ++i) {
        // Now and then a second spelling of a name already there.
        std::string name = !made.empty() && rng() % 4 == 0 ? respell(made[rng() % made.size()]) : randomName();
        if (name == "." || name == "..") continue;
        WriteText(dir.file(name), name);
        made.push_back(name);
    }
    auto folded = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    const std::vector<std::string> entries = Entries(dir.path());  // in byte order
    std::vector<std::string> batch;  // names looked for together, found as each is alone
    std::size_t batches = 0;
    for (int i = 0; i < 400; ++i) {
        const std::string query = i % 2 ? respell(made[rng() % made.size()]) : randomName();
        if (query == "." || query == "..") continue;
        std::string expected = query;
        if (!std::binary_search(entries.begin(), entries.end(), query)) {
            const auto same = std::find_if(entries.begin(), entries.end(),
                                           [&](const std::string& e) { return folded(e) == folded(query); });
            if (same != entries.end()) expected = *same;
        }
        EXPECT_EQ(ResolvePath(dir.file(query)), Native(dir.file(expected))) << query;
        batch.push_back(dir.file(query));
        if (batch.size() <= batches % 7) continue;
        const std::vector<bool> exist = FilesExist(batch);
        ASSERT_EQ(exist.size(), batch.size());
        for (std::size_t n = 0; n < batch.size(); ++n) {
            FileFindData data;
            EXPECT_EQ(exist[n], FindFile(batch[n], &data) && !(data.attributes & FILE_ATTRIBUTE_DIRECTORY)) << batch[n];
        }
        batch.clear(), ++batches;
    }
}

TEST(PlatformFiles, BackslashInsideDoubleByteCharacterIsNoSeparator) {
    // "表" in code page 932 is 0x95 0x5C: the trail byte is the backslash code.
    const std::string hyo = "\x95\x5C";
    EXPECT_EQ(NormalizeSeparators("a\\" + hyo + "\\b"), "a/" + hyo + "/b");
    EXPECT_EQ(NormalizeSeparators(hyo), hyo);
    EXPECT_EQ(NormalizeSeparators("\x95"), "\x95");  // a lone lead byte at the end
    EXPECT_EQ(NormalizeSeparators("x\\\\y"), "x//y");

    kura::test::TempDir dir;
    fs::create_directory(Native(dir.path()) + "/\xE8\xA1\xA8");  // "表" in UTF-8 on disk
    std::string name = dir.path() + "\\" + hyo + "\\Emp.dat";
    FileHandle h = Open(name, RW, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(fs::exists(Native(dir.path()) + "/\xE8\xA1\xA8/Emp.dat"));
    FileFindData data;
    ASSERT_TRUE(FindFile(dir.path() + "/" + hyo, &data));
    EXPECT_EQ(data.name, hyo);
    EXPECT_EQ(data.attributes, FILE_ATTRIBUTE_DIRECTORY);
    const FileHandle listing = OpenDirectory(dir.path());  // its names as engine text too
    std::vector<std::string> names;
    EXPECT_TRUE(ReadDirectoryPart(listing, 10, &names));
    EXPECT_EQ(names, std::vector<std::string>{hyo});
    CloseHandle(listing);
}

TEST(PlatformFiles, DeleteOnCloseRemovesTheFileAtItsLastClose) {
    kura::test::TempDir dir;
    std::string path = dir.file("sort.tmp");
    WriteText(path, "temp");
    FileHandle h = Open(path, RW, SHARE_ALL, OPEN_EXISTING, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FileHandle other = Open(path, GENERIC_READ, SHARE_ALL);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(fs::exists(Native(path)));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(fs::exists(Native(path)));
    // The other handle still reads the data.
    char buf[4];
    uint32_t n = 0;
    EXPECT_TRUE(ReadFile(other, buf, 4, &n));
    EXPECT_EQ(n, 4u);
    CloseHandle(other);

    // A file that took the name meanwhile is not removed.
    WriteText(path, "one");
    h = Open(path, RW, SHARE_ALL, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    fs::remove(Native(path));
    WriteText(path, "two");
    CloseHandle(h);
    EXPECT_EQ(ReadText(path), "two");
}

TEST(PlatformFiles, ReadOnlyAttributeComesFromTheModeBits) {
    kura::test::TempDir dir;
    std::string path = dir.file("ro.dat");
    WriteText(path, "keep");
    EXPECT_EQ(GetFileAttributes(path), FILE_ATTRIBUTE_NORMAL);
    ASSERT_EQ(chmod(Native(path).c_str(), 0444), 0);
    EXPECT_EQ(GetFileAttributes(path), FILE_ATTRIBUTE_READONLY);

    // Refused for writing even to root, who could write it under POSIX.
    EXPECT_EQ(Open(path, RW, SHARE_ALL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open(path, RW, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFile(path));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    FileHandle h = Open(path, GENERIC_READ, SHARE_ALL);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(ReadText(path), "keep");

    ASSERT_EQ(chmod(Native(path).c_str(), 0200), 0);  // one write bit is enough
    EXPECT_EQ(GetFileAttributes(path), FILE_ATTRIBUTE_NORMAL);

    EXPECT_EQ(GetFileAttributes(dir.path()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributes(dir.file("missing")), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributes(dir.file("missing/x")), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(DeleteFile(dir.path()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(PlatformFiles, MoveFileNeverReplacesAndCrossesFileSystems) {
    kura::test::TempDir dir;
    WriteText(dir.file("a.dat"), "A");
    WriteText(dir.file("b.dat"), "B");
    EXPECT_FALSE(MoveFile(dir.file("a.dat"), dir.file("b.dat")));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(MoveFile(dir.file("a.dat"), dir.file("B.DAT")));  // the same name in another case
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(ReadText(dir.file("a.dat")), "A");
    EXPECT_EQ(ReadText(dir.file("b.dat")), "B");

    EXPECT_TRUE(MoveFile(dir.file("a.dat"), dir.file("c.dat")));
    EXPECT_EQ(ReadText(dir.file("c.dat")), "A");
    EXPECT_FALSE(fs::exists(Native(dir.file("a.dat"))));
    EXPECT_FALSE(MoveFile(dir.file("a.dat"), dir.file("d.dat")));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // A file held open unshared: refused to MoveFile, moved by its handle, which keeps holding it under the new
    // name (and can read it, and lose that name), never over another file, nor once its name leads elsewhere.
    FileHandle held = Open(dir.file("c.dat"), RW, 0);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(MoveFile(dir.file("c.dat"), dir.file("e.dat")));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveHeldFile(held, dir.file("b.dat")));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(MoveHeldFile(held, dir.file("B.DAT")));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(MoveHeldFile(held, dir.file("e.dat")));
    EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"b.dat", "e.dat"}));
    EXPECT_EQ(Open(dir.file("e.dat"), GENERIC_READ, SHARE_ALL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    char byte = 0;
    uint32_t got = 0;
    EXPECT_TRUE(ReadFile(held, &byte, 1, &got));
    EXPECT_EQ(std::string(&byte, got), "A");
    EXPECT_FALSE(MoveFile(dir.file("e.dat"), dir.file("f.dat")));  // still held
    ASSERT_EQ(::rename(Native(dir.file("e.dat")).c_str(), Native(dir.file("g.dat")).c_str()), 0);  // by hand
    EXPECT_FALSE(MoveHeldFile(held, dir.file("h.dat")));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(::rename(Native(dir.file("g.dat")).c_str(), Native(dir.file("e.dat")).c_str()), 0);
    EXPECT_TRUE(ReleaseFileName(held));
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"b.dat"});
    EXPECT_TRUE(CloseHandle(held));
    EXPECT_FALSE(MoveHeldFile(held, dir.file("h.dat")));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    WriteText(dir.file("c.dat"), "A");

    // Across file systems, when the machine has a second one at hand.
    struct stat here{}, shm{};
    if (stat(Native(dir.path()).c_str(), &here) == 0 && stat("/dev/shm", &shm) == 0 && here.st_dev != shm.st_dev &&
        access("/dev/shm", W_OK) == 0) {
        std::string far = "/dev/shm/kura-move-" + std::to_string(getpid()) + ".dat";
        ::unlink(far.c_str());
        ASSERT_EQ(chmod(Native(dir.file("c.dat")).c_str(), 0640), 0);
        EXPECT_TRUE(MoveFile(dir.file("c.dat"), far));
        EXPECT_FALSE(fs::exists(Native(dir.file("c.dat"))));
        EXPECT_EQ(ReadText(far), "A");
        struct stat st{};
        ASSERT_EQ(stat(far.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
        EXPECT_FALSE(MoveFile(dir.file("b.dat"), far));
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
        ::unlink(far.c_str());
    }
}

TEST(PlatformFiles, SystemFoldersAndNames) {
    std::string temp = GetTempPath();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), '/');
    if (const char* tmpdir = std::getenv("TMPDIR")) {  // engine text, converted once from the system's name
        EXPECT_EQ(Native(temp), std::string(tmpdir) + (std::string_view(tmpdir).ends_with('/') ? "" : "/"));
    }
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(GetCurrentDirectory(), cwd);
    std::string host = GetComputerName();
    EXPECT_FALSE(host.empty());
    EXPECT_LE(host.size(), 15u);
}

TEST(PlatformLastError, IsKeptPerThread) {
    SetLastError(ERROR_SHARING_VIOLATION);
    WSASetLastError(WSAECONNREFUSED);
    uint32_t seen = 99;
    int32_t seenSocket = 99;
    std::thread([&] {
        seen = GetLastError();
        seenSocket = WSAGetLastError();
        SetLastError(ERROR_ACCESS_DENIED);
    }).join();
    EXPECT_EQ(seen, ERROR_SUCCESS);
    EXPECT_EQ(seenSocket, 0);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
}

TEST(PlatformSync, CriticalSectionsAndClocks) {
    CriticalSection section;
    section.Enter();
    section.Enter();  // re-entrant
    bool otherGotIn = true;
    std::thread([&] { otherGotIn = section.TryEnter(); }).join();
    EXPECT_FALSE(otherGotIn);
    section.Leave();
    section.Leave();
    std::thread([&] {
        otherGotIn = section.TryEnter();
        if (otherGotIn) section.Leave();
    }).join();
    EXPECT_TRUE(otherGotIn);

    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                CriticalSectionLock lock(section);
                ++counter;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 40000);

    // The ticks are the monotonic clock's milliseconds: read between two reads of that
    // clock, the count lies between theirs (unsigned: also across the wrap); and a sleep
    // advances it at least as far as it slept.
    const auto monotonicMs = [] {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint32_t>(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
    };
    const uint32_t low = monotonicMs();
    const uint32_t tick = GetTickCount();
    EXPECT_LE(tick - low, monotonicMs() - low);
    const uint32_t before = GetTickCount();
    Sleep(30);
    EXPECT_GE(GetTickCount() - before, 30u);

    EXPECT_EQ(GetCurrentProcessId(), static_cast<uint32_t>(getpid()));
    uint32_t mainThread = GetCurrentThreadId();
    uint32_t otherThread = mainThread;
    std::thread([&] { otherThread = GetCurrentThreadId(); }).join();
    EXPECT_NE(mainThread, otherThread);
    EXPECT_EQ(mainThread, static_cast<uint32_t>(getpid()));  // the main thread's id is the process id
}

// ---------------------------------------------------------------------------
// The system call table and its fault seam

namespace {

std::atomic<int> gShortWrites{0};
ssize_t OneBytePwrite(int fd, const void* buffer, size_t count, off_t offset) {
    ++gShortWrites;
    return SystemFileCalls().pwrite(fd, buffer, count > 0 ? 1 : 0, offset);
}

}  // namespace

TEST(FileFaults, TheNthWriteCallFailsAndNothingElse) {
    kura::test::TempDir dir;
    const std::string path = dir.file("fault.bin");
    FileHandle h = CreateFile(path, RW, SHARE_ALL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ArmFileFault({3, FileFaultAction::Fail, ENOSPC});
    uint32_t done = 0;
    EXPECT_TRUE(WriteFile(h, "aa", 2, &done));   // call 1
    EXPECT_TRUE(FlushFileBuffers(h));            // call 2
    EXPECT_FALSE(WriteFile(h, "bb", 2, &done));  // call 3
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(SetEndOfFile(h));  // call 4: only the third call failed
    EXPECT_EQ(FileWriteCalls(), 4u);
    ArmFileFault({});
    EXPECT_EQ(FileWriteCalls(), 0u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(ReadText(path), "aa");
}

TEST(FileFaults, ReplacedCallsServeTheFileLayer) {
    kura::test::TempDir dir;
    const std::string path = dir.file("short.bin");
    FileHandle h = CreateFile(path, RW, SHARE_ALL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    gShortWrites = 0;
    FileCalls().pwrite = OneBytePwrite;
    uint32_t done = 0;
    // Short writes are carried on until the whole count is written.
    const bool ok = WriteFile(h, "hello", 5, &done);
    FileCalls() = SystemFileCalls();
    EXPECT_TRUE(ok);
    EXPECT_EQ(done, 5u);
    EXPECT_EQ(gShortWrites.load(), 5);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(ReadText(path), "hello");

    // A link put at the name (as another user could) after the layer looked at it and
    // before it opens it is refused as one found by the look, whether a file or nothing
    // stood there.
    const std::string at = dir.file("planted.bin"), elsewhere = dir.file("elsewhere.bin");
    for (const uint32_t disposition : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS, TRUNCATE_EXISTING, CREATE_NEW})
        for (const bool fileThere : {true, false}) {
            SCOPED_TRACE(std::to_string(disposition) + (fileThere ? ", a file there" : ", nothing there"));
            fs::remove(Native(at));
            if (fileThere) WriteText(at, "own");
            WriteText(elsewhere, "untouched");
            bool planted = false;
            const kura::test::OpensThrough planting([&](const char* path, int flags, mode_t mode) {
                if (!planted && Native(at) == path)
                    planted = true, fs::remove(path), fs::create_symlink(Native(elsewhere), path);
                return SystemFileCalls().open(path, flags, mode);
            });
            const FileHandle h2 = CreateFile(at, RW, SHARE_ALL, disposition, FILE_FLAG_NO_LINK);
            const uint32_t error = GetLastError();
            if (h2 != INVALID_HANDLE_VALUE) CloseHandle(h2);
            // A file there that a new one may not replace is refused at the look.
            EXPECT_EQ(planted, !fileThere || disposition != CREATE_NEW);
            if (!planted) continue;
            EXPECT_EQ(h2, INVALID_HANDLE_VALUE);
            // A new file's name taken meanwhile: by a link, which a new file may not replace.
            EXPECT_EQ(error, !fileThere && disposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_CANT_RESOLVE_FILENAME);
            EXPECT_TRUE(fs::is_symlink(Native(at)));
            EXPECT_EQ(ReadText(elsewhere), "untouched");
        }
}

// A process stopped at its Nth write call dies right there: the writes before it
// are in the file, that one and the ones after are not.
TEST(FileFaults, AStoppedProcessEndsAtTheNthWrite) {
    kura::test::TempDir dir;
    for (const auto& [at, action, expected] :
         std::vector<std::tuple<int, std::string, std::string>>{{1, "stop", ""},
                                                                {3, "stop", "0123456789"},
                                                                {3, "tear", "0123456789ab"}}) {
        const std::string path = dir.file("stop" + std::to_string(at) + action + ".bin");
        kura::test::ChildProcess child({"plat-write-until", path, std::to_string(at), action});
        EXPECT_EQ(child.wait(), 128 + SIGKILL) << at << action;
        EXPECT_EQ(ReadText(path), expected) << at << action;
    }
}
