// TDataCursor::ExportTable: the records the cursor shows, in its order, written as
// delimited text through a 64 KB buffer.
#include <cmath>
#include <cstring>

#include "engine/core/DataCursor.h"
#include "engine/core/DelimitedText.h"
#include "engine/files/FieldConversions.h"
#include "engine/files/FileHandler.h"

namespace kura {

namespace {

class TDelimitedExport {
public:
    TDelimitedExport(TDataCursor& cursor, const TDelimitedTextParams& params) : C(cursor), P(params) {}
    void Run();

private:
    TDataCursor& C;
    const TDelimitedTextParams& P;
    TFileHandler File;
    std::string Out;
    int64_t Written = 0;
    int32_t LastProgress = -1;

    void Append(const std::string& piece);
    void Flush();
    void Progress(int32_t percent);
    std::string ValueText(const TFieldDesc& d, const uint8_t* record);
};

void TDelimitedExport::Flush() {
    if (Out.empty()) return;
    {
        TFileSectionGuard guard(File);
        File.Seek(soFromBeginning, Written);
        File.WriteBuffer(Out.data(), static_cast<int32_t>(Out.size()));
    }
    Written += static_cast<int64_t>(Out.size());
    Out.clear();
}

void TDelimitedExport::Append(const std::string& piece) {
    if (Out.size() + piece.size() > static_cast<std::size_t>(DELIMITED_BLOCK_SIZE)) Flush();
    Out += piece;
}

void TDelimitedExport::Progress(int32_t percent) {
    if (LastProgress >= 0 && percent - LastProgress < C.GetProgressInterval()) return;
    LastProgress = percent;
    C.DoExportProgress(static_cast<uint16_t>(percent));
}

std::string TDelimitedExport::ValueText(const TFieldDesc& d, const uint8_t* record) {
    if (d.FieldType() == fldBLOB) return {};
    uint8_t value[FieldValueBufferSize + 8] = {};
    bool blank = true;
    C.GetField(d.FieldNo(), record, value, blank);
    if (blank) return {};
    bool ok = false;
    try {
        switch (d.FieldType()) {
            case fldDATE:
            case fldTIME:
            case fldTIMESTAMP:
                ok = DateTimeValueToText(value, d.FieldType(), P.DateFormat, P.TimeFormat);
                break;
            case fldFLOAT:
            case fldBCD:
                ok = NumericValueToText(value, d.FieldType(), P.DecimalSeparator);
                break;
            default:
                ok = ConvertFieldData(d.FieldType(), d.StoredSize(), d.StoredDecimals(), fldZSTRING,
                                      static_cast<uint16_t>(FieldValueBufferSize), 0, value);
        }
    } catch (const std::exception&) {
        ok = false;
    }
    if (!ok) C.RaiseError(KURA_EXPORTERROR, d.Name(), {}, "Error exporting data value");
    value[FieldValueBufferSize - 1] = 0;
    std::string text(reinterpret_cast<const char*>(value));
    if (d.FieldType() != fldZSTRING) return text;
    std::string quoted = "\"";
    for (char ch : text) {
        quoted.push_back(ch);
        if (ch == '"') quoted.push_back('"');
    }
    quoted.push_back('"');
    return quoted;
}

void TDelimitedExport::Run() {
    std::vector<TFieldDesc> fields;
    for (const TFieldDesc* f : P.Fields) {
        if (!f) C.RaiseError(KURA_EXPORTERROR, {}, {}, "No fields specified for export data");
        TFieldDesc d;
        C.GetFieldDesc(f->FieldNo(), d);
        fields.push_back(d);
    }
    File.FileName = P.FileName;
    File.Exclusive = true;
    File.CreateFile();
    const std::string delimiter(1, P.Delimiter);
    const uint32_t total = C.GetRecordCount();
    std::vector<uint8_t> record(C.GetCursorRecordSize(), 0);
    uint32_t row = 0;
    C.SetToBegin();
    while (C.GetNextRecord(record.data()) == 0) {
        if (row == 0 && P.FieldNamesInFirstLine) {
            for (std::size_t i = 0; i < fields.size(); ++i)
                Append(fields[i].Name() + (i + 1 < fields.size() ? delimiter : std::string("\r\n")));
        }
        ++row;
        for (std::size_t i = 0; i < fields.size(); ++i)
            Append(ValueText(fields[i], record.data()) + (i + 1 < fields.size() ? delimiter : std::string("\r\n")));
        if (total > 0) Progress(static_cast<int32_t>(std::trunc(static_cast<double>(row) / total * 100.0)));
    }
    Flush();
    if (LastProgress != 100) {
        LastProgress = -1;
        Progress(100);
    }
}

}  // namespace

void TDataCursor::ExportTable(const TDelimitedTextParams& params) {
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    if (params.Fields.empty()) RaiseError(KURA_EXPORTERROR, {}, {}, "No fields specified for export data");
    if (params.Fields.size() > static_cast<std::size_t>(DELIMITED_MAX_FIELDS))
        RaiseError(KURA_EXPORTERROR, {}, {}, "Invalid number of fields in export data");
    if (IsRemote()) return TransferRemoteTable(REQUEST_EXPORTTABLE, params);
    TDelimitedExport run(*this, params);
    run.Run();
}

}  // namespace kura
