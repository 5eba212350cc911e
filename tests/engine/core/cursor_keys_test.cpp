#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CursorTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

// A record image holding the given values, as the dataset layer hands it over.
std::vector<uint8_t> Image(TDataCursor& c, int32_t id, const std::string& name, int32_t score) {
    std::vector<uint8_t> b(c.GetCursorRecordSize(), 0);
    b[NAV_ID_OFFSET] = 1;
    dfbytes::PutU32(&b[NAV_ID_OFFSET + 1], static_cast<uint32_t>(id));
    b[NAV_NAME_OFFSET] = name.empty() ? 0 : 1;
    std::memcpy(&b[NAV_NAME_OFFSET + 1], name.data(), std::min<std::size_t>(name.size(), NAV_NAME_SIZE));
    b[NAV_SCORE_OFFSET] = 1;
    dfbytes::PutU32(&b[NAV_SCORE_OFFSET + 1], static_cast<uint32_t>(score));
    return b;
}

std::string Upper(std::string s) {
    for (char& ch : s)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    return s;
}

// Names in mixed case with repeats; ids 10, 20, ...; scores with repeats.
void Fill(NavFixture& f, int count) {
    std::mt19937 rng(99);
    const char* names[] = {"alice", "Alice", "anna", "bob", "Bob", "bobby", "carol", "dave", "Dave", "eve"};
    for (int i = 0; i < count; ++i) {
        std::string name = names[rng() % 10];
        if (rng() % 3 == 0) name += std::to_string(rng() % 20);
        f.Add((i + 1) * 10, name, static_cast<int32_t>(rng() % 30));
    }
}

}  // namespace

TEST(CursorKeys, ExactAndNearestSearchOnAUniqueIndex) {
    TempDir tmp;
    NavDb db(tmp.path());
    Fill(*db.Fixture, 500);
    auto c = db.Open();  // the primary index, on Id
    const std::vector<uint32_t> model = db.Fixture->Order(NAV_PRIMARY);
    for (int32_t id = 10; id <= 5000; id += 70) {
        std::vector<uint8_t> rec = Image(*c, id, "", 0);
        std::vector<uint8_t> out(rec.size(), 0);
        ASSERT_EQ(c->FindKey(0, rec.data(), 1, 0, 0, out.data()), 1) << id;
        EXPECT_EQ(CurrentId(*c), id);
        EXPECT_EQ(dfbytes::GetU32(&out[NAV_ID_OFFSET + 1]), static_cast<uint32_t>(id));
        EXPECT_EQ(c->GetRecordNumber(), static_cast<uint32_t>(id / 10));
    }
    // A missing key without nearest leaves the cursor where it was.
    std::vector<uint8_t> rec = Image(*c, 1234, "", 0);
    const uint32_t before = c->GetCurrentRecordNumber();
    EXPECT_EQ(c->FindKey(0, rec.data(), 1, 0, 0), 0);
    EXPECT_EQ(c->GetCurrentRecordNumber(), before);
    // Nearest lands on the next key; below every key on the first.
    EXPECT_EQ(c->FindKey(0, rec.data(), 1, 1, 0), 0);
    EXPECT_EQ(CurrentId(*c), 1240);
    rec = Image(*c, -7, "", 0);
    EXPECT_EQ(c->FindKey(0, rec.data(), 1, 1, 0), 0);
    EXPECT_EQ(CurrentId(*c), 10);
    EXPECT_FALSE(c->FBOF || c->FEOF);
    // Above every key: EOF, then the last record.
    rec = Image(*c, 999999, "", 0);
    EXPECT_EQ(c->FindKey(0, rec.data(), 1, 1, 0), 0);
    EXPECT_EQ(CurrentId(*c), 5000);
    EXPECT_EQ(c->GetCurrentRecordNumber(), model.back());
    EXPECT_FALSE(c->FEOF);
    // A ready key works as well as a record; a missing buffer finds nothing.
    uint8_t key[5] = {1, 0x80, 0, 0, 30};
    EXPECT_EQ(c->FindKey(1, key, 0, 0, 0), 1);
    EXPECT_EQ(CurrentId(*c), 30);
    EXPECT_EQ(c->FindKey(1, nullptr, 0, 0, 0), 0);
}

