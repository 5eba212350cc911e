// Drawing through the Qt layer: exact pixels at scale 1, nearest neighbour when
// stretched, RLE pictures expanded, bitmaps in and out, and the clipboard.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "imaging/PxDIB.h"
#include "imaging/PxDIBCanvas.h"
#include "imaging/PxDIBErrors.h"
#include "platform/gdi/Clipboard.h"
#include "platform/gdi/QtBridge.h"
#include "tests/imaging/DIBTestSupport.h"

namespace imaging {
namespace {

// A 24-bit picture of blocks three pixels wide, each row and block its own colour.
void Gradient(TPxDIB& dib, int32_t w, int32_t h)
{
    dib.SetBitCount(24);
    dib.SetWidth(w);
    dib.SetHeight(h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            uint8_t* p = dib.Storage().Data.Bits() + static_cast<uint64_t>(h - 1 - y) * Stride(w, 24) + 3 * x;
            p[0] = static_cast<uint8_t>((x / 3) ^ y), p[1] = static_cast<uint8_t>(y * 7), p[2] = static_cast<uint8_t>(x / 3 * 40);
        }
}

uint32_t Rgb(const QImage& image, int x, int y) { return image.pixel(x, y) & 0xFFFFFF; }

TEST(Drawing, ScaleOneGivesExactlyThePicturesPixels)
{
    TPxDIB dib;
    Gradient(dib, 60, 17);
    for (TPxPixelFormat format : {pxpf24Bit, pxpf8Bit, pxpf8BitRLE, pxpf4Bit, pxpf1Bit}) {
        SCOPED_TRACE(format);
        TPxDIB view;
        view.Assign(&dib);
        view.ColorReduction = crHigh;
        if (format != pxpf24Bit)
            view.SetPixelFormat(format);
        TPxDIB flat;
        flat.Assign(&view);
        if (format != pxpf24Bit)
            flat.SetPixelFormat(pxpf24Bit);
        QImage target(70, 30, QImage::Format_RGB32);
        target.fill(Qt::green);
        auto canvas = platform::gdi::CanvasOnImage(target);
        view.Draw(*canvas, TRect{5, 3, 65, 20});
        for (int y = 0; y < 17; ++y)
            for (int x = 0; x < 60; ++x)
                ASSERT_EQ(Rgb(target, 5 + x, 3 + y), test::ColorAt(flat.Data(), x, y)) << x << "," << y;
        EXPECT_EQ(Rgb(target, 4, 3), 0x00FF00u);
        EXPECT_EQ(Rgb(target, 65, 20), 0x00FF00u);
    }
}

TEST(Drawing, StretchingTakesTheNearestPixel)
{
    TPxDIB dib;
    Gradient(dib, 10, 6);
    QImage target(25, 9, QImage::Format_RGB32);
    QPainter painter(&target);
    auto canvas = platform::gdi::CanvasOnPainter(painter);
    dib.Draw(*canvas, TRect{0, 0, 25, 9});
    painter.end();
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 25; ++x) {
            const int sx = (2 * x + 1) * 10 / 50, sy = (2 * y + 1) * 6 / 18;
            ASSERT_EQ(Rgb(target, x, y), test::ColorAt(dib.Data(), sx, sy)) << x << "," << y;
        }
}

TEST(Drawing, HalftoneModeDrawsThePaletteColours)
{
    TPxDIB dib;
    dib.SetBitCount(24);
    dib.SetWidth(4);
    dib.SetHeight(4);
    std::fill(dib.Storage().Data.Bits(), dib.Storage().Data.Bits() + dib.Data().ImageSize, 0);
    for (int i = 0; i < 16; ++i)
        dib.Storage().Data.Bits()[i / 4 * Stride(4, 24) + 3 * (i % 4) + 2] = 255;  // pure red
    dib.HalftoneMode = hmColor;
    QImage target(8, 8, QImage::Format_RGB32);
    auto canvas = platform::gdi::CanvasOnImage(target);
    dib.Draw(*canvas, TRect{0, 0, 8, 8});
    EXPECT_EQ(Rgb(target, 3, 3), 0xFF0000u);
}

TEST(Bitmaps, AssignInAndOutKeepsPixels)
{
    TPxDIB dib;
    Gradient(dib, 12, 5);
    platform::gdi::Bitmap bitmap;
    dib.AssignTo(bitmap);
    EXPECT_EQ(bitmap.Width(), 12);
    EXPECT_EQ(bitmap.Format(), platform::gdi::PixelFormat::pf24bit);
    EXPECT_EQ(bitmap.PixelColor(7, 2), test::ColorAt(dib.Data(), 7, 2));
    TPxDIB back;
    back.Assign(bitmap);
    EXPECT_EQ(back.GetBitCount(), 24);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 12; ++x)
            ASSERT_EQ(test::ColorAt(back.Data(), x, y), test::ColorAt(dib.Data(), x, y));
    bitmap.SetFormat(platform::gdi::PixelFormat::pf8bit);
    bitmap.SetSize(30, 20);  // white page
    back.Assign(bitmap);
    EXPECT_EQ(back.GetPixelFormat(), pxpf8Bit);
    EXPECT_EQ(test::ColorAt(back.Data(), 29, 19), 0xFFFFFFu);
    back.SetPixelFormat(pxpf8BitRLE);  // as the preview stores its pages
    EXPECT_EQ(back.GetPixelFormat(), pxpf8BitRLE);
}

