#pragma once
// TPxDIB: a device-independent bitmap picture.
//
// Pixel formats: pxpf1Bit, pxpf4Bit, pxpf4BitRLE, pxpf8Bit, pxpf8BitRLE, pxpf24Bit;
// SetPixelFormat also takes pxpfHalftone (8 bits, fixed 215 colours) and
// pxpfHalftoneBW (1 bit). Several TPxDIB share one TPxInternalDIB; Assign between
// them is O(1) and a change in place (SetPixelFormat, SetPalette, a canvas) first
// copies shared storage (copy on write). Loads and the size setters build new storage,
// so a failure leaves the old picture, and other sharers keep theirs.
//
// Streams carry BMP files, the clipboard CF_DIB blocks (format 8). Errors are
// EPxDIBError and its kinds (PxDIBErrors.h).
#include <memory>

#include "imaging/PxDIBData.h"
#include "imaging/PxGraph.h"
#include "imaging/PxInternalDIB.h"

namespace platform::gdi {
class Bitmap;
}

namespace imaging {

enum TPxHalftoneMode : uint8_t { hmNone, hmColor, hmMono };

constexpr uint16_t CF_DIB = 8;

// Every new picture takes this for its storage: bits in a page-file mapping.
extern bool DefaultUseFMO;

class TPxDIB : public TPxGraphic {
public:
    TPxDIB();
    ~TPxDIB() override;
    TPxDIB(const TPxDIB&) = delete;
    TPxDIB& operator=(const TPxDIB&) = delete;

    // Shares source's storage (nullptr: a new 1 x 1 8-bit picture).
    void Assign(const TPxDIB* source);
    // Copies a bitmap's pixels (GetDIBits); 16- and 32-bit bitmaps become 24-bit.
    void Assign(const platform::gdi::Bitmap& source);
    // Gives the bitmap this picture's size, pixel format, palette and pixels.
    void AssignTo(platform::gdi::Bitmap& dest);
    void AssignTo(TPxDIB& dest) { dest.Assign(this); }

    void Draw(platform::gdi::Canvas& canvas, const TRect& rect) override;
    bool GetEmpty() const override;
    int32_t GetHeight() const override;
    int32_t GetWidth() const override;
    void SetHeight(int32_t value) override;
    void SetWidth(int32_t value) override;
    platform::gdi::HPALETTE GetPalette() override;
    void SetPalette(platform::gdi::HPALETTE value) override;
    void LoadFromStream(TPxStream& stream) override;
    void SaveToStream(TPxStream& stream) override;
    void LoadFromClipboardFormat(uint16_t format, const platform::GlobalBlock* data,
                                 platform::gdi::HPALETTE palette) override;
    void SaveToClipboardFormat(uint16_t& format, platform::HGlobal& data, platform::gdi::HPALETTE& palette) override;
    uint16_t GetClipboardFormat() const override { return CF_DIB; }

    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path);

    int32_t GetBitCount() const;
    void SetBitCount(int32_t value);
    TPxPixelFormat GetPixelFormat() const;
    void SetPixelFormat(TPxPixelFormat value);
    bool GetUseFMO() const;

    // The picture's record (header, colour table, bits) for reading, and the storage.
    const TPxDIBData& Data() const;
    TPxInternalDIB& Storage() const;
    // Makes the storage this picture's own before a change in place.
    void UniqueDIB();

    TPxColorReduction ColorReduction = crLow;
    uint32_t MonochromeColor = 0xFFFFFF;  // TColor $00BBGGRR
    TPxHalftoneMode HalftoneMode = hmNone;

private:
    friend class TPxDIBCanvas;
    void ReleaseInternalDIB();
    void Adopt(TPxInternalDIB* storage);
    void UpdatePaletteModified();
    void BeginProgress(int32_t total, const std::string& msg);
    void ProgressCallback();
    // Replaces the picture with a new storage of the given geometry.
    void Recreate(int32_t width, int32_t height, int32_t colors, int32_t bitCount);
    void DrawDirect(platform::gdi::Canvas& canvas, const TRect& rect);

    TPxInternalDIB* internal_ = nullptr;
    int32_t progressStep_ = 0;
    int32_t progressTotal_ = 0;
    std::string progressMessage_;
};

}  // namespace imaging
