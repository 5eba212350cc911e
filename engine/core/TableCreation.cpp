// Checking and completing the definitions of a new or restructured table, and
// the cursor operations on a table as a whole: create, delete, rename, empty,
// backups and reading its header without opening it.
#include "engine/core/TableCreation.h"

#include <algorithm>
#include <string>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/core/TableRename.h"
#include "engine/core/TextIndexParams.h"
#include "engine/core/TextWords.h"

#include "engine/files/ConstantCheck.h"
#include "engine/files/DataFile.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/Locale.h"
#include "engine/files/Routines.h"

namespace kura {

namespace {

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
    for (const TFieldDesc& d : fieldDefs) upperNames.push_back(UpperCaseName(TrimDefinitionName(d.Name())));

    uint32_t offset = FIRST_FIELD_OFFSET;
    for (std::size_t i = 0; i < fieldDefs.size(); ++i) {
        TFieldDesc& d = fieldDefs[i];
        const std::string name = TrimDefinitionName(d.Name());
        // A length beyond the name's room: the name was cut, and is not the one meant.
        const bool cut = d.Bytes[fdo::Name] > FIELD_NAME_LENGTH;
        StoreName(d, name);
        const std::string& upper = upperNames[i];
        if (cut || upper.empty() || !IsIdentStartChar(upper[0])) context.Raise(KURA_INVALIDFIELDNAME, name);
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
    for (uint32_t n = 1; n <= secondaryCount; ++n) upperNames[n] = UpperCaseName(TrimDefinitionName(indexDefs[n].GetName()));

    for (uint32_t n = 0; n <= secondaryCount; ++n) {
        TIndexDesc& d = indexDefs[n];
        std::string name;
        if (n == 0) {
            StoreIndexName(d, "");
            d.SetByte(ido::Unique, 1);
        } else {
            name = TrimDefinitionName(d.GetName());
            const std::string& upper = upperNames[n];
            if (d.GetByte(ido::Name) > INDEX_NAME_LENGTH || upper.empty() || !IsIdentStartChar(upper[0]))
                context.Raise(KURA_INVALIDINDEXNAME, {}, name);
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
           !SameNameText(a.DefaultValue(), b.DefaultValue()) || !SameNameText(a.MinValue(), b.MinValue()) ||
           !SameNameText(a.MaxValue(), b.MaxValue());
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

// ---- Cursor operations on the table as a whole ------------------------------------

namespace {

// Bytes of the cursor's definition copies beyond what the data file stores.
constexpr uint8_t ORIGIN_TEXT_MAX = 100;
constexpr uint8_t DATABASE_TEXT_MAX = 100;

TDefinitionContext ContextOf(const TDataCursor& cursor) {
    TDefinitionContext context;
    context.Database = cursor.GetDatabaseName();
    context.Table = cursor.GetTableName();
    return context;
}

}  // namespace

void TDataCursor::CheckExclusive() const {
    if (!FExclusive) RaiseError(KURA_NEEDEXCLACCESS);
}

void TDataCursor::CheckNotReadOnly() const {
    if (FReadOnly) RaiseError(KURA_OSEACCES);
}

void TDataCursor::ValidateTableDefs(uint16_t localeId, uint16_t sortId, bool encrypted, std::string_view password,
                                    uint16_t blobBlockSize, std::vector<TFieldDesc>& fieldDefs,
                                    std::array<TIndexDesc, INDEX_SLOT_COUNT>& indexDefs, uint32_t secondaryCount,
                                    bool noPrimaryIndex, bool allowComputed) const {
    kura::ValidateTableDefs(ContextOf(*this), localeId, sortId, encrypted, password, blobBlockSize, fieldDefs,
                            indexDefs, secondaryCount, noPrimaryIndex, allowComputed);
}

void TDataCursor::ValidateFieldDefs(bool allowComputed, std::vector<TFieldDesc>& fieldDefs, bool assignOffsets) const {
    kura::ValidateFieldDefs(ContextOf(*this), allowComputed, fieldDefs, assignOffsets);
}

void TDataCursor::ValidateIndexDefs(std::array<TIndexDesc, INDEX_SLOT_COUNT>& indexDefs, uint32_t secondaryCount,
                                    const std::vector<TFieldDesc>& fieldDefs, bool noPrimaryIndex) const {
    kura::ValidateIndexDefs(ContextOf(*this), indexDefs, secondaryCount, fieldDefs, noPrimaryIndex);
}

void TDataCursor::CreateTable(uint16_t localeId, uint16_t sortId, bool overwrite, const TStringList* stopWords,
                              const std::bitset<256>& spaceChars, const std::bitset<256>& includeChars,
                              std::vector<TFieldDesc>& fieldDefs, std::array<TIndexDesc, INDEX_SLOT_COUNT>& indexDefs,
                              uint32_t secondaryCount, uint16_t blobBlockSize, std::string_view description,
                              std::string_view password, bool encrypted, uint16_t userMajor, uint16_t userMinor,
                              bool noPrimaryIndex) {
    // An open cursor would lose its table to the new one.
    CheckNotOpen();
    CheckExclusive();
    CheckNotReadOnly();
    ValidateTableDefs(localeId, sortId, encrypted, password, blobBlockSize, fieldDefs, indexDefs, secondaryCount,
                      noPrimaryIndex, false);
    if (IsRemote()) {
        SendRemoteCreateTable({localeId, sortId, overwrite, stopWords, &spaceChars, &includeChars, &fieldDefs,
                               &indexDefs, secondaryCount, blobBlockSize, description, password, encrypted, userMajor,
                               userMinor, noPrimaryIndex});
        return;
    }
    if (!FDirectory) RaiseError(KURA_NOTINITIALIZED);
    if (!FInMemory && !FTemporaryFiles) {
        // A rename of the name that stopped half-way ends before the name is judged
        // free, and a link at the table's data file is what stands in the way.
        CompleteRenameOfName();
        std::string data;
        ReplaceFileExt(FTableName, DataFileExt, DataFileExt, data);
        data = FDirectory->Path + data;
        if (OSIsLink(data)) RaiseEngineError(KURA_OSEACCES, {}, {}, {}, platform::NormalizeSeparators(data));
    }
    if (!overwrite && FDirectory->TableExists(FTableName, FInMemory)) RaiseError(KURA_TABLEEXISTS);

    TTableDefinition definition;
    definition.Fields = fieldDefs;
    definition.Indexes.assign(indexDefs.begin(), indexDefs.begin() + secondaryCount + 1);
    TIndexDesc text = indexDefs[SYS_TEXT_SLOT];
    // The slot keeps the name and key compression every index file gives it.
    std::fill_n(text.Bytes.begin() + ido::Name, 1 + INDEX_NAME_LENGTH, 0);
    text.SetName("Sys Text");
    text.SetByte(ido::Compression, kcBoth);
    definition.TextIndex = text;
    definition.LocaleId = localeId;
    definition.SortId = sortId;
    definition.BlobBlockSize = blobBlockSize;
    definition.Description = std::string(description.substr(0, TABLE_DESCRIPTION_LENGTH));
    definition.Password = std::string(password);
    definition.Encrypted = encrypted;
    definition.UserMajor = userMajor;
    definition.UserMinor = userMinor;

    TDataTable* table = nullptr;
    const int32_t result = FDirectory->CreateTable(table, FTableName, FInMemory, FTemporaryFiles, definition);
    if (result < 0 || !table) RaiseError(static_cast<TEngineErrorCode>(result < 0 ? -result : KURA_OSENOENT));
    FTable = table;
    FOpen = true;
    try {
        // A temporary table may have been given another free name.
        if (FTemporaryFiles && table->GetName() != FTableName) {
            std::string name = table->GetName();
            if (name.size() >= 4 && UpperCaseName(name.substr(name.size() - 4)) == ".DAT") name.resize(name.size() - 4);
            FTableName = name;
        }
        if (noPrimaryIndex) table->SetNoPrimaryIndex(true);
        FLocaleID = localeId;
        FSortID = sortId;
        TLanguageStringList words;
        words.LanguageId = localeId;
        words.SortId = sortId;
        words.SetSorted(true);
        words.SetDuplicates(TDuplicates::dupIgnore);
        TCharSet spaces;
        TCharSet includes;
        GetDefaultTextIndexParams(words, spaces, includes);
        if (stopWords) {
            words.Clear();
            for (int32_t i = 0; i < stopWords->Count(); ++i) words.Add(stopWords->Get(i));
        }
        if (spaceChars.any()) spaces = spaceChars;
        if (includeChars.any()) includes = includeChars;
        SetTextIndexParams(&words, spaces, includes);
        // Written now rather than left to the close, so that a table that exists
        // always carries its parameters.
        SaveTextIndexParams();
    } catch (...) {
        try {
            CloseCursor(false);
        } catch (...) {
            ReleaseOpenState();
        }
        throw;
    }
    CloseCursor(false);
}

// A rename of the table's name that stopped half-way ends before its header is
// read: the table is where that rename leaves it.
void TDataCursor::CompleteRenameOfName() {
    if (!IsRemote() && !FInMemory && FDirectory) CompleteInterruptedRename(FDirectory->Path, FTableName);
}

void TDataCursor::DeleteTable() {
    CheckNotOpen();
    CompleteRenameOfName();
    uint8_t header[DATA_HEADER_SIZE];
    GetDataHeader(header);
    const int32_t result = FDirectory->DeleteTable(FTableName, FInMemory);
    if (result < 0) RaiseError(static_cast<TEngineErrorCode>(-result));
    if (IsRemote()) SendRemoteTableRequest(REQUEST_DELETETABLE);
}

void TDataCursor::RenameTable(std::string_view newName) {
    CheckNotOpen();
    CompleteRenameOfName();
    uint8_t header[DATA_HEADER_SIZE];
    GetDataHeader(header);
    const int32_t result = FDirectory->RenameTable(FTableName, newName, false, FInMemory);
    if (result < 0) RaiseError(static_cast<TEngineErrorCode>(-result));
    if (IsRemote()) SendRemoteTableRequest(REQUEST_RENAMETABLE, newName);
}

void TDataCursor::BackupTableFiles() {
    CheckNotOpen();
    if (IsRemote()) RaiseNoRemote();
    if (!FDirectory) RaiseError(KURA_NOTINITIALIZED);
    const int32_t result = FDirectory->RenameTable(FTableName, FTableName, true, FInMemory);
    if (result < 0) RaiseError(static_cast<TEngineErrorCode>(-result));
}

void TDataCursor::BackupIndexFile() {
    CheckExclusive();
    CheckNotReadOnly();
    if (IsRemote()) RaiseNoRemote();
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    FTable->BackupIndexFile();
}

void TDataCursor::RestoreIndexFile(bool keepCurrent, bool deleteBackup) {
    CheckExclusive();
    if (IsRemote()) RaiseNoRemote();
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    FTable->RestoreIndexFile(keepCurrent, deleteBackup);
}

void TDataCursor::EmptyTable() {
    CheckExclusive();
    CheckNotReadOnly();
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    if (IsRemote()) return EmptyRemoteTable();
    // The parameters live in the index file that is about to be emptied.
    LoadTextIndexParams();
    FRowIdsDeferred = false;
    FDeferredAutoIncs.clear();
    FTable->EmptyFiles();
    FTextParamsChanged = true;
    SaveTextIndexParams();
    SaveChangeCounters();
    RebuildFilterSet();
    SetToBegin();
}

bool TDataCursor::IndexNameExists(std::string_view name) const {
    if (IsRemote()) RaiseNoRemote();
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    return FTable->GetIndexFile().IndexNameExists(name);
}

void TDataCursor::SetComputedFieldDefs(const TFieldDesc* defs, int32_t count, int32_t limit) {
    if (count < 0 || (count > 0 && !defs)) RaiseError(KURA_INVALIDFLDTYPE);
    if (count > limit) RaiseError(KURA_FLDLIMIT);
    std::vector<TFieldDesc> checked(defs, defs + count);
    ValidateFieldDefs(true, checked, false);
    SetComputedFieldDefs(checked, limit);
}

void TDataCursor::SetFieldOrigins() {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    // The database's name for a session with object lists, else its path.
    const std::string databaseText = GetDatabaseName();
    uint32_t recordSize = FTable->GetRecordSize();
    bool computed = false;
    for (TFieldDesc& desc : FFieldDefs) {
        if (desc.Computed() != 0) {
            computed = true;
            if (recordSize + desc.StoredSize() + 1u > static_cast<uint32_t>(MAX_RECORD_SIZE))
                RaiseError(KURA_RECTOOBIG, desc.Name());
            desc.SetOffset(static_cast<uint16_t>(recordSize));
            recordSize += desc.StoredSize() + 1u;
        }
        dfbytes::PutPStr(&desc.Bytes[fdo::Origin], ORIGIN_TEXT_MAX, FTableName + "." + desc.Name());
        dfbytes::PutU16(&desc.Bytes[fdo::SourceFieldNo], desc.FieldNo());
        dfbytes::PutPStr(&desc.Bytes[fdo::DatabaseText], DATABASE_TEXT_MAX, databaseText);
    }
    FHasComputedFields = computed;
    FRecordSize = static_cast<uint16_t>(recordSize);
    if (FRecord) FRecord->SetRecordSize(FRecordSize);
}

bool TDataCursor::IndexNeedsRebuild(const TIndexDesc& oldDesc, const TIndexDesc& newDesc,
                                    const std::vector<TFieldDesc>& newFieldDefs) const {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    std::vector<TFieldDesc> oldFieldDefs(FTable->GetFieldCount());
    for (std::size_t i = 0; i < oldFieldDefs.size(); ++i)
        FTable->GetFieldDesc(static_cast<int32_t>(i + 1), oldFieldDefs[i]);
    return kura::IndexNeedsRebuild(ContextOf(*this), oldDesc, newDesc, oldFieldDefs, newFieldDefs);
}

void TDataCursor::RenumberIndexFields() {
    if (IsRemote()) RaiseNoRemote();
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    const uint16_t fieldCount = FTable->GetFieldCount();
    std::vector<TFieldDesc> defs(fieldCount);
    for (uint16_t i = 0; i < fieldCount; ++i) FTable->GetFieldDesc(i + 1, defs[i]);
    auto positionOf = [&](uint16_t fieldNo) -> uint16_t {
        for (uint16_t i = 0; i < fieldCount; ++i)
            if (defs[i].FieldNo() == fieldNo) return static_cast<uint16_t>(i + 1);
        return 0;
    };
    TIndexFile& index = FTable->GetIndexFile();
    const uint8_t count = std::min<uint8_t>(index.GetIndexCount(), MAX_SECONDARY_INDEXES);
    std::vector<uint8_t> slots;
    for (uint8_t slot = 0; slot <= count; ++slot) slots.push_back(slot);
    slots.push_back(SYS_TEXT_SLOT);
    for (uint8_t slot : slots) {
        TIndexDesc desc;
        index.GetIndexDesc(slot, desc);
        for (int k = 0; k < MAX_INDEX_FIELDS; ++k)
            if (desc.GetField(k) != 0) desc.SetField(k, positionOf(desc.GetField(k)));
        index.SetIndexNameAndFields(slot, desc);
    }
    for (uint16_t i = 0; i < fieldCount; ++i) {
        defs[i].SetFieldNo(static_cast<uint16_t>(i + 1));
        FTable->GetDataFile().SetFieldDesc(i + 1, defs[i]);
        if (i < FFieldDefs.size()) FFieldDefs[i].SetFieldNo(static_cast<uint16_t>(i + 1));
    }
    if (FIndexNo < INDEX_SLOT_COUNT) LoadIndexDescriptor();
}

void TDataCursor::SetDescriptionAndPassword(std::string_view password, std::string_view description,
                                            uint16_t userMajor, uint16_t userMinor, uint32_t lastAutoInc) {
    if (IsRemote()) RaiseNoRemote();
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    FTable->GetDataFile().SetDescriptionAndPassword(password, description, userMajor, userMinor, lastAutoInc);
}

void TDataCursor::SetIndexDesc(uint8_t indexNo, const TIndexDesc& desc) {
    if (IsRemote()) RaiseNoRemote();
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    FTable->GetIndexFile().SetIndexDesc(indexNo, desc);
    if (indexNo == FIndexNo) LoadIndexDescriptor();
}

void TDataCursor::SetIndexNameAndFields(uint8_t indexNo, const TIndexDesc& desc) {
    if (IsRemote()) RaiseNoRemote();
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    FTable->GetIndexFile().SetIndexNameAndFields(indexNo, desc);
    if (indexNo == FIndexNo) LoadIndexDescriptor();
}

}  // namespace kura
