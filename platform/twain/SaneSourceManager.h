#pragma once
// A source manager over SANE: every SANE device is a source, named by its SANE device
// name. Capabilities map to SANE options:
//   ICAP_XRESOLUTION/YRESOLUTION  "resolution" (and "y-resolution" when present)
//   ICAP_PIXELTYPE, ICAP_BITDEPTH "mode" (Lineart/Gray/Color) and "depth"
//   DAT_IMAGELAYOUT               "tl-x", "tl-y", "br-x", "br-y" (mm), clipped to the bed
//   ICAP_PHYSICALWIDTH/HEIGHT     the largest "br-x"/"br-y"
//   ICAP_BRIGHTNESS, ICAP_CONTRAST "brightness", "contrast", scaled to -1000..1000
//   ICAP_THRESHOLD                "threshold", scaled to 0..255
//   CAP_FEEDERENABLED             "source" set to its feeder entry
// Units (ICAP_UNITS) are kept by the source and apply to the layout and physical sizes.
// The source has no dialog of its own: once enabled it announces a page ready at the next
// event offered to it, and asks to be closed when no further page will come.
#include <memory>

#include "platform/twain/SourceManager.h"

namespace platform::twain {

// nullptr when SANE cannot be loaded.
std::unique_ptr<SourceManager> CreateSaneSourceManager();

}  // namespace platform::twain
