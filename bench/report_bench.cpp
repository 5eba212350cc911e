// A 100-page report rendered into the preview cache (RLE page file) and printed to a
// 600 dpi PDF: milliseconds per page and bytes per page of each output. Beside them, the
// step a user could hand to another tool: storing ten rendered sheets as 8-bit RLE BMP
// files, ours through the bitmap library and ImageMagick's convert (one thread, its
// start-up and reading taken off by a run that only reads), with the ratio ours / theirs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "report/PageFile.h"

#include "tests/report/SampleReport.h"

namespace {

using namespace report_test;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kPages = 100;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void BM_PreviewCache(benchmark::State& state) {
    App();
    const std::string dir = FreshTempDir("bench_preview");
    double bytes = 0, ms = 0;
    for (auto _ : state) {
        SampleReport report(kPages);
        report.PrintPrepare();
        const auto start = Clock::now();
        report.LRPreviewControl1.Start(report.Image());
        for (int page = 0; page < kPages; ++page) report.LRPreviewControl1.RenderPage();
        ms += Ms(Clock::now() - start);
        bytes = static_cast<double>(fs::file_size(report.LRPreviewControl1.FileName()));
    }
    state.counters["ms_per_page"] = ms / (static_cast<double>(state.iterations()) * kPages);
    state.counters["file_bytes_per_page"] = bytes / kPages;
    fs::remove_all(dir);
}
BENCHMARK(BM_PreviewCache)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_PrintPdf600(benchmark::State& state) {
    App();
    const std::string dir = FreshTempDir("bench_print");
    double bytes = 0, ms = 0;
    for (auto _ : state) {
        SampleReport report(kPages);
        report.QuietPrint = true;
        platform::TPrinter printer;
        printer.SetOutputFileName(dir + "/report.pdf");
        printer.SetResolution(600);
        report.LightRep1->SetPrinter(&printer);
        const auto start = Clock::now();
        report.Print();
        ms += Ms(Clock::now() - start);
        bytes = static_cast<double>(fs::file_size(dir + "/report.pdf"));
    }
    state.counters["ms_per_page"] = ms / (static_cast<double>(state.iterations()) * kPages);
    state.counters["pdf_bytes_per_page"] = bytes / kPages;
    fs::remove_all(dir);
}
BENCHMARK(BM_PrintPdf600)->Unit(benchmark::kMillisecond)->Iterations(3);

double TimeCommand(const std::string& command) {
    const auto start = Clock::now();
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) return -1;
    return Ms(Clock::now() - start);
}

void BM_StoreSheetsBesideImageMagick(benchmark::State& state) {
    App();
    const std::string dir = FreshTempDir("bench_store");
    constexpr int kSheets = 10;
    std::vector<QImage> sheets;
    {
        SampleReport report(kSheets);
        report.PrintPrepare();
        for (int i = 0; i < kSheets; ++i) {
            platform::TBitmap page(794, 1123, platform::TPixelFormat::pf8bit);
            report.LightRep1->DrawPreviewPage(page.Canvas());
            sheets.push_back(page.Image().convertToFormat(QImage::Format_RGB888));
            sheets.back().save(QString::fromStdString(dir + "/p" + std::to_string(i) + ".bmp"), "BMP");
        }
    }
    double ms = 0, bytes = 0;
    for (auto _ : state) {
        const std::string file = dir + "/ours.tmp";
        {
            report::PageFile pages(file);
            const auto start = Clock::now();
            for (const QImage& sheet : sheets) {
                platform::TBitmap bitmap(1, 1, platform::TPixelFormat::pf8bit);
                bitmap.Assign(sheet);
                pages.Append(bitmap);
            }
            ms += Ms(Clock::now() - start);
        }
        bytes = static_cast<double>(fs::file_size(file));
    }
    const double ours = ms / (static_cast<double>(state.iterations()) * kSheets);
    state.counters["ours_ms_per_sheet"] = ours;
    state.counters["ours_bytes_per_sheet"] = bytes / kSheets;
    const std::string inputs = dir + "/p%d.bmp[0-" + std::to_string(kSheets - 1) + "]";
    const std::string tool = "convert -limit thread 1 '" + inputs + "' ";
    const double with = TimeCommand(tool + "-type Palette -compress RLE '" + dir + "/im%d.bmp'");
    const double without = TimeCommand(tool + "null:");
    if (with > 0 && without >= 0 && fs::exists(dir + "/im0.bmp")) {
        double theirBytes = 0;
        for (int i = 0; i < kSheets; ++i) theirBytes += static_cast<double>(fs::file_size(dir + "/im" + std::to_string(i) + ".bmp"));
        const double theirs = (with - without) / kSheets;
        state.counters["imagemagick_ms_per_sheet"] = theirs;
        state.counters["imagemagick_bytes_per_sheet"] = theirBytes / kSheets;
        state.counters["ratio"] = ours / theirs;
    } else {
        state.SetLabel("ImageMagick not available");
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_StoreSheetsBesideImageMagick)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
