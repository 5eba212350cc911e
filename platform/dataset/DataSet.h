#pragma once
// The dataset: a window of record buffers over a source of records, with the
// states and operations that forms and code use (navigate, edit, insert, post,
// cancel, delete, bookmarks, filters, locate, calculated fields, data links). A
// source-specific descendant supplies the virtual Internal... operations, the record
// buffers and the field data; everything else is here.
//
// Record buffers. FBuffers holds BufferCount window buffers plus one spare; the
// first RecordCount of them hold consecutive records of the source, FActiveRecord is
// the one the fields show, FCurrentRecord the one the source's cursor stands on (-1:
// unknown). Fetching the next record reads into the spare slot at RecordCount and,
// with a full window, rotates the first buffer out (MoveBuffer); fetching the prior
// record reads into the spare slot and moves it to the front. The spare is also the
// temporary buffer of Locate and Lookup.
//
// States: dsInactive -> Open -> dsBrowse; Edit -> dsEdit, Insert/Append -> dsInsert,
// Post or Cancel -> dsBrowse; SetKey -> dsSetKey. Temporary states (dsCalcFields,
// dsFilter, dsOldValue, dsBlockRead...) are entered and left inside one call.
// Leaving edit mode by navigation posts a modified record (CheckBrowseMode).
// An exception from a Before... event stops the operation and keeps the state.
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dataset/Component.h"
#include "platform/dataset/DataTypes.h"
#include "platform/dataset/Field.h"
#include "platform/dataset/FieldDefs.h"
#include "platform/dataset/Stream.h"
#include "platform/dataset/Variant.h"

namespace kura {

class TDataSource;
class TDataSet;

enum TDataAction : uint8_t { daFail, daAbort, daRetry };
using TDataSetNotifyEvent = std::function<void(TDataSet* dataSet)>;
using TDataSetErrorEvent = std::function<void(TDataSet* dataSet, const std::exception& error, TDataAction& action)>;
using TFilterRecordEvent = std::function<void(TDataSet* dataSet, bool& accept)>;

class TDataSet : public TComponent {
public:
    explicit TDataSet(TComponent* owner = nullptr);
    // Descendants close the dataset in their own destructor, while their overrides exist.
    ~TDataSet() override;
    TDataSet(const TDataSet&) = delete;
    TDataSet& operator=(const TDataSet&) = delete;

    // ---- State -------------------------------------------------------------------------
    TDataSetState State() const { return FState; }
    bool Active() const { return FState != dsInactive && FState != dsOpening; }
    void SetActive(bool value);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    bool Bof() const { return FBOF; }
    bool Eof() const { return FEOF; }
    bool IsEmpty() const { return FRecordCount == 0 && (FState == dsBrowse || FState == dsInactive); }
    bool Modified() const { return FModified; }
    void SetModified(bool value) { FModified = value; }
    bool CanModify() { return GetCanModify(); }
    void CheckActive() const;
    void CheckInactive() const;
    void CheckBrowseMode();

    // ---- Fields ------------------------------------------------------------------------
    TFieldDefs& FieldDefs() { return FFieldDefs; }
    int FieldCount() const { return static_cast<int>(FFields.size()); }
    TField* Fields(int i) const { return FFields.at(static_cast<std::size_t>(i)).get(); }
    TField* FindField(std::string_view name) const;
    // Raises the field-not-found error for an unknown name.
    TField* FieldByName(std::string_view name) const;
    TField* FieldByNumber(int fieldNo) const;
    // ";"-separated names; every name must exist.
    std::vector<TField*> GetFieldList(std::string_view names) const;
    // A persistent field (data, calculated or lookup) added while the dataset is closed.
    TField* AddField(std::unique_ptr<TField> field);
    // Persistent data fields for every field definition that has none yet.
    void AddFieldsFromDefs();
    TVariant FieldValues(std::string_view names) const;
    int CalcFieldsSize() const { return FCalcFieldsSize; }
    bool AutoCalcFields = true;
    // Public so that TFieldDefs::Update can reach it.
    virtual void InitFieldDefs();
    virtual void UpdateIndexDefs() {}
    virtual bool GetFieldData(TField* field, void* buffer) = 0;
    virtual void SetFieldData(TField* field, const void* buffer) = 0;
    virtual TStream* CreateBlobStream(TField* field, TBlobStreamMode mode);
    // A field's value as a state shows it (dsOldValue: the record before the edit).
    virtual TVariant GetStateFieldValue(TDataSetState state, TField* field);
    virtual void SetStateFieldValue(TDataSetState state, TField* field, const TVariant& value);

