// RLE4 streams of any content: the first four bytes give the width and height
// (small), the rest is the stream. Decoding stops at the bounds and the data's end.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "imaging/PxDIBErrors.h"
#include "imaging/PxRLE.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    imaging::TPxDIBData source;
    source.Header.biWidth = 1 + (data[0] | (data[1] & 0x03) << 8);
    source.Header.biHeight = (data[3] & 0x80 ? -1 : 1) * (1 + (data[2] | (data[3] & 0x03) << 8));
    source.Header.biBitCount = 4;
    source.Header.biCompression = imaging::BI_RLE4;
    source.ImageSize = static_cast<uint32_t>(size - 4);
    source.Memory = imaging::TDIBMemory::Get(size - 4, false);
    if (size > 4)
        std::memcpy(source.Bits(), data + 4, size - 4);
    imaging::TPxDIBData decoded, encoded;
    try {
        imaging::Convert4BitRLETo4BitRGB(source, decoded, false);
    } catch (const imaging::EPxDIBError&) {
        return 0;
    }
    try {
        imaging::Convert4BitRGBTo4BitRLE(decoded, encoded, false);
    } catch (const imaging::EPxDIBCompressionFailed&) {
        return 0;
    }
    // What the encoder writes must decode to the same pixels.
    imaging::TPxDIBData again;
    imaging::Convert4BitRLETo4BitRGB(encoded, again, false);
    const uint64_t stride = imaging::Stride(decoded.Header.biWidth, 4);
    const uint64_t rows = imaging::AbsHeight(decoded.Header.biHeight);
    const uint64_t used = (static_cast<uint64_t>(decoded.Header.biWidth) * 4 + 7) / 8;
    for (uint64_t y = 0; y < rows; ++y) {
        const uint64_t from = decoded.Header.biHeight > 0 ? y : rows - 1 - y;
        if (std::memcmp(decoded.Bits() + from * stride, again.Bits() + y * stride, used - ((4 == 4 && (decoded.Header.biWidth & 1)) ? 1 : 0)) != 0)
            __builtin_trap();
    }
    return 0;
}
