// Filters of a cursor run on a local session and through the loopback test server:
// text filters, ranges under filters, callback filters the server asks the client
// about, and the record counts they give must be the same in every mode. The wire
// form of the filter requests follows the server's version.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <set>

#include "engine/core/Filters.h"
#include "engine/expr/ExpStream.h"
#include "engine/expr/ExpTree.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/engine/core/LocalOrRemoteCursor.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kLibrary =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

class FilterModes : public LocalOrRemoteCursor {
protected:
    // The ids the cursor shows, stepping from the start.
    std::vector<int32_t> Ids(TDataCursor& c) {
        std::vector<int32_t> ids;
        std::vector<uint8_t> record(c.GetCursorRecordSize());
        c.SetToBegin();
        while (c.GetNextRecord(record.data()) == 0) {
            int32_t id = 0;
            bool blank = true;
            c.GetField(1, record.data(), &id, blank);
            ids.push_back(id);
        }
        return ids;
    }
    std::vector<uint8_t> IdKey(TDataCursor& c, int32_t id) {
        RecordImage image(c);
        image.Int(1, id);
        std::vector<uint8_t> key(RANGE_KEY_SIZE);
        c.BuildIndexKey(image.data(), key.data());
        return key;
    }
};

std::vector<int32_t> Tens(std::initializer_list<int32_t> ids) {
    std::vector<int32_t> out;
    for (int32_t i : ids) out.push_back(10 * i);
    return out;
}

// Keeps the records whose id is a multiple of 30.
bool EveryThird(void* data, TDataCursor* cursor, const uint8_t* record, uint32_t) {
    ++*static_cast<int*>(data);
    int32_t id = 0;
    bool blank = true;
    cursor->GetField(1, record, &id, blank);
    return !blank && id % 30 == 0;
}

}  // namespace

TEST_P(FilterModes, TextFiltersActivateDeactivateAndDropWithTheirCounts) {
    MakeStaff("STAFF", 10);
    TDataCursor& c = Open("STAFF");
    TFilter* wide = c.AddFilter("Id > 20 AND Id <= 80");
    TFilter* odd = c.AddFilter("Name <> 'N50'");
    EXPECT_FALSE(wide->Active);
    EXPECT_EQ(c.GetRecordCount(), 10u);
    c.ActivateFilter(wide);
    EXPECT_EQ(c.GetRecordCount(), 6u);
    EXPECT_EQ(Ids(c), Tens({3, 4, 5, 6, 7, 8}));
    // Every filter at once.
    c.ActivateFilter(nullptr);
    EXPECT_TRUE(odd->Active);
    EXPECT_EQ(c.GetRecordCount(), 5u);
    EXPECT_EQ(Ids(c), Tens({3, 4, 6, 7, 8}));
    c.DeactivateFilter(wide);
    EXPECT_EQ(c.GetRecordCount(), 9u);
    c.DropFilter(odd);
    EXPECT_EQ(c.GetFilters().size(), 1u);
    EXPECT_EQ(c.GetRecordCount(), 10u);
    c.ActivateFilter(wide);
    c.DropFilter(nullptr);
    EXPECT_TRUE(c.GetFilters().empty());
    EXPECT_EQ(c.GetRecordCount(), 10u);
    EXPECT_EQ(Ids(c).size(), 10u);
    // A handle the cursor does not have, and texts that are no filters.
    int bogus = 0;
    EXPECT_EQ(EngineErrorOf([&] { c.ActivateFilter(reinterpret_cast<const TFilter*>(&bogus)); }), KURA_NOSUCHFILTER);
    EXPECT_EQ(EngineErrorOf([&] { c.AddFilter("Id +"); }), KURA_INVALIDFILTER);
    EXPECT_EQ(EngineErrorOf([&] { c.AddFilter("Id + 1"); }), KURA_INVALIDFILTER);
    EXPECT_EQ(EngineErrorOf([&] { c.AddFilter(""); }), KURA_INVALIDFILTER);
    EXPECT_TRUE(c.GetFilters().empty());
    // Changing a filter in place is local only: a remote cursor refuses it and
    // frees the expression it built for it (LeakSanitizer watches), the filter
    // keeping its old condition.
    TFilter* some = c.AddFilter("Id > 20");
    c.ActivateFilter(some);
    for (int round = 0; round < 2; ++round) {
        const TEngineErrorCode code = EngineErrorOf([&] { c.ModifyFilter(some, "Id > 80 AND Name <> 'N100'"); });
        EXPECT_EQ(code, Remote() ? KURA_REMOTECONNECT : 0);
    }
    EXPECT_EQ(c.GetRecordCount(), Remote() ? 8u : 1u);
    c.DropFilter(some);
}

