// The dataset lifecycle over a query result (a result table the statement owns):
// browsing both ways, record numbers, bookmarks, locate and lookup, filters by
// event, calculated fields, block reads, and what closing and reopening keep.
#include "components/KuraQuery.h"

#include "platform/dataset/Field.h"
#include "tests/components/ComponentTestSupport.h"

namespace kura::test {
namespace {

class QueryResult : public ComponentTest {
protected:
    // Staff 1..count; the query orders them by Score descending, then Id.
    std::unique_ptr<TKuraQuery> OpenResult(int count) {
        StaffTable(count)->Close();
        auto q = std::make_unique<TKuraQuery>();
        q->SetDatabaseName(dir.path());
        q->SetSQL("SELECT Id, Name, Score, Score * 10 AS Tenfold FROM Staff ORDER BY Score DESC, Id");
        q->Open();
        return q;
    }
    // Ids in the order of the query for count staff (Score is Id mod 7).
    static std::vector<int> Expected(int count) {
        std::vector<int> ids;
        for (int score = 6; score >= 0; --score)
            for (int id = 1; id <= count; ++id)
                if (id % 7 == score) ids.push_back(id);
        return ids;
    }
};

TEST_F(QueryResult, BrowsesBothWaysWithRecordNumbers) {
    auto q = OpenResult(12);
    EXPECT_EQ(q->State(), dsBrowse);
    EXPECT_EQ(q->RecordCount(), 12);
    EXPECT_EQ(Ids(*q), Expected(12));
    q->Last();
    EXPECT_EQ(q->FieldByName("Id")->AsInteger(), Expected(12).back());
    q->Prior();
    EXPECT_EQ(q->FieldByName("Id")->AsInteger(), Expected(12)[10]);
    q->First();
    EXPECT_EQ(q->RecNo(), 1);
    q->MoveBy(4);
    EXPECT_EQ(q->RecNo(), 5);
    EXPECT_EQ(q->FieldByName("Id")->AsInteger(), Expected(12)[4]);
    EXPECT_EQ(q->FieldByName("Tenfold")->AsInteger(), q->FieldByName("Score")->AsInteger() * 10);
    EXPECT_EQ(q->MoveBy(100), 7);
    EXPECT_TRUE(q->Eof());
}

TEST_F(QueryResult, BookmarksLocateAndLookup) {
    auto q = OpenResult(20);
    q->MoveBy(8);
    const TBookmark mark = q->GetBookmark();
    const int id = q->FieldByName("Id")->AsInteger();
    q->Last();
    q->GotoBookmark(mark);
    EXPECT_EQ(q->FieldByName("Id")->AsInteger(), id);
    EXPECT_TRUE(q->BookmarkValid(mark));
    ASSERT_TRUE(q->Locate("Name", TVariant(std::string("n1")), loCaseInsensitive));
    EXPECT_EQ(q->FieldByName("Id")->AsInteger(), 1);
    ASSERT_TRUE(q->Locate("Name", TVariant(std::string("N2")), loPartialKey));
    EXPECT_EQ(q->FieldByName("Name")->AsString().substr(0, 2), "N2");
    EXPECT_FALSE(q->Locate("Name", TVariant(std::string("nobody")), 0));
    EXPECT_EQ(q->Lookup("Id", TVariant(13), "Name").AsString(), "N13");
}

TEST_F(QueryResult, EventFilterCalculatedFieldsAndBlockReads) {
    StaffTable(30)->Close();
    TKuraQuery q;
    q.SetDatabaseName(dir.path());
    q.SetSQL("SELECT Id, Score FROM Staff WHERE Id <= 21");
    // The result's field definitions are known once it has run.
    q.Open();
    q.Close();
    q.AddFieldsFromDefs();
    auto calc = std::make_unique<TIntegerField>();
    calc->FieldName = "Twice";
    calc->FieldKind = fkCalculated;
    q.AddField(std::move(calc));
    q.OnCalcFields = [](TDataSet* ds) {
        ds->FieldByName("Twice")->SetAsInteger(ds->FieldByName("Id")->AsInteger() * 2);
    };
    q.Open();
    q.SetOnFilterRecordValue([](TDataSet* ds, bool& accept) { accept = ds->FieldByName("Score")->AsInteger() == 0; });
    q.SetFilteredValue(true);
    EXPECT_EQ(Ids(q), (std::vector<int>{7, 14, 21}));
    q.First();
    EXPECT_EQ(q.FieldByName("Twice")->AsInteger(), 14);
    q.SetFilteredValue(false);
    q.First();
    q.SetBlockReadSizeValue(4);
    int seen = 0;
    while (!q.Eof()) {
        ++seen;
        q.Next();
    }
    q.SetBlockReadSizeValue(0);
    EXPECT_EQ(seen, 21);
}

TEST_F(QueryResult, CloseAndReopenRunsTheQueryAgainOnTheCurrentData) {
    auto q = OpenResult(5);
    q->Close();
    auto staff = NewTable();
    staff->Open();
    AddStaff(*staff, 6, "N6", 6);
    staff->Close();
    q->Open();
    EXPECT_EQ(Ids(*q), Expected(6));
    // The result belongs to the statement: closing leaves it prepared.
    q->Close();
    EXPECT_TRUE(q->Prepared());
    q->Disconnect();
    EXPECT_FALSE(q->Prepared());
}

TEST_F(QueryResult, AResultTableIsNotEditableThroughTheSource) {
    auto q = OpenResult(3);
    // Whatever the result allows, the source table never changes through it.
    try {
        q->Edit();
        q->FieldByName("Name")->SetAsString("Changed");
        q->Post();
    } catch (const EDatabaseError&) {
        q->Cancel();
    }
    auto staff = NewTable();
    staff->Open();
    ASSERT_TRUE(staff->Locate("Name", TVariant(std::string("Changed")), 0) == false);
}

}  // namespace
}  // namespace kura::test
