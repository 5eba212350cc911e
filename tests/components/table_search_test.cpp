// Searching a table: filters by event, locate and lookup, key search, ranges,
// index selection and master-detail through a data source.
#include "platform/dataset/DataSource.h"
#include "tests/components/ComponentTestSupport.h"

namespace kura::test {
namespace {

using Search = ComponentTest;

TEST_F(Search, EventFilterHidesRecordsForBrowsingCountingAndFinding) {
    auto t = StaffTable(20);
    t->SetOnFilterRecordValue([](TDataSet* ds, bool& accept) { accept = ds->FieldByName("Id")->AsInteger() % 3 == 0; });
    EXPECT_EQ(Ids(*t).size(), 20u);  // not filtered yet
    t->SetFilteredValue(true);
    EXPECT_EQ(Ids(*t), (std::vector<int>{3, 6, 9, 12, 15, 18}));
    EXPECT_EQ(t->RecordCount(), 6);
    t->Last();
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 18);
    t->SetFilteredValue(false);
    EXPECT_EQ(t->RecordCount(), 20);
    // FindFirst/FindNext use the filter without turning it on.
    ASSERT_TRUE(t->FindFirst());
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 3);
    ASSERT_TRUE(t->FindNext());
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 6);
    ASSERT_TRUE(t->FindLast());
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 18);
    EXPECT_FALSE(t->Filtered());
}

TEST_F(Search, FilterTextHidesRecordsAndFollowsItsOptions) {
    auto t = StaffTable(12);
    t->SetFilter("Id > 3 AND Score <= 4");
    EXPECT_EQ(Ids(*t).size(), 12u);  // not filtered yet
    t->SetFilteredValue(true);
    EXPECT_EQ(Ids(*t), (std::vector<int>{4, 7, 8, 9, 10, 11}));
    EXPECT_EQ(t->RecordCount(), 6);
    // A new text replaces the old; names compare by prefix unless told otherwise.
    t->SetFilter("Name = 'N1*'");
    EXPECT_EQ(Ids(*t), (std::vector<int>{1, 10, 11, 12}));
    t->SetFilterOptionsValue(foNoPartialCompare);
    EXPECT_EQ(Ids(*t), (std::vector<int>{}));
    t->SetFilterOptionsValue(foCaseInsensitive);
    t->SetFilter("Name = 'n1'");
    EXPECT_EQ(Ids(*t), (std::vector<int>{1}));
    // A refused text raises and keeps the filter before it.
    EXPECT_EQ(EngineErrorOf([&] { t->SetFilter("Nope = 1"); }), KURA_INVALIDFILTER);
    EXPECT_EQ(EngineErrorOf([&] { t->SetFilter("Id + 1"); }), KURA_INVALIDFILTER);
    EXPECT_EQ(Ids(*t), (std::vector<int>{1}));
    // Posted records follow the filter.
    t->Append();
    t->FieldByName("Id")->SetAsInteger(13);
    t->FieldByName("Name")->SetAsString("N1");
    t->FieldByName("Score")->SetAsInteger(1);
    t->Post();
    EXPECT_EQ(Ids(*t), (std::vector<int>{1, 13}));
    t->SetFilteredValue(false);
    EXPECT_EQ(t->RecordCount(), 13);
    // FindFirst uses the text without turning the filter on.
    t->SetFilter("Score = 6");
    ASSERT_TRUE(t->FindFirst());
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 6);
    EXPECT_FALSE(t->Filtered());
    EXPECT_EQ(t->RecordCount(), 13);
}

TEST_F(Search, LocateOnTheIndexAndByScanWithOptions) {
    auto t = StaffTable(10);
    t->Edit();
    t->FieldByName("Name")->SetAsString("Yamada Taro");
    t->Post();
    t->Last();
    // The primary index serves a search on Id.
    ASSERT_TRUE(t->Locate("Id", TVariant(4), 0));
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "N4");
    EXPECT_FALSE(t->Locate("Id", TVariant(99), 0));
    // Name is served by the case-insensitive index ByName, partially.
    ASSERT_TRUE(t->Locate("Name", TVariant("yamada"), loCaseInsensitive | loPartialKey));
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 1);
    EXPECT_FALSE(t->Locate("Name", TVariant("yamada"), loCaseInsensitive));
    // Case-sensitive: no index fits, the scan compares exactly.
    EXPECT_FALSE(t->Locate("Name", TVariant("yamada taro"), 0));
    ASSERT_TRUE(t->Locate("Name", TVariant("Yamada Taro"), 0));
    // Two fields, no index on both: a scan.
    ASSERT_TRUE(t->Locate("Score;Name", TVariant(std::vector<TVariant>{TVariant(5), TVariant("N5")}), 0));
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 5);
    // A Null value matches a blank field.
    EXPECT_FALSE(t->Locate("Joined", TVariant::Null(), 0) == false);
}

