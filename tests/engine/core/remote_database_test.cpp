// Database and table-level behaviour run three times: in a local session, and in a
// remote session through the loopback test server (LAN, and internet with its
// compressed frames). Every mode must give the same results and the same errors.
#include <gtest/gtest.h>

#include <memory>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/EngineLibrary.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/engine/core/CursorTableTestSupport.h"
#include "tests/engine/core/LocalOrRemoteCursor.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kLibrary =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

// Tables are made by a local session of their own, as another program would.
class BothModes : public LocalOrRemoteCursor {
protected:
    void Make(const std::string& name) {
        TableBuilder b;
        b.Field("Id", fldINT32);
        b.Field("Name", fldZSTRING, 20);
        b.Primary({1});
        TDataTable* table = nullptr;
        ASSERT_EQ(maker->CreateTable(table, name, false, false, b.Def), 0);
        maker->CloseTable(table, false, false, false);
    }
    TDataCursor& Cursor(const std::string& name) { return Closed(name); }
};

}  // namespace

TEST_P(BothModes, TablesExistByNameWithOrWithoutTheirExtension) {
    Make("STAFF");
    EXPECT_TRUE(dir->TableExists("STAFF", false));
    EXPECT_TRUE(dir->TableExists("staff.dat", false));
    EXPECT_FALSE(dir->TableExists("NOBODY", false));
    EXPECT_FALSE(dir->TableExists("STAFF", true));
}

TEST_P(BothModes, TheDataHeaderOfAClosedTableIsTheFilesOwn) {
    Make("STAFF");
    uint8_t expected[DATA_HEADER_SIZE];
    TDataCursor reference(maker);
    reference.SetTableName("STAFF");
    reference.GetDataHeader(expected);
    uint8_t got[DATA_HEADER_SIZE];
    Cursor("STAFF").GetDataHeader(got);
    EXPECT_EQ(0, std::memcmp(expected, got, DATA_HEADER_SIZE));
    EXPECT_EQ(Cursor("STAFF").GetLocaleID(), reference.GetLocaleID());
    EXPECT_EQ(EngineErrorOf([&] { Cursor("NOBODY").GetDataHeader(got); }), KURA_OSENOENT);
}

TEST_P(BothModes, RenameAndDeleteGoThroughTheClosedCursor) {
    Make("STAFF");
    Make("OTHER");
    Cursor("STAFF").RenameTable("STAFF2");
    EXPECT_FALSE(dir->TableExists("STAFF", false));
    EXPECT_TRUE(dir->TableExists("STAFF2", false));
    Cursor("STAFF2").DeleteTable();
    EXPECT_FALSE(dir->TableExists("STAFF2", false));
    EXPECT_EQ(EngineErrorOf([&] { Cursor("STAFF2").DeleteTable(); }), KURA_OSENOENT);
    EXPECT_TRUE(dir->TableExists("OTHER", false));
}

TEST_P(BothModes, TransactionsStartCommitAndRollBack) {
    Make("STAFF");
    EXPECT_FALSE(dir->InTransaction());
    dir->StartTransaction();
    EXPECT_TRUE(dir->InTransaction());
    dir->Commit();
    EXPECT_FALSE(dir->InTransaction());
    dir->StartTransaction();
    dir->Rollback();
    EXPECT_FALSE(dir->InTransaction());
    dir->Rollback();  // nothing open: only frees unused tables
}

INSTANTIATE_LOCAL_AND_REMOTE(BothModes);

