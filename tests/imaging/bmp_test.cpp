// BMP files and CF_DIB blocks: golden bytes of what we write, the forms we accept, and
// files whose sizes lie (each refused with the library's error, the picture kept).
#include <gtest/gtest.h>

#include "imaging/PxDIB.h"
#include "imaging/PxDIBErrors.h"
#include "tests/imaging/DIBTestSupport.h"

namespace imaging {
namespace {

using Bytes = std::vector<uint8_t>;
using test::ColorAt;
using test::PixelAt;

void Put16(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void Put32(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }

// A BMP file built field by field; offBits 0 means "right behind the table".
struct FileSpec {
    int32_t width = 2, height = 2;
    uint16_t bits = 8;
    uint32_t compression = BI_RGB;
    uint32_t clrUsed = 0;
    uint32_t tableEntries = 256;
    uint32_t headerSize = 40;
    Bytes masks = {};
    Bytes pixels = {};
    uint32_t offBits = 0;
    uint32_t fileSize = 0;  // 0: computed
    int32_t xppm = 2835;
    uint32_t sizeImage = 0;
};

Bytes BuildFile(const FileSpec& s)
{
    Bytes header;
    if (s.headerSize == 12) {
        Put32(header, 12);
        Put16(header, static_cast<uint32_t>(s.width));
        Put16(header, static_cast<uint32_t>(s.height));
        Put16(header, 1);
        Put16(header, s.bits);
    } else {
        Put32(header, s.headerSize);
        Put32(header, static_cast<uint32_t>(s.width));
        Put32(header, static_cast<uint32_t>(s.height));
        Put16(header, 1);
        Put16(header, s.bits);
        Put32(header, s.compression);
        Put32(header, s.sizeImage);
        Put32(header, static_cast<uint32_t>(s.xppm));
        Put32(header, 0);
        Put32(header, s.clrUsed);
        Put32(header, 0);
        header.resize(s.headerSize, 0);
    }
    header.insert(header.end(), s.masks.begin(), s.masks.end());
    const uint32_t entrySize = s.headerSize == 12 ? 3 : 4;
    for (uint32_t i = 0; i < s.tableEntries; ++i) {
        header.insert(header.end(), {uint8_t(i), uint8_t(i * 2), uint8_t(255 - i)});
        if (entrySize == 4)
            header.push_back(0);
    }
    const uint32_t off = s.offBits != 0 ? s.offBits : static_cast<uint32_t>(14 + header.size());
    Bytes file = {'B', 'M'};
    Put32(file, s.fileSize != 0 ? s.fileSize : static_cast<uint32_t>(off + s.pixels.size()));
    Put32(file, 0);
    Put32(file, off);
    file.insert(file.end(), header.begin(), header.end());
    if (file.size() < off)
        file.resize(off, 0);
    file.insert(file.end(), s.pixels.begin(), s.pixels.end());
    return file;
}

void Load(TPxDIB& dib, const Bytes& file)
{
    TPxMemoryStream stream(file);
    dib.LoadFromStream(stream);
}

Bytes Save(TPxDIB& dib)
{
    TPxMemoryStream stream;
    dib.SaveToStream(stream);
    return stream.Bytes();
}

TEST(BMPWriter, TwentyFourBitFileHasTheGoldenHeader)
{
    TPxDIB dib;
    dib.SetBitCount(24);
    dib.SetWidth(2);
    dib.SetHeight(1);
    const Bytes file = Save(dib);
    const Bytes expected = {'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  // file header: size 54 + 8
                            40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            0xC4, 0x0E, 0, 0, 0xC4, 0x0E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 3780 ppm, no colours
                            0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(file, expected);
}

TEST(BMPWriter, EightBitFileCarriesItsColourTableAndRoundTrips)
{
    TPxDIB dib;
    Load(dib, BuildFile({.width = 3, .height = 2, .bits = 8, .pixels = {1, 2, 3, 0, 4, 5, 6, 0}}));
    const Bytes file = Save(dib);
    ASSERT_EQ(file.size(), 54u + 1024u + 8u);
    EXPECT_EQ(file[10] | file[11] << 8, 54 + 1024);
    TPxDIB again;
    Load(again, file);
    EXPECT_EQ(Save(again), file);
    EXPECT_EQ(PixelAt(again.Data(), 0, 1), 1u);
    EXPECT_EQ(PixelAt(again.Data(), 2, 0), 6u);
}

TEST(BMPReader, AcceptedFormsReadAsTheFormatDefines)
{
    {
        SCOPED_TRACE("1 bit with biClrUsed 0 reads two entries");
        TPxDIB dib;
        Load(dib, BuildFile({.width = 2, .height = 1, .bits = 1, .tableEntries = 2, .pixels = {0x40, 0, 0, 0}}));
        EXPECT_EQ(dib.Data().Header.biClrUsed, 2u);
        EXPECT_EQ(PixelAt(dib.Data(), 1, 0), 1u);
        EXPECT_EQ(dib.Data().Colors[1].rgbRed, 254);
    }
    {
        SCOPED_TRACE("biClrUsed 300 keeps 256 and skips the rest");
        TPxDIB dib;
        Load(dib, BuildFile({.width = 1, .height = 1, .clrUsed = 300, .tableEntries = 300, .pixels = {9, 0, 0, 0}}));
        EXPECT_EQ(dib.Data().Header.biClrUsed, 256u);
        EXPECT_EQ(PixelAt(dib.Data(), 0, 0), 9u);
        EXPECT_EQ(dib.Data().Colors[255].rgbBlue, 255);
    }
    {
        SCOPED_TRACE("pixels per metre 0 become 3780");
        TPxDIB dib;
        Load(dib, BuildFile({.width = 1, .height = 1, .pixels = {0, 0, 0, 0}, .xppm = 0}));
        EXPECT_EQ(dib.Data().Header.biXPelsPerMeter, 3780);
        EXPECT_EQ(dib.Data().Header.biYPelsPerMeter, 3780);
    }
    {
        SCOPED_TRACE("core header 4 bits becomes a 40-byte header with 16 entries");
        TPxDIB dib;
        Load(dib, BuildFile({.width = 2, .height = 1, .bits = 4, .tableEntries = 16, .headerSize = 12,
                             .pixels = {0x3F, 0, 0, 0}}));
        EXPECT_EQ(dib.Data().Header.biSize, 40u);
        EXPECT_EQ(dib.Data().Header.biClrUsed, 16u);
        EXPECT_EQ(PixelAt(dib.Data(), 0, 0), 3u);
        EXPECT_EQ(dib.Data().Colors[15], (TRGBQuad{15, 30, 240, 0}));
        const Bytes saved = Save(dib);
        EXPECT_EQ(saved[14], 40);
        EXPECT_EQ(saved[10], 54 + 64);
    }
    {
        SCOPED_TRACE("top-down rows keep their sign");
        TPxDIB dib;
        Load(dib, BuildFile({.width = 1, .height = -2, .pixels = {7, 0, 0, 0, 8, 0, 0, 0}}));
        EXPECT_EQ(dib.Data().Header.biHeight, -2);
        EXPECT_EQ(dib.GetHeight(), 2);
        EXPECT_EQ(PixelAt(dib.Data(), 0, 0), 7u);
    }
    {
        SCOPED_TRACE("RLE8 keeps its compressed bytes and writes them back");
        const Bytes rle = {2, 5, 0, 0, 0, 1};
        TPxDIB dib;
        Load(dib, BuildFile({.width = 2, .height = 1, .compression = BI_RLE8, .pixels = rle, .sizeImage = 6}));
        EXPECT_EQ(dib.GetPixelFormat(), pxpf8BitRLE);
        EXPECT_EQ(dib.Data().Header.biSizeImage, 6u);
        EXPECT_EQ(test::BitsOf(dib.Data()), rle);
        const Bytes saved = Save(dib);
        EXPECT_EQ(Bytes(saved.end() - 6, saved.end()), rle);
    }
}

TEST(BMPReader, SixteenAndThirtyTwoBitPixelsBecomeTwentyFourBit)
{
    TPxDIB dib;
    Load(dib, BuildFile({.width = 2, .height = 1, .bits = 16, .tableEntries = 0, .pixels = {0xFF, 0x7F, 0x01, 0x00}}));
    EXPECT_EQ(dib.GetPixelFormat(), pxpf24Bit);
    EXPECT_EQ(ColorAt(dib.Data(), 0, 0), 0xFFFFFFu);  // $7FFF
    EXPECT_EQ(ColorAt(dib.Data(), 1, 0), 0x000008u);  // $0001: blue 8
    Load(dib, BuildFile({.width = 1, .height = 1, .bits = 32, .tableEntries = 0, .pixels = {0x56, 0x34, 0x12, 0x00}}));
    EXPECT_EQ(ColorAt(dib.Data(), 0, 0), 0x123456u);
    // 5-6-5 bit fields: $F800 red, $07E0 green, $001F blue.
    Bytes masks = {};
    Put32(masks, 0xF800);
    Put32(masks, 0x07E0);
    Put32(masks, 0x001F);
    Load(dib, BuildFile({.width = 2, .height = -1, .bits = 16, .compression = BI_BITFIELDS, .tableEntries = 0,
                         .masks = masks, .pixels = {0x00, 0xF8, 0xE0, 0x07}}));
    EXPECT_EQ(dib.Data().Header.biHeight, -1);
    EXPECT_EQ(ColorAt(dib.Data(), 0, 0), 0xFF0000u);
    EXPECT_EQ(ColorAt(dib.Data(), 1, 0), 0x00FF00u);
}

struct BadFile {
    const char* name;
    Bytes file;
    const char* message;
};

Bytes Patch32(Bytes b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    return b;
}

TEST(BMPReader, LyingFilesRaiseTheLibrarysErrorAndKeepThePicture)
{
    const Bytes good = BuildFile({.width = 3, .height = 2, .pixels = {1, 2, 3, 0, 4, 5, 6, 0}});
    Bytes ba = good;
    ba[1] = 'A';
    Bytes zeroMasks;
    Put32(zeroMasks, 0);
    Put32(zeroMasks, 0x3E0);
    Put32(zeroMasks, 0x1F);
    const BadFile cases[] = {
        {"BA", ba, "TPxInternalDIB.LoadFromFile: File type is invalid"},
        {"too short for a file header", Bytes{'B', 'M', 0}, "TPxInternalDIB.LoadFromFile: File type is invalid"},
        {"header size 64", Patch32(good, 14, 64), "TPxInternalDIB.LoadFromStream: Invalid Bitmap Header Size"},
        {"bit count 7", [&] { Bytes b = good; b[28] = 7; return b; }(), "TPxInternalDIB.LoadFromStream: Invalid BitCout"},
        {"pixel offset inside the colour table", Patch32(good, 10, 100), "TPxInternalDIB.LoadFromFile: bfOffBits is too small"},
        {"colour count of 2^32 - 1", Patch32(good, 46, 0xFFFFFFFF), "TPxInternalDIB.LoadFromFile: bfOffBits is too small"},
        {"zero width", Patch32(good, 18, 0), "TPxInternalDIB.LoadFromStream: Invalid Width or Height"},
        {"negative width", Patch32(good, 18, 0xFFFFFFFF), "TPxInternalDIB.LoadFromStream: Invalid Width or Height"},
        {"zero height", Patch32(good, 22, 0), "TPxInternalDIB.LoadFromStream: Invalid Width or Height"},
        {"height of -2^31", Patch32(good, 22, 0x80000000), "TPxInternalDIB.LoadFromStream: Picture Too Large"},
        {"huge width", Patch32(good, 18, 0x7FFFFFFF), "TPxInternalDIB.LoadFromStream: Picture Too Large"},
        {"sizes whose product wraps 64 bits", Patch32(Patch32(Patch32(good, 28, 32), 18, 0x7FFFFFFF), 22, 0x80000001),
         "TPxInternalDIB.LoadFromStream: Picture Too Large"},
        {"more rows than pixel data", Patch32(good, 22, 3), "TPxInternalDIB.LoadFromStream: Pixel Data too Short"},
        {"pixel offset past the end", Patch32(good, 10, 5000), "TPxInternalDIB.LoadFromStream: File is Truncated"},
        {"RLE on 24 bits", Patch32(Patch32(good, 28, 24), 30, BI_RLE8), "TPxInternalDIB.LoadFromStream: Invalid DIB(24Bit)"},
        {"RLE length past the end", BuildFile({.width = 2, .height = 1, .compression = BI_RLE8, .pixels = {0, 1}, .sizeImage = 900}),
         "TPxInternalDIB.LoadFromStream: Pixel Data too Short"},
        {"zero bit-field mask", BuildFile({.width = 1, .height = 1, .bits = 16, .compression = BI_BITFIELDS, .tableEntries = 0,
                                           .masks = zeroMasks, .pixels = {0, 0, 0, 0}}),
         "TPxInternalDIB.LoadFromStream: Invalid Masks"},
        {"bit fields cut off", [] {
             Bytes b = BuildFile({.width = 1, .height = 1, .bits = 16, .compression = BI_BITFIELDS, .tableEntries = 0});
             b.resize(56);
             return b;
         }(), "TPxInternalDIB.LoadFromStream: File is Truncated"},
        {"header cut off", Bytes(good.begin(), good.begin() + 30), "TPxInternalDIB.LoadFromStream: File is Truncated"},
        {"colour table cut off", Bytes(good.begin(), good.begin() + 300), "TPxInternalDIB.LoadFromStream: File is Truncated"},
    };
    for (const BadFile& c : cases) {
        SCOPED_TRACE(c.name);
        TPxDIB dib;
        Load(dib, good);
        try {
            Load(dib, c.file);
            ADD_FAILURE() << "accepted";
        } catch (const EPxDIBError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_EQ(dib.GetWidth(), 3);
        EXPECT_EQ(PixelAt(dib.Data(), 2, 1), 3u);
    }
}

TEST(BMPReader, PagesFollowOneAnotherInOneStream)
{
    TPxDIB first, second, read;
    first.SetBitCount(8);
    second.SetBitCount(24);
    second.SetWidth(5);
    TPxMemoryStream stream;
    first.SaveToStream(stream);
    const int64_t offset = stream.Position();
    second.SaveToStream(stream);
    stream.Seek(offset, TSeekOrigin::Beginning);
    read.LoadFromStream(stream);
    EXPECT_EQ(read.GetWidth(), 5);
    EXPECT_EQ(read.GetBitCount(), 24);
}

TEST(ClipboardBlocks, RoundTripAndRefuseLyingBlocks)
{
    TPxDIB dib;
    Load(dib, BuildFile({.width = 3, .height = 2, .pixels = {1, 2, 3, 0, 4, 5, 6, 0}}));
    uint16_t format = 0;
    platform::HGlobal block;
    platform::gdi::HPALETTE palette;
    dib.SaveToClipboardFormat(format, block, palette);
    EXPECT_EQ(format, CF_DIB);
    ASSERT_EQ(block->GlobalSize(), 40u + 1024u + 8u);
    TPxDIB copy;
    copy.LoadFromClipboardFormat(CF_DIB, block.get(), nullptr);
    EXPECT_EQ(PixelAt(copy.Data(), 2, 1), 3u);
    EXPECT_THROW(copy.LoadFromClipboardFormat(2, block.get(), nullptr), EInvalidGraphic);
    EXPECT_THROW(copy.LoadFromClipboardFormat(CF_DIB, nullptr, nullptr), EInvalidGraphic);

    auto blockOf = [](const Bytes& bytes) {
        platform::GlobalBlock b(bytes.size());
        std::copy(bytes.begin(), bytes.end(), b.Lock());
        return b;
    };
    // A 12-byte core header is accepted.
    Bytes core = BuildFile({.width = 2, .height = 1, .bits = 1, .tableEntries = 2, .headerSize = 12, .pixels = {0x80, 0, 0, 0}});
    core.erase(core.begin(), core.begin() + 14);
    platform::GlobalBlock coreBlock = blockOf(core);
    copy.LoadFromClipboardFormat(CF_DIB, &coreBlock, nullptr);
    EXPECT_EQ(PixelAt(copy.Data(), 0, 0), 1u);

    Bytes packed(block->Lock(), block->Lock() + block->GlobalSize());
    const BadFile cases[] = {
        {"header size 64", Patch32(packed, 0, 64), "TPxDIB.LoadFromClipboardFormat: Invalid Clipboard Data"},
        {"three bytes", Bytes{40, 0, 0}, "TPxDIB.LoadFromClipboardFormat: Invalid Clipboard Data"},
        {"header cut off", Bytes(packed.begin(), packed.begin() + 20), "TPxDIB.LoadFromClipboardFormat: Invalid Clipboard Data"},
        {"zero width", Patch32(packed, 4, 0), "TPxInternalDIB.LoadFromStream: Invalid Width or Height"},
        {"table cut off", Bytes(packed.begin(), packed.begin() + 500), "TPxInternalDIB.LoadFromClipboardFormat: Invalid Clipboard Data Size"},
        {"pixels cut off", Bytes(packed.begin(), packed.end() - 1), "TPxInternalDIB.LoadFromClipboardFormat: Pixel Data too Short"},
        {"colour count of 2^32 - 1", Patch32(packed, 32, 0xFFFFFFFF), "TPxInternalDIB.LoadFromClipboardFormat: Invalid Clipboard Data Size"},
    };
    for (const BadFile& c : cases) {
        SCOPED_TRACE(c.name);
        platform::GlobalBlock bad = blockOf(c.file);
        try {
            copy.LoadFromClipboardFormat(CF_DIB, &bad, nullptr);
            ADD_FAILURE() << "accepted";
        } catch (const EPxDIBError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_EQ(copy.GetWidth(), 2);
    }
}

}  // namespace
}  // namespace imaging
