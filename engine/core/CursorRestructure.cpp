// TDataCursor::RestructureTable (contract in Restructure.h): the choice between a
// header rewrite, a rebuild of the changed indexes in place (CursorIndexRebuild.cpp)
// and a full copy; the copy of every live record into the new table, and the swap
// that puts the new table in the old one's place.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/core/Restructure.h"
#include "engine/core/TableSwap.h"
#include "engine/core/TextWords.h"
#include "engine/files/EngineFile.h"
#include "engine/files/FieldConversions.h"
#include "engine/files/Locale.h"
#include "engine/files/Routines.h"

namespace kura {

namespace {

constexpr uint8_t BLOB_MODE_READWRITE = 2;

bool HasPrimaryFields(const TIndexDesc& desc) { return desc.GetField(0) != 0; }

bool ConvertValue(const TFieldDesc& from, const TFieldDesc& to, uint8_t* value);

// The copy of one table into its restructured form, with the question answers.
class TRestructureCopy {
public:
    TRestructureCopy(TDataCursor& source, TDataCursor& target, const std::vector<TFieldDesc>& newFields)
        : S(source), T(target), NewFields(newFields) {}
    // False when the caller answered continue = false.
    bool Run();
    bool Ask(uint8_t reason, const std::string& text);

private:
    TDataCursor& S;
    TDataCursor& T;
    const std::vector<TFieldDesc>& NewFields;  // field numbers of the old fields
    uint8_t StopAsking = 0;
    uint8_t Continue = 1;

