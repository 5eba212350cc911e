// Serpentine error diffusion onto the fixed halftone palette or black and white.
//
// Two error rows of W + 2 entries (entry k + 1 is column k; the margins stay 0) carry
// each channel's error to the next row; the running error E carries it along the row.
// Values after the error are clamped to -256..512, so the quantisation tables and the
// 16-bit errors never overflow at the edges.
#include <algorithm>
#include <vector>

#include "imaging/PxConvert.h"
#include "imaging/PxDIBErrors.h"

namespace imaging {
namespace {

constexpr int kLow = -256;
constexpr int kHigh = 512;

constexpr uint8_t kRedLevels[6] = {0, 51, 102, 153, 204, 255};
constexpr uint8_t kGreenLevels[7] = {0, 43, 85, 128, 171, 214, 255};
constexpr uint8_t kBlueLevels[5] = {0, 64, 128, 192, 255};

struct Quantiser {
    uint8_t red[kHigh - kLow + 1];
    uint8_t green[kHigh - kLow + 1];
    uint8_t blue[kHigh - kLow + 1];
    Quantiser()
    {
        for (int v = kLow; v <= kHigh; ++v) {
            const int i = v - kLow;
            red[i] = v <= 25 ? 0 : v <= 76 ? 1 : v <= 127 ? 2 : v <= 178 ? 3 : v <= 230 ? 4 : 5;
            green[i] = v <= 21 ? 0 : v <= 63 ? 1 : v <= 106 ? 2 : v <= 149 ? 3 : v <= 192 ? 4 : v <= 233 ? 5 : 6;
            blue[i] = v <= 31 ? 0 : v <= 95 ? 1 : v <= 159 ? 2 : v <= 223 ? 3 : 4;
        }
    }
};

const Quantiser& Tables()
{
    static const Quantiser tables;
    return tables;
}

struct Error3 {
    int16_t c[3] = {0, 0, 0};  // red, green, blue
};

void Halftone(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, bool colour)
{
    const TBitmapInfoHeader& h = source.Header;
    const char* name = colour ? "ConvertToHalfTone" : "ConvertToHalfToneBW";
    PxAssert(h.biCompression == BI_RGB, colour ? "ConvertToHalfTone: Invalid DIB Format"
                                               : "ConvertToHalfToneBW: Invalid DIB Format");
    const int from = h.biBitCount;
    PxAssert(from == 1 || from == 4 || from == 8 || from == 24,
             colour ? "ConvertToHalfTone: Invalid Bit Count" : "ConvertToHalfToneBW: Invalid Bit Count");
    detail::RequireSource(source, from, name);

    const int to = colour ? 8 : 1;
    TPxDIBData result = detail::NewTarget(source, to, useFMO);
    const Quantiser& q = Tables();
    const int64_t width = h.biWidth;
    const uint64_t height = AbsHeight(h.biHeight);
    const uint64_t inStride = Stride(width, from);
    const uint64_t outStride = Stride(width, to);
    std::vector<Error3> current(static_cast<size_t>(width) + 2);
    std::vector<Error3> previous(current.size());

    for (uint64_t y = 0; y < height; ++y) {
        previous = current;
        int e[3] = {0, 0, 0};
        const bool even = (y & 1) == 0;
        const uint8_t* in = source.Bits() + y * inStride;
        uint8_t* out = result.Bits() + y * outStride;
        for (int64_t step = 0; step < width; ++step) {
            const int64_t x = even ? step : width - 1 - step;
            int v[3];
            if (from == 24) {
                v[0] = in[3 * x + 2], v[1] = in[3 * x + 1], v[2] = in[3 * x];
            } else {
                const TRGBQuad& c = source.Colors[PixelIndex(in, x, from)];
                v[0] = c.rgbRed, v[1] = c.rgbGreen, v[2] = c.rgbBlue;
            }
            const Error3& above = previous[static_cast<size_t>(x) + 1];
            const Error3& diagonal = previous[static_cast<size_t>(even ? x : x + 2)];
            for (int ch = 0; ch < 3; ++ch) {
                const int spread = (above.c[ch] * 12 + e[ch] * 12 + diagonal.c[ch] * 5) / 32;
                v[ch] = std::clamp(v[ch] - spread, kLow, kHigh);
            }
            int err[3];
            if (colour) {
                const uint8_t r = q.red[v[0] - kLow], g = q.green[v[1] - kLow], b = q.blue[v[2] - kLow];
                out[x] = static_cast<uint8_t>((r * 7 + g) * 5 + b);
                err[0] = kRedLevels[r] - v[0];
                err[1] = kGreenLevels[g] - v[1];
                err[2] = kBlueLevels[b] - v[2];
            } else {
                const bool white = v[0] + v[1] + v[2] >= 384;
                const int level = white ? 255 : 0;
                for (int ch = 0; ch < 3; ++ch)
                    err[ch] = level - v[ch];
                if (white)
                    out[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
            }
            Error3& slot = current[static_cast<size_t>(x) + 1];
            for (int ch = 0; ch < 3; ++ch) {
                slot.c[ch] = static_cast<int16_t>(err[ch]);
                e[ch] = err[ch];
            }
        }
    }
    if (colour) {
        const auto& palette = HalftonePalette();
        std::copy(palette.begin(), palette.end(), result.Colors.begin());
        result.Header.biClrUsed = static_cast<uint32_t>(palette.size());
    } else {
        result.Colors[0] = BlackWhitePalette()[0];
        result.Colors[1] = BlackWhitePalette()[1];
        result.Header.biClrUsed = 2;
    }
    dest = std::move(result);
}

}  // namespace

const std::array<TRGBQuad, 215>& HalftonePalette()
{
    static const std::array<TRGBQuad, 215> palette = [] {
        std::array<TRGBQuad, 215> p{};
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 7; ++g)
                for (int b = 0; b < 5; ++b)
                    p[static_cast<size_t>((r * 7 + g) * 5 + b)] = {kBlueLevels[b], kGreenLevels[g], kRedLevels[r], 0};
        // TColor $000080, $008080, $800080, $C0C0C0, $808080 (blue, green, red below).
        p[210] = {0, 0, 128, 0};
        p[211] = {0, 128, 128, 0};
        p[212] = {128, 0, 128, 0};
        p[213] = {192, 192, 192, 0};
        p[214] = {128, 128, 128, 0};
        return p;
    }();
    return palette;
}

void ConvertToHalfTone(const TPxDIBData& source, TPxDIBData& dest, bool useFMO)
{
    Halftone(source, dest, useFMO, true);
}

void ConvertToHalfToneBW(const TPxDIBData& source, TPxDIBData& dest, bool useFMO)
{
    Halftone(source, dest, useFMO, false);
}

}  // namespace imaging
