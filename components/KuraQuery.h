#pragma once
// The query component: the dataset of the result of an SQL text.
//
// The text (SetSQL) may hold ":name" parameter markers; with ParamCheck on (the
// default) every change of the text rebuilds Params, keeping the values of the
// parameters whose names stay. Preparing creates one engine statement on the
// database named by DatabaseName and plans the text; opening (Open, Active) or
// ExecSQL binds the parameter values and runs it. A SELECT's result becomes the
// dataset's records; any other statement runs with ExecSQL and leaves the query
// closed with RowsAffected set. The result cursor belongs to the statement:
// closing keeps it, unpreparing frees it. Changing the text, the database or
// closing the last use of the database unprepares.
//
// Parameters can also take their values from the fields of the same names of a
// master dataset (SetDataSource); the query then opens again whenever the master
// moves.
//
// MaxRowCount is -1 (no limit) unless set; RequestLive asks the engine for an
// editable result where it can give one.
//
// Errors: misuse raises EDatabaseError ("No SQL statement available", "No value
// for parameter 'x'", "Circular data links are not allowed."); SQL errors arrive
// from the engine as EKuraEngineError (KURA_SQLPARSE for the SQL messages).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/KuraDataSet.h"
#include "platform/dataset/DataSource.h"
#include "platform/dataset/Params.h"

namespace kura {

class TQueryStatement;
class TKuraQuery;

using TQueryProgressEvent = std::function<void(TKuraQuery* sender, int percentDone, bool& abortQuery)>;

class TKuraQuery : public TKuraDBDataSet {
public:
    explicit TKuraQuery(TComponent* owner = nullptr);
    ~TKuraQuery() override;

    static constexpr const char* EngineVersion = "3.30";

    const std::string& SQL() const { return FSQL; }
    void SetSQL(const std::string& text);
    // The text handed to the engine (markers replaced by "?").
    const std::string& Text() const { return FText; }
    TParams& Params() { return FParams; }
    TParam& ParamByName(std::string_view name) { return FParams.ParamByName(name); }
    // Copies the values of the parameters of the same names.
    void SetParams(const TParams& values) { FParams.AssignValues(values); }
    bool ParamCheck() const { return FParamCheck; }
    void SetParamCheck(bool value) { FParamCheck = value; }
    bool RequestLive() const { return FRequestLive; }
    void SetRequestLive(bool value);
    int32_t MaxRowCount() const { return FMaxRowCount; }
    void SetMaxRowCount(int32_t value);
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool value);
    TDataSource* GetDataSource() override { return FDataLink.DataSource(); }
    void SetDataSource(TDataSource* value);
    TQueryProgressEvent OnQueryProgress;

    bool Prepared() const { return FStatement != nullptr; }
    void SetPrepared(bool value);
    void Prepare() { SetPrepared(true); }
    void UnPrepare() { SetPrepared(false); }
    // Runs the text: a SELECT opens the query on its result, any other statement
    // leaves it closed.
    void ExecSQL();
    uint32_t RowsAffected() const { return FRowsAffected; }
    double ExecutionTime() const { return FExecutionTime; }
    // The engine statement while prepared.
    TQueryStatement* StmtHandle() const { return FStatement.get(); }
    void Disconnect() override;

protected:
    TDataCursor* CreateHandle() override;
    bool GetCanModify() override { return TKuraDBDataSet::GetCanModify() && !FReadOnly; }
    void DatabaseNameChanged() override;

private:
    class TQueryDataLink : public TDetailDataLink {
    public:
        explicit TQueryDataLink(TKuraQuery& query) : FQuery(query) {}
        TDataSet* DetailDataSet() override { return &FQuery; }

    protected:
        void ActiveChanged() override;
        void RecordChanged(TField* field) override;
        void CheckBrowseMode() override;

    private:
        TKuraQuery& FQuery;
    };

    void QueryChanged();
    TDataCursor* GetQueryCursor();
    void SetParamsFromCursor();
    TDataCursor* ExecuteStatement();
    void RefreshParams();
    void FreeStatement();

    std::unique_ptr<TQueryStatement> FStatement;
    std::string FSQL;
    std::string FText;
    // The parameter each "?" of FText stands for, by name (a name may repeat).
    std::vector<std::string> FMarkers;
    TParams FParams;
    TQueryDataLink FDataLink;
    bool FRequestLive = false;
    int32_t FMaxRowCount = -1;
    uint32_t FRowsAffected = 0;
    double FExecutionTime = 0;
    bool FParamCheck = true;
    bool FReadOnly = false;
    bool FExecuting = false;
    TDataCursor* FExecCursor = nullptr;
};

}  // namespace kura