    // ---- Navigation ---------------------------------------------------------------------
    void First();
    void Last();
    void Next() { MoveBy(1); }
    void Prior() { MoveBy(-1); }
    int MoveBy(int distance);
    int RecNo() { return GetRecNo(); }
    void SetRecNo(int value) { SetRecNoValue(value); }
    int RecordCount() { return GetRecordCount(); }
    void Refresh();
    void Resync(TResyncMode mode);
    bool FindFirst() { return FindRecord(true, true); }
    bool FindLast() { return FindRecord(true, false); }
    bool FindNext() { return FindRecord(false, true); }
    bool FindPrior() { return FindRecord(false, false); }

    // ---- Editing ------------------------------------------------------------------------
    void Edit();
    void Insert();
    void Append();
    virtual void Post();
    virtual void Cancel();
    void Delete();
    // Asks the data links to write their pending values into the fields.
    void UpdateRecord();

    // ---- Bookmarks ----------------------------------------------------------------------
    TBookmark GetBookmark();
    void GotoBookmark(const TBookmark& bookmark);
    virtual bool BookmarkValid(const TBookmark& bookmark);
    virtual int CompareBookmarks(const TBookmark& a, const TBookmark& b);
    int BookmarkSize = 0;

    // ---- Filters and searching -------------------------------------------------------------
    const std::string& Filter() const { return FFilterText; }
    void SetFilter(const std::string& text) { SetFilterText(text); }
    bool Filtered() const { return FFiltered; }
    void SetFilteredValue(bool value) { SetFiltered(value); }
    TFilterOptions FilterOptions() const { return FFilterOptions; }
    void SetFilterOptionsValue(TFilterOptions value) { SetFilterOptions(value); }
    const TFilterRecordEvent& OnFilterRecord() const { return FOnFilterRecord; }
    void SetOnFilterRecordValue(TFilterRecordEvent event) { SetOnFilterRecord(std::move(event)); }
    virtual bool Locate(const std::string& keyFields, const TVariant& keyValues, TLocateOptions options);
    virtual TVariant Lookup(const std::string& keyFields, const TVariant& keyValues, const std::string& resultFields);

    // ---- Controls -----------------------------------------------------------------------
    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const { return FDisableCount > 0; }
    // True while Edit, Insert or Append checks browse mode: the last moment the dataset
    // browses before a record is edited or inserted (a move checks browse mode too).
    bool EditStarting() const { return FEditStarting; }
    int BlockReadSize() const { return FBlockReadSize; }
    void SetBlockReadSizeValue(int value) { SetBlockReadSize(value); }
    bool IsLinkedTo(TDataSource* dataSource) const;
    virtual TDataSource* GetDataSource() { return nullptr; }

    // ---- Events -------------------------------------------------------------------------
    TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeInsert, AfterInsert, BeforeEdit,
        AfterEdit, BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete, AfterDelete, BeforeScroll,
        AfterScroll, BeforeRefresh, AfterRefresh, OnCalcFields, OnNewRecord;
    TDataSetErrorEvent OnDeleteError, OnEditError, OnPostError;

    // ---- For data sources and links --------------------------------------------------------
    void AddDataSource(TDataSource* source);
    void RemoveDataSource(TDataSource* source);
    virtual void DataEvent(TDataEvent event, intptr_t info);
    int ActiveRecord() const { return FActiveRecord; }
    int BufferRecordCount() const { return FRecordCount; }
    void UpdateBufferCount();
    int BufferCount() const { return FBufferCount; }

protected:
    // ---- What a descendant supplies ---------------------------------------------------------
    virtual uint8_t* AllocRecordBuffer() = 0;
    virtual void FreeRecordBuffer(uint8_t*& buffer) = 0;
    virtual void GetBookmarkData(const uint8_t* buffer, TBookmark& data) = 0;
    virtual TBookmarkFlag GetBookmarkFlag(const uint8_t* buffer) = 0;
    virtual void SetBookmarkFlag(uint8_t* buffer, TBookmarkFlag flag) = 0;
    virtual void SetBookmarkData(uint8_t* buffer, const TBookmark& data) = 0;
    virtual TGetResult GetRecord(uint8_t* buffer, TGetMode mode, bool doCheck) = 0;
    virtual void InternalAddRecord(uint8_t* buffer, bool append) = 0;
    virtual void InternalClose() = 0;
    virtual void InternalDelete() = 0;
    virtual void InternalFirst() = 0;
    virtual void InternalLast() = 0;
    virtual void InternalGotoBookmark(const TBookmark& bookmark) = 0;
    virtual void InternalHandleException() {}
    virtual void InternalInitFieldDefs() = 0;
    virtual void InternalInitRecord(uint8_t* buffer) = 0;
    virtual void InternalOpen() = 0;
    virtual void InternalPost() = 0;
    virtual void InternalSetToRecord(uint8_t* buffer) = 0;
    virtual bool IsCursorOpen() const = 0;
    virtual void InternalEdit() {}
    virtual void InternalInsert() {}
    virtual void InternalCancel() {}
    virtual void InternalRefresh() {}

