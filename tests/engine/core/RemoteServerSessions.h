#pragma once
// Test server area: connection, login, session parameters, databases, passwords and
// transactions.
#include "tests/engine/core/RemoteServerCore.h"

namespace kura::test {

inline void RegisterSessionArea(TServerAreas& areas) {
    areas.On(REQUEST_CONNECTPARAMS, [](TServerState& s, const TServerRequest&, TRemoteRequest& reply) {
        reply.PutU32(s.SessionId);
        if (s.Version) reply.PutI64(*s.Version);
    });
    areas.On(REQUEST_RECONNECT, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        if (req.Number(1) != s.SessionId) FailReply(reply, KURA_REMOTECONNECT, {});
    });
    areas.On(REQUEST_LOGIN, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        if (req.Text(0) != s.User || req.Text(1) != s.Password) FailReply(reply, KURA_REMOTEINVLOGIN, {});
    });
    areas.On(REQUEST_LOGOUT, [](TServerState&, const TServerRequest&, TRemoteRequest&) {});
    areas.On(REQUEST_SESSIONPARAMS, [](TServerState& s, const TServerRequest& req, TRemoteRequest&) {
        s.Engine.SetForceBufferFlush(req.Flag(0));
        s.Engine.SetStrictChangeDetection(req.Flag(1));
        s.Engine.SetLockRetryCount(static_cast<uint8_t>(req.Number(2)));
        s.Engine.SetLockWaitTime(static_cast<uint16_t>(req.Number(3)));
        if (req.Params.size() == 6) s.Engine.SetLockProtocol(static_cast<uint8_t>(req.Number(4)));
        s.Engine.SetProgressSteps(static_cast<uint16_t>(req.Number(req.Params.size() - 1)));
    });
    areas.On(REQUEST_OPENDATADIR, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        const auto it = s.Databases.find(req.Text(0));
        if (it == s.Databases.end()) {
            FailReply(reply, KURA_REMOTENODB, {s.User, req.Text(0), "", "", "", ""});
            return;
        }
        TDataDirectory* dir = s.Engine.OpenDataDirectory(it->first, it->second);
        const uint32_t handle = s.NewHandle();
        s.Directories[handle] = dir;
        reply.PutU32(handle);
    });
    areas.On(REQUEST_CLOSEDATADIR, [](TServerState& s, const TServerRequest& req, TRemoteRequest&) {
        s.Engine.CloseDataDirectory(s.Directory(req));
        s.Directories.erase(static_cast<uint32_t>(req.Number(0)));
    });
    areas.On(REQUEST_ADDPASSWORD,
             [](TServerState& s, const TServerRequest& req, TRemoteRequest&) { s.Engine.AddPassword(req.Text(0)); });
    areas.On(REQUEST_DELPASSWORD,
             [](TServerState& s, const TServerRequest& req, TRemoteRequest&) { s.Engine.RemovePassword(req.Text(0)); });
    areas.On(REQUEST_DELALLPASSWORDS,
             [](TServerState& s, const TServerRequest&, TRemoteRequest&) { s.Engine.RemoveAllPasswords(); });
    areas.On(REQUEST_STARTTXN, [](TServerState& s, const TServerRequest& req, TRemoteRequest&) {
        s.Directory(req)->StartTransaction();
    });
    areas.On(REQUEST_COMMITTXN, [](TServerState& s, const TServerRequest& req, TRemoteRequest&) {
        s.Directory(req)->Commit(req.Flag(1), req.Flag(2));
    });
    areas.On(REQUEST_ROLLBACKTXN,
             [](TServerState& s, const TServerRequest& req, TRemoteRequest&) { s.Directory(req)->Rollback(); });
}

}  // namespace kura::test
