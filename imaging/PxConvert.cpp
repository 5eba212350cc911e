// Expansions, reductions to 1 bit and conversions to 24 bits.
#include "imaging/PxConvert.h"

#include "imaging/PxDIBErrors.h"

namespace imaging {
namespace detail {

TPxDIBData NewTarget(const TPxDIBData& source, int bits, bool useFMO)
{
    TPxDIBData dest = CopyRecordHeader(source);
    const uint64_t size = ImageBytes(source.Header.biWidth, source.Header.biHeight, bits);
    dest.Memory = TDIBMemory::Get(size, useFMO);
    dest.ImageSize = static_cast<uint32_t>(size);
    dest.Header.biBitCount = static_cast<uint16_t>(bits);
    dest.Header.biCompression = BI_RGB;
    dest.Header.biSizeImage = 0;
    return dest;
}

void RequireSource(const TPxDIBData& source, int bits, const char* message)
{
    const TBitmapInfoHeader& h = source.Header;
    if (h.biBitCount != bits || h.biCompression != BI_RGB)
        throw EPxDIBBadDIBType(message);
    const uint64_t size = ImageBytes(h.biWidth, h.biHeight, bits);
    if (size > kMaxImageBytes || source.Bits() == nullptr || source.ImageSize < size)
        throw EPxDIBInvalidDIB(std::string(message) + " (Pixel Data too Short)");
}

}  // namespace detail

namespace {

using detail::NewTarget;
using detail::RequireSource;
using detail::SetIndex;

// Copies every pixel's index from a 1-, 4- or 8-bit source to a wider index format.
void Expand(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, int from, int to, const char* message)
{
    RequireSource(source, from, message);
    TPxDIBData result = NewTarget(source, to, useFMO);
    const int64_t width = source.Header.biWidth;
    const uint64_t height = AbsHeight(source.Header.biHeight);
    const uint64_t inStride = Stride(width, from);
    const uint64_t outStride = Stride(width, to);
    for (uint64_t y = 0; y < height; ++y) {
        const uint8_t* in = source.Bits() + y * inStride;
        uint8_t* out = result.Bits() + y * outStride;
        for (int64_t x = 0; x < width; ++x)
            SetIndex(out, x, to, PixelIndex(in, x, from));
    }
    dest = std::move(result);
}

void ToTrueColor(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, int from, const char* message)
{
    RequireSource(source, from, message);
    TPxDIBData result = NewTarget(source, 24, useFMO);
    const int64_t width = source.Header.biWidth;
    const uint64_t height = AbsHeight(source.Header.biHeight);
    const uint64_t inStride = Stride(width, from);
    const uint64_t outStride = Stride(width, 24);
    for (uint64_t y = 0; y < height; ++y) {
        const uint8_t* in = source.Bits() + y * inStride;
        uint8_t* out = result.Bits() + y * outStride;
        for (int64_t x = 0; x < width; ++x) {
            const TRGBQuad& c = source.Colors[PixelIndex(in, x, from)];
            out[3 * x] = c.rgbBlue;
            out[3 * x + 1] = c.rgbGreen;
            out[3 * x + 2] = c.rgbRed;
        }
    }
    dest = std::move(result);
}

void ToMonochrome(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, int from, TRGBColor mono,
                  const char* message)
{
    RequireSource(source, from, message);
    TPxDIBData result = NewTarget(source, 1, useFMO);
    const int64_t width = source.Header.biWidth;
    const uint64_t height = AbsHeight(source.Header.biHeight);
    const uint64_t inStride = Stride(width, from);
    const uint64_t outStride = Stride(width, 1);
    for (uint64_t y = 0; y < height; ++y) {
        const uint8_t* in = source.Bits() + y * inStride;
        uint8_t* out = result.Bits() + y * outStride;
        for (int64_t x = 0; x < width; ++x) {
            uint8_t b, g, r;
            if (from == 24) {
                b = in[3 * x], g = in[3 * x + 1], r = in[3 * x + 2];
            } else {
                const TRGBQuad& c = source.Colors[PixelIndex(in, x, from)];
                b = c.rgbBlue, g = c.rgbGreen, r = c.rgbRed;
            }
            SetIndex(out, x, 1, r == mono.Red && g == mono.Green && b == mono.Blue);
        }
    }
    result.Header.biClrUsed = 2;
    result.Colors[0] = BlackWhitePalette()[0];
    result.Colors[1] = BlackWhitePalette()[1];
    dest = std::move(result);
}

}  // namespace

const std::array<TRGBQuad, 2>& BlackWhitePalette()
{
    static const std::array<TRGBQuad, 2> palette{TRGBQuad{0, 0, 0, 0}, TRGBQuad{255, 255, 255, 0}};
    return palette;
}

void Convert1BitRGBTo4BitRGB(const TPxDIBData& source, TPxDIBData& dest, bool useFMO)
{
    Expand(source, dest, useFMO, 1, 4, "Convert1BitRGBTo4BitRGB: Invalid Bitcount & Compression Combination");
}

void Convert1BitRGBTo8BitRGB(const TPxDIBData& source, TPxDIBData& dest, bool useFMO)
{
    Expand(source, dest, useFMO, 1, 8, "Convert1BitRGBTo8BitRGB: Invalid Bitcount & Compression Combination");
}

void Convert4BitRGBTo8BitRGB(const TPxDIBData& source, TPxDIBData& dest, bool useFMO)
{
    Expand(source, dest, useFMO, 4, 8, "Convert4BitRGBTo8BitRGB: Invalid Bitcount & Compression Combination");
}

void Convert1BitRGBToTrueColor(const TPxDIBData& source, TPxDIBData& dest, bool useFMO)
{
    ToTrueColor(source, dest, useFMO, 1, "Convert1BitRGBToTrueColor: Invalid Bitcount & Compression Combination");
}

void Convert4BitRGBToTrueColor(const TPxDIBData& source, TPxDIBData& dest, bool useFMO)
{
    ToTrueColor(source, dest, useFMO, 4, "Convert4BitRGBToTrueColor: Invalid Bitcount & Compression Combination");
}

void Convert8BitRGBToTrueColor(const TPxDIBData& source, TPxDIBData& dest, bool useFMO)
{
    ToTrueColor(source, dest, useFMO, 8, "Convert8BitRGBToTrueColor: Invalid Bitcount & Compression Combination");
}

void ConvertTrueColorTo1BitRGB(const TPxDIBData& source, TPxDIBData& dest, TRGBColor monoColor, bool useFMO)
{
    ToMonochrome(source, dest, useFMO, 24, monoColor, "ConvertTrueColorTo1BitRGB: Invalid Bitcount");
}

void Convert8BitTo1BitRGB(const TPxDIBData& source, TPxDIBData& dest, TRGBColor monoColor, bool useFMO)
{
    ToMonochrome(source, dest, useFMO, 8, monoColor, "Convert8BitTo1BitRGB: Invalid Bitcount or Compression");
}

void Convert4BitRGBTo1BitRGB(const TPxDIBData& source, TPxDIBData& dest, TRGBColor monoColor, bool useFMO)
{
    ToMonochrome(source, dest, useFMO, 4, monoColor, "Convert4BitRGBTo1BitRGB: Invalid Bitcount");
}

}  // namespace imaging
