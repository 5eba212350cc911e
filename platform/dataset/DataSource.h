#pragma once
// Data sources and data links: how controls and other datasets follow a dataset.
// A TDataSource joins one dataset to any number of TDataLinks; the dataset's data
// events reach each link as the virtual calls below (a field changed, the record
// changed, the dataset changed or scrolled, the state changed, pending values are
// to be written, the dataset is about to leave edit mode). While the dataset's
// controls are disabled nothing reaches the links; enabling them again sends one
// dataset-change.
#include <functional>
#include <string>
#include <vector>

#include "platform/dataset/DataTypes.h"

namespace kura {

class TDataSet;
class TDataLink;
class TField;

class TDataSource {
public:
    TDataSource() = default;
    ~TDataSource();
    TDataSource(const TDataSource&) = delete;
    TDataSource& operator=(const TDataSource&) = delete;

    TDataSet* DataSet() const { return dataSet_; }
    void SetDataSet(TDataSet* dataSet);
    // The dataset is being destroyed: forget it without calling back into it.
    void DataSetDestroyed();
    TDataSetState State() const;
    bool Enabled = true;
    bool AutoEdit = true;
    // Puts the dataset in edit mode when AutoEdit allows it.
    void Edit();

    std::function<void(TDataSource*, TField*)> OnDataChange;
    std::function<void(TDataSource*)> OnStateChange;
    std::function<void(TDataSource*)> OnUpdateData;

    // Called by the dataset.
    void DataEvent(TDataEvent event, intptr_t info);
    void AddLink(TDataLink* link);
    void RemoveLink(TDataLink* link);
    const std::vector<TDataLink*>& Links() const { return links_; }

private:
    TDataSet* dataSet_ = nullptr;
    std::vector<TDataLink*> links_;
    TDataSetState lastState_ = dsInactive;
};

class TDataLink {
public:
    TDataLink() = default;
    virtual ~TDataLink();
    TDataLink(const TDataLink&) = delete;
    TDataLink& operator=(const TDataLink&) = delete;

    TDataSource* DataSource() const { return dataSource_; }
    void SetDataSource(TDataSource* source);
    TDataSet* DataSet() const;
    bool Active() const { return active_; }
    bool Editing() const { return editing_; }
    // Record buffers the link wants to see (grids ask for more than one).
    int BufferCount() const { return bufferCount_; }
    void SetBufferCount(int value);
    bool Edit();
    void UpdateRecord();

    // Called through the data source.
    void DataEvent(TDataEvent event, intptr_t info);

protected:
    virtual void ActiveChanged() {}
    virtual void EditingChanged() {}
    virtual void CheckBrowseMode() {}
    virtual void DataSetChanged() { RecordChanged(nullptr); }
    virtual void DataSetScrolled(int) { DataSetChanged(); }
    virtual void LayoutChanged() { DataSetChanged(); }
    virtual void RecordChanged(TField*) {}
    virtual void UpdateData() {}

private:
    void UpdateState();
    TDataSource* dataSource_ = nullptr;
    bool active_ = false;
    bool editing_ = false;
    bool updating_ = false;
    int bufferCount_ = 1;
};

// A link whose owner is a detail dataset: the fields of the master it follows,
// and callbacks when the master moves (OnMasterChange) or closes (OnMasterDisable).
class TDetailDataLink : public TDataLink {
public:
    virtual TDataSet* DetailDataSet() { return nullptr; }
};

class TMasterDataLink : public TDetailDataLink {
public:
    explicit TMasterDataLink(TDataSet* detail) : detail_(detail) {}
    TDataSet* DetailDataSet() override { return detail_; }
    const std::string& FieldNames() const { return fieldNames_; }
    void SetFieldNames(const std::string& names);
    const std::vector<TField*>& Fields() const { return fields_; }
    std::function<void()> OnMasterChange;
    std::function<void()> OnMasterDisable;

protected:
    void ActiveChanged() override;
    void CheckBrowseMode() override;
    void LayoutChanged() override { ActiveChanged(); }
    void RecordChanged(TField* field) override;

private:
    TDataSet* detail_;
    std::string fieldNames_;
    std::vector<TField*> fields_;
};

// A link that calls back on each event; handy for controls and tests.
class TFieldDataLink : public TDataLink {
public:
    std::string FieldName;
    TField* Field() const;
    std::function<void()> OnDataChange;
    std::function<void()> OnUpdateData;
    std::function<void()> OnActiveChange;
    std::function<void()> OnEditingChange;

protected:
    void ActiveChanged() override {
        if (OnActiveChange) OnActiveChange();
    }
    void EditingChanged() override {
        if (OnEditingChange) OnEditingChange();
    }
    void RecordChanged(TField* field) override;
    void UpdateData() override {
        if (OnUpdateData) OnUpdateData();
    }
};

}  // namespace kura
