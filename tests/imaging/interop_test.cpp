// Interoperability with ImageMagick and Pillow: BMP files we write in every pixel
// format decode to the same pixels in both, and the BMP files they write (bottom-up
// and top-down, with and without colour tables, RLE8) read back to the same pixels
// in ours. A test skips when its tool is not installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "imaging/PxDIB.h"
#include "imaging/PxDIBErrors.h"
#include "tests/common/TestSupport.h"
#include "tests/imaging/DIBTestSupport.h"

namespace imaging {
namespace {

using test::ColorAt;

bool Shell(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string ImageMagick()
{
    static const std::string tool = Shell("test -x /usr/bin/convert") ? "/usr/bin/convert"
                                    : Shell("command -v convert")    ? "convert"
                                                                   : "";
    return tool;
}

std::string PillowPython()
{
    for (const char* python : {"/usr/bin/python3", "python3"})
        if (Shell(std::string(python) + " -c 'import PIL'"))
            return python;
    return "";
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

constexpr int32_t kWidth = 61;  // odd, so rows need padding in every format
constexpr int32_t kHeight = 11;

// Four colours in blocks and stripes: exact in every palette format, compressible.
uint32_t SourceColor(int32_t x, int32_t y)
{
    static const uint32_t colours[4] = {0xFFFFFF, 0x000000, 0xC03020, 0x2050E0};
    return colours[(x / 6 + y / 3 + (x == y + 40 ? 1 : 0)) % 4];
}

// 24-bit picture of SourceColor.
void MakeSource(TPxDIB& dib)
{
    dib.SetBitCount(24);
    dib.SetWidth(kWidth);
    dib.SetHeight(kHeight);
    TPxDIBData& d = dib.Storage().Data;
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x) {
            const uint32_t c = SourceColor(x, y);
            uint8_t* p = d.Bits() + static_cast<uint64_t>(kHeight - 1 - y) * Stride(kWidth, 24) + 3 * x;
            p[0] = static_cast<uint8_t>(c), p[1] = static_cast<uint8_t>(c >> 8), p[2] = static_cast<uint8_t>(c >> 16);
        }
}

// Expected colour of (x, y) in the picture after conversion to `format`.
uint32_t Expected(TPxPixelFormat format, int32_t x, int32_t y)
{
    const uint32_t c = SourceColor(x, y);
    return format == pxpf1Bit ? (c == 0xFFFFFF ? 0xFFFFFF : 0) : c;
}

// Top-down raw RGB bytes from the tool, compared with the expected colours.
void ExpectPixels(const std::vector<uint8_t>& rgb, TPxPixelFormat format, const char* tool)
{
    ASSERT_EQ(rgb.size(), static_cast<size_t>(kWidth * kHeight * 3)) << tool;
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x) {
            const uint8_t* p = rgb.data() + 3 * (static_cast<size_t>(y) * kWidth + x);
            const uint32_t got = uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
            ASSERT_EQ(got, Expected(format, x, y)) << tool << " at " << x << "," << y;
        }
}

const TPxPixelFormat kWritten[] = {pxpf1Bit, pxpf4Bit, pxpf4BitRLE, pxpf8Bit, pxpf8BitRLE, pxpf24Bit};

std::string WriteOurs(const kura::test::TempDir& dir, TPxPixelFormat format)
{
    TPxDIB dib;
    MakeSource(dib);
    dib.SetPixelFormat(format);
    EXPECT_EQ(dib.GetPixelFormat(), format);
    const std::string path = dir.file("ours" + std::to_string(format) + ".bmp");
    dib.SaveToFile(path);
    return path;
}

TEST(Interop, ImageMagickDecodesEveryFormatWeWrite)
{
    const std::string convert = ImageMagick();
    if (convert.empty())
        GTEST_SKIP() << "ImageMagick is not installed";
    kura::test::TempDir dir;
    for (TPxPixelFormat format : kWritten) {
        SCOPED_TRACE(format);
        const std::string path = WriteOurs(dir, format);
        const std::string raw = dir.file("im.rgb");
        ASSERT_TRUE(Shell(convert + " " + path + " -depth 8 rgb:" + raw));
        ExpectPixels(ReadFile(raw), format, "ImageMagick");
    }
}

TEST(Interop, PillowDecodesEveryFormatWeWrite)
{
    const std::string python = PillowPython();
    if (python.empty())
        GTEST_SKIP() << "Pillow is not installed";
    kura::test::TempDir dir;
    for (TPxPixelFormat format : kWritten) {
        SCOPED_TRACE(format);
        const std::string path = WriteOurs(dir, format);
        const std::string raw = dir.file("pil.rgb");
        ASSERT_TRUE(Shell(python + " -c \"from PIL import Image; open('" + raw + "','wb').write(Image.open('" + path +
                        "').convert('RGB').tobytes())\""));
        ExpectPixels(ReadFile(raw), format, "Pillow");
    }
}

// The source picture as a binary PPM for the tools to start from.
std::string WritePPM(const kura::test::TempDir& dir)
{
    const std::string path = dir.file("source.ppm");
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << kWidth << " " << kHeight << "\n255\n";
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x) {
            const uint32_t c = SourceColor(x, y);
            out.put(static_cast<char>(c >> 16)).put(static_cast<char>(c >> 8)).put(static_cast<char>(c));
        }
    return path;
}

void ExpectOursRead(const std::string& path, TPxPixelFormat format, uint32_t compression, bool topDown)
{
    TPxDIB dib;
    dib.LoadFromFile(path);
    ASSERT_EQ(dib.GetWidth(), kWidth);
    ASSERT_EQ(dib.GetHeight(), kHeight);
    EXPECT_EQ(dib.Data().Header.biCompression, compression);
    EXPECT_EQ(dib.Data().Header.biHeight < 0, topDown);
    if (dib.GetPixelFormat() == pxpf8BitRLE || dib.GetPixelFormat() == pxpf4BitRLE)
        dib.SetPixelFormat(pxpf24Bit);
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x)
            ASSERT_EQ(test::ColorAt(dib.Data(), x, y), Expected(format, x, y)) << path << " at " << x << "," << y;
}