TEST(CursorKeys, NonUniqueCaseInsensitiveAndDescendingSearches) {
    TempDir tmp;
    NavDb db(tmp.path());
    Fill(*db.Fixture, 600);
    const auto& records = db.Fixture->Records;
    auto c = db.Open();

    // Not unique: all fields given compares the field part only and finds the
    // first of the equal keys.
    c->SetIndexName("ByName");
    const std::vector<uint32_t> byName = db.Fixture->Order(NAV_BY_NAME);
    for (const std::string name : {"bob", "Bob", "alice", "eve", "dave"}) {
        std::vector<uint8_t> rec = Image(*c, 0, name, 0);
        ASSERT_EQ(c->FindKey(0, rec.data(), 1, 0, 0), 1) << name;
        const auto first = std::find_if(byName.begin(), byName.end(),
                                        [&](uint32_t r) { return records.at(r).Name == name; });
        EXPECT_EQ(c->GetCurrentRecordNumber(), *first) << name;
        EXPECT_EQ(c->GetRecordNumber(), static_cast<uint32_t>(first - byName.begin() + 1));
        // Field count 0 and no partial length means all fields too.
        ASSERT_EQ(c->FindKey(0, rec.data(), 0, 0, 0), 1);
        EXPECT_EQ(c->GetCurrentRecordNumber(), *first);
    }
    // Missing name: false; with nearest the next name in key order.
    std::vector<uint8_t> rec = Image(*c, 0, "bz", 0);
    EXPECT_EQ(c->FindKey(0, rec.data(), 1, 1, 0), 0);
    const auto next = std::find_if(byName.begin(), byName.end(), [&](uint32_t r) { return records.at(r).Name > "bz"; });
    EXPECT_EQ(c->GetCurrentRecordNumber(), *next);

    // Partial length n on the first field matches names that begin with n bytes.
    for (const std::string prefix : {"bo", "Bo", "ali", "d", "q"}) {
        rec = Image(*c, 0, prefix, 0);
        const auto first = std::find_if(byName.begin(), byName.end(), [&](uint32_t r) {
            return records.at(r).Name.compare(0, prefix.size(), prefix) >= 0;
        });
        const bool exists = first != byName.end() && records.at(*first).Name.compare(0, prefix.size(), prefix) == 0;
        EXPECT_EQ(c->FindKey(0, rec.data(), 0, 0, static_cast<uint8_t>(prefix.size())), exists ? 1 : 0) << prefix;
        if (exists) {
            EXPECT_EQ(c->GetCurrentRecordNumber(), *first) << prefix;
        }
    }

    // Case-insensitive: every spelling finds the first upper-case-equal name.
    c->SetIndexName("ByNameCI");
    const std::vector<uint32_t> byNameCI = db.Fixture->Order(NAV_BY_NAME_CI);
    for (const std::string name : {"BOB", "bob", "aLiCe"}) {
        rec = Image(*c, 0, name, 0);
        ASSERT_EQ(c->FindKey(0, rec.data(), 1, 0, 0), 1) << name;
        const auto first = std::find_if(byNameCI.begin(), byNameCI.end(),
                                        [&](uint32_t r) { return Upper(records.at(r).Name) == Upper(name); });
        EXPECT_EQ(c->GetCurrentRecordNumber(), *first);
        EXPECT_EQ(Upper(records.at(c->GetCurrentRecordNumber()).Name), Upper(name));
    }

    // Descending: the first key of a score is the one with the highest row id,
    // and nearest goes on to the next lower score.
    c->SetIndexName("ByScoreDesc");
    const std::vector<uint32_t> byScore = db.Fixture->Order(NAV_BY_SCORE_DESC);
    for (int32_t score : {29, 15, 0}) {
        rec = Image(*c, 0, "", score);
        ASSERT_EQ(c->FindKey(0, rec.data(), 1, 0, 0), 1) << score;
        const auto first = std::find_if(byScore.begin(), byScore.end(),
                                        [&](uint32_t r) { return records.at(r).Score == score; });
        EXPECT_EQ(c->GetCurrentRecordNumber(), *first);
    }
    rec = Image(*c, 0, "", 100);
    EXPECT_EQ(c->FindKey(0, rec.data(), 1, 1, 0), 0);
    EXPECT_EQ(c->GetCurrentRecordNumber(), byScore.front());
    rec = Image(*c, 0, "", -100);
    EXPECT_EQ(c->FindKey(0, rec.data(), 1, 1, 0), 0);
    EXPECT_EQ(c->GetCurrentRecordNumber(), byScore.back());

    // Unique composite index searched by its first field only: a prefix search.
    c->SetIndexName("ByNameId");
    rec = Image(*c, 0, "carol", 0);
    ASSERT_EQ(c->FindKey(0, rec.data(), 1, 0, 0), 1);
    EXPECT_EQ(records.at(c->GetCurrentRecordNumber()).Name, "carol");
    EXPECT_EQ(c->GetCurrentRecordNumber(), db.Fixture->Order(NAV_BY_NAME_ID)[static_cast<std::size_t>(
                                               c->GetRecordNumber() - 1)]);

    // Natural order: no key search and no range; the cursor does not move.
    c->SwitchToIndex(NATURAL_ORDER);
    c->SetToRecordNumber(7);
    EXPECT_EQ(c->FindKey(0, rec.data(), 1, 1, 0), 0);
    c->SetRange(0, rec.data(), 1, rec.data(), 1);
    EXPECT_EQ(c->GetCurrentRecordNumber(), 7u);
    EXPECT_EQ(c->GetRecordCount(), records.size());
}

