// The remote channel against the loopback test server: connection, login, session
// parameters, the frames on the wire, compression, and every scripted fault.
#include "engine/core/RemoteChannel.h"

#include <gtest/gtest.h>

#include "engine/core/DataSession.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/Compression.h"
#include "engine/files/OSServices.h"
#include "platform/Sockets.h"
#include "platform/Sync.h"
#include "tests/engine/core/RemoteTestServer.h"

using namespace kura;
using kura::test::TFault;
using kura::test::TRemoteTestServer;
using kura::test::TServerAction;
using kura::test::TServerRequest;

namespace {

struct Raised {
    TEngineErrorCode Code = 0;
    std::string Context[7];
};

Raised RaisedBy(const std::function<void()>& f) {
    Raised r;
    try {
        f();
    } catch (const EKuraEngineError& e) {
        r.Code = e.ErrorCode();
        for (int i = 0; i < 7; ++i) r.Context[i] = e.ErrorContext(i);
    }
    return r;
}

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) v.push_back(static_cast<uint8_t>(b));
    return v;
}

std::vector<TServerRequest> OfCode(const std::vector<TServerRequest>& all, uint16_t code) {
    std::vector<TServerRequest> out;
    for (const auto& r : all)
        if (r.Code == code) out.push_back(r);
    return out;
}

class RemoteChannel : public ::testing::Test {
protected:
    void SetUp() override {
        server.Configure(session);
        session.RemoteUser = "admin";
        session.RemotePassword = "secret";
    }
    void Start() {
        session.Connect();
        session.Login();
    }
    TRemoteTestServer server;
    TDataSession session;
};

}  // namespace

