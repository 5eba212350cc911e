// Reading BMP files and CF_DIB blocks.
//
// Every size the data declares is checked, in 64 bits, before memory is allocated or
// written: the header size, the colour table against the pixel offset, the width and
// height, the pixel data against what the header needs, the channel masks. Readers
// accept 12-byte core headers, 40-byte info headers and (files only) the 108- and
// 124-byte later forms; 16- and 32-bit pixels become 24-bit.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "imaging/PxDIBErrors.h"
#include "imaging/PxInternalDIB.h"

namespace imaging {
namespace {

constexpr const char* kStream = "TPxInternalDIB.LoadFromStream";
constexpr const char* kFile = "TPxInternalDIB.LoadFromFile";

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
int32_t I32(const uint8_t* p) { return static_cast<int32_t>(U32(p)); }

[[noreturn]] void Invalid(const char* method, const char* reason)
{
    throw EPxDIBInvalidDIB(std::string(method) + ": " + reason);
}

struct ParsedHeader {
    TBitmapInfoHeader h;
    uint32_t masks[3] = {0, 0, 0};
    bool masksInHeader = false;  // the 108- and 124-byte forms carry their masks
    uint64_t entries = 0;        // colour entries that follow (resolved from biClrUsed)
    uint32_t entrySize = 4;      // 3 for the core form's RGBTRIPLEs
};

bool IsInfoHeaderSize(uint32_t size) { return size == 40 || size == 108 || size == 124; }

// raw holds `size` bytes of header starting with its size field.
ParsedHeader ParseHeader(const uint8_t* raw, uint32_t size)
{
    ParsedHeader p;
    TBitmapInfoHeader& h = p.h;
    if (size == 12) {
        h.biWidth = U16(raw + 4);
        h.biHeight = U16(raw + 6);
        h.biPlanes = U16(raw + 8);
        h.biBitCount = U16(raw + 10);
        const uint16_t bits = h.biBitCount;
        if (bits != 1 && bits != 4 && bits != 8 && bits != 24)
            Invalid(kStream, "Invalid BitCount");
        p.entries = bits <= 8 ? uint64_t{1} << bits : 0;
        p.entrySize = 3;
    } else {
        h.biWidth = I32(raw + 4);
        h.biHeight = I32(raw + 8);
        h.biPlanes = U16(raw + 12);
        h.biBitCount = U16(raw + 14);
        h.biCompression = U32(raw + 16);
        h.biSizeImage = U32(raw + 20);
        h.biXPelsPerMeter = I32(raw + 24);
        h.biYPelsPerMeter = I32(raw + 28);
        h.biClrUsed = U32(raw + 32);
        h.biClrImportant = U32(raw + 36);
        if (h.biXPelsPerMeter == 0)
            h.biXPelsPerMeter = kDefaultPelsPerMeter;
        if (h.biYPelsPerMeter == 0)
            h.biYPelsPerMeter = kDefaultPelsPerMeter;
        const uint16_t bits = h.biBitCount;
        if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
            Invalid(kStream, "Invalid BitCout");
        p.entries = h.biClrUsed != 0 ? h.biClrUsed : bits <= 8 ? uint64_t{1} << bits : 0;
        if (size > 40) {
            p.masksInHeader = true;
            for (int i = 0; i < 3; ++i)
                p.masks[i] = U32(raw + 40 + 4 * i);
        }
    }
    h.biSize = kInfoHeaderSize;
    if (h.biWidth < 1 || h.biHeight == 0)
        Invalid(kStream, "Invalid Width or Height");
    if (h.biBitCount == 16 || h.biBitCount == 32) {
        if (h.biCompression != BI_RGB && h.biCompression != BI_BITFIELDS)
            Invalid(kStream, "Invalid Compression");
    } else {
        PixelFormatOf(h, kStream);  // a wrong pair of bit count and compression
    }
    if (ImageBytes(h.biWidth, h.biHeight, h.biBitCount < 24 ? 24 : h.biBitCount) > kMaxImageBytes)
        Invalid(kStream, "Picture Too Large");
    return p;
}

bool HasBitfields(const ParsedHeader& p) { return p.h.biCompression == BI_BITFIELDS; }

// Fills the colour table from `count` raw entries and resolves biClrUsed.
void TakeColors(TPxDIBData& data, const ParsedHeader& p, const uint8_t* raw, uint64_t count)
{
    for (uint64_t i = 0; i < count && i < 256; ++i) {
        const uint8_t* e = raw + i * p.entrySize;
        data.Colors[i] = {e[0], e[1], e[2], 0};
    }
    data.Header.biClrUsed = static_cast<uint32_t>(p.entries > 256 ? 256 : p.entries);
}

using ReadBytes = std::function<void(uint8_t* dest, uint64_t count)>;

// A mask's shift and maximum: shifted into 128..255.
void MaskShift(uint32_t mask, int& shift, uint32_t& maximum)
{
    shift = 0;
    while (mask >= 256) {
        mask >>= 1;
        ++shift;
    }
    while (mask < 128) {
        mask <<= 1;
        --shift;
    }
    maximum = mask;
}

uint8_t Channel(uint32_t v, uint32_t mask, int shift, uint32_t maximum)
{
    uint32_t c = v & mask;
    c = shift >= 0 ? c >> shift : c << -shift;
    return static_cast<uint8_t>(c * 255 / maximum);
}

// 16- and 32-bit rows to 24-bit rows, in stored order (top-down pictures too).
void ConvertHighColor(TPxDIBData& data, const ParsedHeader& p, const ReadBytes& read, uint64_t available,
                      const char* method, bool useFMO)
{
    TBitmapInfoHeader& h = data.Header;
    const int bits = h.biBitCount;
    const uint64_t height = AbsHeight(h.biHeight);
    const uint64_t sourceStride = (static_cast<uint64_t>(h.biWidth) * (bits / 8) + 3) & ~uint64_t{3};
    const uint64_t targetStride = Stride(h.biWidth, 24);
    if (available < sourceStride * height)
        Invalid(method, "Pixel Data too Short");
    uint32_t masks[3];
    if (HasBitfields(p))
        std::memcpy(masks, p.masks, sizeof masks);
    else if (bits == 16)
        masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    else
        masks[0] = 0xFF0000, masks[1] = 0x00FF00, masks[2] = 0x0000FF;
    int shift[3];
    uint32_t maximum[3];
    for (int i = 0; i < 3; ++i) {
        if (masks[i] == 0)
            Invalid(kStream, "Invalid Masks");
        MaskShift(masks[i], shift[i], maximum[i]);
    }
    data.ImageSize = static_cast<uint32_t>(targetStride * height);
    data.Memory = TDIBMemory::Get(data.ImageSize, useFMO);
    std::vector<uint8_t> row(sourceStride);
    for (uint64_t y = 0; y < height; ++y) {
        read(row.data(), sourceStride);
        uint8_t* out = data.Bits() + y * targetStride;
        for (int64_t x = 0; x < h.biWidth; ++x) {
            const uint8_t* s = row.data() + static_cast<uint64_t>(x) * (bits / 8);
            const uint32_t v = bits == 16 ? U16(s) : U32(s);
            out[3 * x + 0] = Channel(v, masks[2], shift[2], maximum[2]);
            out[3 * x + 1] = Channel(v, masks[1], shift[1], maximum[1]);
            out[3 * x + 2] = Channel(v, masks[0], shift[0], maximum[0]);
        }
    }
    h.biBitCount = 24;
    h.biCompression = BI_RGB;
    h.biSizeImage = 0;
}

// The pixel data: `available` bytes can be read; `rleLength` is the stream length
// the file declares for RLE data (0: take all that is available).
void ReadPixels(TPxDIBData& data, const ParsedHeader& p, const ReadBytes& read, uint64_t available,
                uint64_t rleLength, const char* method, bool useFMO)
{
    const TBitmapInfoHeader& h = data.Header;
    if (h.biBitCount == 16 || h.biBitCount == 32) {
        ConvertHighColor(data, p, read, available, method, useFMO);
        return;
    }
    uint64_t size;
    if (h.biCompression == BI_RGB) {
        size = Stride(h.biWidth, h.biBitCount) * AbsHeight(h.biHeight);
    } else {
        size = rleLength != 0 ? rleLength : available;
        if (size < 2 || size > kMaxImageBytes)
            Invalid(method, "Invalid RLE Data Size");
    }
    if (available < size)
        Invalid(method, "Pixel Data too Short");
    data.ImageSize = static_cast<uint32_t>(size);
    data.Memory = TDIBMemory::Get(size, useFMO);
    read(data.Bits(), size);
    if (h.biCompression != BI_RGB)
        data.Header.biSizeImage = data.ImageSize;
}

}  // namespace

void TPxInternalDIB::LoadFromStream(TPxStream& stream)
{
    const int64_t start = stream.Position();
    uint8_t fileHeader[14];
    if (stream.Remaining() < sizeof fileHeader)
        throw EPxDIBInvalidDIBFile(std::string(kFile) + ": File type is invalid");
    stream.ReadBuffer(fileHeader, sizeof fileHeader);
    if (U16(fileHeader) != 19778)
        throw EPxDIBInvalidDIBFile(std::string(kFile) + ": File type is invalid");
    const uint64_t bfSize = U32(fileHeader + 2);
    const uint64_t bfOffBits = U32(fileHeader + 10);

    uint8_t raw[124];
    if (stream.Remaining() < 4)
        Invalid(kStream, "Invalid Bitmap Header Size");
    stream.ReadBuffer(raw, 4);
    const uint32_t headerSize = U32(raw);
    if (headerSize != 12 && !IsInfoHeaderSize(headerSize))
        Invalid(kStream, "Invalid Bitmap Header Size");
    if (stream.Remaining() < headerSize - 4)
        Invalid(kStream, "File is Truncated");
    stream.ReadBuffer(raw + 4, headerSize - 4);
    ParsedHeader p = ParseHeader(raw, headerSize);
    const uint64_t maskBytes = HasBitfields(p) && !p.masksInHeader ? 12 : 0;
    if (maskBytes != 0) {
        uint8_t m[12];
        if (stream.Remaining() < sizeof m)
            Invalid(kStream, "File is Truncated");
        stream.ReadBuffer(m, sizeof m);
        for (int i = 0; i < 3; ++i)
            p.masks[i] = U32(m + 4 * i);
    }
    const uint64_t headersEnd = 14 + uint64_t{headerSize} + maskBytes + p.entries * p.entrySize;
    if (headersEnd > bfOffBits)
        Invalid(kFile, "bfOffBits is too small");
    const uint64_t kept = p.entries > 256 ? 256 : p.entries;
    std::vector<uint8_t> table(kept * p.entrySize);
    if (stream.Remaining() < table.size())
        Invalid(kStream, "File is Truncated");
    stream.ReadBuffer(table.data(), table.size());
    if (stream.Remaining() < bfOffBits - (14 + headerSize + maskBytes + table.size()))
        Invalid(kStream, "File is Truncated");
    stream.Seek(start + static_cast<int64_t>(bfOffBits), TSeekOrigin::Beginning);

    TPxDIBData data;
    data.Header = p.h;
    TakeColors(data, p, table.data(), kept);
    uint64_t rleLength = data.Header.biSizeImage;
    if (rleLength == 0 && bfSize > bfOffBits)
        rleLength = bfSize - bfOffBits;
    ReadPixels(data, p, [&](uint8_t* dest, uint64_t count) { stream.ReadBuffer(dest, count); },
               stream.Remaining(), rleLength, kStream, UseFMO);
    Install(std::move(data));
}

void TPxInternalDIB::LoadFromClipboardFormat(const platform::GlobalBlock& block)
{
    constexpr const char* kClip = "TPxInternalDIB.LoadFromClipboardFormat";
    const uint8_t* bytes = block.Lock();
    const uint64_t size = block.GlobalSize();
    const uint32_t headerSize = size >= 4 ? U32(bytes) : 0;
    if ((headerSize != 40 && headerSize != 12) || size < headerSize)
        throw EPxDIBInvalidDIB("TPxDIB.LoadFromClipboardFormat: Invalid Clipboard Data");
    ParsedHeader p = ParseHeader(bytes, headerSize);
    uint64_t offset = headerSize;
    if (HasBitfields(p)) {
        if (size - offset < 12)
            Invalid(kClip, "Invalid Clipboard Data Size");
        for (int i = 0; i < 3; ++i)
            p.masks[i] = U32(bytes + offset + 4 * i);
        offset += 12;
    }
    const uint64_t tableBytes = p.entries * p.entrySize;
    if (size - offset < tableBytes)
        Invalid(kClip, "Invalid Clipboard Data Size");
    TPxDIBData data;
    data.Header = p.h;
    TakeColors(data, p, bytes + offset, p.entries);
    offset += tableBytes;
    const uint8_t* pixels = bytes + offset;
    ReadPixels(data, p, [&pixels](uint8_t* dest, uint64_t count) {
                   std::memcpy(dest, pixels, count);
                   pixels += count;
               },
               size - offset, 0, kClip, UseFMO);
    Install(std::move(data));
}

}  // namespace imaging