TEST(CursorKeys, RangesSetChangedAndResetFollowTheModel) {
    TempDir tmp;
    NavDb db(tmp.path());
    Fill(*db.Fixture, 800);
    const auto& records = db.Fixture->Records;
    auto c = db.Open();
    c->SetIndexName("ByName");
    const std::vector<uint32_t> all = db.Fixture->Order(NAV_BY_NAME);
    auto expect = [&](const std::vector<uint32_t>& order, auto inRange) {
        std::vector<uint32_t> want;
        for (uint32_t r : order)
            if (inRange(records.at(r))) want.push_back(r);
        std::vector<uint32_t> numbers;
        EXPECT_EQ(WalkForward(*c, &numbers), want);
        for (std::size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], i + 1);
        EXPECT_EQ(WalkBackward(*c), want);
        EXPECT_EQ(c->GetRecordCount(), want.size());
        if (!want.empty()) {
            const auto mid = static_cast<int32_t>(want.size() / 2 + 1);
            EXPECT_EQ(c->SetToRecordNumber(mid), 1);
            EXPECT_EQ(c->GetCurrentRecordNumber(), want[static_cast<std::size_t>(mid - 1)]);
            EXPECT_EQ(c->SetToRecordNumber(static_cast<int32_t>(want.size()) + 1), 0);
            EXPECT_EQ(c->GetCurrentRecordNumber(), want.back());
        }
        return want;
    };

    // Whole names "bob" through "dave": both bounds take every row id.
    std::vector<uint8_t> lo = Image(*c, 0, "bob", 0);
    std::vector<uint8_t> hi = Image(*c, 0, "dave", 0);
    c->SetRange(0, lo.data(), 1, hi.data(), 1);
    std::vector<uint32_t> want = expect(all, [](const NavRecord& r) { return r.Name >= "bob" && r.Name <= "dave"; });
    ASSERT_FALSE(want.empty());
    // The cursor stands on the first record of the range.
    c->SetToBegin();
    EXPECT_EQ(c->GetCurrentRecordNumber(), want.front());

    // Key search inside a range: below it the first key, above it the last.
    std::vector<uint8_t> rec = Image(*c, 0, "carol", 0);
    EXPECT_EQ(c->FindKey(0, rec.data(), 1, 0, 0), 1);
    EXPECT_EQ(records.at(c->GetCurrentRecordNumber()).Name, "carol");
    rec = Image(*c, 0, "alice", 0);
    EXPECT_EQ(c->FindKey(0, rec.data(), 1, 1, 0), 0);
    EXPECT_EQ(c->GetCurrentRecordNumber(), want.front());
    rec = Image(*c, 0, "zed", 0);
    EXPECT_EQ(c->FindKey(0, rec.data(), 1, 1, 0), 0);
    EXPECT_EQ(c->GetCurrentRecordNumber(), want.back());

    // Changed to an open end, then to an open start.
    c->SetRange(0, lo.data(), 1, nullptr, 0);
    expect(all, [](const NavRecord& r) { return r.Name >= "bob"; });
    c->SetRange(0, nullptr, 0, hi.data(), 1);
    expect(all, [](const NavRecord& r) { return r.Name <= "dave"; });
    // Start above end: nothing, and the empty position.
    c->SetRange(0, hi.data(), 1, lo.data(), 1);
    EXPECT_EQ(c->GetRecordCount(), 0u);
    c->SetToBegin();
    EXPECT_TRUE(c->FBOF && c->FEOF);
    EXPECT_EQ(c->GetRecordNumber(), 0u);
    // A range between two keys that holds none.
    lo = Image(*c, 0, "bz", 0);
    hi = Image(*c, 0, "c", 0);
    c->SetRange(0, lo.data(), 1, hi.data(), 1);
    EXPECT_EQ(c->GetRecordCount(), 0u);
    EXPECT_TRUE(WalkForward(*c).empty());
    // Reset: the table's count again.
    c->ResetRange();
    EXPECT_FALSE(c->FRangeActive);
    EXPECT_EQ(c->GetRecordCount(), records.size());
    EXPECT_EQ(WalkForward(*c), all);

    // Unique primary index: ids 100..200 exactly.
    c->SetIndexName("");
    lo = Image(*c, 100, "", 0);
    hi = Image(*c, 200, "", 0);
    c->SetRange(0, lo.data(), 1, hi.data(), 1);
    expect(db.Fixture->Order(NAV_PRIMARY), [](const NavRecord& r) { return r.Id >= 100 && r.Id <= 200; });
    // Keys that are not in the table bound the range as well.
    lo = Image(*c, 95, "", 0);
    hi = Image(*c, 7777, "", 0);
    c->SetRange(0, lo.data(), 1, hi.data(), 1);
    expect(db.Fixture->Order(NAV_PRIMARY), [](const NavRecord& r) { return r.Id >= 95 && r.Id <= 7777; });

    // Descending index: start is the high score.
    c->SetIndexName("ByScoreDesc");
    EXPECT_FALSE(c->FRangeActive);
    lo = Image(*c, 0, "", 20);
    hi = Image(*c, 0, "", 10);
    c->SetRange(0, lo.data(), 1, hi.data(), 1);
    expect(db.Fixture->Order(NAV_BY_SCORE_DESC), [](const NavRecord& r) { return r.Score <= 20 && r.Score >= 10; });

    // A range survives records coming and going.
    const uint32_t added = db.Fixture->Add(99999, "x", 15);
    db.Fixture->Remove(db.Fixture->Order(NAV_BY_SCORE_DESC)[300]);
    c->SetToBegin();
    expect(db.Fixture->Order(NAV_BY_SCORE_DESC), [](const NavRecord& r) { return r.Score <= 20 && r.Score >= 10; });
    const std::vector<uint32_t> now = db.Fixture->Order(NAV_BY_SCORE_DESC);
    const auto at = std::find(now.begin(), now.end(), added);
    ASSERT_NE(at, now.end());
    EXPECT_TRUE(c->FindKey(0, Image(*c, 0, "", 15).data(), 1, 0, 0));
    // The new record is one of the fifteens and reachable by its number.
    c->SetToBegin();
    bool seen = false;
    for (const uint32_t r : WalkForward(*c)) seen = seen || r == added;
    EXPECT_TRUE(seen);
}