    enum class TRowOutcome { Copied, Skipped, Aborted };
    TRowOutcome CopyRow(std::vector<uint8_t>& oldRecord, std::vector<uint8_t>& newRecord);
    // False when the row is left out (or the copy aborted: see Continue).
    bool CopyBlob(const TFieldDesc& oldField, uint16_t newNo, std::vector<uint8_t>& oldRecord,
                  std::vector<uint8_t>& newRecord);
};

bool TRestructureCopy::Ask(uint8_t reason, const std::string& text) {
    if (StopAsking == 0) S.DoRestructureQuestion(reason, text, StopAsking, Continue);
    return Continue != 0;
}

bool TRestructureCopy::CopyBlob(const TFieldDesc& oldField, uint16_t newNo, std::vector<uint8_t>& oldRecord,
                                std::vector<uint8_t>& newRecord) {
    const uint16_t oldNo = oldField.FieldNo();
    uint32_t size = 0;
    TEngineErrorCode rc = S.OpenBlob(oldNo, oldRecord.data(), BLOB_MODE_READWRITE, true, false, size);
    if (rc != 0) S.RaiseError(rc, oldField.Name());
    std::vector<uint8_t> bytes(size);
    uint32_t read = 0;
    rc = size > 0 ? S.GetBlob(oldNo, oldRecord.data(), 0, bytes.data(), size, read, true) : 0;
    S.FreeBlob(oldNo, oldRecord.data(), true);
    if (rc != 0) S.RaiseError(rc, oldField.Name());
    if (size == 0) return true;
    uint32_t fresh = 0;
    rc = T.OpenBlob(newNo, newRecord.data(), BLOB_MODE_READWRITE, true, true, fresh);
    if (rc == 0) rc = T.PutBlob(newNo, newRecord.data(), 0, bytes.data(), size, true);
    if (rc != 0) T.RaiseError(rc, oldField.Name());
    return true;
}

TRestructureCopy::TRowOutcome TRestructureCopy::CopyRow(std::vector<uint8_t>& oldRecord,
                                                        std::vector<uint8_t>& newRecord) {
    T.InitRecord(newRecord.data());
    // Row identifiers stay what they were.
    TDataCursor::SetBufferAutoInc(newRecord.data(), TDataCursor::GetBufferAutoInc(oldRecord.data()));
    const uint16_t oldCount = S.GetTable()->GetFieldCount();
    for (uint16_t k = 1; k <= oldCount; ++k) {
        TFieldDesc oldField;
        S.GetTable()->GetFieldDesc(k, oldField);
        const auto it = std::find_if(NewFields.begin(), NewFields.end(),
                                     [&](const TFieldDesc& f) { return f.FieldNo() == oldField.FieldNo(); });
        if (it == NewFields.end()) {
            if (!Ask(rqFieldDropped, oldField.Name())) return TRowOutcome::Aborted;
            continue;
        }
        const uint16_t newNo = static_cast<uint16_t>(it - NewFields.begin() + 1);
        TFieldDesc newField;
        T.GetTableFieldDesc(newNo, newField);
        // An auto-increment value lives in the record header (copied above).
        if (oldField.IsAutoInc() && newField.IsAutoInc()) continue;
        const bool oldBlob = oldField.FieldType() == fldBLOB;
        const bool newBlob = newField.FieldType() == fldBLOB;
        if (oldBlob && newBlob) {
            CopyBlob(oldField, newNo, oldRecord, newRecord);
            continue;
        }
        uint8_t value[FieldValueBufferSize + 8] = {};
        bool blank = true;
        TFieldDesc from = oldField;
        if (oldField.IsAutoInc()) {
            dfbytes::PutU32(value, TDataCursor::GetBufferAutoInc(oldRecord.data()));
            blank = false;
            from = TFieldDesc();
            from.SetFieldType(fldINT32);
            from.SetStoredSize(4);
        } else if (oldBlob) {
            blank = oldRecord[oldField.Offset()] == 0;
        } else {
            S.GetTableField(k, oldRecord.data(), value, blank);
        }
        if (blank) continue;
        if (newField.IsAutoInc()) {
            // The value becomes the record's auto-increment value.
            TFieldDesc to;
            to.SetFieldType(fldINT32);
            to.SetStoredSize(4);
            if (oldBlob || !ConvertValue(from, to, value))
                return Ask(rqConversion, oldField.Name()) ? TRowOutcome::Skipped : TRowOutcome::Aborted;
            TDataCursor::SetBufferAutoInc(newRecord.data(), dfbytes::GetU32(value));
            continue;
        }
        const bool converted = !oldBlob && !newBlob && ConvertValue(from, newField, value);
        if (!converted) return Ask(rqConversion, oldField.Name()) ? TRowOutcome::Skipped : TRowOutcome::Aborted;
        T.PutTableField(newNo, newRecord.data(), value);
    }
    try {
        T.AppendRecord(newRecord.data(), false);
    } catch (const EKuraEngineError& e) {
        T.FreeAllBlobs(true);
        const TEngineErrorCode code = e.ErrorCode();
        bool go = false;
        if (code == KURA_KEYVIOL)
            go = Ask(rqKeyViolation, e.ErrorContext(ctxIndex));
        else if (code == KURA_MINVALERR || code == KURA_MAXVALERR || code == KURA_REQDERR)
            go = Ask(rqValueCheck, e.ErrorContext(ctxField));
        else
            go = Ask(rqOtherError, std::string());
        return go ? TRowOutcome::Skipped : TRowOutcome::Aborted;
    }
    return TRowOutcome::Copied;
}

bool TRestructureCopy::Run() {
    TDataTable& table = *S.GetTable();
    const uint32_t last = table.GetLastRecordNumber();
    std::vector<uint8_t> oldRecord(table.GetRecordSize(), 0);
    std::vector<uint8_t> newRecord(T.GetCursorRecordSize(), 0);
    const int32_t interval = S.GetProgressInterval();
    int32_t reported = -1;
    for (uint32_t recordNo = 1; recordNo <= last; ++recordNo) {
        TRecord* record = nullptr;
        int32_t attempts = 0;
        while (!S.GetRecord(recordNo, grBlockRead, record))
            if (++attempts >= 16) S.RaiseError(KURA_LOCKTIMEOUT);
        const bool deleted = record->IsDeleted();
        std::memcpy(oldRecord.data(), record->GetBuffer(), oldRecord.size());
        S.ReleaseRecord(record);
        if (!deleted && CopyRow(oldRecord, newRecord) == TRowOutcome::Aborted) return false;
        const int32_t percent = static_cast<int32_t>(std::trunc(static_cast<double>(recordNo) / last * 100.0));
        if (reported < 0 || percent - reported >= interval) {
            S.DoRestructureProgress(static_cast<uint16_t>(percent));
            reported = percent;
        }
    }
    if (reported != 100) S.DoRestructureProgress(100);
    return true;
}

bool SameCharSet(const std::bitset<256>& a, const std::bitset<256>& b) { return a == b; }

// The new table numbers its fields by position: index key fields, given by the old
// field numbers the definitions carry, are mapped to those positions.
void NumberByPosition(std::vector<TFieldDesc>& fields, TIndexDescSlots& indexes, uint8_t indexCount) {
    auto positionOf = [&](uint16_t fieldNo) -> uint16_t {
        for (std::size_t i = 0; i < fields.size(); ++i)
            if (fields[i].FieldNo() == fieldNo) return static_cast<uint16_t>(i + 1);
        return 0;
    };
    std::vector<uint8_t> slots;
    for (uint8_t s = 0; s <= indexCount; ++s) slots.push_back(s);
    slots.push_back(SYS_TEXT_SLOT);
    for (uint8_t s : slots)
        for (int k = 0; k < MAX_INDEX_FIELDS; ++k)
            if (indexes[s].GetField(k) != 0) indexes[s].SetField(k, positionOf(indexes[s].GetField(k)));
    for (std::size_t i = 0; i < fields.size(); ++i) fields[i].SetFieldNo(static_cast<uint16_t>(i + 1));
}

// A string value must fit its new field whole: the conversion alone would cut it.
bool ConvertValue(const TFieldDesc& from, const TFieldDesc& to, uint8_t* value) {
    if (to.FieldType() != fldZSTRING)
        return ConvertFieldData(from.FieldType(), from.StoredSize(), from.StoredDecimals(), to.FieldType(),
                                to.StoredSize(), to.StoredDecimals(), value);
    if (!ConvertFieldData(from.FieldType(), from.StoredSize(), from.StoredDecimals(), fldZSTRING,
                          static_cast<uint16_t>(FieldValueBufferSize), 0, value))
        return false;
    std::size_t length = strnlen(reinterpret_cast<const char*>(value), FieldValueBufferSize - 1);
    while (length > 0 && value[length - 1] == ' ') --length;
    return to.StoredSize() > 0 && length <= static_cast<std::size_t>(to.StoredSize() - 1);
}

}  // namespace

void TDataCursor::RestructureTable(const TRestructureParams& params) {
    if (FOpen) RaiseError(KURA_TABLEOPEN);
    CheckExclusive();
    CheckNotReadOnly();
    if (!FDirectory) RaiseError(KURA_NOTINITIALIZED);
    // A transaction keeps every table it opens until it ends, with writes held for
    // its commit: the old files could not be replaced, and the new ones would be
    // written or dropped by a commit or rollback that knows nothing of the swap.
    if (FDirectory->InTransaction()) RaiseError(KURA_TABLEOPEN);

    // A remote restructure is checked here too: definitions that cannot be right
    // raise what a local one raises, and nothing is sent.
    std::vector<TFieldDesc> fields = params.Fields;
    TIndexDescSlots indexes = params.Indexes;
    const bool noPrimary = !HasPrimaryFields(indexes[0]);
    ValidateTableDefs(params.LocaleId, params.SortId, params.Encrypted, params.Password, params.BlobBlockSize,
                      fields, indexes, params.IndexCount, noPrimary, false);
    if (IsRemote()) return RestructureRemoteTable(params);

    OpenCursor();
    bool open = true;
    auto closeSource = [&] {
        if (open) CloseCursor(false);
        open = false;
    };
    try {
        TDataTable& table = *FTable;
        // The full-text parameters the new table gets.
        TLanguageStringList stopWords;
        stopWords.LanguageId = params.LocaleId;
        stopWords.SortId = params.SortId;
        stopWords.SetSorted(true);
        stopWords.SetDuplicates(TDuplicates::dupIgnore);
        const TStringList& currentWords = GetStopWords();
        const TStringList& wantedWords = params.StopWords ? *params.StopWords : currentWords;
        for (int32_t i = 0; i < wantedWords.Count(); ++i) stopWords.Add(wantedWords[i]);
        // An empty set stands for the default one, as for a new table.
        TLanguageStringList defaultWords;
        std::bitset<256> defaultSpaces;
        std::bitset<256> defaultIncludes;
        GetDefaultTextIndexParams(defaultWords, defaultSpaces, defaultIncludes);
        std::bitset<256> spaces = params.SpaceChars ? *params.SpaceChars : GetSpaceChars();
        std::bitset<256> includes = params.IncludeChars ? *params.IncludeChars : GetIncludeChars();
        if (spaces.none()) spaces = defaultSpaces;
        if (includes.none()) includes = defaultIncludes;
        const bool sameTextParams = SameStringLists(params.LocaleId, params.SortId, &currentWords, &stopWords) &&
                                    SameCharSet(spaces, GetSpaceChars()) && SameCharSet(includes, GetIncludeChars());
        const uint32_t lastAutoInc =
            params.LastAutoInc == -1 ? table.GetLastAutoInc() : static_cast<uint32_t>(params.LastAutoInc);

        // Does the stored form change?
        const uint16_t oldCount = table.GetFieldCount();
        bool fieldsChanged = params.Encrypted != table.IsEncrypted() || params.LocaleId != table.GetLocaleId() ||
                             params.SortId != table.GetSortId() || oldCount != fields.size() ||
                             (table.HasBlobFields() && params.BlobBlockSize != table.GetBlobBlockSize());
        for (uint16_t i = 0; !fieldsChanged && i < oldCount; ++i) {
            TFieldDesc old;
            table.GetFieldDesc(i + 1, old);
            fieldsChanged = CompareFieldDefs(old, fields[i]);
        }
        bool indexesChanged = false;
        if (!fieldsChanged) {
            TIndexFile& file = table.GetIndexFile();
            TIndexDesc oldPrimary;
            file.GetIndexDesc(0, oldPrimary);
            indexesChanged = file.GetIndexCount() != params.IndexCount ||
                             table.GetNoPrimaryIndex() != noPrimary || !sameTextParams;
            std::vector<uint8_t> slots;
            for (uint8_t s = 0; s <= params.IndexCount; ++s) slots.push_back(s);
            slots.push_back(SYS_TEXT_SLOT);
            for (uint8_t s : slots) {
                if (indexesChanged) break;
                if (s == 0 && noPrimary) continue;
                TIndexDesc old;
                file.GetIndexDesc(s, old);
                indexesChanged = IndexNeedsRebuild(old, indexes[s], fields);
            }
        }

        if (!fieldsChanged && indexesChanged) {
            RebuildChangedIndexes(params, fields, indexes, stopWords, spaces, includes, !sameTextParams, lastAutoInc);
            closeSource();
            return;
        }
        if (!fieldsChanged && !indexesChanged) {
            // Names, descriptions and header values only.
            for (uint16_t i = 0; i < oldCount; ++i) table.GetDataFile().SetFieldDesc(i + 1, fields[i]);
            for (uint8_t s = 0; s <= params.IndexCount; ++s)
                if (!(s == 0 && noPrimary)) SetIndexNameAndFields(s, indexes[s]);
            SetDescriptionAndPassword(params.Password, params.Description, params.UserMajor, params.UserMinor,
                                      lastAutoInc);
            table.GetDataFile().SetFutureBlobBlockSize(params.BlobBlockSize);
            closeSource();
            return;
        }

        // The copy into a new table beside the old one.
        const std::string tempName = FDirectory->GetTempTableName(FInMemory);
        TDataSession* session = GetSession();
        const bool addPassword = params.Encrypted && session && !session->PasswordExists(params.Password);
        if (addPassword) session->AddPassword(params.Password);
        // Disk tables: other programs learn of the restructure, and a crash of this
        // one leaves a note that lets the next open drop the unfinished copy.
        std::unique_ptr<TRestructureNote> note;
        if (!FInMemory) note = std::make_unique<TRestructureNote>(FDirectory->Path, FTableName, tempName);
        TDataCursor target(FDirectory);
        bool created = false;
        bool completed = false;
        bool published = false;
        // The copy goes unless the swap made it the table; one that cannot be
        // dropped now is dropped by the next open, which the note tells of it.
        auto dropCopy = [&] {
            bool dropped = false;
            try {
                dropped = FDirectory->DeleteTable(tempName, FInMemory) == 0;
            } catch (...) {
            }
            if (!dropped && note) note->Keep();
        };
        try {
            target.SetTableName(tempName);
            target.SetExclusive(true);
            target.SetInMemory(FInMemory);
            target.SetRestructuring(true);
            std::vector<TFieldDesc> newFields = fields;
            TIndexDescSlots newIndexes = indexes;
            NumberByPosition(newFields, newIndexes, params.IndexCount);
            try {
                target.CreateTable(params.LocaleId, params.SortId, false, &stopWords, spaces, includes, newFields,
                                   newIndexes, params.IndexCount, params.BlobBlockSize, params.Description,
                                   params.Password, params.Encrypted, params.UserMajor, params.UserMinor, noPrimary);
            } catch (const EKuraEngineError& e) {
                // Files it made before failing are ours; a name taken meanwhile is not.
                created = e.ErrorCode() != KURA_TABLEEXISTS;
                throw;
            }
            created = true;
            target.OpenCursor();
            target.FSuppressAutoInc = true;
            target.SwitchToIndex(NATURAL_ORDER);
            TRestructureCopy copy(*this, target, fields);
            completed = copy.Run();
            if (completed && target.GetLastAutoIncValue() < lastAutoInc) target.SetLastAutoIncValue(lastAutoInc);
            target.FSuppressAutoInc = false;
            target.SetRestructuring(false);
            target.CloseCursor(false);
            closeSource();
            if (completed) {
                const std::string folder = FDirectory->Path;
                std::string blob;
                ReplaceFileExt(tempName, ".DAT", ".BLB", blob);
                const bool hasBlob = FileList->FileExists(folder + blob, FInMemory);
                SwapInRestructuredTable(folder, FTableName, tempName, hasBlob, !params.SuppressBackups, FInMemory,
                                        published);
            }
        } catch (...) {
            if (addPassword) session->RemovePassword(params.Password);
            try {
                target.CloseCursor(false);
            } catch (...) {
            }
            try {
                closeSource();
            } catch (...) {
            }
            if (created && !published) dropCopy();
            throw;
        }
        if (addPassword) session->RemovePassword(params.Password);
        // Continue = false: the old table stays as it was.
        if (!completed) dropCopy();
    } catch (...) {
        try {
            closeSource();
        } catch (...) {
            ReleaseOpenState();
        }
        throw;
    }
}

}  // namespace kura
