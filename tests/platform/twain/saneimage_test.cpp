// Packed bitmaps assembled from SANE frames: pixel conversions on tiny known pages, and
// refusal of every announced size or data length that does not add up.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "platform/twain/SaneImage.h"

using namespace platform::twain;

namespace {

// A backend that sends the given frames, each in reads of at most `chunk` bytes.
struct FakeBackend {
    std::deque<std::pair<SANE_Parameters, std::vector<uint8_t>>> frames;
    std::vector<uint8_t> current;
    size_t position = 0;
    size_t chunk = 5;
    SANE_Status failWith = SANE_STATUS_GOOD;

    SaneReader Reader() {
        SaneReader r;
        r.Read = [this](SANE_Byte* buf, SANE_Int max, SANE_Int* len) {
            *len = 0;
            if (failWith != SANE_STATUS_GOOD && position > 0) return failWith;
            if (position >= current.size()) return SANE_STATUS_EOF;
            const size_t n = std::min({size_t(max), chunk, current.size() - position});
            std::memcpy(buf, current.data() + position, n);
            position += n;
            *len = SANE_Int(n);
            return SANE_STATUS_GOOD;
        };
        r.NextFrame = [this](SANE_Parameters* p) {
            if (frames.empty()) return SANE_STATUS_INVAL;
            Start(p);
            return SANE_STATUS_GOOD;
        };
        return r;
    }
    void Start(SANE_Parameters* p) {
        *p = frames.front().first;
        current = frames.front().second;
        position = 0;
        frames.pop_front();
    }
};

SANE_Parameters Params(SANE_Frame format, int depth, int width, int lines, int bpl, bool last = true) {
    SANE_Parameters p{};
    p.format = format;
    p.depth = depth;
    p.pixels_per_line = width;
    p.lines = lines;
    p.bytes_per_line = bpl;
    p.last_frame = last;
    return p;
}

bool Assemble(FakeBackend& fake, std::vector<uint8_t>& dib, std::string& error) {
    SANE_Parameters first;
    fake.Start(&first);
    return AssemblePackedDib(first, fake.Reader(), 254.0, dib, error);
}

uint32_t U32(const std::vector<uint8_t>& d, size_t at) {
    return d[at] | d[at + 1] << 8 | d[at + 2] << 16 | uint32_t(d[at + 3]) << 24;
}

}  // namespace