TEST_P(FilterModes, RangesAndIndexOrdersThroughFilters) {
    MakeStaff("STAFF", 12);
    TDataCursor& c = Open("STAFF");
    TDataCursor& ref = Reference("STAFF");
    const std::vector<uint8_t> from = IdKey(c, 30);
    const std::vector<uint8_t> to = IdKey(c, 100);
    for (TDataCursor* x : {&c, &ref}) {
        x->SetRange(1, from.data(), 0, to.data(), 0);
        x->ActivateFilter(x->AddFilter("Id <> 50 AND Id <> 120"));
    }
    EXPECT_EQ(c.GetRecordCount(), 7u);
    EXPECT_EQ(Ids(c), Ids(ref));
    EXPECT_EQ(Ids(c), Tens({3, 4, 6, 7, 8, 9, 10}));
    for (TDataCursor* x : {&c, &ref}) x->ResetRange();
    EXPECT_EQ(c.GetRecordCount(), 10u);
    // Another index order under the same filter, and back to the primary index.
    for (TDataCursor* x : {&c, &ref}) x->SetIndexName("ByName");
    EXPECT_EQ(c.GetIndexName(), "ByName");
    EXPECT_EQ(c.GetCurrentIndexNo(), 1);
    EXPECT_EQ(Ids(c), Ids(ref));
    EXPECT_EQ(Ids(c), Tens({1, 10, 11, 2, 3, 4, 6, 7, 8, 9}));  // "N100" sorts before "N20"
    for (TDataCursor* x : {&c, &ref}) x->SwitchToIndex(PRIMARY_INDEX);
    EXPECT_EQ(c.GetCurrentIndexNo(), PRIMARY_INDEX);
    EXPECT_EQ(Ids(c), Tens({1, 2, 3, 4, 6, 7, 8, 9, 10, 11}));
    for (TDataCursor* x : {&c, &ref}) x->SetIndexName("");
    EXPECT_EQ(c.GetRecordCount(), ref.GetRecordCount());
    EXPECT_EQ(EngineErrorOf([&] { c.SetIndexName("Nowhere"); }), KURA_INVALIDINDEXNAME);
}

TEST_P(FilterModes, CallbackFiltersAreAnsweredByTheClient) {
    MakeStaff("STAFF", 9);
    TDataCursor& c = Open("STAFF");
    int asked = 0;
    TFilter* f = c.AddFilter(&EveryThird, &asked);
    EXPECT_TRUE(f->IsCallback);
    c.ActivateFilter(f);
    EXPECT_EQ(asked, 9);
    EXPECT_EQ(c.GetRecordCount(), 3u);
    EXPECT_EQ(Ids(c), Tens({3, 6, 9}));
    // With an expression filter in front, a combining callback filter sees only
    // what the first lets through.
    TCursorFilterOptions combine;
    combine.CombineFirst = true;
    int second = 0;
    TFilter* low = c.AddFilter("Id <= 60");
    TFilter* late = c.AddFilter(&EveryThird, &second, combine);
    EXPECT_EQ(c.GetFilters().back(), late);
    c.DropFilter(f);
    c.ActivateFilter(low);
    c.ActivateFilter(late);
    EXPECT_EQ(second, 6);
    EXPECT_EQ(Ids(c), Tens({3, 6}));
}

