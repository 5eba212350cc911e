// RLE8 and RLE4: golden streams of known rows, decoding of every code, refusal of
// streams that leave the picture or end early, and random round trips.
#include <gtest/gtest.h>

#include <random>

#include "imaging/PxDIBErrors.h"
#include "imaging/PxRLE.h"
#include "tests/imaging/DIBTestSupport.h"

namespace imaging {
namespace {

using test::BitsOf;
using test::MakeRecord;
using test::MakeRLE;
using test::PixelAt;
using Bytes = std::vector<uint8_t>;

Bytes Encode8(const TPxDIBData& source)
{
    TPxDIBData dest;
    Convert8BitRGBTo8BitRLE(source, dest, false);
    EXPECT_EQ(dest.Header.biCompression, BI_RLE8);
    EXPECT_EQ(dest.Header.biSizeImage, dest.ImageSize);
    return BitsOf(dest);
}

Bytes Encode4(const TPxDIBData& source)
{
    TPxDIBData dest;
    Convert4BitRGBTo4BitRLE(source, dest, false);
    EXPECT_EQ(dest.Header.biCompression, BI_RLE4);
    return BitsOf(dest);
}

// The encoder's budget is the size of the uncompressed pixels, so a short row is put
// under ten blank rows that compress well; the row's codes come first in the stream
// because the bottom row is encoded first.
Bytes FirstRowCodes(int bits, const std::vector<uint32_t>& row, size_t length)
{
    std::vector<std::vector<uint32_t>> rows(10, std::vector<uint32_t>(row.size(), 0));
    rows.push_back(row);  // the bottom row
    const TPxDIBData source = MakeRecord(bits, static_cast<int32_t>(row.size()), rows);
    Bytes stream = bits == 8 ? Encode8(source) : Encode4(source);
    EXPECT_EQ(stream.back(), 1);
    stream.resize(std::min(length, stream.size()));
    return stream;
}

std::vector<uint32_t> Then(std::vector<uint32_t> row, uint32_t value, size_t count,
                           const std::vector<uint32_t>& tail = {})
{
    row.insert(row.end(), count, value);
    row.insert(row.end(), tail.begin(), tail.end());
    return row;
}

struct Golden {
    const char* name;
    int bits;
    std::vector<uint32_t> row;
    Bytes codes;  // the row's codes up to its end of line
};

TEST(RLEEncoders, KnownRowsGiveTheGoldenCodes)
{
    std::vector<uint32_t> ramp(40);
    Bytes rampCodes = {0, 40};
    for (uint8_t i = 0; i < 40; ++i) {
        ramp[i] = i;
        rampCodes.push_back(i);
    }
    rampCodes.insert(rampCodes.end(), {0, 0});
    const Golden cases[] = {
        {"a literal loses its last pixel to a run; two pixels go as runs", 8, {5, 5, 5, 7, 8, 9, 9},
         {3, 5, 1, 7, 1, 8, 2, 9, 0, 0}},
        {"runs stop at 255", 8, std::vector<uint32_t>(300, 9), {255, 9, 45, 9, 0, 0}},
        // Rows of four or fewer pixels cannot beat the budget; the golden codes are
        // the prefix up to the run of 9s that follows.
        {"four different pixels", 8, Then({1, 2, 3, 4}, 9, 20), {0, 4, 1, 2, 3, 4}},
        {"three pixels are padded to even", 8, Then({1, 2, 3}, 9, 20), {0, 3, 1, 2, 3, 0}},
        {"a long literal", 8, ramp, rampCodes},
        {"a single pixel at the row's end", 8, {1, 2, 3, 3, 3, 3, 4}, {1, 1, 1, 2, 4, 3, 1, 4, 0, 0}},
        // Width 5 ($11 $11 $10 -> (4, $11) (1, $10)) never fits an RLE4 budget of 4
        // bytes a row; width 13 shows the same cut of the last run.
        {"rle4 run cut at the row's end", 4, std::vector<uint32_t>(13, 1), {12, 0x11, 1, 0x10, 0, 0}},
        {"rle4 literal of four bytes", 4, Then({1, 2, 3, 4, 5, 6, 7, 8}, 0, 16), {0, 8, 0x12, 0x34, 0x56, 0x78}},
        {"rle4 odd literal cut at the row's end", 4, Then(std::vector<uint32_t>(16, 0), 0, 0, {1, 2, 3, 4, 5}),
         {16, 0, 0, 5, 0x12, 0x34, 0x50, 0, 0, 0}},
        {"rle4 run of 127 bytes", 4, std::vector<uint32_t>(260, 3), {254, 0x33, 6, 0x33, 0, 0}},
    };
    for (const Golden& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FirstRowCodes(c.bits, c.row, c.codes.size()), c.codes);
    }
}

TEST(RLE8Encoder, TopDownPictureGoesOutBottomRowFirstWithPositiveHeight)
{
    TPxDIBData source = MakeRecord(8, 16, {std::vector<uint32_t>(16, 1), std::vector<uint32_t>(16, 2)},
                                   /*topDown=*/true);
    TPxDIBData dest;
    Convert8BitRGBTo8BitRLE(source, dest, false);
    EXPECT_EQ(dest.Header.biHeight, 2);
    EXPECT_EQ(BitsOf(dest), (Bytes{16, 2, 0, 0, 16, 1, 0, 0, 0, 1}));
}

TEST(RLE8Encoder, OutputLargerThanThePixelsIsRefused)
{
    TPxDIBData source = MakeRecord(8, 1, {{7}});
    TPxDIBData dest;
    try {
        Convert8BitRGBTo8BitRLE(source, dest, false);
        FAIL() << "a 1 x 1 picture cannot fit its run into 4 bytes";
    } catch (const EPxDIBCompressionFailed& e) {
        EXPECT_STREQ(e.what(), "Convert8BitRGBTo8BitRLE: Compression Failed");
    }
    EXPECT_EQ(dest.Bits(), nullptr);
}

TEST(RLEDecoders, EveryCodeLandsWhereTheFormatSays)
{
    // 6 x 3 bottom-up: run on row 0, delta right 1 and up 1 to (3, 1), a 3-pixel literal
    // (padded), end of line to row 2, a run, end of bitmap.
    const Bytes stream = {2, 7, 0, 2, 1, 1, 0, 3, 4, 5, 6, 0, 0, 0, 1, 9, 0, 1};
    TPxDIBData dest;
    Convert8BitRLETo8BitRGB(MakeRLE(8, 6, 3, stream), dest, false);
    EXPECT_EQ(dest.Header.biCompression, BI_RGB);
    EXPECT_EQ(dest.Header.biSizeImage, 0u);
    EXPECT_EQ(dest.ImageSize, 8u * 3u);
    const std::vector<std::vector<uint32_t>> expected = {{9, 0, 0, 0, 0, 0}, {0, 0, 0, 4, 5, 6}, {7, 7, 0, 0, 0, 0}};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 6; ++x)
            EXPECT_EQ(PixelAt(dest, x, y), expected[y][x]) << x << "," << y;
}

