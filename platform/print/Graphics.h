#pragma once
// Drawing surfaces of the GUI class library as the report library uses them: a canvas
// with a font, a brush and a pen, over a bitmap or a printer page.
//
// Contract:
// - Coordinates are device pixels of the surface. Text is code page 932 bytes.
// - A font's Height is given as the class library does, in pixels at 96 dots per inch
//   (negative: character height, positive: cell height); a canvas draws it at its own
//   resolution, so the same font is Height x PixelsPerInch / 96 pixels on a printer.
// - Horizontal and vertical lines are filled rectangles: a line of width w through y
//   covers the rows y - w div 2 ... y - w div 2 + w - 1 on every surface, so a bitmap and
//   a printed page agree to the pixel. Bitmaps are drawn without anti-aliasing.
// - DrawText follows DrawTextA: the DT_* flags below, "&" marks the next character as
//   an accelerator (shown underlined, "&&" is one "&") unless DT_NOPREFIX is given,
//   and DT_CALCRECT measures without drawing. The result is the height of the text.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class QPainter;
class QImage;

namespace platform {

// $00BBGGRR as the class library stores colours.
using TColor = uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clNavy = 0x800000;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clGreen = 0x008000;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clFuchsia = 0xFF00FF;
constexpr TColor clWindow = 0xFFFFFF;

struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool operator==(const TRect&) const = default;
};
inline TRect Rect(int left, int top, int right, int bottom) { return TRect{left, top, right, bottom}; }
inline TRect Bounds(int left, int top, int width, int height) {
    return TRect{left, top, left + width, top + height};
}

struct TFont {
    std::string Name = "ＭＳ 明朝";  // UTF-8 in source; the Japanese names map to the IPA fonts
    int Height = -12;
    TColor Color = clBlack;
    bool Bold = false;
    bool Italic = false;
    bool Underline = false;
};

enum class TBrushStyle { bsSolid, bsClear };
enum class TPenStyle { psSolid, psDot };
enum class TPixelFormat { pf1bit, pf4bit, pf8bit, pf24bit };

// DrawTextA flags.
constexpr unsigned DT_LEFT = 0x0000;
constexpr unsigned DT_TOP = 0x0000;
constexpr unsigned DT_CENTER = 0x0001;
constexpr unsigned DT_RIGHT = 0x0002;
constexpr unsigned DT_VCENTER = 0x0004;
constexpr unsigned DT_BOTTOM = 0x0008;
constexpr unsigned DT_WORDBREAK = 0x0010;
constexpr unsigned DT_SINGLELINE = 0x0020;
constexpr unsigned DT_EXPANDTABS = 0x0040;
constexpr unsigned DT_NOCLIP = 0x0100;
constexpr unsigned DT_CALCRECT = 0x0400;
constexpr unsigned DT_NOPREFIX = 0x0800;

// GetDeviceCaps indexes.
constexpr int HORZRES = 8;
constexpr int VERTRES = 10;
constexpr int LOGPIXELSX = 88;
constexpr int LOGPIXELSY = 90;
constexpr int PHYSICALWIDTH = 110;
constexpr int PHYSICALHEIGHT = 111;
constexpr int PHYSICALOFFSETX = 112;
constexpr int PHYSICALOFFSETY = 113;

// The resolution every screen canvas reports.
constexpr int kScreenPixelsPerInch = 96;

class TCanvas {
public:
    virtual ~TCanvas();

    TColor BrushColor = clWhite;
    TBrushStyle BrushStyle = TBrushStyle::bsSolid;
    TColor PenColor = clBlack;
    int PenWidth = 1;
    TPenStyle PenStyle = TPenStyle::psSolid;

    const TFont& Font() const { return font_; }
    void SetFont(const TFont& font) { font_ = font; }
    // The font's Height at this canvas's resolution (negative for a character height).
    int ScaledFontHeight() const;
    virtual int PixelsPerInch() const = 0;
    virtual int GetDeviceCaps(int index) const;

    void FillRect(const TRect& r);
    // A line from (x1, y1) to (x2, y2) with the pen; see the header's contract.
    void Line(int x1, int y1, int x2, int y2);
    int TextWidth(std::string_view text);
    int TextHeight(std::string_view text);
    // Text with its cell's top-left corner at (x, y), clipped to clip; the background is
    // filled with the brush unless the brush is clear.
    void TextRect(const TRect& clip, int x, int y, std::string_view text);
    void TextOut(int x, int y, std::string_view text);
    int DrawText(std::string_view text, TRect& r, unsigned flags);
    // The image stretched over dest, nearest pixel, as StretchDIBits with SRCCOPY does.
    void StretchDraw(const TRect& dest, const QImage& image);

    // The painter, begun on the surface. Null when the surface cannot be painted.
    virtual QPainter* Painter() = 0;

protected:
    TFont font_;
};

// A bitmap in memory with its own canvas. Pixels are kept as 32-bit RGB whatever the
// pixel format; the format says what the bitmap becomes when it is handed on.
class TBitmap {
public:
    TBitmap();
    TBitmap(int width, int height, TPixelFormat format = TPixelFormat::pf24bit);
    ~TBitmap();
    TBitmap(const TBitmap&) = delete;
    TBitmap& operator=(const TBitmap&) = delete;

    int Width() const;
    int Height() const;
    TPixelFormat PixelFormat() const { return format_; }
    void SetPixelFormat(TPixelFormat format) { format_ = format; }
    void SetSize(int width, int height);
    TCanvas& Canvas();
    // The pixels as drawn so far (ends painting; the canvas begins again on next use).
    const QImage& Image();
    void Assign(const QImage& image);
    TColor Pixel(int x, int y);

private:
    class BitmapCanvas;
    std::unique_ptr<QImage> image_;
    std::unique_ptr<BitmapCanvas> canvas_;
    TPixelFormat format_ = TPixelFormat::pf24bit;
};

// Round with halves to the even neighbour, as the Pascal runtime does.
int RoundHalfEven(double value);

}  // namespace platform
