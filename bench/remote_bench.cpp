// Round trips of the remote channel over loopback against the same work done locally:
// a table-existence check (one small request, one 1-byte reply) and a closed table's
// data header (a 127-byte reply), on a LAN connection and on an internet connection
// whose frames are compressed at zlib level 9. The server is the tests' loopback
// server, which answers through our own local engine.
#include <benchmark/benchmark.h>

#include <memory>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/EngineLibrary.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CursorTableTestSupport.h"
#include "tests/engine/core/RemoteTestServer.h"

using namespace kura;
using namespace kura::test;

namespace {

enum Mode { kLocal = 0, kLan = 1, kInternet = 2 };

struct Fixture {
    explicit Fixture(int mode) {
        maker = makerSession.OpenDataDirectory("DB", folder.path());
        TableBuilder b;
        b.Field("Id", fldINT32);
        b.Field("Name", fldZSTRING, 20);
        b.Primary({1});
        TDataTable* table = nullptr;
        maker->CreateTable(table, "STAFF", false, false, b.Def);
        maker->CloseTable(table, false, false, false);
        if (mode == kLocal) {
            dir = session.OpenDataDirectory("DB", folder.path());
        } else {
            server = std::make_unique<TRemoteTestServer>();
            server->AddDatabase("DB", folder.path());
            server->Configure(session, mode == kLan);
            session.RemoteUser = "admin";
            session.RemotePassword = "secret";
            session.Connect();
            session.Login();
            dir = session.OpenDataDirectory("DB", "");
        }
        cursor = std::make_unique<TDataCursor>(dir);
        cursor->SetTableName("STAFF");
    }
    ~Fixture() {
        cursor.reset();
        session.FreeDirectories();
        server.reset();
    }
    TempDir folder;
    TDataSession makerSession;
    TDataDirectory* maker = nullptr;
    std::unique_ptr<TRemoteTestServer> server;
    TDataSession session;
    TDataDirectory* dir = nullptr;
    std::unique_ptr<TDataCursor> cursor;
};

void Label(benchmark::State& state) {
    static const char* const names[] = {"local", "remote LAN", "remote internet (zlib 9)"};
    state.SetLabel(names[state.range(0)]);
}

void BM_TableExists(benchmark::State& state) {
    InitEngineLibrary();
    {
        Fixture f(static_cast<int>(state.range(0)));
        for (auto _ : state) benchmark::DoNotOptimize(f.dir->TableExists("STAFF", false));
        Label(state);
        state.counters["round trips/op"] = state.range(0) == kLocal ? 0 : 1;
    }
    DoneEngineLibrary();
}
BENCHMARK(BM_TableExists)->Arg(kLocal)->Arg(kLan)->Arg(kInternet)->Unit(benchmark::kMicrosecond);

void BM_DataHeader(benchmark::State& state) {
    InitEngineLibrary();
    {
        Fixture f(static_cast<int>(state.range(0)));
        uint8_t header[DATA_HEADER_SIZE];
        for (auto _ : state) {
            f.cursor->GetDataHeader(header);
            benchmark::DoNotOptimize(header[0]);
        }
        Label(state);
        state.counters["round trips/op"] = state.range(0) == kLocal ? 0 : 1;
    }
    DoneEngineLibrary();
}
BENCHMARK(BM_DataHeader)->Arg(kLocal)->Arg(kLan)->Arg(kInternet)->Unit(benchmark::kMicrosecond);

}  // namespace