TEST(CursorKeys, RangeScansCountsAndComplementsAgree) {
    TempDir tmp;
    NavDb db(tmp.path());
    Fill(*db.Fixture, 1500);
    for (uint32_t r = 5; r <= 1500; r += 7) db.Fixture->Remove(r);
    const auto& records = db.Fixture->Records;
    auto c = db.Open();
    c->SetIndexName("ByName");
    const uint32_t last = c->GetLastRecordNumber();
    TRecordsBitmap direct;
    TRecordsBitmap complement;
    direct.SetRecordCount(static_cast<int32_t>(last));
    complement.SetRecordCount(static_cast<int32_t>(last));
    struct Case {
        std::string low;
        std::string high;
    };
    for (const Case& k : std::vector<Case>{{"a", "b"}, {"alice", "alice"}, {"b", "zzz"}, {"", "zzz"}, {"q", "r"}}) {
        SCOPED_TRACE(k.low + ".." + k.high);
        uint8_t low[RANGE_KEY_SIZE] = {};
        uint8_t high[RANGE_KEY_SIZE] = {};
        std::vector<uint8_t> rl = Image(*c, 0, k.low, 0);
        std::vector<uint8_t> rh = Image(*c, 0, k.high, 0);
        c->BuildIndexKey(rl.data(), low);
        c->BuildIndexKey(rh.data(), high);
        c->FillLowKey(low, 22);
        c->FillHighKey(high, 22);
        EXPECT_TRUE(std::all_of(high + 22, high + 26, [](uint8_t b) { return b == 0xFF; }));
        EXPECT_TRUE(std::all_of(low + 22, low + 26, [](uint8_t b) { return b == 0; }));
        // A blank name has the lowest key, so only an empty low bound takes it.
        auto in = [&](const NavRecord& r) {
            return r.Name.empty() ? k.low.empty() : (r.Name >= k.low && r.Name <= k.high);
        };
        uint32_t want = 0;
        for (const auto& [no, r] : records)
            if (in(r)) ++want;
        bool aborted = true;
        EXPECT_EQ(c->CountKeysInRange(low, high, aborted), want);
        EXPECT_FALSE(aborted);
        c->ScanRangeToBitmap(low, high, aborted, direct);
        EXPECT_FALSE(aborted);
        EXPECT_EQ(static_cast<uint32_t>(direct.Count()), want);
        for (const auto& [no, r] : records)
            ASSERT_EQ(direct.GetBit(static_cast<int32_t>(no)), in(r));
        // The complement holds the range and the deleted slots, never a live
        // record outside the range.
        c->ScanComplement(low, high, aborted, complement);
        EXPECT_FALSE(aborted);
        for (const auto& [no, r] : records)
            ASSERT_EQ(complement.GetBit(static_cast<int32_t>(no)), direct.GetBit(static_cast<int32_t>(no)));
        // Bounds the wrong way round give nothing, without reading pages.
        EXPECT_EQ(c->CountKeysInRange(high, low, aborted), 0u);
        c->ScanRangeToBitmap(high, low, aborted, direct);
        EXPECT_EQ(direct.Count(), 0);
    }
    // The live set of natural order lists exactly the records not deleted.
    c->SwitchToIndex(NATURAL_ORDER);
    EXPECT_EQ(c->GetRecordCount(), records.size());
    const TRecordsBitmap* visible = c->FRecordSets[RS_VISIBLE];
    ASSERT_NE(visible, nullptr);
    EXPECT_EQ(static_cast<std::size_t>(visible->Count()), records.size());
    for (uint32_t r = 1; r <= last; ++r) ASSERT_EQ(visible->GetBit(static_cast<int32_t>(r)), records.count(r) == 1);
}

