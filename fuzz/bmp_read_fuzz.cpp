// BMP files of any shape: the reader must accept or raise the library's error, never
// crash, over-read or leak; what it accepts must convert and write back.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/PxDIB.h"
#include "imaging/PxDIBErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    imaging::DefaultUseFMO = false;
    imaging::TPxDIB dib;
    imaging::TPxMemoryStream stream(std::vector<uint8_t>(data, data + size));
    try {
        dib.LoadFromStream(stream);
    } catch (const imaging::EPxDIBError&) {
        return 0;
    }
    imaging::TPxMemoryStream out;
    dib.SaveToStream(out);
    if (static_cast<uint64_t>(dib.GetWidth()) * static_cast<uint64_t>(dib.GetHeight()) <= 1 << 16) {
        try {
            dib.SetPixelFormat(dib.GetPixelFormat() == imaging::pxpf24Bit ? imaging::pxpf8Bit : imaging::pxpf24Bit);
            dib.SetPixelFormat(imaging::pxpfHalftoneBW);
        } catch (const imaging::EPxDIBError&) {
        }
    }
    return 0;
}
