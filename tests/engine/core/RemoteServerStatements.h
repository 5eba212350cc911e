#pragma once
// Test server area: SQL statements. Each client statement is one of our own local
// statements on the server's database; its result cursor is handed to the client as
// a server cursor handle, which the cursor area then navigates. The server calls the
// client back for passwords and progress while a statement runs, and announces each
// following statement of a text (with its result cursor) before the final reply.
#include <cstring>
#include <map>
#include <memory>

#include "engine/expr/ExpStream.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/QueryStatement.h"
#include "tests/engine/core/RemoteServerState.h"

namespace kura::test {

// A statement and the handle under which its result cursor stands in the server's
// cursor table. The cursor belongs to the statement: the table only borrows it.
struct TServerStatement {
    TServerState* State = nullptr;
    std::unique_ptr<TQueryStatement> Statement;
    uint32_t ResultHandle = 0;

    ~TServerStatement() { Unpublish(); }
    void Unpublish() {
        const auto it = State->Cursors.find(ResultHandle);
        if (ResultHandle != 0 && it != State->Cursors.end()) {
            (void)it->second.release();
            State->Cursors.erase(it);
        }
        ResultHandle = 0;
    }
    void Publish(TDataCursor* cursor) {
        const auto it = State->Cursors.find(ResultHandle);
        if (ResultHandle != 0 && it != State->Cursors.end() && it->second.get() == cursor) return;
        Unpublish();
        ResultHandle = State->NewHandle();
        State->Cursors[ResultHandle].reset(cursor);
    }
};

// The result cursor a prepared SELECT will fill (its source cursor when live).
inline TDataCursor* PlannedResult(const TQueryStatement& statement) {
    const TDataQuery* master = statement.MasterQuery();
    if (!master || !master->Plan) return nullptr;
    const TQueryPlan& plan = *master->Plan;
    if (plan.LiveResult) return plan.Tables.empty() ? nullptr : plan.Tables[0].Cursor.get();
    return plan.Result.get();
}

inline void PutResultFieldDefs(TRemoteRequest& out, const TDataCursor& c, int64_t version) {
    out.PutU32(static_cast<uint32_t>(c.FFieldDefs.size()));
    for (size_t i = 0; i < c.FFieldDefs.size(); ++i) {
        const TFieldDesc& desc = c.FFieldDefs[i];
        out.PutParam(desc.Data(), FIELD_DESC_SIZE);
        if (version < SERVER_VERSION_FIELD_EXPRESSIONS || desc.Computed() == 0) continue;
        std::vector<uint8_t> image;
        const TExpToken* tree = i < c.FComputedExpressions.size() ? c.FComputedExpressions[i].get() : nullptr;
        if (tree) ExpressionStreamSizeEx(tree, image);
        out.PutU32(static_cast<uint32_t>(image.size()));
        out.PutParam(image.data(), static_cast<uint32_t>(image.size()));
    }
}

// The client decides from its own view of the table whether the table state follows:
// its cursors on the table are the ones published to it, not the statement's
// internal ones.
inline bool ResultTableStateFollows(const TServerState& s, const TDataCursor& c) {
    const int64_t version = ReportedVersion(s);
    if (version < SERVER_VERSION_OPEN_COUNT) return true;
    const bool cursorCount = version >= SERVER_VERSION_CURSOR_COUNT;
    if (cursorCount && c.IsQueryResult() != c.IsQuerySource()) return true;
    int users = 0;
    for (const auto& [handle, other] : s.Cursors) {
        if (!other || other->GetTable() != c.GetTable()) continue;
        if (!cursorCount || other->IsQueryResult() == other->IsQuerySource()) ++users;
    }
    return users == 1;
}

// What the client reads to open the result cursor: for a live result the database
// it lives in, the open state, the open reply and then the field definitions.
inline void PutResultOpen(TServerState& s, TRemoteRequest& out, TServerStatement& st, TDataCursor* c) {
    const int64_t version = ReportedVersion(s);
    const TQueryStatement& stmt = *st.Statement;
    st.Publish(c);
    const bool live = stmt.ResultLive() != 0;
    if (version >= SERVER_VERSION_SELECT_ALL && live) out.PutString(c->GetDirectory()->Name);
    out.PutU32(st.ResultHandle);
    out.PutString(c->GetTableName());
    out.PutBool(c->IsExclusive());
    out.PutBool(c->IsInMemory());
    out.PutBool(c->IsTemporaryFiles());
    out.PutBool(c->IsQueryResult());
    out.PutBool(c->IsQuerySource());
    if (ResultTableStateFollows(s, *c)) PutTableState(out, *c);
    PutCursorState(out, *c);
    out.PutByte(c->GetCurrentIndexNo());
    const bool defs = version >= SERVER_VERSION_SELECT_ALL ? live && stmt.ResultSelectAll() == 0 : live;
    if (defs) PutResultFieldDefs(out, *c, version);
}

// Descriptors, values and BLOB bytes as SETSTMTPARAMS and EXECUTESTMT carry them,
// rebuilt into a record whose BLOB values point at the received bytes.
struct TServerParams {
    std::vector<TFieldDesc> Descs;
    std::vector<const TFieldDesc*> Pointers;
    std::vector<uint8_t> Record = std::vector<uint8_t>(65536 + 512, 0);
    std::vector<std::vector<uint8_t>> Blobs;
    size_t Next = 0;  // the request parameter after them

