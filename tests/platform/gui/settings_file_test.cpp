// The settings file is replaced whole or not at all: a reader that opened it before a
// write still reads the old settings to their end, and a write that cannot be finished
// (the file-size limit reached) leaves the old file and no scrap beside it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <tuple>
#include <iterator>
#include <string>

#include "platform/LastError.h"
#include "platform/gui/IniFile.h"
#include "tests/common/TestSupport.h"

namespace {

std::string Slurp(std::istream& in) { return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()}; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Slurp(in);
}

// Writes beyond limit bytes fail (EFBIG) while this lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        previousSignal_ = signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit lowered = previous_;
        lowered.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        signal(SIGXFSZ, previousSignal_);
    }

private:
    rlimit previous_{};
    void (*previousSignal_)(int) = nullptr;
};

TEST(SettingsFile, IsReplacedWholeOrNotAtAll) {
    kura::test::TempDir dir;
    const std::string path = dir.file("yomitora.INI");
    {
        gui::TIniFile ini(path);
        ini.WriteString("Fmain", "Left", "10");
        ini.WriteString("Sort", "Komoku1", "氏名");
        ini.UpdateFile();
    }
    const std::string first = ReadFile(path);
    ASSERT_NE(first.find("Left=10\r\n"), std::string::npos);

    // A reader with the file open across a write reads the settings it opened.
    std::ifstream reader(path, std::ios::binary);
    {
        gui::TIniFile ini(path);
        ini.WriteString("Fmain", "Left", "20");
        ini.WriteString("Fmain", "Width", std::string(200, '9'));
        ini.UpdateFile();
    }
    EXPECT_EQ(Slurp(reader), first);
    const std::string second = ReadFile(path);
    EXPECT_NE(second.find("Left=20\r\n"), std::string::npos);

    // A write that runs into the file-size limit fails and leaves the last settings.
    {
        gui::TIniFile ini(path);
        ini.WriteString("Fmain", "Width", std::string(8192, '7'));
        const FileSizeLimit limit(second.size() + 16);
        EXPECT_THROW(ini.UpdateFile(), gui::EIniFileError);
    }
    EXPECT_EQ(ReadFile(path), second);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    EXPECT_EQ(gui::TIniFile(path).ReadString("Sort", "Komoku1", ""), "氏名");

    // Nothing is written through a link: one (or a folder, or a FIFO, read or not, which
    // must not hold the write) at the temporary file's name refuses the write, naming it,
    // and is left as it is; one (or a FIFO, which no read waits on) at the settings file's
    // own name is neither read nor written but replaced, what it leads to left as it was.
    const kura::test::TempDir outside;
    const std::string target = outside.file("elsewhere"), temp = path + ".tmp";
    std::ofstream(target) << "[Outside]\r\nRead=1\r\n";
    auto update = [&](const char* left) {
        gui::TIniFile ini(path);
        ini.WriteString("Fmain", "Left", left);
        ini.UpdateFile();
    };
    const std::tuple<const char*, mode_t, uint32_t, bool> inTheWay[] = {  // what, its type, the error, a FIFO read
        {"a link", S_IFLNK, platform::ERROR_CANT_RESOLVE_FILENAME, false},
        {"a folder", S_IFDIR, platform::ERROR_DIRECTORY, false},
        {"a FIFO", S_IFIFO, platform::ERROR_ALREADY_EXISTS, false},
        {"a FIFO being read", S_IFIFO, platform::ERROR_ALREADY_EXISTS, true},
    };
    for (const auto& [what, type, error, read] : inTheWay) {
        SCOPED_TRACE(what);
        ASSERT_EQ(type == S_IFLNK   ? symlink(target.c_str(), temp.c_str())
                  : type == S_IFDIR ? mkdir(temp.c_str(), 0700) : mkfifo(temp.c_str(), 0600), 0);
        const int reader = read ? open(temp.c_str(), O_RDONLY | O_NONBLOCK) : 0;  // so that no open waits
        ASSERT_GE(reader, 0);
        try {
            update("30");
            ADD_FAILURE() << "written";
        } catch (const gui::EIniFileError& e) {
            EXPECT_EQ(e.Error, error) << e.what();
            EXPECT_EQ(e.File, temp) << e.what();
        }
        EXPECT_EQ(ReadFile(path), second);
        EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(temp)));
        if (read) close(reader);
        std::filesystem::remove(temp);
    }
    for (const bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "a FIFO at the settings file's name" : "a link at the settings file's name");
        std::filesystem::remove(path);
        ASSERT_EQ(fifo ? mkfifo(path.c_str(), 0600) : symlink(target.c_str(), path.c_str()), 0);
        // Read in a child whose run is limited: a read that waited on the FIFO would end it.
        const pid_t child = fork();
        if (child == 0) alarm(20), _exit(gui::TIniFile(path).ValueExists("Outside", "Read") ? 1 : 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        update("40");
        EXPECT_EQ(ReadFile(target), "[Outside]\r\nRead=1\r\n");
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path)));
        EXPECT_EQ(gui::TIniFile(path).ReadInteger("Fmain", "Left", 0), 40);
        EXPECT_FALSE(gui::TIniFile(path).ValueExists("Outside", "Read"));
    }
    // A folder at the settings file's name is named as what stands in the way.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    try {
        update("50");
        ADD_FAILURE() << "written";
    } catch (const gui::EIniFileError& e) {
        EXPECT_EQ(e.Error, platform::ERROR_DIRECTORY) << e.what();
        EXPECT_EQ(e.File, "") << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(temp));
}

}  // namespace
