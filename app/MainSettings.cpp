#include "app/MainSettings.h"

#include "platform/gui/DataGrid.h"

namespace app {

namespace {
const char* const None = "（なし）";
const char* const Ascending = "昇順";
}  // namespace

void ReadSortAndOptions(const gui::TIniFile& ini, TMainSettings& s) {
    for (int k = 0; k < 3; ++k) {
        s.Komoku[k] = ini.ReadString("Sort", "Komoku" + std::to_string(k + 1), None);
        s.Jyun[k] = ini.ReadString("Sort", "Jyun" + std::to_string(k + 1), Ascending);
    }
    s.HiHyoji = ini.ReadBool("Taisyoku", "HiHyoji", false);
    s.JidoKosin = ini.ReadBool("Option", "JidoKosin", true);
}

void WriteSortAndOptions(gui::TIniFile& ini, const TMainSettings& s) {
    for (int k = 0; k < 3; ++k) {
        ini.WriteString("Sort", "Komoku" + std::to_string(k + 1), s.Komoku[k]);
        ini.WriteString("Sort", "Jyun" + std::to_string(k + 1), s.Jyun[k]);
    }
    ini.WriteBool("Taisyoku", "HiHyoji", s.HiHyoji);
    ini.WriteBool("Option", "JidoKosin", s.JidoKosin);
}

void ReadGridSettings(const gui::TIniFile& ini, gui::TDBGrid& grid) {
    const int count = grid.ColumnCount();
    for (int i = 0; i < count; ++i)
        grid.SetColumnVisible(i, ini.ReadBool("HyojiKomoku", grid.Column(i).FieldName, true));
    for (int i = 0; i < count; ++i) {
        const int width = ini.ReadInteger("HyojiColumnWidth", grid.Column(i).FieldName, 0);
        if (width != 0) grid.SetColumnWidth(i, width);  // clamped by the grid
    }
    for (int pass = 0; pass < 4; ++pass)
        for (int p = 0; p < count; ++p)
            grid.MoveColumn(p, ini.ReadInteger("HyojiColumnIndex", grid.Column(p).FieldName, 0));  // clamped
    const int fontSize = ini.ReadInteger("StaffGrid", "FontSize", 0);
    if (fontSize != 0) grid.SetGridFontSize(fontSize);
}

void WriteGridSettings(gui::TIniFile& ini, const gui::TDBGrid& grid) {
    const int count = grid.ColumnCount();
    for (int i = 0; i < count; ++i) ini.WriteBool("HyojiKomoku", grid.Column(i).FieldName, grid.Column(i).Visible);
    for (int i = 0; i < count; ++i) ini.WriteInteger("HyojiColumnIndex", grid.Column(i).FieldName, i);
    for (int i = 0; i < count; ++i) ini.WriteInteger("HyojiColumnWidth", grid.Column(i).FieldName, grid.ColumnWidth(i));
    ini.WriteInteger("StaffGrid", "FontSize", grid.GridFontSize());
}

}  // namespace app
