#pragma once
// Drawing device-independent bitmaps (StretchDIBits) and the bitmaps of the GUI class
// library (TBitmap, GetDIBits), over Qt 6 without smoothing:
//
// - At scale 1 the destination gets exactly the picture's pixels; stretched, every
//   destination pixel takes the source pixel under its centre (nearest neighbour,
//   the COLORONCOLOR mode). A negative destination width or height mirrors.
// - Source rectangles count from the picture's top-left row whatever the row order.
// - Only uncompressed 1-, 4-, 8- and 24-bit bits are drawn; RLE is the caller's.
//
// This header names no Qt type; platform/gdi/QtBridge.h joins these objects to Qt.
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/gdi/Geometry.h"
#include "platform/gdi/Palette.h"

namespace platform::gdi {

// The parts of a BITMAPINFO that drawing needs.
struct BitmapInfo {
    int32_t width = 0;
    int32_t height = 0;      // > 0 bottom-up rows, < 0 top-down
    uint16_t bitCount = 0;   // 1, 4, 8 or 24
    const uint8_t* colors = nullptr;  // RGBQUAD entries (blue, green, red, 0)
    uint32_t colorCount = 0;
};

// A drawing surface: a Qt painter or paint device behind an opaque handle.
class Canvas {
public:
    struct Impl;
    explicit Canvas(std::unique_ptr<Impl> impl);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    // False when the bits cannot be drawn (bad sizes or bit count).
    bool StretchDIBits(int32_t dx, int32_t dy, int32_t dw, int32_t dh, int32_t sx, int32_t sy, int32_t sw,
                       int32_t sh, const BitmapInfo& info, const uint8_t* bits);
    void FillRect(const TRect& rect, uint8_t red, uint8_t green, uint8_t blue);

    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

// A canvas whose drawing lands in the bits of an uncompressed DIB (a DIB section). The
// pixels are taken in when it opens and written back when it is destroyed, mapped
// onto the colour table by nearest colour for palette formats; the bits and colour
// table must outlive it. nullptr for bits that cannot be drawn on.
std::unique_ptr<Canvas> CreateDIBSectionCanvas(const BitmapInfo& info, uint8_t* bits);

enum class PixelFormat { pf1bit, pf4bit, pf8bit, pf24bit };

// A bitmap in memory with its pixel format and palette; drawn on through Canvas().
// The pixels are kept in full colour; GetDIBits maps them onto the palette (nearest
// colour) for 1-, 4- and 8-bit formats.
class Bitmap {
public:
    Bitmap();
    ~Bitmap();
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;

    int32_t Width() const;
    int32_t Height() const;
    void SetSize(int32_t width, int32_t height);  // new pixels are white
    PixelFormat Format() const { return format_; }
    // Changing the format sets the format's default palette (black and white, the 16
    // standard colours, a 6 x 6 x 6 cube and 40 greys) for palette formats.
    void SetFormat(PixelFormat format);
    const HPALETTE& Palette() const { return palette_; }
    void SetPalette(HPALETTE palette) { palette_ = std::move(palette); }
    Canvas& GetCanvas();
    // Colour of a pixel as 0xRRGGBB.
    uint32_t PixelColor(int32_t x, int32_t y) const;

    struct Impl;
    Impl& impl() const { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
    std::unique_ptr<Canvas> canvas_;
    PixelFormat format_ = PixelFormat::pf24bit;
    HPALETTE palette_;
};

// Bottom-up rows of the bitmap at its pixel format's bit count (1, 4, 8 or 24), and
// the colour table used (empty for 24 bits).
struct DIBits {
    uint16_t bitCount = 24;
    std::vector<uint8_t> bits;
    LogPalette colors;
};
DIBits GetDIBits(const Bitmap& bitmap);

}  // namespace platform::gdi