    // ---- Overridable framework steps -----------------------------------------------------------
    virtual void OpenCursor();
    virtual void CloseCursor();
    virtual bool GetCanModify() { return true; }
    virtual int GetRecordCount() { return -1; }
    virtual int GetRecNo() { return -1; }
    virtual void SetRecNoValue(int) {}
    virtual bool IsSequenced() { return true; }
    virtual void InitRecord(uint8_t* buffer);
    virtual void ClearCalcFields(uint8_t*) {}
    virtual void CalculateFields(uint8_t* buffer);
    virtual void DoOnNewRecord();
    virtual void DoBeforeClose();
    virtual int GetNextRecords();
    virtual int GetPriorRecords();
    virtual void SetFiltered(bool value) { FFiltered = value; }
    virtual void SetFilterText(const std::string& value) { FFilterText = value; }
    virtual void SetFilterOptions(TFilterOptions value) { FFilterOptions = value; }
    virtual void SetOnFilterRecord(TFilterRecordEvent event) { FOnFilterRecord = std::move(event); }
    virtual bool FindRecord(bool restart, bool goForward);
    virtual void SetBlockReadSize(int value);
    virtual void BlockReadNext();
    virtual void CreateFields();
    virtual void DestroyDefaultFields();

    void DoBeforeScroll();
    void DoAfterScroll();
    void BindFields(bool binding);
    bool DefaultFields() const { return FDefaultFields; }

    // ---- Helpers for descendants -----------------------------------------------------------------
    uint8_t* ActiveBuffer() const;
    uint8_t* TempBuffer() const;
    uint8_t* CalcBuffer() const { return FCalcBuffer; }
    uint8_t* Buffer(int i) const { return FBuffers[static_cast<std::size_t>(i)]; }
    void SetState(TDataSetState value);
    TDataSetState SetTempState(TDataSetState value);
    void RestoreState(TDataSetState value);
    void CursorPosChanged() { FCurrentRecord = -1; }
    void UpdateCursorPos();
    void GetCalcFields(uint8_t* buffer);
    void ClearBuffers();
    void SetBufferCount(int value);
    void CheckOperation(const std::function<void()>& operation, const TDataSetErrorEvent& errorEvent);
    bool GetNextRecord();
    bool GetPriorRecord();

    TDataSetState FState = dsInactive;
    bool FBOF = true;
    bool FEOF = true;
    bool FModified = false;
    int FRecordCount = 0;
    int FActiveRecord = 0;
    int FCurrentRecord = -1;
    int FBufferCount = 0;
    int FBlockReadSize = 0;
    std::string FFilterText;
    bool FFiltered = false;
    TFilterOptions FFilterOptions = 0;
    TFilterRecordEvent FOnFilterRecord;

private:
    void ActivateBuffers();
    void MoveBuffer(int from, int to);
    void SetCurrentRecord(int index);
    void FreeFieldBuffers();
    void UpdateCalcFields();
    void DoInternalOpen();
    void BeginInsertAppend();
    void EndInsertAppend();

    std::vector<uint8_t*> FBuffers;
    uint8_t* FCalcBuffer = nullptr;
    TFieldDefs FFieldDefs;
    std::vector<std::unique_ptr<TField>> FFields;
    std::vector<TDataSource*> FDataSources;
    bool FDefaultFields = false;
    int FCalcFieldsSize = 0;
    int FDisableCount = 0;
    TDataSetState FDisableState = dsInactive;
    bool FEnableEvent = false;
    bool FEditStarting = false;
    // The browse-mode check that begins an edit or insert.
    void CheckBrowseModeBeforeEdit();
};

}  // namespace kura
