#pragma once
// Where the drawing layer meets Qt: canvases over a painter or an image, and the
// image behind a Bitmap. Only windows and tests include this.
#include <QImage>
#include <QPainter>
#include <functional>

#include "platform/gdi/Canvas.h"

namespace platform::gdi {

struct Canvas::Impl {
    QPainter* painter = nullptr;  // drawn through when set
    QImage* image = nullptr;      // otherwise a painter is opened on it per call
    QImage owned;                 // a DIB section's pixels while it is open
    std::function<void()> onClose;
};

struct Bitmap::Impl {
    QImage image;  // Format_RGB32
};

// A canvas drawing through painter, which must outlive it.
std::unique_ptr<Canvas> CanvasOnPainter(QPainter& painter);
// A canvas drawing into image, which must outlive it.
std::unique_ptr<Canvas> CanvasOnImage(QImage& image);
// The image of a packed uncompressed DIB (pixels exactly, no scaling).
QImage ImageFromDIB(const BitmapInfo& info, const uint8_t* bits);
// Writes an image into the bits of an uncompressed DIB of the same size (palette
// formats by nearest colour of info's colour table).
void StoreImage(const QImage& image, const BitmapInfo& info, uint8_t* bits);
// Ensures a QGuiApplication exists; offscreen forces the headless platform (tests).
void EnsureGuiApplication(bool offscreen = false);

}  // namespace platform::gdi