    TServerParams(const TServerRequest& req, size_t first) {
        const auto count = static_cast<uint16_t>(req.Number(first));
        Next = first + 1;
        Descs.resize(count);
        Blobs.reserve(count);
        for (TFieldDesc& d : Descs) {
            const std::vector<uint8_t>& bytes = req.Bytes(Next++);
            if (bytes.size() != FIELD_DESC_SIZE) RaiseEngineError(KURA_REMOTEINVREQUEST);
            std::memcpy(d.Data(), bytes.data(), FIELD_DESC_SIZE);
            Pointers.push_back(&d);
        }
        for (const TFieldDesc& d : Descs) {
            const std::vector<uint8_t>& value = req.Bytes(Next++);
            if (value.size() > 512) RaiseEngineError(KURA_REMOTEINVREQUEST);
            uint8_t* slot = Record.data() + d.Offset();
            std::copy(value.begin(), value.end(), slot);
            if (d.FieldType() != fldBLOB) continue;
            const std::vector<uint8_t>& blob = Blobs.emplace_back(req.Bytes(Next++));
            const uint8_t* bytes = blob.data();
            std::memcpy(slot + 1 + sizeof(uint32_t), &bytes, sizeof bytes);
        }
    }
};

inline void RegisterStatementsArea(TServerAreas& areas) {
    auto statements = std::make_shared<std::map<uint32_t, std::unique_ptr<TServerStatement>>>();
    const auto find = [statements](const TServerRequest& req) -> TServerStatement& {
        const auto it = statements->find(static_cast<uint32_t>(req.Number(0)));
        if (it == statements->end()) RaiseEngineError(KURA_REMOTEINVREQUEST);
        return *it->second;
    };
    areas.On(REQUEST_CREATESTMT, [statements](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        auto st = std::make_unique<TServerStatement>();
        st->State = &s;
        st->Statement = std::make_unique<TQueryStatement>(s.Directory(req));
        const uint32_t handle = s.NewHandle();
        (*statements)[handle] = std::move(st);
        reply.PutU32(handle);
    });
    areas.On(REQUEST_FREESTMT, [statements](TServerState&, const TServerRequest& req, TRemoteRequest&) {
        statements->erase(static_cast<uint32_t>(req.Number(0)));
    });
    areas.On(REQUEST_PREPARESTMT, [find](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TServerStatement& st = find(req);
        TQueryStatement& stmt = *st.Statement;
        const int64_t version = ReportedVersion(s);
        st.Unpublish();
        stmt.LiveRequest = static_cast<uint8_t>(req.Number(3));
        stmt.SetMaxRowCount(static_cast<int32_t>(req.Number(4)));
        stmt.Prepare(req.Text(2));
        reply.PutByte(stmt.StatementKind());
        reply.PutByte(stmt.ResultLive());
        reply.PutByte(stmt.ResultLiveCompanion());
        if (version >= SERVER_VERSION_SELECT_ALL) reply.PutByte(stmt.ResultSelectAll());
        if (version >= SERVER_VERSION_PARAM_COUNT) reply.PutU32(stmt.ParamCount());
        if (version >= SERVER_VERSION_EXEC_PARAMS && stmt.StatementKind() == skSelect) PutResultOpen(s, reply, st, PlannedResult(stmt));
    });
    areas.On(REQUEST_SETSTMTPARAMS, [find](TServerState&, const TServerRequest& req, TRemoteRequest&) {
        TServerParams params(req, 1);
        find(req).Statement->SetParams(static_cast<uint16_t>(params.Descs.size()), params.Pointers.data(),
                                       params.Record.data());
    });
    areas.On(REQUEST_EXECUTESTMT, [find](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TServerStatement& st = find(req);
        TQueryStatement& stmt = *st.Statement;
        const int64_t version = ReportedVersion(s);
        std::unique_ptr<TServerParams> params;
        size_t next = 1;
        if (version >= SERVER_VERSION_EXEC_PARAMS) {
            params = std::make_unique<TServerParams>(req, 1);
            next = params->Next;
        }
        const bool progressWanted = req.Flag(next);
        stmt.SetPasswordEvent([&s](TQueryStatement*) {
            return s.Callback([](TRemoteRequest& f) { f.PutU16(11); }, true).Flag(0);
        });
        if (progressWanted) {
            stmt.SetProgressEvent([&s](TQueryStatement*, uint16_t percent, bool& abort) {
                const TServerRequest answer = s.Callback(
                    [&](TRemoteRequest& f) {
                        f.PutU16(12);
                        f.PutU16(percent);
                        f.PutBool(abort);
                    },
                    true);
                abort = !answer.Params.empty() && answer.Flag(0);
            });
        }
        // Each following statement of the text is announced once it is planned.
        stmt.OnAfterPrepare = [&](TQueryStatement* sender, uint8_t kind, uint8_t selectAll, uint8_t companion,
                                  uint8_t live) {
            if (!sender->FollowOn()) return;
            if (version >= SERVER_VERSION_EXEC_PARAMS && kind == skSelect) st.Publish(PlannedResult(*sender));
            s.Callback(
                [&](TRemoteRequest& f) {
                    f.PutU16(13);
                    f.PutByte(kind);
                    f.PutByte(live);
                    f.PutByte(companion);
                    if (version >= SERVER_VERSION_SELECT_ALL) f.PutByte(selectAll);
                    if (version >= SERVER_VERSION_EXEC_PARAMS && kind == skSelect) PutResultOpen(s, f, st, PlannedResult(*sender));
                },
                false);
        };
        const auto endRun = [&] {
            stmt.SetPasswordEvent(nullptr);
            stmt.SetProgressEvent(nullptr);
            stmt.OnAfterPrepare = nullptr;
            // A following statement that yields no result freed the published cursor.
            if (stmt.FollowOn() && (stmt.StatementKind() != skSelect || version < SERVER_VERSION_EXEC_PARAMS)) st.Unpublish();
        };
        TDataCursor* result = nullptr;
        try {
            stmt.Execute(result, params ? static_cast<uint16_t>(params->Descs.size()) : 0,
                         params ? params->Pointers.data() : nullptr, params ? params->Record.data() : nullptr,
                         progressWanted ? 1 : 0);
        } catch (...) {
            endRun();
            throw;
        }
        endRun();
        const double time = stmt.ExecutionTime();
        uint64_t bits = 0;
        std::memcpy(&bits, &time, sizeof bits);
        reply.PutI64(static_cast<int64_t>(bits));
        reply.PutU32(stmt.RowsAffected());
        if (stmt.StatementKind() != skSelect || !result) return;
        if (version >= SERVER_VERSION_EXEC_PARAMS) {
            st.Publish(result);
            PutCursorState(reply, *result);
        } else {
            PutResultOpen(s, reply, st, result);
        }
    });
}

}  // namespace kura::test
