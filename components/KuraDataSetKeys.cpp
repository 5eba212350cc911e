// TKuraDataSet: key information of the current index, key buffers, key ranges and
// switching indexes.
#include <cstring>

#include "components/KuraDataSet.h"
#include "components/KuraMessages.h"
#include "components/KuraSession.h"
#include "platform/dataset/DatabaseError.h"

namespace kura {

namespace {

int32_t KeyCount(const uint8_t* keyBuffer) {
    int32_t v;
    std::memcpy(&v, keyBuffer + 1, 4);
    return v;
}

void SetKeyCount(uint8_t* keyBuffer, int32_t v) { std::memcpy(keyBuffer + 1, &v, 4); }

}  // namespace

void TKuraDataSet::GetIndexInfo() {
    FKeyFieldCount = 0;
    FKeyFieldNos.fill(0);
    FCaseInsIndex = false;
    FKeySize = 0;
    if (!FHandle || FHandle->IsNaturalOrder()) return;
    TIndexDesc desc;
    FHandle->GetIndexDesc(FHandle->GetCurrentIndexNo(), desc);
    FKeyFieldCount = std::min<int32_t>(desc.GetFieldCount(), 16);
    for (int i = 0; i < FKeyFieldCount; ++i) FKeyFieldNos[static_cast<std::size_t>(i)] = desc.GetField(i);
    FCaseInsIndex = desc.GetByte(ido::CaseInsensitive) != 0;
    FKeySize = FHandle->GetKeySize();
}

TField* TKuraDataSet::GetIndexField(int n) {
    if (n < 0 || n >= FKeyFieldCount) DatabaseError(msg::FieldIndexError);
    const int fieldNo = FKeyFieldNos[static_cast<std::size_t>(n)];
    TField* f = FieldByNumber(fieldNo);
    if (!f) {
        std::string name;
        for (int i = 0; i < FieldDefs().Count(); ++i)
            if (FieldDefs()[i].FieldNo == fieldNo) name = FieldDefs()[i].Name;
        DatabaseErrorFmt(msg::IndexFieldMissing, name);
    }
    return f;
}

void TKuraDataSet::SetKeyBuffer(TKeyIndex which, bool clear) {
    CheckBrowseMode();
    FKeyBuffer = KeyBuffer(which);
    std::memcpy(KeyBuffer(kiSave), FKeyBuffer, FKeyBuffers[kiSave].size());
    if (clear) {
        std::memset(FKeyBuffer, 0, 8);
        TSessionLock lock(DBSession());
        FHandle->ClearRecordBuffer(FKeyBuffer + 8);
    }
    SetState(dsSetKey);
    SetModified(FKeyBuffer[0] != 0);
    DataEvent(deDataSetChange, 0);
}

void TKuraDataSet::PostKeyBuffer(bool commit) {
    DataEvent(deCheckBrowseMode, 0);
    if (commit) FKeyBuffer[0] = Modified() ? 1 : 0;
    else std::memcpy(FKeyBuffer, KeyBuffer(kiSave), FKeyBuffers[kiSave].size());
    SetState(dsBrowse);
    DataEvent(deDataSetChange, 0);
}

void TKuraDataSet::SetLinkRanges(const std::vector<TField*>& masterFields) {
    const TDataSetState saved = SetTempState(dsSetKey);
    try {
        FKeyBuffer = KeyBuffer(kiRangeStart);
        std::memset(FKeyBuffer, 0, 8);
        FHandle->ClearRecordBuffer(FKeyBuffer + 8);
        FKeyBuffer[0] = 1;
        for (std::size_t i = 0; i < masterFields.size(); ++i)
            GetIndexField(static_cast<int>(i))->SetValue(masterFields[i]->Value());
        SetKeyCount(FKeyBuffer, static_cast<int32_t>(masterFields.size()));
    } catch (...) {
        RestoreState(saved);
        throw;
    }
    RestoreState(saved);
    SetModified(false);
    std::memcpy(KeyBuffer(kiRangeEnd), KeyBuffer(kiRangeStart), FKeyBuffers[kiRangeStart].size());
}

bool TKuraDataSet::SetCursorRange() {
    const std::size_t size = FKeyBuffers[kiRangeStart].size();
    if (std::memcmp(KeyBuffer(kiRangeStart), KeyBuffer(kiCurRangeStart), size) == 0 &&
        std::memcmp(KeyBuffer(kiRangeEnd), KeyBuffer(kiCurRangeEnd), size) == 0)
        return false;
    std::vector<uint8_t> keys(static_cast<std::size_t>(FKeySize) * 2 + 2, 0);
    const uint8_t* start = nullptr;
    const uint8_t* end = nullptr;
    TSessionLock lock(DBSession());
    if (KeyBuffer(kiRangeStart)[0]) {
        FHandle->BuildIndexKey(KeyRecord(kiRangeStart), keys.data());
        start = keys.data();
    }
    if (KeyBuffer(kiRangeEnd)[0]) {
        FHandle->BuildIndexKey(KeyRecord(kiRangeEnd), keys.data() + FKeySize);
        end = keys.data() + FKeySize;
    }
    FHandle->SetRange(1, start, KeyCount(KeyBuffer(kiRangeStart)), end, KeyCount(KeyBuffer(kiRangeEnd)));
    std::memcpy(KeyBuffer(kiCurRangeStart), KeyBuffer(kiRangeStart), size);
    std::memcpy(KeyBuffer(kiCurRangeEnd), KeyBuffer(kiRangeEnd), size);
    DestroyLookupCursor();
    return true;
}

bool TKuraDataSet::ResetCursorRange() {
    if (!KeyBuffer(kiCurRangeStart)[0] && !KeyBuffer(kiCurRangeEnd)[0]) return false;
    TSessionLock lock(DBSession());
    FHandle->ResetRange();
    for (TKeyIndex k : {kiCurRangeStart, kiCurRangeEnd}) {
        std::memset(KeyBuffer(k), 0, 8);
        FHandle->ClearRecordBuffer(KeyRecord(k));
    }
    DestroyLookupCursor();
    return true;
}

void TKuraDataSet::SwitchToIndex(const std::string& indexName) {
    ResetCursorRange();
    UpdateCursorPos();
    {
        TSessionLock lock(DBSession());
        FHandle->SetIndexName(indexName);
    }
    // The bookmark size follows the index, so the buffers are made anew.
    SetBufferCount(0);
    GetIndexInfo();
    ComputeLayout();
    SetBufferCount(1);
    UpdateBufferCount();
    Resync(0);
}

}  // namespace kura
