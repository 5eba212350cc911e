#pragma once
// One cursor test, three ways: a value-parameterised fixture whose cursors belong to
// a local session, or to a remote session talking to the loopback test server over a
// LAN connection or an internet one (compressed frames). Tables are made and filled
// by a local session of their own, as another program would, so every mode reads
// the same files. Write a test once with TEST_P and let it run in all modes:
//
//   class MyCursorTest : public LocalOrRemoteCursor {};
//   TEST_P(MyCursorTest, ...) { MakeStaff("STAFF", 5); TDataCursor& c = Open("STAFF"); ... }
//   INSTANTIATE_LOCAL_AND_REMOTE(MyCursorTest);
//
// Reference() opens a local cursor on the same table for differential checks.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/engine/core/CursorTableTestSupport.h"
#include "tests/engine/core/RemoteTestServer.h"

namespace kura::test {

enum class TCursorMode { Local, RemoteLan, RemoteInternet };

inline std::string CursorModeName(const ::testing::TestParamInfo<TCursorMode>& info) {
    switch (info.param) {
        case TCursorMode::Local: return "Local";
        case TCursorMode::RemoteLan: return "RemoteLan";
        default: return "RemoteInternet";
    }
}

#define INSTANTIATE_LOCAL_AND_REMOTE(Fixture)                                                                \
    INSTANTIATE_TEST_SUITE_P(Modes, Fixture,                                                                 \
                             ::testing::Values(::kura::test::TCursorMode::Local,                            \
                                               ::kura::test::TCursorMode::RemoteLan,                        \
                                               ::kura::test::TCursorMode::RemoteInternet),                  \
                             ::kura::test::CursorModeName)

inline TEngineErrorCode EngineErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EKuraEngineError& e) {
        return e.ErrorCode();
    }
    return 0;
}

class LocalOrRemoteCursor : public ::testing::TestWithParam<TCursorMode> {
protected:
    void SetUp() override {
        maker = maker_session.OpenDataDirectory("DB", folder.path());
        if (!Remote()) {
            dir = session.OpenDataDirectory("DB", folder.path());
            return;
        }
        server = std::make_unique<TRemoteTestServer>();
        if (ServerVersion) server->Version = *ServerVersion;
        server->AddDatabase("DB", folder.path());
        server->LogIn(session, GetParam() == TCursorMode::RemoteLan);
        dir = session.OpenDataDirectory("DB", "");
    }
    void TearDown() override {
        cursors.clear();
        session.FreeDirectories();
        server.reset();
    }

    bool Remote() const { return GetParam() != TCursorMode::Local; }

    // STAFF-like table: Id INT32 (primary), Name ZSTRING(20) with the secondary index
    // "ByName"; record i (1-based) holds Id 10 * i and Name "N" + the id.
    void MakeStaff(const std::string& name, int count) {
        TableBuilder b;
        b.Field("Id", fldINT32);
        b.Field("Name", fldZSTRING, 20);
        b.Primary({1});
        b.Secondary("ByName", {2}, false);
        TDataTable* table = nullptr;
        ASSERT_EQ(maker->CreateTable(table, name, false, false, b.Def), 0);
        maker->CloseTable(table, false, false, false);
        Append(name, 1, count);
    }
    // Appends records first..last through the maker's own cursor.
    void Append(const std::string& name, int first, int last) {
        TDataCursor c(maker);
        c.SetTableName(name);
        c.OpenCursor();
        for (int i = first; i <= last; ++i) {
            RecordImage image(c);
            image.Int(1, 10 * i).Text(2, "N" + std::to_string(10 * i));
            c.AppendRecord(image.data(), false);
        }
    }

    // A cursor of the mode under test, open on the table.
    TDataCursor& Open(const std::string& name) {
        TDataCursor& c = Closed(name);
        c.OpenCursor();
        return c;
    }
    TDataCursor& Closed(const std::string& name) {
        cursors.push_back(std::make_unique<TDataCursor>(dir));
        cursors.back()->SetTableName(name);
        return *cursors.back();
    }
    // A local cursor of the maker's session on the same table.
    TDataCursor& Reference(const std::string& name) {
        cursors.push_back(std::make_unique<TDataCursor>(maker));
        cursors.back()->SetTableName(name);
        cursors.back()->OpenCursor();
        return *cursors.back();
    }

    // The engine version the test server reports; set before SetUp runs.
    std::optional<int64_t> ServerVersion;
    TempDir folder;
    TDataSession maker_session;
    TDataDirectory* maker = nullptr;
    std::unique_ptr<TRemoteTestServer> server;
    TDataSession session;
    TDataDirectory* dir = nullptr;
    std::vector<std::unique_ptr<TDataCursor>> cursors;
};

}  // namespace kura::test
