#pragma once
// One SQL text and the queries parsed from it. The text may hold several
// statements separated by ";": ParseFirst parses the first into a fresh master
// query, ParseNext the following ones in turn. The statement is the expression
// parser's owner hooks: IN (SELECT ...) sub-queries join its query list, "?" marks
// its parameter list (at most MaxParameters).
//
// Against a remote database the statement owns nothing but the server's statement
// handle and its result cursor: every operation is a request of the remote protocol
// (StatementRemote.cpp), and while the server works on one it may call back for a
// password, with progress, with the state of a following statement of the text or
// with a status value.
//
// Each parse starts from new queries and an empty parameter list, so nothing of an
// earlier text survives a new one; a parse that raises leaves the queries parsed so
// far (planning never sees them: the error propagates) and no parameter marks,
// whose nodes went back to the pool with the unfinished tree.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/core/DataDirectory.h"
#include "engine/core/RemoteRequests.h"
#include "engine/expr/ExpParser.h"
#include "engine/sql/QueryModel.h"

namespace kura {

class TDataCursor;
class TDataDirectory;
class TRemoteChannel;
class TRemoteReply;
class TRemoteRequest;
struct TRemoteStatementState;
class TDataSession;
struct TFieldDesc;
struct TDataChangePlan;
class TQueryStatement;

// Events of a statement, each called with the statement as sender.
// Password: true when a password was supplied (asked for an encrypted table).
using TStatementPasswordEvent = std::function<bool(TQueryStatement* sender)>;
// Progress: a percentage; setting abort ends the row loop with the rows so far.
using TStatementProgressEvent = std::function<void(TQueryStatement* sender, uint16_t percent, bool& abort)>;
// After a prepare: the statement kind and the flags select-all, live companion, live.
using TStatementPrepareEvent =
    std::function<void(TQueryStatement* sender, uint8_t kind, uint8_t selectAll, uint8_t liveCompanion, uint8_t live)>;
using TStatementStatusEvent = std::function<void(TQueryStatement* sender, uint16_t value)>;

class TQueryStatement : public TExpressionParserOwner, public TDirectoryStatement {
public:
    TQueryStatement();
    // A statement of a database: tables named without a path live there, and its
    // session opens every other database the text names. It is in the database's
    // statement list from here to its end (DataDirectory.h).
    explicit TQueryStatement(TDataDirectory* ownerDatabase);
    ~TQueryStatement() override;
    TQueryStatement(const TQueryStatement&) = delete;
    TQueryStatement& operator=(const TQueryStatement&) = delete;

    // The statement's own database (its path), where a table named without a path
    // lives; empty until the owner sets it.
    std::string DatabasePath;

    // Loads the text and parses its first statement into a new master query.
    void ParseFirst(std::string_view text);
    // True while text follows the last parsed statement.
    bool HasMoreStatements() const;
    // Parses the next statement of the text into a new master query.
    void ParseNext();

    TExpressionParser& Tokenizer() { return FTokenizer; }
    TDataQuery* MasterQuery() const { return FQueries.empty() ? nullptr : FQueries.front().get(); }
    // The master first, then every UNION member, INSERT source and sub-query in the
    // order the parser created them.
    const std::vector<std::unique_ptr<TDataQuery>>& Queries() const { return FQueries; }
    const std::vector<TExpToken*>& Parameters() const { return FParameters; }
    uint8_t StatementKind() const { return FKind; }

    // Frees every query (and the parameter marks that pointed into them).
    void ClearQueries();
    TDataQuery* CreateMasterQuery();
    // Takes a query into the list; returns it.
    TDataQuery* AddQuery(std::unique_ptr<TDataQuery> query);

    // --- Preparing and running (StatementExecution.cpp) -----------------------
    // Parses and plans the first statement of the text (remote: the server does).
    // Nothing of an earlier text survives.
    void Prepare(std::string_view text);
    // Binds the parameters (when count > 0), runs every statement of the text in
    // turn and hands back the result cursor of the last one (nullptr unless it is a
    // SELECT). The cursor belongs to the statement. descriptors[i] describes
    // parameter i, whose value stands in record at the descriptor's offset: a
    // presence byte, then the value (a BLOB: u32 length and a pointer to the bytes).
    void Execute(TDataCursor*& result, uint16_t paramCount = 0, const TFieldDesc* const* descriptors = nullptr,
                 const uint8_t* record = nullptr, uint8_t progressWanted = 0);
    // Binds parameter values; surplus descriptors are ignored, and marks left
    // without a value make the next Execute refuse to run (KURA_SQLPARSE naming
    // both counts). 0 (an error the server answers is raised).
    uint16_t SetParams(uint16_t count, const TFieldDesc* const* descriptors, const uint8_t* record);
    // The row limit a prepared SELECT gets; -1 (or any negative) means none.
    void SetMaxRowCount(int32_t value);
    int32_t MaxRowCount() const { return FMaxRowCount; }
    void SetPasswordEvent(TStatementPasswordEvent event) { FOnPassword = std::move(event); }
    void SetProgressEvent(TStatementProgressEvent event) { FOnProgress = std::move(event); }
    TStatementPrepareEvent OnAfterPrepare;
    TStatementStatusEvent OnStatus;

