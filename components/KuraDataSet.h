#pragma once
// The engine dataset: TDataSet over one engine cursor (TDataCursor).
//
// Record buffer (FRecBufSize bytes, zero-filled when allocated):
//   [0, FRecordSize)            the engine record exactly as the cursor reads it
//   [FRecordSize, FRecInfoOfs)  calculated fields: per field a has-value byte and
//                               its native value, at the field's Offset
//   [FRecInfoOfs, +8)           int32 record number (-1 inserted), bookmark flag
//   [FBookmarkOfs, +BookmarkSize) the engine bookmark, opaque bytes
// Key buffers: 8 header bytes (modified flag, int32 count of assigned key fields),
// then one engine record.
//
// The implementation is split by concept:
//   KuraDataSet.cpp        open, close, field definitions, buffers, fetching,
//                          bookmarks, editing
//   KuraDataSetFields.cpp  field values and whole BLOBs of the active buffer
//   KuraDataSetSearch.cpp  filters, FindRecord, Locate, Lookup, block reads
//   KuraDataSetKeys.cpp    key buffers, ranges, index switching
//   KuraDBDataSet.cpp      the binding to a session and a database by name
//
// Filters. Filtering by event (OnFilterRecord) runs in the dataset: records the
// event refuses are skipped as they are fetched. Filtering by expression text
// becomes the cursor's expression filter (CreateExpressionFilter), which the engine
// answers from its indexes where it can; FilterOptions make its texts compare
// without regard to case or whole instead of by prefix.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "platform/dataset/DataSet.h"
#include "platform/dataset/Fields.h"

namespace kura {

class TKuraSession;
class TKuraDatabase;

using TKuraProgressEvent = std::function<void(TDataSet* sender, int percentDone)>;

// Indexes of the six key buffers.
enum TKeyIndex : int { kiLookup = 0, kiRangeStart, kiRangeEnd, kiCurRangeStart, kiCurRangeEnd, kiSave };

class TKuraDataSet : public TDataSet {
public:
    explicit TKuraDataSet(TComponent* owner = nullptr);
    ~TKuraDataSet() override;

    TDataCursor* Handle() const { return FHandle; }
    bool AutoDisplayLabels() const { return FAutoDisplayLabels; }
    void SetAutoDisplayLabels(bool value);
    bool CopyOnAppend = false;
    TKuraProgressEvent OnImportProgress, OnExportProgress;
    int32_t ReadAhead = 1;

    bool GetFieldData(TField* field, void* buffer) override;
    bool GetFieldDataNo(int fieldNo, void* buffer);
    void SetFieldData(TField* field, const void* buffer) override;
    TStream* CreateBlobStream(TField* field, TBlobStreamMode mode) override;
    void SetStateFieldValue(TDataSetState state, TField* field, const TVariant& value) override;
    void CloseBlob(TField* field);
    // The whole BLOB of a field of the active record; its size.
    int32_t GetBlobFieldData(int fieldNo, std::vector<uint8_t>& buffer);
    bool BookmarkValid(const TBookmark& bookmark) override;
    int CompareBookmarks(const TBookmark& a, const TBookmark& b) override;
    bool Locate(const std::string& keyFields, const TVariant& keyValues, TLocateOptions options) override;
    TVariant Lookup(const std::string& keyFields, const TVariant& keyValues, const std::string& resultFields) override;
    bool GetCurrentRecord(uint8_t* buffer);
    // Through a clone of the cursor, shown in the fields as a block read shows its records.
    bool ReadAside(int first, int count, const std::function<void(const TBookmark&)>& visit) override;
    // Key fields of the current index.
    int KeyFieldCount() const { return FKeyFieldCount; }
    TField* GetIndexField(int n);

    // The session the dataset's engine calls are serialised through (nullptr: none).
    virtual TKuraSession* DBSession() const { return nullptr; }
    uint8_t* ActiveRecBuf();
    int32_t RecordSize() const { return FRecordSize; }

protected:
    // ---- new virtual operations ----
    virtual TDataCursor* CreateHandle() { return nullptr; }
    virtual void DestroyHandle();
    virtual void DestroyLookupCursor() {}
    virtual TDataCursor* GetLookupCursor(const std::string&, bool) { return nullptr; }
    virtual void PrepareCursor() {}
    void UpdateDisplayLabels();
    void UpdateFieldOrigins();

