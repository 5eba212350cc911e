// Writing BMP files and CF_DIB blocks: always a 40-byte header, biClrUsed colour
// entries and the bits as they are (packed rows or the RLE stream).
#include <cstring>
#include <vector>

#include "imaging/PxDIBErrors.h"
#include "imaging/PxInternalDIB.h"

namespace imaging {
namespace {

void Put16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The info header and the colour table, as one block.
std::vector<uint8_t> InfoAndColors(const TPxDIBData& data)
{
    const TBitmapInfoHeader& h = data.Header;
    const uint32_t colors = h.biClrUsed > 256 ? 256 : h.biClrUsed;
    std::vector<uint8_t> out;
    out.reserve(kInfoHeaderSize + 4 * colors);
    Put32(out, kInfoHeaderSize);
    Put32(out, static_cast<uint32_t>(h.biWidth));
    Put32(out, static_cast<uint32_t>(h.biHeight));
    Put16(out, h.biPlanes);
    Put16(out, h.biBitCount);
    Put32(out, h.biCompression);
    Put32(out, h.biSizeImage);
    Put32(out, static_cast<uint32_t>(h.biXPelsPerMeter));
    Put32(out, static_cast<uint32_t>(h.biYPelsPerMeter));
    Put32(out, colors);
    Put32(out, h.biClrImportant);
    for (uint32_t i = 0; i < colors; ++i) {
        const TRGBQuad& q = data.Colors[i];
        out.insert(out.end(), {q.rgbBlue, q.rgbGreen, q.rgbRed, 0});
    }
    return out;
}

}  // namespace

void TPxInternalDIB::SaveToStream(TPxStream& stream) const
{
    const std::vector<uint8_t> info = InfoAndColors(Data);
    const uint32_t offBits = static_cast<uint32_t>(14 + info.size());
    std::vector<uint8_t> fileHeader;
    Put16(fileHeader, 19778);
    Put32(fileHeader, offBits + Data.ImageSize);
    Put16(fileHeader, 0);
    Put16(fileHeader, 0);
    Put32(fileHeader, offBits);
    stream.WriteBuffer(fileHeader.data(), fileHeader.size());
    stream.WriteBuffer(info.data(), info.size());
    stream.WriteBuffer(Data.Bits(), Data.ImageSize);
}

platform::HGlobal TPxInternalDIB::SaveToClipboardFormat() const
{
    const std::vector<uint8_t> info = InfoAndColors(Data);
    platform::HGlobal block = platform::GlobalAlloc(info.size() + Data.ImageSize);
    if (!block)
        throw EOutOfMemory("TPxInternalDIB.SaveToClipboardFormat: Out Of Memory");
    uint8_t* p = block->Lock();
    std::memcpy(p, info.data(), info.size());
    if (Data.ImageSize != 0)
        std::memcpy(p + info.size(), Data.Bits(), Data.ImageSize);
    return block;
}

}  // namespace imaging
