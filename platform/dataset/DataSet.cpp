// Opening and closing, fields, events, data sources and controls of TDataSet.
// Navigation and buffers are in DataSetNavigation.cpp, editing in DataSetEditing.cpp.
#include "platform/dataset/DataSet.h"

#include <algorithm>

#include "platform/dataset/DataSource.h"
#include "platform/dataset/DatabaseError.h"

namespace kura {

TDataSet::TDataSet(TComponent* owner) : TComponent(owner), FFieldDefs(this) {}

TDataSet::~TDataSet() {
    // The descendant's parts are gone: the sources must not call back.
    const std::vector<TDataSource*> sources(FDataSources);
    FDataSources.clear();
    for (TDataSource* source : sources) source->DataSetDestroyed();
}

void TDataSet::CheckActive() const {
    if (!Active()) DatabaseError("Cannot perform this operation on a closed dataset");
}

void TDataSet::CheckInactive() const {
    if (Active()) DatabaseError("Cannot perform this operation on an open dataset");
}

void TDataSet::SetActive(bool value) {
    if (value == Active()) return;
    if (value) {
        if (BeforeOpen) BeforeOpen(this);
        try {
            OpenCursor();
            SetState(dsBrowse);
        } catch (...) {
            FState = dsInactive;
            try {
                CloseCursor();
            } catch (...) {
                // The failure of the open is the one to report.
            }
            throw;
        }
        if (AfterOpen) AfterOpen(this);
        DataEvent(deDataSetChange, 0);
    } else {
        DoBeforeClose();
        SetState(dsInactive);
        CloseCursor();
        if (AfterClose) AfterClose(this);
    }
}

void TDataSet::DoBeforeClose() {
    if (BeforeClose) BeforeClose(this);
}

void TDataSet::OpenCursor() {
    FState = dsOpening;
    try {
        DoInternalOpen();
    } catch (...) {
        FState = dsInactive;
        throw;
    }
    FState = dsInactive;
}

void TDataSet::DoInternalOpen() {
    FDefaultFields = FFields.empty();
    InternalOpen();
    UpdateBufferCount();
    if (FBufferCount == 0) SetBufferCount(1);
    ClearBuffers();
    FBOF = true;
    GetNextRecord();
    GetNextRecords();
    FBOF = true;
    FEOF = FRecordCount == 0;
}

void TDataSet::CloseCursor() {
    if (IsCursorOpen()) InternalClose();
    FBlockReadSize = 0;
    SetBufferCount(0);
    FRecordCount = 0;
    FActiveRecord = 0;
    FCurrentRecord = -1;
    FBOF = FEOF = true;
}

// Descendants that can read their definitions while closed override this.
void TDataSet::InitFieldDefs() { InternalInitFieldDefs(); }

TStream* TDataSet::CreateBlobStream(TField*, TBlobStreamMode) { return nullptr; }

TVariant TDataSet::GetStateFieldValue(TDataSetState state, TField* field) {
    const TDataSetState saved = SetTempState(state);
    TVariant value;
    try {
        value = field->Value();
    } catch (...) {
        RestoreState(saved);
        throw;
    }
    RestoreState(saved);
    return value;
}

void TDataSet::SetStateFieldValue(TDataSetState state, TField* field, const TVariant& value) {
    const TDataSetState saved = SetTempState(state);
    try {
        field->SetValue(value);
    } catch (...) {
        RestoreState(saved);
        throw;
    }
    RestoreState(saved);
}

// ---- fields ------------------------------------------------------------------------------

TField* TDataSet::FindField(std::string_view name) const {
    for (const auto& f : FFields)
        if (SameText(f->FieldName, name)) return f.get();
    return nullptr;
}

TField* TDataSet::FieldByName(std::string_view name) const {
    TField* f = FindField(name);
    if (!f) DatabaseErrorFmt(FieldNotFoundText, name);
    return f;
}

TField* TDataSet::FieldByNumber(int fieldNo) const {
    for (const auto& f : FFields)
        if (f->FieldNo == fieldNo && f->FieldKind == fkData) return f.get();
    return nullptr;
}

std::vector<TField*> TDataSet::GetFieldList(std::string_view names) const {
    std::vector<TField*> list;
    for (const auto& name : SplitFieldNames(names)) list.push_back(FieldByName(name));
    return list;
}

TField* TDataSet::AddField(std::unique_ptr<TField> field) {
    CheckInactive();
    if (!field) DatabaseError("Invalid field");
    if (FindField(field->FieldName)) DatabaseErrorFmt("Duplicate field name '%s'", field->FieldName);
    field->SetDataSet(this);
    FFields.push_back(std::move(field));
    return FFields.back().get();
}

void TDataSet::AddFieldsFromDefs() {
    CheckInactive();
    FFieldDefs.Update();
    for (int i = 0; i < FFieldDefs.Count(); ++i) {
        const TFieldDef& def = FFieldDefs[i];
        if (FindField(def.Name)) continue;
        auto field = CreateField(def.DataType, def.Size);
        if (!field) continue;
        field->FieldName = def.Name;
        field->Required = def.Required;
        AddField(std::move(field));
    }
}

TVariant TDataSet::FieldValues(std::string_view names) const {
    const auto list = GetFieldList(names);
    if (list.size() == 1) return list[0]->Value();
    std::vector<TVariant> values;
    for (TField* f : list) values.push_back(f->Value());
    return TVariant(std::move(values));
}

void TDataSet::CreateFields() {
    for (int i = 0; i < FFieldDefs.Count(); ++i) {
        const TFieldDef& def = FFieldDefs[i];
        auto field = CreateField(def.DataType, def.Size);
        if (!field) continue;
        field->FieldName = def.Name;
        field->FieldNo = def.FieldNo;
        field->Required = def.Required;
        field->SetDataSet(this);
        FFields.push_back(std::move(field));
    }
}

void TDataSet::DestroyDefaultFields() {
    if (FDefaultFields) FFields.clear();
    FDefaultFields = false;
}

void TDataSet::BindFields(bool binding) {
    FCalcFieldsSize = 0;
    for (auto& f : FFields) {
        if (f->FieldKind == fkCalculated || f->FieldKind == fkLookup) {
            f->Offset = FCalcFieldsSize;
            FCalcFieldsSize += f->DataSize() + 1;
            f->FieldNo = -1;
            continue;
        }
        if (!binding) continue;
        const TFieldDef* def = nullptr;
        const int at = FFieldDefs.IndexOf(f->FieldName);
        if (at >= 0) def = &FFieldDefs[at];
        if (!def) DatabaseErrorFmt(FieldNotFoundText, f->FieldName);
        f->FieldNo = def->FieldNo;
    }
}

// ---- events, sources and controls ----------------------------------------------------------

void TDataSet::AddDataSource(TDataSource* source) {
    FDataSources.push_back(source);
    UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* source) {
    FDataSources.erase(std::remove(FDataSources.begin(), FDataSources.end(), source), FDataSources.end());
    UpdateBufferCount();
}

void TDataSet::UpdateBufferCount() {
    if (!IsCursorOpen()) return;
    int wanted = 1;
    for (TDataSource* source : FDataSources)
        for (TDataLink* link : source->Links()) wanted = std::max(wanted, link->BufferCount());
    if (wanted == FBufferCount) return;
    const bool browsing = FRecordCount > 0 && FState == dsBrowse;
    if (browsing) UpdateCursorPos();
    SetBufferCount(wanted);
    if (browsing) Resync(0);
}

bool TDataSet::IsLinkedTo(TDataSource* dataSource) const {
    int guard = 0;
    while (dataSource && dataSource->DataSet() && guard++ < 1000) {
        if (dataSource->DataSet() == this) return true;
        dataSource = dataSource->DataSet()->GetDataSource();
    }
    return false;
}

void TDataSet::DataEvent(TDataEvent event, intptr_t info) {
    bool notify = true;
    switch (event) {
        case deFieldChange: {
            auto* field = reinterpret_cast<TField*>(info);
            if (field && (field->FieldKind == fkData || field->FieldKind == fkInternalCalc)) FModified = true;
            UpdateCalcFields();
            if (field) field->Change();
            break;
        }
        case deDataSetChange:
        case deDataSetScroll:
        case deLayoutChange:
        case deRecordChange:
            if (FDisableCount > 0) FEnableEvent = true;
            break;
        default: break;
    }
    if (FDisableCount > 0 && event != deUpdateRecord && event != deCheckBrowseMode) notify = false;
    if (!notify) return;
    for (TDataSource* source : std::vector<TDataSource*>(FDataSources)) source->DataEvent(event, info);
}

void TDataSet::DisableControls() {
    if (FDisableCount == 0) {
        FDisableState = FState;
        FEnableEvent = false;
    }
    ++FDisableCount;
}

void TDataSet::EnableControls() {
    if (FDisableCount == 0) return;
    if (--FDisableCount > 0) return;
    if (FDisableState != FState) DataEvent(deUpdateState, 0);
    if (FEnableEvent || (FDisableState != dsInactive && FState != dsInactive)) DataEvent(deDataSetChange, 0);
    FEnableEvent = false;
}

void TDataSet::SetState(TDataSetState value) {
    if (FState == value) return;
    FState = value;
    FModified = false;
    DataEvent(deUpdateState, 0);
}

TDataSetState TDataSet::SetTempState(TDataSetState value) {
    const TDataSetState old = FState;
    FState = value;
    return old;
}

void TDataSet::RestoreState(TDataSetState value) { FState = value; }

void TDataSet::DoBeforeScroll() {
    if (BeforeScroll) BeforeScroll(this);
}

void TDataSet::DoAfterScroll() {
    if (AfterScroll) AfterScroll(this);
}

void TDataSet::CheckOperation(const std::function<void()>& operation, const TDataSetErrorEvent& errorEvent) {
    for (;;) {
        try {
            operation();
            return;
        } catch (const EDatabaseError& e) {
            TDataAction action = daFail;
            if (errorEvent) errorEvent(this, e, action);
            if (action == daFail) throw;
            if (action == daAbort) Abort();
        }
    }
}

// ---- calculated fields ---------------------------------------------------------------------

void TDataSet::GetCalcFields(uint8_t* buffer) {
    if (FCalcFieldsSize == 0 || !buffer) return;
    const TDataSetState saved = SetTempState(dsCalcFields);
    try {
        CalculateFields(buffer);
    } catch (...) {
        RestoreState(saved);
        throw;
    }
    RestoreState(saved);
}

void TDataSet::CalculateFields(uint8_t* buffer) {
    FCalcBuffer = buffer;
    ClearCalcFields(buffer);
    for (auto& f : FFields) {
        if (f->FieldKind != fkLookup || !f->LookupDataSet) continue;
        const auto keys = GetFieldList(f->KeyFields);
        TVariant keyValue;
        if (keys.size() == 1) keyValue = keys[0]->Value();
        else {
            std::vector<TVariant> values;
            for (TField* k : keys) values.push_back(k->Value());
            keyValue = TVariant(std::move(values));
        }
        if (keyValue.IsNullOrEmpty()) continue;
        f->SetValue(f->LookupDataSet->Lookup(f->LookupKeyFields, keyValue, f->LookupResultField));
    }
    if (OnCalcFields) OnCalcFields(this);
}

void TDataSet::UpdateCalcFields() {
    if (FState == dsSetKey || FState == dsCalcFields || FState == dsFilter) return;
    if (FCalcFieldsSize > 0 && AutoCalcFields && (FState == dsEdit || FState == dsInsert)) GetCalcFields(ActiveBuffer());
}

}  // namespace kura
