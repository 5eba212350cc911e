// Cursor open, close, clone, refresh, positioning, key search and key ranges, run on
// a local session and through the loopback test server: every mode must give what a
// local reference cursor on the same table gives.
#include <gtest/gtest.h>

#include "tests/common/EngineTestEnvironment.h"
#include "tests/engine/core/LocalOrRemoteCursor.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kLibrary =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

// Where a cursor stands, as its callers see it.
struct Place {
    bool Bof, Eof;
    uint32_t Number, Record, Count;
    bool operator==(const Place&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Place& p) {
    return out << "{bof " << p.Bof << " eof " << p.Eof << " number " << p.Number << " record " << p.Record
               << " count " << p.Count << "}";
}

Place PlaceOf(TDataCursor& c) {
    return {c.FBOF, c.FEOF, c.GetRecordNumber(), c.GetCurrentRecordNumber(), c.GetRecordCount()};
}

class CursorModes : public LocalOrRemoteCursor {};

std::vector<uint8_t> IdKey(TDataCursor& c, int32_t id) {
    RecordImage image(c);
    image.Int(1, id);
    std::vector<uint8_t> key(RANGE_KEY_SIZE);
    c.BuildIndexKey(image.data(), key.data());
    return key;
}

}  // namespace

TEST_P(CursorModes, OpenTakesTheTablesDefinitionsAndCloseLetsThemGo) {
    MakeStaff("STAFF", 4);
    TDataCursor& c = Open("STAFF");
    TDataCursor& ref = Reference("STAFF");
    EXPECT_TRUE(c.IsOpen());
    EXPECT_EQ(c.GetFieldCount(), 2);
    EXPECT_EQ(c.GetCursorRecordSize(), ref.GetCursorRecordSize());
    EXPECT_EQ(c.GetLocaleID(), ref.GetLocaleID());
    EXPECT_EQ(c.GetCurrentIndexNo(), PRIMARY_INDEX);
    EXPECT_EQ(c.GetIndexCount(), 1);
    EXPECT_EQ(c.GetKeySize(), ref.GetKeySize());
    EXPECT_EQ(c.GetRecordCount(), 4u);
    EXPECT_EQ(PlaceOf(c), PlaceOf(ref));
    // Header values of the open table come from the state the server sent.
    EXPECT_EQ(c.GetLastAutoIncValue(), ref.GetLastAutoIncValue());
    EXPECT_EQ(c.GetUserMajorVersion(), ref.GetUserMajorVersion());
    EXPECT_EQ(c.GetBlobBlockSize(), ref.GetBlobBlockSize());
    EXPECT_EQ(c.GetLastRecordNumber(), ref.GetLastRecordNumber());
    c.CloseCursor(false);
    EXPECT_FALSE(c.IsOpen());
    EXPECT_EQ(c.GetFieldCount(), 0);
    c.OpenCursor();
    EXPECT_EQ(c.GetRecordCount(), 4u);
    // A second cursor on the shared table sees the same.
    EXPECT_EQ(Open("STAFF").GetRecordCount(), 4u);
    EXPECT_EQ(EngineErrorOf([&] { Open("NOBODY"); }), KURA_OSENOENT);
    // The full-text parameters are the table's.
    EXPECT_EQ(c.GetStopWords().Count(), ref.GetStopWords().Count());
    EXPECT_EQ(c.GetSpaceChars(), ref.GetSpaceChars());
    EXPECT_EQ(c.GetIncludeChars(), ref.GetIncludeChars());
}

// From server 3.06 only the first cursor of a table is sent the table's state; the
// others take it from the shared table.
class CursorModesNewServer : public LocalOrRemoteCursor {
protected:
    void SetUp() override {
        ServerVersion = SERVER_VERSION_CURSOR_COUNT;
        LocalOrRemoteCursor::SetUp();
    }
};

