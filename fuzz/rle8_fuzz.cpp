// RLE8 streams of any content, decoded, encoded again and compared (RleRoundTrip.h).
#include "fuzz/RleRoundTrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return RleRoundTrip<8>(data, size, imaging::BI_RLE8, imaging::Convert8BitRLETo8BitRGB,
                          imaging::Convert8BitRGBTo8BitRLE);
}
