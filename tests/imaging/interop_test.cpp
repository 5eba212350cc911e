// Interoperability with ImageMagick and Pillow: BMP files we write in every pixel
// format decode to the same pixels in both, and the BMP files they write (bottom-up
// and top-down, with and without colour tables, RLE8) read back to the same pixels
// in ours. A test skips when its tool is not installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "imaging/PxDIB.h"
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

}  // namespace
}  // namespace imaging