TEST(CursorKeys, BuiltKeysFollowTheIndexLayout) {
    TempDir tmp;
    NavDb db(tmp.path());
    db.Fixture->Add(42, "Mixed", -3);
    db.Fixture->Add(43, "", 8);
    auto c = db.Open();
    for (uint8_t slot : {NAV_PRIMARY, NAV_BY_NAME, NAV_BY_NAME_CI, NAV_BY_SCORE_DESC, NAV_BY_NAME_ID}) {
        SCOPED_TRACE(static_cast<int>(slot));
        c->SwitchToIndex(slot);
        for (const auto& [no, r] : db.Fixture->Records) {
            std::vector<uint8_t> image = Image(*c, r.Id, r.Name, r.Score);
            dfbytes::PutU32(&image[RH_AUTOINC], r.RowId);
            uint8_t key[RANGE_KEY_SIZE] = {};
            c->BuildIndexKey(image.data(), key);
            const std::vector<uint8_t> want = NavKey(*db.Table, slot, r);
            EXPECT_EQ(std::vector<uint8_t>(key, key + c->GetKeySize()), want);
        }
    }
    uint8_t image[64] = {};
    image[RH_DELETED] = 1;
    dfbytes::PutU32(&image[RH_AUTOINC], 7);
    uint8_t key[RANGE_KEY_SIZE] = {};
    c->BuildRowIdKey(image, key);
    EXPECT_EQ(std::vector<uint8_t>(key, key + 5), RowKey(1, 7));
}

