// What a session's work folder makes of the temporary folder it finds: what programs
// that are gone left is cleared, what stands in the way of its names and is not
// its own is passed over and left, and nothing else is touched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/files/WorkFolder.h"
#include "platform/FileCalls.h"
#include "tests/common/EngineTestSupport.h"
#include "tests/common/FileCallFaults.h"
#include "tests/common/TestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

void Touch(const std::string& path) { std::ofstream(Native(path)) << "x"; }

TEST(WorkFolder, ClearsWhatIsLeftAndPassesOverWhatIsNotItsOwn) {
    const TempDir tmp;
    const std::string pid = std::to_string(getpid());
    const std::string own = "KURA" + pid + "-";
    auto folder = [&](const std::string& name, mode_t mode, const std::vector<std::string>& files) {
        ASSERT_EQ(mkdir(Native(tmp.file(name)).c_str(), mode), 0);
        ASSERT_EQ(chmod(Native(tmp.file(name)).c_str(), mode), 0);
        for (const std::string& file : files) Touch(tmp.file(name) + "/" + file);
    };
    // Only a superuser may give a name away; elsewhere one that is as little its own
    // to use stands in.
    auto anothers = [&](const std::string& name, bool isFolder) {
        if (isFolder) folder(name, 0700, {});
        else Touch(tmp.file(name));
        if (chown(Native(tmp.file(name)).c_str(), 12345, 12345) != 0) {
            ASSERT_EQ(chmod(Native(tmp.file(name)).c_str(), isFolder ? 0755 : 0), 0);
        }
    };
    // In the way of this process's next names and not its own to use: at a lock
    // file's name a folder, a link to nowhere, a link to a file of its own, another
    // user's file; at a folder's name a folder that others may enter, a file, a link
    // to a private folder of its own, another user's folder; and past the first
    // session's name a FIFO at a lock file's name.
    folder(own + "0.LCK", 0700, {});
    folder(own + "1", 0755, {"kept.DAT"});
    std::filesystem::create_symlink(Native(tmp.file("nowhere")), Native(tmp.file(own + "2.LCK")));
    Touch(tmp.file("target"));
    std::filesystem::create_symlink(Native(tmp.file("target")), Native(tmp.file(own + "3.LCK")));
    Touch(tmp.file(own + "4"));
    folder("mine", 0700, {"mine.DAT"});
    std::filesystem::create_symlink(Native(tmp.file("mine")), Native(tmp.file(own + "5")));
    anothers(own + "6.LCK", false);
    anothers(own + "7", true);
    ASSERT_EQ(mkfifo(Native(tmp.file(own + "9.LCK")).c_str(), 0600), 0);
    // In a lost folder's place, which must not lead the clearing elsewhere: links to
    // a folder that others may enter and to a private one, another user's folder.
    std::filesystem::create_symlink(Native(tmp.file(own + "1")), Native(tmp.file("KURA14-0")));
    std::filesystem::create_symlink(Native(tmp.file("mine")), Native(tmp.file("KURA15-0")));
    anothers("KURA16-0", true);
    // Not work folders' names; the last is the session's own next one in another
    // case, which its names, used as written, pass by.
    for (const std::string name : {"123450.DAT", "KURA-1", "KURA1-x", "KURA.LCK", "kura1-0"}) Touch(tmp.file(name));
    Touch(tmp.file("kura" + pid + "-8.lck"));
    const std::vector<std::string> left = FolderNames(Native(tmp.path()));
    // Left by programs that are gone: a folder with its lock file, one without, a
    // lock file alone.
    folder("KURA11-0", 0700, {"113420.DAT", "113420.IDX"});
    Touch(tmp.file("KURA11-0.LCK"));
    folder("KURA12-3", 0700, {"1.DAT"});
    Touch(tmp.file("KURA13-0.LCK"));
    {
        TWorkFolder first(tmp.path());
        EXPECT_EQ(first.Path(), tmp.path() + "\\" + own + "8\\");
        EXPECT_EQ(std::filesystem::status(Native(tmp.file(own + "8"))).permissions(),
                  std::filesystem::perms::owner_all);
        Touch(tmp.file(own + "8/1.DAT"));
        // Another session's folder, and the first one's held folder stays.
        TWorkFolder second(tmp.path() + "/");
        EXPECT_EQ(second.Path(), tmp.path() + "/" + own + "10\\");
        // A lock file whose name went, or was given to another file, between its open
        // and its lock is taken again under its name: a folder whose lock file no name
        // leads to must not be cleared by the next program as left by one that is gone.
        for (const bool replaced : {false, true}) {
            SCOPED_TRACE(replaced ? "replaced" : "removed");
            const std::string name = own + "11";
            std::string lost = Native(tmp.file(name + ".LCK"));  // as the system names it
            const OpensThrough losing([&](const char* path, int flags, mode_t mode) {
                const int fd = platform::SystemFileCalls().open(path, flags, mode);
                if (fd < 0 || lost != path) return fd;
                if (replaced) Touch(tmp.file("stand-in"));
                if (replaced ? rename(Native(tmp.file("stand-in")).c_str(), path) == 0 : unlink(path) == 0)
                    lost.clear();
                return fd;
            });
            TWorkFolder third(tmp.path());
            EXPECT_TRUE(lost.empty()) << "the name was never opened";
            EXPECT_EQ(access(Native(tmp.file(name + ".LCK")).c_str(), F_OK), 0);
            Touch(tmp.file(name + "/1.DAT"));
            TWorkFolder::ClearAbandoned(tmp.path());
            EXPECT_EQ(FolderNames(Native(tmp.file(name))), std::vector<std::string>{"1.DAT"});
        }
        TWorkFolder::ClearAbandoned(tmp.path());
        EXPECT_EQ(FolderNames(Native(tmp.file(own + "8"))), std::vector<std::string>{"1.DAT"});
        EXPECT_EQ(FolderNames(Native(tmp.file(own + "10"))), std::vector<std::string>{});
    }
    TWorkFolder::ClearAbandoned(tmp.path());
    EXPECT_EQ(FolderNames(Native(tmp.path())), left);
    EXPECT_EQ(FolderNames(Native(tmp.file(own + "1"))), std::vector<std::string>{"kept.DAT"});
    EXPECT_EQ(FolderNames(Native(tmp.file("mine"))), std::vector<std::string>{"mine.DAT"});
    EXPECT_EQ(ReadFileBytes(Native(tmp.file("target"))), std::vector<uint8_t>{'x'});
    // A folder that is not there is named as a folder.
    const Raised missing = RaisedBy([&] { TWorkFolder(tmp.file("none")); });
    EXPECT_EQ(missing.code, KURA_OSENOENT);
    EXPECT_EQ(missing.table, tmp.file("none") + "/");
}

