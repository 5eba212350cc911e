// The state blocks a server sends to remote cursors, read from frames made here, and
// the requests and replies of the cursor requests on the wire: every length is held
// to its destination, a broken block drops the connection with KURA_UNCOMPRESS, and
// the cursor works again after the re-connection.
#include <gtest/gtest.h>

#include "engine/core/RemoteState.h"
#include "engine/expr/ExpStream.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/engine/core/LocalOrRemoteCursor.h"
#include "tests/engine/core/RemoteServerState.h"
#include "tests/engine/expr/ExprTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kLibrary =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

TEngineErrorCode ReadError(std::vector<uint8_t> frame, const std::function<void(TRemoteReply&)>& read) {
    TRemoteReply reply;
    reply.Load(std::move(frame), false);
    return EngineErrorOf([&] { read(reply); });
}

TFieldDesc ComputedInt(const char* name) {
    TFieldDesc d = NewField(name, fldINT32, 0, 0, 0);
    d.Bytes[fdo::Computed] = 1;
    return d;
}

}  // namespace

TEST(RemoteFieldDefs, ComputedDefinitionsBringTheirExpressionsFromServer308On) {
    TExpressionPtr tree(exprtest::Parse("1 + 2"));
    std::vector<uint8_t> image;
    ExpressionStreamSizeEx(tree.get(), image);
    const TFieldDesc plain = NewField("A", fldINT32, 0, 0, 0);
    const TFieldDesc computed = ComputedInt("B");
    const auto frame = [&](bool withImage) {
        return ReplyFrame([&](TRemoteRequest& r) {
            r.PutU32(2);
            r.PutParam(plain.Data(), FIELD_DESC_SIZE);
            r.PutParam(computed.Data(), FIELD_DESC_SIZE);
            if (withImage) {
                r.PutU32(static_cast<uint32_t>(image.size()));
                r.PutParam(image.data(), static_cast<uint32_t>(image.size()));
            }
        });
    };
    TRemoteReply reply;
    reply.Load(frame(true), false);
    TRemoteFieldDefs defs = ReadRemoteFieldDefs(reply, SERVER_VERSION_FIELD_EXPRESSIONS);
    ASSERT_EQ(defs.Defs.size(), 2u);
    EXPECT_EQ(defs.Defs[1].Name(), "B");
    EXPECT_EQ(defs.Expressions[0], nullptr);
    ASSERT_NE(defs.Expressions[1], nullptr);
    EXPECT_EQ(exprtest::Dump(defs.Expressions[1].get()), exprtest::Dump(tree.get()));
    EXPECT_TRUE(reply.AtEnd());
    // An older server sends the definitions alone.
    reply.Load(frame(false), false);
    defs = ReadRemoteFieldDefs(reply, SERVER_VERSION_FIELD_EXPRESSIONS - 1);
    EXPECT_EQ(defs.Expressions[1], nullptr);
}

TEST(RemoteFieldDefs, CountsSizesAndImagesOutOfBoundsAreMalformed) {
    const TFieldDesc computed = ComputedInt("B");
    std::vector<uint8_t> image;
    TExpressionPtr tree(exprtest::Parse("3"));
    ExpressionStreamSizeEx(tree.get(), image);
    const std::vector<std::function<void(TRemoteRequest&)>> broken = {
        [](TRemoteRequest& r) { r.PutU32(REMOTE_RESULT_FIELD_LIMIT + 1); },
        [](TRemoteRequest& r) { r.PutU32(0xFFFFFFFFu); },
        [&](TRemoteRequest& r) {
            r.PutU32(1);
            r.PutParam(computed.Data(), FIELD_DESC_SIZE - 1);
        },
        [&](TRemoteRequest& r) {  // the image is shorter than announced
            r.PutU32(1);
            r.PutParam(computed.Data(), FIELD_DESC_SIZE);
            r.PutU32(static_cast<uint32_t>(image.size() + 1));
            r.PutParam(image.data(), static_cast<uint32_t>(image.size()));
        },
        [&](TRemoteRequest& r) {  // an image that is not one
            r.PutU32(1);
            r.PutParam(computed.Data(), FIELD_DESC_SIZE);
            r.PutU32(3);
            r.PutParam("abc", 3);
        },
        [](TRemoteRequest& r) { r.PutU32(2); },  // the definitions never come
    };
    for (size_t i = 0; i < broken.size(); ++i)
        EXPECT_EQ(ReadError(ReplyFrame(broken[i]), [](TRemoteReply& r) { ReadRemoteFieldDefs(r, 30800); }),
                  KURA_UNCOMPRESS)
            << i;
}

