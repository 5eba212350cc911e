#pragma once
// Building pictures for the bitmap tests: records from rows of pixel values, and
// reading pixels back in top-down order whatever the storage.
#include <cstring>
#include <vector>

#include "imaging/PxDIB.h"
#include "imaging/PxDIBData.h"

namespace imaging::test {

// A record of width x rows.size() pixels at `bits` bits, rows given top first,
// stored bottom-up (or top-down when topDown); values are indices or 0xRRGGBB.
inline TPxDIBData MakeRecord(int bits, int32_t width, const std::vector<std::vector<uint32_t>>& rows,
                             bool topDown = false)
{
    TPxDIBData d;
    const auto height = static_cast<int32_t>(rows.size());
    d.Header.biWidth = width;
    d.Header.biHeight = topDown ? -height : height;
    d.Header.biBitCount = static_cast<uint16_t>(bits);
    const uint64_t stride = Stride(width, bits);
    d.ImageSize = static_cast<uint32_t>(stride * static_cast<uint64_t>(height));
    d.Memory = TDIBMemory::Get(d.ImageSize, false);
    for (int32_t y = 0; y < height; ++y) {
        const int32_t stored = topDown ? y : height - 1 - y;
        uint8_t* row = d.Bits() + static_cast<uint64_t>(stored) * stride;
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t v = rows[static_cast<size_t>(y)][static_cast<size_t>(x)];
            switch (bits) {
            case 1: if (v) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7)); break;
            case 4: row[x >> 1] |= (x & 1) ? static_cast<uint8_t>(v) : static_cast<uint8_t>(v << 4); break;
            case 8: row[x] = static_cast<uint8_t>(v); break;
            default:
                row[3 * x] = static_cast<uint8_t>(v);
                row[3 * x + 1] = static_cast<uint8_t>(v >> 8);
                row[3 * x + 2] = static_cast<uint8_t>(v >> 16);
            }
        }
    }
    if (bits <= 8) {
        d.Header.biClrUsed = 1u << bits;
        for (uint32_t i = 0; i < d.Header.biClrUsed; ++i)
            d.Colors[i] = {static_cast<uint8_t>(i * 3), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i), 0};
    }
    return d;
}

// Pixel (x, y) counted from the top row: an index for 1-8 bits, 0xRRGGBB for 24.
inline uint32_t PixelAt(const TPxDIBData& d, int32_t x, int32_t y)
{
    const int bits = d.Header.biBitCount;
    const int64_t h = static_cast<int64_t>(AbsHeight(d.Header.biHeight));
    const int64_t stored = d.Header.biHeight > 0 ? h - 1 - y : y;
    const uint8_t* row = d.Bits() + static_cast<uint64_t>(stored) * Stride(d.Header.biWidth, bits);
    if (bits == 24)
        return uint32_t{row[3 * x + 2]} << 16 | uint32_t{row[3 * x + 1]} << 8 | row[3 * x];
    return PixelIndex(row, x, bits);
}

// The colour of pixel (x, y) as 0xRRGGBB, through the colour table when indexed.
inline uint32_t ColorAt(const TPxDIBData& d, int32_t x, int32_t y)
{
    const uint32_t v = PixelAt(d, x, y);
    if (d.Header.biBitCount == 24)
        return v;
    const TRGBQuad& q = d.Colors[v];
    return uint32_t{q.rgbRed} << 16 | uint32_t{q.rgbGreen} << 8 | q.rgbBlue;
}

inline std::vector<uint8_t> BitsOf(const TPxDIBData& d)
{
    return std::vector<uint8_t>(d.Bits(), d.Bits() + d.ImageSize);
}

// An RLE record over the given stream bytes.
inline TPxDIBData MakeRLE(int bits, int32_t width, int32_t height, const std::vector<uint8_t>& stream)
{
    TPxDIBData d;
    d.Header.biWidth = width;
    d.Header.biHeight = height;
    d.Header.biBitCount = static_cast<uint16_t>(bits);
    d.Header.biCompression = bits == 8 ? BI_RLE8 : BI_RLE4;
    d.ImageSize = static_cast<uint32_t>(stream.size());
    d.Header.biSizeImage = d.ImageSize;
    d.Memory = TDIBMemory::Get(stream.size(), false);
    if (!stream.empty())
        std::memcpy(d.Bits(), stream.data(), stream.size());
    return d;
}

}  // namespace imaging::test