// What someone else may do to a living session's names (by hand, or as a cleaner of
// the temporary folder that removes what was not touched for days): its lock file
// removed, the folder stays its own; its folder removed, moved away or made anew by
// another, another is made for the next result table, and the one moved away keeps
// what it holds, also when it is moved after the last result table, and another
// folder made under its name, before the session ends.
TEST(WorkFolder, StaysItsOwnWhateverBecomesOfItsNames) {
    const TempDir tmp;
    const auto onDisk = [](std::string f) { std::ranges::replace(f, '\\', '/'); return f.substr(0, f.size() - 1); };
    std::string last;
    {
        TWorkFolder session(tmp.path());
        for (const int way : {0, 1, 2, 3}) {
            SCOPED_TRACE(way);
            const std::string before = session.Ready(), folder = onDisk(before);
            Touch(folder + "/1.DAT");
            if (way == 1 || way == 3) std::filesystem::remove_all(Native(folder));
            const int done = way == 0   ? unlink(Native(folder + ".LCK").c_str())
                             : way == 2 ? rename(Native(folder).c_str(), Native(tmp.file("moved")).c_str())
                             : way == 3 ? mkdir(Native(folder).c_str(), 0700) : 0;
            ASSERT_EQ(done, 0);
            TWorkFolder::ClearAbandoned(tmp.path());
            const std::string after = session.Ready();
            EXPECT_EQ(after == before, way == 0);
            EXPECT_EQ(FolderNames(Native(folder)).size(), way == 0 ? 1u : 0u);
            Touch(onDisk(after) + "/2.DAT");
        }
        last = onDisk(session.Ready());
        ASSERT_EQ(rename(Native(last).c_str(), Native(tmp.file("moved at the end")).c_str()), 0);
        ASSERT_EQ(mkdir(Native(last).c_str(), 0700), 0);
        Touch(last + "/3.DAT");
    }
    EXPECT_EQ(FolderNames(Native(tmp.file("moved at the end"))), std::vector<std::string>{"2.DAT"});
    EXPECT_EQ(FolderNames(Native(last)), std::vector<std::string>{"3.DAT"});
    TWorkFolder::ClearAbandoned(tmp.path());
    EXPECT_EQ(FolderNames(Native(tmp.path())), (std::vector<std::string>{"moved", "moved at the end"}));
    EXPECT_EQ(FolderNames(Native(tmp.file("moved"))), (std::vector<std::string>{"1.DAT", "2.DAT"}));
}