    // ---- the framework's operations ----
    void OpenCursor() override;
    void CloseCursor() override;
    void DoBeforeClose() override;
    void InternalInitFieldDefs() override;
    void InternalOpen() override;
    void InternalClose() override;
    bool IsCursorOpen() const override { return FHandle != nullptr; }
    uint8_t* AllocRecordBuffer() override;
    void FreeRecordBuffer(uint8_t*& buffer) override;
    void InternalInitRecord(uint8_t* buffer) override;
    void InitRecord(uint8_t* buffer) override;
    void ClearCalcFields(uint8_t* buffer) override;
    TGetResult GetRecord(uint8_t* buffer, TGetMode mode, bool doCheck) override;
    int GetRecordCount() override;
    int GetRecNo() override;
    void SetRecNoValue(int value) override;
    bool IsSequenced() override;
    bool GetCanModify() override { return FCanModify; }
    int GetNextRecords() override;
    int GetPriorRecords() override;
    void InternalFirst() override;
    void InternalLast() override;
    void InternalEdit() override;
    void InternalPost() override;
    void InternalAddRecord(uint8_t* buffer, bool append) override;
    void InternalDelete() override;
    void InternalCancel() override;
    void InternalRefresh() override;
    void InternalGotoBookmark(const TBookmark& bookmark) override;
    void InternalSetToRecord(uint8_t* buffer) override;
    TBookmarkFlag GetBookmarkFlag(const uint8_t* buffer) override;
    void SetBookmarkFlag(uint8_t* buffer, TBookmarkFlag flag) override;
    void GetBookmarkData(const uint8_t* buffer, TBookmark& data) override;
    void SetBookmarkData(uint8_t* buffer, const TBookmark& data) override;
    void DoOnNewRecord() override;
    void SetFiltered(bool value) override;
    void SetFilterText(const std::string& value) override;
    void SetFilterOptions(TFilterOptions value) override;
    void SetOnFilterRecord(TFilterRecordEvent event) override;
    bool FindRecord(bool restart, bool goForward) override;
    void SetBlockReadSize(int value) override;
    void BlockReadNext() override;

public:
    void Post() override;
    void Cancel() override;

protected:
    // ---- keys and ranges (KuraDataSetKeys.cpp) ----
    void SetKeyBuffer(TKeyIndex which, bool clear);
    void PostKeyBuffer(bool commit);
    void SetLinkRanges(const std::vector<TField*>& masterFields);
    bool SetCursorRange();
    bool ResetCursorRange();
    void SwitchToIndex(const std::string& indexName);
    void GetIndexInfo();
    uint8_t* KeyBuffer(TKeyIndex which) { return FKeyBuffers[which].data(); }
    uint8_t* KeyRecord(TKeyIndex which) { return FKeyBuffers[which].data() + 8; }
    uint8_t* FKeyBuffer = nullptr;  // the key buffer being edited (header included)
    bool InSetKey() const { return FState == dsSetKey; }
    void ComputeLayout();
    // The record number, bookmark flag, calculated fields and bookmark of a record the
    // cursor has just read into the buffer.
    void CompleteRecord(TDataCursor& cursor, uint8_t* buffer);

    // ---- searching (KuraDataSetSearch.cpp) ----
    bool LocateRecord(const std::string& keyFields, const TVariant& keyValues, TLocateOptions options, bool sync);
    bool FilterAccepts(uint8_t* recordBuffer);
    bool EventFilterActive() const { return FFiltered && FFuncFilter != 0; }
    // Makes the filter text the cursor's active expression filter, replacing the
    // one before; a refused text raises and leaves the old filter in place.
    void CreateExpressionFilter();
    void DropExpressionFilter();
    [[noreturn]] void RaiseEngine(TEngineErrorCode code, const std::string& message = {});

    TDataCursor* FHandle = nullptr;
    // Filter handles: pointer-sized, never cut to 32 bits; 0 = none.
    uintptr_t FExprFilter = 0;
    uintptr_t FFuncFilter = 0;
    uint8_t* FFilterBuffer = nullptr;
    std::array<uint16_t, 16> FKeyFieldNos{};
    bool FCaseInsIndex = false;
    bool FCanModify = false;
    uint16_t FKeySize = 0;
    std::vector<uint8_t> FOldBuffer;
    std::array<std::vector<uint8_t>, 6> FKeyBuffers;
    int32_t FKeyFieldCount = 0;
    int32_t FRecordSize = 0;
    int32_t FBookmarkOfs = 0;
    int32_t FRecInfoOfs = 0;
    int32_t FRecBufSize = 0;
    // Block reads.
    int32_t FBlockCapacity = 0;
    int32_t FBlockIndex = 0;
    int32_t FBlockCount = 0;
    int64_t FBlockCounter = 0;
    std::vector<uint8_t> FBlockBuffer;
    std::vector<uint8_t> FBlockRecBuf;  // the current block record with room for calculated fields
    // The record read aside; it stands in for FBlockRecBuf while it is shown.
    std::vector<uint8_t> FAsideRecBuf;
    bool FAutoDisplayLabels = false;
};

class TKuraDBDataSet : public TKuraDataSet {
public:
    explicit TKuraDBDataSet(TComponent* owner = nullptr);
    ~TKuraDBDataSet() override;

    const std::string& DatabaseName() const { return FDatabaseName; }
    void SetDatabaseName(const std::string& value);
    const std::string& SessionName() const { return FSessionName; }
    void SetSessionName(const std::string& value);
    TKuraDatabase* Database() const { return FDatabase; }
    TKuraSession* DBSession() const override;
    virtual void Disconnect() { Close(); }
    // Flags 0..15: 0 open cursor, 1 prepared query, 3 table maintenance, 4 and 5
    // definitions. The database stays open while any is set.
    void SetDBFlag(int flag, bool value);
    bool DBFlag(int flag) const { return (FDBFlags >> flag) & 1; }

protected:
    void OpenCursor() override;
    void CloseCursor() override;
    virtual void DatabaseNameChanged() {}
    uint16_t FDBFlags = 0;
    TKuraDatabase* FDatabase = nullptr;
    std::string FDatabaseName, FSessionName;
};

// Holds a DB flag for a scope.
class TDBFlagScope {
public:
    TDBFlagScope(TKuraDBDataSet& ds, int flag) : ds_(ds), flag_(flag), was_(ds.DBFlag(flag)) {
        if (!was_) ds_.SetDBFlag(flag_, true);
    }
    ~TDBFlagScope() {
        if (!was_) {
            try {
                ds_.SetDBFlag(flag_, false);
            } catch (...) {
            }
        }
    }
    TDBFlagScope(const TDBFlagScope&) = delete;
    TDBFlagScope& operator=(const TDBFlagScope&) = delete;

private:
    TKuraDBDataSet& ds_;
    int flag_;
    bool was_;
};

}  // namespace kura
