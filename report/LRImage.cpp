#include <QByteArray>
#include <QImage>

#include <stdexcept>

#include "imaging/PxDIB.h"
#include "imaging/PxStream.h"
#include "platform/gdi/QtBridge.h"
#include "report/Items.h"

namespace report {

namespace {

const char kPictureMessage[] = "イメージはビットマップかJPEGイメージのみ有効です";

}  // namespace

TLRImage::TLRImage() : picture_(std::make_unique<QImage>()) {}
TLRImage::~TLRImage() = default;

void TLRImage::SetPicture(const QImage& picture) { *picture_ = picture; }

void TLRImage::SetPicture(imaging::TPxDIB& picture) {
    if (picture.GetEmpty()) {
        *picture_ = QImage();
        return;
    }
    platform::gdi::Bitmap bitmap;
    picture.AssignTo(bitmap);
    *picture_ = bitmap.impl().image;
}

void TLRImage::LoadPicture(const std::string& bytes) {
    if (bytes.empty()) {
        *picture_ = QImage();
        return;
    }
    const bool bmp = bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M';
    const bool jpeg = bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                      static_cast<unsigned char>(bytes[1]) == 0xD8 && static_cast<unsigned char>(bytes[2]) == 0xFF;
    if (!bmp && !jpeg) throw std::runtime_error(kPictureMessage);
    if (bmp) {
        imaging::TPxMemoryStream stream(std::vector<uint8_t>(bytes.begin(), bytes.end()));
        imaging::TPxDIB dib;
        dib.LoadFromStream(stream);
        SetPicture(dib);
        return;
    }
    QImage image;
    const QByteArray data(bytes.data(), static_cast<qsizetype>(bytes.size()));
    if (!image.loadFromData(data, "JPEG")) throw std::runtime_error(kPictureMessage);
    *picture_ = image;
}

void TLRImage::PrintItem(TCanvas& canvas, const TRect& rect, TPrintStatus status, double scale) {
    if (status != kPrintAll || picture_->isNull()) return;
    QImage bitmap = picture_->convertToFormat(QImage::Format_RGB32);
    TRect r = rect;
    if (!Stretch) {
        if (bitmap.width() <= r.Width())
            r.Right = r.Left + bitmap.width();
        else
            bitmap = bitmap.copy(0, 0, r.Width(), bitmap.height());
        if (bitmap.height() <= r.Height())
            r.Bottom = r.Top + bitmap.height();
        else
            bitmap = bitmap.copy(0, 0, bitmap.width(), r.Height());
    }
    canvas.StretchDraw(ScaleRect(r, scale), bitmap);
}

void TLRImage::Paint(TCanvas& canvas) {
    if (!picture_->isNull()) {
        const TRect r = Stretch ? platform::Rect(0, 0, Width(), Height())
                                : platform::Bounds(0, 0, picture_->width(), picture_->height());
        canvas.StretchDraw(r, *picture_);
        return;
    }
    canvas.BrushStyle = platform::TBrushStyle::bsClear;
    canvas.SetFont(Font);
    canvas.TextOut(4, 4, Name);
    DrawDesignOutline(canvas, Width(), Height(), platform::clGreen);
}

}  // namespace report
