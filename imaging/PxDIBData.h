#pragma once
// The DIB record: a BITMAPINFOHEADER, 256 colour-table entries and the pixel bits.
//
// Rows are stored in the header's order: biHeight > 0 means the first row in memory
// is the bottom one, biHeight < 0 top-down. A row takes Stride(width, bits) bytes;
// within a byte the leftmost pixel sits in the most significant bits, 24-bit pixels
// are blue, green, red. The bits live in a page-file mapping or a heap block
// (TDIBMemory); a record owns its bits and moves, never copies, them.
#include <array>
#include <cstdint>
#include <cstddef>

#include "platform/Memory.h"

namespace imaging {

constexpr uint32_t BI_RGB = 0;
constexpr uint32_t BI_RLE8 = 1;
constexpr uint32_t BI_RLE4 = 2;
constexpr uint32_t BI_BITFIELDS = 3;
constexpr int32_t kDefaultPelsPerMeter = 3780;

// Anything larger is refused before allocation: no picture of the system needs a
// gigabyte, and a forged header must not make us try.
constexpr uint64_t kMaxImageBytes = uint64_t{1} << 30;

enum TPxPixelFormat : uint8_t {
    pxpf1Bit,
    pxpf4Bit,
    pxpf4BitRLE,
    pxpf8Bit,
    pxpf8BitRLE,
    pxpf24Bit,
    pxpfHalftone,    // conversion target only: 8 bits on the fixed 215-colour palette
    pxpfHalftoneBW,  // conversion target only: 1 bit, black and white
};

enum TPxColorReduction : uint8_t { crLow, crHigh };

struct TBitmapInfoHeader {
    uint32_t biSize = 40;
    int32_t biWidth = 0;
    int32_t biHeight = 0;
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 0;
    uint32_t biCompression = BI_RGB;
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = kDefaultPelsPerMeter;
    int32_t biYPelsPerMeter = kDefaultPelsPerMeter;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};
constexpr uint32_t kInfoHeaderSize = 40;

struct TRGBQuad {
    uint8_t rgbBlue = 0;
    uint8_t rgbGreen = 0;
    uint8_t rgbRed = 0;
    uint8_t rgbReserved = 0;
    bool operator==(const TRGBQuad&) const = default;
};

// Zero-filled memory for the bits, in a page-file mapping (useFMO) or on the heap.
// MappingHandle is non-zero for mapped memory; the mapping object itself is closed
// as soon as its view exists.
class TDIBMemory {
public:
    TDIBMemory() = default;
    // Raises EOutOfResources with the original texts when a mapping cannot be made.
    static TDIBMemory Get(uint64_t size, bool useFMO);
    ~TDIBMemory() { Release(); }
    TDIBMemory(TDIBMemory&& other) noexcept { *this = static_cast<TDIBMemory&&>(other); }
    TDIBMemory& operator=(TDIBMemory&& other) noexcept;
    TDIBMemory(const TDIBMemory&) = delete;
    TDIBMemory& operator=(const TDIBMemory&) = delete;

    void Release();
    uint8_t* Bits() const { return bits_; }
    std::size_t Size() const { return size_; }
    platform::MappingHandle MappingHandle() const { return mapping_; }

private:
    uint8_t* bits_ = nullptr;
    std::size_t size_ = 0;
    platform::MappingHandle mapping_ = 0;
};

struct TPxDIBData {
    uint32_t ImageSize = 0;  // bytes of pixel data (packed rows or the RLE stream)
    TDIBMemory Memory;
    TBitmapInfoHeader Header;
    std::array<TRGBQuad, 256> Colors{};

    uint8_t* Bits() const { return Memory.Bits(); }
    platform::MappingHandle MappingHandle() const { return Memory.MappingHandle(); }
};

// A record with the header and colour table of source and no bits.
TPxDIBData CopyRecordHeader(const TPxDIBData& source);

// Bytes per stored row, ((width x bits + 31) div 32) x 4, in 64 bits.
inline uint64_t Stride(int64_t width, int bitCount)
{
    return ((static_cast<uint64_t>(width) * static_cast<uint64_t>(bitCount) + 31) / 32) * 4;
}
inline uint64_t AbsHeight(int32_t height)
{
    return height < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(height)) : static_cast<uint64_t>(height);
}
// Bytes of width x |height| pixels at `bits`, or kMaxImageBytes + 1 for a picture
// that is empty or too large (each side is bounded first, so nothing wraps).
inline uint64_t ImageBytes(int64_t width, int32_t height, int bits)
{
    const uint64_t rows = AbsHeight(height);
    if (width < 1 || rows < 1 || width > (int64_t{1} << 30) || rows > kMaxImageBytes)
        return kMaxImageBytes + 1;
    const uint64_t size = Stride(width, bits) * rows;  // at most 2^35 x 2^30
    return size > kMaxImageBytes ? kMaxImageBytes + 1 : size;
}

// The pixel format of a header; raises EPxDIBInvalidDIB naming method for a bad pair.
TPxPixelFormat PixelFormatOf(const TBitmapInfoHeader& header, const char* method);

// Reads pixel x of a row of 1, 4 or 8 bits (its colour index).
inline uint8_t PixelIndex(const uint8_t* row, int64_t x, int bitCount)
{
    switch (bitCount) {
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    case 4: return (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
    default: return row[x];
    }
}

}  // namespace imaging