TEST_P(FilterModes, TextSearchFiltersWithAndWithoutTheWordIndex) {
    MakeStaff("STAFF", 5);
    TDataCursor& c = Open("STAFF");
    c.ActivateFilter(c.AddFilter("TEXTSEARCH('N30' IN Name) OR TEXTSEARCH('n5*' IN Name)"));
    EXPECT_EQ(Ids(c), Tens({3, 5}));
    EXPECT_EQ(c.GetRecordCount(), 2u);
}

// Random filters of comparisons, ranges, patterns and text searches joined by AND,
// OR and NOT: the server's evaluation of the image must show exactly what a local
// cursor shows, in natural, primary and secondary order.
TEST_P(FilterModes, RandomFiltersShowWhatALocalCursorShows) {
    MakeStaff("STAFF", 60);
    TDataCursor& c = Open("STAFF");
    TDataCursor& ref = Reference("STAFF");
    std::mt19937 random(20261207);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto leaf = [&]() -> std::string {
        const std::string id = std::to_string(10 * pick(65));
        switch (pick(6)) {
            case 0: return "Id " + std::string(pick(2) ? "<" : ">=") + " " + id;
            case 1: return "Id = " + id;
            case 2: return "Id BETWEEN " + id + " AND " + std::to_string(10 * pick(65));
            case 3: return "Name = 'N" + std::to_string(pick(7)) + "*'";
            case 4: return "Name LIKE '%" + std::to_string(pick(10)) + "0'";
            default: return "TEXTSEARCH('n" + std::to_string(pick(6)) + "*' IN Name)";
        }
    };
    std::function<std::string(int)> tree = [&](int depth) -> std::string {
        if (depth == 0 || pick(3) == 0) return leaf();
        switch (pick(3)) {
            case 0: return "(" + tree(depth - 1) + ") AND (" + tree(depth - 1) + ")";
            case 1: return "(" + tree(depth - 1) + ") OR (" + tree(depth - 1) + ")";
            default: return "NOT (" + tree(depth - 1) + ")";
        }
    };
    const char* const orders[] = {"", "ByName"};
    int partial = 0;  // rounds that show some records but not all
    for (int round = 0; round < 30; ++round) {
        const std::string text = tree(3);
        for (TDataCursor* x : {&c, &ref}) {
            x->SetIndexName(orders[round % 2]);
            x->ActivateFilter(x->AddFilter(text));
        }
        EXPECT_EQ(c.GetRecordCount(), ref.GetRecordCount()) << text;
        EXPECT_EQ(Ids(c), Ids(ref)) << text;
        if (c.GetRecordCount() > 0 && c.GetRecordCount() < 60) ++partial;
        for (TDataCursor* x : {&c, &ref}) x->DropFilter(nullptr);
    }
    EXPECT_GE(partial, 10);
}

INSTANTIATE_LOCAL_AND_REMOTE(FilterModes);

// ---- The requests on the wire, by server version ------------------------------------

class FilterWire : public LocalOrRemoteCursor {
protected:
    std::vector<TServerRequest> Sent(uint16_t code) {
        std::vector<TServerRequest> out;
        for (const TServerRequest& r : server->Requests())
            if (r.Code == code) out.push_back(r);
        return out;
    }
};

class FilterWireNew : public FilterWire {
protected:
    void SetUp() override {
        ServerVersion = SERVER_VERSION_FILTER_ESTIMATES;
        LocalOrRemoteCursor::SetUp();
    }
};

class FilterWireOld : public FilterWire {
protected:
    void SetUp() override {
        ServerVersion = SERVER_VERSION_NONE_REPORTED;
        LocalOrRemoteCursor::SetUp();
    }
};

