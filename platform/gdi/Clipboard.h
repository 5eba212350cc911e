#pragma once
// The system clipboard for device-independent bitmaps. A CF_DIB block (a packed DIB)
// is offered under a private type for exact round trips and as "image/bmp" (the same
// block behind a 14-byte file header) for other programs; reading takes the private
// type first, then "image/bmp". Needs a GUI application (EnsureGuiApplication).
#include <cstdint>

#include "platform/Memory.h"

namespace platform::gdi {

constexpr uint16_t kClipboardDIB = 8;  // CF_DIB

// Replaces the clipboard's contents; false when there is no clipboard.
bool SetClipboardDIB(const GlobalBlock& block);
// A copy of the clipboard's DIB block, or nullptr when it holds none.
HGlobal GetClipboardDIB();

}  // namespace platform::gdi
