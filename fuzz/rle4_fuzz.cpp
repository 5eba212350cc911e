// RLE4 streams of any content, decoded, encoded again and compared (RleRoundTrip.h).
#include "fuzz/RleRoundTrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return RleRoundTrip<4>(data, size, imaging::BI_RLE4, imaging::Convert4BitRLETo4BitRGB,
                          imaging::Convert4BitRGBTo4BitRLE);
}