TEST_P(FilterWire, ARequestCarriesTheImageAndItsOptionsWithoutEstimates) {
    if (!Remote()) GTEST_SKIP() << "wire only";
    MakeStaff("STAFF", 3);
    TDataCursor& c = Open("STAFF");
    TCursorFilterOptions options;
    options.CombineFirst = true;
    TFilter* f = c.AddFilter("Id = 20", options);
    const std::vector<TServerRequest> adds = Sent(REQUEST_ADDEXPRFILTER);
    ASSERT_EQ(adds.size(), 1u);
    const TServerRequest& r = adds[0];
    ASSERT_EQ(r.Params.size(), 6u);
    std::vector<uint8_t> image;
    ExpressionStreamSizeEx(f->Expression, image);
    EXPECT_EQ(r.Number(1), image.size());
    EXPECT_EQ(r.Bytes(2), image);
    EXPECT_EQ(r.Bytes(3), std::vector<uint8_t>{1});  // owns its expression
    EXPECT_EQ(r.Bytes(4), std::vector<uint8_t>{1});  // combine first
    EXPECT_EQ(r.Bytes(5), std::vector<uint8_t>{0});
    // The primary key answers it wholly.
    EXPECT_EQ(f->OptimizeLevel, 2);
    c.AddFilter(&EveryThird, nullptr);
    ASSERT_EQ(Sent(REQUEST_ADDCALLBACKFILTER).size(), 1u);
    EXPECT_EQ(Sent(REQUEST_ADDCALLBACKFILTER)[0].Params.size(), 3u);
    // Drop and activate carry the position block and the filter's handle (0: all).
    c.ActivateFilter(f);
    c.DropFilter(nullptr);
    ASSERT_EQ(Sent(REQUEST_ACTIVATEFILTER).size(), 1u);
    EXPECT_NE(Sent(REQUEST_ACTIVATEFILTER)[0].Number(kAfterPosition), 0u);
    ASSERT_EQ(Sent(REQUEST_DROPFILTER).size(), 1u);
    EXPECT_EQ(Sent(REQUEST_DROPFILTER)[0].Number(kAfterPosition), 0u);
}

TEST_P(FilterWireNew, FromVersion311TheEstimateOptionGoesToo) {
    if (!Remote()) GTEST_SKIP() << "wire only";
    MakeStaff("STAFF", 3);
    TDataCursor& c = Open("STAFF");
    TCursorFilterOptions options;
    options.EstimateCounts = true;
    c.ActivateFilter(c.AddFilter("Id >= 20", options));
    EXPECT_EQ(c.GetRecordCount(), 2u);
    ASSERT_EQ(Sent(REQUEST_ADDEXPRFILTER).size(), 1u);
    ASSERT_EQ(Sent(REQUEST_ADDEXPRFILTER)[0].Params.size(), 7u);
    EXPECT_EQ(Sent(REQUEST_ADDEXPRFILTER)[0].Bytes(6), std::vector<uint8_t>{1});
    c.AddFilter(&EveryThird, nullptr, options);
    EXPECT_EQ(Sent(REQUEST_ADDCALLBACKFILTER)[0].Params.size(), 4u);
}

TEST_P(FilterWireOld, AnOlderServerGetsTheOlderImageAndARefusalLeavesNoFilter) {
    if (!Remote()) GTEST_SKIP() << "wire only";
    MakeStaff("STAFF", 3);
    TDataCursor& c = Open("STAFF");
    // This server reads only the newer image: it refuses, and the client keeps
    // no filter the server does not have.
    EXPECT_NE(EngineErrorOf([&] { c.AddFilter("UPPER(Name) = 'N20'"); }), 0);
    EXPECT_TRUE(c.GetFilters().empty());
    const std::vector<TServerRequest> adds = Sent(REQUEST_ADDEXPRFILTER);
    ASSERT_EQ(adds.size(), 1u);
    // What went is the normalised older form of the same tree.
    TDataCursor& ref = Reference("STAFF");
    TFilter* local = ref.AddFilter("UPPER(Name) = 'N20'");
    TExpressionPtr copy(CopyExpression(local->Expression));
    NormalizeFunctionArguments(copy.get());
    std::vector<uint8_t> image;
    ExpressionStreamSize(copy.get(), image);
    EXPECT_EQ(adds[0].Bytes(2), image);
    EXPECT_EQ(adds[0].Params.size(), 6u);
    // The connection is still good.
    EXPECT_EQ(c.GetRecordCount(), 3u);
    c.SetToEnd();
    EXPECT_TRUE(c.FEOF);
}

