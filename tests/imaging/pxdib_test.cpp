// TPxDIB: shared storage and copy on write, the size setters, palettes, progress
// events, and SetPixelFormat's whole table of conversions.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>

#include "imaging/PxDIB.h"
#include "imaging/PxDIBErrors.h"
#include "tests/imaging/DIBTestSupport.h"

namespace imaging {
namespace {

using test::ColorAt;
using test::PixelAt;

// A picture of `format` with a few colours in blocks (compressible, so RLE fits).
void Fill(TPxDIB& dib, int32_t width, int32_t height)
{
    dib.SetBitCount(24);
    dib.SetWidth(width);
    dib.SetHeight(height);
    TPxDIBData& d = dib.Storage().Data;
    const uint32_t colours[4] = {0xFFFFFF, 0x000000, 0xFF0000, 0x0000FF};
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t c = colours[(x / 8 + y / 4) % 4];
            uint8_t* p = d.Bits() + static_cast<uint64_t>(y) * Stride(width, 24) + 3 * static_cast<uint64_t>(x);
            p[0] = static_cast<uint8_t>(c), p[1] = static_cast<uint8_t>(c >> 8), p[2] = static_cast<uint8_t>(c >> 16);
        }
}

TEST(PxDIB, NewPictureIsOnePixelOfEightBitsWithBlackColours)
{
    TPxDIB dib;
    EXPECT_EQ(dib.GetWidth(), 1);
    EXPECT_EQ(dib.GetHeight(), 1);
    EXPECT_EQ(dib.GetPixelFormat(), pxpf8Bit);
    EXPECT_EQ(dib.Data().Header.biClrUsed, 256u);
    EXPECT_TRUE(dib.GetUseFMO());
    EXPECT_NE(dib.Data().MappingHandle(), 0);
    EXPECT_FALSE(dib.GetEmpty());
}

TEST(PxDIB, SharedStorageIsCopiedBeforeAChange)
{
    TPxDIB a, b;
    Fill(a, 32, 16);
    b.Assign(&a);
    EXPECT_EQ(&a.Storage(), &b.Storage());
    EXPECT_EQ(a.Storage().RefCount, 2);
    b.SetPixelFormat(pxpf8BitRLE);
    EXPECT_NE(&a.Storage(), &b.Storage());
    EXPECT_EQ(a.Storage().RefCount, 1);
    EXPECT_EQ(b.Storage().RefCount, 1);
    EXPECT_EQ(a.GetPixelFormat(), pxpf24Bit);
    EXPECT_EQ(b.GetPixelFormat(), pxpf8BitRLE);
    b.Assign(nullptr);
    EXPECT_EQ(b.GetWidth(), 1);
    EXPECT_EQ(a.GetWidth(), 32);
}

TEST(PxDIB, SettersDiscardThePictureOnlyWhenTheValueChanges)
{
    TPxDIB dib;
    Fill(dib, 8, 4);
    int changes = 0;
    dib.OnChange = [&](TPxGraphic&) { ++changes; };
    dib.SetWidth(8);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(ColorAt(dib.Data(), 0, 0), 0xFFFFFFu);
    dib.SetWidth(9);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(dib.GetBitCount(), 24);
    EXPECT_EQ(ColorAt(dib.Data(), 0, 0), 0u);
    dib.SetHeight(-10);
    EXPECT_EQ(dib.Data().Header.biHeight, -10);
    EXPECT_EQ(dib.GetHeight(), 10);
    dib.SetPixelFormat(pxpf24Bit);
    EXPECT_EQ(changes, 2);
    EXPECT_THROW(dib.SetWidth(0), EPxDIBInvalidDIBPara);
    EXPECT_THROW(dib.SetHeight(0), EPxDIBInvalidDIBPara);
    EXPECT_THROW(dib.SetBitCount(16), EPxDIBInvalidDIBPara);
    dib.SetBitCount(4);
    EXPECT_EQ(dib.Data().Header.biClrUsed, 16u);
}

TEST(PxDIB, PalettesComeFromTheColourTableOrTheHalftoneMode)
{
    TPxDIB dib;
    dib.SetBitCount(1);
    auto p = dib.GetPalette();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->size(), 2u);
    EXPECT_EQ(dib.GetPalette(), p);  // cached
    dib.SetPalette(platform::gdi::CreatePalette({{10, 20, 30, 0}, {40, 50, 60, 0}, {70, 80, 90, 0}}));
    EXPECT_EQ(dib.Data().Header.biClrUsed, 3u);
    EXPECT_EQ(dib.Data().Colors[2], (TRGBQuad{90, 80, 70, 0}));
    dib.HalftoneMode = hmColor;
    EXPECT_EQ(dib.GetPalette()->size(), 215u);
    dib.HalftoneMode = hmMono;
    EXPECT_EQ(dib.GetPalette()->size(), 2u);
    dib.HalftoneMode = hmNone;
    dib.SetPalette(nullptr);
    EXPECT_EQ(dib.Data().Header.biClrUsed, 0u);
    EXPECT_FALSE(dib.GetPalette());
    EXPECT_THROW(dib.SetPalette(std::make_shared<const platform::gdi::LogPalette>()), EPxDIBInvalidPalette);
}