TEST(SaneImage, PagesOfEveryFormatBecomeBottomUpBitmaps) {
    struct Case {
        const char* name;
        std::vector<std::pair<SANE_Parameters, std::vector<uint8_t>>> frames;
        int bpp;
        std::vector<uint8_t> rowsBottomUp;  // pixel bytes after the palette
    };
    const uint16_t hi1 = 0xAB10, hi2 = 0x12FF;
    std::vector<uint8_t> grey16(4);
    std::memcpy(grey16.data(), &hi1, 2);
    std::memcpy(grey16.data() + 2, &hi2, 2);
    const std::vector<Case> cases = {
        // 10 pixels of lineart per row; SANE's set bit is black, the bitmap's 0 is black.
        {"lineart", {{Params(SANE_FRAME_GRAY, 1, 10, 2, 2), {0xF0, 0x40, 0x00, 0xC0}}}, 1,
         {0xFF, 0x00, 0, 0, 0x0F, 0x80, 0, 0}},
        {"grey8", {{Params(SANE_FRAME_GRAY, 8, 3, 2, 3), {1, 2, 3, 4, 5, 6}}}, 8,
         {4, 5, 6, 0, 1, 2, 3, 0}},
        {"grey16 keeps the high byte", {{Params(SANE_FRAME_GRAY, 16, 2, 1, 4), grey16}}, 8,
         {0xAB, 0x12, 0, 0}},
        {"rgb8 to bgr", {{Params(SANE_FRAME_RGB, 8, 1, 2, 3), {10, 20, 30, 40, 50, 60}}}, 24,
         {60, 50, 40, 0, 30, 20, 10, 0}},
        {"extra bytes per line are skipped",
         {{Params(SANE_FRAME_GRAY, 8, 2, 1, 5), {7, 8, 99, 99, 99}}}, 8, {7, 8, 0, 0}},
        {"three passes in any order",
         {{Params(SANE_FRAME_GREEN, 8, 2, 1, 2, false), {2, 5}},
          {Params(SANE_FRAME_BLUE, 8, 2, 1, 2, false), {3, 6}},
          {Params(SANE_FRAME_RED, 8, 2, 1, 2, true), {1, 4}}},
         24, {3, 2, 1, 6, 5, 4, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBackend fake;
        for (const auto& f : c.frames) fake.frames.push_back(f);
        std::vector<uint8_t> dib;
        std::string error;
        ASSERT_TRUE(Assemble(fake, dib, error)) << error;
        const uint32_t palette = c.bpp == 1 ? 2 : c.bpp == 8 ? 256 : 0;
        EXPECT_EQ(U32(dib, 0), 40u);
        EXPECT_EQ(U32(dib, 32), palette);
        EXPECT_EQ(dib[14], c.bpp);
        EXPECT_EQ(U32(dib, 24), 10000u);  // 254 dpi is 10,000 pixels per metre
        const std::vector<uint8_t> pixels(dib.begin() + 40 + 4 * palette, dib.end());
        EXPECT_EQ(pixels, c.rowsBottomUp);
        if (palette == 2) {
            EXPECT_EQ(dib[40], 0);      // index 0 black
            EXPECT_EQ(dib[44], 255);    // index 1 white
        }
    }
}

TEST(SaneImage, HandScannerPagesTakeTheirLengthFromTheData) {
    FakeBackend fake;
    fake.frames.push_back({Params(SANE_FRAME_GRAY, 8, 4, -1, 4), std::vector<uint8_t>(12, 9)});
    std::vector<uint8_t> dib;
    std::string error;
    ASSERT_TRUE(Assemble(fake, dib, error)) << error;
    EXPECT_EQ(U32(dib, 8), 3u);

    FakeBackend torn;  // ends inside a line
    torn.frames.push_back({Params(SANE_FRAME_GRAY, 8, 4, -1, 4), std::vector<uint8_t>(10, 9)});
    EXPECT_FALSE(Assemble(torn, dib, error));
}

TEST(SaneImage, SizesAndLengthsThatDoNotAddUpAreRefused) {
    struct Case {
        const char* name;
        SANE_Parameters params;
        size_t bytes;
        SANE_Status failWith = SANE_STATUS_GOOD;
    };
    const std::vector<Case> cases = {
        {"more data than announced", Params(SANE_FRAME_GRAY, 8, 4, 2, 4), 9},
        {"less data than announced", Params(SANE_FRAME_GRAY, 8, 4, 2, 4), 7},
        {"line shorter than its pixels", Params(SANE_FRAME_RGB, 8, 4, 2, 11), 22},
        {"zero width", Params(SANE_FRAME_GRAY, 8, 0, 2, 4), 8},
        {"zero lines", Params(SANE_FRAME_GRAY, 8, 4, 0, 4), 0},
        {"depth 12", Params(SANE_FRAME_GRAY, 12, 4, 2, 6), 12},
        {"huge page", Params(SANE_FRAME_RGB, 16, 1 << 20, 1 << 20, 6 << 20), 0},
        {"negative line length", Params(SANE_FRAME_GRAY, 8, 4, 2, -4), 8},
        {"unknown format", Params(SANE_Frame(0x0B), 8, 4, 2, 4), 8},
        {"I/O error mid-page", Params(SANE_FRAME_GRAY, 8, 4, 2, 4), 8, SANE_STATUS_IO_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBackend fake;
        fake.failWith = c.failWith;
        fake.frames.push_back({c.params, std::vector<uint8_t>(c.bytes, 1)});
        std::vector<uint8_t> dib;
        std::string error;
        EXPECT_FALSE(Assemble(fake, dib, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(SaneImage, MismatchedColourPassesAreRefused) {
    FakeBackend fake;
    fake.frames.push_back({Params(SANE_FRAME_RED, 8, 2, 1, 2, false), {1, 2}});
    fake.frames.push_back({Params(SANE_FRAME_GREEN, 8, 3, 1, 3, false), {1, 2, 3}});
    std::vector<uint8_t> dib;
    std::string error;
    EXPECT_FALSE(Assemble(fake, dib, error));

    FakeBackend endless;  // never marks a last frame
    for (int i = 0; i < 5; ++i) endless.frames.push_back({Params(SANE_FRAME_RED, 8, 1, 1, 1, false), {1}});
    EXPECT_FALSE(Assemble(endless, dib, error));
}