TEST(RemoteOpenState, ReadsTheResultCursorsHandleNameAndOptions) {
    TRemoteReply reply;
    reply.Load(ReplyFrame([](TRemoteRequest& r) {
                   r.PutU32(77);
                   r.PutString("RESULT");
                   for (bool b : {false, true, true, true, false}) r.PutBool(b);
               }),
               false);
    const TRemoteOpenState s = ReadRemoteOpenState(reply);
    EXPECT_EQ(s.Handle, 77u);
    EXPECT_EQ(s.TableName, "RESULT");
    EXPECT_FALSE(s.Exclusive);
    EXPECT_TRUE(s.InMemory && s.TemporaryFiles && s.QueryResult);
    EXPECT_FALSE(s.QuerySource);
    EXPECT_EQ(ReadError(ReplyFrame([](TRemoteRequest& r) {
                            r.PutU32(1);
                            r.PutString(std::string(256, 'x'));
                        }),
                        [](TRemoteReply& r) { ReadRemoteOpenState(r); }),
              KURA_UNCOMPRESS);
}

TEST(RemoteStatementState, FieldsFollowTheServerVersion) {
    struct Case {
        int64_t version;
        bool withCount;
        int params;  // parameters the reply holds after the three flags
        uint8_t selectAll;
        uint32_t count;
    };
    const Case cases[] = {
        {30500, true, 0, 0, 0},      {30600, false, 1, 1, 0}, {30900, true, 1, 1, 0},
        {32800, true, 2, 1, 12},     {33000, false, 1, 1, 0},
    };
    for (const Case& c : cases) {
        TRemoteReply reply;
        reply.Load(ReplyFrame([&](TRemoteRequest& r) {
                       for (uint8_t b : {1, 1, 0}) r.PutByte(b);
                       if (c.params >= 1) r.PutByte(1);
                       if (c.params >= 2) r.PutU32(12);
                   }),
                   false);
        const TRemoteStatementState s = ReadRemoteStatementState(reply, c.version, c.withCount);
        EXPECT_EQ(s.Kind, 1) << c.version;
        EXPECT_EQ(s.Live, 1) << c.version;
        EXPECT_EQ(s.LiveCompanion, 0) << c.version;
        EXPECT_EQ(s.SelectAll, c.selectAll) << c.version;
        EXPECT_EQ(s.ParamCount, c.count) << c.version;
        EXPECT_TRUE(reply.AtEnd()) << c.version;
        // One parameter short, and a flag of the wrong size, are malformed.
        EXPECT_EQ(ReadError(ReplyFrame([&](TRemoteRequest& r) {
                                for (int i = 0; i < 2 + c.params; ++i) r.PutByte(1);
                            }),
                            [&](TRemoteReply& r) { ReadRemoteStatementState(r, c.version, c.withCount); }),
                  KURA_UNCOMPRESS)
            << c.version;
    }
    EXPECT_EQ(ReadError(ReplyFrame([](TRemoteRequest& r) { r.PutU16(1); }),
                        [](TRemoteReply& r) { ReadRemoteStatementState(r, 33000, false); }),
              KURA_UNCOMPRESS);
}

TEST(RemoteExecution, TimeAndRowsAffected) {
    TRemoteReply reply;
    const double time = 0.125;
    uint64_t bits = 0;
    std::memcpy(&bits, &time, sizeof bits);
    reply.Load(ReplyFrame([&](TRemoteRequest& r) {
                   r.PutI64(static_cast<int64_t>(bits));
                   r.PutU32(4000000000u);
               }),
               false);
    const TRemoteExecution e = ReadRemoteExecution(reply);
    EXPECT_EQ(e.Time, 0.125);
    EXPECT_EQ(e.RowsAffected, 4000000000u);
    EXPECT_EQ(ReadError(ReplyFrame([](TRemoteRequest& r) {
                            r.PutU32(0);
                            r.PutU32(1);
                        }),
                        [](TRemoteReply& r) { ReadRemoteExecution(r); }),
              KURA_UNCOMPRESS);
}

