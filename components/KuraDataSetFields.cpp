// TKuraDataSet: reading and writing field values and whole BLOBs of the active
// record buffer.
#include <algorithm>
#include <cstring>

#include "components/KuraBlobStream.h"
#include "components/KuraDataSet.h"
#include "components/KuraMessages.h"
#include "components/KuraSession.h"
#include "platform/dataset/DatabaseError.h"

namespace kura {

// ---- field data --------------------------------------------------------------------------

bool TKuraDataSet::GetFieldDataNo(int fieldNo, void* buffer) {
    uint8_t* recBuf = ActiveRecBuf();
    if (!recBuf || !FHandle) return false;
    bool blank = true;
    // Reading a field converts bytes of the dataset's own buffer through the
    // cursor's field definitions; no shared engine state is touched, so it runs
    // without the session lock (it is the hottest call of browsing).
    FHandle->GetField(static_cast<uint16_t>(fieldNo), recBuf, buffer, blank);
    return !blank;
}

bool TKuraDataSet::GetFieldData(TField* field, void* buffer) {
    if (field->FieldNo >= 1) return GetFieldDataNo(field->FieldNo, buffer);
    if (field->FieldKind != fkCalculated && field->FieldKind != fkLookup) return false;
    uint8_t* recBuf = ActiveRecBuf();
    if (!recBuf) return false;
    switch (FState) {
        case dsBrowse:
        case dsEdit:
        case dsInsert:
        case dsCalcFields:
        case dsBlockRead: {
            const uint8_t* p = recBuf + FRecordSize + field->Offset;
            const bool has = p[0] != 0;
            if (has && buffer) std::memcpy(buffer, p + 1, static_cast<std::size_t>(field->DataSize()));
            return has;
        }
        default: return true;
    }
}

void TKuraDataSet::SetFieldData(TField* field, const void* buffer) {
    switch (FState) {
        case dsEdit:
        case dsInsert:
        case dsSetKey:
        case dsCalcFields:
        case dsFilter:
        case dsNewValue:
        case dsInternalCalc: break;
        default: DatabaseError(msg::NotEditing);
    }
    const bool calculated = field->FieldKind == fkCalculated || field->FieldKind == fkLookup;
    if (FState == dsSetKey) {
        bool isKey = false;
        for (int k = 0; k < FKeyFieldCount; ++k) isKey = isKey || FKeyFieldNos[static_cast<std::size_t>(k)] == field->FieldNo;
        if (calculated || (FKeyFieldCount > 0 && !isKey)) DatabaseErrorFmt(msg::NotIndexField, field->DisplayName());
    }
    uint8_t* recBuf = ActiveRecBuf();
    if (!recBuf) DatabaseError(msg::NotEditing);
    if (calculated) {
        uint8_t* p = recBuf + FRecordSize + field->Offset;
        p[0] = buffer ? 1 : 0;
        if (buffer) std::memcpy(p + 1, buffer, static_cast<std::size_t>(field->DataSize()));
        else std::memset(p + 1, 0, static_cast<std::size_t>(field->DataSize()));
    } else {
        if (FState == dsCalcFields) DatabaseError(msg::NotEditing);
        if (field->ReadOnly && FState != dsSetKey && FState != dsFilter)
            DatabaseErrorFmt(msg::FieldReadOnly, field->DisplayName());
        field->Validate(buffer);
        if (field->FieldKind != fkInternalCalc) {
            TSessionLock lock(DBSession());
            FHandle->PutField(static_cast<uint16_t>(field->FieldNo), recBuf, buffer);
        }
        if (FState == dsSetKey && FKeyBuffer) {
            // The header counts the key fields assigned, up to the last one set.
            int32_t count;
            std::memcpy(&count, FKeyBuffer + 1, 4);
            for (int k = 0; k < FKeyFieldCount; ++k)
                if (FKeyFieldNos[static_cast<std::size_t>(k)] == field->FieldNo) count = std::max(count, k + 1);
            std::memcpy(FKeyBuffer + 1, &count, 4);
        }
    }
    if (FState != dsCalcFields && FState != dsFilter && FState != dsNewValue)
        DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
}

void TKuraDataSet::SetStateFieldValue(TDataSetState state, TField* field, const TVariant& value) {
    if (state == dsOldValue) DatabaseErrorFmt(msg::FieldReadOnly, field->DisplayName());
    TDataSet::SetStateFieldValue(state, field, value);
}

// ---- BLOBs -------------------------------------------------------------------------------

TStream* TKuraDataSet::CreateBlobStream(TField* field, TBlobStreamMode mode) {
    auto* blob = dynamic_cast<TBlobField*>(field);
    if (!blob) DatabaseErrorFmt("Field '%s' is not a BLOB field", field->DisplayName());
    return new TKuraBlobStream(blob, mode);
}

void TKuraDataSet::CloseBlob(TField* field) {
    if (!FHandle || !ActiveRecBuf()) return;
    TSessionLock lock(DBSession());
    FHandle->FreeBlob(static_cast<uint16_t>(field->FieldNo), ActiveRecBuf(), false);
}

int32_t TKuraDataSet::GetBlobFieldData(int fieldNo, std::vector<uint8_t>& buffer) {
    TSessionLock lock(DBSession());
    for (int attempt = 0;; ++attempt) {
        uint8_t* recBuf = ActiveRecBuf();
        if (!recBuf || !FHandle) return 0;
        uint32_t size = 0;
        TEngineErrorCode code = 0;
        try {
            code = FHandle->OpenBlob(static_cast<uint16_t>(fieldNo), recBuf, 1, false, false, size);
        } catch (const EKuraEngineError& e) {
            if (e.ErrorCode() == KURA_KEYORRECDELETED && attempt == 0) {
                FHandle->Refresh();
                GetRecord(recBuf, gmCurrent, true);
                continue;
            }
            code = e.ErrorCode();
        }
        TField* field = FieldByNumber(fieldNo);
        const std::string name = field ? field->FieldName : std::string();
        if (code != 0) {
            if (FBlockReadSize == 0) FHandle->CheckBlobError(code, name);
            return 0;
        }
        if (size == 0) {
            FHandle->FreeBlob(static_cast<uint16_t>(fieldNo), recBuf, false);
            return 0;
        }
        if (buffer.size() < size) buffer.resize(size + size / 4);
        uint32_t read = 0;
        code = FHandle->GetBlob(static_cast<uint16_t>(fieldNo), recBuf, 0, buffer.data(), size, read, false);
        FHandle->FreeBlob(static_cast<uint16_t>(fieldNo), recBuf, false);
        if (code != 0 && code != KURA_ENDOFBLOB && FBlockReadSize == 0) FHandle->CheckBlobError(code, name);
        return static_cast<int32_t>(size);
    }
}

}  // namespace kura
