#pragma once
// Elementary pixel-format conversions, halftoning and colour reduction.
//
// Each takes a source record and fills dest only on success: a copy of the source's
// header and colour table with new zero-started bits, biCompression BI_RGB,
// biSizeImage 0 and, where a routine says so, a new colour table. Rows keep their
// order. Wrong input raises EPxDIBBadDIBType naming the routine.
#include <array>

#include "imaging/PxDIBData.h"
#include "imaging/PxInternalDIB.h"

namespace imaging {

// Expansions keep biClrUsed and the colour table; to 24 bits too.
void Convert1BitRGBTo4BitRGB(const TPxDIBData& source, TPxDIBData& dest, bool useFMO);
void Convert1BitRGBTo8BitRGB(const TPxDIBData& source, TPxDIBData& dest, bool useFMO);
void Convert4BitRGBTo8BitRGB(const TPxDIBData& source, TPxDIBData& dest, bool useFMO);
void Convert1BitRGBToTrueColor(const TPxDIBData& source, TPxDIBData& dest, bool useFMO);
void Convert4BitRGBToTrueColor(const TPxDIBData& source, TPxDIBData& dest, bool useFMO);
void Convert8BitRGBToTrueColor(const TPxDIBData& source, TPxDIBData& dest, bool useFMO);

// To 1 bit: a pixel of exactly monoColor becomes white (1), any other black (0).
void ConvertTrueColorTo1BitRGB(const TPxDIBData& source, TPxDIBData& dest, TRGBColor monoColor, bool useFMO);
void Convert8BitTo1BitRGB(const TPxDIBData& source, TPxDIBData& dest, TRGBColor monoColor, bool useFMO);
void Convert4BitRGBTo1BitRGB(const TPxDIBData& source, TPxDIBData& dest, TRGBColor monoColor, bool useFMO);

// Serpentine error diffusion of an uncompressed 1-, 4-, 8- or 24-bit picture onto
// the fixed 215-colour palette (8 bits) or black and white (1 bit).
void ConvertToHalfTone(const TPxDIBData& source, TPxDIBData& dest, bool useFMO);
void ConvertToHalfToneBW(const TPxDIBData& source, TPxDIBData& dest, bool useFMO);

// Entry (r x 7 + g) x 5 + b of the red, green and blue levels, then five extra colours.
const std::array<TRGBQuad, 215>& HalftonePalette();
const std::array<TRGBQuad, 2>& BlackWhitePalette();

// Median-cut reductions: 24 bits to 8 or 4 (crLow over a 5-6-5 histogram, crHigh over
// every pixel), 8 bits to 4. Progress runs once per leaf: 2^depth times.
void ConvertTrueColorTo8BitRGBLow(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, const TPxProgress& progress);
void ConvertTrueColorTo4BitRGBLow(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, const TPxProgress& progress);
void ConvertTrueColorTo8BitRGBHigh(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, const TPxProgress& progress);
void ConvertTrueColorTo4BitRGBHigh(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, const TPxProgress& progress);
void Convert8BitRGBTo4BitRGB(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, const TPxProgress& progress);

// Internal helpers shared by the conversion files.
namespace detail {
// A target record of the source's size with `bits` bits per pixel, zero-filled.
TPxDIBData NewTarget(const TPxDIBData& source, int bits, bool useFMO);
// Raises EPxDIBBadDIBType(message) unless the source is uncompressed with `bits`
// bits and holds all its rows.
void RequireSource(const TPxDIBData& source, int bits, const char* message);
inline void SetIndex(uint8_t* row, int64_t x, int bits, uint8_t index)
{
    switch (bits) {
    case 1: if (index) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7)); break;
    case 4: row[x >> 1] |= (x & 1) ? (index & 0x0F) : static_cast<uint8_t>(index << 4); break;
    default: row[x] = index; break;
    }
}
}  // namespace detail

}  // namespace imaging
