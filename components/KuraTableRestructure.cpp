// TKuraTable: the restructure lists read from the table, and RestructureTable,
// which turns them into the engine's definition and lets the engine restructure the
// table (contract in KuraRestructureDefs.h and engine/core/Restructure.h).
#include <algorithm>

#include "components/FieldTypeMap.h"
#include "components/KuraMessages.h"
#include "components/KuraSession.h"
#include "components/KuraTable.h"
#include "engine/core/DataTable.h"
#include "engine/core/Restructure.h"
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

// The table as it stands: what a restructure keeps unless the lists change it.
struct TCurrentTable {
    std::vector<TFieldDesc> Fields;
    TIndexDescSlots Indexes{};
    uint8_t IndexCount = 0;
    bool NoPrimary = false;
};

TCurrentTable ReadCurrentTable(TDataCursor& cursor, TRestructureParams& params) {
    TCurrentTable current;
    TDataTable* table = cursor.GetTable();
    params.LocaleId = cursor.GetLocaleID();
    params.SortId = cursor.GetSortID();
    params.UserMajor = cursor.GetUserMajorVersion();
    params.UserMinor = cursor.GetUserMinorVersion();
    params.Encrypted = table->IsEncrypted();
    params.Password = table->GetPassword();
    params.Description = table->GetDescription();
    const uint16_t blockSize = cursor.GetBlobBlockSize();
    params.BlobBlockSize = blockSize != 0 ? blockSize : DEFAULT_BLOB_BLOCK_SIZE;
    current.Fields = FieldDescsOf(cursor);
    current.IndexCount = cursor.GetIndexCount();
    current.NoPrimary = cursor.GetNoPrimaryIndex();
    for (uint8_t slot = 0; slot <= current.IndexCount && slot < SYS_TEXT_SLOT; ++slot)
        cursor.GetIndexDesc(slot, current.Indexes[slot]);
    return current;
}

// A field item's descriptor. A kept field starts from its old descriptor, so that
// what the item does not show (description, validity checks) stays; the checks go
// when the type changes, as their texts belong to the old type.
TFieldDesc FieldDescOf(const TRestructureFieldDef& item, uint16_t fieldNo, const TFieldDesc* old) {
    TFieldDef def;
    def.Name = item.Name;
    def.DataType = item.DataType;
    def.Size = item.Size;
    def.Required = item.Required;
    const TFieldDesc fresh = FieldDescFromDef(def, fieldNo);
    if (!old) return fresh;
    TFieldDesc desc = *old;
    desc.SetName(fresh.Name());
    desc.SetRequired(fresh.Required());
    const TFieldDef was = FieldDefFromDesc(*old);
    if (was.DataType == item.DataType && was.Size == item.Size) return desc;
    if (old->FieldType() != fresh.FieldType() || old->SubType() != fresh.SubType()) {
        desc.SetMinValue("");
        desc.SetMaxValue("");
        desc.SetDefaultValue("");
    }
    desc.SetFieldType(fresh.FieldType());
    desc.SetSubType(fresh.SubType());
    desc.SetDeclaredSize(fresh.DeclaredSize());
    desc.SetDeclaredDecimals(fresh.DeclaredDecimals());
    return desc;
}

// What a list item does not show of an index that keeps its name: the key
// compression and, while the direction stays, the per-field directions.
void KeepIndexDetails(TIndexDesc& desc, const TIndexDesc* old) {
    if (!old) return;
    desc.SetByte(ido::Compression, old->GetByte(ido::Compression));
    if (old->GetByte(ido::Descending) != desc.GetByte(ido::Descending)) return;
    for (int k = 0; k < MAX_INDEX_FIELDS; ++k) desc.SetOption(k, old->GetOption(k));
}

// The field descriptors of the items into params; the engine field number of each
// item, a new field getting one that no old field has.
std::vector<uint16_t> PutFields(const TRestructureFieldDefs& items, const TCurrentTable& current,
                                TRestructureParams& params) {
    uint16_t highest = 0;
    for (const TFieldDesc& f : current.Fields) highest = std::max(highest, f.FieldNo());
    for (int i = 0; i < items.Count(); ++i) highest = std::max(highest, items[i].FieldNo);
    std::vector<uint16_t> numbers;
    for (int i = 0; i < items.Count(); ++i) {
        const TRestructureFieldDef& item = items[i];
        const uint16_t no = item.FieldNo != 0 ? item.FieldNo : ++highest;
        numbers.push_back(no);
        params.Fields.push_back(FieldDescOf(item, no, item.FieldNo ? FindFieldNo(current.Fields, no) : nullptr));
    }
    return numbers;
}

