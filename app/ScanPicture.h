#pragma once
// Pictures of the data-entry windows: a scan fitted into a work image, and the
// graphic BLOB fields that hold them as bitmap files.
//
// ScanInto runs the scanner's source selection and one scan; false when either is
// cancelled or fails (the work image is then untouched). Before the scan the frame
// rectangle is drawn on the work image in its pen (black) and brush (white); the scan
// is drawn over it fitted into the whole image, keeping its aspect ratio, centred.
#include <QImage>
#include <QRect>
#include <string>

namespace kura {
class TField;
namespace imaging {
class TScanner;
}
}  // namespace kura

namespace app {

bool ScanInto(kura::imaging::TScanner& scanner, QImage& work, const QRect& frame);
// The image as a bitmap file into the field (a graphic BLOB), and back.
void StorePicture(kura::TField* field, const QImage& image);
QImage LoadPicture(const kura::TField* field);

}  // namespace app