TEST(Clipboard, PictureGoesThroughTheSystemClipboard)
{
    platform::gdi::EnsureGuiApplication(/*offscreen=*/true);
    TPxDIB dib;
    Gradient(dib, 9, 4);
    uint16_t format;
    platform::HGlobal block;
    platform::gdi::HPALETTE palette;
    dib.SaveToClipboardFormat(format, block, palette);
    ASSERT_TRUE(platform::gdi::SetClipboardDIB(*block));
    TPxDIB pasted;
    pasted.AssignFromClipboard();
    EXPECT_EQ(pasted.GetWidth(), 9);
    EXPECT_EQ(test::ColorAt(pasted.Data(), 8, 3), test::ColorAt(dib.Data(), 8, 3));
}


TEST(DIBCanvas, DrawsIntoThePictureAndCopiesSharedStorageFirst)
{
    TPxDIB dib, other;
    Gradient(dib, 30, 12);
    other.Assign(&dib);
    int changes = 0;
    dib.OnChange = [&](TPxGraphic&) { ++changes; };
    TPxDIB stamp;
    Gradient(stamp, 6, 6);
    stamp.SetPixelFormat(pxpf8Bit);
    {
        TPxDIBCanvas canvas(&dib);
        EXPECT_NE(&dib.Storage(), &other.Storage());
        canvas.Canvas().FillRect(TRect{0, 0, 4, 3}, 0x12, 0x34, 0x56);
        stamp.Draw(canvas.Canvas(), TRect{20, 5, 26, 11});
    }
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(test::ColorAt(dib.Data(), 3, 2), 0x123456u);
    EXPECT_EQ(test::ColorAt(dib.Data(), 4, 2), test::ColorAt(other.Data(), 4, 2));
    EXPECT_EQ(test::ColorAt(dib.Data(), 23, 7), test::ColorAt(stamp.Data(), 3, 2));
    EXPECT_NE(test::ColorAt(other.Data(), 3, 2), 0x123456u);
}

TEST(DIBCanvas, PaletteDrawingMapsToTheNearestEntry)
{
    TPxDIB dib;
    dib.SetBitCount(1);  // black and white after SetPalette below
    dib.SetWidth(16);
    dib.SetHeight(2);
    dib.SetPalette(platform::gdi::CreatePalette({{0, 0, 0, 0}, {255, 255, 255, 0}}));
    {
        TPxDIBCanvas canvas(&dib);
        canvas.Canvas().FillRect(TRect{0, 0, 8, 2}, 240, 230, 250);
    }
    EXPECT_EQ(test::PixelAt(dib.Data(), 7, 1), 1u);
    EXPECT_EQ(test::PixelAt(dib.Data(), 8, 1), 0u);
}

TEST(DIBCanvas, RefusesHeapAndRLEPictures)
{
    DefaultUseFMO = false;
    TPxDIB heap;
    DefaultUseFMO = true;
    try {
        TPxDIBCanvas canvas(&heap);
        ADD_FAILURE();
    } catch (const EPxDIBCanvasFailed& e) {
        EXPECT_STREQ(e.what(), "TPxDIBCanvas.Create: Cannot Create Canvas");
    }
    TPxDIB rle;
    Gradient(rle, 60, 8);
    rle.SetPixelFormat(pxpf8BitRLE);
    try {
        TPxDIBCanvas canvas(&rle);
        ADD_FAILURE();
    } catch (const EOutOfResources& e) {
        EXPECT_STREQ(e.what(), "TPxDIBCanvas.Create: Cannot Create Memory DC");
    }
}

}  // namespace
}  // namespace imaging
