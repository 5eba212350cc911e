// Round trips of the remote channel over loopback against the same work done locally:
// a table-existence check (one small request, one 1-byte reply) and a closed table's
// data header (a 127-byte reply), on a LAN connection and on an internet connection
// whose frames are compressed at zlib level 9; then 100,000 primary-key lookups and a
// scan of 100,000 records through an open cursor. The server is the tests' loopback
// server, which answers through our own local engine and counts the frames it sees
// (requests, replies and callback frames both ways), so "round trips/op" is frames / 2
// per operation. "remote/local" is the time per operation against the local run of
// the same benchmark (run first).
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <string>

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
            server->KeepRequests = false;
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
    uint64_t Frames() const { return server ? server->Frames() : 0; }
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
        const uint64_t frames = f.Frames();
        for (auto _ : state) benchmark::DoNotOptimize(f.dir->TableExists("STAFF", false));
        Label(state);
        state.counters["round trips/op"] =
            static_cast<double>(f.Frames() - frames) / 2.0 / static_cast<double>(state.iterations());
    }
    DoneEngineLibrary();
}
BENCHMARK(BM_TableExists)->Arg(kLocal)->Arg(kLan)->Arg(kInternet)->Unit(benchmark::kMicrosecond);

void BM_DataHeader(benchmark::State& state) {
    InitEngineLibrary();
    {
        Fixture f(static_cast<int>(state.range(0)));
        uint8_t header[DATA_HEADER_SIZE];
        const uint64_t frames = f.Frames();
        for (auto _ : state) {
            f.cursor->GetDataHeader(header);
            benchmark::DoNotOptimize(header[0]);
        }
        Label(state);
        state.counters["round trips/op"] =
            static_cast<double>(f.Frames() - frames) / 2.0 / static_cast<double>(state.iterations());
    }
    DoneEngineLibrary();
}
BENCHMARK(BM_DataHeader)->Arg(kLocal)->Arg(kLan)->Arg(kInternet)->Unit(benchmark::kMicrosecond);

// ---- An open cursor on 100,000 records ---------------------------------------------------

constexpr int kRecords = 100000;

// The table is made once, by a local session of its own, and shared by every run.
const std::string& BigFolder() {
    static TempDir folder;
    static const bool made = [] {
        TDataSession s;
        TDataDirectory* d = s.OpenDataDirectory("DB", folder.path());
        TableBuilder b;
        b.Field("Id", fldINT32);
        b.Field("Name", fldZSTRING, 20);
        b.Primary({1});
        TDataTable* table = nullptr;
        d->CreateTable(table, "BIG", false, false, b.Def);
        d->CloseTable(table, false, false, false);
        TDataCursor c(d);
        c.SetTableName("BIG");
        c.SetExclusive(true);
        c.OpenCursor();
        std::vector<uint8_t> record(c.GetCursorRecordSize());
        for (int32_t id = 1; id <= kRecords; ++id) {
            std::fill(record.begin(), record.end(), 0);
            c.PutTableField(1, record.data(), &id);
            std::string name = "N" + std::to_string(id);
            name.resize(24, '\0');
            c.PutTableField(2, record.data(), name.data());
            c.AppendRecord(record.data(), false);
        }
        c.CloseCursor(false);
        s.FreeDirectories();
        return true;
    }();
    (void)made;
    return folder.path();
}

struct OpenFixture {
    explicit OpenFixture(int mode) {
        const std::string& path = BigFolder();
        if (mode == kLocal) {
            dir = session.OpenDataDirectory("DB", path);
        } else {
            server = std::make_unique<TRemoteTestServer>();
            server->KeepRequests = false;
            server->AddDatabase("DB", path);
            server->Configure(session, mode == kLan);
            session.RemoteUser = "admin";
            session.RemotePassword = "secret";
            session.Connect();
            session.Login();
            dir = session.OpenDataDirectory("DB", "");
        }
        cursor = std::make_unique<TDataCursor>(dir);
        cursor->SetTableName("BIG");
        cursor->OpenCursor();
    }
    ~OpenFixture() {
        cursor.reset();
        session.FreeDirectories();
        server.reset();
    }
    uint64_t Frames() const { return server ? server->Frames() : 0; }
    TDataSession session;
    std::unique_ptr<TRemoteTestServer> server;
    TDataDirectory* dir = nullptr;
    std::unique_ptr<TDataCursor> cursor;
};

