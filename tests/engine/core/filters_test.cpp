// Filter operations of a cursor: refused filters leave it usable, handles,
// activation and dropping, CombineFirst, callbacks, ModifyFilter, clones, a set
// build that keeps being aborted, and TEXTSEARCH answered from "Sys Text".
#include <gtest/gtest.h>

#include "tests/engine/core/FilterTestSupport.h"

using namespace kura;
using namespace kura::test;
using namespace kura::test::filters;

namespace {

struct Filters : ::testing::Test {
    LibraryScope library;
    TestDb db;
    std::unique_ptr<TDataCursor> c;
    FilterModel m{5};

    void SetUp() override {
        db.Create("F", FilterTable());
        c = db.Open("F", true);
        for (int i = 0; i < 60; ++i) {
            std::vector<uint8_t> rec = m.Record(*c);
            c->AppendRecord(rec.data(), false);
        }
        c->SwitchToIndex(NATURAL_ORDER);
    }
    std::set<uint32_t> Shown() { return ShownRecords(*c); }
    // The records whose Id lies in [low, high].
    std::set<uint32_t> Ids(int low, int high) {
        std::set<uint32_t> s;
        for (int i = low; i <= high; ++i) s.insert(static_cast<uint32_t>(i));
        return s;
    }
};

std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EKuraEngineError& e) {
        return e.what();
    }
    return {};
}

TEST_F(Filters, RefusedFiltersLeaveTheCursorWithItsOtherFilters) {
    TFilter* kept = c->AddFilter("Id <= 10");
    c->ActivateFilter(kept);
    struct Case {
        const char* text;
        TEngineErrorCode code;
        const char* message;
    };
    const Case cases[] = {
        {"", KURA_INVALIDFILTER, "filter expression is empty"},
        {"   ", KURA_INVALIDFILTER, "filter expression is empty"},
        {"Id + 1", KURA_INVALIDFILTER, "filter expression must be a boolean expression"},
        {"Txt", KURA_INVALIDFILTER, "filter expression must be a boolean expression"},
        {"Id = ", KURA_INVALIDFILTER, "filter expression"},
        {"Id = 1 junk", KURA_INVALIDFILTER, "filter expression"},
        {"Nope = 1", KURA_INVALIDFILTER, "Nope"},
        {"Id = 'x' AND (", KURA_INVALIDFILTER, "filter expression"},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(ErrorOf([&] { c->AddFilter(k.text); }), k.code) << k.text;
        EXPECT_NE(MessageOf([&] { c->AddFilter(k.text); }).find(k.message), std::string::npos)
            << k.text << ": " << MessageOf([&] { c->AddFilter(k.text); });
        EXPECT_EQ(Shown(), Ids(1, 10)) << k.text;
    }
    EXPECT_EQ(ErrorOf([&] { c->AddFilter(static_cast<TExpToken*>(nullptr), true); }), KURA_INVALIDFILTER);
    EXPECT_EQ(ErrorOf([&] { c->AddFilter(static_cast<TFilterCallback>(nullptr), nullptr); }), KURA_INVALIDFILTER);
    EXPECT_EQ(c->GetFilters().size(), 1u);

    // Unknown handles, including a dropped one.
    TFilter* dropped = c->AddFilter("Id > 5");
    c->DropFilter(dropped);
    for (const TFilter* bad : {static_cast<const TFilter*>(dropped), reinterpret_cast<const TFilter*>(&m)}) {
        EXPECT_EQ(ErrorOf([&] { c->ActivateFilter(bad); }), KURA_NOSUCHFILTER);
        EXPECT_EQ(ErrorOf([&] { c->DeactivateFilter(bad); }), KURA_NOSUCHFILTER);
        EXPECT_EQ(ErrorOf([&] { c->DropFilter(bad); }), KURA_NOSUCHFILTER);
        EXPECT_EQ(ErrorOf([&] { c->ModifyFilter(bad, "Id = 1"); }), KURA_NOSUCHFILTER);
    }
    EXPECT_EQ(Shown(), Ids(1, 10));

    // The 65th filter.
    for (int i = 1; i < 64; ++i) c->AddFilter("Id <> " + std::to_string(1000 + i));
    EXPECT_EQ(c->GetFilters().size(), 64u);
    EXPECT_EQ(ErrorOf([&] { c->AddFilter("Id = 1"); }), KURA_INTERNALLIMIT);
    EXPECT_EQ(ErrorOf([&] { c->AddFilter(+[](void*, TDataCursor*, const uint8_t*, uint32_t) { return true; }, nullptr); }),
              KURA_INTERNALLIMIT);
    c->ActivateFilter(nullptr);
    EXPECT_EQ(Shown(), Ids(1, 10));
    c->DropFilter(nullptr);
    EXPECT_TRUE(c->GetFilters().empty());
    EXPECT_EQ(Shown(), Ids(1, 60));
}

