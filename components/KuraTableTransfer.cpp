// TKuraTable: delimited-text import and export.
#include "components/KuraDatabase.h"
#include "components/KuraSession.h"
#include "components/KuraTable.h"
#include "engine/core/DataCursor.h"
#include "engine/core/DelimitedText.h"

namespace kura {

void TKuraTable::ExportTable(const std::string& fileName, char delimiter, const std::string& dateFormat,
                             const std::string& timeFormat, char decimalSeparator) {
    Transfer(false, fileName, delimiter, dateFormat, timeFormat, decimalSeparator);
}

void TKuraTable::ImportTable(const std::string& fileName, char delimiter, const std::string& dateFormat,
                             const std::string& timeFormat, char decimalSeparator) {
    Transfer(true, fileName, delimiter, dateFormat, timeFormat, decimalSeparator);
}

void TKuraTable::Transfer(bool import, const std::string& fileName, char delimiter, const std::string& dateFormat,
                          const std::string& timeFormat, char decimalSeparator) {
    if (Active()) CheckBrowseMode();
    if (import) FImportStoppedAtLine = 0;
    TDBFlagScope flag(*this, 3);
    std::unique_ptr<TDataCursor> own;
    TDataCursor* cursor = Handle();
    if (!Active() || !cursor) {
        own = NewCursor(false, true);
        cursor = own.get();
    }
    TSessionLock lock(DBSession());
    std::vector<TFieldDesc> descs(cursor->GetFieldCount());
    TDelimitedTextParams params;
    params.FileName = fileName;
    params.Delimiter = delimiter;
    params.DateFormat = dateFormat;
    params.TimeFormat = timeFormat;
    params.DecimalSeparator = decimalSeparator;
    params.FieldNamesInFirstLine = true;
    if (!import) {
        for (size_t i = 0; i < descs.size(); ++i) {
            cursor->GetFieldDesc(static_cast<uint16_t>(i + 1), descs[i]);
            params.Fields.push_back(&descs[i]);
        }
    }
    auto finish = [&] {
        if (import) FImportStoppedAtLine = params.StoppedAtLine;
        if (own) own->CloseCursor(false);
    };
    try {
        if (import)
            cursor->ImportTable(params);
        else
            cursor->ExportTable(params);
    } catch (...) {
        finish();
        if (Active() && import) Refresh();
        throw;
    }
    finish();
    if (Active() && import) Refresh();
}

}  // namespace kura
