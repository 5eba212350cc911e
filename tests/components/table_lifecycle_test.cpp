// The dataset lifecycle of the table component against real engine tables:
// browse, edit and post, insert and cancel, delete, bookmarks, refresh.
#include "tests/components/ComponentTestSupport.h"

namespace kura::test {
namespace {

using Lifecycle = ComponentTest;

TEST_F(Lifecycle, CreatedTableOpensEmptyAndAppendsBrowseInKeyOrder) {
    auto t = StaffTable();
    EXPECT_EQ(t->State(), dsBrowse);
    EXPECT_TRUE(t->IsEmpty());
    EXPECT_TRUE(t->Bof());
    EXPECT_TRUE(t->Eof());
    for (int id : {5, 3, 9, 1}) AddStaff(*t, id, "X" + std::to_string(id), id);
    EXPECT_EQ(t->RecordCount(), 4);
    EXPECT_EQ(Ids(*t), (std::vector<int>{1, 3, 5, 9}));
    t->Last();
    EXPECT_TRUE(t->Eof());
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 9);
    t->Prior();
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 5);
}

TEST_F(Lifecycle, EditAndPostChangesTheRecordAndKeepsTheOthers) {
    auto t = StaffTable(5);
    t->MoveBy(2);
    ASSERT_EQ(t->FieldByName("Id")->AsInteger(), 3);
    t->Edit();
    EXPECT_EQ(t->State(), dsEdit);
    t->FieldByName("Name")->SetAsString("Changed");
    EXPECT_TRUE(t->Modified());
    t->Post();
    EXPECT_EQ(t->State(), dsBrowse);
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 3);
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "Changed");
    t->Close();
    t->Open();
    ASSERT_TRUE(t->Locate("Id", TVariant(3), 0));
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "Changed");
    EXPECT_EQ(t->RecordCount(), 5);
}

TEST_F(Lifecycle, LeavingEditModeByNavigationPostsAndCancelRestores) {
    auto t = StaffTable(3);
    t->Edit();
    t->FieldByName("Score")->SetAsInteger(100);
    t->Next();  // CheckBrowseMode posts the modified record
    EXPECT_EQ(t->State(), dsBrowse);
    t->First();
    EXPECT_EQ(t->FieldByName("Score")->AsInteger(), 100);

    t->Edit();
    t->FieldByName("Score")->SetAsInteger(200);
    t->Cancel();
    EXPECT_EQ(t->FieldByName("Score")->AsInteger(), 100);
    EXPECT_EQ(t->State(), dsBrowse);
}

TEST_F(Lifecycle, InsertAndCancelLeavesNoRecordAndRecNoOfNewRecordIsMinusOne) {
    auto t = StaffTable(3);
    t->Next();
    t->Insert();
    EXPECT_EQ(t->State(), dsInsert);
    EXPECT_EQ(t->RecNo(), -1);
    t->FieldByName("Id")->SetAsInteger(50);
    t->Cancel();
    EXPECT_EQ(t->State(), dsBrowse);
    EXPECT_EQ(t->RecordCount(), 3);
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 2);
    EXPECT_EQ(Ids(*t), (std::vector<int>{1, 2, 3}));
}

TEST_F(Lifecycle, DeleteRemovesTheRecordAndMovesToTheNext) {
    auto t = StaffTable(4);
    t->Next();
    t->Delete();
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 3);
    EXPECT_EQ(Ids(*t), (std::vector<int>{1, 3, 4}));
    t->Last();
    t->Delete();
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 3);
    EXPECT_EQ(t->RecordCount(), 2);
}

TEST_F(Lifecycle, BeforePostAbortKeepsEditStateAndValues) {
    auto t = StaffTable(2);
    bool refuse = true;
    t->BeforePost = [&](TDataSet*) {
        if (refuse) Abort();
    };
    t->Edit();
    t->FieldByName("Name")->SetAsString("Kept");
    EXPECT_THROW(t->Post(), EAbort);
    EXPECT_EQ(t->State(), dsEdit);
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "Kept");
    refuse = false;
    t->Post();
    EXPECT_EQ(t->State(), dsBrowse);
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "Kept");
}