// ---- Through the test server ---------------------------------------------------------------

namespace {

class CursorWire : public LocalOrRemoteCursor {};

// One cursor-state parameter replaced or dropped.
enum class Break { None, LongKey, LongName, ShortHeader, OtherLayout, NoEof, WideNumber };

std::vector<uint8_t> StateReply(TDataCursor& source, Break how) {
    return ReplyFrame([&](TRemoteRequest& r) {
        TDataTable& table = *source.GetTable();
        TDataHeader header = table.GetDataFile().Header();
        r.PutU32(1);
        if (how == Break::WideNumber)
            r.PutI64(1);
        else
            r.PutU32(1);
        r.PutString(how == Break::LongName ? std::string(256, 'I') : std::string());
        r.PutU32(table.GetRecordCount());
        if (how == Break::OtherLayout) header[dho::RecordSize] ^= 1;
        r.PutParam(header.data(), how == Break::ShortHeader ? DATA_HEADER_SIZE - 1 : DATA_HEADER_SIZE);
        r.PutU32(table.GetIndexFile().GetChangeCount());
        r.PutU32(table.GetRecordCount());
        std::vector<uint8_t> key(how == Break::LongKey ? CURSOR_KEY_BUFFER_SIZE + 1 : source.GetKeySize(), 0);
        r.PutParam(key.data(), static_cast<uint32_t>(key.size()));
        r.PutBool(false);
        if (how != Break::NoEof) r.PutBool(false);
    });
}

}  // namespace

TEST_P(CursorWire, BrokenCursorStatesDropTheConnectionAndTheCursorRecovers) {
    MakeStaff("STAFF", 3);
    TDataCursor& c = Open("STAFF");
    TDataCursor& ref = Reference("STAFF");
    for (Break how : {Break::None, Break::LongKey, Break::LongName, Break::ShortHeader, Break::OtherLayout,
                      Break::NoEof, Break::WideNumber}) {
        const std::vector<uint8_t> raw = StateReply(ref, how);
        bool sent = false;
        server->SetScript([&](const TServerRequest& req) {
            TServerAction a;
            if (req.Code == REQUEST_SETTOBEGIN && !sent) {
                sent = true;
                a.Fault = TFault::Raw;
                a.Raw = raw;
            }
            return a;
        });
        const TEngineErrorCode error = EngineErrorOf([&] { c.SetToBegin(); });
        server->SetScript(nullptr);
        EXPECT_EQ(error, how == Break::None ? 0 : KURA_UNCOMPRESS) << static_cast<int>(how);
        c.SetToRecordNumber(2);
        EXPECT_EQ(c.GetCurrentRecordNumber(), 2u) << static_cast<int>(how);
    }
}

TEST_P(CursorWire, OpenCursorRequestIsByteExact) {
    MakeStaff("STAFF", 1);
    TDataCursor& c = Closed("STAFF");
    c.SetReadOnly(true);
    c.OpenCursor();
    std::vector<uint8_t> wire;
    for (const TServerRequest& r : server->Requests())
        if (r.Code == REQUEST_OPENCURSOR) wire = r.Wire;
    // clang-format off
    const std::vector<uint8_t> golden = {
        0x2A, 0, 0, 0,  0x0F, 0,  0x20, 0, 0, 0,         // 42 bytes, OPENCURSOR, 32 payload
        4, 0, 0, 0,  2, 0, 0, 0,                         // cursor handle 2
        5, 0, 0, 0,  'S', 'T', 'A', 'F', 'F',            // table name
        1, 0, 0, 0,  0,                                  // exclusive
        1, 0, 0, 0,  1,                                  // read-only
        1, 0, 0, 0,  0,                                  // in memory
    };
    // clang-format on
    EXPECT_EQ(wire, golden);
    EXPECT_TRUE(c.FReadOnly);
}