TEST_F(Search, LookupReturnsValuesWithoutMoving) {
    auto t = StaffTable(8);
    t->MoveBy(2);
    const TVariant v = t->Lookup("Id", TVariant(6), "Name;Score");
    ASSERT_TRUE(v.IsArray());
    EXPECT_EQ(v[0].AsString(), "N6");
    EXPECT_EQ(v[1].AsInteger(), 6);
    EXPECT_TRUE(t->Lookup("Id", TVariant(60), "Name").IsNull());
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 3);
    t->Next();
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 4);
}

TEST_F(Search, KeySearchWithSetKeyAndGotoKey) {
    auto t = StaffTable(12);
    t->SetKey();
    EXPECT_EQ(t->State(), dsSetKey);
    t->FieldByName("Id")->SetAsInteger(9);
    EXPECT_EQ(DatabaseErrorOf([&] { t->FieldByName("Name")->SetAsString("x"); }),
              "Field Name is not in the current index.");
    ASSERT_TRUE(t->GotoKey());
    EXPECT_EQ(t->State(), dsBrowse);
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "N9");
    t->SetKey();
    t->FieldByName("Id")->SetAsInteger(99);
    EXPECT_FALSE(t->GotoKey());
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 9);
}

TEST_F(Search, RangesOnAnIndexAndCancel) {
    auto t = StaffTable(30);
    t->SetIndexName("ByScore");
    t->SetRangeStart();
    t->FieldByName("Score")->SetAsInteger(2);
    t->SetRangeEnd();
    t->FieldByName("Score")->SetAsInteger(3);
    t->ApplyRange();
    std::vector<int> ids = Ids(*t);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<int>{2, 3, 9, 10, 16, 17, 23, 24, 30}));
    EXPECT_EQ(t->RecordCount(), 9);
    t->CancelRange();
    EXPECT_EQ(t->RecordCount(), 30);
    t->SetIndexFieldNames("Id");
    EXPECT_EQ(Ids(*t).front(), 1);
    EXPECT_EQ(t->IndexFieldNames(), "Id");
}

TEST_F(Search, DetailFollowsTheMasterThroughADataSource) {
    auto master = StaffTable(4, "Staff");
    auto detail = NewTable("Family");
    detail->FieldDefs().Add("StaffId", ftInteger, 0, true);
    detail->FieldDefs().Add("Seq", ftInteger, 0, true);
    detail->FieldDefs().Add("Who", ftString, 10);
    detail->IndexDefs().Add("", "StaffId;Seq", ixPrimary | ixUnique);
    detail->CreateTable();
    detail->Open();
    for (int staff = 1; staff <= 4; ++staff)
        for (int seq = 1; seq <= staff; ++seq) {
            detail->Append();
            detail->FieldByName("StaffId")->SetAsInteger(staff);
            detail->FieldByName("Seq")->SetAsInteger(seq);
            detail->FieldByName("Who")->SetAsString("W" + std::to_string(staff * 10 + seq));
            detail->Post();
        }
    TDataSource source;
    source.SetDataSet(master.get());
    detail->SetMasterSource(&source);
    detail->SetMasterFields("Id");
    master->First();
    EXPECT_EQ(detail->RecordCount(), 1);
    master->Next();
    master->Next();
    EXPECT_EQ(detail->RecordCount(), 3);
    EXPECT_EQ(detail->FieldByName("Who")->AsString(), "W31");
    // A new detail record takes the master's key.
    detail->Append();
    detail->FieldByName("Seq")->SetAsInteger(9);
    detail->Post();
    EXPECT_EQ(detail->FieldByName("StaffId")->AsInteger(), 3);
    EXPECT_EQ(detail->RecordCount(), 4);
    // A link back to the master's own dataset is refused.
    TDataSource back;
    back.SetDataSet(detail.get());
    EXPECT_EQ(DatabaseErrorOf([&] { detail->SetMasterSource(&back); }), "Circular data links are not allowed.");
    detail->SetMasterSource(nullptr);
    EXPECT_EQ(detail->RecordCount(), 11);
}

}  // namespace
}  // namespace kura::test
