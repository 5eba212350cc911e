// Checking and completing the definitions of a new or restructured table, and
// the cursor operations on a table as a whole: create, delete, rename, empty,
// backups and reading its header without opening it.
#include "engine/core/TableCreation.h"

#include <algorithm>
#include <string>

#include "engine/files/ConstantCheck.h"
#include "engine/files/DataFile.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/Locale.h"
#include "engine/files/Routines.h"

namespace kura {

namespace {

// Upper case as names compare: ASCII letters only, double-byte characters intact.
std::string UpperName(std::string_view name) {
    std::string s(name);
    LocaleUpperCase(0, 0, s);
    return s;
}

bool SameTextNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && UpperName(a) == UpperName(b);
}

bool HasDeclaredSize(TEngineFieldType type) { return type == fldZSTRING || type == fldBYTES || type == fldVARBYTES; }

// The definition carrying this field number; nullptr when none does.
const TFieldDesc* FindByNumber(const std::vector<TFieldDesc>& defs, uint16_t fieldNo) {
    for (const TFieldDesc& d : defs)
        if (d.FieldNo() == fieldNo) return &d;
    return nullptr;
}

// Blanks the whole name field first so that no bytes of a longer old name stay.
void StoreName(TFieldDesc& d, std::string_view name) {
    std::fill_n(d.Bytes.begin() + fdo::Name, 1 + FIELD_NAME_LENGTH, 0);
    d.SetName(name);
}

void StoreIndexName(TIndexDesc& d, std::string_view name) {
    std::fill_n(d.Bytes.begin() + ido::Name, 1 + INDEX_NAME_LENGTH, 0);
    d.SetName(name);
}

// Number of key fields before the first 0; a nonzero number after a 0 is a gap.
uint8_t CheckKeyFieldGaps(const TDefinitionContext& context, const TIndexDesc& d, std::string_view indexName) {
    uint8_t count = 0;
    while (count < MAX_INDEX_FIELDS && d.GetField(count) != 0) ++count;
    for (int k = count; k < MAX_INDEX_FIELDS; ++k)
        if (d.GetField(k) != 0) context.Raise(KURA_INVALIDIDXDESC, std::to_string(d.GetField(k)), indexName);
    return count;
}

void ClearPagePointers(TIndexDesc& d) {
    d.SetU32(ido::RootPage, 0);
    d.SetU32(ido::FreeHead, 0);
    d.SetU32(ido::ParamsPage, 0);
}

}  // namespace

void TDefinitionContext::Raise(TEngineErrorCode code, std::string_view field, std::string_view index) const {
    RaiseEngineError(code, Server, {}, Database, Table, field, index);
}

std::string TrimDefinitionName(std::string_view name) {
    while (!name.empty() && static_cast<unsigned char>(name.front()) <= ' ') name.remove_prefix(1);
    while (!name.empty() && static_cast<unsigned char>(name.back()) <= ' ') name.remove_suffix(1);
    return std::string(name);
}

void ValidateTableDefs(const TDefinitionContext& context, uint16_t localeId, uint16_t sortId, bool encrypted,
                       std::string_view password, uint16_t blobBlockSize, std::vector<TFieldDesc>& fieldDefs,
                       TIndexDescSlots& indexDefs, uint32_t secondaryCount, bool noPrimaryIndex, bool allowComputed) {
    if (encrypted) {
        // The header keeps 15 characters: a longer password could never be given
        // back as it was set.
        const std::string trimmed = TrimDefinitionName(password);
        if (trimmed.empty() || trimmed.size() > TABLE_PASSWORD_LENGTH || password.size() > TABLE_PASSWORD_LENGTH)
            context.Raise(KURA_INVALIDPASSWORD);
    }
    if (localeId != 0 && !IsValidLCID(MakeLCID(localeId, sortId))) context.Raise(KURA_CANNOTLOADLDDRV);
    if (fieldDefs.size() > static_cast<std::size_t>(MAX_TABLE_FIELDS)) context.Raise(KURA_FLDLIMIT);
    if (secondaryCount > 32) context.Raise(KURA_INDEXLIMIT);
    if (blobBlockSize < MIN_BLOB_BLOCK_SIZE) context.Raise(KURA_BLOBLIMIT);
    ValidateFieldDefs(context, allowComputed, fieldDefs, true);
    ValidateIndexDefs(context, indexDefs, secondaryCount, fieldDefs, noPrimaryIndex);
}

