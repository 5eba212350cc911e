// An A4 page at 300 dpi (2480 x 3508, 24 bits) through each step the preview and the
// scanner take: colour reduction to 8 bits, halftoning to 1 bit, RLE8 encode and
// decode, BMP write and read; each beside ImageMagick doing the same step on the same
// page in the same run.
//
// ImageMagick runs as the convert program, one thread (-limit thread 1, as our code
// is single-threaded). Its time for a step is the time of the command that does the
// step minus the time of the same command without it (start-up, reading the page from
// its in-memory pixel cache file, writing nothing), each the best of a few runs. The
// counters give ours, ImageMagick's and the ratio ours / ImageMagick.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

#include "imaging/PxConvert.h"
#include "imaging/PxDIB.h"
#include "imaging/PxRLE.h"

namespace {

using imaging::TPxDIB;
using imaging::TPxDIBData;
using Clock = std::chrono::steady_clock;

constexpr int32_t kWidth = 2480;
constexpr int32_t kHeight = 3508;

// A printed form: white paper, black text lines and rules, a grey band, a few colour
// blocks (a stamp, a photograph's flat areas).
void MakePage(TPxDIB& dib)
{
    dib.SetBitCount(24);
    dib.SetWidth(kWidth);
    dib.SetHeight(kHeight);
    TPxDIBData& d = dib.Storage().Data;
    const uint64_t stride = imaging::Stride(kWidth, 24);
    uint32_t seed = 12345;
    for (int32_t y = 0; y < kHeight; ++y) {
        uint8_t* row = d.Bits() + static_cast<uint64_t>(kHeight - 1 - y) * stride;
        for (int32_t x = 0; x < kWidth; ++x) {
            uint32_t c = 0xFFFFFF;
            const bool textLine = (y / 40) % 2 == 1 && y % 40 < 28 && x > 200 && x < 2280;
            if (textLine) {
                seed = seed * 1103515245 + 12345;
                if ((x / 7 + y / 5) % 3 == 0 || (seed >> 16) % 9 == 0)
                    c = 0x000000;
            }
            if (y % 400 == 0 || x == 200 || x == 2280)
                c = 0x000000;
            if (y > 3000 && y < 3100)
                c = 0xC0C0C0;
            if (x > 1800 && x < 2100 && y > 300 && y < 600)
                c = ((x - 1800) * 255 / 300) << 16 | ((y - 300) * 255 / 300) << 8 | 0x40;  // photograph
            if (x > 300 && x < 500 && y > 3200 && y < 3400)
                c = 0xD02020;  // red stamp
            row[3 * x] = static_cast<uint8_t>(c), row[3 * x + 1] = static_cast<uint8_t>(c >> 8),
                    row[3 * x + 2] = static_cast<uint8_t>(c >> 16);
        }
    }
}

const TPxDIB& Page()
{
    static TPxDIB page;
    static bool made = false;
    if (!made) {
        imaging::DefaultUseFMO = true;
        MakePage(page);
        made = true;
    }
    return page;
}

std::string Tool()
{
    for (const char* c : {"/usr/bin/convert", "/usr/local/bin/convert"})
        if (std::filesystem::exists(c))
            return c;
    return "convert";
}

const std::filesystem::path& WorkDir()
{
    static const std::filesystem::path dir = [] {
        auto d = std::filesystem::temp_directory_path() / ("kura-imaging-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

// Seconds of the best of `runs` runs of a shell command; negative when it fails.
double TimeCommand(const std::string& command, int runs = 3)
{
    double best = -1;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
            return -1;
        const double s = std::chrono::duration<double>(Clock::now() - start).count();
        if (best < 0 || s < best)
            best = s;
    }
    return best;
}

// Files ImageMagick starts from: the page as a pixel cache, as a 24-bit BMP, as an
// 8-bit BMP (cache), as an RLE8 BMP, and a 1 x 1 BMP for the start-up alone.
struct Inputs {
    bool ready = false;
    std::string tool, mpc, bmp24, mpc8, rle8, tiny;
};

const Inputs& ToolInputs()
{
    static Inputs in = [] {
        Inputs i;
        i.tool = Tool() + " -limit thread 1 ";
        const auto& dir = WorkDir();
        i.bmp24 = (dir / "page24.bmp").string();
        TPxDIB page;
        page.Assign(&Page());
        page.SaveToFile(i.bmp24);
        TPxDIB eight;
        eight.Assign(&Page());
        eight.SetPixelFormat(imaging::pxpf8BitRLE);
        i.rle8 = (dir / "page8rle.bmp").string();
        eight.SaveToFile(i.rle8);
        i.tiny = (dir / "tiny.bmp").string();
        TPxDIB tiny;
        tiny.SaveToFile(i.tiny);
        i.mpc = (dir / "page.mpc").string();
        i.mpc8 = (dir / "page8.mpc").string();
        i.ready = std::system((i.tool + i.bmp24 + " " + i.mpc + " >/dev/null 2>&1").c_str()) == 0 &&
                  std::system((i.tool + i.rle8 + " " + i.mpc8 + " >/dev/null 2>&1").c_str()) == 0;
        return i;
    }();
    return in;
}

// ImageMagick's seconds for a step: `with` minus `without`, both command tails.
double ToolSeconds(const std::string& with, const std::string& without)
{
    static std::map<std::string, double> cache;
    const std::string key = with + "|" + without;
    auto it = cache.find(key);
    if (it != cache.end())
        return it->second;
    const Inputs& in = ToolInputs();
    double s = -1;
    if (in.ready) {
        const double a = TimeCommand(in.tool + with);
        const double b = TimeCommand(in.tool + without);
        if (a >= 0 && b >= 0)
            s = a - b;
    }
    return cache[key] = s;
}

void Report(benchmark::State& state, double oursSeconds, int64_t count, double toolSeconds)
{
    const double ours = oursSeconds / static_cast<double>(count);
    state.counters["ours_ms"] = ours * 1e3;
    if (toolSeconds > 0) {
        state.counters["imagemagick_ms"] = toolSeconds * 1e3;
        state.counters["ratio"] = ours / toolSeconds;
    } else {
        state.SetLabel("ImageMagick not available");
    }
}

template <typename Setup, typename Step>
void Measure(benchmark::State& state, Setup setup, Step step, double toolSeconds)
{
    double seconds = 0;
    int64_t count = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto input = setup();
        state.ResumeTiming();
        const auto start = Clock::now();
        step(input);
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        ++count;
    }
    Report(state, seconds, count, toolSeconds);
}

// state.range(0): the reduction, crLow (a 5-6-5 histogram) or crHigh (every pixel).
void ReduceTo8Bit(benchmark::State& state)
{
    const Inputs& in = ToolInputs();
    const auto reduction = static_cast<imaging::TPxColorReduction>(state.range(0));
    Measure(
        state,
        [reduction] {
            auto dib = std::make_unique<TPxDIB>();
            dib->Assign(&Page());
            dib->ColorReduction = reduction;
            return dib;
        },
        [](std::unique_ptr<TPxDIB>& dib) { dib->SetPixelFormat(imaging::pxpf8Bit); },
        ToolSeconds(in.mpc + " +dither -colors 256 null:", in.mpc + " null:"));
}

void HalftoneTo1Bit(benchmark::State& state)
{
    const Inputs& in = ToolInputs();
    Measure(
        state,
        [] {
            auto dib = std::make_unique<TPxDIB>();
            dib->Assign(&Page());
            return dib;
        },
        [](std::unique_ptr<TPxDIB>& dib) { dib->SetPixelFormat(imaging::pxpfHalftoneBW); },
        ToolSeconds(in.mpc + " -dither FloydSteinberg -monochrome null:", in.mpc + " null:"));
}

const TPxDIBData& EightBitPage()
{
    static TPxDIB eight;
    static bool made = false;
    if (!made) {
        eight.Assign(&Page());
        eight.SetPixelFormat(imaging::pxpf8Bit);
        made = true;
    }
    return eight.Data();
}

void RLE8Encode(benchmark::State& state)
{
    const Inputs& in = ToolInputs();
    const TPxDIBData& source = EightBitPage();
    Measure(
        state, [] { return TPxDIBData(); },
        [&](TPxDIBData& dest) { imaging::Convert8BitRGBTo8BitRLE(source, dest, true); },
        ToolSeconds(in.mpc8 + " -compress RLE BMP3:" + (WorkDir() / "im_rle8.bmp").string(), in.mpc8 + " null:"));
}

void RLE8Decode(benchmark::State& state)
{
    const Inputs& in = ToolInputs();
    static TPxDIBData packed;
    if (packed.Bits() == nullptr)
        imaging::Convert8BitRGBTo8BitRLE(EightBitPage(), packed, true);
    Measure(
        state, [] { return TPxDIBData(); },
        [&](TPxDIBData& dest) { imaging::Convert8BitRLETo8BitRGB(packed, dest, true); },
        ToolSeconds(in.rle8 + " null:", in.tiny + " null:"));
}

void BMPWrite(benchmark::State& state)
{
    const Inputs& in = ToolInputs();
    Measure(
        state, [] { return std::make_unique<imaging::TPxMemoryStream>(); },
        [](std::unique_ptr<imaging::TPxMemoryStream>& stream) { const_cast<TPxDIB&>(Page()).SaveToStream(*stream); },
        ToolSeconds(in.mpc + " BMP3:" + (WorkDir() / "im_page.bmp").string(), in.mpc + " null:"));
}

void BMPRead(benchmark::State& state)
{
    const Inputs& in = ToolInputs();
    static imaging::TPxMemoryStream file;
    if (file.Bytes().empty())
        const_cast<TPxDIB&>(Page()).SaveToStream(file);
    Measure(
        state,
        [] {
            file.Seek(0, imaging::TSeekOrigin::Beginning);
            return std::make_unique<TPxDIB>();
        },
        [](std::unique_ptr<TPxDIB>& dib) { dib->LoadFromStream(file); },
        ToolSeconds(in.bmp24 + " null:", in.tiny + " null:"));
}

BENCHMARK(ReduceTo8Bit)->Arg(imaging::crLow)->Arg(imaging::crHigh)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(HalftoneTo1Bit)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(RLE8Encode)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(RLE8Decode)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BMPWrite)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BMPRead)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
