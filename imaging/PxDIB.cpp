// TPxDIB: storage sharing, size and palette, streams, clipboard blocks, pixel format.
// Drawing and bitmaps are in PxDIBDraw.cpp.
#include "imaging/PxDIB.h"

#include <cstring>

#include "imaging/PxConvert.h"
#include "imaging/PxDIBErrors.h"
#include "imaging/PxPicture.h"

namespace imaging {

bool DefaultUseFMO = true;

namespace {

// The library's load-time registration with the picture classes.
[[maybe_unused]] const bool kRegistered = [] {
    auto create = [] { return std::unique_ptr<TPxGraphic>(new TPxDIB); };
    RegisterClipboardFormat(CF_DIB, "TPxDIB", create);
    RegisterFileFormat("dib", "Device Independent Bitmap", "TPxDIB", create);
    return true;
}();

TPxInternalDIB& Checked(TPxInternalDIB* internal, const char* text)
{
    PxAssert(internal != nullptr, text);
    return *internal;
}

}  // namespace

TPxDIB::TPxDIB() : internal_(new TPxInternalDIB(DefaultUseFMO))
{
    UpdatePaletteModified();
}

TPxDIB::~TPxDIB()
{
    if (internal_ != nullptr)
        ReleaseInternalDIB();
}

void TPxDIB::ReleaseInternalDIB()
{
    TPxInternalDIB& s = Checked(internal_, "TPXDIB.ReleaseInternalDIB: InternalDIB should not be Nil");
    if (--s.RefCount == 0)
        delete &s;
    internal_ = nullptr;
}

void TPxDIB::Adopt(TPxInternalDIB* storage)
{
    ReleaseInternalDIB();
    internal_ = storage;
}

void TPxDIB::UpdatePaletteModified()
{
    TPxInternalDIB& s = Checked(internal_, "TPxDIB.UpdatePaletteModified RefCount Must be 1");
    PxAssert(s.RefCount == 1, "TPxDIB.UpdatePaletteModified RefCount Must be 1");
    if (s.PaletteChanged) {
        s.PaletteChanged = false;
        PaletteModified = true;
    }
}

void TPxDIB::UniqueDIB()
{
    TPxInternalDIB& s = Checked(internal_, "TPxDIB.UniqueDIB: InternalDIB Should not be Nil");
    if (s.RefCount == 1)
        return;
    auto copy = std::make_unique<TPxInternalDIB>(s.UseFMO);
    copy->FreeDIB();
    copy->Width = s.Width;
    copy->Height = s.Height;
    TPxDIBData data = CopyRecordHeader(s.Data);
    data.ImageSize = s.Data.ImageSize;
    data.Memory = TDIBMemory::Get(data.ImageSize, s.UseFMO);
    if (data.ImageSize != 0)
        std::memcpy(data.Bits(), s.Data.Bits(), data.ImageSize);
    copy->Data = std::move(data);
    Adopt(copy.release());
    UpdatePaletteModified();
}

void TPxDIB::Assign(const TPxDIB* source)
{
    Checked(internal_, "TPxDIB.Assign: InternalDIB Should not be Nil");
    if (source == this)
        return;
    if (source == nullptr) {
        auto fresh = std::make_unique<TPxInternalDIB>(internal_->UseFMO);
        Adopt(fresh.release());
        UpdatePaletteModified();
        Changed();
        return;
    }
    TPxInternalDIB* shared = source->internal_;
    ++shared->RefCount;
    Adopt(shared);
    ColorReduction = source->ColorReduction;
    MonochromeColor = source->MonochromeColor;
    HalftoneMode = source->HalftoneMode;
    PaletteModified = true;
    Changed();
}

bool TPxDIB::GetEmpty() const
{
    Checked(internal_, "TPxDIB.GetEmpty: InternalDIB Should not be Nil");
    return false;
}

int32_t TPxDIB::GetHeight() const
{
    return Checked(internal_, "TPxDIB.GetHeight: InternalDIB Should not be Nil").Height;
}

int32_t TPxDIB::GetWidth() const
{
    return Checked(internal_, "TPxDIB.GetWidth: InternalDIB Should not be Nil").Width;
}

int32_t TPxDIB::GetBitCount() const
{
    return Checked(internal_, "TPxDIB.GetBitCount: InternalDIB Should not be Nil").Data.Header.biBitCount;
}

TPxPixelFormat TPxDIB::GetPixelFormat() const
{
    return Checked(internal_, "TPxDIB.GetPixelFormat: InternalDIB Should not be Nil").GetPixelFormat();
}

bool TPxDIB::GetUseFMO() const
{
    return Checked(internal_, "TPxDIB.GetUseFMO: InternalDIB Should not be Nil").UseFMO;
}

const TPxDIBData& TPxDIB::Data() const
{
    return Checked(internal_, "TPxDIB.Data: InternalDIB Should not be Nil").Data;
}

TPxInternalDIB& TPxDIB::Storage() const
{
    return Checked(internal_, "TPxDIB.Storage: InternalDIB Should not be Nil");
}

void TPxDIB::Recreate(int32_t width, int32_t height, int32_t colors, int32_t bitCount)
{
    auto fresh = std::make_unique<TPxInternalDIB>(internal_->UseFMO);
    fresh->CreateDIB(width, height, colors, bitCount);
    Adopt(fresh.release());
    UpdatePaletteModified();
    Changed();
}

void TPxDIB::SetWidth(int32_t value)
{
    TPxInternalDIB& s = Checked(internal_, "TPxDIB.SetWidth: InternalDIB Should not be Nil");
    if (value < 1)
        throw EPxDIBInvalidDIBPara("TPxDIB.SetWidth: Invalid Width");
    if (value != s.Width)
        Recreate(value, s.Data.Header.biHeight, static_cast<int32_t>(s.Data.Header.biClrUsed),
                 s.Data.Header.biBitCount);
}

void TPxDIB::SetHeight(int32_t value)
{
    TPxInternalDIB& s = Checked(internal_, "TPxDIB.SetWidth: InternalDIB Should not be Nil");
    if (value == 0)
        throw EPxDIBInvalidDIBPara("TPxDIB.SetWidth: Invalid Height");
    // Compared with the row count: a negative value always re-creates (top-down rows).
    if (value != s.Height)
        Recreate(s.Width, value, static_cast<int32_t>(s.Data.Header.biClrUsed), s.Data.Header.biBitCount);
}

void TPxDIB::SetBitCount(int32_t value)
{
    TPxInternalDIB& s = Checked(internal_, "TPxDIB.SetBitCount: InternalDIB Should not be Nil");
    if (value != 1 && value != 4 && value != 8 && value != 24)
        throw EPxDIBInvalidDIBPara("TPxDIB.SetBitCount: Invalid BitCount");
    if (value != s.Data.Header.biBitCount)
        Recreate(s.Width, s.Data.Header.biHeight, value == 1 ? 2 : value == 4 ? 16 : value == 8 ? 256 : 0, value);
}

platform::gdi::HPALETTE TPxDIB::GetPalette()
{
    TPxInternalDIB& s = Checked(internal_, "TPxDIB.GetPalette: InternalDIB Should not be Nil");
    if (HalftoneMode == hmColor || HalftoneMode == hmMono) {
        static const platform::gdi::HPALETTE colour = [] {
            platform::gdi::LogPalette entries;
            for (const TRGBQuad& q : HalftonePalette())
                entries.push_back({q.rgbRed, q.rgbGreen, q.rgbBlue, 0});
            return platform::gdi::CreatePalette(std::move(entries));
        }();
        static const platform::gdi::HPALETTE mono =
            platform::gdi::CreatePalette({{0, 0, 0, 0}, {255, 255, 255, 0}});
        return HalftoneMode == hmColor ? colour : mono;
    }
    if (!s.Palette && s.Data.Header.biClrUsed > 0)
        s.Palette = s.GetPalette();
    return s.Palette;
}

void TPxDIB::SetPalette(platform::gdi::HPALETTE value)
{
    Checked(internal_, "TPxDIB.SetPalette: InternalDIB Should not be Nil");
    UniqueDIB();
    TPxInternalDIB& s = *internal_;
    if (value) {
        const platform::gdi::LogPalette entries = platform::gdi::GetPaletteEntries(value);
        if (entries.empty())
            throw EPxDIBInvalidPalette("TPxDIB.SetPalette: Invalid Palette");
        s.Data.Header.biClrUsed = static_cast<uint32_t>(entries.size());
        for (size_t i = 0; i < entries.size(); ++i)
            s.Data.Colors[i] = {entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0};
        s.Palette = value;  // an earlier cached palette is simply let go
    } else {
        s.Data.Header.biClrUsed = 0;
        s.Palette = nullptr;
    }
    s.PaletteChanged = true;
    UpdatePaletteModified();
    Changed();
}

void TPxDIB::LoadFromStream(TPxStream& stream)
{
    Checked(internal_, "TPxDIB.LoadFromStream: InternalDIB Should not be Nil");
    auto fresh = std::make_unique<TPxInternalDIB>(internal_->UseFMO);
    fresh->LoadFromStream(stream);
    Adopt(fresh.release());
    UpdatePaletteModified();
    Changed();
}

void TPxDIB::SaveToStream(TPxStream& stream)
{
    Checked(internal_, "TPxDIB.SaveToStream: InternalDIB Should not be Nil").SaveToStream(stream);
}

void TPxDIB::LoadFromFile(const std::string& path)
{
    TPxFileStream stream(path, TPxFileStream::TMode::OpenRead);
    LoadFromStream(stream);
}

void TPxDIB::SaveToFile(const std::string& path)
{
    TPxFileStream stream(path, TPxFileStream::TMode::Create);
    SaveToStream(stream);
}

void TPxDIB::LoadFromClipboardFormat(uint16_t format, const platform::GlobalBlock* data, platform::gdi::HPALETTE)
{
    Checked(internal_, "TPxDIB.LoadFromClipboardFormat: InternalDIB Should not be Nil");
    if (format != CF_DIB || data == nullptr)
        throw EInvalidGraphic("TPxDIB.LoadFromClipboardFormat: Invalid Clipboard Format or No Data");
    auto fresh = std::make_unique<TPxInternalDIB>(internal_->UseFMO);
    fresh->LoadFromClipboardFormat(*data);
    Adopt(fresh.release());
    UpdatePaletteModified();
    Changed();
}

void TPxDIB::SaveToClipboardFormat(uint16_t& format, platform::HGlobal& data, platform::gdi::HPALETTE& palette)
{
    TPxInternalDIB& s = Checked(internal_, "TPxDIB.SaveToClipboardFormat: InternalDIB Should not be Nil");
    data = s.SaveToClipboardFormat();
    format = CF_DIB;
    palette = nullptr;
}

void TPxDIB::BeginProgress(int32_t total, const std::string& msg)
{
    progressMessage_ = msg;
    progressTotal_ = total;
    progressStep_ = 0;
}

void TPxDIB::ProgressCallback()
{
    ++progressStep_;
    if (progressStep_ != progressTotal_ && progressTotal_ > 0)
        Progress(TProgressStage::psRunning, static_cast<uint8_t>(progressStep_ * 100 / progressTotal_), false,
                 TRect{0, 0, GetWidth(), GetHeight()}, progressMessage_);
}

void TPxDIB::SetPixelFormat(TPxPixelFormat value)
{
    Checked(internal_, "TPxDIB.GetPixelFormat: InternalDIB Should not be Nil");
    const TPxPixelFormat current = GetPixelFormat();
    if (current == value)
        return;
    UniqueDIB();
    struct Sequence {
        TPxPixelFormat from, to;
        int32_t total;
        const char* msg;
    };
    static const Sequence kSequences[] = {
        {pxpf8Bit, pxpf4Bit, 16, "PixelFormat 8Bit -> 4Bit"},
        {pxpf8Bit, pxpf4BitRLE, 16, "PixelFormat 8Bit -> 4BitRLE"},
        {pxpf8BitRLE, pxpf4Bit, 16, "PixelFormat 8BitRLE -> 4Bit"},
        {pxpf8BitRLE, pxpf4BitRLE, 16, "PixelFormat 8BitRLE -> 4BitRLE"},
        {pxpf24Bit, pxpf4Bit, 16, "PixelFormat 24Bit -> 4Bit"},
        {pxpf24Bit, pxpf4BitRLE, 16, "PixelFormat 24Bit -> 4BitRLE"},
        {pxpf24Bit, pxpf8Bit, 256, "PixelFormat 24Bit -> 8Bit"},
        {pxpf24Bit, pxpf8BitRLE, 256, "PixelFormat 24Bit -> 8BitRLE"},
    };
    bool progress = false;
    for (const Sequence& s : kSequences) {
        if (s.from == current && s.to == value) {
            BeginProgress(s.total, s.msg);
            Progress(TProgressStage::psStarting, 0, false, TRect{0, 0, GetWidth(), GetHeight()}, progressMessage_);
            progress = true;
        }
    }
    const TRGBColor mono{static_cast<uint8_t>(MonochromeColor & 0xFF), static_cast<uint8_t>((MonochromeColor >> 8) & 0xFF),
                         static_cast<uint8_t>((MonochromeColor >> 16) & 0xFF)};
    auto finish = [&] {
        UpdatePaletteModified();
        if (progress)
            Progress(TProgressStage::psEnding, 100, true, TRect{0, 0, GetWidth(), GetHeight()}, progressMessage_);
    };
    try {
        internal_->SetPixelsFormat(value, ColorReduction, mono, [this] { ProgressCallback(); });
    } catch (...) {
        finish();
        throw;
    }
    finish();
    UpdatePaletteModified();
    Changed();
}

}  // namespace imaging
