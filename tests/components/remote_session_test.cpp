// A remote session component against the loopback test server: activation connects,
// logs in (asking OnRemoteLogin when the server refuses) and sends the settings;
// settings changed while active go out again; deactivation logs out.
#include "engine/core/DataSession.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/engine/core/RemoteTestServer.h"

namespace kura::test {
namespace {

using RemoteSessions = ComponentTest;

std::vector<TServerRequest> OfCode(const std::vector<TServerRequest>& all, uint16_t code) {
    std::vector<TServerRequest> out;
    for (const auto& r : all)
        if (r.Code == code) out.push_back(r);
    return out;
}

TEST_F(RemoteSessions, ActivationConnectsLogsInAndSendsTheSettings) {
    TRemoteTestServer server;
    TKuraSession s(nullptr);
    s.SetSessionName("Remote");
    s.SetSessionType(stRemote);
    s.SetRemotePort(server.Port());
    s.SetRemoteUser("admin");
    s.SetRemotePassword("guess");
    s.SetLockRetryCount(9);
    int asked = 0;
    s.OnRemoteLogin = [&](TKuraSession*, std::string& user, std::string& password, bool& cont) {
        ++asked;
        EXPECT_EQ(user, "");  // a refused login clears what was tried
        user = "admin";
        password = "secret";
        cont = true;
    };
    std::vector<std::string> trace;
    s.SetRemoteTrace(true);
    s.OnRemoteTrace = [&](TKuraSession*, const std::string& line) { trace.push_back(line); };
    s.SetActive(true);
    ASSERT_TRUE(s.Active());
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(s.Handle()->IsLoggedIn());
    EXPECT_EQ(server.Engine.GetLockRetryCount(), 9);
    EXPECT_FALSE(trace.empty());

    s.SetLockWaitTime(33);
    EXPECT_EQ(server.Engine.GetLockWaitTime(), 33);

    s.SetActive(false);
    const auto all = server.Requests(6);
    EXPECT_EQ(OfCode(all, REQUEST_LOGIN).size(), 2u);
    EXPECT_EQ(OfCode(all, REQUEST_SESSIONPARAMS).size(), 2u);
    EXPECT_EQ(OfCode(all, REQUEST_LOGOUT).size(), 1u);
}

TEST_F(RemoteSessions, ACancelledLoginLeavesTheSessionInactive) {
    TRemoteTestServer server;
    TKuraSession s(nullptr);
    s.SetSessionName("Remote");
    s.SetSessionType(stRemote);
    s.SetRemotePort(server.Port());
    s.OnRemoteLogin = [](TKuraSession*, std::string&, std::string&, bool& cont) { cont = false; };
    EXPECT_THROW(s.SetActive(true), EAbort);
    EXPECT_FALSE(s.Active());
    EXPECT_TRUE(OfCode(server.Requests(), REQUEST_LOGIN).empty());
}

}  // namespace
}  // namespace kura::test
