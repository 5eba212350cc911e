// Pixel-format conversions, halftones and colour reduction: golden values of known
// pictures, and the chain that TPxDIB.SetPixelFormat runs.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "imaging/PxConvert.h"
#include "imaging/PxDIB.h"
#include "imaging/PxDIBErrors.h"
#include "tests/imaging/DIBTestSupport.h"

namespace imaging {
namespace {

using test::ColorAt;
using test::MakeRecord;
using test::PixelAt;

TPxDIBData Uniform24(int32_t width, int32_t height, uint32_t rgb)
{
    return MakeRecord(24, width, std::vector<std::vector<uint32_t>>(static_cast<size_t>(height),
                                                                    std::vector<uint32_t>(static_cast<size_t>(width), rgb)));
}

int CountSetBits(const TPxDIBData& d)
{
    int n = 0;
    for (int32_t y = 0; y < static_cast<int32_t>(AbsHeight(d.Header.biHeight)); ++y)
        for (int32_t x = 0; x < d.Header.biWidth; ++x)
            n += static_cast<int>(PixelAt(d, x, y));
    return n;
}

TEST(Halftone, BlackAndWhiteOfKnownGreys)
{
    const int32_t w = 40, h = 30;
    TPxDIBData out;
    ConvertToHalfToneBW(Uniform24(w, h, 0x000000), out, false);
    EXPECT_EQ(CountSetBits(out), 0);
    EXPECT_EQ(out.Header.biClrUsed, 2u);
    EXPECT_EQ(out.Colors[1], (TRGBQuad{255, 255, 255, 0}));
    ConvertToHalfToneBW(Uniform24(w, h, 0xFFFFFF), out, false);
    EXPECT_EQ(CountSetBits(out), w * h);
    ConvertToHalfToneBW(Uniform24(w, h, 0x808080), out, false);
    EXPECT_NEAR(CountSetBits(out), w * h / 2, w * h / 20);
    // The first pixel of mid-grey meets no error: 384 goes white; its error 127 x 12 / 32
    // = 47 takes the next one to 81 x 3 = 243, black.
    EXPECT_EQ(PixelAt(out, 0, h - 1), 1u);
    EXPECT_EQ(PixelAt(out, 1, h - 1), 0u);
}

TEST(Halftone, PureColoursLandOnTheirPaletteEntries)
{
    struct Case {
        uint32_t rgb;
        uint32_t index;
    } cases[] = {
        {0xFF0000, (5 * 7 + 0) * 5 + 0},  // 175
        {0x00FF00, (0 * 7 + 6) * 5 + 0},
        {0x0000FF, 4},
        {0xFFFFFF, (5 * 7 + 6) * 5 + 4},  // 209
        {0x000000, 0},
        {0x3366CC, (1 * 7 + 2) * 5 + 3},  // 51 and 102 exact, blue 204 -> level 192 with error
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rgb);
        TPxDIBData out;
        ConvertToHalfTone(Uniform24(9, 5, c.rgb), out, false);
        EXPECT_EQ(out.Header.biBitCount, 8);
        EXPECT_EQ(out.Header.biClrUsed, 215u);
        EXPECT_EQ(PixelAt(out, 0, 4), c.index);  // the first pixel meets no error
        if (c.rgb != 0x3366CC) {
            for (int32_t y = 0; y < 5; ++y)
                for (int32_t x = 0; x < 9; ++x)
                    ASSERT_EQ(PixelAt(out, x, y), c.index);
        }
    }
    const auto& palette = HalftonePalette();
    EXPECT_EQ(palette[175], (TRGBQuad{0, 0, 255, 0}));
    EXPECT_EQ(palette[(3 * 7 + 4) * 5 + 2], (TRGBQuad{128, 171, 153, 0}));
    EXPECT_EQ(palette[210], (TRGBQuad{0, 0, 128, 0}));
    EXPECT_EQ(palette[213], (TRGBQuad{192, 192, 192, 0}));
}

TEST(Halftone, ExtremeCheckerboardsStayInsideTheTablesAtTheEdges)
{
    // Alternating black and white columns drive the errors to their largest; every
    // output pixel must be a palette index and nothing may read outside the rows.
    std::vector<std::vector<uint32_t>> rows(7, std::vector<uint32_t>(13));
    for (size_t y = 0; y < rows.size(); ++y)
        for (size_t x = 0; x < rows[y].size(); ++x)
            rows[y][x] = (x + y) % 2 ? 0xFFFFFF : 0x000000;
    TPxDIBData out;
    ConvertToHalfTone(MakeRecord(24, 13, rows), out, false);
    for (int32_t y = 0; y < 7; ++y)
        for (int32_t x = 0; x < 13; ++x)
            EXPECT_LT(PixelAt(out, x, y), 215u);
    ConvertToHalfToneBW(MakeRecord(24, 1, {{0xFFFFFF}}), out, false);
    EXPECT_EQ(PixelAt(out, 0, 0), 1u);
}

TEST(Conversions, ToOneBitMatchesOnlyTheMonochromeColour)
{
    TPxDIBData source = MakeRecord(24, 3, {{0xFFFFFF, 0xFEFFFF, 0x123456}});
    TPxDIBData out;
    ConvertTrueColorTo1BitRGB(source, out, TRGBColor{255, 255, 255}, false);
    EXPECT_EQ(PixelAt(out, 0, 0), 1u);
    EXPECT_EQ(PixelAt(out, 1, 0), 0u);  // (254, 255, 255) is not white
    EXPECT_EQ(PixelAt(out, 2, 0), 0u);
    ConvertTrueColorTo1BitRGB(source, out, TRGBColor{0x12, 0x34, 0x56}, false);
    EXPECT_EQ(PixelAt(out, 2, 0), 1u);
    EXPECT_THROW(ConvertTrueColorTo1BitRGB(MakeRecord(8, 1, {{0}}), out, {}, false), EPxDIBBadDIBType);
}

TEST(Conversions, ExpansionsKeepIndicesAndTheColourTable)
{
    TPxDIBData one = MakeRecord(1, 9, {{1, 0, 1, 1, 0, 0, 1, 0, 1}});
    TPxDIBData four, eight, full;
    Convert1BitRGBTo4BitRGB(one, four, false);
    Convert4BitRGBTo8BitRGB(four, eight, false);
    Convert8BitRGBToTrueColor(eight, full, false);
    EXPECT_EQ(eight.Header.biClrUsed, 2u);
    EXPECT_EQ(full.Header.biClrUsed, 2u);  // the 24-bit picture keeps the old table
    for (int32_t x = 0; x < 9; ++x) {
        EXPECT_EQ(PixelAt(four, x, 0), PixelAt(one, x, 0));
        EXPECT_EQ(PixelAt(eight, x, 0), PixelAt(one, x, 0));
        EXPECT_EQ(ColorAt(full, x, 0), ColorAt(one, x, 0));
    }
    EXPECT_THROW(Convert4BitRGBTo8BitRGB(one, eight, false), EPxDIBBadDIBType);
}

TEST(ColourReduction, OneColourGivesOneEntryAndAllProgressSteps)
{
    int steps = 0;
    TPxDIBData out;
    ConvertTrueColorTo8BitRGBLow(Uniform24(7, 3, 0x336699), out, false, [&] { ++steps; });
    EXPECT_EQ(steps, 256);
    EXPECT_EQ(out.Header.biClrUsed, 1u);
    EXPECT_EQ(ColorAt(out, 3, 1), 0x336699u);
    steps = 0;
    ConvertTrueColorTo4BitRGBHigh(Uniform24(7, 3, 0x336699), out, false, [&] { ++steps; });
    EXPECT_EQ(steps, 16);
    EXPECT_EQ(out.Header.biClrUsed, 1u);
    EXPECT_EQ(ColorAt(out, 6, 2), 0x336699u);
}

TEST(ColourReduction, BlackAndWhiteSplitOnGreenWithWhiteFirst)
{
    TPxDIBData out;
    ConvertTrueColorTo8BitRGBHigh(MakeRecord(24, 2, {{0x000000, 0xFFFFFF}, {0xFFFFFF, 0x000000}}), out, false, {});
    ASSERT_EQ(out.Header.biClrUsed, 2u);
    EXPECT_EQ(out.Colors[0], (TRGBQuad{255, 255, 255, 0}));
    EXPECT_EQ(out.Colors[1], (TRGBQuad{0, 0, 0, 0}));
    EXPECT_EQ(PixelAt(out, 0, 0), 1u);
    EXPECT_EQ(PixelAt(out, 1, 0), 0u);
}

TEST(ColourReduction, LowSharesACellWhereHighSplitsAtTheMean)
{
    const TPxDIBData source = MakeRecord(24, 2, {{0x080000, 0x0F0000}});
    TPxDIBData low, high;
    ConvertTrueColorTo8BitRGBLow(source, low, false, {});
    ASSERT_EQ(low.Header.biClrUsed, 1u);
    EXPECT_EQ(ColorAt(low, 0, 0), 0x0B0000u);  // (0 + 7) div 2 + 8 = 11
    ConvertTrueColorTo8BitRGBHigh(source, high, false, {});
    ASSERT_EQ(high.Header.biClrUsed, 2u);
    EXPECT_EQ(ColorAt(high, 0, 0), 0x080000u);
    EXPECT_EQ(ColorAt(high, 1, 0), 0x0F0000u);
}

TEST(ColourReduction, LeafMeansRoundHalvesToEven)
{
    // Sixteen greens take all four splits of a 4-bit cut, so each leaf keeps two reds.
    for (const auto& [low, expected] : {std::pair<uint32_t, uint32_t>{2, 2}, {3, 4}}) {
        std::vector<uint32_t> row;
        for (uint32_t k = 0; k < 16; ++k) {
            row.push_back(low << 16 | (k * 16) << 8);
            row.push_back((low + 1) << 16 | (k * 16) << 8);
        }
        TPxDIBData out;
        ConvertTrueColorTo4BitRGBHigh(MakeRecord(24, 32, {row}), out, false, {});
        ASSERT_EQ(out.Header.biClrUsed, 16u);
        for (uint32_t i = 0; i < 16; ++i)
            EXPECT_EQ(out.Colors[i].rgbRed, expected) << "mean " << low << ".5";
    }
}

TEST(ColourReduction, EightToFourUsesOnlyColoursInUse)
{
    std::vector<std::vector<uint32_t>> rows(4, std::vector<uint32_t>(10));
    for (size_t y = 0; y < 4; ++y)
        for (size_t x = 0; x < 10; ++x)
            rows[y][x] = static_cast<uint32_t>(x * 20);  // 10 of the 256 entries
    TPxDIBData source = MakeRecord(8, 10, rows);
    for (int i = 0; i < 256; ++i)
        source.Colors[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i / 2), 0};
    TPxDIBData out;
    int steps = 0;
    Convert8BitRGBTo4BitRGB(source, out, false, [&] { ++steps; });
    EXPECT_EQ(steps, 16);
    EXPECT_LE(out.Header.biClrUsed, 10u);
    EXPECT_EQ(out.Header.biBitCount, 4);
    for (size_t x = 0; x < 10; ++x)
        EXPECT_EQ(ColorAt(out, static_cast<int32_t>(x), 0), ColorAt(source, static_cast<int32_t>(x), 0));
}

