// What a session's work folder makes of the temporary folder it finds: what programs
// that are gone left is cleared, what stands in the way of its names and is not
// its own is passed over and left, and nothing else is touched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
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

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

TEST(WorkFolder, ClearsWhatIsLeftAndPassesOverWhatIsNotItsOwn) {
    const TempDir tmp;
    const std::string own = "KURA" + std::to_string(getpid()) + "-";
    auto folder = [&](const std::string& name, mode_t mode, const std::vector<std::string>& files) {
        ASSERT_EQ(mkdir(tmp.file(name).c_str(), mode), 0);
        ASSERT_EQ(chmod(tmp.file(name).c_str(), mode), 0);
        for (const std::string& file : files) Touch(tmp.file(name) + "/" + file);
    };
    // Left by programs that are gone: a folder with its lock file, one without, a
    // lock file alone, a folder of this process's first name.
    folder("KURA11-0", 0700, {"113420.DAT", "113420.IDX"});
    Touch(tmp.file("KURA11-0.LCK"));
    folder("KURA12-3", 0700, {"1.DAT"});
    Touch(tmp.file("KURA13-0.LCK"));
    // In the way of this process's next names and not its own to clear: a folder
    // where its lock file would go, a folder that others may enter.
    folder(own + "0.LCK", 0700, {});
    folder(own + "1", 0755, {"kept.DAT"});
    // A link in a lost folder's place, which must not lead the clearing elsewhere.
    ASSERT_EQ(symlink(tmp.file(own + "1").c_str(), tmp.file("KURA14-0").c_str()), 0);
    const std::vector<std::string> others = {"123450.DAT", "KURA-1", "KURA1-x", "KURA.LCK", "kura1-0"};
    for (const std::string& name : others) Touch(tmp.file(name));
    {
        TWorkFolder first(tmp.path());
        EXPECT_EQ(first.Path(), tmp.path() + "\\" + own + "2\\");
        EXPECT_EQ(std::filesystem::status(tmp.file(own + "2")).permissions(), std::filesystem::perms::owner_all);
        Touch(tmp.file(own + "2/1.DAT"));
        // Another session's folder, and the first one's held folder stays.
        TWorkFolder second(tmp.path() + "/");
        EXPECT_EQ(second.Path(), tmp.path() + "/" + own + "3\\");
        {
            // A lock file whose name went between its open and its lock is taken again
            // under its name: a folder whose lock file no name leads to would be
            // cleared by the next program as left by one that is gone.
            std::string lost = tmp.file(own + "4.LCK");
            const OpensThrough losing([&](const char* path, int flags, mode_t mode) {
                const int fd = platform::SystemFileCalls().open(path, flags, mode);
                if (fd >= 0 && lost == path && unlink(path) == 0) lost.clear();
                return fd;
            });
            TWorkFolder third(tmp.path());
            EXPECT_TRUE(lost.empty()) << "the name was never opened";
            EXPECT_EQ(access(tmp.file(own + "4.LCK").c_str(), F_OK), 0);
            TWorkFolder::ClearAbandoned(tmp.path());
            EXPECT_EQ(access(tmp.file(own + "4").c_str(), F_OK), 0);
        }
        TWorkFolder::ClearAbandoned(tmp.path());
        EXPECT_EQ(FolderNames(tmp.file(own + "2")), std::vector<std::string>{"1.DAT"});
        EXPECT_EQ(FolderNames(tmp.file(own + "3")), std::vector<std::string>{});
    }
    std::vector<std::string> left = others;
    left.insert(left.end(), {own + "0.LCK", own + "1", "KURA14-0"});
    std::sort(left.begin(), left.end());
    EXPECT_EQ(FolderNames(tmp.path()), left);
    EXPECT_EQ(FolderNames(tmp.file(own + "1")), std::vector<std::string>{"kept.DAT"});
    // A folder that is not there is named as a folder.
    const Raised missing = RaisedBy([&] { TWorkFolder(tmp.file("none")); });
    EXPECT_EQ(missing.code, KURA_OSENOENT);
    EXPECT_EQ(missing.table, tmp.file("none") + "/");
}

}  // namespace