TEST_F(Filters, ActivationCombinationAndChanges) {
    TFilter* low = c->AddFilter("Id <= 30");
    TFilter* even = c->AddFilter("Id IN (2, 4, 6, 8, 40, 42)");
    EXPECT_EQ(Shown(), Ids(1, 60)) << "new filters are inactive";
    c->ActivateFilter(low);
    EXPECT_EQ(c->GetRecordCount(), 30u);
    c->ActivateFilter(nullptr);
    EXPECT_EQ(Shown(), (std::set<uint32_t>{2, 4, 6, 8}));
    c->DeactivateFilter(low);
    EXPECT_EQ(Shown(), (std::set<uint32_t>{2, 4, 6, 8, 40, 42}));
    c->ModifyFilter(even, "Id BETWEEN 58 AND 70");
    EXPECT_EQ(Shown(), Ids(58, 60));
    c->DeactivateFilter(nullptr);
    EXPECT_EQ(c->GetRecordCount(), 60u);

    // A callback filter, and a CombineFirst one that reads only what the others
    // let through.
    static int calls = 0;
    calls = 0;
    TFilter* odd = c->AddFilter(
        +[](void*, TDataCursor* cursor, const uint8_t* rec, uint32_t) {
            ++calls;
            uint8_t v[8] = {};
            bool blank = true;
            cursor->GetField(F_ID, rec, v, blank);
            return !blank && GetI32(v) % 2 == 1;
        },
        nullptr, TCursorFilterOptions{false, false, false, false, true});
    EXPECT_EQ(c->GetFilters().back(), odd) << "CombineFirst filters come last";
    c->ModifyFilter(even, "Id > 1000");
    c->DeactivateFilter(even);
    c->ActivateFilter(low);
    calls = 0;
    c->ActivateFilter(odd);
    std::set<uint32_t> odds;
    for (int i = 1; i <= 30; i += 2) odds.insert(static_cast<uint32_t>(i));
    EXPECT_EQ(Shown(), odds);
    EXPECT_EQ(calls, 30);

    // Writes keep the sets without a rebuild: a record that stops passing leaves.
    c->SetToBegin();
    std::vector<uint8_t> rec(c->GetCursorRecordSize());
    ASSERT_EQ(c->GetNextRecord(rec.data()), 0);
    ASSERT_EQ(c->GetCurrentRecord(rec.data(), true), 0);
    uint8_t v[8] = {};
    PutI32(v, 1001);
    c->PutField(F_ID, rec.data(), v);
    c->ModifyRecord(rec.data(), true, true);
    odds.erase(1);
    EXPECT_EQ(Shown(), odds);
    EXPECT_EQ(c->GetRecordCount(), odds.size());

    // A clone has filters of its own with the same effect.
    std::unique_ptr<TDataCursor> clone(c->CloneCursor());
    EXPECT_EQ(clone->GetFilters().size(), 3u);
    EXPECT_EQ(ShownRecords(*clone), odds);
    clone->DropFilter(nullptr);
    EXPECT_EQ(Shown(), odds);
}