// The index descriptors of the items into params: the primary one in slot 0, the
// others after it in list order, the full-text index in its own slot. Key fields
// name field items, whose engine field numbers are numbers.
void PutIndexes(const TRestructureIndexDefs& items, const TRestructureFieldDefs& fields,
                const std::vector<uint16_t>& numbers, const TCurrentTable& current, TDataCursor& cursor,
                TRestructureParams& params) {
    auto fieldNoOf = [&](const std::string& name) {
        const int at = fields.IndexOf(name);
        if (at < 0) DatabaseErrorFmt(FieldNotFoundText, name);
        return numbers[static_cast<std::size_t>(at)];
    };
    bool hasPrimary = false;
    uint8_t secondary = 0;
    for (int i = 0; i < items.Count(); ++i) {
        const TRestructureIndexDef& item = items[i];
        TIndexDesc desc = IndexDescFromDef(TIndexDef{item.Name, item.Fields, item.Options}, fieldNoOf);
        const TIndexDesc* old = nullptr;
        if (item.Options & ixPrimary) {
            if (hasPrimary) DatabaseError(msg::TwoPrimaryIndexes);
            hasPrimary = true;
            if (!current.NoPrimary) old = &current.Indexes[0];
            KeepIndexDetails(desc, old);
            params.Indexes[0] = desc;
            continue;
        }
        if (secondary >= MAX_SECONDARY_INDEXES) cursor.RaiseError(KURA_INDEXLIMIT, {}, item.Name);
        for (uint8_t slot = 1; slot <= current.IndexCount && slot < SYS_TEXT_SLOT; ++slot)
            if (current.Indexes[slot].GetFieldCount() > 0 && SameText(current.Indexes[slot].GetName(), item.Name))
                old = &current.Indexes[slot];
        KeepIndexDetails(desc, old);
        params.Indexes[++secondary] = desc;
    }
    params.IndexCount = secondary;
    TIndexDesc& text = params.Indexes[SYS_TEXT_SLOT];
    text = IndexDescFromDef(TIndexDef{"Sys Text", items.TextIndexFields, 0}, fieldNoOf);
    text.SetByte(ido::Compression, kcBoth);
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

// ---- the restructure ---------------------------------------------------------------------

void TKuraTable::RestructureTable() {
    CheckInactive();
    if (FTableName.empty()) DatabaseError(msg::NoTableName);
    TDBFlagScope flag(*this, 3);
    FRestructureFieldDefs.Update();
    FRestructureIndexDefs.Update();
    auto cursor = NewCursor(true, true);
    TRestructureParams params;
    TCurrentTable current;
    {
        TSessionLock lock(DBSession());
        try {
            current = ReadCurrentTable(*cursor, params);
        } catch (...) {
            cursor->CloseCursor(false);
            throw;
        }
        cursor->CloseCursor(false);
    }

    const std::vector<uint16_t> numbers = PutFields(FRestructureFieldDefs, current, params);
    PutIndexes(FRestructureIndexDefs, FRestructureFieldDefs, numbers, current, *cursor, params);

    // The questions: the handler decides; without one only dropped fields may go.
    bool refused = false;
    int refusal = dlUnknown;
    std::string refusedAt;
    bool stopped = false;
    cursor->Events().RestructureProgress = [this](TDataCursor*, uint16_t percent) {
        if (OnRestructureProgress) OnRestructureProgress(this, percent);
    };
    cursor->Events().RestructureQuestion = [&](TDataCursor*, uint8_t cause, const std::string& context,
                                               uint8_t& stopAsking, uint8_t& carryOn) {
        if (OnDataLost) {
            bool go = carryOn != 0;
            bool stop = stopAsking != 0;
            OnDataLost(this, cause, context, go, stop);
            carryOn = go ? 1 : 0;
            stopAsking = stop ? 1 : 0;
        } else if (cause != dlFieldDeletion) {
            carryOn = 0;
            refused = true;
            refusal = cause;
            refusedAt = context;
        }
        if (carryOn == 0) stopped = true;
    };
    {
        TSessionLock lock(DBSession());
        cursor->RestructureTable(params);
    }
    if (!stopped) {
        FieldDefs().Updated = false;
        FIndexDefs.Updated = false;
        FRestructureFieldDefs.Updated = false;
        FRestructureIndexDefs.Updated = false;
    }
    if (!refused) return;
    if (refusal == dlKeyViolation) cursor->RaiseError(KURA_KEYVIOL, {}, refusedAt);
    if (refusedAt.empty()) DatabaseErrorFmt(msg::RecordsDoNotFit, FTableName);
    DatabaseErrorFmt(msg::FieldDoesNotFit, refusedAt);
}

}  // namespace kura
