// TKuraDataSet: filters, FindRecord, Locate, Lookup and block reads.
#include <cstring>
#include <memory>

#include "components/KuraDataSet.h"
#include "components/KuraSession.h"
#include "engine/files/NameRoutines.h"
#include "platform/dataset/DatabaseError.h"

namespace kura {

namespace {

const TVariant& KeyValueAt(const TVariant& values, std::size_t count, std::size_t i) {
    if (count == 1) return values.IsArray() ? values[0] : values;
    return values[static_cast<int>(i)];
}

}  // namespace

// ---- filters -----------------------------------------------------------------------------

void TKuraDataSet::CreateExpressionFilter() {
    TSessionLock lock(DBSession());
    TCursorFilterOptions options;
    options.CaseInsensitive = (FFilterOptions & foCaseInsensitive) != 0;
    options.NoPartialCompare = (FFilterOptions & foNoPartialCompare) != 0;
    TFilter* filter = FHandle->AddFilter(FFilterText, options);
    try {
        FHandle->ActivateFilter(filter);
    } catch (...) {
        FHandle->DropFilter(filter);
        throw;
    }
    DropExpressionFilter();
    FExprFilter = reinterpret_cast<uintptr_t>(filter);
}

void TKuraDataSet::DropExpressionFilter() {
    if (FExprFilter == 0) return;
    const auto* filter = reinterpret_cast<const TFilter*>(FExprFilter);
    FExprFilter = 0;
    TSessionLock lock(DBSession());
    FHandle->DropFilter(filter);
}

bool TKuraDataSet::FilterAccepts(uint8_t* recordBuffer) {
    if (!FOnFilterRecord) return true;
    const TDataSetState saved = SetTempState(dsFilter);
    uint8_t* savedBuffer = FFilterBuffer;
    FFilterBuffer = recordBuffer;
    bool accept = true;
    try {
        FOnFilterRecord(this, accept);
    } catch (...) {
        FFilterBuffer = savedBuffer;
        RestoreState(saved);
        throw;
    }
    FFilterBuffer = savedBuffer;
    RestoreState(saved);
    return accept;
}

void TKuraDataSet::SetFiltered(bool value) {
    if (!Active()) {
        FFiltered = value;
        return;
    }
    CheckBrowseMode();
    if (value != FFiltered) {
        DestroyLookupCursor();
        if (value && !FFilterText.empty())
            CreateExpressionFilter();
        else if (!value)
            DropExpressionFilter();
        FFiltered = value;
    }
    First();
}

void TKuraDataSet::SetFilterText(const std::string& value) {
    if (!Active()) {
        FFilterText = value;
        return;
    }
    CheckBrowseMode();
    if (value != FFilterText && FFiltered) {
        const std::string previous = FFilterText;
        FFilterText = value;
        try {
            if (value.empty())
                DropExpressionFilter();
            else
                CreateExpressionFilter();
        } catch (...) {
            FFilterText = previous;
            throw;
        }
    }
    FFilterText = value;
    if (FFiltered) First();
}

void TKuraDataSet::SetFilterOptions(TFilterOptions value) {
    if (Active()) CheckBrowseMode();
    const TFilterOptions previous = FFilterOptions;
    FFilterOptions = value;
    if (Active() && FFiltered && !FFilterText.empty() && value != previous) {
        try {
            CreateExpressionFilter();
        } catch (...) {
            FFilterOptions = previous;
            throw;
        }
    }
    if (Active() && FFiltered) First();
}

void TKuraDataSet::SetOnFilterRecord(TFilterRecordEvent event) {
    if (!Active()) {
        FOnFilterRecord = std::move(event);
        return;
    }
    CheckBrowseMode();
    FOnFilterRecord = std::move(event);
    FFuncFilter = FOnFilterRecord ? 1 : 0;
    if (FFiltered) First();
}

bool TKuraDataSet::FindRecord(bool restart, bool goForward) {
    CheckBrowseMode();
    DoBeforeScroll();
    bool found = false;
    UpdateCursorPos();
    CursorPosChanged();
    const bool temporary = !FFiltered;
    if (temporary) {
        if (!FFilterText.empty()) CreateExpressionFilter();
        FFiltered = true;
    }
    try {
        if (restart) {
            TSessionLock lock(DBSession());
            if (goForward) FHandle->SetToBegin();
            else FHandle->SetToEnd();
        }
        found = GetRecord(TempBuffer(), goForward ? gmNext : gmPrior, true) == grOK;
    } catch (...) {
        if (temporary) {
            FFiltered = false;
            DropExpressionFilter();
        }
        throw;
    }
    if (temporary) {
        FFiltered = false;
        DropExpressionFilter();
    }
    if (found) {
        Resync(rmExact | rmCenter);
        DoAfterScroll();
    }
    return found;
}

// ---- locate and lookup -------------------------------------------------------------------

bool TKuraDataSet::LocateRecord(const std::string& keyFields, const TVariant& keyValues, TLocateOptions options,
                                bool sync) {
    CheckBrowseMode();
    CursorPosChanged();
    uint8_t* work = TempBuffer();
    const std::vector<TField*> fields = GetFieldList(keyFields);
    if (fields.empty()) return false;
    const bool caseIns = (options & loCaseInsensitive) != 0;
    TSessionLock lock(DBSession());

    bool indexServes = FKeyFieldCount > 0 && static_cast<int>(fields.size()) <= FKeyFieldCount;
    for (std::size_t i = 0; indexServes && i < fields.size(); ++i) {
        indexServes = fields[i]->FieldNo == FKeyFieldNos[i];
        if (IsStringType(fields[i]->DataType()) && FCaseInsIndex != caseIns) indexServes = false;
    }
    TDataCursor* cursor = indexServes ? FHandle : GetLookupCursor(keyFields, caseIns);
    bool found = false;
    if (cursor) {
        const TDataSetState saved = SetTempState(dsFilter);
        uint8_t* savedBuffer = FFilterBuffer;
        FFilterBuffer = work;
        int keyCount = static_cast<int>(fields.size());
        uint8_t partial = 0;
        try {
            FHandle->ClearRecordBuffer(work);
            for (std::size_t i = 0; i < fields.size(); ++i) fields[i]->SetValue(KeyValueAt(keyValues, fields.size(), i));
            TField* last = fields.back();
            if ((options & loPartialKey) && last->DataType() == ftString) {
                --keyCount;
                const std::string text = KeyValueAt(keyValues, fields.size(), fields.size() - 1).AsString();
                partial = static_cast<uint8_t>(std::min<std::size_t>(text.size(), 255));
            }
            found = cursor->FindKey(0, work, keyCount, 0, partial) != 0;
        } catch (...) {
            FFilterBuffer = savedBuffer;
            RestoreState(saved);
            throw;
        }
        FFilterBuffer = savedBuffer;
        RestoreState(saved);
        if (found) {
            cursor->GetCurrentRecord(work, false);
            if (EventFilterActive() && !FilterAccepts(work)) found = false;
        }
        if (found && sync && cursor != FHandle) {
            const TEngineErrorCode code = FHandle->SetToCursor(*cursor);
            if (code != 0) FHandle->CheckError(code, "");
        }
        return found;
    }

    // No index fits: scan a clone of the cursor record by record, comparing the
    // values the way the engine's filter comparison does (a Null value matches a
    // blank field; strings compare case-insensitively and partially on request).
    std::unique_ptr<TDataCursor> scan(FHandle->CloneCursor());
    scan->SetToBegin();
    const TDataSetState saved = SetTempState(dsFilter);
    uint8_t* savedBuffer = FFilterBuffer;
    FFilterBuffer = work;
    try {
        while (!found && scan->GetNextRecord(work) == 0) {
            bool match = true;
            for (std::size_t i = 0; match && i < fields.size(); ++i) {
                const TVariant& want = KeyValueAt(keyValues, fields.size(), i);
                TField* f = fields[i];
                if (want.IsNullOrEmpty()) {
                    match = f->IsNull();
                } else if (f->IsNull()) {
                    match = false;
                } else if (IsStringType(f->DataType()) || f->DataType() == ftMemo) {
                    std::string have = f->AsString();
                    std::string key = want.AsString();
                    if (options & loPartialKey) {
                        if (!key.empty() && key.back() == '*') key.pop_back();
                        have = have.substr(0, key.size());
                    }
                    if (caseIns) {
                        have = UpperCaseName(have);
                        key = UpperCaseName(key);
                    }
                    match = have == key;
                } else {
                    match = f->Value() == want;
                }
            }
            if (match && EventFilterActive()) {
                FFilterBuffer = savedBuffer;
                RestoreState(saved);
                match = FilterAccepts(work);
                SetTempState(dsFilter);
                FFilterBuffer = work;
            }
            found = match;
        }
    } catch (...) {
        FFilterBuffer = savedBuffer;
        RestoreState(saved);
        scan->CloseCursor(false);
        throw;
    }
    FFilterBuffer = savedBuffer;
    RestoreState(saved);
    if (found && sync) {
        const TEngineErrorCode code = FHandle->SetToCursor(*scan);
        if (code != 0) FHandle->CheckError(code, "");
    }
    scan->CloseCursor(false);
    return found;
}

bool TKuraDataSet::Locate(const std::string& keyFields, const TVariant& keyValues, TLocateOptions options) {
    DoBeforeScroll();
    const bool found = LocateRecord(keyFields, keyValues, options, true);
    if (found) {
        Resync(rmExact | rmCenter);
        DoAfterScroll();
    }
    return found;
}

TVariant TKuraDataSet::Lookup(const std::string& keyFields, const TVariant& keyValues, const std::string& resultFields) {
    TVariant result = TVariant::Null();
    if (!LocateRecord(keyFields, keyValues, 0, false)) return result;
    const TDataSetState saved = SetTempState(dsCalcFields);
    try {
        CalculateFields(TempBuffer());
        result = FieldValues(resultFields);
    } catch (...) {
        RestoreState(saved);
        throw;
    }
    RestoreState(saved);
    return result;
}

// ---- block reads -------------------------------------------------------------------------

void TKuraDataSet::SetBlockReadSize(int value) {
    if (value == FBlockReadSize) return;
    if (value < 1) {
        FBlockBuffer.clear();
        FBlockRecBuf.clear();
        FBlockCount = FBlockIndex = FBlockCapacity = 0;
        TDataSet::SetBlockReadSize(0);
        return;
    }
    CheckActive();
    if (Eof() || BufferCount() > 1) return;
    FBlockBuffer.clear();
    UpdateCursorPos();
    {
        TSessionLock lock(DBSession());
        FHandle->GetPriorRecord(nullptr);
    }
    const int64_t bytes = value == INT32_MAX ? 65536 : static_cast<int64_t>(FRecordSize) * value;
    FBlockCapacity = static_cast<int32_t>(std::max<int64_t>(1, bytes / std::max(1, FRecordSize)));
    FBlockBuffer.assign(static_cast<std::size_t>(FBlockCapacity) * static_cast<std::size_t>(FRecordSize), 0);
    FBlockRecBuf.assign(static_cast<std::size_t>(FRecBufSize), 0);
    FBlockCount = 0;
    FBlockIndex = 0;
    FBlockCounter = 0;
    TDataSet::SetBlockReadSize(value);
    BlockReadNext();
}

void TKuraDataSet::BlockReadNext() {
    for (;;) {
        if (FBlockIndex < FBlockCount - 1) {
            ++FBlockIndex;
        } else if (FBlockCount == 0 || FBlockCount == FBlockCapacity) {
            int32_t count = FBlockCapacity;
            TEngineErrorCode code;
            {
                TSessionLock lock(DBSession());
                code = FHandle->ReadRecordBlock(count, FBlockBuffer.data());
            }
            if (code != 0 && code != KURA_EOF) FHandle->CheckError(code, "");
            if (count == 0) {
                FBlockCount = 0;
                Last();
                return;
            }
            FBlockCount = count;
            FBlockCounter += count;
            FBlockIndex = 0;
        } else {
            Last();
            return;
        }
        std::memcpy(FBlockRecBuf.data(), FBlockBuffer.data() + static_cast<std::size_t>(FBlockIndex) * FRecordSize,
                    static_cast<std::size_t>(FRecordSize));
        if (EventFilterActive() && !FilterAccepts(FBlockRecBuf.data())) continue;
        break;
    }
    if (CalcFieldsSize() > 0) GetCalcFields(FBlockRecBuf.data());
    DataEvent(deDataSetScroll, -1);
}

}  // namespace kura