    TDataDirectory* OwnerDatabase() const { return FOwnerDatabase; }
    TDataSession* Session() const;
    bool IsRemote() const;
    // 100 div the session's progress steps (100 for 0 steps).
    int32_t GetProgressInterval() const;
    // The events as the queries call them: false without a password handler.
    bool DoPassword();
    void DoProgress(uint16_t percent, bool& abort);

    // Copied into a SELECT's master query before planning.
    uint8_t LiveRequest = 0;
    // Results of the last prepare and execution.
    uint32_t ParamCount() const { return FParamCount; }
    uint8_t ResultLive() const { return FLive; }
    uint8_t ResultLiveCompanion() const { return FLiveCompanion; }
    uint8_t ResultSelectAll() const { return FSelectAll; }
    uint32_t RowsAffected() const { return FRowsAffected; }
    double ExecutionTime() const { return FExecutionTime; }
    // Set while Execute runs the second and later statements of a text.
    uint8_t FollowOn() const { return FFollowOn; }
    // The plan of a data-changing query of this statement (created on demand).
    TDataChangePlan& ChangePlan(TDataQuery* query);
    // Remote mode: the server's statement handle and the database the result cursor
    // was opened in ("Remote_Query" unless the result is live).
    uint32_t RemoteHandle() const { return FRemoteHandle; }
    const std::string& ResultTableName() const { return FResultTableName; }

    // --- TExpressionParserOwner
    TDataQuery* ParseSubSelect(TExpressionParser& parser) override;
    void AddParameter(TExpToken* node) override;

private:
    void ParseCurrent();
    // Plans every query of the list, last first, and takes the master's flags.
    void PrepareQueries();
    void ExecuteLocal(TDataCursor*& result);
    // Every "?" of the statement about to run has a value (bound since its parse).
    void CheckParameterValues() const;
    // Each bound value meets the rules of its use as a constant of its type would:
    // converted (a text where a date is compared) or refused, naming the parameter.
    void CheckParameterUses();
    void ExecuteQuery(TDataQuery* query, TDataCursor*& result);

    // --- Remote mode (StatementRemote.cpp)
    void CreateRemote();
    // FREESTMT and the result cursor closed; never throws.
    void FreeRemote() noexcept;
    void PrepareRemote(std::string_view text);
    void ExecuteRemote(TDataCursor*& result, uint16_t count, const TFieldDesc* const* descriptors,
                       const uint8_t* record, uint8_t progressWanted);
    uint16_t SetParamsRemote(uint16_t count, const TFieldDesc* const* descriptors, const uint8_t* record);
    // Builds the request (the handle first, then what build adds), sends it and serves
    // the server's callbacks until the final reply, whose error is raised. A
    // connection lost among the callbacks repeats the whole request once on a new
    // connection.
    TRemoteReply& SendRequestAndWait(TRequestCode code, const std::function<void(TRemoteRequest&)>& build);
    void ProcessRemoteReplies();
    // One callback frame; true when a CALLBACKRESPONSE went back.
    void ServeCallback(TRemoteReply& reply);
    void TakeStatementState(const TRemoteStatementState& state);
    void OpenResultCursor(TRemoteReply& reply);
    void CloseResultCursor() noexcept;
    // The owner database's transaction flag follows a transaction statement the
    // server ran.
    void MirrorTransaction(uint8_t kind);
    TRemoteChannel& Channel() const;

    TDataDirectory* FOwnerDatabase = nullptr;
    TStatementPasswordEvent FOnPassword;
    TStatementProgressEvent FOnProgress;
    int32_t FMaxRowCount = -1;
    uint32_t FParamCount = 0;
    uint8_t FLive = 0;
    uint8_t FLiveCompanion = 0;
    uint8_t FSelectAll = 0;
    uint32_t FRowsAffected = 0;
    double FExecutionTime = 0;
    uint8_t FFollowOn = 0;
    uint32_t FRemoteHandle = 0;
    std::string FResultTableName;
    TDataDirectory* FResultDatabase = nullptr;
    TDataCursor* FResultCursor = nullptr;
    // Plans of the data-changing queries; dropped with the queries they serve.
    std::vector<std::shared_ptr<TDataChangePlan>> FChangePlans;
    // Results of the queries run so far by the current ExecuteLocal.
    std::vector<std::pair<TDataQuery*, TDataCursor*>> FResults;

    TExpressionParser FTokenizer;
    std::vector<std::unique_ptr<TDataQuery>> FQueries;
    std::vector<TExpToken*> FParameters;  // nodes inside the queries' trees
    size_t FBoundCount = 0;               // marks given a value since the last parse
    uint8_t FKind = 0;
    int32_t FSubQueryDepth = 0;
};

}  // namespace kura
