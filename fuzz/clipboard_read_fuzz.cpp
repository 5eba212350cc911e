// CF_DIB blocks of any shape: accepted or refused with the library's error.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "imaging/PxDIB.h"
#include "imaging/PxDIBErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    imaging::DefaultUseFMO = false;
    imaging::TPxDIB dib;
    platform::GlobalBlock block(size);
    if (size != 0)
        std::memcpy(block.Lock(), data, size);
    try {
        dib.LoadFromClipboardFormat(imaging::CF_DIB, &block, nullptr);
    } catch (const imaging::EPxDIBError&) {
        return 0;
    }
    uint16_t format;
    platform::HGlobal copy;
    platform::gdi::HPALETTE palette;
    dib.SaveToClipboardFormat(format, copy, palette);
    return 0;
}
