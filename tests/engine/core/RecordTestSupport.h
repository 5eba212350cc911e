#pragma once
// Shared helpers of the record-operation tests and of their helper processes: a
// table with an auto-increment field, a primary key, a unique and a non-unique
// secondary index (and, when asked, a memo and a full-text index), and small
// accessors for its fields through a cursor.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/files/FieldTypes.h"
#include "tests/engine/core/DatabaseTestSupport.h"

namespace kura::test {

// Field numbers of the record table.
constexpr uint16_t F_SEQ = 1;   // auto-increment (record header)
constexpr uint16_t F_CODE = 2;  // 32-bit integer, the primary key
constexpr uint16_t F_NAME = 3;  // string of 20, unique index "ByName"
constexpr uint16_t F_NOTE = 4;  // string of 20, non-unique index "ByNote"
constexpr uint16_t F_MEMO = 5;  // memo, only in the table with BLOBs

inline TTableDefinition RecordTable(bool withTextIndex = false, bool withBlob = false) {
    TTableDefinition def;
    int32_t offset = 9;
    auto add = [&](const char* name, TEngineFieldType type, TEngineFieldSubtype subtype, uint8_t size) {
        PlaceField(def, offset, NewField(name, type, size, subtype));
    };
    add("Seq", fldINT32, fldstAUTOINC, 0);
    add("Code", fldINT32, 0, 0);
    add("Name", fldZSTRING, 0, 20);
    add("Note", fldZSTRING, 0, 20);
    if (withBlob) add("Memo", fldBLOB, fldstMEMO, 0);

    TIndexDesc primary;
    primary.SetByte(ido::FieldCount, 1);
    primary.SetField(0, F_CODE);
    primary.SetKeySize(5);
    TIndexDesc byName;
    byName.SetName("ByName");
    byName.SetByte(ido::FieldCount, 1);
    byName.SetByte(ido::Unique, 1);
    byName.SetField(0, F_NAME);
    byName.SetKeySize(def.Fields[F_NAME - 1].StoredSize() + 1);
    TIndexDesc byNote;
    byNote.SetName("ByNote");
    byNote.SetByte(ido::FieldCount, 1);
    byNote.SetField(0, F_NOTE);
    byNote.SetKeySize(def.Fields[F_NOTE - 1].StoredSize() + 1 + 4);
    def.Indexes = {primary, byName, byNote};
    if (withTextIndex) {
        TIndexDesc text;
        text.SetName("Sys Text");
        text.SetKeySize(SYS_TEXT_KEY_SIZE);
        text.SetByte(ido::FieldCount, 1);
        text.SetField(0, withBlob ? F_MEMO : F_NOTE);
        def.TextIndex = text;
    }
    def.Description = "records";
    return def;
}

// A session of its own with the lock protocol and short lock waits.
struct RecordDb : SessionDb {
    RecordDb(const std::string& path, uint8_t protocol) : SessionDb(path, 2, 20, protocol) {}
};

inline bool CreateRecordTable(TDataDirectory& dir, const std::string& name, const TTableDefinition& def) {
    TDataTable* table = nullptr;
    if (dir.CreateTable(table, name, false, false, def) != 0 || !table) return false;
    dir.CloseTable(table, false, false, false);
    return true;
}

inline std::unique_ptr<TDataCursor> OpenRecordCursor(TDataDirectory& dir, const std::string& name,
                                                     bool exclusive = false) {
    auto cursor = std::make_unique<TDataCursor>(&dir);
    cursor->SetTableName(name);
    cursor->SetExclusive(exclusive);
    cursor->OpenCursor();
    return cursor;
}

// A record buffer of the cursor's size with its fields set.
inline std::vector<uint8_t> MakeRecord(TDataCursor& cursor, int32_t code, const std::string& name,
                                       const std::string& note = "") {
    std::vector<uint8_t> buffer(cursor.GetCursorRecordSize(), 0);
    cursor.PutField(F_CODE, buffer.data(), &code);
    cursor.PutField(F_NAME, buffer.data(), name.c_str());
    if (!note.empty()) cursor.PutField(F_NOTE, buffer.data(), note.c_str());
    return buffer;
}

inline int32_t CodeOf(TDataCursor& cursor, const std::vector<uint8_t>& buffer) {
    int32_t code = 0;
    bool blank = true;
    cursor.GetField(F_CODE, buffer.data(), &code, blank);
    return blank ? -1 : code;
}

inline std::string TextOf(TDataCursor& cursor, const std::vector<uint8_t>& buffer, uint16_t field = F_NAME) {
    char text[256] = {};
    bool blank = true;
    cursor.GetField(field, buffer.data(), text, blank);
    return blank ? std::string() : std::string(text);
}

inline uint32_t SeqOf(const std::vector<uint8_t>& buffer) { return TDataCursor::GetBufferAutoInc(buffer.data()); }
inline uint32_t RecordNoOf(const std::vector<uint8_t>& buffer) {
    return TDataCursor::GetBufferRecordNo(buffer.data());
}

inline void SetName(TDataCursor& cursor, std::vector<uint8_t>& buffer, const std::string& name) {
    cursor.PutField(F_NAME, buffer.data(), name.c_str());
}

}  // namespace kura::test
