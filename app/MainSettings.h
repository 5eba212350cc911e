#pragma once
// The main window's settings in the settings file: its sort keys, the staff list's
// columns (visibility, width and position keyed by field name), its font size, the
// hiding of retired staff and the automatic refresh.
//
// Columns are applied in the order the file's readers expect: visibility, widths
// (a width of 0 keeps the designed one), then positions in four passes. A stored width
// or position out of range is clamped to what the grid allows, never used as an index.
#include <string>

#include "platform/gui/IniFile.h"

namespace gui {
class TDBGrid;
}

namespace app {

struct TMainSettings {
    std::string Komoku[3];
    std::string Jyun[3];
    bool HiHyoji = false;
    bool JidoKosin = true;
};

void ReadSortAndOptions(const gui::TIniFile& ini, TMainSettings& s);
void WriteSortAndOptions(gui::TIniFile& ini, const TMainSettings& s);
void ReadGridSettings(const gui::TIniFile& ini, gui::TDBGrid& grid);
void WriteGridSettings(gui::TIniFile& ini, const gui::TDBGrid& grid);

}  // namespace app