TEST_F(Filters, ConstantAndNullConditions) {
    const std::pair<const char*, std::size_t> cases[] = {{"1 = 1", 60}, {"1 = 0", 0}, {"Id = NULL", 0},
                                                         {"Id <> NULL", 60}, {"NOT (Id = 3)", 59}};
    for (const auto& [text, count] : cases) {
        TFilter* f = c->AddFilter(text);
        c->ActivateFilter(f);
        EXPECT_EQ(Shown().size(), count) << text;
        c->DropFilter(f);
    }
    // <> and NOT = take in the NULLs, IS NOT NULL does not.
    const std::size_t nulls = AcceptedRecords(*c).size() - [&] {
        TFilter* f = c->AddFilter("Small IS NOT NULL");
        c->ActivateFilter(f);
        const std::size_t n = Shown().size();
        c->DropFilter(f);
        return n;
    }();
    ASSERT_GT(nulls, 0u);
    TFilter* ne = c->AddFilter("Small <> 2");
    TFilter* eq = c->AddFilter("Small = 2");
    c->ActivateFilter(ne);
    const std::size_t notTwo = Shown().size();
    c->DeactivateFilter(ne);
    c->ActivateFilter(eq);
    EXPECT_EQ(notTwo + Shown().size(), 60u);
}

TEST_F(Filters, ASetBuildThatKeepsBeingAbortedGivesUp) {
    TFilter* f = c->AddFilter("Id < 5");
    int passes = 0;
    c->FSetBuildAbortProbe = [&] { return ++passes < 3; };
    c->ActivateFilter(f);
    EXPECT_EQ(passes, 3) << "restarted until a pass went through";
    EXPECT_EQ(Shown(), Ids(1, 4));
    passes = 0;
    c->FSetBuildAbortProbe = [&] {
        ++passes;
        return true;
    };
    EXPECT_EQ(ErrorOf([&] { c->DeactivateFilter(f); c->ActivateFilter(f); }), KURA_LOCKTIMEOUT);
    EXPECT_LT(passes, 1000);
    c->FSetBuildAbortProbe = nullptr;
    c->ActivateFilter(f);
    EXPECT_EQ(Shown(), Ids(1, 4));
}

// ---- TEXTSEARCH through "Sys Text" ------------------------------------------------------

const std::string SOFT = "\x83\x5C\x83\x74\x83\x67";               // ソフト
const std::string SOFTWARE = SOFT + "\x83\x45\x83\x46\x83\x41";      // ソフトウェア
const std::string HYOUJI = "\x95\x5C\x8E\xA6";                       // 表示

struct TextSearch : ::testing::Test {
    LibraryScope library;
    TestDb db;
    std::unique_ptr<TDataCursor> c;

    void SetUp() override {
        TableBuilder b;
        b.Field("Id", fldINT32);
        b.Field("Name", fldZSTRING, 60);
        b.Field("Notes", fldBLOB).SetSubType(fldstMEMO);
        b.Primary({1});
        TIndexDesc text;
        text.SetName("Sys Text");
        text.SetField(0, 2);
        text.SetField(1, 3);
        text.SetByte(ido::FieldCount, 2);
        text.SetKeySize(SYS_TEXT_KEY_SIZE);
        b.Def.TextIndex = text;
        db.Create("T", b.Def);
        c = db.Open("T", false);
        const char* names[] = {"The cat", "Catalogue of dogs", "dog house", nullptr, "the", ""};
        const std::string notes[] = {"black cat and a dog", SOFTWARE + " " + HYOUJI, "", "catapult",
                                     "what is this", SOFT + "x"};
        for (int i = 0; i < 6; ++i) {
            std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
            uint8_t v[8] = {};
            PutI32(v, i + 1);
            c->PutField(1, rec.data(), v);
            std::vector<char> name(64, 0);
            if (names[i]) std::copy(names[i], names[i] + std::strlen(names[i]), name.begin());
            c->PutField(2, rec.data(), names[i] ? name.data() : nullptr);
            uint32_t size = 0;
            ASSERT_EQ(c->OpenBlob(3, rec.data(), 2, false, true, size), 0);
            ASSERT_EQ(c->PutBlob(3, rec.data(), 0, notes[i].data(), static_cast<uint32_t>(notes[i].size()), false), 0);
            c->AppendRecord(rec.data(), false);
        }
        c->SwitchToIndex(NATURAL_ORDER);
    }
    // Ids found through the index, checked against the records one by one.
    std::set<uint32_t> Find(const std::string& text, uint8_t* level = nullptr) {
        TFilter* f = c->AddFilter(text);
        if (level) *level = f->OptimizeLevel;
        c->ActivateFilter(f);
        std::set<uint32_t> shown = ShownRecords(*c);
        EXPECT_EQ(shown, AcceptedRecords(*c)) << text;
        c->DropFilter(f);
        return shown;
    }
};

