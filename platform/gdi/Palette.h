#pragma once
// Logical palettes (HPALETTE) of the original platform: an immutable list of up to 256
// colours shared by handle. A null handle is "no palette"; handles are never deleted
// by hand, the last holder frees the colours.
#include <cstdint>
#include <memory>
#include <vector>

namespace platform::gdi {

struct PaletteEntry {
    uint8_t peRed = 0;
    uint8_t peGreen = 0;
    uint8_t peBlue = 0;
    uint8_t peFlags = 0;
    bool operator==(const PaletteEntry&) const = default;
};

using LogPalette = std::vector<PaletteEntry>;
using HPALETTE = std::shared_ptr<const LogPalette>;

// Null for an empty or over-long (more than 256 entries) list, as CreatePalette fails.
inline HPALETTE CreatePalette(LogPalette entries)
{
    if (entries.empty() || entries.size() > 256)
        return nullptr;
    return std::make_shared<const LogPalette>(std::move(entries));
}

// A new handle with the same colours.
inline HPALETTE CopyPalette(const HPALETTE& palette)
{
    return palette ? std::make_shared<const LogPalette>(*palette) : nullptr;
}

// Up to 256 entries of the palette; an empty list for no palette.
inline LogPalette GetPaletteEntries(const HPALETTE& palette)
{
    if (!palette)
        return {};
    LogPalette entries = *palette;
    if (entries.size() > 256)
        entries.resize(256);
    return entries;
}

}  // namespace platform::gdi