TEST_F(RemoteChannel, ConnectLoginAndSessionParamsGoOutByteForByte) {
    Start();
    EXPECT_TRUE(session.IsConnected());
    EXPECT_TRUE(session.IsLoggedIn());
    EXPECT_EQ(session.GetRemoteSessionId(), 4711u);
    EXPECT_EQ(session.GetServerVersion(), 30400);
    session.SendSessionParams();
    session.Logout();
    EXPECT_FALSE(session.IsConnected());
    EXPECT_FALSE(session.IsLoggedIn());

    const auto requests = server.Requests(4);
    ASSERT_EQ(requests.size(), 4u);
    // CONNECTPARAMS: version 33000, LAN 1, "<computer><pid>", thread id.
    const TServerRequest& connect = requests[0];
    EXPECT_EQ(connect.Code, REQUEST_CONNECTPARAMS);
    ASSERT_EQ(connect.Params.size(), 4u);
    EXPECT_EQ(connect.Params[0], Bytes({0xE8, 0x80, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(connect.Params[1], Bytes({1}));
    EXPECT_EQ(connect.Text(2), GetComputerName() + std::to_string(platform::GetCurrentProcessId()));
    EXPECT_EQ(connect.Number(3), platform::GetCurrentThreadId());

    EXPECT_EQ(requests[1].Wire, Bytes({29, 0, 0, 0, 1, 0, 19, 0, 0, 0,  //
                                       5, 0, 0, 0, 'a', 'd', 'm', 'i', 'n',   //
                                       6, 0, 0, 0, 's', 'e', 'c', 'r', 'e', 't'}));
    // Flush 0, strict 0, retries 15, wait 100, protocol 0 (server 3.04), steps 20.
    EXPECT_EQ(requests[2].Wire, Bytes({42, 0, 0, 0, 3, 0, 32, 0, 0, 0,  //
                                       1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 15,  //
                                       2, 0, 0, 0, 100, 0, 1, 0, 0, 0, 0, 2, 0, 0, 0, 20, 0}));
    EXPECT_EQ(requests[3].Wire, Bytes({10, 0, 0, 0, 2, 0, 0, 0, 0, 0}));
}

TEST_F(RemoteChannel, AnOldServerGetsNoLockProtocol) {
    server.Version.reset();
    Start();
    EXPECT_EQ(session.GetServerVersion(), SERVER_VERSION_NONE_REPORTED);
    session.SetLockProtocol(lpOptimistic);  // stored, nothing sent
    EXPECT_EQ(session.GetLockProtocol(), lpOptimistic);
    session.SetLockWaitTime(250);  // sent, without the protocol
    const auto params = OfCode(server.Requests(), REQUEST_SESSIONPARAMS);
    ASSERT_EQ(params.size(), 1u);
    ASSERT_EQ(params[0].Params.size(), 5u);
    EXPECT_EQ(params[0].Number(3), 250u);
    EXPECT_EQ(server.Engine.GetLockWaitTime(), 250);
}

TEST_F(RemoteChannel, SettersResendTheParametersWhenLoggedIn) {
    session.SetLockRetryCount(3);  // not logged in: nothing goes out
    Start();
    session.SetForceBufferFlush(true);
    session.SetLockProtocol(lpOptimistic);
    session.SetProgressSteps(5);
    EXPECT_EQ(OfCode(server.Requests(), REQUEST_SESSIONPARAMS).size(), 3u);
    EXPECT_TRUE(server.Engine.GetForceBufferFlush());
    EXPECT_EQ(server.Engine.GetLockRetryCount(), 3);
    EXPECT_EQ(server.Engine.GetLockProtocol(), lpOptimistic);
    EXPECT_EQ(server.Engine.GetProgressSteps(), 5);
}

TEST_F(RemoteChannel, ARefusedConnectionRaisesConnectWithTheServerName) {
    platform::TcpListener closed;
    ASSERT_TRUE(closed.Listen(0));
    session.RemotePort = closed.Port();
    closed.Close();
    const Raised r = RaisedBy([&] { session.Connect(); });
    EXPECT_EQ(r.Code, KURA_REMOTECONNECT);
    EXPECT_EQ(r.Context[ctxServer], "127.0.0.1");
    EXPECT_FALSE(session.IsConnected());
}

TEST_F(RemoteChannel, WrongLoginsAskThreeTimesThenFail) {
    session.RemotePassword = "wrong";
    int asked = 0;
    session.SetRemoteLoginEvent([&](std::string& user, std::string& password) {
        ++asked;
        user = "admin";
        password = "still wrong";
        return true;
    });
    session.Connect();
    const Raised r = RaisedBy([&] { session.Login(); });
    EXPECT_EQ(r.Code, KURA_REMOTEINVLOGIN);
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(session.IsConnected());
    EXPECT_EQ(OfCode(server.Requests(), REQUEST_LOGIN).size(), 3u);

    // The prompt may put it right on a later attempt.
    asked = 0;
    session.RemoteUser = "admin";
    session.RemotePassword = "wrong";
    session.SetRemoteLoginEvent([&](std::string& user, std::string& password) {
        ++asked;
        user = "admin";
        password = "secret";
        return true;
    });
    session.Connect();
    session.Login();
    EXPECT_TRUE(session.IsLoggedIn());
    EXPECT_EQ(asked, 1);
}

TEST_F(RemoteChannel, MissingCredentialsWithoutAPromptAbortSilently) {
    session.RemoteUser.clear();
    session.Connect();
    EXPECT_THROW(session.Login(), EAbort);
    EXPECT_FALSE(session.IsConnected());
    EXPECT_TRUE(OfCode(server.Requests(), REQUEST_LOGIN).empty());
}

TEST_F(RemoteChannel, OtherLoginRefusalsRaiseTheirCodeWithTheUser) {
    server.SetScript([](const TServerRequest& r) {
        TServerAction a;
        if (r.Code == REQUEST_LOGIN) {
            TRemoteRequest reply;
            reply.SetCode(KURA_REMOTEMAXCONNECT);
            reply.Finish(false);
            a.Fault = TFault::Raw;
            a.Raw.assign(reply.Data(), reply.Data() + reply.Header().TotalSize);
        }
        return a;
    });
    session.Connect();
    const Raised r = RaisedBy([&] { session.Login(); });
    EXPECT_EQ(r.Code, KURA_REMOTEMAXCONNECT);
    EXPECT_EQ(r.Context[ctxUser], "admin");
    EXPECT_FALSE(session.IsConnected());
}

TEST_F(RemoteChannel, AReplyDroppedMidFrameIsRepeatedOnceAfterAReconnection) {
    Start();
    int drops = 1;
    server.SetScript([&](const TServerRequest& r) {
        TServerAction a;
        if (r.Code == REQUEST_ADDPASSWORD && drops-- > 0) a.Fault = TFault::DropMidFrame;
        return a;
    });
    session.AddPassword("pw");
    EXPECT_TRUE(session.IsConnected());
    EXPECT_TRUE(server.Engine.PasswordExists("pw"));
    const auto reconnects = OfCode(server.Requests(), REQUEST_RECONNECT);
    ASSERT_EQ(reconnects.size(), 1u);
    EXPECT_EQ(reconnects[0].Number(1), 4711u);  // the server's session id comes back
    EXPECT_EQ(reconnects[0].Connection, 2);
    EXPECT_EQ(OfCode(server.Requests(), REQUEST_ADDPASSWORD).size(), 2u);

    // Dropped twice: the loss is reported, and the next request re-connects.
    drops = 2;
    const Raised r = RaisedBy([&] { session.AddPassword("again"); });
    EXPECT_EQ(r.Code, KURA_REMOTECOMMLOST);
    EXPECT_EQ(r.Context[ctxServer], "127.0.0.1");
    EXPECT_FALSE(session.IsConnected());
    session.RemovePassword("pw");
    EXPECT_TRUE(session.IsConnected());
    EXPECT_FALSE(server.Engine.PasswordExists("pw"));
}

TEST_F(RemoteChannel, AClosedConnectionBeforeTheReplyCountsAsLost) {
    Start();
    int closes = 1;
    server.SetScript([&](const TServerRequest& r) {
        TServerAction a;
        if (r.Code == REQUEST_DELALLPASSWORDS && closes-- > 0) a.Fault = TFault::Close;
        return a;
    });
    session.RemoveAllPasswords();
    EXPECT_EQ(OfCode(server.Requests(), REQUEST_DELALLPASSWORDS).size(), 2u);
}

TEST_F(RemoteChannel, AReplyLaterThanTheTimeLimitIsStillAccepted) {
    session.RemoteTimeout = 1;
    Start();
    server.SetScript([](const TServerRequest& r) {
        TServerAction a;
        if (r.Code == REQUEST_ADDPASSWORD) {
            a.Fault = TFault::Delay;
            a.DelayMs = 2300;
        }
        return a;
    });
    session.AddPassword("late");
    EXPECT_TRUE(server.Engine.PasswordExists("late"));
    EXPECT_TRUE(session.IsConnected());
}

TEST_F(RemoteChannel, MalformedRepliesRaiseUncompressAndDropTheConnection) {
    Start();
    struct Case {
        const char* name;
        std::vector<uint8_t> raw;
    };
    const std::vector<Case> cases = {
        // OPENDATADIR's handle parameter claims 100 bytes in a 18-byte frame.
        {"parameter past the end", Bytes({18, 0, 0, 0, 0, 0, 8, 0, 0, 0, 100, 0, 0, 0, 1, 2, 3, 4})},
        {"handle of 8 bytes", Bytes({22, 0, 0, 0, 0, 0, 12, 0, 0, 0, 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8})},
        {"total below a header", Bytes({6, 0, 0, 0, 0, 0})},
        {"total of 4 GiB", Bytes({0xF0, 0xFF, 0xFF, 0xFF, 0, 0, 0xE6, 0xFF, 0xFF, 0xFF})},
        {"payload size that disagrees", Bytes({14, 0, 0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0})},
    };
    server.AddDatabase("DB", "/tmp");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.SetScript([&](const TServerRequest& r) {
            TServerAction a;
            if (r.Code == REQUEST_OPENDATADIR) {
                a.Fault = TFault::Raw;
                a.Raw = c.raw;
            }
            return a;
        });
        EXPECT_EQ(RaisedBy([&] { session.OpenDataDirectory("DB", ""); }).Code, KURA_UNCOMPRESS);
        EXPECT_FALSE(session.IsConnected());
        EXPECT_TRUE(session.Directories().empty());
    }
    // The next request re-connects and works.
    server.SetScript(nullptr);
    TDataDirectory* dir = session.OpenDataDirectory("DB", "");
    EXPECT_NE(dir->RemoteHandle, 0u);
    EXPECT_TRUE(session.IsConnected());
}

TEST_F(RemoteChannel, ErrorRepliesCarryTheServersContext) {
    Start();
    Raised r = RaisedBy([&] { session.OpenDataDirectory("Nowhere", ""); });
    EXPECT_EQ(r.Code, KURA_REMOTENODB);
    EXPECT_EQ(r.Context[ctxServer], "127.0.0.1");
    EXPECT_EQ(r.Context[ctxUser], "admin");
    EXPECT_EQ(r.Context[ctxDatabase], "Nowhere");
    EXPECT_TRUE(session.IsConnected());

    // An error whose payload stops after two strings still raises its code.
    server.SetScript([](const TServerRequest& req) {
        TServerAction a;
        if (req.Code == REQUEST_ADDPASSWORD) {
            a.Fault = TFault::Raw;
            a.Raw = Bytes({26, 0, 0, 0, KURA_KEYVIOL & 0xFF, KURA_KEYVIOL >> 8, 16, 0, 0, 0, 2, 0, 0, 0, 'u', '1', 2, 0, 0, 0, 'd', 'b', 9, 0, 0, 0});
        }
        return a;
    });
    r = RaisedBy([&] { session.AddPassword("x"); });
    EXPECT_EQ(r.Code, KURA_KEYVIOL);
    EXPECT_EQ(r.Context[ctxUser], "u1");
    EXPECT_EQ(r.Context[ctxDatabase], "db");
    EXPECT_EQ(r.Context[ctxTable], "");
}

TEST_F(RemoteChannel, CompressionChangesTheWireButNotTheResults) {
    for (const bool lan : {true, false}) {
        SCOPED_TRACE(lan ? "LAN" : "internet");
        TRemoteTestServer srv;
        TDataSession s;
        srv.LogIn(s, lan);
        const std::string long_password(200, 'p');
        s.AddPassword(long_password);
        EXPECT_TRUE(srv.Engine.PasswordExists(long_password));
        s.SetLockWaitTime(7);
        EXPECT_EQ(srv.Engine.GetLockWaitTime(), 7);
        const auto adds = OfCode(srv.Requests(), REQUEST_ADDPASSWORD);
        ASSERT_EQ(adds.size(), 1u);
        const uint32_t total = adds[0].Wire.size();
        if (lan) {
            EXPECT_EQ(total, 10u + 4 + 200);
        } else {
            EXPECT_LT(total, 10u + 4 + 200);
            std::vector<uint8_t> plain;
            DecompressBuf(adds[0].Wire.data() + 10, static_cast<int32_t>(total - 10), 1000, plain);
            EXPECT_EQ(plain.size(), 204u);
        }
        // The connection parameters are never compressed.
        EXPECT_EQ(OfCode(srv.Requests(), REQUEST_CONNECTPARAMS)[0].Params[1], Bytes({lan ? 1 : 0}));
    }
}

TEST_F(RemoteChannel, TracesNameRequestsAndReplies) {
    std::vector<std::string> lines;
    session.RemoteTrace = true;
    session.SetRemoteTraceEvent([&](const std::string& line) { lines.push_back(line); });
    Start();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0].rfind("Connection to port " + std::to_string(server.Port()) + " at host 127.0.0.1 completed in ", 0), 0u);
    EXPECT_EQ(lines[1].rfind("Send request - Code: REQUEST_CONNECTPARAMS Size: ", 0), 0u);
    EXPECT_EQ(lines[2].rfind("Receive reply - Code: KURA_NONE Size: 30 Total Time: ", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind("Send request - Code: REQUEST_LOGIN Size: 29", 0), 0u);
    for (const auto& l : lines) EXPECT_LE(l.size(), 255u);
}

TEST_F(RemoteChannel, ARefusedReconnectionRaisesTheServersCode) {
    Start();
    // The server forgot the session (a restart, say): the re-connection is refused.
    server.SessionId = 999;
    server.SetScript([](const TServerRequest& r) {
        TServerAction a;
        if (r.Code == REQUEST_ADDPASSWORD) a.Fault = TFault::DropMidFrame;
        return a;
    });
    const Raised r = RaisedBy([&] { session.AddPassword("pw"); });
    EXPECT_EQ(r.Code, KURA_REMOTECONNECT);
    EXPECT_EQ(r.Context[ctxServer], "127.0.0.1");
    EXPECT_FALSE(session.IsConnected());
    EXPECT_EQ(OfCode(server.Requests(), REQUEST_RECONNECT).size(), 1u);
}

TEST_F(RemoteChannel, FramesLargerThanOneChunkTravelWholeBothWays) {
    for (const bool lan : {true, false}) {
        SCOPED_TRACE(lan ? "LAN" : "internet");
        TRemoteTestServer srv;
        TDataSession s;
        srv.LogIn(s, lan);
        std::vector<uint8_t> big(100000 - 4);
        for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>((i * 7919) >> 5);
        // The reply echoes 200 000 bytes back: more than three chunks.
        std::vector<uint8_t> echo(200000);
        for (size_t i = 0; i < echo.size(); ++i) echo[i] = static_cast<uint8_t>(i * 31);
        srv.SetScript([&](const TServerRequest& r) {
            TServerAction a;
            if (r.Code == REQUEST_PUTBLOB) {
                TRemoteRequest reply;
                reply.SetCode(0);
                reply.PutParam(echo.data(), static_cast<uint32_t>(echo.size()));
                reply.Finish(!lan);
                a.Fault = TFault::Raw;
                a.Raw.assign(reply.Data(), reply.Data() + reply.Header().TotalSize);
            }
            return a;
        });
        TRemoteChannel& channel = s.Channel();
        channel.BeginRequest(REQUEST_PUTBLOB);
        channel.Request().PutParam(big.data(), static_cast<uint32_t>(big.size()));
        channel.Exchange();
        EXPECT_EQ(channel.Reply().GetBytes(REMOTE_MAX_FRAME), echo);
        const auto puts = OfCode(srv.Requests(), REQUEST_PUTBLOB);
        ASSERT_EQ(puts.size(), 1u);
        EXPECT_EQ(puts[0].Params.at(0), big);
        if (lan) {
            EXPECT_EQ(puts[0].Wire.size(), 100010u);
        } else {
            EXPECT_LT(puts[0].Wire.size(), 100010u);
        }
    }
}