// Time per operation of each benchmark's local run, for the ratio of the others.
std::map<std::string, double>& LocalTimes() {
    static std::map<std::string, double> times;
    return times;
}

void Report(benchmark::State& state, const std::string& name, double seconds, double ops, uint64_t frames) {
    const double perOp = seconds / ops;
    state.counters["ns/op"] = perOp * 1e9;
    state.counters["round trips/op"] = static_cast<double>(frames) / 2.0 / ops;
    if (state.range(0) == kLocal) {
        LocalTimes()[name] = perOp;
    } else if (const auto it = LocalTimes().find(name); it != LocalTimes().end() && it->second > 0) {
        state.counters["remote/local"] = perOp / it->second;
    }
}

// One iteration is one lookup of a random primary key, with the record read back.
void BM_PrimaryKeyLookup(benchmark::State& state) {
    InitEngineLibrary();
    {
        OpenFixture f(static_cast<int>(state.range(0)));
        TDataCursor& c = *f.cursor;
        std::mt19937 random(7);
        std::uniform_int_distribution<int32_t> ids(1, kRecords);
        std::vector<uint8_t> record(c.GetCursorRecordSize());
        std::vector<uint8_t> key(RANGE_KEY_SIZE);
        const uint64_t frames = f.Frames();
        const auto start = std::chrono::steady_clock::now();
        for (auto _ : state) {
            std::fill(record.begin(), record.end(), 0);
            const int32_t id = ids(random);
            c.PutTableField(1, record.data(), &id);
            c.BuildIndexKey(record.data(), key.data());
            if (c.FindKey(1, key.data(), 0, 0, 0, record.data()) != 1) state.SkipWithError("key not found");
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        Report(state, "lookup", seconds, static_cast<double>(state.iterations()), f.Frames() - frames);
        Label(state);
    }
    DoneEngineLibrary();
}
BENCHMARK(BM_PrimaryKeyLookup)
    ->Arg(kLocal)->Arg(kLan)->Arg(kInternet)
    ->Iterations(kRecords)->Unit(benchmark::kMicrosecond);

// One iteration is a scan of all 100,000 records from the first; the second argument
// is how many records one remote read brings (the cursor's block size).
void BM_Scan(benchmark::State& state) {
    InitEngineLibrary();
    {
        OpenFixture f(static_cast<int>(state.range(0)));
        TDataCursor& c = *f.cursor;
        c.FBlockRecordCount = static_cast<uint32_t>(state.range(1));
        std::vector<uint8_t> record(c.GetCursorRecordSize());
        const uint64_t frames = f.Frames();
        double records = 0;
        const auto start = std::chrono::steady_clock::now();
        for (auto _ : state) {
            c.SetToBegin();
            int32_t seen = 0;
            while (c.GetNextRecord(record.data()) == 0) ++seen;
            if (seen != kRecords) state.SkipWithError("scan missed records");
            records += seen;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        Report(state, "scan" + std::to_string(state.range(1)), seconds, records, f.Frames() - frames);
        state.SetItemsProcessed(static_cast<int64_t>(records));
        Label(state);
    }
    DoneEngineLibrary();
}
BENCHMARK(BM_Scan)
    ->Args({kLocal, 1})->Args({kLan, 1})->Args({kInternet, 1})
    ->Args({kLocal, 100})->Args({kLan, 100})->Args({kInternet, 100})
    ->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
