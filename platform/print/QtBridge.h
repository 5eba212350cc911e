#pragma once
// Conversions between the class-library types of Graphics.h and Qt, for the places
// (printer, forms, tests) that hand pictures and text to Qt directly.
#include <QColor>
#include <QFont>
#include <QString>

#include <string>
#include <string_view>

#include "platform/print/Graphics.h"

namespace platform {

QString ToQString(std::string_view cp932);
std::string FromQString(const QString& text);
QColor ToQColor(TColor color);
// A QRgb (0xAARRGGBB) as a TColor.
TColor FromQRgb(unsigned rgb);
// The family that stands in for a Windows face name.
QString FontFamily(const std::string& name);
QFont ToQFont(const TFont& font, int pixelsPerInch, bool antialias);

}  // namespace platform