// Random pictures: no reduction may give more entries than distinct colours, every
// index must point into the palette, and few colours come back exactly.
TEST(ColourReduction, RandomPicturesNeverExceedTheirColours)
{
    std::mt19937 rng(5);
    for (int round = 0; round < 30; ++round) {
        const auto w = static_cast<int32_t>(1 + rng() % 40), h = static_cast<int32_t>(1 + rng() % 20);
        const size_t colours = 1 + rng() % 12;
        std::vector<uint32_t> palette(colours);
        for (auto& c : palette)
            c = rng() & 0xFFFFFF;
        std::vector<std::vector<uint32_t>> rows(static_cast<size_t>(h), std::vector<uint32_t>(static_cast<size_t>(w)));
        std::set<uint32_t> used;
        for (auto& row : rows)
            for (auto& p : row)
                used.insert(p = palette[rng() % colours]);
        const TPxDIBData source = MakeRecord(24, w, rows);
        for (int variant = 0; variant < 4; ++variant) {
            TPxDIBData out;
            const int bits = variant % 2 ? 4 : 8;
            if (variant == 0) ConvertTrueColorTo8BitRGBLow(source, out, false, {});
            if (variant == 1) ConvertTrueColorTo4BitRGBLow(source, out, false, {});
            if (variant == 2) ConvertTrueColorTo8BitRGBHigh(source, out, false, {});
            if (variant == 3) ConvertTrueColorTo4BitRGBHigh(source, out, false, {});
            EXPECT_EQ(out.Header.biBitCount, bits);
            EXPECT_LE(out.Header.biClrUsed, used.size());
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x) {
                    ASSERT_LT(PixelAt(out, x, y), out.Header.biClrUsed);
                    if (variant == 2 && used.size() <= 16) {  // exact colours with crHigh
                        ASSERT_EQ(ColorAt(out, x, y), rows[static_cast<size_t>(y)][static_cast<size_t>(x)]);
                    }
                }
        }
    }
}

}  // namespace
}  // namespace imaging