TEST_P(CursorWire, PositionedRequestsCarryTheKeyOfTheIndexAndTheEndFlags) {
    MakeStaff("STAFF", 3);
    TDataCursor& c = Open("STAFF");
    c.SetToEnd();
    c.Refresh();
    const TServerRequest refresh = server->Requests().back();
    ASSERT_EQ(refresh.Code, REQUEST_REFRESH);
    ASSERT_EQ(refresh.Params.size(), 4u);
    EXPECT_EQ(refresh.Params[1].size(), c.GetKeySize());
    EXPECT_EQ(refresh.Number(2), 0u);
    EXPECT_EQ(refresh.Number(3), 1u);
    // The reply ends exactly where the cursor state ends.
    EXPECT_TRUE(session.Channel().Reply().AtEnd());
}

// Parameter lengths of a frame's payload, in order.
std::vector<uint32_t> ParamLengths(const std::vector<uint8_t>& frame) {
    std::vector<uint32_t> lengths;
    for (size_t p = REMOTE_HEADER_SIZE; p + 4 <= frame.size();) {
        const uint32_t n = frame[p] | (frame[p + 1] << 8) | (frame[p + 2] << 16) | (uint32_t{frame[p + 3]} << 24);
        lengths.push_back(n);
        p += 4 + n;
    }
    return lengths;
}

TEST_P(CursorWire, ARecordReplyIsResultStateAndRecord) {
    MakeStaff("STAFF", 2);
    TDataCursor& c = Open("STAFF");
    c.SetToBegin();
    std::vector<uint8_t> record(c.GetCursorRecordSize());
    ASSERT_EQ(c.GetNextRecord(record.data()), 0);
    const uint32_t key = c.GetKeySize();
    const uint32_t size = c.GetCursorRecordSize();
    const std::vector<uint32_t> state = {4, 4, 0, 4, DATA_HEADER_SIZE, 4, 4, key, 1, 1};
    std::vector<uint32_t> expected = {2};
    expected.insert(expected.end(), state.begin(), state.end());
    expected.push_back(size);
    EXPECT_EQ(ParamLengths(session.Channel().Reply().Frame()), expected);
    // The request: position block, then the read-ahead count.
    const TServerRequest next = server->Requests().back();
    ASSERT_EQ(next.Code, REQUEST_GETNEXTRECORD);
    EXPECT_EQ(ParamLengths(next.Wire), (std::vector<uint32_t>{4, key, 1, 1, 4}));
    EXPECT_EQ(next.Number(2), 1u);  // it stood before the first record
    EXPECT_EQ(next.Number(4), 1u);
}

TEST_P(CursorWire, SuppressingAutoIncrementsTellsTheServerOnceAndOnlyForSuchTables) {
    TableBuilder b;
    b.Field("Id", fldINT32);
    int32_t unused = 0;
    PlaceField(b.Def, unused, NewField("Seq", fldINT32, 0, fldstAUTOINC));
    b.Primary({1});
    TDataTable* table = nullptr;
    ASSERT_EQ(maker->CreateTable(table, "AUTO", false, false, b.Def), 0);
    maker->CloseTable(table, false, false, false);
    MakeStaff("STAFF", 1);
    TDataCursor& plain = Open("STAFF");
    TDataCursor& counted = Open("AUTO");
    const auto sent = [&] {
        std::vector<uint64_t> flags;
        for (const TServerRequest& r : server->Requests())
            if (r.Code == REQUEST_SUPPRESSAUTOINC) flags.push_back(r.Number(1));
        return flags;
    };
    plain.SuppressAutoInc(true);
    counted.SuppressAutoInc(true);
    counted.SuppressAutoInc(true);
    counted.SuppressAutoInc(false);
    EXPECT_EQ(sent(), (std::vector<uint64_t>{1, 0}));
}

INSTANTIATE_TEST_SUITE_P(Lan, CursorWire, ::testing::Values(TCursorMode::RemoteLan), CursorModeName);
