// TPxDIB on screens and bitmaps: drawing (plain or halftoned), bitmaps in and out, and
// the clipboard. RLE pictures are expanded here before the drawing layer sees them.
#include <algorithm>
#include <cstring>

#include "imaging/PxConvert.h"
#include "imaging/PxDIB.h"
#include "imaging/PxDIBErrors.h"
#include "imaging/PxRLE.h"
#include "platform/gdi/Canvas.h"
#include "platform/gdi/Clipboard.h"

namespace imaging {
namespace {

// The picture's record uncompressed: the record itself, or a decoded copy in `scratch`.
const TPxDIBData& Uncompressed(const TPxDIBData& data, TPxDIBData& scratch)
{
    if (data.Header.biCompression == BI_RLE8) {
        Convert8BitRLETo8BitRGB(data, scratch, false);
        return scratch;
    }
    if (data.Header.biCompression == BI_RLE4) {
        Convert4BitRLETo4BitRGB(data, scratch, false);
        return scratch;
    }
    return data;
}

platform::gdi::BitmapInfo InfoOf(const TPxDIBData& data)
{
    platform::gdi::BitmapInfo info;
    info.width = data.Header.biWidth;
    info.height = data.Header.biHeight;
    info.bitCount = data.Header.biBitCount;
    info.colors = reinterpret_cast<const uint8_t*>(data.Colors.data());
    info.colorCount = data.Header.biClrUsed > 256 ? 256 : data.Header.biClrUsed;
    return info;
}

// Nearest-neighbour copy of an uncompressed picture at width x height, same bit count
// and colour table, bottom-up.
TPxDIBData Stretched(const TPxDIBData& source, int32_t width, int32_t height)
{
    const int bits = source.Header.biBitCount;
    TPxDIBData dest = CopyRecordHeader(source);
    dest.Header.biWidth = width;
    dest.Header.biHeight = height;
    dest = detail::NewTarget(dest, bits, false);
    const int64_t sw = source.Header.biWidth;
    const int64_t sh = static_cast<int64_t>(AbsHeight(source.Header.biHeight));
    const uint64_t inStride = Stride(sw, bits);
    const uint64_t outStride = Stride(width, bits);
    for (int64_t ty = 0; ty < height; ++ty) {
        const int64_t syTop = (2 * ty + 1) * sh / (2 * int64_t{height});
        const int64_t sy = source.Header.biHeight > 0 ? sh - 1 - syTop : syTop;
        const uint8_t* in = source.Bits() + static_cast<uint64_t>(sy) * inStride;
        uint8_t* out = dest.Bits() + static_cast<uint64_t>(height - 1 - ty) * outStride;
        for (int64_t tx = 0; tx < width; ++tx) {
            const int64_t sx = (2 * tx + 1) * sw / (2 * int64_t{width});
            if (bits == 24)
                std::memcpy(out + 3 * tx, in + 3 * sx, 3);
            else
                detail::SetIndex(out, tx, bits, PixelIndex(in, sx, bits));
        }
    }
    return dest;
}

}  // namespace

void TPxDIB::DrawDirect(platform::gdi::Canvas& canvas, const TRect& rect)
{
    TPxDIBData scratch;
    const TPxDIBData& data = Uncompressed(Data(), scratch);
    canvas.StretchDIBits(rect.Left, rect.Top, rect.Width(), rect.Height(), 0, 0, GetWidth(), GetHeight(),
                         InfoOf(data), data.Bits());
}

void TPxDIB::Draw(platform::gdi::Canvas& canvas, const TRect& rect)
{
    if (HalftoneMode == hmNone) {
        DrawDirect(canvas, rect);
        return;
    }
    const int64_t w = rect.Width() < 0 ? -int64_t{rect.Width()} : rect.Width();
    const int64_t h = rect.Height() < 0 ? -int64_t{rect.Height()} : rect.Height();
    if (w == 0 || h == 0)
        return;
    TPxDIBData scratch;
    const TPxDIBData& data = Uncompressed(Data(), scratch);
    const TPxDIBData sized = Stretched(data, static_cast<int32_t>(w), static_cast<int32_t>(h));
    TPxDIBData halftoned;
    if (HalftoneMode == hmColor)
        ConvertToHalfTone(sized, halftoned, false);
    else
        ConvertToHalfToneBW(sized, halftoned, false);
    canvas.StretchDIBits(rect.Left, rect.Top, rect.Width(), rect.Height(), 0, 0, static_cast<int32_t>(w),
                         static_cast<int32_t>(h), InfoOf(halftoned), halftoned.Bits());
}

void TPxDIB::Assign(const platform::gdi::Bitmap& source)
{
    PxAssert(internal_ != nullptr, "TPxDIB.Assign: InternalDIB Should not be Nil");
    const platform::gdi::DIBits dib = platform::gdi::GetDIBits(source);
    auto fresh = std::make_unique<TPxInternalDIB>(internal_->UseFMO);
    fresh->FreeDIB();
    fresh->CreateDIB(source.Width(), source.Height(), 0, dib.bitCount);
    TPxDIBData& d = fresh->Data;
    std::memcpy(d.Bits(), dib.bits.data(), std::min<size_t>(d.ImageSize, dib.bits.size()));
    for (size_t i = 0; i < dib.colors.size() && i < 256; ++i)
        d.Colors[i] = {dib.colors[i].peBlue, dib.colors[i].peGreen, dib.colors[i].peRed, 0};
    uint32_t used = static_cast<uint32_t>(dib.colors.size());
    if (used == 0 && dib.bitCount <= 8)
        used = 1u << dib.bitCount;
    d.Header.biClrUsed = used;
    fresh->UpdatePalette();
    Adopt(fresh.release());
    UpdatePaletteModified();
    Changed();
}

void TPxDIB::AssignTo(platform::gdi::Bitmap& dest)
{
    PxAssert(internal_ != nullptr, "TPxDIB.AssignTo: InternalDIB Should not be Nil");
    dest.SetSize(GetWidth(), GetHeight());
    switch (GetPixelFormat()) {
    case pxpf1Bit: dest.SetFormat(platform::gdi::PixelFormat::pf1bit); break;
    case pxpf4Bit:
    case pxpf4BitRLE: dest.SetFormat(platform::gdi::PixelFormat::pf4bit); break;
    case pxpf8Bit:
    case pxpf8BitRLE: dest.SetFormat(platform::gdi::PixelFormat::pf8bit); break;
    case pxpf24Bit: dest.SetFormat(platform::gdi::PixelFormat::pf24bit); break;
    default: PxAssert(false, "TPxDIB.AssignTo: Illegal PixelFormat");
    }
    const TPxHalftoneMode mode = HalftoneMode;
    HalftoneMode = hmNone;
    platform::gdi::HPALETTE palette = GetPalette();
    HalftoneMode = mode;
    if (palette)
        dest.SetPalette(platform::gdi::CopyPalette(palette));
    DrawDirect(dest.GetCanvas(), TRect{0, 0, GetWidth(), GetHeight()});
}

void TPxGraphic::AssignFromClipboard()
{
    platform::HGlobal block = platform::gdi::GetClipboardDIB();
    LoadFromClipboardFormat(GetClipboardFormat(), block.get(), nullptr);
}

}  // namespace imaging