TEST_F(TextSearch, WordsPrefixesStopWordsAndDoubleByteText) {
    using S = std::set<uint32_t>;
    uint8_t level = 0;
    EXPECT_EQ(Find("TEXTSEARCH('cat' IN Notes)", &level), (S{1}));
    EXPECT_EQ(level, 2);
    EXPECT_EQ(Find("TEXTSEARCH('CAT' IN Name)"), (S{1}));
    EXPECT_EQ(Find("TEXTSEARCH('cat*' IN Name)"), (S{1, 2}));
    EXPECT_EQ(Find("TEXTSEARCH('cat* dog' IN Name)"), (S{}));
    EXPECT_EQ(Find("TEXTSEARCH('cat* dog*' IN Name)"), (S{2}));
    EXPECT_EQ(Find("TEXTSEARCH('cat*' IN Notes)"), (S{1, 4}));
    EXPECT_EQ(Find("TEXTSEARCH('dog the' IN Notes)"), (S{1}));
    // Nothing but stop words finds nothing, also for a field holding only them.
    EXPECT_EQ(Find("TEXTSEARCH('the' IN Name)"), (S{}));
    EXPECT_EQ(Find("TEXTSEARCH('what is this' IN Notes)"), (S{}));
    EXPECT_EQ(Find("TEXTSEARCH('th*' IN Name)"), (S{}));
    EXPECT_EQ(Find("TEXTSEARCH('*' IN Name)"), (S{1, 2, 3}));
    // Double-byte words whose trail bytes look like delimiters.
    EXPECT_EQ(Find("TEXTSEARCH('" + SOFTWARE + "' IN Notes)"), (S{2}));
    EXPECT_EQ(Find("TEXTSEARCH('" + SOFT + "' IN Notes)"), (S{}));
    EXPECT_EQ(Find("TEXTSEARCH('" + SOFT + "*' IN Notes)"), (S{2, 6}));
    EXPECT_EQ(Find("TEXTSEARCH('" + HYOUJI + " " + SOFT + "*' IN Notes)"), (S{2}));
    // Combined with other conditions and under NOT.
    EXPECT_EQ(Find("TEXTSEARCH('dog*' IN Name) AND Id > 2"), (S{3}));
    EXPECT_EQ(Find("NOT TEXTSEARCH('dog*' IN Name)"), (S{1, 4, 5, 6}));
    EXPECT_EQ(Find("TEXTSEARCH('cat' IN Notes) OR TEXTSEARCH('house' IN Name)"), (S{1, 3}));
}

TEST_F(TextSearch, AClonesSearchOutlivesItsSource) {
    c->ActivateFilter(c->AddFilter("TEXTSEARCH('cat*' IN Notes) OR TEXTSEARCH('dog' IN Name)"));
    std::unique_ptr<TDataCursor> clone(c->CloneCursor());
    c.reset();
    clone->SwitchToIndex(NATURAL_ORDER);
    EXPECT_EQ(ShownRecords(*clone), (std::set<uint32_t>{1, 3, 4}));
    EXPECT_EQ(AcceptedRecords(*clone), (std::set<uint32_t>{1, 3, 4}));
}

