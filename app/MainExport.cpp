// The File menu's exports: the whole Staff or Gakureki table of the data module, as
// the data module holds it open, to a CSV file the user names.
#include "app/CsvExport.h"
#include "app/DMdata.h"
#include "app/MainWindow.h"
#include "components/KuraTable.h"
#include "platform/gui/FileDialogs.h"

namespace app {

void TFmain::ExportTable(kura::TDataSet& table) {
    if (table.FieldCount() == 0) return;  // not open
    if (!SaveDialog1->Execute()) return;
    ExportCsv(table, CsvFileName(SaveDialog1->FileName.toStdString(), SaveDialog1->FilterIndex));
}

void TFmain::PCP2Click() {
    if (DMdata) ExportTable(*DMdata->Tstaff);
}

void TFmain::A1Click() {
    if (DMdata) ExportTable(*DMdata->Tgakureki);
}

}  // namespace app