// A clock of the test's own for the clearing: each folder and file tried costs `cost`
// microseconds (8: a table's share of 800 is spent after 99 of them).
struct ClockOfTries {
    ClockOfTries() { TWorkFolder::ClearingClock = [] { return now += cost; }; }
    ~ClockOfTries() { TWorkFolder::ClearingClock = nullptr; }
    static inline int64_t cost = 8, now = 0;
};

// Folders that killed programs left among the other names of the temporary folder,
// and sorting after them three living programs' folders, three other users' and a
// link: each result table clears at most 99 folders and files, the following tables
// the rest, for one session (also what was left after its look came to an end) or
// sessions of one table each, wherever the folders stand, also at the session's own
// first names. None that is not ours to clear is tried twice by a session, or touched.
TEST(WorkFolder, ClearsWhatKilledProgramsLeftABoundedPartAtEachResultTable) {
    // Folders left (as many again after the 30th table when LeftAgain), files in each, other
    // names, tables of a session, the tables by which all must be gone, whether the folders
    // hold this process's first names, links planted at lock files' names, a try's cost.
    struct Case { const char* What; int Folders, Files, Others, TablesEach; bool LeftAgain; int MostTables, Own;
                  int Planted; int64_t Cost = 8; };
    const Case cases[] = {{"many folders", 40, 1, 0, 1000, false, 2, 0, 0},
                          {"folders of many files", 2, 300, 0, 1000, false, 8, 0, 0},
                          {"folders left after the look", 10, 1, 0, 1000, true, 200, 0, 0},
                          {"sessions of one table among many names", 30, 2, 3000, 1, false, 300, 0, 0},
                          {"sessions of one table, one folder", 1, 2, 0, 1, false, 1, 0, 0},
                          {"sessions of one table, a folder of many files", 1, 1000, 0, 1, false, 12, 0, 0},
                          {"one-table sessions, more planted names than they try", 1, 2, 0, 1, false, 20, 0, 120},
                          {"folders of many files at the session's own names", 2, 300, 0, 1000, false, 8, 1, 0},
                          {"one-table sessions whose first name holds many files", 1, 300, 0, 1, false, 4, 1, 0},
                          // A try that spends a table's whole time: a small folder still goes at once.
                          {"sessions of one table on a slow disk, a small folder", 1, 4, 0, 1, false, 1, 0, 0, 1000}};
    const ClockOfTries clock;
    const std::string own = "KURA" + std::to_string(getpid()) + "-";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        ClockOfTries::cost = c.Cost;
        const TempDir tmp;
        const auto leaf = [&](int i) { return (c.Own ? own : "KURA2") + std::to_string(i) + (c.Own ? "" : "-0"); };
        auto leave = [&](int first) {
            for (int i = first; i < first + c.Folders; ++i) {
                ASSERT_EQ(mkdir(Native(tmp.file(leaf(i))).c_str(), 0700), 0);
                for (int f = 0; f < c.Files; ++f) Touch(tmp.file(leaf(i) + "/" + std::to_string(f)));
                Touch(tmp.file(leaf(i) + ".LCK"));
            }
        };
        std::optional<TWorkFolder> session;
        auto left = [&] {  // folders, and files in them, but the session's own
            std::pair<size_t, size_t> n;
            for (int i = 0; i < (c.LeftAgain ? 2 : 1) * c.Folders; ++i) {
                const std::string folder = Native(tmp.file(leaf(i)));
                if ((!session || !session->Path().ends_with("\\" + leaf(i) + "\\")) && std::filesystem::exists(folder))
                    n = {n.first + 1, n.second + FolderNames(folder).size()};
            }
            return n;
        };
        leave(0);
        for (int i = 0; i < c.Others; ++i) Touch(tmp.file(std::to_string(i)));
        // Not ours to clear: living programs' folders (held here as their programs
        // hold them), other users' (one without a lock file), links at a folder's and
        // at lock files' names. Only a superuser may give a name away; elsewhere a
        // folder that others may enter is as little its own to clear.
        std::vector<TOSHandle> living;
        std::vector<std::string> notOurs = {"KURA5-0"};
        for (int i = 0; i < 3; ++i) {
            const std::string alive = "KURA3" + std::to_string(i) + "-0", others = "KURA4" + std::to_string(i) + "-0";
            notOurs.insert(notOurs.end(), {alive, others});
            living.push_back(OSHoldFile(tmp.file(alive + ".LCK")));
            living.push_back(OSHoldPrivateFolder(tmp.file(alive), true));
            ASSERT_EQ(mkdir(Native(tmp.file(others)).c_str(), 0700), 0);
            for (const std::string& f : {alive + "/1.DAT", others + "/1.DAT", others + ".LCK"})
                if (i > 0 || f != others + ".LCK") Touch(tmp.file(f));
            for (const std::string& f : {others + "/1.DAT", others + ".LCK", others})
                if (chown(Native(tmp.file(f)).c_str(), 12345, 12345) != 0 && f == others)
                    chmod(Native(tmp.file(f)).c_str(), 0755);
        }
        ASSERT_EQ(mkdir(Native(tmp.file("mine")).c_str(), 0700), 0);
        Touch(tmp.file("mine/1.DAT"));
        std::filesystem::create_symlink(Native(tmp.file("mine")), Native(tmp.file("KURA5-0")));
        for (int i = 0; i < c.Planted; ++i) {
            notOurs.push_back("KURA6" + std::to_string(i) + "-0");
            std::filesystem::create_symlink(Native(tmp.file("nowhere")), Native(tmp.file(notOurs.back() + ".LCK")));
        }
        const auto crowd = [&] {
            std::vector<std::string> names = FolderNames(Native(tmp.path()));
            std::erase_if(names, [&](const std::string& n) { return n < "KURA3" || n > "KURA7" || n.find(own) == 0; });
            return names;
        };
        const std::vector<std::string> crowdBefore = crowd();
        // Tries of each name not ours to clear by the session, through its lock file.
        std::map<std::string, int> tries;
        const OpensThrough counting([&](const char* path, int flags, mode_t mode) {
            for (const std::string& n : notOurs)
                if (Native(tmp.file(n + ".LCK")) == path) ++tries[n];
            return platform::SystemFileCalls().open(path, flags, mode);
        });
        int tables = 0;
        for (auto before = left(); (before.first > 0 || (c.LeftAgain && tables <= 30)) && tables < c.MostTables;
             ++tables) {
            if (tables % c.TablesEach == 0) session.reset(), tries.clear(), session.emplace(tmp.path());
            session->Ready();
            const auto after = left();
            EXPECT_LE(before.first - after.first + before.second - after.second, 99u) << tables;
            for (const auto& [n, count] : tries) EXPECT_LE(count, 1) << n << " at " << tables;
            if (tables == 30 && c.LeftAgain) leave(c.Folders);
            before = left();
        }
        EXPECT_EQ(left().first, 0u) << "after " << tables << " tables";
        session.reset();
        for (size_t i = 0; i < 7; ++i)
            EXPECT_EQ(FolderNames(Native(tmp.file(notOurs[i]))), std::vector<std::string>{"1.DAT"});
        EXPECT_EQ(crowd(), crowdBefore);
        EXPECT_EQ(FolderNames(Native(tmp.file("mine"))), std::vector<std::string>{"1.DAT"});
        for (const TOSHandle handle : living) OSCloseFile(handle);
    }
}

}  // namespace
