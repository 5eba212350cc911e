// TKuraTable: the restructure lists, read from the table's definition on first use
// (contract in KuraRestructureDefs.h).
#include <algorithm>

#include "components/FieldTypeMap.h"
#include "components/KuraMessages.h"
#include "components/KuraSession.h"
#include "components/KuraTable.h"
#include "engine/core/DataTable.h"
#include "engine/files/IndexPage.h"
#include "platform/dataset/DatabaseError.h"

namespace kura {

namespace {

std::vector<TFieldDesc> FieldDescsOf(TDataCursor& cursor) {
    std::vector<TFieldDesc> fields(cursor.GetFieldCount());
    for (std::size_t i = 0; i < fields.size(); ++i) cursor.GetFieldDesc(static_cast<uint16_t>(i + 1), fields[i]);
    return fields;
}

const TFieldDesc* FindFieldNo(const std::vector<TFieldDesc>& fields, uint16_t fieldNo) {
    for (const TFieldDesc& f : fields)
        if (f.FieldNo() == fieldNo) return &f;
    return nullptr;
}

// The ";"-separated names of an index descriptor's key fields.
std::string KeyFieldNames(const TIndexDesc& desc, const std::vector<TFieldDesc>& fields) {
    std::string names;
    for (int k = 0; k < MAX_INDEX_FIELDS && desc.GetField(k) != 0; ++k) {
        const TFieldDesc* f = FindFieldNo(fields, desc.GetField(k));
        if (!f) continue;
        if (!names.empty()) names += ';';
        names += f->Name();
    }
    return names;
}

}  // namespace

// ---- the lists ---------------------------------------------------------------------------

void TRestructureFieldDefs::Update() {
    if (Updated) return;
    FTable->ReadRestructureFieldDefs();
    Updated = true;
}

void TRestructureIndexDefs::Update() {
    if (Updated) return;
    FTable->ReadRestructureIndexDefs();
    Updated = true;
}

TRestructureFieldDefs& TKuraTable::RestructureFieldDefs() {
    FRestructureFieldDefs.Update();
    return FRestructureFieldDefs;
}

TRestructureIndexDefs& TKuraTable::RestructureIndexDefs() {
    FRestructureIndexDefs.Update();
    return FRestructureIndexDefs;
}

void TKuraTable::ReadDefinition(const std::function<void(TDataCursor&)>& read) {
    TDBFlagScope flag(*this, 4);
    if (FHandle) {
        TSessionLock lock(DBSession());
        read(*FHandle);
        return;
    }
    if (FTableName.empty()) DatabaseError(msg::NoTableName);
    auto cursor = NewCursor(FExclusive, true);
    TSessionLock lock(DBSession());
    try {
        read(*cursor);
    } catch (...) {
        cursor->CloseCursor(false);
        throw;
    }
    cursor->CloseCursor(false);
}

void TKuraTable::ReadRestructureFieldDefs() {
    ReadDefinition([this](TDataCursor& cursor) {
        FRestructureFieldDefs.Clear();
        for (const TFieldDesc& desc : FieldDescsOf(cursor)) {
            const TFieldDef def = FieldDefFromDesc(desc);
            FRestructureFieldDefs.Add(def.Name, def.DataType, def.Size, def.Required, desc.FieldNo());
        }
    });
}

void TKuraTable::ReadRestructureIndexDefs() {
    ReadDefinition([this](TDataCursor& cursor) {
        FRestructureIndexDefs.Clear();
        const std::vector<TFieldDesc> fields = FieldDescsOf(cursor);
        const uint8_t count = cursor.GetIndexCount();
        for (uint8_t slot = 0; slot <= count && slot < SYS_TEXT_SLOT; ++slot) {
            if (slot == 0 && cursor.GetNoPrimaryIndex()) continue;
            TIndexDesc desc;
            cursor.GetIndexDesc(slot, desc);
            if (desc.GetFieldCount() == 0) continue;
            const TIndexOptions options = IndexOptionsOf(desc, slot == 0);
            FRestructureIndexDefs.Add(desc.GetName(), KeyFieldNames(desc, fields), options);
        }
        TIndexDesc text;
        cursor.GetIndexDesc(SYS_TEXT_SLOT, text);
        FRestructureIndexDefs.TextIndexFields = KeyFieldNames(text, fields);
    });
}

}  // namespace kura
