#pragma once
// Colours as the program's forms give them: TColor is $00BBGGRR.
#include <QColor>
#include <cstdint>

namespace gui {

using TColor = uint32_t;

inline QColor ToQColor(TColor c) { return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF)); }
inline TColor FromQColor(const QColor& c) {
    return TColor(c.red()) | (TColor(c.green()) << 8) | (TColor(c.blue()) << 16);
}

}  // namespace gui
