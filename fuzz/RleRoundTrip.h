#pragma once
// The body both RLE fuzz targets share: RLE streams of any content, the first four bytes
// giving the width and height (small), the rest the stream. Decoding stops at the bounds
// and the data's end; what the encoder writes back must decode to the same pixels.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "imaging/PxDIBErrors.h"
#include "imaging/PxRLE.h"

template <int Bits, typename Decode, typename Encode>
int RleRoundTrip(const uint8_t* data, size_t size, uint32_t compression, Decode decode, Encode encode)
{
    if (size < 4)
        return 0;
    imaging::TPxDIBData source;
    source.Header.biWidth = 1 + (data[0] | (data[1] & 0x03) << 8);
    source.Header.biHeight = (data[3] & 0x80 ? -1 : 1) * (1 + (data[2] | (data[3] & 0x03) << 8));
    source.Header.biBitCount = Bits;
    source.Header.biCompression = compression;
    source.ImageSize = static_cast<uint32_t>(size - 4);
    source.Memory = imaging::TDIBMemory::Get(size - 4, false);
    if (size > 4)
        std::memcpy(source.Bits(), data + 4, size - 4);
    imaging::TPxDIBData decoded, encoded;
    try {
        decode(source, decoded, false);
    } catch (const imaging::EPxDIBError&) {
        return 0;
    }
    try {
        encode(decoded, encoded, false);
    } catch (const imaging::EPxDIBCompressionFailed&) {
        return 0;
    }
    imaging::TPxDIBData again;
    decode(encoded, again, false);
    const uint64_t stride = imaging::Stride(decoded.Header.biWidth, Bits);
    const uint64_t rows = imaging::AbsHeight(decoded.Header.biHeight);
    const uint64_t used = (static_cast<uint64_t>(decoded.Header.biWidth) * Bits + 7) / 8;
    // The low nibble after an odd 4-bit row's last pixel is padding, not picture.
    const uint64_t compared = used - ((Bits == 4 && (decoded.Header.biWidth & 1)) ? 1 : 0);
    for (uint64_t y = 0; y < rows; ++y) {
        const uint64_t from = decoded.Header.biHeight > 0 ? y : rows - 1 - y;
        if (std::memcmp(decoded.Bits() + from * stride, again.Bits() + y * stride, compared) != 0)
            __builtin_trap();
    }
    return 0;
}