INSTANTIATE_LOCAL_AND_REMOTE(FilterWire);
INSTANTIATE_LOCAL_AND_REMOTE(FilterWireNew);
INSTANTIATE_LOCAL_AND_REMOTE(FilterWireOld);

// ---- Replies the client refuses ------------------------------------------------------

class FilterReplies : public LocalOrRemoteCursor {
protected:
    // The next request of the code is answered with this reply instead.
    void Answer(uint16_t code, const std::function<void(TRemoteRequest&)>& build) {
        server->SetScript([code, build](const TServerRequest& r) {
            TServerAction a;
            if (r.Code != code) return a;
            TRemoteRequest reply;
            reply.SetCode(0);
            reply.Reset();
            build(reply);
            reply.Finish(false);
            a.Fault = TFault::Raw;
            a.Raw.assign(reply.Data(), reply.Data() + reply.Header().TotalSize);
            return a;
        });
    }
    void ExpectDropped(const std::function<void()>& f, const char* what) {
        EXPECT_EQ(EngineErrorOf(f), KURA_UNCOMPRESS) << what;
        EXPECT_FALSE(session.IsConnected()) << what;
        server->SetScript(nullptr);
    }
};

TEST_P(FilterReplies, MalformedFilterAndIndexRepliesDropTheConnection) {
    if (GetParam() != TCursorMode::RemoteLan) GTEST_SKIP() << "scripted LAN replies";
    MakeStaff("STAFF", 4);
    TDataCursor& c = Open("STAFF");
    Answer(REQUEST_ADDEXPRFILTER, [](TRemoteRequest& r) {
        r.PutU32(9);
        r.PutByte(7);  // no such optimisation level
    });
    ExpectDropped([&] { c.AddFilter("Id > 10"); }, "level");
    EXPECT_TRUE(c.GetFilters().empty());
    Answer(REQUEST_ADDEXPRFILTER, [](TRemoteRequest& r) {
        r.PutU32(0);  // the handle that stands for every filter
        r.PutByte(0);
    });
    ExpectDropped([&] { c.AddFilter("Id > 10"); }, "handle 0");
    Answer(REQUEST_ADDCALLBACKFILTER, [](TRemoteRequest& r) { r.PutU16(9); });
    ExpectDropped([&] { c.AddFilter(&EveryThird, nullptr); }, "short handle");
    EXPECT_TRUE(c.GetFilters().empty());
    Answer(REQUEST_SETINDEXNAME, [](TRemoteRequest& r) { r.PutByte(40); });
    ExpectDropped([&] { c.SetIndexName("ByName"); }, "index number");

    // A record the server asks about must be exactly the cursor's record.
    int asked = 0;
    TFilter* f = c.AddFilter(&EveryThird, &asked);
    const std::vector<uint8_t> shortRecord(c.GetCursorRecordSize() - 1, 0);
    server->SetScript([&](const TServerRequest& r) {
        TServerAction a;
        if (r.Code == REQUEST_ACTIVATEFILTER)
            a.Callbacks = {{{{1, 0}, shortRecord, {1, 0, 0, 0}}, true}};
        return a;
    });
    ExpectDropped([&] { c.ActivateFilter(f); }, "record");
    EXPECT_EQ(asked, 0);
    // The session goes on over a new connection.
    EXPECT_EQ(c.GetRecordCount(), 4u);
    c.SetToBegin();
    EXPECT_TRUE(session.IsConnected());
}

INSTANTIATE_LOCAL_AND_REMOTE(FilterReplies);
