#pragma once
// Helpers of the cursor tests: tables of any definition, rows appended through the
// shared table the way a cursor's write bracket does it, and a session with a
// database in a scratch folder.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/TableTestSupport.h"

namespace kura::test {

struct CursorDb : SessionDb {
    using SessionDb::SessionDb;
};

// Fields placed one after the other from offset 9, as the data file expects.
inline TTableDefinition DefinitionOf(const std::vector<TFieldDesc>& fields) {
    TTableDefinition def;
    int32_t offset = 9;
    for (const TFieldDesc& d : fields) PlaceField(def, offset, d);
    return def;
}

inline void CreateTableOf(TDataDirectory& dir, const std::string& name, const TTableDefinition& def,
                          bool inMemory = false) {
    TDataTable* table = nullptr;
    if (dir.CreateTable(table, name, inMemory, false, def) == 0 && table) dir.CloseTable(table, false, false, false);
}

// Appends one row whose fields (bytes 9 and up) come from `image` inside the
// table's write bracket, and flushes; the record number.
inline uint32_t AppendImage(TDataTable& table, const std::vector<uint8_t>& image) {
    table.BeginWrite();
    TRecord* record = nullptr;
    table.GetDataFile().AllocateRecord(nullptr, record);
    std::vector<uint8_t> full(record->GetRecordSize(), 0);
    std::memcpy(full.data(), image.data(), std::min(full.size(), image.size()));
    record->SetFieldData(full.data());
    record->Modified = 1;
    const uint32_t recordNo = record->GetRecordNumber();
    table.GetDataFile().ReleaseRecord(record);
    table.IncRecordCount();
    table.FlushBuffers(false, true, false, false, true);
    table.EndWrite();
    return recordNo;
}

// An open cursor on a table of the database.
inline std::unique_ptr<TDataCursor> OpenCursorOn(TDataDirectory* dir, const std::string& name) {
    auto cursor = std::make_unique<TDataCursor>(dir);
    cursor->SetTableName(name);
    cursor->OpenCursor();
    return cursor;
}

}  // namespace kura::test
