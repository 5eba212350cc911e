#include "engine/core/DataSession.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "engine/core/DataDirectory.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/OSServices.h"
#include "engine/files/Routines.h"
#include "platform/Sockets.h"
#include "tests/common/TestSupport.h"

using namespace kura;

namespace {

// Runs f and answers the engine error code and server context it raised.
template <class F>
std::pair<TEngineErrorCode, std::string> Raised(F f) {
    try {
        f();
    } catch (const EKuraEngineError& e) {
        return {e.ErrorCode(), e.ErrorContext(ctxServer)};
    }
    return {KURA_NONE, ""};
}

}  // namespace

TEST(DataSession, DefaultsAndDirectories) {
    const std::string startDir = AddTrailingBackslash(GetCurrentDir());
    TDataSession s;
    EXPECT_EQ(s.GetCreationFlag(), 0);
    EXPECT_EQ(s.GetProgressSteps(), 20);
    EXPECT_FALSE(s.GetForceBufferFlush());
    EXPECT_FALSE(s.GetStrictChangeDetection());
    EXPECT_EQ(s.GetLockRetryCount(), 15);
    EXPECT_EQ(s.GetLockWaitTime(), 100);
    EXPECT_EQ(s.GetLockProtocol(), lpPessimistic);
    EXPECT_FALSE(s.IsRemote());
    EXPECT_EQ(s.GetSessionType(), stLocal);
    EXPECT_TRUE(s.IsLAN());
    EXPECT_EQ(s.GetRemoteType(), rtLAN);
    EXPECT_FALSE(s.IsConnected());
    EXPECT_FALSE(s.IsLoggedIn());
    EXPECT_EQ(s.GetRemoteSessionId(), 0u);
    EXPECT_EQ(s.GetServerVersion(), 0);
    EXPECT_EQ(s.RemoteHost, "");
    EXPECT_EQ(s.RemoteAddress, "127.0.0.1");
    EXPECT_EQ(s.RemotePort, 12005);
    EXPECT_EQ(s.RemoteTimeout, 300);
    EXPECT_FALSE(s.RemoteTrace);
    EXPECT_EQ(s.RecordBufferSize, 16384);
    EXPECT_EQ(s.RecordBufferCount, 8192);
    EXPECT_EQ(s.IndexBufferSize, 16384);
    EXPECT_EQ(s.BlobBufferSize, 32768);
    EXPECT_EQ(s.BlobBufferCount, 8192);
    EXPECT_TRUE(s.Directories().empty());
    EXPECT_TRUE(s.GetPasswords().empty());

    // The private directory starts as the temporary one; the database path follows it.
    EXPECT_EQ(s.GetPrivateDir(), GetTempDir());
    EXPECT_EQ(s.GetDatabasePath(), GetTempDir());

    // The default directory is the current one at creation, not at use.
    test::TempDir elsewhere;
    ASSERT_EQ(chdir(elsewhere.path().c_str()), 0);
    s.SetPrivateDir("");
    const std::string seen = s.GetDatabasePath();
    ASSERT_EQ(chdir(StripTrailingBackslash(startDir).c_str()), 0);
    EXPECT_EQ(s.GetPrivateDir(), "");
    EXPECT_EQ(seen, startDir);
    EXPECT_EQ(s.GetDefaultDir(), startDir);

    // Trimmed, with exactly one separator at the end.
    s.SetPrivateDir("  /data/priv \t");
    EXPECT_EQ(s.GetPrivateDir(), "/data/priv\\");
    EXPECT_EQ(s.GetDatabasePath(), "/data/priv\\");
    s.SetPrivateDir("/data/other/");
    EXPECT_EQ(s.GetPrivateDir(), "/data/other/");
    s.SetPrivateDir("C:\\DB\\");
    EXPECT_EQ(s.GetPrivateDir(), "C:\\DB\\");
    // A short string: an over-long path is cut to 255 bytes.
    s.SetPrivateDir(std::string(300, 'd'));
    EXPECT_EQ(s.GetPrivateDir().size(), 255u);
}

