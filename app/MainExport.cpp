// The File menu's exports: the whole Staff or Gakureki table of the data module, as
// the data module holds it open, to a CSV file the user names.
#include "app/CsvExport.h"
#include "app/DMdata.h"
#include "app/MainWindow.h"
#include "components/KuraQuery.h"
#include "components/KuraTable.h"
#include "platform/gui/FileDialogs.h"

namespace app {

void TFmain::ExportTable(kura::TDataSet& table) {
    if (table.FieldCount() == 0) return;  // not open
    if (!SaveDialog1->Execute()) return;
    try {
        ExportCsv(table, CsvFileName(SaveDialog1->FileName.toStdString(), SaveDialog1->FilterIndex));
    } catch (...) {
        try {
            PassDeletedEmployee();
        } catch (...) {  // the export's own failure is the one to report
        }
        throw;
    }
    PassDeletedEmployee();
}

void TFmain::PassDeletedEmployee() {
    // An employee deleted by another program still shows in the list (a delete here
    // builds it again at once): built again, the list stands on the row that takes
    // the employee's place, the next one in its order, or on the last.
    const std::optional<int32_t> code = CurrentCode();
    if (!code || StaffExists(*code)) return;
    const kura::TBookmark mark = Qstaff->GetBookmark();
    RefreshJyokyo();
    OpenStaffList();
    if (Qstaff->IsEmpty()) return;
    if (Qstaff->BookmarkValid(mark)) Qstaff->GotoBookmark(mark);
    else Qstaff->Last();
}

void TFmain::PCP2Click() {
    if (DMdata) ExportTable(*DMdata->Tstaff);
}

void TFmain::A1Click() {
    if (DMdata) ExportTable(*DMdata->Tgakureki);
}

}  // namespace app