TEST_F(TextSearch, WrittenRecordsFollowTheSearch) {
    TFilter* f = c->AddFilter("TEXTSEARCH('mouse' IN Notes)");
    c->ActivateFilter(f);
    EXPECT_EQ(c->GetRecordCount(), 0u);
    std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
    uint8_t v[8] = {};
    PutI32(v, 7);
    c->PutField(1, rec.data(), v);
    uint32_t size = 0;
    const std::string notes = "a grey mouse";
    ASSERT_EQ(c->OpenBlob(3, rec.data(), 2, false, true, size), 0);
    ASSERT_EQ(c->PutBlob(3, rec.data(), 0, notes.data(), static_cast<uint32_t>(notes.size()), false), 0);
    c->AppendRecord(rec.data(), true);
    EXPECT_EQ(ShownRecords(*c), (std::set<uint32_t>{7}));
    EXPECT_EQ(c->GetRecordCount(), 1u);
}

}  // namespace

namespace {

// Another program changes the table; each time the cursor sees the change its
// filters are built again and still show exactly the records they accept.
TEST(FiltersTwoProcesses, FiltersFollowAnotherProgramsWrites) {
    LibraryScope library;
    TestDb db;
    db.session.SetLockRetryCount(200);
    db.session.SetLockWaitTime(10);
    db.Create("F", FilterTable());
    auto c = db.Open("F", false);
    FilterModel m(21);
    for (int i = 0; i < 150; ++i) {
        std::vector<uint8_t> rec = m.Record(*c);
        c->AppendRecord(rec.data(), false);
    }
    c->SwitchToIndex(NATURAL_ORDER);
    c->ActivateFilter(c->AddFilter("(Small > -2 AND Txt < 'b') OR Num IN (1, 2, 3)"));
    c->ActivateFilter(c->AddFilter("NOT (Day = '2020-01-03') AND Free IS NOT NULL"));
    ChildProcess child({"filter-writer", db.tmp.path(), "F", "7"});
    ASSERT_EQ(child.readLine(), "ready");
    for (int round = 0; round < 12; ++round) {
        child.send("write 8");
        ASSERT_EQ(child.readLine(), "ok") << round;
        if (round % 3 == 2) c->SwitchToIndex(round % 2 ? 4 : NATURAL_ORDER);
        // The cursor sees the change when it next takes the table's read lock.
        c->Refresh();
        const std::set<uint32_t> shown = ShownRecords(*c);
        ASSERT_EQ(shown, AcceptedRecords(*c)) << round;
        ASSERT_EQ(c->GetRecordCount(), shown.size()) << round;
        m.RandomWrite(*c);
    }
    child.send("quit");
    EXPECT_EQ(child.wait(), 0);
}

}  // namespace