TEST_P(CursorModesNewServer, LaterCursorsOfATableShareTheFirstOnesState) {
    MakeStaff("STAFF", 4);
    TDataCursor& first = Open("STAFF");
    TDataCursor& second = Open("STAFF");
    for (TDataCursor* c : {&first, &second}) {
        EXPECT_EQ(c->GetFieldCount(), 2);
        EXPECT_EQ(c->GetRecordCount(), 4u);
        c->SetToRecordNumber(3);
        EXPECT_EQ(c->GetCurrentRecordNumber(), 3u);
    }
    std::unique_ptr<TDataCursor> clone(second.CloneCursor());
    EXPECT_EQ(clone->GetCurrentRecordNumber(), 3u);
    if (Remote()) {
        std::vector<size_t> opens;
        for (const TServerRequest& r : server->Requests())
            if (r.Code == REQUEST_OPENCURSOR) opens.push_back(r.Wire.size());
        EXPECT_EQ(opens.size(), 2u);
    }
}

INSTANTIATE_LOCAL_AND_REMOTE(CursorModesNewServer);

TEST_P(CursorModes, PositioningMatchesALocalCursor) {
    MakeStaff("STAFF", 7);
    TDataCursor& c = Open("STAFF");
    TDataCursor& ref = Reference("STAFF");
    const std::vector<std::function<void(TDataCursor&)>> steps = {
        [](TDataCursor& x) { x.SetToBegin(); },       [](TDataCursor& x) { x.SetToEnd(); },
        [](TDataCursor& x) { x.SetToRecordNumber(3); }, [](TDataCursor& x) { x.SetToRecordNumber(1); },
        [](TDataCursor& x) { x.SetToRecordNumber(7); }, [](TDataCursor& x) { x.SetToRecordNumber(9); },
        [](TDataCursor& x) { x.SetToRecordNumber(0); }, [](TDataCursor& x) { x.SetToBegin(); },
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        steps[i](c);
        steps[i](ref);
        EXPECT_EQ(PlaceOf(c), PlaceOf(ref)) << "step " << i;
    }
    c.SetToRecordNumber(5);
    EXPECT_EQ(c.GetRecordNumber(), 5u);
    EXPECT_EQ(c.GetCurrentRecordNumber(), 5u);
    c.SetToBegin();
    EXPECT_TRUE(c.FBOF);
    c.SetToEnd();
    EXPECT_TRUE(c.FEOF);
}

TEST_P(CursorModes, FindKeyExactNearestAndMissingMatchALocalCursor) {
    MakeStaff("STAFF", 6);
    TDataCursor& c = Open("STAFF");
    TDataCursor& ref = Reference("STAFF");
    struct Case {
        int32_t Id;
        uint8_t Nearest;
        uint8_t Found;
        uint32_t Number;  // after the search; 0: as before
    };
    const Case cases[] = {{30, 0, 1, 3}, {60, 0, 1, 6}, {35, 0, 0, 0}, {35, 1, 0, 4}, {5, 1, 0, 1}, {99, 1, 0, 0}};
    for (const Case& k : cases) {
        c.SetToBegin();
        ref.SetToBegin();
        const std::vector<uint8_t> key = IdKey(c, k.Id);
        std::vector<uint8_t> record(c.GetCursorRecordSize());
        EXPECT_EQ(c.FindKey(1, key.data(), 0, k.Nearest, 0, record.data()), k.Found) << k.Id;
        EXPECT_EQ(ref.FindKey(1, key.data(), 0, k.Nearest, 0), k.Found) << k.Id;
        EXPECT_EQ(PlaceOf(c), PlaceOf(ref)) << k.Id;
        if (k.Number != 0) {
            EXPECT_EQ(c.GetRecordNumber(), k.Number) << k.Id;
        }
        if (k.Found) {
            int32_t id = 0;
            bool blank = true;
            c.GetField(1, record.data(), &id, blank);
            EXPECT_EQ(id, k.Id);
        }
    }
    // From a record image instead of a key.
    RecordImage image(c);
    image.Int(1, 40);
    EXPECT_EQ(c.FindKey(0, image.data(), 0, 0, 0), 1);
    EXPECT_EQ(c.GetCurrentRecordNumber(), 4u);
}