namespace {

std::vector<uint8_t> U16(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
std::vector<uint8_t> Str(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<TServerRequest> OfCode(const std::vector<TServerRequest>& all, uint16_t code) {
    std::vector<TServerRequest> out;
    for (const auto& r : all)
        if (r.Code == code) out.push_back(r);
    return out;
}

}  // namespace

TEST_P(BothModes, ServerCallbacksAreServedInsideAPendingRequest) {
    if (GetParam() == TCursorMode::Local) GTEST_SKIP() << "only a server calls back";
    Make("STAFF");
    TDataCursor& c = Cursor("STAFF");
    std::vector<std::string> seen;
    int asked = 0;
    c.Events().StatusNumber = [&](TDataCursor*, const std::string& t, uint16_t n) {
        seen.push_back(t + "#" + std::to_string(n));
    };
    c.Events().Progress = [&](TDataCursor*, uint16_t v) { seen.push_back("p" + std::to_string(v)); };
    c.Events().RestructureQuestion = [&](TDataCursor*, uint8_t kind, const std::string& t, uint8_t& a1, uint8_t& a2) {
        seen.push_back("q" + t);
        a1 = static_cast<uint8_t>(kind + 1);
        a2 = 7;
    };
    c.SetPasswordEvent([&](TDataCursor*) { return ++asked == 1; });
    server->SetScript([](const TServerRequest& r) {
        TServerAction a;
        if (r.Code == REQUEST_GETDATAHEADER) {
            a.Callbacks = {{{U16(2), Str("building"), U16(3)}, false},
                           {{U16(5), U16(50)}, false},
                           {{U16(0)}, true},
                           {{U16(8), {4}, Str("drop?")}, true},
                           {{U16(0)}, true}};
        }
        return a;
    });
    uint8_t header[DATA_HEADER_SIZE];
    c.GetDataHeader(header);
    EXPECT_EQ(seen, (std::vector<std::string>{"building#3", "p50", "qdrop?"}));
    EXPECT_EQ(asked, 2);
    const auto responses = OfCode(server->Requests(), REQUEST_CALLBACKRESPONSE);
    ASSERT_EQ(responses.size(), 3u);
    EXPECT_EQ(responses[0].Params, (std::vector<std::vector<uint8_t>>{{1}}));
    EXPECT_EQ(responses[1].Params, (std::vector<std::vector<uint8_t>>{{5}, {7}}));
    EXPECT_EQ(responses[2].Params, (std::vector<std::vector<uint8_t>>{{0}}));

    // A callback kind the client does not know drops the connection as malformed;
    // the next request re-connects.
    server->SetScript([](const TServerRequest& r) {
        TServerAction a;
        if (r.Code == REQUEST_GETDATAHEADER) a.Callbacks = {{{U16(77)}, false}};
        return a;
    });
    EXPECT_EQ(EngineErrorOf([&] { c.GetDataHeader(header); }), KURA_UNCOMPRESS);
    EXPECT_FALSE(session.IsConnected());
    server->SetScript(nullptr);
    EXPECT_TRUE(dir->TableExists("STAFF", false));
}

TEST_P(BothModes, CreateTableWritesTheSameDefinitionInEveryMode) {
    auto field = [](uint16_t no, const char* name, TEngineFieldType type, uint8_t size, uint8_t sub = fldstNONE) {
        TFieldDesc d;
        d.SetFieldNo(no);
        d.SetName(name);
        d.SetFieldType(type);
        d.SetSubType(sub);
        d.SetDeclaredSize(size);
        return d;
    };
    std::vector<TFieldDesc> fields = {field(1, "Id", fldINT32, 0), field(2, "Simei", fldZSTRING, 30),
                                      field(3, "Biko", fldBLOB, 0, fldstMEMO)};
    std::array<TIndexDesc, INDEX_SLOT_COUNT> slots{};
    slots[0].SetByte(ido::FieldCount, 1);
    slots[0].SetField(0, 1);
    slots[1].SetName("BySimei");
    slots[1].SetField(0, 2);
    slots[SYS_TEXT_SLOT].SetField(0, 3);
    TStringList words;
    words.Add("THE");
    words.Add("AND");
    std::bitset<256> spaces;
    spaces.set(' ');
    spaces.set(',');
    const std::bitset<256> includes;
    TDataCursor& c = Cursor("STAFF");
    c.SetExclusive(true);
    c.CreateTable(0, 0, false, &words, spaces, includes, fields, slots, 1, 512, "staff", "", false, 2, 5, false);

    // Read back by the maker's own local cursor: the same files whatever the mode.
    TDataCursor check(maker);
    check.SetTableName("STAFF");
    check.SetExclusive(true);
    check.OpenCursor();
    EXPECT_EQ(check.GetFieldCount(), 3);
    TFieldDesc d;
    check.GetFieldDesc(2, d);
    EXPECT_EQ(d.Name(), "Simei");
    EXPECT_EQ(check.GetBlobBlockSize(), 512);
    check.LoadTextIndexParams();
    EXPECT_TRUE(check.GetSpaceChars()[',']);
    check.CloseCursor(false);

    // A second create without overwrite is refused alike.
    TDataCursor& again = Cursor("STAFF");
    again.SetExclusive(true);
    EXPECT_EQ(EngineErrorOf([&] {
                  again.CreateTable(0, 0, false, nullptr, {}, {}, fields, slots, 1, 512, "", "", false, 0, 0, false);
              }),
              KURA_TABLEEXISTS);
}

TEST_P(BothModes, RepliesLongerThanTheirDestinationsAreRefused) {
    if (GetParam() == TCursorMode::Local) GTEST_SKIP() << "only a server replies";
    Make("STAFF");
    TDataCursor& c = Cursor("STAFF");
    const bool lan = GetParam() == TCursorMode::RemoteLan;
    // An honest frame whose one parameter is 200 bytes: a header has 127.
    auto oversized = [lan](uint16_t code, uint32_t length) {
        return [=](const TServerRequest& r) {
            TServerAction a;
            if (r.Code == code) {
                TRemoteRequest reply;
                reply.SetCode(0);
                const std::vector<uint8_t> big(length, 0x41);
                reply.PutParam(big.data(), length);
                reply.Finish(!lan);
                a.Fault = TFault::Raw;
                a.Raw.assign(reply.Data(), reply.Data() + reply.Header().TotalSize);
            }
            return a;
        };
    };
    uint8_t header[DATA_HEADER_SIZE + 16];
    std::memset(header, 0xEE, sizeof header);
    server->SetScript(oversized(REQUEST_GETDATAHEADER, 200));
    EXPECT_EQ(EngineErrorOf([&] { c.GetDataHeader(header); }), KURA_UNCOMPRESS);
    EXPECT_FALSE(session.IsConnected());
    for (size_t i = DATA_HEADER_SIZE; i < sizeof header; ++i) ASSERT_EQ(header[i], 0xEE) << i;

    // A cursor handle of 2 bytes is no handle.
    server->SetScript(oversized(REQUEST_CREATECURSOR, 2));
    EXPECT_EQ(EngineErrorOf([&] { TDataCursor other(dir); }), KURA_UNCOMPRESS);
    server->SetScript(oversized(REQUEST_TABLEEXISTS, 5));
    EXPECT_EQ(EngineErrorOf([&] { dir->TableExists("STAFF", false); }), KURA_UNCOMPRESS);
    server->SetScript(nullptr);
    EXPECT_TRUE(dir->TableExists("STAFF", false));
}

TEST_P(BothModes, DatabaseAndCursorRequestsMatchTheirLayouts) {
    if (GetParam() != TCursorMode::RemoteLan) GTEST_SKIP() << "plain frames are compared on a LAN connection";
    Make("STAFF");
    dir->TableExists("STAFF", false);
    dir->StartTransaction();
    dir->Commit(true, false);
    uint8_t header[DATA_HEADER_SIZE];
    Cursor("STAFF").GetDataHeader(header);
    const auto all = server->Requests();
    auto wire = [&](uint16_t code) { return OfCode(all, code).at(0).Wire; };
    using B = std::vector<uint8_t>;
    EXPECT_EQ(wire(REQUEST_OPENDATADIR), (B{16, 0, 0, 0, 5, 0, 6, 0, 0, 0, 2, 0, 0, 0, 'D', 'B'}));
    EXPECT_EQ(wire(REQUEST_TABLEEXISTS), (B{32, 0, 0, 0, 46, 0, 22, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0,  //
                                            5, 0, 0, 0, 'S', 'T', 'A', 'F', 'F', 1, 0, 0, 0, 0}));
    EXPECT_EQ(wire(REQUEST_STARTTXN), (B{18, 0, 0, 0, 11, 0, 8, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(wire(REQUEST_COMMITTXN), (B{28, 0, 0, 0, 12, 0, 18, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0,  //
                                          1, 0, 0, 0, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(wire(REQUEST_CREATECURSOR), (B{18, 0, 0, 0, 14, 0, 8, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(wire(REQUEST_GETDATAHEADER), (B{32, 0, 0, 0, 45, 0, 22, 0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0,  //
                                              5, 0, 0, 0, 'S', 'T', 'A', 'F', 'F', 1, 0, 0, 0, 0}));
}