TEST(Interop, WeReadWhatImageMagickWrites)
{
    const std::string convert = ImageMagick();
    if (convert.empty())
        GTEST_SKIP() << "ImageMagick is not installed";
    kura::test::TempDir dir;
    const std::string ppm = WritePPM(dir);
    struct Case {
        const char* options;
        TPxPixelFormat format;
        uint32_t compression;
    } cases[] = {
        {"-type TrueColor BMP3:", pxpf24Bit, BI_RGB},              // no colour table
        {"-type Palette BMP3:", pxpf8Bit, BI_RGB},                 // colour table
        {"-type Palette -compress RLE BMP3:", pxpf8Bit, BI_RLE8},  // RLE8
        {"-threshold 99% -type Bilevel BMP3:", pxpf1Bit, BI_RGB},  // 1 bit
        {"-type TrueColor BMP:", pxpf24Bit, BI_RGB},               // the later header forms
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string path = dir.file("im" + std::to_string(n++) + ".bmp");
        ASSERT_TRUE(Shell(convert + " " + ppm + " " + c.options + path));
        ExpectOursRead(path, c.format, c.compression, false);
    }
}

TEST(Interop, WeReadWhatPillowWritesBottomUpAndTopDown)
{
    const std::string python = PillowPython();
    if (python.empty())
        GTEST_SKIP() << "Pillow is not installed";
    kura::test::TempDir dir;
    const std::string ppm = WritePPM(dir);
    // RGB (no table), P (8-bit table), 1 (1-bit); each also turned top-down by hand:
    // rows reversed behind the same headers and the height negated.
    const std::string script =
        "import struct,sys\n"
        "from PIL import Image\n"
        "src, out = sys.argv[1], sys.argv[2]\n"
        "im = Image.open(src)\n"
        "forms = {'rgb': im, 'p': im.quantize(4), 'bw': im.convert('L').point(lambda v: 255 if v == 255 else 0).convert('1')}\n"
        "for name, img in forms.items():\n"
        "    path = out + '/pil_' + name + '.bmp'\n"
        "    img.save(path)\n"
        "    data = bytearray(open(path, 'rb').read())\n"
        "    off = struct.unpack_from('<I', data, 10)[0]\n"
        "    w, h = struct.unpack_from('<ii', data, 18)\n"
        "    bits = struct.unpack_from('<H', data, 28)[0]\n"
        "    stride = ((w * bits + 31) // 32) * 4\n"
        "    rows = [data[off + i * stride: off + (i + 1) * stride] for i in range(h)]\n"
        "    struct.pack_into('<i', data, 22, -h)\n"
        "    data[off:off + h * stride] = b''.join(reversed(rows))\n"
        "    open(out + '/pil_' + name + '_td.bmp', 'wb').write(data)\n";
    const std::string scriptPath = dir.file("pil.py");
    std::ofstream(scriptPath) << script;
    ASSERT_TRUE(Shell(python + " " + scriptPath + " " + ppm + " " + dir.path()));
    struct Case {
        const char* name;
        TPxPixelFormat format;
    } cases[] = {{"rgb", pxpf24Bit}, {"p", pxpf8Bit}, {"bw", pxpf1Bit}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectOursRead(dir.file(std::string("pil_") + c.name + ".bmp"), c.format, BI_RGB, false);
        ExpectOursRead(dir.file(std::string("pil_") + c.name + "_td.bmp"), c.format, BI_RGB, true);
    }
}