TEST(RLEDecoders, RLE4DeltaThenRunWritesAtThePixelColumnReached)
{
    // Width 6, one row: delta right 3, run of 3 pixels alternating 1 and 2.
    const Bytes stream = {0, 2, 3, 0, 3, 0x12, 0, 0, 0, 1};
    TPxDIBData dest;
    Convert4BitRLETo4BitRGB(MakeRLE(4, 6, 1, stream), dest, false);
    const uint32_t expected[6] = {0, 0, 0, 1, 2, 1};
    for (int x = 0; x < 6; ++x)
        EXPECT_EQ(PixelAt(dest, x, 0), expected[x]) << x;
    // A literal of 5 nibbles takes 3 bytes plus one pad byte.
    const Bytes literal = {0, 5, 0x12, 0x34, 0x50, 0, 0, 1};
    Convert4BitRLETo4BitRGB(MakeRLE(4, 5, 1, literal), dest, false);
    for (int x = 0; x < 5; ++x)
        EXPECT_EQ(PixelAt(dest, x, 0), static_cast<uint32_t>(x + 1));
}

struct BadStream {
    const char* name;
    int bits;
    int32_t width;
    int32_t height;
    Bytes stream;
    const char* message;
};

TEST(RLEDecoders, StreamsLeavingThePictureOrEndingEarlyAreRefused)
{
    const BadStream cases[] = {
        {"run overruns the row", 8, 4, 2, {5, 1, 0, 1}, "Convert8BitRLETo8BitRGB: Bad RLE Data 4"},
        {"run above the top", 8, 4, 1, {0, 0, 1, 1, 0, 1}, "Convert8BitRLETo8BitRGB: Bad RLE Data 4"},
        {"end of line past the top", 8, 4, 1, {0, 0, 0, 0, 0, 1}, "Convert8BitRLETo8BitRGB: Bad RLE Data 1"},
        {"delta right out", 8, 4, 2, {0, 2, 5, 0, 0, 1}, "Convert8BitRLETo8BitRGB: Bad RLE Data 2"},
        {"delta up out", 8, 4, 2, {0, 2, 0, 3, 0, 1}, "Convert8BitRLETo8BitRGB: Bad RLE Data 2"},
        {"literal overruns", 8, 4, 2, {0, 5, 1, 2, 3, 4, 5, 0, 0, 1}, "Convert8BitRLETo8BitRGB: Bad RLE Data 3"},
        {"no end of bitmap", 8, 4, 2, {4, 1, 0, 0}, "Convert8BitRLETo8BitRGB: RLE Data ends before End of Bitmap"},
        {"empty stream", 8, 4, 2, {}, "Convert8BitRLETo8BitRGB: RLE Data ends before End of Bitmap"},
        {"half a pair", 8, 4, 2, {4}, "Convert8BitRLETo8BitRGB: RLE Data ends before End of Bitmap"},
        {"delta cut off", 8, 4, 2, {0, 2, 1}, "Convert8BitRLETo8BitRGB: RLE Data ends before End of Bitmap"},
        {"literal cut off", 8, 8, 2, {0, 6, 1, 2}, "Convert8BitRLETo8BitRGB: RLE Data ends before End of Bitmap"},
        {"rle4 run past the stored row", 4, 5, 1, {9, 0x11, 0, 1}, "Convert4BitRLETo4BitRGB: Bad RLE Data 8"},
        {"rle4 end of line past the top", 4, 4, 1, {0, 0, 0, 0, 0, 1}, "Convert4BitRLETo4BitRGB: Bad RLE Data 5"},
        {"rle4 delta out", 4, 4, 1, {0, 2, 0, 2, 0, 1}, "Convert4BitRLETo4BitRGB: Bad RLE Data 6"},
        {"rle4 literal overruns", 4, 4, 1, {0, 9, 0x12, 0x34, 0x56, 0x78, 0x90, 0, 0, 1}, "Convert4BitRLETo4BitRGB: Bad RLE Data 7"},
        {"rle4 literal cut off", 4, 8, 1, {0, 8, 0x12}, "Convert4BitRLETo4BitRGB: RLE Data ends before End of Bitmap"},
    };
    for (const BadStream& c : cases) {
        SCOPED_TRACE(c.name);
        TPxDIBData dest;
        try {
            if (c.bits == 8)
                Convert8BitRLETo8BitRGB(MakeRLE(8, c.width, c.height, c.stream), dest, false);
            else
                Convert4BitRLETo4BitRGB(MakeRLE(4, c.width, c.height, c.stream), dest, false);
            ADD_FAILURE() << "accepted";
        } catch (const EPxDIBInvalidDIB& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_EQ(dest.Bits(), nullptr);
    }
}

TEST(RLEDecoders, RunsIntoTheRowPaddingAreClippedToTheWidth)
{
    // ImageMagick encodes the padding bytes of each row: width 3, stride 4.
    TPxDIBData dest;
    Convert8BitRLETo8BitRGB(MakeRLE(8, 3, 1, {4, 7, 0, 1}), dest, false);
    EXPECT_EQ(BitsOf(dest), (Bytes{7, 7, 7, 0}));
    Convert4BitRLETo4BitRGB(MakeRLE(4, 3, 1, {8, 0x56, 0, 1}), dest, false);
    EXPECT_EQ(BitsOf(dest), (Bytes{0x56, 0x56, 0, 0}));  // RLE4 keeps the even column past the width
}

TEST(RLECodecs, WrongSourceFormatsAreRefusedByName)
{
    TPxDIBData four = MakeRecord(4, 4, {{1, 2, 3, 4}});
    TPxDIBData eight = MakeRecord(8, 4, {{1, 2, 3, 4}});
    TPxDIBData dest;
    EXPECT_THROW(Convert8BitRGBTo8BitRLE(four, dest, false), EPxDIBBadDIBType);
    EXPECT_THROW(Convert4BitRGBTo4BitRLE(eight, dest, false), EPxDIBBadDIBType);
    EXPECT_THROW(Convert8BitRLETo8BitRGB(eight, dest, false), EPxDIBBadDIBType);
    EXPECT_THROW(Convert4BitRLETo4BitRGB(four, dest, false), EPxDIBBadDIBType);
}

// Pictures of runs and noise survive encode and decode, in both depths and row orders.
TEST(RLECodecs, RandomPicturesRoundTrip)
{
    std::mt19937 rng(17);
    for (int round = 0; round < 200; ++round) {
        const int bits = round % 2 ? 8 : 4;
        const auto width = static_cast<int32_t>(1 + rng() % 70);
        const auto height = static_cast<int32_t>(1 + rng() % 12);
        std::vector<std::vector<uint32_t>> rows(static_cast<size_t>(height));
        for (auto& row : rows) {
            uint32_t v = rng() % (bits == 8 ? 256 : 16);
            for (int32_t x = 0; x < width; ++x) {
                if (rng() % 4 == 0)
                    v = rng() % (bits == 8 ? 4 : 16);
                row.push_back(v);
            }
        }
        const bool topDown = round % 3 == 0;
        TPxDIBData source = MakeRecord(bits, width, rows, topDown);
        TPxDIBData packed, unpacked;
        try {
            if (bits == 8)
                Convert8BitRGBTo8BitRLE(source, packed, false);
            else
                Convert4BitRGBTo4BitRLE(source, packed, false);
        } catch (const EPxDIBCompressionFailed&) {
            continue;  // noise that does not fit: an ordinary outcome
        }
        if (bits == 8)
            Convert8BitRLETo8BitRGB(packed, unpacked, false);
        else
            Convert4BitRLETo4BitRGB(packed, unpacked, false);
        ASSERT_GT(unpacked.Header.biHeight, 0);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x)
                ASSERT_EQ(PixelAt(unpacked, x, y), rows[static_cast<size_t>(y)][static_cast<size_t>(x)])
                    << "round " << round << " at " << x << "," << y;
    }
}

}  // namespace
}  // namespace imaging
