#pragma once
// The staff table the restructure tests and their helper process share: fields of
// several types, a primary and a secondary index, a binary BLOB and a memo in the
// full-text index; its current definition as restructure parameters; and a
// readable dump of its rows.
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataTable.h"
#include "engine/core/Restructure.h"
#include "tests/engine/core/DatabaseTestSupport.h"

namespace kura::test {

enum StaffCol : uint16_t { sId = 1, sName, sAge, sSalary, sBorn, sPhoto, sNote };

inline TTableDefinition StaffTable() {
    TTableDefinition def;
    int32_t offset = 9;
    PlaceField(def, offset, NewField("Id", fldINT32));
    PlaceField(def, offset, NewField("Name", fldZSTRING, 20));
    PlaceField(def, offset, NewField("Age", fldINT16));
    PlaceField(def, offset, NewField("Salary", fldFLOAT));
    PlaceField(def, offset, NewField("Born", fldDATE));
    PlaceField(def, offset, NewField("Photo", fldBLOB, 0, fldstBINARY));
    PlaceField(def, offset, NewField("Note", fldBLOB, 0, fldstMEMO));
    TIndexDesc primary;
    primary.SetField(0, sId);
    primary.SetByte(ido::FieldCount, 1);
    primary.SetByte(ido::Unique, 1);
    primary.SetKeySize(5);
    TIndexDesc byName;
    byName.SetName("ByName");
    byName.SetField(0, sName);
    byName.SetByte(ido::FieldCount, 1);
    byName.SetKeySize(22 + 4);
    def.Indexes = {primary, byName};
    TIndexDesc text;
    text.SetName("Sys Text");
    text.SetField(0, sNote);
    text.SetByte(ido::FieldCount, 1);
    text.SetKeySize(68);
    text.SetByte(ido::Compression, kcBoth);  // as every index file has it
    def.TextIndex = text;
    def.Description = "staff";
    return def;
}

inline std::vector<uint8_t> Photo(int32_t id) {
    std::vector<uint8_t> bytes(static_cast<std::size_t>(id % 7 == 0 ? 0 : 100 + (id * 37) % 900));
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13 + static_cast<std::size_t>(id));
    return bytes;
}

inline std::string NoteOf(int32_t id) { return "note " + std::to_string(id) + " word" + std::to_string(id % 5); }

// Appends `count` staff rows through the cursor (its own write brackets).
inline void FillStaff(TDataCursor& c, int32_t count) {
    for (int32_t id = 1; id <= count; ++id) {
        std::vector<uint8_t> rec(c.GetCursorRecordSize(), 0);
        c.InitRecord(rec.data());
        c.PutField(sId, rec.data(), &id);
        std::string name = "name" + std::to_string(id % 50);
        name.resize(24, '\0');
        c.PutField(sName, rec.data(), name.data());
        const int16_t age = static_cast<int16_t>(20 + id % 300);
        c.PutField(sAge, rec.data(), &age);
        const double salary = 1000.5 * id;
        if (id % 9 != 0) c.PutField(sSalary, rec.data(), &salary);
        const int32_t born = 720000 + id;
        c.PutField(sBorn, rec.data(), &born);
        uint32_t size = 0;
        const std::vector<uint8_t> photo = Photo(id);
        if (!photo.empty()) {
            c.OpenBlob(sPhoto, rec.data(), 2, false, true, size);
            c.PutBlob(sPhoto, rec.data(), 0, photo.data(), static_cast<uint32_t>(photo.size()), false);
        }
        const std::string note = NoteOf(id);
        c.OpenBlob(sNote, rec.data(), 2, false, true, size);
        c.PutBlob(sNote, rec.data(), 0, note.data(), static_cast<uint32_t>(note.size()), false);
        c.AppendRecord(rec.data(), false);
    }
}