void ValidateFieldDefs(const TDefinitionContext& context, bool allowComputed, std::vector<TFieldDesc>& fieldDefs,
                       bool assignOffsets) {
    // Every name as the others compare with it.
    std::vector<std::string> upperNames;
    upperNames.reserve(fieldDefs.size());
    for (const TFieldDesc& d : fieldDefs) upperNames.push_back(UpperName(TrimDefinitionName(d.Name())));

    uint32_t offset = FIRST_FIELD_OFFSET;
    for (std::size_t i = 0; i < fieldDefs.size(); ++i) {
        TFieldDesc& d = fieldDefs[i];
        const std::string name = TrimDefinitionName(d.Name());
        StoreName(d, name);
        const std::string& upper = upperNames[i];
        if (upper.empty() || !IsIdentStartChar(upper[0])) context.Raise(KURA_INVALIDFIELDNAME, name);
        for (std::size_t j = 0; j < fieldDefs.size(); ++j) {
            if (j == i) continue;
            if (upperNames[j] == upper) context.Raise(KURA_INVALIDFIELDNAME, name);
            if (fieldDefs[j].FieldNo() == d.FieldNo()) context.Raise(KURA_INVALIDFLDTYPE, name);
        }
        const TEngineFieldType type = d.FieldType();
        if (type == fldUNKNOWN) context.Raise(KURA_INVALIDFLDTYPE, name);
        if (HasDeclaredSize(type)) {
            if (d.DeclaredSize() < 1 || d.DeclaredSize() > FIELD_MAX_DECLARED_SIZE)
                context.Raise(KURA_INVALIDFLDTYPE, name);
        } else {
            d.SetDeclaredSize(0);
        }
        if (!IsValidConstantForType(d.MinValue(), type) || !IsValidConstantForType(d.MaxValue(), type) ||
            !IsValidConstantForType(d.DefaultValue(), type))
            context.Raise(KURA_INVALIDVCHKSTRUCT, name);
        if (d.Computed() != 0 && !allowComputed) context.Raise(KURA_INVALIDFLDTYPE, name);
        if (type != fldBCD) d.SetDeclaredDecimals(0);
        d.DerivePhysical();

        if (d.Computed() != 0) continue;
        if (assignOffsets && d.IsAutoInc()) {
            d.SetOffset(AUTOINC_FIELD_OFFSET);
            continue;
        }
        if (assignOffsets) {
            // Offsets are 16 bits: a field that would start beyond them cannot be
            // addressed, and the record could not be stored anyway.
            if (offset + d.StoredSize() + 1u > static_cast<uint32_t>(MAX_RECORD_SIZE))
                context.Raise(KURA_RECTOOBIG, name);
            d.SetOffset(static_cast<uint16_t>(offset));
        }
        offset += d.StoredSize() + 1u;
    }
}