// The visible-record set as filters will keep it: index-order walks, searches and
// record numbers pass over the records it leaves out.
TEST(CursorKeys, AVisibleSetNarrowsTheIndexOrder) {
    TempDir tmp;
    NavDb db(tmp.path());
    Fill(*db.Fixture, 700);
    const auto& records = db.Fixture->Records;
    auto c = db.Open();
    c->SetIndexName("ByName");
    std::vector<uint8_t> lo = Image(*c, 0, "alice", 0);
    std::vector<uint8_t> hi = Image(*c, 0, "dave", 0);
    c->SetRange(0, lo.data(), 1, hi.data(), 1);
    c->FVisibleSetActive = true;
    c->RebuildFilterSet();
    std::vector<uint32_t> want;
    for (uint32_t r : db.Fixture->Order(NAV_BY_NAME))
        if (records.at(r).Name >= "alice" && records.at(r).Name <= "dave") want.push_back(r);
    // Wide range: more than half of the table, found from its complement.
    ASSERT_GT(want.size() * 2, records.size());
    EXPECT_EQ(c->GetRecordCount(), want.size());
    EXPECT_EQ(WalkForward(*c), want);

    // Hide every third record of the range and the first and last ones.
    TRecordsBitmap& visible = *c->FRecordSets[RS_VISIBLE];
    std::vector<uint32_t> shown;
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (i % 3 == 1 || i == 0 || i + 1 == want.size())
            visible.ClearBit(static_cast<int32_t>(want[i]));
        else
            shown.push_back(want[i]);
    }
    c->FVisibleCount = visible.Count();
    EXPECT_EQ(c->GetRecordCount(), shown.size());
    EXPECT_EQ(WalkForward(*c), shown);
    EXPECT_EQ(WalkBackward(*c), shown);
    // A search for a hidden key finds nothing exactly and, nearest, the next shown.
    const NavRecord& hidden = records.at(want[1]);
    std::vector<uint8_t> rec = Image(*c, 0, hidden.Name, 0);
    c->FindKey(0, rec.data(), 1, 1, 0);
    const auto firstShownAtOrAbove =
        std::find_if(shown.begin(), shown.end(), [&](uint32_t r) { return records.at(r).Name >= hidden.Name; });
    ASSERT_NE(firstShownAtOrAbove, shown.end());
    EXPECT_EQ(c->GetCurrentRecordNumber(), *firstShownAtOrAbove);
    // Going to a record number that falls on a hidden key moves on to a shown one.
    c->SetToRecordNumber(2);
    EXPECT_EQ(c->GetCurrentRecordNumber(), shown.front());
    // Past the last shown key: EOF on it.
    c->MoveToLastKey();
    c->MoveBy(1);
    EXPECT_TRUE(c->FEOF);
    EXPECT_EQ(c->GetCurrentRecordNumber(), shown.back());

    // One record written and one deleted keep the sets without a rebuild.
    const uint32_t added = db.Fixture->Add(70000, "bob", 1);
    c->UpdateFilterSetOnWrite(added, Image(*c, 70000, "bob", 1).data());
    EXPECT_TRUE(visible.GetBit(static_cast<int32_t>(added)));
    EXPECT_EQ(c->GetRecordCount(), shown.size() + 1);
    const uint32_t outside = db.Fixture->Add(70001, "zed", 1);
    c->UpdateFilterSetOnWrite(outside, Image(*c, 70001, "zed", 1).data());
    EXPECT_FALSE(visible.GetBit(static_cast<int32_t>(outside)));
    EXPECT_EQ(c->GetRecordCount(), shown.size() + 1);
    db.Fixture->Remove(shown[5]);
    c->UpdateFilterSetOnDelete(shown[5]);
    EXPECT_FALSE(visible.GetBit(static_cast<int32_t>(shown[5])));
    EXPECT_EQ(c->GetRecordCount(), shown.size());
}
