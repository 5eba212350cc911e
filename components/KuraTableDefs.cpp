// TKuraTable: existence, creation from field and index definitions, deletion.
#include "components/FieldTypeMap.h"
#include "components/KuraDatabase.h"
#include "components/KuraMessages.h"
#include "components/KuraSession.h"
#include "components/KuraTable.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/TableCreation.h"
#include "platform/CodePage.h"
#include "platform/dataset/DatabaseError.h"

namespace kura {

// ---- table maintenance -------------------------------------------------------------------

bool TKuraTable::Exists() {
    if (Active()) return true;
    if (FTableName.empty()) return false;
    TDBFlagScope flag(*this, 3);
    if (!FDatabase || !FDatabase->Handle()) return false;
    TSessionLock lock(DBSession());
    return FDatabase->Handle()->TableExists(FTableName, FInMemory);
}

void TKuraTable::CreateTable() {
    CheckInactive();
    if (FTableName.empty()) DatabaseError(msg::NoTableName);
    if (FieldDefs().Count() == 0) {
        for (int i = 0; i < FieldCount(); ++i) {
            TField* f = Fields(i);
            if (f->FieldKind != fkData) continue;
            FieldDefs().Add(f->FieldName, f->DataType(), f->Size(), f->Required);
        }
    }
    TDBFlagScope flag(*this, 3);
    const bool savedReadOnly = FReadOnly;
    FReadOnly = false;
    std::unique_ptr<TDataCursor> cursor;
    try {
        cursor = NewCursor(true, false);
    } catch (...) {
        FReadOnly = savedReadOnly;
        throw;
    }
    FReadOnly = savedReadOnly;

    // A name longer than its descriptor holds is refused, never cut: cut, the name
    // as written would not find its field or index.
    for (int i = 0; i < FieldDefs().Count(); ++i) {
        const std::string& name = FieldDefs()[i].Name;
        if (TrimDefinitionName(name).size() > FIELD_NAME_LENGTH) cursor->RaiseError(KURA_INVALIDFIELDNAME, name);
    }
    for (int i = 0; i < FIndexDefs.Count(); ++i) {
        const std::string& name = FIndexDefs[i].Name;
        if (TrimDefinitionName(name).size() > INDEX_NAME_LENGTH) cursor->RaiseError(KURA_INVALIDINDEXNAME, {}, name);
    }
    std::vector<TFieldDesc> fields;
    for (int i = 0; i < FieldDefs().Count(); ++i)
        fields.push_back(FieldDescFromDef(FieldDefs()[i], static_cast<uint16_t>(i + 1)));

    std::vector<TIndexDef> defs;
    for (int i = 0; i < FIndexDefs.Count(); ++i) defs.push_back(FIndexDefs[i]);
    for (std::size_t i = 1; i < defs.size(); ++i)
        if (defs[i].Options & ixPrimary) std::swap(defs[0], defs[i]);

    auto toDesc = [&](const TIndexDef& def) {
        return IndexDescFromDef(def, [&](const std::string& name) {
            const int at = FieldDefs().IndexOf(name);
            if (at < 0) DatabaseErrorFmt("Field '%s' not found", name);
            return static_cast<uint16_t>(at + 1);
        });
    };
    TIndexDescSlots slots{};
    const bool hasPrimary = !defs.empty() && (defs[0].Options & ixPrimary);
    uint32_t secondary = 0;
    for (std::size_t i = 0; i < defs.size(); ++i) {
        if (i == 0 && hasPrimary) slots[0] = toDesc(defs[0]);
        else if (secondary + 1 < SYS_TEXT_SLOT) slots[++secondary] = toDesc(defs[i]);
    }
    slots[SYS_TEXT_SLOT].SetName("Sys Text");
    TSessionLock lock(DBSession());
    cursor->CreateTable(0, 0, false, nullptr, {}, {}, fields, slots, secondary, 512, "", "", false, 0, 0, !hasPrimary);
}

void TKuraTable::DeleteTable() {
    CheckInactive();
    if (FTableName.empty()) DatabaseError(msg::NoTableName);
    TDBFlagScope flag(*this, 3);
    auto cursor = NewCursor(true, false);
    TSessionLock lock(DBSession());
    cursor->DeleteTable();
}

}  // namespace kura
