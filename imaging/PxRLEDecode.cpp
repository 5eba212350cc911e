// Decoding BI_RLE8 and BI_RLE4 streams into packed rows.
#include <string>

#include "imaging/PxDIBErrors.h"
#include "imaging/PxRLE.h"

namespace imaging {
namespace {

struct DecoderNames {
    const char* routine;
    int codeBase;  // number of the "Bad RLE Data" reason for the end of line; the others follow
};

[[noreturn]] void Bad(const DecoderNames& names, int offset)
{
    throw EPxDIBInvalidDIB(std::string(names.routine) + ": Bad RLE Data " +
                           std::to_string(names.codeBase + offset));
}

[[noreturn]] void Truncated(const DecoderNames& names)
{
    throw EPxDIBInvalidDIB(std::string(names.routine) + ": RLE Data ends before End of Bitmap");
}

template <int Bits>
void Decode(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, const DecoderNames& names)
{
    const TBitmapInfoHeader& h = source.Header;
    const int64_t width = h.biWidth;
    const int64_t height = static_cast<int64_t>(AbsHeight(h.biHeight));
    if (ImageBytes(width, h.biHeight, Bits) > kMaxImageBytes)
        throw EPxDIBInvalidDIB(std::string(names.routine) + ": Invalid Width or Height");
    const uint64_t stride = Stride(width, Bits);
    // Runs may reach into the row's padding, as ImageMagick writes them; only the
    // picture's own columns are written, and nothing passes the stored row.
    const int64_t columns = Bits == 8 ? width : (width + 1) / 2 * 2;
    const int64_t limit = static_cast<int64_t>(stride) * (8 / Bits);

    TPxDIBData result = CopyRecordHeader(source);
    result.Memory = TDIBMemory::Get(stride * static_cast<uint64_t>(height), useFMO);
    uint8_t* out = result.Bits();
    const uint8_t* in = source.Bits();
    const uint64_t size = in == nullptr ? 0 : source.ImageSize;
    uint64_t pos = 0;
    int64_t x = 0;
    int64_t y = 0;

    auto put = [&](int64_t col, uint8_t pixel) {
        if (col >= columns)
            return;
        uint8_t* row = out + static_cast<uint64_t>(y) * stride;
        if constexpr (Bits == 8) {
            row[col] = pixel;
        } else if ((col & 1) == 0) {
            row[col >> 1] = static_cast<uint8_t>(pixel << 4);
        } else {
            row[col >> 1] |= pixel & 0x0F;
        }
    };

    for (;;) {
        if (size - pos < 2)
            Truncated(names);
        const uint8_t first = in[pos];
        const uint8_t second = in[pos + 1];
        pos += 2;
        if (first > 0) {  // encoded run
            if (x + first > limit || y >= height)
                Bad(names, 3);
            for (int i = 0; i < first; ++i) {
                if constexpr (Bits == 8)
                    put(x + i, second);
                else
                    put(x + i, (i & 1) ? (second & 0x0F) : (second >> 4));
            }
            x += first;
            continue;
        }
        switch (second) {
        case 0:  // end of line
            x = 0;
            ++y;
            if (y > height)
                Bad(names, 0);
            break;
        case 1:  // end of bitmap
            result.ImageSize = static_cast<uint32_t>(stride * static_cast<uint64_t>(height));
            result.Header.biCompression = BI_RGB;
            result.Header.biSizeImage = 0;
            dest = std::move(result);
            return;
        case 2:  // delta
            if (size - pos < 2)
                Truncated(names);
            x += in[pos];
            y += in[pos + 1];
            pos += 2;
            if (x > limit || y > height)
                Bad(names, 1);
            break;
        default: {  // absolute run of `second` pixels
            const int64_t n = second;
            const uint64_t bytes = Bits == 8 ? static_cast<uint64_t>(n) : static_cast<uint64_t>(n + 1) / 2;
            const uint64_t padded = (bytes + 1) & ~uint64_t{1};
            if (x + n > limit || y >= height)
                Bad(names, 2);
            if (size - pos < bytes)
                Truncated(names);
            for (int64_t i = 0; i < n; ++i) {
                if constexpr (Bits == 8)
                    put(x + i, in[pos + static_cast<uint64_t>(i)]);
                else {
                    const uint8_t b = in[pos + static_cast<uint64_t>(i >> 1)];
                    put(x + i, (i & 1) ? (b & 0x0F) : (b >> 4));
                }
            }
            // The pad byte of the last literal may be missing at the very end.
            pos += padded <= size - pos ? padded : bytes;
            x += n;
            break;
        }
        }
    }
}

}  // namespace

void Convert8BitRLETo8BitRGB(const TPxDIBData& source, TPxDIBData& dest, bool useFMO)
{
    if (source.Header.biBitCount != 8 || source.Header.biCompression != BI_RLE8)
        throw EPxDIBBadDIBType("Convert8BitRLETo8BitRGB: Invalid Bitcount & Compression Combination");
    Decode<8>(source, dest, useFMO, {"Convert8BitRLETo8BitRGB", 1});
}

void Convert4BitRLETo4BitRGB(const TPxDIBData& source, TPxDIBData& dest, bool useFMO)
{
    if (source.Header.biBitCount != 4 || source.Header.biCompression != BI_RLE4)
        throw EPxDIBBadDIBType("Convert4BitRLETo4BitRGB: Invalid Bitcount & Compression Combination");
    Decode<4>(source, dest, useFMO, {"Convert4BitRLETo4BitRGB", 5});
}

}  // namespace imaging
