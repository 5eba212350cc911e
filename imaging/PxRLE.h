#pragma once
// Run-length codecs of the Windows bitmap format (BI_RLE8, BI_RLE4).
//
// Stream codes, read as byte pairs: (n, v) n >= 1 a run of n pixels (RLE4: the two
// nibbles of v alternately, high first); (0, 0) end of line; (0, 1) end of bitmap;
// (0, 2, dx, dy) move right dx and up dy rows; (0, n >= 3) n literal pixels padded
// to an even number of bytes. Rows count in storage order from row 0.
//
// The decoders stop at the picture's bounds and at the end of the stream (ImageSize
// bytes): a run, literal or delta leaving the stored rows, or a stream that ends
// without an end-of-bitmap code, raises EPxDIBInvalidDIB. Runs into a row's padding
// bytes (ImageMagick writes them) are accepted and their pixels past the width dropped. The encoders are greedy, one pass,
// and refuse (EPxDIBCompressionFailed) output that would not fit in the space of the
// uncompressed pixels. They write the bottom row first and a positive biHeight.
//
// Every routine fills dest only on success; the source bits stay with the caller.
#include "imaging/PxDIBData.h"

namespace imaging {

void Convert8BitRLETo8BitRGB(const TPxDIBData& source, TPxDIBData& dest, bool useFMO);
void Convert4BitRLETo4BitRGB(const TPxDIBData& source, TPxDIBData& dest, bool useFMO);
void Convert8BitRGBTo8BitRLE(const TPxDIBData& source, TPxDIBData& dest, bool useFMO);
void Convert4BitRGBTo4BitRLE(const TPxDIBData& source, TPxDIBData& dest, bool useFMO);

}  // namespace imaging