TEST(DataSession, SettingsAndProgress) {
    TDataSession s;
    EXPECT_EQ(s.GetProgressInterval(), 5);
    s.SetProgressSteps(3);
    EXPECT_EQ(s.GetProgressInterval(), 33);
    s.SetProgressSteps(0);
    EXPECT_EQ(s.GetProgressInterval(), 100);
    s.SetProgressSteps(1000);
    EXPECT_EQ(s.GetProgressInterval(), 0);

    s.SetForceBufferFlush(true);
    s.SetStrictChangeDetection(true);
    s.SetLockRetryCount(2);
    s.SetLockWaitTime(5);
    s.SetLockProtocol(lpOptimistic);
    EXPECT_TRUE(s.GetForceBufferFlush());
    EXPECT_TRUE(s.GetStrictChangeDetection());
    EXPECT_EQ(s.GetLockRetryCount(), 2);
    EXPECT_EQ(s.GetLockWaitTime(), 5);
    EXPECT_EQ(s.GetLockProtocol(), lpOptimistic);

    // A remote session that is not logged in stores its settings without a server.
    s.SetRemote(true);
    s.SetLockProtocol(lpPessimistic);
    s.SetLockRetryCount(7);
    EXPECT_EQ(s.GetLockProtocol(), lpPessimistic);
    EXPECT_EQ(s.GetLockRetryCount(), 7);
    s.SetRemoteType(false);
    EXPECT_EQ(s.GetRemoteType(), rtInternet);

    // Callbacks do nothing unassigned and are called once assigned.
    EXPECT_EQ(s.DoTableAccess(nullptr, taDrop), 0);
    s.DoRemoteTrace("nobody listens");
    uint8_t seenAccess = 255;
    s.SetTableAccessEvent([&](TDataCursor*, uint8_t access) {
        seenAccess = access;
        return 42;
    });
    EXPECT_EQ(s.DoTableAccess(nullptr, taUpdate), 42);
    EXPECT_EQ(seenAccess, taUpdate);
    std::string trace;
    s.SetRemoteTraceEvent([&](const std::string& m) { trace = m; });
    s.DoRemoteTrace("hello");
    EXPECT_EQ(trace, "hello");
}

TEST(DataSession, Passwords) {
    TDataSession s;
    s.AddPassword("abc");
    s.AddPassword("abc");
    s.AddPassword("");
    EXPECT_EQ(s.GetPasswords().size(), 1u);
    EXPECT_TRUE(s.PasswordExists("abc"));
    EXPECT_FALSE(s.PasswordExists("ABC"));
    EXPECT_FALSE(s.PasswordExists("ab"));
    EXPECT_FALSE(s.PasswordExists(std::string("abc\0d", 5)));

    // Double-byte passwords compare whole; the case-insensitive folding of
    // single bytes must not touch them.
    const std::string kanji = "\x8A\xBF\x8E\x9A";  // two CP932 characters
    s.AddPassword(kanji);
    s.AddPassword("ABC");
    EXPECT_EQ(s.GetPasswords().size(), 3u);
    EXPECT_TRUE(s.PasswordExists(kanji));

    s.RemovePassword("unknown");
    EXPECT_EQ(s.GetPasswords().size(), 3u);
    s.RemovePassword("abc");
    EXPECT_FALSE(s.PasswordExists("abc"));
    EXPECT_TRUE(s.PasswordExists("ABC"));
    s.RemoveAllPasswords();
    EXPECT_TRUE(s.GetPasswords().empty());

    // Longer texts are short strings: compared and stored by their first 255 bytes.
    const std::string longPassword(300, 'p');
    s.AddPassword(longPassword);
    EXPECT_EQ(s.GetPasswords()[0].size(), 255u);
    EXPECT_TRUE(s.PasswordExists(longPassword));
}