TEST(PxDIB, TwentyFourToEightBitsReportsProgressInSteps)
{
    TPxDIB dib;
    Fill(dib, 16, 8);
    std::vector<std::pair<TProgressStage, int>> events;
    dib.OnProgress = [&](TPxGraphic&, TProgressStage stage, uint8_t percent, bool, const TRect& r, const std::string& msg) {
        events.emplace_back(stage, percent);
        EXPECT_EQ(msg, "PixelFormat 24Bit -> 8Bit");
        EXPECT_EQ(r, (TRect{0, 0, 16, 8}));
    };
    dib.SetPixelFormat(pxpf8Bit);
    ASSERT_EQ(events.size(), 257u);
    EXPECT_EQ(events.front(), std::make_pair(TProgressStage::psStarting, 0));
    EXPECT_EQ(events[1], std::make_pair(TProgressStage::psRunning, 0));
    EXPECT_EQ(events[255], std::make_pair(TProgressStage::psRunning, 99));
    EXPECT_EQ(events.back(), std::make_pair(TProgressStage::psEnding, 100));
    events.clear();
    dib.SetPixelFormat(pxpf24Bit);
    EXPECT_TRUE(events.empty());
}

// Every pair of the conversion table keeps the picture's colours (the palette formats
// hold at most 4 colours here, so reductions are exact; to 1 bit only white stays).
TEST(PxDIB, EveryConversionOfTheTableKeepsThePicture)
{
    const TPxPixelFormat formats[] = {pxpf4Bit, pxpf4BitRLE, pxpf8Bit, pxpf8BitRLE, pxpf24Bit};
    for (TPxPixelFormat from : formats) {
        for (TPxPixelFormat to : formats) {
            if (from == to)
                continue;
            SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(to));
            TPxDIB dib;
            Fill(dib, 64, 16);
            dib.ColorReduction = (from + to) % 2 ? crHigh : crLow;
            if (from != pxpf24Bit)
                dib.SetPixelFormat(from);
            ASSERT_EQ(dib.GetPixelFormat(), from);
            dib.SetPixelFormat(to);
            ASSERT_EQ(dib.GetPixelFormat(), to);
            TPxDIB check;
            check.Assign(&dib);
            check.SetPixelFormat(to == pxpf24Bit ? pxpf8Bit : pxpf24Bit);
            if (to == pxpf24Bit)
                check.SetPixelFormat(pxpf24Bit);
            TPxDIB reference;
            Fill(reference, 64, 16);
            for (int32_t y = 0; y < 16; y += 3)
                for (int32_t x = 0; x < 64; x += 5)
                    ASSERT_EQ(ColorAt(check.Data(), x, y), ColorAt(reference.Data(), x, y)) << x << "," << y;
        }
    }
    TPxDIB dib;
    Fill(dib, 64, 16);
    dib.SetPixelFormat(pxpf1Bit);
    EXPECT_EQ(ColorAt(dib.Data(), 0, 15), 0xFFFFFFu);  // white block
    EXPECT_EQ(ColorAt(dib.Data(), 8, 15), 0x000000u);  // black block
    EXPECT_EQ(ColorAt(dib.Data(), 16, 15), 0x000000u);  // red is not the monochrome colour
}

TEST(PxDIB, FourBitRLEToEightBitRLEKeepsTheSixteenColourTable)
{
    TPxDIB dib;
    Fill(dib, 64, 16);
    dib.SetPixelFormat(pxpf4BitRLE);
    const auto colours = dib.Data().Colors;
    const uint32_t used = dib.Data().Header.biClrUsed;
    dib.SetPixelFormat(pxpf8BitRLE);
    EXPECT_EQ(dib.Data().Header.biClrUsed, used);
    EXPECT_EQ(dib.Data().Colors, colours);
    dib.SetPixelFormat(pxpf8Bit);
    dib.SetPixelFormat(pxpf24Bit);
    EXPECT_EQ(dib.Data().Header.biClrUsed, used);  // 24 bits keep the old table
}

TEST(PxDIB, AFailedConversionLeavesThePicture)
{
    TPxDIB dib;
    dib.SetBitCount(8);
    dib.SetWidth(3);
    dib.SetHeight(1);
    dib.Storage().Data.Bits()[0] = 1;
    dib.Storage().Data.Bits()[1] = 2;
    dib.Storage().Data.Bits()[2] = 3;
    EXPECT_THROW(dib.SetPixelFormat(pxpf8BitRLE), EPxDIBCompressionFailed);
    EXPECT_EQ(dib.GetPixelFormat(), pxpf8Bit);
    EXPECT_EQ(PixelAt(dib.Data(), 2, 0), 3u);
}

TEST(PxDIB, HeapStorageWhenMappingsAreOff)
{
    DefaultUseFMO = false;
    TPxDIB dib;
    DefaultUseFMO = true;
    EXPECT_FALSE(dib.GetUseFMO());
    EXPECT_EQ(dib.Data().MappingHandle(), 0);
    Fill(dib, 8, 8);
    dib.SetPixelFormat(pxpf4Bit);
    EXPECT_EQ(dib.Data().MappingHandle(), 0);
}

}  // namespace
}  // namespace imaging

namespace imaging {
namespace {

TEST(PxDIB, MappedPicturesHoldNoDescriptors)
{
    auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator{});
    };
    const auto before = openDescriptors();
    std::vector<std::unique_ptr<TPxDIB>> pictures;
    for (int i = 0; i < 200; ++i) {
        pictures.push_back(std::make_unique<TPxDIB>());
        ASSERT_NE(pictures.back()->Data().MappingHandle(), 0);
    }
    EXPECT_LT(openDescriptors() - before, 10);
    pictures.front()->SetWidth(20);
    EXPECT_EQ(pictures.front()->GetWidth(), 20);
}

}  // namespace
}  // namespace imaging