TEST_F(Lifecycle, OnNewRecordRunsAfterTheRecordIsInitialised) {
    auto t = StaffTable();
    std::vector<std::string> order;
    t->BeforeInsert = [&](TDataSet*) { order.push_back("before"); };
    t->OnNewRecord = [&](TDataSet* ds) {
        order.push_back(ds->FieldByName("Id")->IsNull() ? "new-blank" : "new-dirty");
        ds->FieldByName("Score")->SetAsInteger(42);
    };
    t->AfterInsert = [&](TDataSet*) { order.push_back("after"); };
    t->Append();
    EXPECT_EQ(order, (std::vector<std::string>{"before", "new-blank", "after"}));
    EXPECT_EQ(t->FieldByName("Score")->AsInteger(), 42);
    // Values set by OnNewRecord alone do not count as a change.
    EXPECT_FALSE(t->Modified());
    t->FieldByName("Id")->SetAsInteger(7);
    t->Post();
    EXPECT_EQ(t->FieldByName("Score")->AsInteger(), 42);
}

TEST_F(Lifecycle, FailedPostKeepsTheInsertAndLosesNothingPosted) {
    auto t = StaffTable(3);
    t->Append();
    t->FieldByName("Id")->SetAsInteger(2);  // duplicate primary key
    t->FieldByName("Name")->SetAsString("Dup");
    EXPECT_EQ(EngineErrorOf([&] { t->Post(); }), KURA_KEYVIOL);
    EXPECT_EQ(t->State(), dsInsert);
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "Dup");
    t->FieldByName("Id")->SetAsInteger(20);
    t->Post();
    EXPECT_EQ(Ids(*t), (std::vector<int>{1, 2, 3, 20}));
    ASSERT_TRUE(t->Locate("Id", TVariant(2), 0));
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "N2");
}

TEST_F(Lifecycle, BookmarksSurviveRefreshAndOtherChanges) {
    auto t = StaffTable(10);
    t->MoveBy(6);
    const TBookmark mark = t->GetBookmark();
    ASSERT_FALSE(mark.empty());
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 7);
    t->First();
    t->Delete();  // Id 1 goes
    AddStaff(*t, 100, "Late", 1);
    t->Refresh();
    t->GotoBookmark(mark);
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 7);
    t->Last();
    const TBookmark last = t->GetBookmark();
    // A nil (empty) bookmark comes before every real one.
    const TBookmark nil;
    const struct {
        const TBookmark &a, &b;
        int expected;
    } comparisons[] = {{mark, last, -1}, {last, mark, 1}, {mark, mark, 0},
                       {nil, last, -1},  {last, nil, 1},  {nil, nil, 0}};
    for (const auto& c : comparisons) EXPECT_EQ(t->CompareBookmarks(c.a, c.b), c.expected) << &c - comparisons;
    EXPECT_TRUE(t->BookmarkValid(mark));
}

TEST_F(Lifecycle, RecNoFollowsThePositionAndCanBeSet) {
    auto t = StaffTable(6);
    EXPECT_EQ(t->RecNo(), 1);
    t->MoveBy(3);
    EXPECT_EQ(t->RecNo(), 4);
    t->SetRecNo(2);
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 2);
}

TEST_F(Lifecycle, MoveByPastTheEndsStopsAtBofAndEof) {
    auto t = StaffTable(3);
    EXPECT_EQ(t->MoveBy(10), 2);
    EXPECT_TRUE(t->Eof());
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 3);
    EXPECT_EQ(t->MoveBy(-10), -2);
    EXPECT_TRUE(t->Bof());
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 1);
}

}  // namespace
}  // namespace kura::test