TEST_P(CursorModes, RangesNarrowTheCountAndResetRestoresIt) {
    MakeStaff("STAFF", 8);
    TDataCursor& c = Open("STAFF");
    TDataCursor& ref = Reference("STAFF");
    const std::vector<uint8_t> from = IdKey(c, 20);
    const std::vector<uint8_t> to = IdKey(c, 50);
    for (TDataCursor* x : {&c, &ref}) x->SetRange(1, from.data(), 0, to.data(), 0);
    EXPECT_TRUE(c.FRangeActive);
    EXPECT_EQ(c.GetRecordCount(), 4u);
    for (auto step : {+1, -1}) {
        for (TDataCursor* x : {&c, &ref}) step > 0 ? x->SetToBegin() : x->SetToEnd();
        EXPECT_EQ(PlaceOf(c), PlaceOf(ref));
    }
    for (TDataCursor* x : {&c, &ref}) x->SetToRecordNumber(2);
    EXPECT_EQ(PlaceOf(c), PlaceOf(ref));
    EXPECT_EQ(c.GetCurrentRecordNumber(), 3u);
    // An open end runs to the last key.
    for (TDataCursor* x : {&c, &ref}) x->SetRange(1, from.data(), 0, nullptr, 0);
    EXPECT_EQ(c.GetRecordCount(), 7u);
    EXPECT_EQ(PlaceOf(c), PlaceOf(ref));
    for (TDataCursor* x : {&c, &ref}) x->ResetRange();
    EXPECT_FALSE(c.FRangeActive);
    EXPECT_EQ(c.GetRecordCount(), 8u);
    EXPECT_EQ(PlaceOf(c), PlaceOf(ref));
}

TEST_P(CursorModes, CloneStandsWhereItsSourceStoodAndMovesOnItsOwn) {
    MakeStaff("STAFF", 5);
    TDataCursor& c = Open("STAFF");
    c.SetToRecordNumber(3);
    std::unique_ptr<TDataCursor> clone(c.CloneCursor());
    EXPECT_TRUE(clone->IsOpen());
    EXPECT_EQ(PlaceOf(*clone), PlaceOf(c));
    EXPECT_EQ(clone->GetFieldCount(), 2);
    clone->SetToEnd();
    EXPECT_TRUE(clone->FEOF);
    EXPECT_EQ(c.GetRecordNumber(), 3u);
    EXPECT_EQ(c.GetCurrentRecordNumber(), 3u);
}

TEST_P(CursorModes, RefreshSeesRecordsAnotherProgramAdded) {
    MakeStaff("STAFF", 3);
    TDataCursor& c = Open("STAFF");
    c.SetToRecordNumber(2);
    Append("STAFF", 4, 6);
    c.Refresh();
    EXPECT_EQ(c.GetRecordCount(), 6u);
    EXPECT_EQ(c.GetCurrentRecordNumber(), 2u);
    c.SetToRecordNumber(6);
    EXPECT_EQ(c.GetCurrentRecordNumber(), 6u);
}

TEST_P(CursorModes, SteppingRecordByRecordMatchesALocalCursorBothWays) {
    MakeStaff("STAFF", 5);
    TDataCursor& c = Open("STAFF");
    TDataCursor& ref = Reference("STAFF");
    // Read ahead three at a time on the server side; the answers must not change.
    c.FBlockRecordCount = 3;
    std::vector<uint8_t> got(c.GetCursorRecordSize());
    std::vector<uint8_t> want(ref.GetCursorRecordSize());
    const auto both = [&](bool forward) {
        const TEngineErrorCode a = forward ? c.GetNextRecord(got.data()) : c.GetPriorRecord(got.data());
        const TEngineErrorCode b = forward ? ref.GetNextRecord(want.data()) : ref.GetPriorRecord(want.data());
        EXPECT_EQ(a, b);
        EXPECT_EQ(got, want);
        EXPECT_EQ(PlaceOf(c), PlaceOf(ref));
        return a;
    };
    for (TDataCursor* x : {&c, &ref}) x->SetToBegin();
    int read = 0;
    while (both(true) == 0) ++read;
    EXPECT_EQ(read, 5);
    EXPECT_TRUE(c.FEOF);
    read = 0;
    while (both(false) == 0) ++read;
    EXPECT_EQ(read, 5);
    EXPECT_TRUE(c.FBOF);
    // A change of direction in the middle of a block asks the server again.
    for (TDataCursor* x : {&c, &ref}) x->SetToBegin();
    for (bool forward : {true, true, false, true, true, true, false})
        both(forward);
    EXPECT_EQ(c.GetCurrentRecordNumber(), 3u);
}

INSTANTIATE_LOCAL_AND_REMOTE(CursorModes);