// Random sizes (odd widths, one-pixel sides, top-down rows) in every format, decoded by
// both tools in one batch each: every pixel must match what our picture holds.
TEST(Interop, RandomPicturesDecodeAlikeInBothTools)
{
    const std::string convert = ImageMagick();
    const std::string python = PillowPython();
    if (convert.empty() || python.empty())
        GTEST_SKIP() << "ImageMagick or Pillow is not installed";
    kura::test::TempDir dir;
    std::mt19937 rng(99);
    auto colour = [&rng] { return static_cast<uint32_t>(rng() & 0xFFFFFF); };
    struct Written {
        std::string stem;
        std::vector<uint32_t> expected;  // top-down 0xRRGGBB
        int32_t width, height;
    };
    std::vector<Written> files;
    for (int picture = 0; picture < 10; ++picture) {
        const auto w = static_cast<int32_t>(1 + rng() % 45);
        const auto h = static_cast<int32_t>(1 + rng() % 20);
        const uint32_t palette[5] = {0xFFFFFF, 0x000000, colour(), colour(), colour()};
        TPxDIB source;
        source.SetBitCount(24);
        source.SetWidth(w);
        source.SetHeight(picture % 3 == 0 ? -h : h);
        TPxDIBData& d = source.Storage().Data;
        uint32_t run = palette[0];
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) {
                if (rng() % 6 == 0)
                    run = palette[rng() % 5];
                const int64_t stored = picture % 3 == 0 ? y : h - 1 - y;
                uint8_t* p = d.Bits() + static_cast<uint64_t>(stored) * Stride(w, 24) + 3 * x;
                p[0] = static_cast<uint8_t>(run), p[1] = static_cast<uint8_t>(run >> 8), p[2] = static_cast<uint8_t>(run >> 16);
            }
        for (TPxPixelFormat format : kWritten) {
            TPxDIB dib;
            dib.Assign(&source);
            try {
                dib.SetPixelFormat(format);
            } catch (const EPxDIBCompressionFailed&) {
                continue;  // too small or too noisy for RLE: an ordinary outcome
            }
            Written out{"r" + std::to_string(picture) + "_" + std::to_string(format), {}, w, h};
            TPxDIB flat;
            flat.Assign(&dib);
            if (format != pxpf24Bit)
                flat.SetPixelFormat(pxpf24Bit);
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x)
                    out.expected.push_back(ColorAt(flat.Data(), x, y));
            dib.SaveToFile(dir.file(out.stem + ".bmp"));
            files.push_back(std::move(out));
        }
    }
    ASSERT_GE(files.size(), 40u);  // RLE refuses only the smallest pictures
    ASSERT_TRUE(Shell("cd " + dir.path() + " && " + convert.substr(0, convert.rfind("convert")) +
                      "mogrify -depth 8 -format rgb *.bmp"));
    const std::string script = dir.file("batch.py");
    std::ofstream(script) << "import glob\nfrom PIL import Image\n"
                             "for f in glob.glob('" << dir.path() << "/*.bmp'):\n"
                             "    open(f[:-4] + '.pil', 'wb').write(Image.open(f).convert('RGB').tobytes())\n";
    ASSERT_TRUE(Shell(python + " " + script));
    for (const Written& f : files) {
        for (const char* ext : {".rgb", ".pil"}) {
            SCOPED_TRACE(f.stem + ext);
            const std::vector<uint8_t> rgb = ReadFile(dir.file(f.stem + ext));
            ASSERT_EQ(rgb.size(), f.expected.size() * 3);
            for (size_t i = 0; i < f.expected.size(); ++i)
                ASSERT_EQ(uint32_t{rgb[3 * i]} << 16 | uint32_t{rgb[3 * i + 1]} << 8 | rgb[3 * i + 2], f.expected[i])
                    << "pixel " << i % static_cast<size_t>(f.width) << "," << i / static_cast<size_t>(f.width);
        }
    }
}

}  // namespace
}  // namespace imaging