void ValidateIndexDefs(const TDefinitionContext& context, TIndexDescSlots& indexDefs, uint32_t secondaryCount,
                       const std::vector<TFieldDesc>& fieldDefs, bool noPrimaryIndex) {
    if (secondaryCount > MAX_SECONDARY_INDEXES) context.Raise(KURA_INDEXLIMIT);

    std::vector<std::string> upperNames(secondaryCount + 1);
    for (uint32_t n = 1; n <= secondaryCount; ++n) upperNames[n] = UpperName(TrimDefinitionName(indexDefs[n].GetName()));

    for (uint32_t n = 0; n <= secondaryCount; ++n) {
        TIndexDesc& d = indexDefs[n];
        std::string name;
        if (n == 0) {
            StoreIndexName(d, "");
            d.SetByte(ido::Unique, 1);
        } else {
            name = TrimDefinitionName(d.GetName());
            const std::string& upper = upperNames[n];
            if (upper.empty() || !IsIdentStartChar(upper[0])) context.Raise(KURA_INVALIDINDEXNAME, {}, name);
            for (uint32_t m = 1; m <= secondaryCount; ++m)
                if (m != n && upperNames[m] == upper) context.Raise(KURA_INDEXEXISTS, {}, name);
            // The index file refuses a name that does not start as a name, so the
            // trimmed form is the one stored.
            StoreIndexName(d, name);
        }

        uint8_t count = CheckKeyFieldGaps(context, d, name);
        uint32_t keySize = 0;
        for (uint8_t k = 0; k < count; ++k) {
            const TFieldDesc* field = FindByNumber(fieldDefs, d.GetField(k));
            if (!field) {
                if (n == 0 && noPrimaryIndex) {
                    count = k;
                    break;
                }
                context.Raise(KURA_INVALIDIDXDESC, {}, name);
            }
            if (field->FieldType() == fldBLOB) context.Raise(KURA_SEARCHCOLREQD, field->Name(), name);
            keySize += GetFieldDataSize(field->FieldType(), field->StoredSize()) + 1u;
        }
        if (keySize > static_cast<uint32_t>(MAX_KEY_FIELDS_SIZE)) context.Raise(KURA_INVALIDKEY, {}, name);
        if (keySize == 0 && (n != 0 || !noPrimaryIndex)) context.Raise(KURA_INVALIDKEY, {}, name);
        // Keys of a non-unique index end with the record's row identifier.
        if (d.GetByte(ido::Unique) == 0) keySize += 4;
        // A list ended early by the no-primary-index option keeps no stray numbers.
        for (int k = count; k < MAX_INDEX_FIELDS; ++k) d.SetField(k, 0);
        d.SetByte(ido::FieldCount, count);
        d.SetKeySize(static_cast<uint16_t>(keySize));
        ClearPagePointers(d);
    }

    TIndexDesc& text = indexDefs[SYS_TEXT_SLOT];
    const std::string textName = text.GetName();
    const uint8_t count = CheckKeyFieldGaps(context, text, textName);
    for (uint8_t k = 0; k < count; ++k) {
        const TFieldDesc* field = FindByNumber(fieldDefs, text.GetField(k));
        if (!field) context.Raise(KURA_INVALIDIDXDESC, {}, textName);
        const bool isText = field->FieldType() == fldZSTRING ||
                            (field->FieldType() == fldBLOB && field->SubType() == fldstMEMO);
        if (!isText) context.Raise(KURA_SEARCHCOLREQD, field->Name(), textName);
    }
    text.SetByte(ido::FieldCount, count);
    text.SetKeySize(SYS_TEXT_KEY_SIZE);
    ClearPagePointers(text);
}

bool CompareFieldDefs(const TFieldDesc& a, const TFieldDesc& b) {
    return a.FieldNo() != b.FieldNo() || a.FieldType() != b.FieldType() || a.SubType() != b.SubType() ||
           a.StoredSize() != b.StoredSize() || a.StoredDecimals() != b.StoredDecimals() ||
           a.Required() != b.Required() || a.Bytes[fdo::Reserved] != b.Bytes[fdo::Reserved] ||
           !SameTextNoCase(a.DefaultValue(), b.DefaultValue()) || !SameTextNoCase(a.MinValue(), b.MinValue()) ||
           !SameTextNoCase(a.MaxValue(), b.MaxValue());
}

bool IndexNeedsRebuild(const TDefinitionContext& context, const TIndexDesc& oldDesc, const TIndexDesc& newDesc,
                       const std::vector<TFieldDesc>& oldFieldDefs, const std::vector<TFieldDesc>& newFieldDefs) {
    if (oldDesc.GetKeySize() != newDesc.GetKeySize() || oldDesc.GetFieldCount() != newDesc.GetFieldCount())
        return true;
    for (int offset : {ido::Descending, ido::CaseInsensitive, ido::Unique, ido::Compression})
        if (oldDesc.GetByte(offset) != newDesc.GetByte(offset)) return true;
    const int count = std::min<int>(newDesc.GetFieldCount(), MAX_INDEX_FIELDS);
    for (int k = 0; k < count; ++k) {
        const uint16_t newNo = newDesc.GetField(k);
        const TFieldDesc* newField = FindByNumber(newFieldDefs, newNo);
        if (!newField) context.Raise(KURA_OUTOFRANGE, std::to_string(newNo));
        const uint16_t oldNo = oldDesc.GetField(k);
        if (oldNo != newNo) return true;
        const TFieldDesc* oldField = FindByNumber(oldFieldDefs, oldNo);
        if (!oldField || CompareFieldDefs(*oldField, *newField)) return true;
    }
    return false;
}

}  // namespace kura
