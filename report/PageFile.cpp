#include "report/PageFile.h"

#include <QImage>

#include "imaging/PxDIB.h"
#include "imaging/PxStream.h"
#include "platform/gdi/QtBridge.h"

namespace report {

struct PageFile::Impl {
    explicit Impl(const std::string& path) : stream(path, imaging::TPxFileStream::TMode::Create) {}
    imaging::TPxFileStream stream;
};

PageFile::PageFile(const std::string& path) : impl_(std::make_unique<Impl>(path)) {}

PageFile::~PageFile() = default;

int64_t PageFile::Append(platform::TBitmap& bitmap) {
    const bool fourBit = bitmap.PixelFormat() == platform::TPixelFormat::pf4bit;
    platform::gdi::Bitmap sheet;
    sheet.SetFormat(fourBit ? platform::gdi::PixelFormat::pf4bit : platform::gdi::PixelFormat::pf8bit);
    sheet.SetSize(bitmap.Width(), bitmap.Height());
    sheet.impl().image = bitmap.Image().convertToFormat(QImage::Format_RGB32);
    imaging::TPxDIB dib;
    dib.Assign(sheet);
    dib.SetPixelFormat(fourBit ? imaging::pxpf4BitRLE : imaging::pxpf8BitRLE);
    const int64_t offset = impl_->stream.Seek(0, imaging::TSeekOrigin::End);
    dib.SaveToStream(impl_->stream);
    impl_->stream.Seek(0, imaging::TSeekOrigin::End);  // a seek writes the buffered bytes out
    return offset;
}

QImage PageFile::Read(int64_t offset) {
    impl_->stream.Seek(offset, imaging::TSeekOrigin::Beginning);
    imaging::TPxDIB dib;
    dib.LoadFromStream(impl_->stream);
    platform::gdi::Bitmap sheet;
    dib.AssignTo(sheet);
    return sheet.impl().image;
}

}  // namespace report
