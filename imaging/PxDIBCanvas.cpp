#include "imaging/PxDIBCanvas.h"

#include "imaging/PxDIBErrors.h"

namespace imaging {

TPxDIBCanvas::TPxDIBCanvas(TPxDIB* dib) : dib_(dib)
{
    if (dib == nullptr || !dib->GetUseFMO())
        throw EPxDIBCanvasFailed("TPxDIBCanvas.Create: Cannot Create Canvas");
    dib->UniqueDIB();
    TPxDIBData& data = dib->Storage().Data;
    platform::gdi::BitmapInfo info;
    info.width = data.Header.biWidth;
    info.height = data.Header.biHeight;
    info.bitCount = data.Header.biBitCount;
    info.colors = reinterpret_cast<const uint8_t*>(data.Colors.data());
    info.colorCount = data.Header.biClrUsed > 256 ? 256 : data.Header.biClrUsed;
    if (data.Header.biCompression == BI_RGB)
        canvas_ = platform::gdi::CreateDIBSectionCanvas(info, data.Bits());
    if (!canvas_)
        throw EOutOfResources("TPxDIBCanvas.Create: Cannot Create Memory DC");
}

TPxDIBCanvas::~TPxDIBCanvas()
{
    canvas_.reset();  // writes the drawing into the picture's bits
    dib_->UpdatePaletteModified();
    dib_->Changed();
}

}  // namespace imaging
