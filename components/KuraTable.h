#pragma once
// The table component: the dataset of one engine table named by TableName in the
// database named by DatabaseName. It selects an index (IndexName, or the index
// whose fields are IndexFieldNames), searches keys (SetKey ... GotoKey), restricts
// to key ranges (SetRangeStart, SetRangeEnd, ApplyRange, CancelRange), follows a
// master dataset (MasterSource, MasterFields), and creates, deletes and checks the
// existence of its table (KuraTableDefs.cpp). Key and range values are assigned
// through the fields while the dataset is in dsSetKey. RestructureFieldDefs and
// RestructureIndexDefs hold the table's definition (KuraRestructureDefs.h).
#include <functional>
#include <memory>
#include <string>

#include "components/KuraDataSet.h"
#include "components/KuraRestructureDefs.h"
#include "platform/dataset/DataSource.h"
#include "platform/dataset/FieldDefs.h"

namespace kura {

class TKuraTable : public TKuraDBDataSet {
public:
    explicit TKuraTable(TComponent* owner = nullptr);
    ~TKuraTable() override;

    static constexpr const char* EngineVersion = "3.30";

    bool Exclusive() const { return FExclusive; }
    void SetExclusive(bool value);
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool value);
    const std::string& TableName() const { return FTableName; }
    void SetTableName(const std::string& value);
    TIndexDefs& IndexDefs() { return FIndexDefs; }
    const std::string& IndexName() const;
    void SetIndexName(const std::string& value);
    std::string IndexFieldNames() const;
    void SetIndexFieldNames(const std::string& value);
    const std::string& MasterFields() const { return FMasterLink.FieldNames(); }
    void SetMasterFields(const std::string& value);
    TDataSource* MasterSource() const { return FMasterLink.DataSource(); }
    void SetMasterSource(TDataSource* value);
    bool InMemory() const { return FInMemory; }
    bool StoreDefs = false;

    // Why OnDataLost asks: the context names the index (key violation), the field
    // (its minimum, maximum or required check refused the row; its value does not
    // convert), or the dropped field; it is empty for any other error.
    enum TDataLostCause : int {
        dlUnknown = 0, dlKeyViolation = 1, dlValidityCheck = 2, dlFieldDeletion = 3, dlTypeConversion = 4
    };
    // The verify, repair, upgrade, index, copy, optimize, restructure and data-lost
    // events are kept for the engine's maintenance operations, which the table itself
    // never runs.
    using TSteppedProgressEvent = std::function<void(TDataSet* sender, const std::string& step, int percentDone)>;
    using TLogEvent = std::function<void(TDataSet* sender, const std::string& message)>;
    using TDataLostEvent = std::function<void(TDataSet* sender, int cause, const std::string& context,
                                              bool& continueRestructure, bool& stopAsking)>;
    TSteppedProgressEvent OnVerifyProgress, OnRepairProgress, OnUpgradeProgress;
    TLogEvent OnVerifyLog, OnRepairLog, OnUpgradeLog;
    TKuraProgressEvent OnIndexProgress, OnCopyProgress, OnOptimizeProgress, OnRestructureProgress;
    TDataLostEvent OnDataLost;

    bool Exists();
    // Delimited-text transfer of every field: export writes a header line of field names
    // and one line per record; import appends the lines of a file whose first line names
    // the fields. Uses the open table's cursor, else a cursor of its own.
    void ExportTable(const std::string& fileName, char delimiter = ',', const std::string& dateFormat = "yyyy/mm/dd",
                     const std::string& timeFormat = "hh:mm:ss.zzz ampm", char decimalSeparator = '.');
    void ImportTable(const std::string& fileName, char delimiter = ',', const std::string& dateFormat = "yyyy/mm/dd",
                     const std::string& timeFormat = "hh:mm:ss.zzz ampm", char decimalSeparator = '.');
    // The line of the file the last import stopped at when it failed (1-based); 0 after
    // an import that succeeded, or when the engine could not tell.
    int32_t ImportStoppedAtLine() const { return FImportStoppedAtLine; }
    void CreateTable();
    void DeleteTable();
    // The table's definition for a restructure, read from the table on first use.
    TRestructureFieldDefs& RestructureFieldDefs();
    TRestructureIndexDefs& RestructureIndexDefs();
    void SetKey();
    bool GotoKey();
    void SetRangeStart();
    void SetRangeEnd();
    void ApplyRange();
    void CancelRange();

    void InitFieldDefs() override;
    void UpdateIndexDefs() override;
    TDataSource* GetDataSource() override { return FMasterLink.DataSource(); }
    void DataEvent(TDataEvent event, intptr_t info) override;

protected:
    TDataCursor* CreateHandle() override;
    void DestroyHandle() override;
    void CloseCursor() override;
    void PrepareCursor() override;
    TDataCursor* GetLookupCursor(const std::string& keyFields, bool caseInsensitive) override;
    void DestroyLookupCursor() override;
    void DoOnNewRecord() override;
    bool GetCanModify() override { return TKuraDBDataSet::GetCanModify() && !FReadOnly; }
    void InternalRefresh() override;
    void DatabaseNameChanged() override;

private:
    // A closed cursor on the table with the component's options (and the session's
    // password callback); opened when asked. The caller releases it.
    std::unique_ptr<TDataCursor> NewCursor(bool exclusive, bool open);
    std::string ResolveIndexName(TDataCursor* cursor);
    void ReadIndexDefs(TDataCursor* cursor);
    void MasterChanged();
    void MasterDisabled();
    friend class TRestructureFieldDefs;
    friend class TRestructureIndexDefs;
    // Runs read on the open table's cursor, or on a cursor of its own.
    void ReadDefinition(const std::function<void(TDataCursor&)>& read);
    void ReadRestructureFieldDefs();
    void ReadRestructureIndexDefs();
    void Transfer(bool import, const std::string& fileName, char delimiter, const std::string& dateFormat,
                  const std::string& timeFormat, char decimalSeparator);

    TIndexDefs FIndexDefs;
    TMasterDataLink FMasterLink;
    bool FExclusive = false;
    bool FReadOnly = false;
    bool FInMemory = false;
    bool FFieldsIndex = false;
    std::string FTableName;
    std::string FIndexName;
    std::unique_ptr<TDataCursor> FLookupCursor;
    std::string FLookupKeyFields;
    bool FLookupCaseIns = false;
    int32_t FImportStoppedAtLine = 0;
    TRestructureFieldDefs FRestructureFieldDefs{this};
    TRestructureIndexDefs FRestructureIndexDefs{this};
};

}  // namespace kura
