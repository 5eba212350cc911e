#pragma once
// TPxInternalDIB: the reference-counted storage that TPxDIB objects share. It holds
// one DIB record (PxDIBData.h) and its picture's size; Height is always |biHeight|.
//
// Map of the implementation:
//   PxInternalDIB.cpp   creation, palettes, pixel format
//   PxBMPRead.cpp       BMP files and CF_DIB blocks in (every size checked first)
//   PxBMPWrite.cpp      BMP files and CF_DIB blocks out
//   PxConvert.cpp       SetPixelsFormat: the chain of conversions
#include <cstdint>
#include <functional>

#include "imaging/PxDIBData.h"
#include "imaging/PxStream.h"
#include "platform/Memory.h"
#include "platform/gdi/Palette.h"

namespace imaging {

struct TRGBColor {
    uint8_t Red = 0;
    uint8_t Green = 0;
    uint8_t Blue = 0;
};

using TPxProgress = std::function<void()>;

class TPxInternalDIB {
public:
    // A one-pixel 8-bit picture with 256 black colour entries.
    explicit TPxInternalDIB(bool useFMO);
    TPxInternalDIB(const TPxInternalDIB&) = delete;
    TPxInternalDIB& operator=(const TPxInternalDIB&) = delete;

    // Requires width >= 1, height <> 0, 0 <= colors <= 256, bitCount 1, 4, 8 or 24
    // (EPxDIBInvalidDIBPara); the new picture is zero bytes with a black colour table.
    void CreateDIB(int32_t width, int32_t height, int32_t colors, int32_t bitCount);
    void FreeDIB();
    // A new palette of the biClrUsed entries; null without colour table.
    platform::gdi::HPALETTE GetPalette() const;
    void UpdatePalette();
    TPxPixelFormat GetPixelFormat() const;

    // BMP files (at the stream's position) and CF_DIB blocks. A reader that raises
    // leaves the picture as it was.
    void LoadFromStream(TPxStream& stream);
    void SaveToStream(TPxStream& stream) const;
    void LoadFromClipboardFormat(const platform::GlobalBlock& block);
    platform::HGlobal SaveToClipboardFormat() const;

    // Converts in place; the picture is unchanged when a step raises.
    void SetPixelsFormat(TPxPixelFormat format, TPxColorReduction reduction, TRGBColor monoColor,
                         const TPxProgress& progress);

    // Replaces the record (the old bits are released) and takes its size.
    void Install(TPxDIBData&& data);

    int32_t RefCount = 1;
    int32_t Width = 0;
    int32_t Height = 0;
    platform::gdi::HPALETTE Palette;
    TPxDIBData Data;
    bool PaletteChanged = false;
    bool UseFMO = false;
};

}  // namespace imaging
