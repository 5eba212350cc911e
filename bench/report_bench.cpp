// A 100-page report rendered into the preview cache (RLE page file) and printed to a
// 600 dpi PDF: milliseconds per page and bytes per page of each output.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>

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

}  // namespace
