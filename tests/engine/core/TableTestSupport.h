#pragma once
// Shared helpers of the table, database and lock tests and of their helper
// processes: a small table definition, and records appended and read through a
// shared table the way a cursor's write and read brackets do it.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/files/FieldTypes.h"
#include "tests/common/EngineTestSupport.h"
#include "tests/engine/core/DatabaseTestSupport.h"

namespace kura::test {

// Id (32-bit integer), Name (string of 20) and, when asked, Photo (BLOB).
inline TTableDefinition SmallTable(bool withBlob = false, bool withIndexes = false) {
    TTableDefinition def;
    int32_t offset = 9;
    auto add = [&](const char* name, TEngineFieldType type, uint8_t size) {
        PlaceField(def, offset, NewField(name, type, size));
    };
    add("Id", fldINT32, 0);
    add("Name", fldZSTRING, 20);
    if (withBlob) add("Photo", fldBLOB, 0);
    if (withIndexes) {
        TIndexDesc primary;
        primary.SetByte(ido::FieldCount, 1);
        primary.SetField(0, 1);
        primary.SetKeySize(5);
        TIndexDesc byName;
        byName.SetName("ByName");
        byName.SetByte(ido::FieldCount, 1);
        byName.SetField(0, 2);
        byName.SetKeySize(22 + 4);
        def.Indexes = {primary, byName};
    }
    def.Description = "test table";
    return def;
}

// Appends one record with this Id inside the table's write bracket and flushes it
// as a cursor's bracket end does; the record number.
inline uint32_t AppendRecord(TDataTable& table, int32_t id) {
    table.BeginWrite();
    TRecord* record = nullptr;
    table.GetDataFile().AllocateRecord(nullptr, record);
    uint8_t* buffer = record->GetBuffer();
    buffer[9] = 1;
    for (int i = 0; i < 4; ++i) buffer[10 + i] = static_cast<uint8_t>(static_cast<uint32_t>(id) >> (8 * i));
    record->Modified = 1;
    const uint32_t recordNo = record->GetRecordNumber();
    table.GetDataFile().ReleaseRecord(record);
    table.IncRecordCount();
    table.FlushBuffers(false, true, false, false, true);
    table.EndWrite();
    return recordNo;
}

// The Id of record N read inside the table's read bracket.
inline int32_t ReadId(TDataTable& table, uint32_t recordNo) {
    table.BeginRead();
    TRecord* record = nullptr;
    table.GetDataFile().ReadRecord(nullptr, recordNo, record, 1, false, false);
    const uint8_t* buffer = record->GetBuffer();
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(buffer[10 + i]) << (8 * i);
    table.GetDataFile().ReleaseRecord(record);
    table.EndRead();
    return static_cast<int32_t>(value);
}

// The record count as another program would see it now.
inline uint32_t CountNow(TDataTable& table) {
    table.BeginRead();
    const uint32_t count = table.GetRecordCount();
    table.EndRead();
    return count;
}

// Creates a table and closes it again.
inline void MakeTable(TDataDirectory& db, const std::string& name, bool withBlob = false, bool inMemory = false) {
    TDataTable* table = nullptr;
    if (db.CreateTable(table, name, inMemory, false, SmallTable(withBlob)) != 0 || !table) return;
    db.CloseTable(table, false, false, false);
}

}  // namespace kura::test
