#pragma once
// TPxDIBCanvas: a canvas that draws straight into a TPxDIB. The picture must keep its
// bits in a page-file mapping (EPxDIBCanvasFailed otherwise) and be uncompressed
// (EOutOfResources: an RLE picture cannot be a DIB section). Opening makes the
// picture's storage its own; the drawing is in the picture when the canvas is
// destroyed, which also tells the picture of its change. Free the canvas before the
// picture is used elsewhere.
#include <memory>

#include "imaging/PxDIB.h"
#include "platform/gdi/Canvas.h"

namespace imaging {

class TPxDIBCanvas {
public:
    explicit TPxDIBCanvas(TPxDIB* dib);
    ~TPxDIBCanvas();
    TPxDIBCanvas(const TPxDIBCanvas&) = delete;
    TPxDIBCanvas& operator=(const TPxDIBCanvas&) = delete;

    platform::gdi::Canvas& Canvas() { return *canvas_; }

private:
    TPxDIB* dib_;
    std::unique_ptr<platform::gdi::Canvas> canvas_;
};

}  // namespace imaging
