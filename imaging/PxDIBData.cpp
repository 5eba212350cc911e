#include "imaging/PxDIBData.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "imaging/PxDIBErrors.h"

namespace imaging {

TDIBMemory TDIBMemory::Get(uint64_t size, bool useFMO)
{
    if (size > kMaxImageBytes)
        throw EOutOfResources("GetMemory: Picture Too Large");
    TDIBMemory memory;
    const auto bytes = static_cast<std::size_t>(size);
    if (useFMO) {
        platform::MappingHandle mapping = platform::CreateFileMapping(bytes);
        if (mapping == 0)
            throw EOutOfResources("GetMemory: Cannot Make File Mapping Object");
        void* view = platform::MapViewOfFile(mapping, bytes);
        if (view == nullptr) {
            platform::CloseMapping(mapping);
            throw EOutOfResources("GetMemory: Cannot Make View of File Map");
        }
        // The view keeps the memory alive; closing the object at once keeps pictures
        // from using up the process's descriptors. The handle stays as the mark of
        // page-file memory.
        platform::CloseMapping(mapping);
        memory.mapping_ = mapping;
        memory.bits_ = static_cast<uint8_t*>(view);
    } else {
        memory.bits_ = static_cast<uint8_t*>(std::calloc(bytes == 0 ? 1 : bytes, 1));
        if (memory.bits_ == nullptr)
            throw EOutOfMemory("GetMemory: Out Of Memory");
    }
    memory.size_ = bytes;
    return memory;
}

TDIBMemory& TDIBMemory::operator=(TDIBMemory&& other) noexcept
{
    if (this != &other) {
        Release();
        bits_ = other.bits_;
        size_ = other.size_;
        mapping_ = other.mapping_;
        other.bits_ = nullptr;
        other.size_ = 0;
        other.mapping_ = 0;
    }
    return *this;
}

void TDIBMemory::Release()
{
    if (bits_ == nullptr)
        return;
    if (mapping_ != 0) {
        // An unmap or close that fails leaves nothing for us to mend; the original
        // asserts here, which would only turn a leak into a crash.
        platform::UnmapViewOfFile(bits_, size_);
    } else {
        std::free(bits_);
    }
    bits_ = nullptr;
    size_ = 0;
    mapping_ = 0;
}

TPxDIBData CopyRecordHeader(const TPxDIBData& source)
{
    TPxDIBData dest;
    dest.Header = source.Header;
    dest.Colors = source.Colors;
    return dest;
}

TPxPixelFormat PixelFormatOf(const TBitmapInfoHeader& header, const char* method)
{
    const uint32_t c = header.biCompression;
    const std::string m = std::string(method) + ": Invalid DIB";
    switch (header.biBitCount) {
    case 1:
        if (c == BI_RGB) return pxpf1Bit;
        throw EPxDIBInvalidDIB(m + "(1Bit)");
    case 4:
        if (c == BI_RGB) return pxpf4Bit;
        if (c == BI_RLE4) return pxpf4BitRLE;
        throw EPxDIBInvalidDIB(m + "(4Bit)");
    case 8:
        if (c == BI_RGB) return pxpf8Bit;
        if (c == BI_RLE8) return pxpf8BitRLE;
        throw EPxDIBInvalidDIB(m + "(8Bit)");
    case 24:
        if (c == BI_RGB) return pxpf24Bit;
        throw EPxDIBInvalidDIB(m + "(24Bit)");
    default:
        throw EPxDIBInvalidDIB(m + "(Illegal BitCount)");
    }
}

}  // namespace imaging
