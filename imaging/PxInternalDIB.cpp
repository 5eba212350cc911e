#include "imaging/PxInternalDIB.h"

#include "imaging/PxDIBErrors.h"

namespace imaging {

TPxInternalDIB::TPxInternalDIB(bool useFMO) : UseFMO(useFMO)
{
    CreateDIB(1, 1, 256, 8);
}

void TPxInternalDIB::CreateDIB(int32_t width, int32_t height, int32_t colors, int32_t bitCount)
{
    if (width < 1 || height == 0 || colors < 0 || colors > 256 ||
        (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24))
        throw EPxDIBInvalidDIBPara("TPxInternalDIB.CreateDIB: Invalid Parameters");
    const uint64_t size = ImageBytes(width, height, bitCount);
    if (size > kMaxImageBytes)
        throw EPxDIBInvalidDIBPara("TPxInternalDIB.CreateDIB: Invalid Parameters");
    TPxDIBData data;
    data.Memory = TDIBMemory::Get(size, UseFMO);
    data.ImageSize = static_cast<uint32_t>(size);
    data.Header.biWidth = width;
    data.Header.biHeight = height;
    data.Header.biBitCount = static_cast<uint16_t>(bitCount);
    data.Header.biClrUsed = static_cast<uint32_t>(colors);
    Data = std::move(data);
    Width = width;
    Height = static_cast<int32_t>(AbsHeight(height));
    Palette = nullptr;
    PaletteChanged = true;
}

void TPxInternalDIB::FreeDIB()
{
    Data.Memory.Release();
    Data.ImageSize = 0;
    Palette = nullptr;
}

platform::gdi::HPALETTE TPxInternalDIB::GetPalette() const
{
    const uint32_t count = Data.Header.biClrUsed;
    if (count == 0)
        return nullptr;
    platform::gdi::LogPalette entries(count > 256 ? 256 : count);
    for (size_t i = 0; i < entries.size(); ++i)
        entries[i] = {Data.Colors[i].rgbRed, Data.Colors[i].rgbGreen, Data.Colors[i].rgbBlue, 0};
    platform::gdi::HPALETTE palette = platform::gdi::CreatePalette(std::move(entries));
    if (!palette)
        throw EOutOfResources("GetPaletteFromDIBInfos: Cannot Make Palette");
    return palette;
}

void TPxInternalDIB::UpdatePalette()
{
    PxAssert(RefCount == 1, "TPxInternalDIB.UpdatePalette: RefCount Must be 1");
    Palette = nullptr;
    PaletteChanged = true;
}

TPxPixelFormat TPxInternalDIB::GetPixelFormat() const
{
    return PixelFormatOf(Data.Header, "TPxInternalDIB.GetPixelFormat");
}

void TPxInternalDIB::Install(TPxDIBData&& data)
{
    Data = std::move(data);
    Width = Data.Header.biWidth;
    Height = static_cast<int32_t>(AbsHeight(Data.Header.biHeight));
    UpdatePalette();
}

}  // namespace imaging
