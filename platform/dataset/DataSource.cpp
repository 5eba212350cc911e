#include "platform/dataset/DataSource.h"

#include <algorithm>

#include "platform/dataset/DataSet.h"

namespace kura {

// ---- TDataSource -------------------------------------------------------------------------

TDataSource::~TDataSource() {
    SetDataSet(nullptr);
    for (TDataLink* link : std::vector<TDataLink*>(links_)) link->SetDataSource(nullptr);
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
    if (dataSet == dataSet_) return;
    if (dataSet_) dataSet_->RemoveDataSource(this);
    dataSet_ = dataSet;
    if (dataSet_) dataSet_->AddDataSource(this);
    DataEvent(deUpdateState, 0);
}

void TDataSource::DataSetDestroyed() {
    dataSet_ = nullptr;
    DataEvent(deUpdateState, 0);
}

TDataSetState TDataSource::State() const { return dataSet_ && Enabled ? dataSet_->State() : dsInactive; }

void TDataSource::Edit() {
    if (AutoEdit && dataSet_ && State() == dsBrowse) dataSet_->Edit();
}

void TDataSource::AddLink(TDataLink* link) {
    links_.push_back(link);
    if (dataSet_ && !dataSet_->Destroying()) dataSet_->UpdateBufferCount();
}

void TDataSource::RemoveLink(TDataLink* link) {
    links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
    if (dataSet_ && !dataSet_->Destroying()) dataSet_->UpdateBufferCount();
}

void TDataSource::DataEvent(TDataEvent event, intptr_t info) {
    if (event == deUpdateState) {
        if (State() != lastState_) {
            lastState_ = State();
            if (OnStateChange) OnStateChange(this);
        }
    } else if (event == deDataSetChange || event == deDataSetScroll || event == deLayoutChange ||
               event == deFieldChange || event == deRecordChange) {
        if (OnDataChange) OnDataChange(this, event == deFieldChange ? reinterpret_cast<TField*>(info) : nullptr);
    } else if (event == deUpdateRecord) {
        if (OnUpdateData) OnUpdateData(this);
    }
    for (TDataLink* link : std::vector<TDataLink*>(links_)) link->DataEvent(event, info);
}

// ---- TDataLink ---------------------------------------------------------------------------

TDataLink::~TDataLink() {
    if (dataSource_) dataSource_->RemoveLink(this);
}

void TDataLink::SetDataSource(TDataSource* source) {
    if (source == dataSource_) return;
    if (dataSource_) dataSource_->RemoveLink(this);
    dataSource_ = source;
    if (dataSource_) dataSource_->AddLink(this);
    UpdateState();
}

TDataSet* TDataLink::DataSet() const { return dataSource_ ? dataSource_->DataSet() : nullptr; }

void TDataLink::SetBufferCount(int value) {
    bufferCount_ = std::max(1, value);
    if (DataSet()) DataSet()->UpdateBufferCount();
}

bool TDataLink::Edit() {
    if (dataSource_ && !editing_) dataSource_->Edit();
    return editing_;
}

void TDataLink::UpdateRecord() {
    updating_ = true;
    try {
        UpdateData();
    } catch (...) {
        updating_ = false;
        throw;
    }
    updating_ = false;
}

void TDataLink::UpdateState() {
    const bool active = dataSource_ && dataSource_->State() != dsInactive;
    if (active != active_) {
        active_ = active;
        ActiveChanged();
    }
    const TDataSetState state = dataSource_ ? dataSource_->State() : dsInactive;
    const bool editing = state == dsEdit || state == dsInsert;
    if (editing != editing_) {
        editing_ = editing;
        EditingChanged();
    }
}

void TDataLink::DataEvent(TDataEvent event, intptr_t info) {
    switch (event) {
        case deUpdateState: UpdateState(); break;
        case deFieldChange:
            if (active_ && !updating_) RecordChanged(reinterpret_cast<TField*>(info));
            break;
        case deRecordChange:
            if (active_) RecordChanged(nullptr);
            break;
        case deDataSetChange:
            if (active_) DataSetChanged();
            break;
        case deDataSetScroll:
            if (active_) DataSetScrolled(static_cast<int>(info));
            break;
        case deLayoutChange:
            if (active_) LayoutChanged();
            break;
        case deUpdateRecord: UpdateRecord(); break;
        case deCheckBrowseMode:
            if (active_) CheckBrowseMode();
            break;
        default: break;
    }
}

// ---- TMasterDataLink ---------------------------------------------------------------------

void TMasterDataLink::SetFieldNames(const std::string& names) {
    fieldNames_ = names;
    ActiveChanged();
}

void TMasterDataLink::ActiveChanged() {
    fields_.clear();
    if (Active() && DataSet()) {
        try {
            fields_ = DataSet()->GetFieldList(fieldNames_);
        } catch (...) {
            fields_.clear();
            throw;
        }
    }
    if (Active() && !fields_.empty()) {
        if (OnMasterChange) OnMasterChange();
    } else if (OnMasterDisable) {
        OnMasterDisable();
    }
}

void TMasterDataLink::CheckBrowseMode() {
    if (detail_ && detail_->Active()) detail_->CheckBrowseMode();
}

void TMasterDataLink::RecordChanged(TField* field) {
    if (!DataSet() || DataSet()->State() == dsSetKey || fields_.empty()) return;
    if (field && std::find(fields_.begin(), fields_.end(), field) == fields_.end()) return;
    if (OnMasterChange) OnMasterChange();
}

// ---- TFieldDataLink ----------------------------------------------------------------------

TField* TFieldDataLink::Field() const {
    TDataSet* ds = DataSet();
    return ds && Active() ? ds->FindField(FieldName) : nullptr;
}

void TFieldDataLink::RecordChanged(TField* field) {
    if (field && FieldName.size() && field != Field()) return;
    if (OnDataChange) OnDataChange();
}

}  // namespace kura