namespace {

// ---- Filters over an index several levels deep ----------------------------------------------

// Conditions the "ByName" index answers: one value, a span of values, a list,
// and all but one value (found from the keys outside it).
std::vector<std::string> DeepFilters() {
    return {"Name = '" + WideName(7) + "'",
            "Name >= 'n010' AND Name < 'n013'",
            "Name IN ('" + WideName(3) + "', '" + WideName(31) + "')",
            "Name <> '" + WideName(20) + "'",
            "Name > '" + WideName(36) + "' OR Name < 'n001'"};
}

// A shared cursor on a wide table of `rows` records, opened afresh (nothing of
// the table cached) in natural order.
std::unique_ptr<TDataCursor> FillWide(TestDb& db, WideModel& model, int rows) {
    db.Create("W", WideTable());
    {
        auto filler = db.Open("W", true);
        for (int i = 0; i < rows; ++i) {
            std::vector<uint8_t> rec = model.Record(*filler);
            filler->AppendRecord(rec.data(), false);
        }
    }
    auto c = db.Open("W", false);
    c->SwitchToIndex(NATURAL_ORDER);
    return c;
}

uint64_t IndexPageReads(TDataCursor& c) { return c.GetTable()->GetIndexFile().Statistics().PageReads; }

// Filters over the deep index show what they accept, built afresh and built
// again; the second build of a filter whose keys lie in one or two leaves reads
// no index page. On a shared table a page read is where the read locks are taken
// and the file headers read, and the cache of an index starts with room for two
// pages: the walk must make it hold the whole path from the root.
TEST(FiltersDeepIndex, ASecondBuildFindsItsPathCached) {
    LibraryScope library;
    TestDb db;
    WideModel model(3);
    auto c = FillWide(db, model, 800);
    std::vector<std::string> texts = DeepFilters();
    const std::size_t narrow = texts.size();
    for (const int v : {0, 7, 39}) texts.push_back("Name = '" + WideName(v) + "'");
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string& text = texts[i];
        uint64_t reads = IndexPageReads(*c);
        TFilter* f = c->AddFilter(text);
        c->ActivateFilter(f);
        // The test means something only when a walk passes three levels or more.
        if (i == 0) {
            ASSERT_GE(IndexPageReads(*c) - reads, 3u) << "the index is not deep enough";
        }
        const std::set<uint32_t> shown = ShownRecords(*c);
        EXPECT_EQ(shown, AcceptedRecords(*c)) << text;
        EXPECT_FALSE(shown.empty()) << text;
        c->DropFilter(f);

        reads = IndexPageReads(*c);
        f = c->AddFilter(text);
        c->ActivateFilter(f);
        if (i == 0 || i >= narrow) {
            EXPECT_EQ(IndexPageReads(*c), reads) << text;
        }
        EXPECT_EQ(c->GetRecordCount(), shown.size()) << text;
        EXPECT_EQ(ShownRecords(*c), shown) << text;
        c->DropFilter(f);
    }
    // A key range over the index counts its keys by descents to both ends.
    c->SwitchToIndex(1);
    RecordImage lowRec(*c);
    RecordImage highRec(*c);
    lowRec.Text(2, WideName(5));
    highRec.Text(2, WideName(9));
    c->SetRange(0, lowRec.data(), 1, highRec.data(), 1);
    const uint32_t inRange = c->GetRecordCount();
    EXPECT_GT(inRange, 0u);
    c->ResetRange();
    const uint64_t reads = IndexPageReads(*c);
    c->SetRange(0, lowRec.data(), 1, highRec.data(), 1);
    EXPECT_EQ(c->GetRecordCount(), inRange);
    EXPECT_EQ(IndexPageReads(*c), reads);
}

// Another program changes the wide table between filters: a filter built over the
// deep index shows exactly the records it accepts once the cursor has taken the
// change in, whether at a page the walk had to read (then the walk starts over,
// its held path let go), at a Refresh, or, with strict change detection, at the
// filter's activation itself.
TEST(FiltersTwoProcesses, FiltersOverADeepIndexFollowAnotherProgramsWrites) {
    for (const bool strict : {false, true}) {
        SCOPED_TRACE(strict ? "strict change detection" : "changes seen at cache misses");
        LibraryScope library;
        TestDb db;
        db.session.SetLockRetryCount(200);
        db.session.SetLockWaitTime(10);
        db.session.SetStrictChangeDetection(strict);
        WideModel model(11);
        auto c = FillWide(db, model, 500);
        ChildProcess child({"wide-writer", db.tmp.path(), "W", "17"});
        ASSERT_EQ(child.readLine(), "ready");
        const std::vector<std::string> filters = DeepFilters();
        for (int round = 0; round < 10; ++round) {
            child.send("write 12");
            ASSERT_EQ(child.readLine(), "ok") << round;
            const std::string& text = filters[static_cast<std::size_t>(round) % filters.size()];
            TFilter* f = c->AddFilter(text);
            c->ActivateFilter(f);
            if (!strict) c->Refresh();
            const std::set<uint32_t> shown = ShownRecords(*c);
            EXPECT_EQ(shown, AcceptedRecords(*c)) << round << ": " << text;
            EXPECT_EQ(c->GetRecordCount(), shown.size()) << round << ": " << text;
            c->DropFilter(f);
        }
        child.send("quit");
        EXPECT_EQ(child.wait(), 0);
    }
}

}  // namespace
