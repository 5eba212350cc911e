#pragma once
// Shared by the report tests: a headless Qt application, a private temporary folder,
// a data set over a list of rows, and helpers that read PDF files through poppler.
#include <QApplication>
#include <QImage>
#include <QImageReader>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "platform/gui/Application.h"
#include "report/DataSource.h"

namespace report_test {

inline std::string Sjis(const char* utf8) { return platform::Utf8ToCp932(utf8); }

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "report_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        QImageReader::setAllocationLimit(1024);  // whole pages at 600 dpi
        auto* made = new QApplication(argc, argv);
        std::atexit(gui::EndWorkerThreads);  // the program's application object does so
        return made;
    }();
    return *app;
}

// A fresh folder under the build's temporary folder, made TMPDIR for the test.
inline std::string FreshTempDir(const std::string& name) {
    namespace fs = std::filesystem;
    static const fs::path base = fs::temp_directory_path();  // before TMPDIR points at a test's folder
    const fs::path dir = base / ("kura_report_" + name + "_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    setenv("TMPDIR", dir.c_str(), 1);
    return dir.string();
}

// Rows are indexes 0 .. count - 1; the report reads the current one.
class RowDataSet : public report::TReportDataSet {
public:
    explicit RowDataSet(int count) : count_(count) {}
    bool Active() const override { return active_; }
    void Open() override { active_ = true; }
    bool Filtered() const override { return filtered_; }
    bool FindFirst() override {
        row_ = 0;
        return count_ > 0;
    }
    void First() override { row_ = 0; }
    void Next() override {
        if (row_ < count_) ++row_;
    }
    bool Eof() const override { return row_ >= count_; }
    int Row() const { return row_; }
    void SetCount(int count) { count_ = count; }
    bool filtered_ = false;

private:
    int count_;
    int row_ = 0;
    bool active_ = false;
};

inline std::string RunCommand(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

// The value after "key:" in pdfinfo's output.
inline std::string PdfInfo(const std::string& pdf, const std::string& key) {
    const std::string info = RunCommand("pdfinfo '" + pdf + "' 2>/dev/null");
    const size_t at = info.find(key + ":");
    if (at == std::string::npos) return {};
    size_t start = info.find_first_not_of(' ', at + key.size() + 1);
    return info.substr(start, info.find('\n', start) - start);
}

// One page region rasterised by pdftoppm in grey at dpi.
inline QImage PdfRegion(const std::string& pdf, int page, int dpi, int x, int y, int w, int h) {
    const std::string base = pdf + ".region";
    const std::string cmd = "pdftoppm -gray -r " + std::to_string(dpi) + " -f " + std::to_string(page) + " -l " +
                            std::to_string(page) + " -x " + std::to_string(x) + " -y " + std::to_string(y) +
                            " -W " + std::to_string(w) + " -H " + std::to_string(h) + " -singlefile '" + pdf +
                            "' '" + base + "'";
    RunCommand(cmd);
    QImage image(QString::fromStdString(base + ".pgm"));
    std::filesystem::remove(base + ".pgm");
    return image;
}

// The ink (pixels darker than mid grey) inside a region: left, top, right, bottom
// (exclusive), or all -1 when there is none.
struct Ink {
    int left = -1, top = -1, right = -1, bottom = -1;
    bool Empty() const { return left < 0; }
};

inline Ink FindInk(const QImage& image, int x0, int y0, int w, int h) {
    Ink ink;
    for (int y = std::max(0, y0); y < std::min(image.height(), y0 + h); ++y)
        for (int x = std::max(0, x0); x < std::min(image.width(), x0 + w); ++x) {
            if (qGray(image.pixel(x, y)) >= 128) continue;
            if (ink.Empty()) {
                ink = {x, y, x + 1, y + 1};
            } else {
                ink.left = std::min(ink.left, x);
                ink.top = std::min(ink.top, y);
                ink.right = std::max(ink.right, x + 1);
                ink.bottom = std::max(ink.bottom, y + 1);
            }
        }
    return ink;
}

}  // namespace report_test
