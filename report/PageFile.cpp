#include "report/PageFile.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>

#include <fstream>
#include <stdexcept>

namespace report {

struct PageFile::Impl {
    std::fstream stream;
};

PageFile::PageFile(const std::string& path) : impl_(std::make_unique<Impl>()) {
    impl_->stream.open(path, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
    if (!impl_->stream) throw std::runtime_error("Cannot create file " + path);
}

PageFile::~PageFile() = default;

int64_t PageFile::Append(platform::TBitmap& bitmap) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    bitmap.Image().convertToFormat(QImage::Format_Indexed8).save(&buffer, "BMP");
    impl_->stream.seekp(0, std::ios::end);
    const int64_t offset = impl_->stream.tellp();
    impl_->stream.write(bytes.constData(), bytes.size());
    if (!impl_->stream) throw std::runtime_error("Write error on the page file");
    return offset;
}

QImage PageFile::Read(int64_t offset) {
    impl_->stream.seekg(offset);
    unsigned char header[14];
    impl_->stream.read(reinterpret_cast<char*>(header), sizeof header);
    if (!impl_->stream || header[0] != 'B' || header[1] != 'M') throw std::runtime_error("Read error on the page file");
    const uint32_t size = header[2] | header[3] << 8 | header[4] << 16 | static_cast<uint32_t>(header[5]) << 24;
    QByteArray bytes(static_cast<qsizetype>(size), '\0');
    impl_->stream.seekg(offset);
    impl_->stream.read(bytes.data(), size);
    QImage image;
    if (!impl_->stream || !image.loadFromData(bytes, "BMP")) throw std::runtime_error("Read error on the page file");
    return image;
}

}  // namespace report
