// Arbitrary bytes as a delimited text file, imported into an in-memory table, and the
// same bytes scanned as one line: every fault must end as an engine error, never as
// a crash, an over-read or a leak. The first byte picks the delimiter and whether
// the first line names the columns.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/core/DelimitedText.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/ImportParser.h"

namespace {

using namespace kura;

TFieldDesc Field(const char* name, TEngineFieldType type, uint8_t size, int32_t& offset, uint16_t number) {
    TFieldDesc d;
    d.SetName(name);
    d.SetFieldType(type);
    d.SetDeclaredSize(size);
    d.SetFieldNo(number);
    d.SetPosition(number);
    d.DerivePhysical();
    d.SetOffset(static_cast<uint16_t>(offset));
    offset += d.StoredSize() + 1;
    return d;
}

struct Target {
    Target() {
        InitEngineLibrary();
        session = std::make_unique<TDataSession>();
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        directory = session->OpenDataDirectory("Fuzz", dir);
        file = std::string(dir) + "/kura-import-fuzz-" + std::to_string(getpid()) + ".txt";
        TTableDefinition def;
        int32_t offset = 9;
        def.Fields = {Field("Id", fldINT32, 0, offset, 1), Field("Name", fldZSTRING, 20, offset, 2),
                      Field("Amount", fldFLOAT, 0, offset, 3), Field("Born", fldDATE, 0, offset, 4),
                      Field("Flag", fldBOOL, 0, offset, 5), Field("Memo", fldBLOB, 0, offset, 6),
                      Field("Money", fldBCD, 0, offset, 7)};
        def.Fields[5].SetSubType(fldstMEMO);
        TDataTable* table = nullptr;
        directory->CreateTable(table, "FUZZ", true, true, def);
        if (table) directory->CloseTable(table, false, false, false);
        cursor = std::make_unique<TDataCursor>(directory);
        cursor->SetTableName("FUZZ");
        cursor->SetInMemory(true);
        cursor->SetExclusive(true);
        cursor->OpenCursor();
        for (uint16_t i = 1; i <= 7; ++i) cursor->GetFieldDesc(i, descs[i - 1]);
    }
    std::unique_ptr<TDataSession> session;
    TDataDirectory* directory = nullptr;
    std::unique_ptr<TDataCursor> cursor;
    TFieldDesc descs[7];
    std::string file;
};

Target& Get() {
    static Target* target = new Target();
    return *target;
}

void ScanLine(const uint8_t* data, size_t size, char separator) {
    std::string line(reinterpret_cast<const char*>(data), size);
    TImportParser parser;
    parser.Separator = separator;
    parser.ErrorCode = KURA_IMPORTERROR;
    parser.ContextName = "import data";
    parser.SetLine(line.c_str());
    std::string text;
    try {
        for (int guard = 0; guard <= static_cast<int>(size) + 1; ++guard) {
            if (parser.NextField() == IMPORT_END) break;
            parser.GetFieldText(text);
        }
    } catch (const EKuraEngineError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Target& t = Get();
    static const char separators[] = {',', '\t', ';', '|'};
    const char separator = separators[data[0] & 3];
    const bool header = (data[0] & 4) != 0;
    ScanLine(data + 1, size - 1, separator);
    if (FILE* f = std::fopen(t.file.c_str(), "wb")) {
        if (size > 1) std::fwrite(data + 1, 1, size - 1, f);
        std::fclose(f);
    } else {
        return 0;
    }
    TDelimitedTextParams p;
    p.FileName = t.file;
    p.Delimiter = separator;
    p.FieldNamesInFirstLine = header;
    if (!header)
        for (const TFieldDesc& d : t.descs) p.Fields.push_back(&d);
    try {
        t.cursor->EmptyTable();
        t.cursor->ImportTable(p);
    } catch (const EKuraEngineError&) {
    }
    std::remove(t.file.c_str());
    return 0;
}