TEST(DataSession, DatabasesAreCountedByPath) {
    test::TempDir dir;
    TDataSession s;

    // One database per path, whatever the name; one reference per open.
    TDataDirectory* a = s.OpenDataDirectory("DB", dir.path());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->Session, &s);
    EXPECT_EQ(a->Name, "DB");
    EXPECT_EQ(a->Path, dir.path() + "\\");
    EXPECT_EQ(a->References, 1);
    EXPECT_EQ(s.OpenDataDirectory("DB", dir.path()), a);
    EXPECT_EQ(s.OpenDataDirectory("Other", "  " + dir.path() + "/ "), a);
    EXPECT_EQ(a->Name, "DB");
    EXPECT_EQ(a->References, 3);
    ASSERT_EQ(s.Directories().size(), 1u);

    // Paths compare without regard to case.
    TDataDirectory* upper = s.OpenDataDirectory("UP", "/TMP/Kura-X");
    EXPECT_EQ(s.OpenDataDirectory("up", "/tmp/kura-x"), upper);
    EXPECT_EQ(upper->References, 2);

    // An empty path is the default directory.
    TDataDirectory* def = s.OpenDataDirectory("DEF", "");
    EXPECT_EQ(def->Path, s.GetDefaultDir());
    EXPECT_EQ(s.OpenDataDirectory("X", s.GetDefaultDir()), def);

    // "Memory" in any case is the in-memory database; without a path it has none.
    TDataDirectory* mem = s.OpenDataDirectory("memory", "");
    EXPECT_EQ(mem->Path, "");
    EXPECT_NE(mem, def);
    EXPECT_EQ(s.OpenDataDirectory("MEMORY", ""), mem);
    ASSERT_EQ(s.Directories().size(), 4u);

    // Closing drops one reference; the last close frees and unlists it.
    s.CloseDataDirectory(a);
    s.CloseDataDirectory(a);
    EXPECT_EQ(a->References, 1);
    EXPECT_EQ(s.Directories().size(), 4u);
    s.CloseDataDirectory(a);
    EXPECT_EQ(s.Directories().size(), 3u);
    // Closing a freed one, nil or another session's database does nothing.
    s.CloseDataDirectory(a);
    s.CloseDataDirectory(nullptr);
    TDataSession other;
    TDataDirectory* foreign = other.OpenDataDirectory("DB", dir.path());
    s.CloseDataDirectory(foreign);
    EXPECT_EQ(foreign->References, 1);
    EXPECT_EQ(s.Directories().size(), 3u);

    // Reopening after the last close makes a new database.
    TDataDirectory* again = s.OpenDataDirectory("DB", dir.path());
    EXPECT_EQ(again->References, 1);
    EXPECT_EQ(s.Directories().back(), again);

    // Databases still open when the sessions end are freed with them (ASan checks).
}

TEST(DataSession, RemoteNeedsAServer) {
    TDataSession s;
    s.SetRemote(true);
    // A port nobody listens on any more.
    {
        platform::TcpListener closed;
        ASSERT_TRUE(closed.Listen(0));
        s.RemotePort = closed.Port();
    }
    EXPECT_TRUE(s.IsRemote());
    EXPECT_EQ(s.GetServerName(), "127.0.0.1");

    // Everything that would talk to the server fails with the server's name.
    auto r = Raised([&] { s.OpenDataDirectory("DB", ""); });
    EXPECT_EQ(r.first, KURA_REMOTECONNECT);
    EXPECT_EQ(r.second, "127.0.0.1");
    s.RemoteHost = "kura-server";
    EXPECT_EQ(s.GetServerName(), "kura-server");
    r = Raised([&] { s.AddPassword("abc"); });
    EXPECT_EQ(r.first, KURA_REMOTECONNECT);
    EXPECT_EQ(r.second, "kura-server");
    EXPECT_EQ(Raised([&] { s.RemovePassword("abc"); }).first, KURA_REMOTECONNECT);
    EXPECT_EQ(Raised([&] { s.RemoveAllPasswords(); }).first, KURA_REMOTECONNECT);
    EXPECT_TRUE(s.Directories().empty());

    // Local-only databases are found by trimmed name without regard to case, and
    // have neither path nor handle.
    TDataDirectory* a = s.OpenDataDirectory("Result", "/ignored", true);
    EXPECT_EQ(a->Path, "");
    EXPECT_EQ(a->RemoteHandle, 0u);
    EXPECT_EQ(s.OpenDataDirectory(" RESULT ", "", true), a);
    TDataDirectory* b = s.OpenDataDirectory("Other", "/ignored", true);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->References, 2);

    // Neither a forced close nor the last close of a local-only database needs the
    // server: the server never heard of it.
    s.CloseDataDirectory(b, true);
    EXPECT_EQ(s.Directories().size(), 1u);
    s.CloseDataDirectory(a);
    EXPECT_EQ(a->References, 1);
    s.CloseDataDirectory(a);
    EXPECT_TRUE(s.Directories().empty());
}
