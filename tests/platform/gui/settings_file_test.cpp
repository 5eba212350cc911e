// The settings file is replaced whole or not at all: a reader that opened it before a
// write still reads the old settings to their end, and a write that cannot be finished
// (the file-size limit reached) leaves the old file and no scrap beside it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

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
}

}  // namespace