// The table's definition as restructure parameters (nothing changed yet).
inline TRestructureParams CurrentDefinition(TDataDirectory* dir, const std::string& name, bool inMemory = false) {
    TDataCursor c(dir);
    c.SetTableName(name);
    c.SetInMemory(inMemory);
    c.SetExclusive(true);
    c.OpenCursor();
    TRestructureParams p;
    TDataTable& t = *c.GetTable();
    p.LocaleId = t.GetLocaleId();
    p.SortId = t.GetSortId();
    p.UserMajor = t.GetUserMajorVersion();
    p.UserMinor = t.GetUserMinorVersion();
    p.Encrypted = t.IsEncrypted();
    p.Password = t.GetPassword();
    p.Description = t.GetDescription();
    if (t.HasBlobFields()) p.BlobBlockSize = t.GetBlobBlockSize();
    for (uint16_t i = 1; i <= t.GetFieldCount(); ++i) {
        TFieldDesc d;
        t.GetFieldDesc(i, d);
        p.Fields.push_back(d);
    }
    p.IndexCount = t.GetIndexCount();
    for (uint8_t s = 0; s <= p.IndexCount; ++s) t.GetIndexFile().GetIndexDesc(s, p.Indexes[s]);
    if (t.GetNoPrimaryIndex()) p.Indexes[0] = TIndexDesc();
    t.GetIndexFile().GetIndexDesc(SYS_TEXT_SLOT, p.Indexes[SYS_TEXT_SLOT]);
    c.CloseCursor(false);
    return p;
}

// The fields of the record as "field=value" text by field name: BLOBs as their size
// and a checksum, blank fields as "-", others as their stored bytes in hex.
inline std::map<std::string, std::string> RowFields(TDataCursor& c, std::vector<uint8_t>& rec) {
    std::map<std::string, std::string> row;
    for (uint16_t f = 1; f <= c.GetFieldCount(); ++f) {
        TFieldDesc d;
        c.GetFieldDesc(f, d);
        std::string text;
        if (d.FieldType() == fldBLOB) {
            uint32_t size = 0;
            if (c.OpenBlob(f, rec.data(), 2, false, false, size) == 0) {
                std::vector<uint8_t> bytes(size);
                uint32_t read = 0;
                if (size > 0) c.GetBlob(f, rec.data(), 0, bytes.data(), size, read, false);
                c.FreeBlob(f, rec.data(), false, true);
                uint32_t sum = 0;
                for (uint8_t b : bytes) sum = sum * 31 + b;
                text = std::to_string(size) + ":" + std::to_string(sum);
            }
        } else {
            uint8_t v[300] = {};
            bool blank = true;
            c.GetField(f, rec.data(), v, blank);
            if (blank) {
                text = "-";
            } else {
                static const char digits[] = "0123456789abcdef";
                for (int i = 0; i < d.StoredSize(); ++i) {
                    text.push_back(digits[v[i] >> 4]);
                    text.push_back(digits[v[i] & 15]);
                }
            }
        }
        row[d.Name()] = text;
    }
    return row;
}

// Every row as "field=value" text by field name, keyed by Id.
inline std::map<int32_t, std::map<std::string, std::string>> DumpRows(TDataDirectory* dir, const std::string& name,
                                                                      bool inMemory = false) {
    std::map<int32_t, std::map<std::string, std::string>> rows;
    TDataCursor c(dir);
    c.SetTableName(name);
    c.SetInMemory(inMemory);
    c.OpenCursor();
    std::vector<uint8_t> rec(c.GetCursorRecordSize(), 0);
    c.SetToBegin();
    while (c.GetNextRecord(rec.data()) == 0) {
        int32_t id = -1;
        for (uint16_t f = 1; f <= c.GetFieldCount(); ++f) {
            TFieldDesc d;
            c.GetFieldDesc(f, d);
            uint8_t v[8] = {};
            bool blank = true;
            if (d.Name() == "Id") c.GetField(f, rec.data(), v, blank);
            if (!blank) std::memcpy(&id, v, 4);
        }
        rows[id] = RowFields(c, rec);
    }
    c.CloseCursor(false);
    return rows;
}

}  // namespace kura::test
